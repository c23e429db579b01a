#include "baseif/detail/pelKernels.h"

#include "baseif/detail/cpuDispatch.h"
#include "baseif/mxPelOps.h"

// GCC 12 warns that the undefined pass-through lanes of some AVX-512
// intrinsics in its own headers are (or may be) used uninitialized; no
// kernel here uses them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace mxkernel {

void pelMapRowPlain(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut) {
  for (std::int32_t i = 0; i < n; ++i) d[i] = lut[s[i]];
}

// The pels of d before its first `bytes` boundary (at most n): where a
// streamed row's whole-register stores begin.
template <typename Pel>
static std::int32_t pelsBeforeBoundary(const Pel* d, std::int32_t n, std::uintptr_t bytes) {
  const std::uintptr_t gap = (bytes - (reinterpret_cast<std::uintptr_t>(d) & (bytes - 1))) & (bytes - 1);
  return std::min(n, std::int32_t(gap / sizeof(Pel)));
}

// A 256-entry byte table is four 64-byte registers: one two-register byte
// permute looks up the low 7 bits in each half of the table, and the pel's
// top bit picks the half.  64 pels per step instead of one.  With stream,
// whole registers from the first 64-byte boundary of d on are written around
// the caches (non-temporal stores, fenced at the row's end).
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"), always_inline)) static inline __m512i vbmiLookup(
    __m512i x, __m512i t0, __m512i t1, __m512i t2, __m512i t3) {
  const __m512i lo = _mm512_permutex2var_epi8(t0, x, t1);
  const __m512i hi = _mm512_permutex2var_epi8(t2, x, t3);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) static void pelMapRowVbmiImpl(const unsigned char* s,
                                                                                          unsigned char* d,
                                                                                          std::int32_t n,
                                                                                          const unsigned char* lut,
                                                                                          bool stream) {
  const __m512i t0 = _mm512_loadu_si512(lut), t1 = _mm512_loadu_si512(lut + 64);
  const __m512i t2 = _mm512_loadu_si512(lut + 128), t3 = _mm512_loadu_si512(lut + 192);
  std::int32_t i = 0;
  if (stream) {
    for (const std::int32_t head = pelsBeforeBoundary(d, n, 64); i < head; ++i) d[i] = lut[s[i]];
    for (; i + 64 <= n; i += 64)
      _mm512_stream_si512(reinterpret_cast<__m512i*>(d + i), vbmiLookup(_mm512_loadu_si512(s + i), t0, t1, t2, t3));
    _mm_sfence();  // the row is written before any later store or another thread's read
  }
  for (; i + 64 <= n; i += 64) _mm512_storeu_si512(d + i, vbmiLookup(_mm512_loadu_si512(s + i), t0, t1, t2, t3));
  if (i < n) {
    const __mmask64 k = _bzhi_u64(~0ull, unsigned(n - i));
    _mm512_mask_storeu_epi8(d + i, k, vbmiLookup(_mm512_maskz_loadu_epi8(k, s + i), t0, t1, t2, t3));
  }
}

namespace {
bool hasVbmi() {
  static const bool yes =
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
  return yes;
}
}  // namespace

bool pelMapRowVbmi(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut, bool stream) {
  if (!hasVbmi()) return false;
  pelMapRowVbmiImpl(s, d, n, lut, stream);
  return true;
}

// A 256-entry byte table for AVX2 lookups: its sixteen 16-entry rows, each
// in both halves of a register.
__attribute__((target("avx2"), always_inline)) static inline void avx2Rows(const unsigned char* lut, __m256i rows[16]) {
  for (int h = 0; h < 16; ++h)
    rows[h] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lut + 16 * h)));
}

// The table's entries for 32 bytes: each row looked up with the bytes' low
// nibbles (one byte shuffle each), and a tree of fifteen blends picks the
// row of the high nibble, one of its bits per level (a blend takes each
// byte's top bit, where the shifts bring bits 4, 5 and 6).
__attribute__((target("avx2"), always_inline)) static inline __m256i avx2Lookup(__m256i x, const __m256i rows[16]) {
  const __m256i lo = _mm256_and_si256(x, _mm256_set1_epi8(0x0f));
  __m256i r[16];
  for (int h = 0; h < 16; ++h) r[h] = _mm256_shuffle_epi8(rows[h], lo);
  const __m256i bit4 = _mm256_slli_epi16(x, 3), bit5 = _mm256_slli_epi16(x, 2), bit6 = _mm256_slli_epi16(x, 1);
  for (int h = 0; h < 8; ++h) r[h] = _mm256_blendv_epi8(r[2 * h], r[2 * h + 1], bit4);
  for (int h = 0; h < 4; ++h) r[h] = _mm256_blendv_epi8(r[2 * h], r[2 * h + 1], bit5);
  for (int h = 0; h < 2; ++h) r[h] = _mm256_blendv_epi8(r[2 * h], r[2 * h + 1], bit6);
  return _mm256_blendv_epi8(r[0], r[1], x);
}

// The AVX2 version, 32 pels per step, about twice as fast as the scalar loop.
// With stream, as the VBMI version, from the first 32-byte boundary of d on.
__attribute__((target("avx2"))) static void pelMapRowAvx2(const unsigned char* s, unsigned char* d, std::int32_t n,
                                                          const unsigned char* lut, bool stream) {
  __m256i rows[16];
  avx2Rows(lut, rows);
  std::int32_t i = 0;
  if (stream) {
    for (const std::int32_t head = pelsBeforeBoundary(d, n, 32); i < head; ++i) d[i] = lut[s[i]];
    for (; i + 32 <= n; i += 32)
      _mm256_stream_si256(reinterpret_cast<__m256i*>(d + i),
                          avx2Lookup(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)), rows));
    _mm_sfence();  // the row is written before any later store or another thread's read
  }
  for (; i + 32 <= n; i += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i),
                        avx2Lookup(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)), rows));
  pelMapRowPlain(s + i, d + i, n - i, lut);
}

void pelMapRow(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut, bool stream) {
  switch (mxcpu::level()) {
    case mxcpu::Level::kAvx512:
      if (pelMapRowVbmi(s, d, n, lut, stream)) return;
      [[fallthrough]];
    case mxcpu::Level::kAvx2:
      pelMapRowAvx2(s, d, n, lut, stream);
      return;
    case mxcpu::Level::kBaseline:
      break;
  }
  pelMapRowPlain(s, d, n, lut);
}

// Scalar loads: the 2^depth-entry table is read at random, and a gather of 8
// or 16 lanes (AVX2, AVX-512) is no faster than the loads it replaces (on
// an AMD EPYC at 2048², 0.505 ns/pel gathered against 0.489 at depth 16,
// 0.344 against 0.257 at depth 12, where the table fits the level-1 cache).
void pelMapRow16(const unsigned short* s, unsigned short* d, std::int32_t n, const unsigned short* lut, bool ahead) {
  const auto four = [&](std::int32_t k) {
    const unsigned short a = lut[s[k]], b = lut[s[k + 1]], c = lut[s[k + 2]], e = lut[s[k + 3]];
    d[k] = a, d[k + 1] = b, d[k + 2] = c, d[k + 3] = e;
  };
  std::int32_t i = 0;
  if (ahead)
    for (; i + 32 <= n; i += 32) {
      fetchAhead(s + i, 64);
      for (std::int32_t k = i; k < i + 32; k += 4) four(k);
    }
  for (; i + 4 <= n; i += 4) four(i);
  for (; i < n; ++i) d[i] = lut[s[i]];
}

// The top-bit levels of 64 pels (two registers of 32) as 64 bytes in order.
__attribute__((target("avx512f,avx512bw"), always_inline)) static inline __m512i topLevels(
    const unsigned short* p, __mmask64 k, __m512i scale) {
  const __m512i top = _mm512_set1_epi16(255);
  const __m512i a = _mm512_min_epu16(_mm512_mulhi_epu16(_mm512_maskz_loadu_epi16(__mmask32(k), p), scale), top);
  const __m512i b = _mm512_min_epu16(_mm512_mulhi_epu16(_mm512_maskz_loadu_epi16(__mmask32(k >> 32), p + 32), scale), top);
  // packus interleaves the two registers' 128-bit lanes; the permute puts a's bytes first.
  return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packus_epi16(a, b));
}

__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) static void pelPairsInRunsVbmi(
    const unsigned short* t, const unsigned short* r, std::int32_t n, std::uint16_t scale, const unsigned char* lo,
    const unsigned char* hi, std::uint16_t* out) {
  const __m512i l0 = _mm512_loadu_si512(lo), l1 = _mm512_loadu_si512(lo + 64);
  const __m512i l2 = _mm512_loadu_si512(lo + 128), l3 = _mm512_loadu_si512(lo + 192);
  const __m512i h0 = _mm512_loadu_si512(hi), h1 = _mm512_loadu_si512(hi + 64);
  const __m512i h2 = _mm512_loadu_si512(hi + 128), h3 = _mm512_loadu_si512(hi + 192);
  const __m512i s = _mm512_set1_epi16(short(scale));
  for (std::int32_t i = 0; i < n; i += 64) {
    const __mmask64 k = n - i >= 64 ? ~__mmask64(0) : _bzhi_u64(~0ull, unsigned(n - i));
    const __m512i tt = topLevels(t + i, k, s), rr = topLevels(r + i, k, s);
    const __mmask64 in = _mm512_cmpge_epu8_mask(rr, vbmiLookup(tt, l0, l1, l2, l3)) &
                         _mm512_cmple_epu8_mask(rr, vbmiLookup(tt, h0, h1, h2, h3));
    _mm512_mask_storeu_epi16(out + i, __mmask32(k), _mm512_movm_epi16(__mmask32(in)));
    _mm512_mask_storeu_epi16(out + i + 32, __mmask32(k >> 32), _mm512_movm_epi16(__mmask32(in >> 32)));
  }
}

// The top-bit levels of 32 pels as 32 bytes, in the order of packus: pels
// 0 .. 7, 16 .. 23, 8 .. 15, 24 .. 31.
__attribute__((target("avx2"), always_inline)) static inline __m256i topLevelsAvx2(const unsigned short* p,
                                                                                   __m256i scale) {
  const __m256i top = _mm256_set1_epi16(255);
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
  return _mm256_packus_epi16(_mm256_min_epu16(_mm256_mulhi_epu16(a, scale), top),
                             _mm256_min_epu16(_mm256_mulhi_epu16(b, scale), top));
}

// The AVX2 version: both runs' tables looked up as pelMapRowAvx2 does, 32
// pels a step (the bytes in packus order, which the two interleavings that
// widen the result undo); the last pels one by one.
__attribute__((target("avx2"))) static void pelPairsInRunsAvx2(const unsigned short* t, const unsigned short* r,
                                                               std::int32_t n, std::uint16_t scale,
                                                               const unsigned char* lo, const unsigned char* hi,
                                                               std::uint16_t* out) {
  __m256i los[16], his[16];
  avx2Rows(lo, los);
  avx2Rows(hi, his);
  const __m256i s = _mm256_set1_epi16(short(scale));
  std::int32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i tt = topLevelsAvx2(t + i, s), rr = topLevelsAvx2(r + i, s);
    const __m256i above = _mm256_cmpeq_epi8(_mm256_max_epu8(rr, avx2Lookup(tt, los)), rr);
    const __m256i below = _mm256_cmpeq_epi8(_mm256_min_epu8(rr, avx2Lookup(tt, his)), rr);
    const __m256i in = _mm256_and_si256(above, below);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_unpacklo_epi8(in, in));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 16), _mm256_unpackhi_epi8(in, in));
  }
  for (; i < n; ++i) {
    const unsigned tt = std::min((unsigned(t[i]) * scale) >> 16, 255u),
                   rr = std::min((unsigned(r[i]) * scale) >> 16, 255u);
    out[i] = rr >= lo[tt] && rr <= hi[tt] ? 0xFFFF : 0;
  }
}

bool pelPairsInRuns(const unsigned short* t, const unsigned short* r, std::int32_t n, std::uint16_t scale,
                    const unsigned char* lo, const unsigned char* hi, std::uint16_t* out) {
  switch (mxcpu::level()) {
    case mxcpu::Level::kAvx512:
      if (hasVbmi()) {
        pelPairsInRunsVbmi(t, r, n, scale, lo, hi, out);
        return true;
      }
      [[fallthrough]];
    case mxcpu::Level::kAvx2:
      pelPairsInRunsAvx2(t, r, n, scale, lo, hi, out);
      return true;
    case mxcpu::Level::kBaseline:
      break;
  }
  return false;
}

#define MX_AVX512_LINE __attribute__((target("avx512f,avx512bw"), always_inline)) static inline
#define MX_AVX2_LINE __attribute__((target("avx2"), always_inline)) static inline

// The steps of mxLevelLine::entry for a single-precision line, in lanes.
// The clamp to 0 comes last, from the pack's saturation: min_ps(top, x)
// keeps a value that is not a number (its second operand), the truncation
// turns it, and any value below the 32-bit range, into the most negative
// integer, and the pack turns every negative value into 0.  The pels go to
// 32-bit lanes by unpacking each 128-bit lane's halves, which the pack puts
// back in order.
MX_AVX512_LINE __m512i lineLevels(__m512i v, __m512 scale, __m512 offset, __m512 top) {
  const __m512 x = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(v), scale), offset);
  return _mm512_cvttps_epi32(_mm512_min_ps(top, x));
}
// The levels of 32 pels.
MX_AVX512_LINE __m512i lineLevels32(__m512i v, __m512 scale, __m512 offset, __m512 top) {
  const __m512i z = _mm512_setzero_si512();
  return _mm512_packus_epi32(lineLevels(_mm512_unpacklo_epi16(v, z), scale, offset, top),
                             lineLevels(_mm512_unpackhi_epi16(v, z), scale, offset, top));
}

// Masked stores cost several times a plain one on the processors measured,
// so only the tail takes them.  With stream, whole registers from the first
// 64-byte boundary of d on are written around the caches.
__attribute__((target("avx512f,avx512bw,bmi2"))) static void pelMapLineAvx512(const unsigned short* s,
                                                                              unsigned short* d, std::int32_t n,
                                                                              const mxLevelLine& line, bool stream) {
  const __m512 scale = _mm512_set1_ps(line.singleScale()), offset = _mm512_set1_ps(line.singleOffset());
  const __m512 top = _mm512_set1_ps(float(line.top));
  std::int32_t i = 0;
  if (stream) {
    for (const std::int32_t head = pelsBeforeBoundary(d, n, 64); i < head; ++i) d[i] = line.entry(s[i]);
    for (; i + 32 <= n; i += 32)
      _mm512_stream_si512(reinterpret_cast<__m512i*>(d + i),
                          lineLevels32(_mm512_loadu_si512(s + i), scale, offset, top));
    _mm_sfence();  // the row is written before any later store or another thread's read
  }
  for (; i + 32 <= n; i += 32) _mm512_storeu_si512(d + i, lineLevels32(_mm512_loadu_si512(s + i), scale, offset, top));
  if (i < n) {
    const __mmask32 k = __mmask32(_bzhi_u32(~0u, unsigned(n - i)));
    _mm512_mask_storeu_epi16(d + i, k, lineLevels32(_mm512_maskz_loadu_epi16(k, s + i), scale, offset, top));
  }
}

MX_AVX2_LINE __m256i lineLevels(__m256i v, __m256 scale, __m256 offset, __m256 top) {
  const __m256 x = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(v), scale), offset);
  return _mm256_cvttps_epi32(_mm256_min_ps(top, x));
}

// The levels of 16 pels.
MX_AVX2_LINE __m256i lineLevels16(__m256i v, __m256 scale, __m256 offset, __m256 top) {
  const __m256i z = _mm256_setzero_si256();
  return _mm256_packus_epi32(lineLevels(_mm256_unpacklo_epi16(v, z), scale, offset, top),
                             lineLevels(_mm256_unpackhi_epi16(v, z), scale, offset, top));
}

// With stream, as the AVX-512 version, from the first 32-byte boundary of d on.
__attribute__((target("avx2"))) static void pelMapLineAvx2(const unsigned short* s, unsigned short* d, std::int32_t n,
                                                           const mxLevelLine& line, bool stream) {
  const __m256 scale = _mm256_set1_ps(line.singleScale()), offset = _mm256_set1_ps(line.singleOffset());
  const __m256 top = _mm256_set1_ps(float(line.top));
  std::int32_t i = 0;
  if (stream) {
    for (const std::int32_t head = pelsBeforeBoundary(d, n, 32); i < head; ++i) d[i] = line.entry(s[i]);
    for (; i + 16 <= n; i += 16)
      _mm256_stream_si256(
          reinterpret_cast<__m256i*>(d + i),
          lineLevels16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)), scale, offset, top));
    _mm_sfence();  // the row is written before any later store or another thread's read
  }
  for (; i + 16 <= n; i += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i),
                        lineLevels16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)), scale, offset, top));
  for (; i < n; ++i) d[i] = line.entry(s[i]);
}

void pelMapLineRow(const unsigned short* s, unsigned short* d, std::int32_t n, const mxLevelLine& line, bool stream) {
  if (line.single) switch (mxcpu::level()) {
      case mxcpu::Level::kAvx512:
        return pelMapLineAvx512(s, d, n, line, stream);
      case mxcpu::Level::kAvx2:
        return pelMapLineAvx2(s, d, n, line, stream);
      case mxcpu::Level::kBaseline:
        break;
    }
  for (std::int32_t i = 0; i < n; ++i) d[i] = line.entry(s[i]);
}

// The largest of 32 16-bit lanes.
__attribute__((target("avx512f,avx512bw"), always_inline)) static inline std::uint16_t largestLane(__m512i m) {
  alignas(64) std::uint16_t lanes[32];
  _mm512_store_si512(lanes, m);
  return *std::max_element(lanes, lanes + 32);
}

// The largest of 16 16-bit lanes.
__attribute__((target("avx2"), always_inline)) static inline std::uint16_t largestLaneAvx2(__m256i m) {
  alignas(32) std::uint16_t lanes[16];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), m);
  return *std::max_element(lanes, lanes + 16);
}

// The moments {count, sum v, sum v^2} of count pels from the sums of their
// offsets w = v - 32768: sum v = sum w + 32768 n, sum v^2 = sum w^2 +
// 65536 sum w + 2^30 n.
static void momentsFromOffsets(std::int64_t sw, std::uint64_t squares, std::uint64_t count, std::uint64_t* t) {
  t[0] = count;
  t[1] = std::uint64_t(sw + std::int64_t(count << 15));
  t[2] = squares + std::uint64_t(sw * 65536) + (count << 30);
}

// The rest of a row's top bits, pels i .. n - 1 one by one (the vector
// kernels' last pels); returns top raised to the largest of those pels.
static std::uint16_t topBitsTail(const unsigned short* s, unsigned char* t, std::int32_t i, std::int32_t n, int shift,
                                 std::uint16_t top) {
  for (; i < n; ++i) {
    const unsigned v = unsigned(s[i]) >> shift;
    t[i] = static_cast<unsigned char>(v < 255u ? v : 255u);
    top = s[i] > top ? s[i] : top;
  }
  return top;
}

// Adds 32 offsets w = v - 32768 to the sums of w (32-bit lanes) and of w^2
// (the even and odd 32-bit halves of each pair's sum, in 64-bit lanes).
__attribute__((target("avx512f,avx512bw"), always_inline)) static inline void addMoments16(__m512i w, __m512i ones,
                                                                                           __m512i low, __m512i& sumW,
                                                                                           __m512i& even,
                                                                                           __m512i& odd) {
  sumW = _mm512_add_epi32(sumW, _mm512_madd_epi16(w, ones));
  const __m512i sq = _mm512_madd_epi16(w, w);
  even = _mm512_add_epi64(even, _mm512_and_si512(sq, low));
  odd = _mm512_add_epi64(odd, _mm512_srli_epi64(sq, 32));
}

// Sum, sum of squares and largest of 16-bit pels, 32 a step, as their
// offsets w = v - 32768 in signed 16-bit lanes so that one multiply-add
// gives two squares' sum (at most 2^31, exact in an unsigned 32-bit lane),
// widened into two 64-bit sums; then sum v = sum w + 32768 n and
// sum v^2 = sum w^2 + 65536 sum w + 2^30 n.
__attribute__((target("avx512f,avx512bw,bmi2"))) static void moments16Avx512(const unsigned short* s, std::int32_t n,
                                                                             std::uint64_t* t) {
  const __m512i bias = _mm512_set1_epi16(short(0x8000)), ones = _mm512_set1_epi16(1);
  const __m512i low = _mm512_set1_epi64(0xffffffff);
  __m512i sumW = _mm512_setzero_si512(), even = sumW, odd = sumW, most = sumW;
  std::int32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512i v = _mm512_loadu_si512(s + i);
    most = _mm512_max_epu16(most, v);
    addMoments16(_mm512_xor_si512(v, bias), ones, low, sumW, even, odd);
  }
  if (i < n) {  // lanes past n count 0
    const __mmask32 k = __mmask32(_bzhi_u32(~0u, unsigned(n - i)));
    const __m512i v = _mm512_maskz_loadu_epi16(k, s + i);
    most = _mm512_max_epu16(most, v);
    addMoments16(_mm512_maskz_mov_epi16(k, _mm512_xor_si512(v, bias)), ones, low, sumW, even, odd);
  }
  // |lane| <= 2048 steps x 65536: the 32-bit lanes are exact for n <= 65536.
  const std::int64_t sw =
      std::int64_t(_mm512_reduce_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(sumW)))) +
      std::int64_t(_mm512_reduce_add_epi64(_mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(sumW, 1))));
  const std::uint64_t squares =
      std::uint64_t(_mm512_reduce_add_epi64(even)) + std::uint64_t(_mm512_reduce_add_epi64(odd));
  momentsFromOffsets(sw, squares, std::uint64_t(n), t);
  t[3] = largestLane(most);
}

// 64 pels a step: the shift, then the pack's unsigned saturation is the
// clamp to 255.
__attribute__((target("avx512f,avx512bw,bmi2"))) static void topBits16Avx512(const unsigned short* s, unsigned char* t,
                                                                             std::int32_t n, int shift,
                                                                             std::uint16_t* most) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);  // undoes the pack's lane interleave
  __m512i m = _mm512_setzero_si512();
  std::int32_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i a = _mm512_loadu_si512(s + i), b = _mm512_loadu_si512(s + i + 32);
    m = _mm512_max_epu16(m, _mm512_max_epu16(a, b));
    const __m512i packed = _mm512_packus_epi16(_mm512_srl_epi16(a, count), _mm512_srl_epi16(b, count));
    _mm512_storeu_si512(t + i, _mm512_permutexvar_epi64(order, packed));
  }
  *most = topBitsTail(s, t, i, n, shift, std::max(*most, largestLane(m)));
}

// The AVX2 version of topBits16Avx512, 32 pels a step.
__attribute__((target("avx2"))) static void topBits16Avx2(const unsigned short* s, unsigned char* t, std::int32_t n,
                                                          int shift, std::uint16_t* most) {
  const __m128i count = _mm_cvtsi32_si128(shift);
  __m256i m = _mm256_setzero_si256();
  std::int32_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 16));
    m = _mm256_max_epu16(m, _mm256_max_epu16(a, b));
    const __m256i packed = _mm256_packus_epi16(_mm256_srl_epi16(a, count), _mm256_srl_epi16(b, count));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + i), _mm256_permute4x64_epi64(packed, 0xd8));  // (0, 2, 1, 3)
  }
  *most = topBitsTail(s, t, i, n, shift, std::max(*most, largestLaneAvx2(m)));
}

bool pelTopBitsRow16(const unsigned short* s, unsigned char* t, std::int32_t n, int shift, std::uint16_t* most) {
  switch (mxcpu::level()) {
    case mxcpu::Level::kAvx512:
      topBits16Avx512(s, t, n, shift, most);
      return true;
    case mxcpu::Level::kAvx2:
      topBits16Avx2(s, t, n, shift, most);
      return true;
    case mxcpu::Level::kBaseline:
      break;
  }
  return false;
}

// The AVX2 version of moments16Avx512: 16 pels a step, the last pels one
// by one.
__attribute__((target("avx2"))) static void moments16Avx2(const unsigned short* s, std::int32_t n, std::uint64_t* t) {
  const __m256i bias = _mm256_set1_epi16(short(0x8000)), ones = _mm256_set1_epi16(1);
  const __m256i low = _mm256_set1_epi64x(0xffffffff);
  __m256i sumW = _mm256_setzero_si256(), even = sumW, odd = sumW, most = sumW;
  std::int32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    most = _mm256_max_epu16(most, v);
    const __m256i w = _mm256_xor_si256(v, bias);
    sumW = _mm256_add_epi32(sumW, _mm256_madd_epi16(w, ones));
    const __m256i sq = _mm256_madd_epi16(w, w);
    even = _mm256_add_epi64(even, _mm256_and_si256(sq, low));
    odd = _mm256_add_epi64(odd, _mm256_srli_epi64(sq, 32));
  }
  alignas(32) std::int64_t wide[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(wide),
                     _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(sumW)),
                                      _mm256_cvtepi32_epi64(_mm256_extracti128_si256(sumW, 1))));
  const std::int64_t sw = wide[0] + wide[1] + wide[2] + wide[3];
  _mm256_store_si256(reinterpret_cast<__m256i*>(wide), _mm256_add_epi64(even, odd));
  const std::uint64_t squares =
      std::uint64_t(wide[0]) + std::uint64_t(wide[1]) + std::uint64_t(wide[2]) + std::uint64_t(wide[3]);
  momentsFromOffsets(sw, squares, std::uint64_t(i), t);
  std::uint16_t top = largestLaneAvx2(most);
  for (; i < n; ++i) {
    t[1] += s[i], t[2] += std::uint64_t(s[i]) * s[i];
    top = s[i] > top ? s[i] : top;
  }
  t[0] = std::uint64_t(n), t[3] = top;
}

bool pelMomentsRow16(const unsigned short* s, std::int32_t n, std::uint64_t* t) {
  if (n > 65536) return false;
  switch (mxcpu::level()) {
    case mxcpu::Level::kAvx512:
      moments16Avx512(s, n, t);
      return true;
    case mxcpu::Level::kAvx2:
      moments16Avx2(s, n, t);
      return true;
    case mxcpu::Level::kBaseline:
      break;
  }
  return false;
}

namespace {
// Chunks of at most 4096 pels keep the 32-bit partial sums exact
// (4096 x 255^2 < 2^32), so the inner loops vectorise with 32-bit lanes.
constexpr std::int32_t kChunk = 4096;

template <bool kMasked>
__attribute__((always_inline)) inline void momentsChunk(const unsigned char* s, const unsigned char* m, std::int32_t n,
                                                        Moments& acc) {
  std::uint32_t c = 0, s1 = 0, s2 = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::uint32_t sel = kMasked ? (m[i] != 0) : 1u;
    const std::uint32_t v = kMasked ? (m[i] ? s[i] : 0u) : s[i];
    c += sel;
    s1 += v;
    s2 += v * v;
  }
  acc.count += c;
  acc.sum += s1;
  acc.sumOfSquares += s2;
}

// The baseline version: the chunk loop as it stands, vectorised by the
// compiler.
template <bool kMasked>
void momentsRowBaseline(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc) {
  for (std::int32_t i = 0; i < n; i += kChunk) {
    const std::int32_t len = n - i < kChunk ? n - i : kChunk;
    momentsChunk<kMasked>(s + i, kMasked ? m + i : nullptr, len, acc);
  }
}

// The AVX2 and AVX-512 versions, a register of pels per step: the pels under
// a zero mask are zeroed and the set ones counted from the comparison's bit
// mask; sums of bytes come from one sum-of-absolute-differences against zero
// (64-bit lanes), squares from 16-bit pels multiplied and added in pairs
// into 32-bit lanes, which are widened to 64 bits every kSquareBlocks
// registers, before they could overflow (each lane gains at most
// 4 x 255^2 per 64 pels).  The few tail pels go through the chunk loop.
// Integer sums: every version gives the same totals.
constexpr std::int32_t kSquareBlocks = 4096;

template <bool kMasked>
__attribute__((target("avx2,popcnt"))) void momentsRowAvx2(const unsigned char* s, const unsigned char* m,
                                                           std::int32_t n, Moments& acc) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i sum = zero, squares64 = zero;
  std::uint64_t count = 0;
  std::int32_t i = 0;
  while (i + 32 <= n) {
    __m256i squares = zero;
    for (std::int32_t b = 0; b < kSquareBlocks && i + 32 <= n; ++b, i += 32) {
      __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
      if (kMasked) {
        const __m256i off = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + i)), zero);
        v = _mm256_andnot_si256(off, v);
        count += 32 - unsigned(__builtin_popcount(unsigned(_mm256_movemask_epi8(off))));
      }
      sum = _mm256_add_epi64(sum, _mm256_sad_epu8(v, zero));
      const __m256i lo = _mm256_unpacklo_epi8(v, zero), hi = _mm256_unpackhi_epi8(v, zero);
      squares = _mm256_add_epi32(squares, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
    }
    squares64 = _mm256_add_epi64(squares64, _mm256_unpacklo_epi32(squares, zero));
    squares64 = _mm256_add_epi64(squares64, _mm256_unpackhi_epi32(squares, zero));
  }
  alignas(32) std::uint64_t a[4], b[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), sum);
  _mm256_store_si256(reinterpret_cast<__m256i*>(b), squares64);
  acc.count += kMasked ? count : std::uint64_t(i);
  acc.sum += a[0] + a[1] + a[2] + a[3];
  acc.sumOfSquares += b[0] + b[1] + b[2] + b[3];
  momentsRowBaseline<kMasked>(s + i, kMasked ? m + i : nullptr, n - i, acc);
}

template <bool kMasked>
__attribute__((target("avx512f,avx512bw,popcnt"))) void momentsRowAvx512(const unsigned char* s, const unsigned char* m,
                                                                         std::int32_t n, Moments& acc) {
  const __m512i zero = _mm512_setzero_si512(), low32 = _mm512_set1_epi64(0xFFFFFFFF);
  __m512i sum = zero, squares64 = zero;
  std::uint64_t count = 0;
  std::int32_t i = 0;
  while (i + 64 <= n) {
    __m512i squares = zero;
    for (std::int32_t b = 0; b < kSquareBlocks && i + 64 <= n; ++b, i += 64) {
      __m512i v = _mm512_loadu_si512(s + i);
      if (kMasked) {
        const __m512i mv = _mm512_loadu_si512(m + i);
        const __mmask64 set = _mm512_test_epi8_mask(mv, mv);
        v = _mm512_maskz_mov_epi8(set, v);
        count += std::uint64_t(__builtin_popcountll(set));
      }
      sum = _mm512_add_epi64(sum, _mm512_sad_epu8(v, zero));
      const __m512i lo = _mm512_unpacklo_epi8(v, zero), hi = _mm512_unpackhi_epi8(v, zero);
      squares = _mm512_add_epi32(squares, _mm512_add_epi32(_mm512_madd_epi16(lo, lo), _mm512_madd_epi16(hi, hi)));
    }
    squares64 = _mm512_add_epi64(squares64, _mm512_and_si512(squares, low32));
    // (The zero-masked shift: GCC 12 warns of the plain one's undefined source.)
    squares64 = _mm512_add_epi64(squares64, _mm512_maskz_srli_epi64(0xFF, squares, 32));
  }
  alignas(64) std::uint64_t a[8], b[8];
  _mm512_store_si512(a, sum);
  _mm512_store_si512(b, squares64);
  acc.count += kMasked ? count : std::uint64_t(i);
  for (int k = 0; k < 8; ++k) {
    acc.sum += a[k];
    acc.sumOfSquares += b[k];
  }
  momentsRowBaseline<kMasked>(s + i, kMasked ? m + i : nullptr, n - i, acc);
}

template <bool kMasked>
void momentsRow(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc) {
  switch (mxcpu::level()) {
    case mxcpu::Level::kAvx512:
      momentsRowAvx512<kMasked>(s, m, n, acc);
      return;
    case mxcpu::Level::kAvx2:
      momentsRowAvx2<kMasked>(s, m, n, acc);
      return;
    case mxcpu::Level::kBaseline:
      break;
  }
  momentsRowBaseline<kMasked>(s, m, n, acc);
}
}  // namespace

void pelMomentsRowPlain(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc) {
  for (std::int32_t i = 0; i < n; ++i) {
    if (m && !m[i]) continue;
    ++acc.count;
    acc.sum += s[i];
    acc.sumOfSquares += std::uint64_t(s[i]) * s[i];
  }
}

void pelMomentsRow(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc) {
  if (m)
    momentsRow<true>(s, m, n, acc);
  else
    momentsRow<false>(s, nullptr, n, acc);
}

std::int32_t pelSelectRowPlain(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n) {
  std::int32_t zeros = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    t[i] = m[i] ? s[i] : 0;
    zeros += m[i] == 0;
  }
  return zeros;
}

std::int32_t pelSelectRow(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n) {
  std::int32_t zeros = 0;
  mxcpu::dispatch(
      [](const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n, std::int32_t* zeros)
          MX_KERNEL_INLINE {
            // The zeros are counted in 16 bits, which vectorizes in wider lanes
            // than a 32-bit count; blocks of 32768 pels keep it from overflowing.
            for (std::int32_t i0 = 0; i0 < n; i0 += 32768) {
              const std::int32_t i1 = n - i0 < 32768 ? n : i0 + 32768;
              std::uint16_t z = 0;
              for (std::int32_t i = i0; i < i1; ++i) {
                t[i] = static_cast<unsigned char>(s[i] & static_cast<unsigned char>(-(m[i] != 0)));
                z = static_cast<std::uint16_t>(z + (m[i] == 0));
              }
              *zeros += z;
            }
          },
      s, m, t, n, &zeros);
  return zeros;
}

std::int32_t pelPackRowPlain(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n) {
  std::int32_t kept = 0;
  for (std::int32_t i = 0; i < n; ++i) {
    t[kept] = s[i];
    kept += m[i] != 0;
  }
  return kept;
}

// A register of pels per step: the set mask bytes pick the pels that the
// compress moves to the register's front, the whole register is stored and
// the output moves on by the number picked.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt,bmi2"))) static std::int32_t pelPackRowVbmi2Impl(
    const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n) {
  unsigned char* o = t;
  std::int32_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i mv = _mm512_loadu_si512(m + i);
    const __mmask64 k = _mm512_test_epi8_mask(mv, mv);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(k, _mm512_loadu_si512(s + i)));
    o += __builtin_popcountll(k);
  }
  if (i < n) {
    const __mmask64 tail = _bzhi_u64(~0ull, unsigned(n - i));
    const __m512i mv = _mm512_maskz_loadu_epi8(tail, m + i);
    const __mmask64 k = _mm512_test_epi8_mask(mv, mv);
    _mm512_storeu_si512(o, _mm512_maskz_compress_epi8(k, _mm512_maskz_loadu_epi8(tail, s + i)));
    o += __builtin_popcountll(k);
  }
  return std::int32_t(o - t);
}

bool pelPackRow(const unsigned char* s, const unsigned char* m, unsigned char* t, std::int32_t n, std::int32_t& kept) {
  static const bool hasVbmi2 = __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  if (!hasVbmi2 || mxcpu::level() != mxcpu::Level::kAvx512) return false;
  kept = pelPackRowVbmi2Impl(s, m, t, n);
  return true;
}

namespace {
// The pair table a thread keeps for its next large histogram (empty when it
// is in use, or before the first).
thread_local std::vector<std::uint16_t> tKeptPairTable;
}  // namespace

HistogramCounter::HistogramCounter(std::int64_t pels) {
  if (pels < kPairPels) return;
  table_.swap(tKeptPairTable);
  if (table_.size() != 65536) table_.assign(65536, 0);
}

HistogramCounter::~HistogramCounter() {
  if (table_.empty()) return;
  if (dirty_) std::fill(table_.begin(), table_.end(), std::uint16_t(0));
  if (tKeptPairTable.empty()) table_.swap(tKeptPairTable);
}

void HistogramCounter::addRow(const unsigned char* s, std::int32_t n, bool ahead) {
  std::int32_t i = 0;
  if (table_.empty()) {
    std::uint32_t *h0 = single_[0], *h1 = single_[1], *h2 = single_[2], *h3 = single_[3];
    // Pels i .. i + 7 go to sub-histograms 0 2 0 2 1 3 1 3 (in the byte order
    // of the loads, which does not matter to the counts).
    for (; i + 8 <= n; i += 8) {
      std::uint32_t a, b;
      std::memcpy(&a, s + i, 4);
      std::memcpy(&b, s + i + 4, 4);
      ++h0[a & 0xff];
      ++h1[b & 0xff];
      ++h2[(a >> 8) & 0xff];
      ++h3[(b >> 8) & 0xff];
      ++h0[(a >> 16) & 0xff];
      ++h1[(b >> 16) & 0xff];
      ++h2[a >> 24];
      ++h3[b >> 24];
    }
  } else {
    std::uint16_t* t = table_.data();
    while (i + 16 <= n) {
      if (room_ < 8) makeRoom();
      // Blocks of 16 pels (8 pairs) up to the row's end or the room's.
      const std::int32_t end = i + 16 * std::min((n - i) / 16, std::int32_t(room_ / 8));
      room_ -= std::uint32_t(end - i) / 2;
      dirty_ = true;
      // Blocks of eight equal pairs (flat areas) add to a run kept in a
      // register, which goes to the pel counts when another such pair
      // comes: counting them one by one would make each increment wait for
      // the last one's store.  Runs take no room in the table.
      std::uint32_t runPair = 0, run = 0, runPairs = 0;
      for (; i < end; i += 16) {
        if (ahead && (i & 63) == 0) fetchAhead(s + i, 1);
        std::uint64_t a, b;
        std::memcpy(&a, s + i, 8);
        std::memcpy(&b, s + i + 8, 8);
        if (a == b && a == (a >> 16 | a << 48)) {
          if ((a & 0xffff) != runPair) {
            addRun(runPair, run);
            runPair = std::uint32_t(a & 0xffff);
            run = 0;
          }
          run += 8;
          runPairs += 8;
          continue;
        }
        ++t[a & 0xffff];
        ++t[(a >> 16) & 0xffff];
        ++t[(a >> 32) & 0xffff];
        ++t[a >> 48];
        ++t[b & 0xffff];
        ++t[(b >> 16) & 0xffff];
        ++t[(b >> 32) & 0xffff];
        ++t[b >> 48];
      }
      addRun(runPair, run);
      room_ += runPairs;
    }
    for (; i + 2 <= n; i += 2) {
      if (room_ == 0) makeRoom();
      std::uint16_t a;
      std::memcpy(&a, s + i, 2);
      ++t[a];
      --room_;
      dirty_ = true;
    }
  }
  for (; i < n; ++i) ++single_[0][s[i]];
}

void HistogramCounter::makeRoom() {
  // The largest counter bounds every counter, so the pairs it leaves room
  // for may be counted before the table needs folding.  Images whose pairs
  // spread over many counters fold rarely; finding the largest counter only
  // reads the table, where a fold also adds and writes.
  std::uint16_t largest = 0;
  mxcpu::dispatch(
      [](const std::uint16_t* table, std::uint16_t* largest) MX_KERNEL_INLINE {
        std::uint16_t m = 0;
        for (int i = 0; i < 65536; ++i) m = table[i] > m ? table[i] : m;
        *largest = m;
      },
      table_.data(), &largest);
  room_ = kRoom - largest;
  if (room_ < kRoom / 4) fold();
}

void HistogramCounter::fold() {
  // Table index hi * 256 + lo (whichever pel of the pair either byte came
  // from): the pair's count goes to lo and to hi.  The table is emptied on
  // the way.
  mxcpu::dispatch(
      [](std::uint16_t* table, std::uint32_t* counts) MX_KERNEL_INLINE {
        std::uint32_t columns[256] = {};
        for (int hi = 0; hi < 256; ++hi) {
          std::uint16_t* r = table + hi * 256;
          std::uint32_t row = 0;
          for (int lo = 0; lo < 256; ++lo) {
            row += r[lo];
            columns[lo] += r[lo];
            r[lo] = 0;
          }
          counts[hi] += row;
        }
        for (int lo = 0; lo < 256; ++lo) counts[lo] += columns[lo];
      },
      table_.data(), folded_);
  room_ = kRoom;
  dirty_ = false;
}

std::vector<std::uint32_t> HistogramCounter::takeCounts() {
  if (dirty_) fold();
  std::vector<std::uint32_t> out(256);
  for (int k = 0; k < 256; ++k) out[k] = single_[0][k] + single_[1][k] + single_[2][k] + single_[3][k] + folded_[k];
  std::fill(&single_[0][0], &single_[0][0] + 4 * 256, 0u);
  std::fill(folded_, folded_ + 256, 0u);
  return out;
}

}  // namespace mxkernel

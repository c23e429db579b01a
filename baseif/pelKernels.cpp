#include "baseif/detail/pelKernels.h"

#include "baseif/detail/cpuDispatch.h"

#include <immintrin.h>

#include <cstring>

namespace mxkernel {

void pelMapRowPlain(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut) {
  for (std::int32_t i = 0; i < n; ++i) d[i] = lut[s[i]];
}

// A 256-entry byte table is four 64-byte registers: one two-register byte
// permute looks up the low 7 bits in each half of the table, and the pel's
// top bit picks the half.  64 pels per step instead of one.
__attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2"))) static void pelMapRowVbmiImpl(const unsigned char* s,
                                                                                          unsigned char* d,
                                                                                          std::int32_t n,
                                                                                          const unsigned char* lut) {
  const __m512i t0 = _mm512_loadu_si512(lut), t1 = _mm512_loadu_si512(lut + 64);
  const __m512i t2 = _mm512_loadu_si512(lut + 128), t3 = _mm512_loadu_si512(lut + 192);
  std::int32_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i x = _mm512_loadu_si512(s + i);
    const __m512i lo = _mm512_permutex2var_epi8(t0, x, t1);
    const __m512i hi = _mm512_permutex2var_epi8(t2, x, t3);
    _mm512_storeu_si512(d + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi));
  }
  if (i < n) {
    const __mmask64 k = _bzhi_u64(~0ull, unsigned(n - i));
    const __m512i x = _mm512_maskz_loadu_epi8(k, s + i);
    const __m512i lo = _mm512_permutex2var_epi8(t0, x, t1);
    const __m512i hi = _mm512_permutex2var_epi8(t2, x, t3);
    _mm512_mask_storeu_epi8(d + i, k, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi));
  }
}

namespace {
bool hasVbmi() {
  static const bool yes =
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
  return yes;
}
}  // namespace

bool pelMapRowVbmi(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut) {
  if (!hasVbmi()) return false;
  pelMapRowVbmiImpl(s, d, n, lut);
  return true;
}

void pelMapRow(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut) {
  if (!pelMapRowVbmi(s, d, n, lut)) pelMapRowPlain(s, d, n, lut);
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

// Built for the baseline instruction set, AVX2 and AVX-512, the version
// chosen at run time (integer sums: every version gives the same totals).
template <bool kMasked>
void momentsRow(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc) {
  mxcpu::dispatch(
      [](const unsigned char* s, const unsigned char* m, std::int32_t n, Moments* acc) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < n; i += kChunk) {
          const std::int32_t len = n - i < kChunk ? n - i : kChunk;
          momentsChunk<kMasked>(s + i, kMasked ? m + i : nullptr, len, *acc);
        }
      },
      s, m, n, &acc);
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

void PairHistogram::addRow(const unsigned char* s, std::int32_t n) {
  std::uint32_t* t0 = tables_.data();
  std::uint32_t* t1 = t0 + 65536;
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint16_t a, b;
    std::memcpy(&a, s + i, 2);
    std::memcpy(&b, s + i + 2, 2);
    ++t0[a];
    ++t1[b];
  }
  if (i + 2 <= n) {
    std::uint16_t a;
    std::memcpy(&a, s + i, 2);
    ++t0[a];
    i += 2;
  }
  if (i < n) ++single_[s[i]];
}

std::vector<std::uint32_t> PairHistogram::counts() const {
  std::vector<std::uint32_t> out(single_, single_ + 256);
  // Table index hi * 256 + lo: the pair's count goes to lo and to hi.
  for (int hi = 0; hi < 256; ++hi) {
    const std::uint32_t* r0 = tables_.data() + hi * 256;
    const std::uint32_t* r1 = r0 + 65536;
    std::uint32_t row = 0;
    for (int lo = 0; lo < 256; ++lo) {
      const std::uint32_t c = r0[lo] + r1[lo];
      row += c;
      out[lo] += c;
    }
    out[hi] += row;
  }
  return out;
}

}  // namespace mxkernel

// The median engines built for processors with AVX2: the histogram engine,
// whose sixteen 16-bit counters fill one 256-bit register, so that every
// histogram step is one instruction, and the counting engine
// (baseif/detail/bandMedian.h), which hands over to it where counting does
// not pay.
// Everything the engine uses is included before the target switch, so that
// only this file's own code is built for AVX2.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "baseif/detail/pelMedian.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif

#include "baseif/detail/bandMedian.h"
#include "baseif/detail/deepBandMedian.h"
#include "baseif/detail/deepMedianEngine.h"
#include "baseif/detail/medianCounts256.h"

namespace {

struct Avx2Counts : Counts256<Avx2Counts> {
  static int firstAboveSplat(T c, T kk) {
    return int(_tzcnt_u32(unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi16(c, kk)))) / 2);
  }

  struct P {
    __m256i lo, hi;
  };
  static P loadPair(const std::uint16_t* p) { return {load(p), load(p + 16)}; }
  static P addPair(P a, P b) { return {add(a.lo, b.lo), add(a.hi, b.hi)}; }
  static P subPair(P a, P b) { return {sub(a.lo, b.lo), sub(a.hi, b.hi)}; }
  static P joinPair(T lo, T hi) { return {lo, hi}; }
  static T lowHalf(P p) { return p.lo; }
  static T highHalf(P p) { return p.hi; }
  // Lane j of a vector spread over all lanes: its dword to every dword,
  // then its half of the dword to every half (a zero shuffle for "none").
  struct Sel {
    __m256i dwordLo, halfLo, dwordHi, halfHi;
  };
  static __m256i half(int j) {
    return j < 0 ? _mm256_set1_epi8(char(0x80)) : _mm256_set1_epi16(short(0x0100 * (2 * (j & 1) + 1) + 2 * (j & 1)));
  }
  static Sel select(int g) {
    return {_mm256_set1_epi32(std::max(g - 1, 0) / 2), half(g - 1), _mm256_set1_epi32(g / 2), half(g)};
  }
  static int pairFirstAbove(P p, T totals, const Sel& s, std::int32_t k) {
    const T kk = splat(k);
    const T below = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(totals, s.dwordLo), s.halfLo);
    const T belowHi = _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(totals, s.dwordHi), s.halfHi);
    const std::uint64_t lo = unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi16(add(p.lo, below), kk)));
    const std::uint64_t hi = unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi16(add(p.hi, belowHi), kk)));
    return int(_tzcnt_u64(lo | hi << 32) / 2);
  }
};

// The counting engine's 32 window counts: two 256-bit registers, widened
// from the byte counts by interleaving within each 128-bit half, so that
// lo holds lanes 0 .. 7 and 16 .. 23 and hi lanes 8 .. 15 and 24 .. 31 (no
// move across the halves: a wide step is four interleavings, two
// subtractions and two additions, where widening each half took an
// extraction too).
struct Avx2Window {
  struct Window {
    __m256i lo, hi;
  };
  static Window zero() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
  static Window splat(std::int32_t k) {
    const __m256i v = _mm256_set1_epi16(short(k));
    return {v, v};
  }
  static __m256i low(__m256i c) { return _mm256_unpacklo_epi8(c, _mm256_setzero_si256()); }
  static __m256i high(__m256i c) { return _mm256_unpackhi_epi8(c, _mm256_setzero_si256()); }
  static Window add(Window w, __m256i c) { return {_mm256_add_epi16(w.lo, low(c)), _mm256_add_epi16(w.hi, high(c))}; }
  static Window step(Window w, __m256i e, __m256i l) {
    return {_mm256_add_epi16(w.lo, _mm256_sub_epi16(low(e), low(l))),
            _mm256_add_epi16(w.hi, _mm256_sub_epi16(high(e), high(l)))};
  }
  // A change that fits a signed byte, widened once with its sign.
  static Window stepNarrow(Window w, __m256i e, __m256i l) {
    const __m256i d = _mm256_sub_epi8(e, l), sign = _mm256_cmpgt_epi8(_mm256_setzero_si256(), d);
    return {_mm256_add_epi16(w.lo, _mm256_unpacklo_epi8(d, sign)),
            _mm256_add_epi16(w.hi, _mm256_unpackhi_epi8(d, sign))};
  }
  // (The two halves' comparisons packed into one byte per lane, in another
  // order, which a count does not mind: one mask and one count instead of two.)
  static int atMost(const Window& w, const Window& kk) {
    const __m256i above = _mm256_packs_epi16(_mm256_cmpgt_epi16(w.lo, kk.lo), _mm256_cmpgt_epi16(w.hi, kk.hi));
    return 32 - __builtin_popcount(unsigned(_mm256_movemask_epi8(above)));
  }
  using Lane = int;  // where lane i lies in lo then hi, stored side by side
  static Lane lane(int i) { return ((i >> 3) & 1) * 16 + (i >> 4) * 8 + (i & 7); }
  static __m256i broadcast(const Window& w, Lane i) {
    alignas(32) std::uint16_t t[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(t), w.lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(t + 16), w.hi);
    return _mm256_set1_epi16(short(t[i]));
  }
};

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Whether the processor has what this file's code is built for.
static bool supported() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                          __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  return has;
}

bool mxkernel::pelMedianAvx2(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                             const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out) {
  if (!supported()) return false;
  mxmedian::filterCounting<Avx2Window, Avx2Counts>(src, mask, params, out);
  return true;
}

bool mxkernel::deepMedianAvx2(const mxPelBuffer_const<unsigned short>& src,
                              const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& params,
                              const mxPelBuffer<unsigned short>& out) {
  if (!supported()) return false;
  mxdeepmedian::deepFilterCounting<Avx2Window, Avx2Counts>(src, mask, params, out);
  return true;
}

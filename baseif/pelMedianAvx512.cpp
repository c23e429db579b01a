// The median engines built for processors with AVX-512 (F, BW, DQ, VL): the
// histogram engine, whose sixteen 16-bit counters fill a 256-bit register
// as in the AVX2 build, the pair of fine groups that holds the median one
// 512-bit register, comparisons giving lane masks directly; and the
// counting engine (baseif/detail/bandMedian.h), which hands the image over to the
// histogram engine where counting in bands does not pay.  Everything the
// engines use is included before the target switch, so that only this
// file's own code is built for AVX-512.
//
// GCC 12 warns that the undefined upper half of a 256-to-512-bit cast in its
// own headers is (or may be) used uninitialized; the casts here never use that half.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
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
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl,bmi,bmi2,popcnt"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512bw,avx512dq,avx512vl,bmi,bmi2,popcnt")
#endif

#include "baseif/detail/bandMedian.h"
#include "baseif/detail/deepBandMedian.h"
#include "baseif/detail/medianCounts256.h"

namespace {

struct Avx512Counts : Counts256<Avx512Counts> {
  static int firstAboveSplat(T c, T kk) { return int(_tzcnt_u32(_mm256_cmpgt_epi16_mask(c, kk))); }

  using P = __m512i;
  static P loadPair(const std::uint16_t* p) { return _mm512_loadu_si512(p); }
  static P addPair(P a, P b) { return _mm512_add_epi16(a, b); }
  static P subPair(P a, P b) { return _mm512_sub_epi16(a, b); }
  static P joinPair(T lo, T hi) { return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1); }
  static T lowHalf(P p) { return _mm512_castsi512_si256(p); }
  static T highHalf(P p) { return _mm512_extracti64x4_epi64(p, 1); }
  // The totals lanes below the pair's groups, spread over the pair's
  // halves: indexes into the totals and, for the lanes below group 0, into
  // a zero vector.
  using Sel = __m512i;
  static Sel select(int g) {
    return joinPair(_mm256_set1_epi16(short(g == 0 ? 32 : g - 1)), _mm256_set1_epi16(short(g)));
  }
  static int pairFirstAbove(P p, T totals, Sel s, std::int32_t k) {
    const P below = _mm512_permutex2var_epi16(_mm512_castsi256_si512(totals), s, _mm512_setzero_si512());
    return int(_tzcnt_u32(_mm512_cmpgt_epi16_mask(_mm512_add_epi16(p, below), _mm512_set1_epi16(short(k)))));
  }
};

// The counting engine's 32 window counts: one 512-bit register.
struct Avx512Window {
  using Window = __m512i;
  static Window zero() { return _mm512_setzero_si512(); }
  static Window splat(std::int32_t k) { return _mm512_set1_epi16(short(k)); }
  static Window add(Window w, __m256i c) { return _mm512_add_epi16(w, _mm512_cvtepu8_epi16(c)); }
  // Both widened: two conversions and a subtraction, a step cheaper than the
  // change widened once with a borrow correction (5 % at 201 x 201).
  static Window step(Window w, __m256i e, __m256i l) {
    return _mm512_add_epi16(w, _mm512_sub_epi16(_mm512_cvtepu8_epi16(e), _mm512_cvtepu8_epi16(l)));
  }
  // A change that fits a signed byte, widened once.
  static Window stepNarrow(Window w, __m256i e, __m256i l) {
    return _mm512_add_epi16(w, _mm512_cvtepi8_epi16(_mm256_sub_epi8(e, l)));
  }
  static int atMost(Window w, Window kk) { return __builtin_popcount(_mm512_cmple_epi16_mask(w, kk)); }
  using Lane = __m512i;  // a lane's index in every lane
  static Lane lane(int i) { return _mm512_set1_epi16(short(i)); }
  static __m256i broadcast(Window w, Lane i) { return _mm512_castsi512_si256(_mm512_permutexvar_epi16(i, w)); }
};

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Whether the processor has what this file's code is built for.
static bool supported() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                          __builtin_cpu_supports("popcnt");
  return has;
}

bool mxkernel::pelMedianAvx512(const mxPelBuffer_const<unsigned char>& src,
                               const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& params,
                               const mxPelBuffer<unsigned char>& out) {
  if (!supported()) return false;
  mxmedian::filterCounting<Avx512Window, Avx512Counts>(src, mask, params, out);
  return true;
}

bool mxkernel::deepMedianAvx512(const mxPelBuffer_const<unsigned short>& src,
                                const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& params,
                                const mxPelBuffer<unsigned short>& out) {
  // Only the counting engine has a build of its own here.
  using Engine = mxdeepmedian::DeepBandMedian<Avx512Window, Avx512Counts>;
  if (!supported() || !Engine::takes(params)) return false;
  if (mask.isBound())
    mxdeepmedian::DeepBandMedian<Avx512Window, Avx512Counts, true>(src, mask, params, out).run();
  else
    Engine(src, mask, params, out).run();
  return true;
}

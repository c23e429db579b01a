// The median engine built for processors with AVX2: sixteen 16-bit counters
// fill one 256-bit register, so every histogram step is one instruction.
// Everything the engine uses is included before the target switch, so that
// only this file's own code is built for AVX2.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
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

#include "baseif/detail/medianEngine.h"

namespace {

struct Avx2Counts {
  using T = __m256i;
  static T zero() { return _mm256_setzero_si256(); }
  static T load(const std::uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(std::uint16_t* p, T c) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), c); }
  static T add(T a, T b) { return _mm256_add_epi16(a, b); }
  static T sub(T a, T b) { return _mm256_sub_epi16(a, b); }
  static int firstAbove(T c, std::int32_t k) {
    const unsigned mask = unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi16(c, _mm256_set1_epi16(short(k)))));
    return int(_tzcnt_u32(mask) / 2);
  }
};

void runAvx2(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
             const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out) {
  if (mask.isBound())
    mxmedian::run<Avx2Counts, true>(src, mask, params, out);
  else
    mxmedian::run<Avx2Counts, false>(src, mask, params, out);
}

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool mxkernel::pelMedianAvx2(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                             const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out) {
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                                __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
  if (!supported) return false;
  runAvx2(src, mask, params, out);
  return true;
}

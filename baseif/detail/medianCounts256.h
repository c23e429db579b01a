// What the AVX2 and AVX-512 builds of the median engine share: sixteen
// 16-bit counters in one 256-bit register and their operations.
//
// Internal to the library.  Each of the two translation units includes this
// header after its own target switch (and after <immintrin.h>, <cstdint> and
// the engine's own includes), so that everything here and in the engine is
// built for that unit's instruction set; the anonymous namespace keeps the
// two builds apart.
#pragma once

#include "baseif/detail/medianEngine.h"

namespace {

// The counters' operations for a policy Derived that adds
// firstAboveSplat(c, kk) (the first lane of c above the same lane of kk) and
// the pair operations the strip engine uses.
template <class Derived>
struct Counts256 {
  using T = __m256i;
  static T zero() { return _mm256_setzero_si256(); }
  static T load(const std::uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void store(std::uint16_t* p, T c) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), c); }
  static T add(T a, T b) { return _mm256_add_epi16(a, b); }
  static T sub(T a, T b) { return _mm256_sub_epi16(a, b); }
  static T splat(std::int32_t k) { return _mm256_set1_epi16(short(k)); }
  static int firstAbove(T c, std::int32_t k) { return Derived::firstAboveSplat(c, splat(k)); }
};

}  // namespace

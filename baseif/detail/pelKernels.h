// Row kernels behind the base layer's whole-image operations, with a plain
// C++ version that always exists and, where the processor has them, faster
// instruction-set versions chosen once at run time.  Internal to the library;
// the tests compare every fast path with its plain version.
#pragma once

#include <cstdint>

namespace mxkernel {

// d[i] = lut[s[i]] for i < n (s and d may be equal).
void pelMapRow(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);
void pelMapRowPlain(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);
// The AVX-512 VBMI version; false (nothing written) when the processor lacks it.
bool pelMapRowVbmi(const unsigned char* s, unsigned char* d, std::int32_t n, const unsigned char* lut);

// Count, sum and sum of squares of the pels s[i] whose mask m[i] is non-zero
// (every pel when m is null), added to the accumulators.
struct Moments {
  std::uint64_t count = 0, sum = 0, sumOfSquares = 0;
};
void pelMomentsRow(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc);
void pelMomentsRowPlain(const unsigned char* s, const unsigned char* m, std::int32_t n, Moments& acc);

}  // namespace mxkernel

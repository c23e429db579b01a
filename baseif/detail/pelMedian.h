// The median filter's engine in its instruction-set versions: the baseline
// one that always exists and, where the processor has them, an AVX2 and an
// AVX-512 one chosen at run time.  Internal to the library; the tests compare the
// versions with each other.
#pragma once

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

namespace mxkernel {

// Median of src's window into out (a buffer over that window or a part of
// it, whose pels alone are made; not sharing src's or mask's store), over
// set mask pels when mask is bound (its window then contains src's).
// Parameters already checked.
void pelMedianPortable(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                       const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out);
// The AVX2 version; false (nothing written) when the processor lacks AVX2.
bool pelMedianAvx2(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                   const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out);
// The AVX-512 version (F, BW, DQ and VL); false (nothing written) when the
// processor lacks them.
bool pelMedianAvx512(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                     const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out);

// The 16-bit median of src's window into out, as pelMedianPortable, built
// for AVX2; false (nothing written) when the processor lacks it.  (The
// baseline build is in mfPelMedian itself.)
bool deepMedianAvx2(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                    const mxPelMedianParams& params, const mxPelBuffer<unsigned short>& out);
// The 16-bit median's counting engine built for AVX-512; false (nothing
// written) when the processor lacks it or the engine does not take the
// window.
bool deepMedianAvx512(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelMedianParams& params, const mxPelBuffer<unsigned short>& out);

}  // namespace mxkernel

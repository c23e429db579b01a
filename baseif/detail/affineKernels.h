// Internal to the library: mfAffineTransformImage without its separable
// shortcut for axis-aligned sampling, every sample interpolated on its own.
// The tests compare the two, which must agree exactly.
#pragma once

#include "baseif/mxAffine.h"

namespace mxkernel {

mxPelBuffer<unsigned char> affineTransformImagePerSample(const mxPelBuffer_const<unsigned char>& src,
                                                         const mxAffineSamplingParams& params);

}  // namespace mxkernel

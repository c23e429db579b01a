// Buffer equality: same window, same placement in client coordinates (within
// a tolerance) and exactly the same pels.
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

// True when both buffers are unbound, or both are bound with equal windows,
// window corners that their client-from-image transforms place within
// `tolerance` of each other (mfRealEq: distance in client units), and equal
// pels.  One bound and one unbound gives false.  A bound buffer without a
// client-from-image transform throws mxBadPointer.
IMGNORM_API bool mf_PelBufferEqual(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
                                   double tolerance);
IMGNORM_API bool mf_PelBufferEqual(const mxPelBuffer_const<std::uint32_t>& a, const mxPelBuffer_const<std::uint32_t>& b,
                                   double tolerance);

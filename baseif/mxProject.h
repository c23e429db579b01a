// Projection of an image along one axis of an affine rectangle.
#pragma once

#include <cstdint>

#include "baseif/mxAffine.h"
#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

// Samples the 8-bit source over params.rect() on a grid of xSamples x
// ySamples points and sums each grid column, i.e. along the rectangle's
// y axis, into one row of 32-bit values.
//
// Sampling follows mxAffine.h: sample (i, j) lies at
//     origin + ((i + 0.5) / xSamples) (xCorner - origin)
//            + ((j + 0.5) / ySamples) (yCorner - origin)
// in src's client coordinates, is taken to src's image coordinates with src's
// imageFromClient transform and is read there by bilinear interpolation
// between pel centres (interpolation value 2, the only one supported).  A
// sample whose point lies outside src's window counts as 0; one inside the
// window but within half a pel of its edge reads the edge pels (replicated).
// Each column's samples are summed unrounded and the sum is rounded to the
// nearest integer.
//
// Outputs (any previous contents are replaced; all three buffers are new):
//   projection  xSamples x 1 buffer at image coordinates (0, 0); pel (i, 0) is
//               the sum of grid column i.  Its client-from-image transform
//               maps the profile plane onto the rectangle: profile point
//               (u, v) lies at origin + (u / xSamples) (xCorner - origin) +
//               v (yCorner - origin) in src's client coordinates.  So its
//               imageFromClientXform() carries a point of src's client plane
//               to profile coordinates whose x counts profile columns along
//               the rectangle's x axis (column i covers [i, i + 1)).
//   inside      same size and transforms; pel (i, 0) is the number of samples
//               of column i that lay inside src's window.
//   insideCount the total number of samples that lay inside src's window.
//   clipped     true when some sample lay outside src's window.
//
// Throws mxPel::UnboundWindow for an unbound src, mxBadPointer for a src
// without transforms, and mxPelFunc::BadParams for a sample count below 1, an
// interpolation value other than 2, a rectangle with non-finite corners or
// zero area, or a source transform that is not affine.
IMGNORM_API void mfProjectImage(const mxPelBuffer_const<unsigned char>& src, mxPelBuffer<std::uint32_t>& projection,
                                mxPelBuffer<std::uint32_t>& inside, const mxAffineSamplingParams& params,
                                std::uint32_t& insideCount, bool& clipped);

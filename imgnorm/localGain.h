// Local gain correction: the run path of eLocalGain (flat field) and
// eLocalLinear (local gain and offset).  Internal to the library (not
// exported).
//
// Both divide out a smooth multiplicative distortion (vignetting, uneven
// illumination of a reflective part) that the subtracting local methods
// (localCorrection.h) can only approximate.  They use the same parts: the
// local mean's kernel (three boxes, edges replicated), normalised by the
// mask coverage when there is a mask, and the linear interpolation between
// cell centres of the sub-sampled local mean.
//
// Speed.  The fields are smooth at the neighbourhood's scale, so they are
// estimated on a grid of cells of F pels per axis (anchored at image
// coordinate 0 like the granularity's grid), F = workingFactor: the
// granularity, or where that is larger 4 held between the neighbourhood / 14
// and / 7 (1 for a neighbourhood of 1).  Each cell holds the sums over its set pels within R
// of 1, the image X, the reference Y and (eLocalLinear) X Y and Y Y, divided
// by its area; G is the kernel over the grid with the smoothing amount of
// gridSmoothing, chosen so that cells, kernel and interpolation together
// spread a pel's weight as far (variance) as the pels' own kernel for the
// neighbourhood; every local mean is G(sum) / G(count) in single precision.
// So the cost per pel hardly depends on the neighbourhood (one pass summing
// the cells, one blending two interpolated grid rows per output row).
// Against the same methods on the pels themselves (F = 1), on a textured
// image under a vignette and a tilted offset, the mean difference stays
// below 1 grey level, single pels at the
// image's edges and strongest edges up to 24 (tests/imgnorm/test_localGain).
//
// eLocalGain.  The gain field g = G(reference) / G(image) (means over set
// mask pels), clamped to kMinGain .. kMaxGain; output = image x g, rounded
// and saturated.  The range 1/8 .. 8 covers any real shading (a lens falls
// off to a third at its corners at worst) while a local mean driven toward
// 0 by a dark or missing part cannot blow the pels around it up by more
// than 8x.  Where G(image) is below half a grey level the gain is kMaxGain
// (or 1 when G(reference) is below half a grey level too: nothing to
// match); where no set mask pel lies within reach it is 1.  The ratio of
// the means is the gain averaged over the neighbourhood; where the gain
// bends or meets the window's edge, its bias is estimated from the field's
// own derivatives and taken off (localGain.cpp).
//
// eLocalLinear.  Per pel, the weighted local regression of the image on the
// reference, image ~ a x reference + b: with the local means mI, mR, the
// covariance C of image and reference and the variance V of the reference,
//   a = (C + eps x a0) / (V + eps),   b = mI - a mR,
// where a0 = mI / mR (the flat-field gain, guarded and clamped as above) and
// eps = kLinearRegularisation grey levels squared.  Where the reference is
// locally flat (V << eps) the slope cannot be measured and a falls back to
// a0 with b = 0, that is to eLocalGain; where it is textured (V >> eps) a
// is the least-squares slope.  (A guided filter shrinks a toward 0 instead;
// that is right for smoothing, but this correction divides by a.)  a is
// clamped to kMinGain .. kMaxGain.  The fields a and b are smoothed once
// more with the same kernel, and output = (image - b) / a, rounded and
// clamped to 0 .. 255.  Where no set mask pel lies within reach, a = 1 and
// b = 0.
//
// Bad input gives defined results, never a division by zero, NaN or a
// wrapped pel: an image 0 over a whole neighbourhood (gain kMaxGain, output
// 0 there), a reference flat everywhere (eLocalLinear = eLocalGain), a mask
// excluding everything near a pel (no correction there; set pels weighing
// less than 1e-9 of the kernel count as none), a granularity
// larger than the image (one grid cell: one gain, one offset), a
// neighbourhood of 1 (per-pel fields: the output is the reference wherever
// the gain stays within its range).  intensityVariationRange does not apply:
// the gain's range bounds the correction.
//
// Blocks.  Every filter replicates the edges of the overlap R it works on,
// and the grid is anchored at image coordinate 0 (see localCorrection.h), so
// a block grown by localGainHalo gives the whole run's pels.  The reach on
// the working grid, s the smoothing amount of the working-grid neighbourhood
// K: eLocalGain 3 s (its mean, and the differences over s that remove the
// mean's bias, whose stencil spans 2 s beside a pel at R's edge);
// eLocalLinear 2 s (two smoothings), s = gridSmoothing.  Halo = reach with
// F = 1, (reach + 3) x F otherwise (a cell cut by the block's context lies
// at its edge, beyond every cell a block pel reads).
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxImageNormalizerDefs.h"

namespace imgnorm::detail {

constexpr float kMinGain = 0.125f;
constexpr float kMaxGain = 8.0f;
// eLocalLinear's eps: the reference variance (grey levels squared, a
// standard deviation of 8) below which the slope leans on the flat-field
// gain.  Large against sensor noise (a variance of 10 or so), small against
// the texture a reference is chosen for.
constexpr float kLinearRegularisation = 64.0f;

// The correction as a field over R, for display: output = gain x image -
// offset (before rounding).  eLocalGain: gain = g, offset = 0; eLocalLinear:
// gain = 1 / a, offset = b / a.  Row-major over window.  run() records them
// (with the result records, one level deeper) as the 8-bit images "Local
// gain field" (32 x gain: 32 is 1, 4 is 1/8, 255 is about 8) and, for
// eLocalLinear, "Local offset field" (128 + offset in grey levels).
struct LocalGainFields {
  mxPelRect window;
  std::vector<float> gain, offset;
};

// Corrects image (cut by the caller to its overlap with the reference and
// the mask) into result, a new buffer over R, the common window of image,
// referenceImage and (when bound) binarizedMask, with image's transforms.
// method is eLocalGain or eLocalLinear (otherwise mxPelFunc::BadParams).
// With only, the result is cut to only's part of R (the pels the whole run
// gives there).  With fields, the fields over R are given back too.  Throws
// mxPelFunc::BadParams for a granularity element below 1.
void runLocalGain(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& referenceImage,
                  const mxPelBuffer_const<unsigned char>& binarizedMask, mxImageNormalizerDefs::Method method,
                  const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                  mxPelBuffer<unsigned char>& result, const mxPelRect* only = nullptr,
                  LocalGainFields* fields = nullptr);

// The working grid's cell size F per axis (see Speed): the granularity, or
// where that is larger 4 held between the neighbourhood / 14 and / 7; 1 for
// a neighbourhood of 1.
// Throws mxPelFunc::BadParams for a granularity element below 1.
mxPair<std::int32_t> workingFactor(const mxPair<std::int32_t>& neighborhoodSize,
                                   const mxPair<std::int32_t>& granularity);

// The smoothing amount per axis of the local means on the working grid (see
// Speed).  Throws mxPelFunc::BadParams for a granularity element below 1.
mxPair<std::int32_t> gridSmoothing(const mxPair<std::int32_t>& neighborhoodSize,
                                    const mxPair<std::int32_t>& granularity);

// The halo per axis a block needs for the whole run's pels (see Blocks).
mxPair<std::int32_t> localGainHalo(mxImageNormalizerDefs::Method method, const mxPair<std::int32_t>& neighborhoodSize,
                                   const mxPair<std::int32_t>& granularity);

}  // namespace imgnorm::detail

// Affine resampling: a parallelogram in a source's client coordinates sampled
// onto a regular grid.
//
// Coordinates.  A pel (x, y) covers the unit square [x, x+1) x [y, y+1) of
// image coordinates, so its centre is at (x + 0.5, y + 0.5); a window's
// corners (mxRectangle::origin/ur/ll/lr) are the outer corners of its edge
// pels.  A sampling grid of n x m samples over an mxAffineRectangle places
// sample (i, j) at
//     origin + ((i + 0.5) / n) (xCorner - origin) + ((j + 0.5) / m) (yCorner - origin)
// in the source's client coordinates: the centres of n x m equal cells that
// tile the parallelogram.  The point is taken to the source's image
// coordinates with its imageFromClient transform and read there by
// interpolation between pel centres.
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxVector.h"

// The parallelogram spanned from origin towards xCorner and yCorner.
class mxAffineRectangle {
public:
  mxAffineRectangle() : o_(), xc_(1.0, 0.0), yc_(0.0, 1.0) {}
  mxAffineRectangle(const mxVector<2>& origin, const mxVector<2>& xCorner, const mxVector<2>& yCorner)
      : o_(origin), xc_(xCorner), yc_(yCorner) {}
  const mxVector<2>& origin() const { return o_; }
  const mxVector<2>& xCorner() const { return xc_; }
  const mxVector<2>& yCorner() const { return yc_; }
  // The point at fractions (u, v) of the two edges.
  mxVector<2> point(double u, double v) const { return o_ + u * (xc_ - o_) + v * (yc_ - o_); }

private:
  mxVector<2> o_, xc_, yc_;
};

class mxAffineSamplingParams {
public:
  enum Interpolation : int {
    eBilinear = 2,  // linear in x and y between the four nearest pel centres
    eBicubic = 3    // cubic convolution over the 4 x 4 nearest pels (Keys, a = -0.5)
  };
  mxAffineSamplingParams(const mxAffineRectangle& rect, std::int16_t xSamples, std::int16_t ySamples, int interpolation)
      : rect_(rect), xs_(xSamples), ys_(ySamples), interp_(interpolation) {}
  const mxAffineRectangle& rect() const { return rect_; }
  std::int16_t xSamples() const { return xs_; }
  std::int16_t ySamples() const { return ys_; }
  int interpolation() const { return interp_; }

private:
  mxAffineRectangle rect_;
  std::int16_t xs_, ys_;
  int interp_;
};

// Resamples the parallelogram of params into a new xSamples x ySamples image
// at image coordinates (0, 0) whose client-from-image transform maps its pel
// grid onto the parallelogram (pel (i, j)'s centre to sample (i, j)'s point).
// Samples that need pels beyond src's window read the nearest window pel
// (edges replicated).  Results are rounded to the nearest grey level and
// clamped to 0..255.  Throws mxPel::UnboundWindow for an unbound src,
// mxBadPointer for a src without transforms, mxPelFunc::BadParams for a sample
// count below 1 or an interpolation value other than 2 or 3.
IMGNORM_API mxPelBuffer<unsigned char> mfAffineTransformImage(const mxPelBuffer_const<unsigned char>& src,
                                                              const mxAffineSamplingParams& params);

#include "baseif/mxProject.h"

#include <cmath>
#include <vector>

namespace {

// Bilinear read of the window at continuous image coordinates (px, py), which
// the caller has checked to lie inside the window.  Pel centres sit at +0.5;
// within half a pel of the edge the missing neighbours are the edge pels.
inline double bilinear(const unsigned char* first, std::ptrdiff_t stride, std::int32_t x0, std::int32_t y0,
                       std::int32_t w, std::int32_t h, double px, double py) {
  const double u = px - x0 - 0.5;
  const double v = py - y0 - 0.5;
  // u, v >= -0.5 inside the window, so u + 1 and v + 1 are positive and
  // truncating them floors (cheaper than std::floor); the floors are >= -1
  // and < w, h.
  std::int32_t i0 = std::int32_t(u + 1.0) - 1, j0 = std::int32_t(v + 1.0) - 1;
  const double au = u - i0;
  const double av = v - j0;
  std::int32_t i1 = i0 + 1, j1 = j0 + 1;
  if (i0 < 0) i0 = 0;
  if (j0 < 0) j0 = 0;
  if (i1 > w - 1) i1 = w - 1;
  if (j1 > h - 1) j1 = h - 1;
  const unsigned char* r0 = first + j0 * stride;
  const unsigned char* r1 = first + j1 * stride;
  const double top = r0[i0] + au * (double(r0[i1]) - r0[i0]);
  const double bottom = r1[i0] + au * (double(r1[i1]) - r1[i0]);
  return top + av * (bottom - top);
}

bool finite(const mxVector<2>& p) { return std::isfinite(p.x()) && std::isfinite(p.y()); }

}  // namespace

void mfProjectImage(const mxPelBuffer_const<unsigned char>& src, mxPelBuffer<std::uint32_t>& projection,
                    mxPelBuffer<std::uint32_t>& inside, const mxAffineSamplingParams& params,
                    std::uint32_t& insideCount, bool& clipped) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const auto& toImage = src.imageFromClientXformBase();
  if (!toImage) throw mxBadPointer(L"mfProjectImage: the source has no image-from-client transform");
  if (!toImage->isLinear()) throw mxPelFunc::BadParams(L"mfProjectImage: the source transform must be affine");
  const std::int32_t nx = params.xSamples();
  const std::int32_t ny = params.ySamples();
  if (nx < 1 || ny < 1) throw mxPelFunc::BadParams(L"mfProjectImage: sample counts must be at least 1");
  if (params.interpolation() != mxAffineSamplingParams::eBilinear)
    throw mxPelFunc::BadParams(L"mfProjectImage: only bilinear interpolation (2) is supported");
  const mxAffineRectangle& rect = params.rect();
  const mxVector<2> o = rect.origin();
  const mxVector<2> ex = rect.xCorner() - o;  // the rectangle's x edge
  const mxVector<2> ey = rect.yCorner() - o;  // the rectangle's y edge
  const double area = ex.x() * ey.y() - ex.y() * ey.x();
  if (!finite(o) || !finite(ex) || !finite(ey) || !(area != 0.0) || !std::isfinite(area))
    throw mxPelFunc::BadParams(L"mfProjectImage: the rectangle must have finite corners and a non-zero area");

  // Outputs: one row each, the profile plane mapped onto the rectangle.
  mxPelBuffer<std::uint32_t> proj(nx, 1);
  mxPelBuffer<std::uint32_t> in(nx, 1);
  const mxXform<2> clientFromProfile(mxMatrix<2>(ex.x() / nx, ey.x(), ex.y() / nx, ey.y()), o);
  proj.clientFromImageXform(clientFromProfile);
  in.copyXforms(proj);

  const std::int32_t x0 = src.window().x(), y0 = src.window().y();
  const std::int32_t w = src.width(), h = src.height();
  const double xEnd = double(x0) + w, yEnd = double(y0) + h;
  const unsigned char* first = src.pointToOffset();
  const std::ptrdiff_t stride = src.rowStride();

  // Steps between neighbouring samples, taken to src's image plane: each
  // sample then costs two multiply-adds.
  const mxXform<2> A = toImage->linear();
  const mxVector<2> startImg = A * (o + (0.5 / nx) * ex + (0.5 / ny) * ey);
  const mxVector<2> diImg = A.matrix() * ((1.0 / nx) * ex);
  const mxVector<2> djImg = A.matrix() * ((1.0 / ny) * ey);

  std::uint64_t total = 0;
  std::uint32_t* pOut = proj.row(0);
  std::uint32_t* cOut = in.row(0);
  for (std::int32_t i = 0; i < nx; ++i) {
    double sum = 0.0;
    std::uint32_t count = 0;
    // Outside the window (or not a number) a sample counts as 0.
    const mxVector<2> p0 = startImg + double(i) * diImg;
    for (std::int32_t j = 0; j < ny; ++j) {
      const double px = p0.x() + double(j) * djImg.x();
      const double py = p0.y() + double(j) * djImg.y();
      if (!(px >= x0 && px < xEnd && py >= y0 && py < yEnd)) continue;
      sum += bilinear(first, stride, x0, y0, w, h, px, py);
      ++count;
    }
    // The sum is at most 255 * 32767, far inside 32 bits.
    pOut[i] = std::uint32_t(sum + 0.5);
    cOut[i] = count;
    total += count;
  }
  projection = proj;
  inside = in;
  insideCount = std::uint32_t(total);  // at most 32767 * 32767 < 2^30
  clipped = total != std::uint64_t(nx) * std::uint64_t(ny);
}

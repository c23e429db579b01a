#include "baseif/mxAffine.h"

#include <cmath>
#include <vector>

namespace {

// Interpolation taps along one axis.  f is the sample position in pel-grid
// units of the window (0 = centre of the window's first pel); the taps are the
// N nearest pel indices, clamped into 0 .. size - 1 so that samples near or
// beyond the edge read the edge pels, and their weights.
template <int N>
struct Taps {
  std::int32_t idx[N];
  double w[N];
};

template <int N>
Taps<N> taps(double f, std::int32_t size) {
  // Far-away or non-finite positions read the edge pels; limiting f first
  // keeps the conversion to an integer defined.
  const double lo = -4.0, hi = double(size) + 4.0;
  if (!(f >= lo)) f = lo;
  if (!(f <= hi)) f = hi;
  const double fl = std::floor(f);
  const double t = f - fl;
  const std::int32_t i0 = std::int32_t(fl);
  Taps<N> r;
  if constexpr (N == 2) {
    r.w[0] = 1.0 - t;
    r.w[1] = t;
  } else {
    // Keys' cubic convolution kernel with a = -0.5 (Catmull-Rom): interpolates
    // the pels, reproduces linear ramps, weights sum to 1.
    const double t2 = t * t, t3 = t2 * t;
    r.w[0] = 0.5 * (-t3 + 2.0 * t2 - t);
    r.w[1] = 0.5 * (3.0 * t3 - 5.0 * t2 + 2.0);
    r.w[2] = 0.5 * (-3.0 * t3 + 4.0 * t2 + t);
    r.w[3] = 0.5 * (t3 - t2);
  }
  const std::int32_t first = N == 2 ? i0 : i0 - 1;
  for (int k = 0; k < N; ++k) {
    const std::int32_t i = first + k;
    r.idx[k] = i < 0 ? 0 : (i >= size ? size - 1 : i);
  }
  return r;
}

inline unsigned char toPel(double v) {
  const double r = std::floor(v + 0.5);
  return static_cast<unsigned char>(r < 0.0 ? 0.0 : (r > 255.0 ? 255.0 : r));
}

template <int N>
unsigned char interpolate(const unsigned char* base, std::ptrdiff_t stride, const Taps<N>& tx, const Taps<N>& ty) {
  double acc = 0.0;
  for (int k = 0; k < N; ++k) {
    const unsigned char* row = base + std::ptrdiff_t(ty.idx[k]) * stride;
    double line = 0.0;
    for (int l = 0; l < N; ++l) line += tx.w[l] * row[tx.idx[l]];
    acc += ty.w[k] * line;
  }
  return toPel(acc);
}

template <int N>
void resample(const mxPelBuffer_const<unsigned char>& src, const mxAffineSamplingParams& params,
              const mx2XformBase& imageFromClient, mxPelBuffer<unsigned char>& dst) {
  const std::int32_t n = dst.width(), m = dst.height();
  const std::int32_t W = src.width(), H = src.height();
  const unsigned char* base = src.pointToOffset();
  const std::ptrdiff_t stride = src.rowStride();
  const mxAffineRectangle& rect = params.rect();
  const mxVector<2> ex = (1.0 / n) * (rect.xCorner() - rect.origin());
  const mxVector<2> ey = (1.0 / m) * (rect.yCorner() - rect.origin());
  // Image coordinates -> pel-grid coordinates of the window (pel centres at
  // integers).
  const mxVector<2> grid(double(src.window().x()) + 0.5, double(src.window().y()) + 0.5);

  if (!imageFromClient.isLinear()) {
    for (std::int32_t j = 0; j < m; ++j) {
      unsigned char* out = dst.row(j);
      for (std::int32_t i = 0; i < n; ++i) {
        const mxVector<2> q = imageFromClient.mapPoint(rect.origin() + (i + 0.5) * ex + (j + 0.5) * ey) - grid;
        out[i] = interpolate<N>(base, stride, taps<N>(q.x(), W), taps<N>(q.y(), H));
      }
    }
    return;
  }

  // Affine: the grid position of sample (i, j) is q0 + i di + j dj.
  const mxXform<2> a = imageFromClient.linear();
  const mxVector<2> q0 = a * (rect.origin() + 0.5 * ex + 0.5 * ey) - grid;
  const mxVector<2> di = a.matrix() * ex;
  const mxVector<2> dj = a.matrix() * ey;

  if (di.y() == 0.0 && dj.x() == 0.0) {
    // Axis-aligned sampling (scaling and shifting): the x taps depend only on
    // the column and the y taps only on the row, so they are worked out once.
    std::vector<Taps<N>> columns(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) columns[i] = taps<N>(q0.x() + i * di.x(), W);
    for (std::int32_t j = 0; j < m; ++j) {
      const Taps<N> ty = taps<N>(q0.y() + j * dj.y(), H);
      unsigned char* out = dst.row(j);
      for (std::int32_t i = 0; i < n; ++i) out[i] = interpolate<N>(base, stride, columns[i], ty);
    }
    return;
  }

  for (std::int32_t j = 0; j < m; ++j) {
    const mxVector<2> rowStart = q0 + double(j) * dj;
    unsigned char* out = dst.row(j);
    for (std::int32_t i = 0; i < n; ++i) {
      const mxVector<2> q = rowStart + double(i) * di;
      out[i] = interpolate<N>(base, stride, taps<N>(q.x(), W), taps<N>(q.y(), H));
    }
  }
}

}  // namespace

mxPelBuffer<unsigned char> mfAffineTransformImage(const mxPelBuffer_const<unsigned char>& src,
                                                  const mxAffineSamplingParams& params) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const std::shared_ptr<const mx2XformBase>& imageFromClient = src.imageFromClientXformBase();
  if (!imageFromClient) throw mxBadPointer(L"mfAffineTransformImage: the source has no client transform");
  if (params.xSamples() < 1 || params.ySamples() < 1)
    throw mxPelFunc::BadParams(L"mfAffineTransformImage: the sample counts must be at least 1");
  const int interp = params.interpolation();
  if (interp != mxAffineSamplingParams::eBilinear && interp != mxAffineSamplingParams::eBicubic)
    throw mxPelFunc::BadParams(L"mfAffineTransformImage: the interpolation must be 2 (bilinear) or 3 (bicubic)");
  if (src.window().isNull()) throw mxPel::BadWindow(L"mfAffineTransformImage: the source window is empty");

  const std::int32_t n = params.xSamples(), m = params.ySamples();
  mxPelBuffer<unsigned char> dst(mxPelRect(0, 0, n, m));
  // Pel (i, j)'s centre (i + 0.5, j + 0.5) maps to sample (i, j)'s point.
  const mxAffineRectangle& rect = params.rect();
  const mxVector<2> ex = rect.xCorner() - rect.origin(), ey = rect.yCorner() - rect.origin();
  dst.clientFromImageXform(mxXform<2>(mxMatrix<2>(ex.x() / n, ey.x() / m, ex.y() / n, ey.y() / m), rect.origin()));

  if (interp == mxAffineSamplingParams::eBilinear)
    resample<2>(src, params, *imageFromClient, dst);
  else
    resample<4>(src, params, *imageFromClient, dst);
  return dst;
}

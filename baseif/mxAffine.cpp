#include "baseif/mxAffine.h"

#include <cmath>
#include <vector>

#include "baseif/detail/affineKernels.h"

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

// toPel for the separable path, in a form that vectorises: for the values
// that occur (finite, far inside the int range) clamping before the
// truncation gives floor(v + 0.5) clamped to 0 .. 255, as toPel does.
inline unsigned char toPelClamped(double v) {
  const double r = v + 0.5;
  const double c = r < 0.0 ? 0.0 : (r > 255.0 ? 255.0 : r);
  return static_cast<unsigned char>(static_cast<std::int32_t>(c));
}

// Axis-aligned sampling (scaling and shifting): sample (i, j) sits at grid
// position (x0 + i dx, y0 + j dy), so the x taps depend only on the column and
// the y taps only on the row.  Each source row is interpolated along x once
// into a line of doubles and kept while output rows still read it (with
// upsampling several do); each output row then combines N lines.  The
// arithmetic is interpolate()'s, operation for operation (the same products
// summed in the same order from 0.0), so the results equal the per-sample
// path's exactly.
template <int N>
void resampleAxisAligned(const unsigned char* base, std::ptrdiff_t stride, std::int32_t W, std::int32_t H, double x0,
                         double dx, double y0, double dy, mxPelBuffer<unsigned char>& dst) {
  const std::int32_t n = dst.width(), m = dst.height();
  const std::size_t un = static_cast<std::size_t>(n);
  // Column taps as one index and one weight array per tap.
  std::vector<std::int32_t> colIdx(N * un);
  std::vector<double> colW(N * un);
  for (std::int32_t i = 0; i < n; ++i) {
    const Taps<N> t = taps<N>(x0 + i * dx, W);
    for (int k = 0; k < N; ++k) {
      colIdx[k * un + i] = t.idx[k];
      colW[k * un + i] = t.w[k];
    }
  }
  // 2 N cached lines: N in use by the current output row, N more so that a
  // row's lines never evict each other.
  constexpr int kSlots = 2 * N;
  std::vector<double> lines(kSlots * un);
  std::int32_t lineRow[kSlots];
  for (int s = 0; s < kSlots; ++s) lineRow[s] = -1;
  for (std::int32_t j = 0; j < m; ++j) {
    const Taps<N> ty = taps<N>(y0 + j * dy, H);
    const double* L[N];
    bool used[kSlots] = {};
    for (int k = 0; k < N; ++k) {
      int s = 0;
      while (s < kSlots && lineRow[s] != ty.idx[k]) ++s;
      if (s == kSlots) {
        // A slot that none of this row's taps holds.
        for (s = 0; s < kSlots; ++s) {
          bool needed = used[s];
          for (int l = 0; l < N && !needed; ++l) needed = lineRow[s] == ty.idx[l];
          if (!needed) break;
        }
        const unsigned char* row = base + std::ptrdiff_t(ty.idx[k]) * stride;
        double* line = lines.data() + s * un;
        for (std::int32_t i = 0; i < n; ++i) {
          double v = 0.0;
          for (int l = 0; l < N; ++l) v += colW[l * un + i] * row[colIdx[l * un + i]];
          line[i] = v;
        }
        lineRow[s] = ty.idx[k];
      }
      used[s] = true;
      L[k] = lines.data() + s * un;
    }
    unsigned char* out = dst.row(j);
    for (std::int32_t i = 0; i < n; ++i) {
      double acc = 0.0;
      for (int k = 0; k < N; ++k) acc += ty.w[k] * L[k][i];
      out[i] = toPelClamped(acc);
    }
  }
}

template <int N>
void resample(const mxPelBuffer_const<unsigned char>& src, const mxAffineSamplingParams& params,
              const mx2XformBase& imageFromClient, bool separable, mxPelBuffer<unsigned char>& dst) {
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

  if (separable && di.y() == 0.0 && dj.x() == 0.0) {
    resampleAxisAligned<N>(base, stride, W, H, q0.x(), di.x(), q0.y(), dj.y(), dst);
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

mxPelBuffer<unsigned char> transformImage(const mxPelBuffer_const<unsigned char>& src,
                                          const mxAffineSamplingParams& params, bool separable) {
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
    resample<2>(src, params, *imageFromClient, separable, dst);
  else
    resample<4>(src, params, *imageFromClient, separable, dst);
  return dst;
}

}  // namespace

mxPelBuffer<unsigned char> mfAffineTransformImage(const mxPelBuffer_const<unsigned char>& src,
                                                  const mxAffineSamplingParams& params) {
  return transformImage(src, params, true);
}

mxPelBuffer<unsigned char> mxkernel::affineTransformImagePerSample(const mxPelBuffer_const<unsigned char>& src,
                                                                   const mxAffineSamplingParams& params) {
  return transformImage(src, params, false);
}

#include "baseif/mxGaussSample.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "baseif/mx2Xform.h"
#include "baseif/mxPelOps.h"

// How it works.  The 2-D kernel is separable, so the sampler runs a vertical
// stage and then a horizontal one.  Each stage treats a block of lines (16
// columns, or 8 rows) at once: the block is copied into a scratch array
// "position-major" (all lanes of one position side by side), extended at both
// ends by replicating the edge pels, and three box filters run over it in
// place.  A box filter is a running sum, so its cost does not depend on its
// width, and the lanes of one position form a short vector the compiler
// processes with SIMD instructions.  The vertical stage writes only the rows
// that the output samples, into a 16-bit intermediate image holding values at
// 256 times their grey level; the horizontal stage reads that image and
// writes the output pels.

mxGaussSampleParams::mxGaussSampleParams(mxPair<std::int32_t> sample_, mxPair<std::int32_t> smoothing_, double gain_,
                                         bool centred_)
    : sample(sample_), smoothing(smoothing_), gain(gain_), centred(centred_) {}

namespace {

constexpr std::int32_t kMaxSmoothing = 32767;
constexpr std::int32_t kMaxGain = 65535;
// Intermediate values carry 8 fraction bits.
constexpr float kFixedOne = 256.0f;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The work along one axis: which outputs there are and which stretch of
// (replicated) source positions feeds them.
struct AxisPlan {
  std::int32_t first = 0;   // image coordinate of the first output pel
  std::int32_t count = 0;   // number of output pels
  std::int32_t step = 1;    // sampling factor
  std::int32_t lead = 0;    // source position of line index 0, relative to the window origin
  std::int32_t length = 0;  // line length: (count - 1) * step + kernel support
  std::int32_t widths[3] = {1, 1, 1};
};

AxisPlan planAxis(std::int32_t origin, std::int32_t size, std::int32_t step, std::int32_t smoothing, bool centred) {
  AxisPlan p;
  p.step = step;
  if (size <= 0) {
    p.first = std::int32_t(floorDiv(origin, step));
    return p;
  }
  const bool evenCell = centred && step % 2 == 0;
  const std::int32_t support = 2 * smoothing + 1 + (evenCell ? 1 : 0);
  // Three box widths adding up to support + 2, as equal as possible.
  const std::int32_t total = support + 2;
  for (int k = 0; k < 3; ++k) p.widths[k] = total / 3 + (k < total % 3 ? 1 : 0);
  const std::int64_t first = floorDiv(origin, step);
  const std::int64_t last = floorDiv(std::int64_t(origin) + size - 1, step);
  p.first = std::int32_t(first);
  p.count = std::int32_t(last - first + 1);
  // The kernel of output i covers source positions a_i .. a_i + support - 1.
  const std::int64_t offset = centred ? (step - support) / 2 : -smoothing;
  p.lead = std::int32_t(first * step + offset - origin);
  p.length = (p.count - 1) * step + support;
  return p;
}

inline std::int32_t clampIndex(std::int32_t i, std::int32_t hi) { return i < 0 ? 0 : (i > hi ? hi : i); }

// One box filter of width w over a position-major block of n positions with
// LANES lanes each, in place: position p becomes
//     round(scale * (b[p] + ... + b[p + w - 1])),
// for p = 0 .. n - w; the positions beyond are left stale.  Values stay
// non-negative, so adding 0.5 and truncating rounds to nearest.
template <int LANES>
void boxPass(std::int32_t* b, std::int32_t n, std::int32_t w, float scale) {
  if (w == 1 && scale == 1.0f) return;
  std::int32_t acc[LANES] = {};
  for (std::int32_t q = 0; q < w; ++q)
    for (int l = 0; l < LANES; ++l) acc[l] += b[q * LANES + l];
  const std::int32_t last = n - w;
  for (std::int32_t p = 0; p < last; ++p) {
    std::int32_t* cur = b + std::ptrdiff_t(p) * LANES;
    const std::int32_t* in = cur + std::ptrdiff_t(w) * LANES;
    for (int l = 0; l < LANES; ++l) {
      const std::int32_t a = acc[l];
      acc[l] = a - cur[l] + in[l];
      cur[l] = std::int32_t(float(a) * scale + 0.5f);
    }
  }
  std::int32_t* cur = b + std::ptrdiff_t(last) * LANES;
  for (int l = 0; l < LANES; ++l) cur[l] = std::int32_t(float(acc[l]) * scale + 0.5f);
}

// The last pass: like boxPass, with the result clamped to maxValue.
template <int LANES>
void finalPass(std::int32_t* b, std::int32_t n, std::int32_t w, float scale, float maxValue) {
  std::int32_t acc[LANES] = {};
  for (std::int32_t q = 0; q < w; ++q)
    for (int l = 0; l < LANES; ++l) acc[l] += b[q * LANES + l];
  const std::int32_t last = n - w;
  for (std::int32_t p = 0; p < last; ++p) {
    std::int32_t* cur = b + std::ptrdiff_t(p) * LANES;
    const std::int32_t* in = cur + std::ptrdiff_t(w) * LANES;
    for (int l = 0; l < LANES; ++l) {
      const std::int32_t a = acc[l];
      acc[l] = a - cur[l] + in[l];
      const float v = float(a) * scale + 0.5f;
      cur[l] = std::int32_t(v < maxValue ? v : maxValue);
    }
  }
  std::int32_t* cur = b + std::ptrdiff_t(last) * LANES;
  for (int l = 0; l < LANES; ++l) {
    const float v = float(acc[l]) * scale + 0.5f;
    cur[l] = std::int32_t(v < maxValue ? v : maxValue);
  }
}

// Vertical stage: src's window smoothed along y and sampled at plan y's rows,
// into v (width x y.count values at 256 times their grey level, row-major).
void verticalStage(const mxPelBuffer_const<unsigned char>& src, const AxisPlan& y, std::vector<std::uint16_t>& v) {
  constexpr int LANES = 16;
  const std::int32_t width = src.width();
  const std::int32_t lastRow = src.height() - 1;
  std::vector<std::int32_t> buf(std::size_t(y.length) * LANES);
  std::int32_t* b = buf.data();
  for (std::int32_t c0 = 0; c0 < width; c0 += LANES) {
    const int lanes = int(std::min<std::int32_t>(LANES, width - c0));
    for (std::int32_t q = 0; q < y.length; ++q) {
      const unsigned char* s = src.row(clampIndex(y.lead + q, lastRow)) + c0;
      std::int32_t* d = b + std::ptrdiff_t(q) * LANES;
      if (lanes == LANES) {
        for (int l = 0; l < LANES; ++l) d[l] = s[l];
      } else {
        // A narrow last block: the spare lanes repeat the last column and
        // are never written out.
        for (int l = 0; l < LANES; ++l) d[l] = s[l < lanes ? l : lanes - 1];
      }
    }
    std::int32_t n = y.length;
    boxPass<LANES>(b, n, y.widths[0], kFixedOne / float(y.widths[0]));
    n -= y.widths[0] - 1;
    boxPass<LANES>(b, n, y.widths[1], 1.0f / float(y.widths[1]));
    n -= y.widths[1] - 1;
    boxPass<LANES>(b, n, y.widths[2], 1.0f / float(y.widths[2]));
    for (std::int32_t j = 0; j < y.count; ++j) {
      const std::int32_t* s = b + std::ptrdiff_t(j) * y.step * LANES;
      std::uint16_t* d = v.data() + std::ptrdiff_t(j) * width + c0;
      for (int l = 0; l < lanes; ++l) d[l] = std::uint16_t(s[l]);
    }
  }
}

// Horizontal stage: the rows of v smoothed along x, sampled at plan x's
// columns, scaled by gain and written into dst's window (whose size is
// x.count x number of rows of v).
template <class T>
void horizontalStage(const std::vector<std::uint16_t>& v, std::int32_t width, std::int32_t rows, const AxisPlan& x,
                     double gain, const mxPelBuffer<T>& dst) {
  constexpr int LANES = 8;
  const std::int32_t lastCol = width - 1;
  const float maxValue = float(std::numeric_limits<T>::max());
  const float finalScale = float(gain / (double(kFixedOne) * double(x.widths[2])));
  std::vector<std::int32_t> buf(std::size_t(x.length) * LANES);
  std::int32_t* b = buf.data();
  // Line positions 0 .. padLeft - 1 replicate column 0, positions from
  // padRight on replicate the last column; those between read columns
  // x.lead + q directly.
  const std::int32_t padLeft = std::min(std::max(-x.lead, 0), x.length);
  const std::int32_t padRight = std::max(padLeft, std::min(x.length, width - x.lead));
  for (std::int32_t r0 = 0; r0 < rows; r0 += LANES) {
    const int lanes = int(std::min<std::int32_t>(LANES, rows - r0));
    for (int l = 0; l < LANES; ++l) {
      const std::uint16_t* s = v.data() + std::ptrdiff_t(r0 + (l < lanes ? l : lanes - 1)) * width;
      std::int32_t* d = b + l;
      const std::int32_t left = s[0];
      const std::int32_t right = s[lastCol];
      std::int32_t q = 0;
      for (; q < padLeft; ++q) d[q * LANES] = left;
      const std::uint16_t* sq = s + x.lead;
      for (; q < padRight; ++q) d[q * LANES] = sq[q];
      for (; q < x.length; ++q) d[q * LANES] = right;
    }
    std::int32_t n = x.length;
    boxPass<LANES>(b, n, x.widths[0], 1.0f / float(x.widths[0]));
    n -= x.widths[0] - 1;
    boxPass<LANES>(b, n, x.widths[1], 1.0f / float(x.widths[1]));
    n -= x.widths[1] - 1;
    finalPass<LANES>(b, n, x.widths[2], finalScale, maxValue);
    for (int l = 0; l < lanes; ++l) {
      T* d = dst.row(r0 + l);
      const std::int32_t* s = b + l;
      const std::ptrdiff_t stride = std::ptrdiff_t(x.step) * LANES;
      for (std::int32_t i = 0; i < x.count; ++i) d[i] = T(s[i * stride]);
    }
  }
}

void checkParams(const mxGaussSampleParams& p, double typeMax) {
  if (p.sample.x() < 1 || p.sample.y() < 1)
    throw mxPelFunc::BadParams(L"mfGaussSample: sampling factors must be >= 1");
  if (p.smoothing.x() < 0 || p.smoothing.y() < 0 || p.smoothing.x() > kMaxSmoothing ||
      p.smoothing.y() > kMaxSmoothing)
    throw mxPelFunc::BadParams(L"mfGaussSample: smoothing amounts must lie in 0 .. 32767");
  if (!(p.gain >= 0.0 && p.gain <= double(kMaxGain)))
    throw mxPelFunc::BadParams(L"mfGaussSample: gain must lie in 0 .. 65535");
  if (!p.saturate && p.gain * 255.0 > typeMax)
    throw mxPelFunc::BadParams(L"mfGaussSample: gain x 255 exceeds the output range (set saturate to clamp)");
}

// The sampled result's window.
mxPelRect resultRect(const AxisPlan& x, const AxisPlan& y) { return mxPelRect(x.first, y.first, x.count, y.count); }

// Gives dst the client transforms of the sampled grid: src's transforms when
// nothing is sampled, else src's client-from-image transform after the
// scaling from result image coordinates to source image coordinates.
void sampledXforms(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& p, mx_PelBuffer& dst) {
  if (p.sample.x() == 1 && p.sample.y() == 1) {
    dst.copyXforms(src);
    return;
  }
  const std::shared_ptr<const mx2XformBase>& c = src.clientFromImageXformBase();
  if (!c) throw mxBadPointer();
  const double gx = p.sample.x();
  const double gy = p.sample.y();
  // A cell's corner maps to the corner of its first pel; a kernel centred on
  // the cell's first pel shifts the grid back by (g - 1) / 2.
  const double tx = p.centred ? 0.0 : -(gx - 1.0) / 2.0;
  const double ty = p.centred ? 0.0 : -(gy - 1.0) / 2.0;
  const mxXform<2> scale(mxMatrix<2>(gx, 0.0, 0.0, gy), mxVector<2>(tx, ty));
  dst.clientFromImageXformBase(std::make_shared<mx2XformLinear>(c->linear() * scale));
}

template <class T>
void gaussSample(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& p, mxPelBuffer<T>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  checkParams(p, double(std::numeric_limits<T>::max()));
  const mxPelRect w = src.window();
  const AxisPlan x = planAxis(w.x(), w.width(), p.sample.x(), p.smoothing.x(), p.centred);
  const AxisPlan y = planAxis(w.y(), w.height(), p.sample.y(), p.smoothing.y(), p.centred);
  const mxPelRect out = resultRect(x, y);
  if (!dst.isBound()) {
    mxPelBuffer<T> fresh(out);
    sampledXforms(src, p, fresh);
    dst = fresh;
  }
  if (out.isNull() || out.intersect(dst.window()).isNull()) return;
  // Write straight into dst when it shows exactly the result's window;
  // otherwise through a temporary whose overlap is copied.
  mxPelBuffer<T> target = dst;
  if (dst.window() != out) target = mxPelBuffer<T>(out);
  std::vector<std::uint16_t> v(std::size_t(w.width()) * std::size_t(y.count));
  verticalStage(src, y, v);
  horizontalStage<T>(v, w.width(), y.count, x, p.gain, target);
  if (target.root() != dst.root()) mfPelCopy<T>(target, dst);
}

}  // namespace

mxPelBuffer<unsigned char> mfGaussSample(const mxPelBuffer_const<unsigned char>& src,
                                        const mxGaussSampleParams& params) {
  mxPelBuffer<unsigned char> dst;
  gaussSample<unsigned char>(src, params, dst);
  return dst;
}

void mfGaussSample(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& params,
                   mxPelBuffer<unsigned short>& dst) {
  gaussSample<unsigned short>(src, params, dst);
}

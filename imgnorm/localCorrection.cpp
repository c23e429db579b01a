#include "imgnorm/localCorrection.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/gaussRows.h"
#include "baseif/mx2Xform.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxPelMedian.h"
#include "baseif/mxPelOps.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"

using mxImageNormalizerDefs::Method;

namespace {

constexpr std::int64_t kMedianArea = 32767;

void checkGranularity(const mxPair<std::int32_t>& granularity) {
  if (granularity.x() < 1 || granularity.y() < 1)
    throw mxPelFunc::BadParams(L"local correction: both elements of granularity must be >= 1");
}

// The largest smoothing amount the Gaussian sampler takes.  Larger amounts
// (from neighbourhoods or granularities far larger than any image) are
// clamped to it wherever the sampler is called: the result is then as flat
// over the image as it can get, and training and running still work.
constexpr std::int32_t kMaxSmoothing = 32767;

mxPair<std::int32_t> clampedSmoothing(const mxPair<std::int32_t>& amount) {
  return {std::min(amount.x(), kMaxSmoothing), std::min(amount.y(), kMaxSmoothing)};
}

// The sub-sampler of the working grid: factors granularity, smoothing one
// less (clamped), centred cells.
mxGaussSampleParams gridSampler(const mxPair<std::int32_t>& granularity) {
  return mxGaussSampleParams(granularity, clampedSmoothing(granularity - mxPair<std::int32_t>(1, 1)), 1.0, true);
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Normalised convolution, one block of rows: at set mask pels
// e = (b x 255 + c / 2) / c, the mean of the difference over set mask pels,
// at most 255; where the coverage c is 0 (possible only when the kernel is so
// wide that a lone pel's weight rounds away) e keeps the pel's own
// difference.  Unset pels keep e (0), or with everywhere get the same mean
// of the set pels around them (128, no correction, when there are none).
// The dividend stays below 2^24 and the
// divisor below 2^15, so the single-precision quotient truncates to the
// integer quotient exactly.
void normaliseRows(const unsigned short* b, std::ptrdiff_t bs, const unsigned short* c, std::ptrdiff_t cs,
                   const unsigned char* m, std::ptrdiff_t ms, unsigned char* e, std::ptrdiff_t es, std::int32_t w,
                   std::int32_t h, bool everywhere) {
  const unsigned char unset = everywhere ? 128 : 0;
  for (std::int32_t j = 0; j < h; ++j, b += bs, c += cs, m += ms, e += es)
    for (std::int32_t i = 0; i < w; ++i) {
      const std::uint32_t den = c[i];
      const float q = float(std::uint32_t(b[i]) * 255u + den / 2u) / float(den != 0 ? den : 1u);
      const std::int32_t v = std::min(std::int32_t(q), 255);
      const unsigned char own = m[i] == 0 ? unset : e[i];
      e[i] = den == 0 || (m[i] == 0 && !everywhere) ? own : (unsigned char)v;
    }
}

// The coverage that divides a masked local sum: the trained one when the
// caller has it for this window (bound), else the mask window smoothed here
// with the same kernel and edges.
mxPelBuffer_const<unsigned short> coverageOver(const mxPelBuffer_const<unsigned short>& trained,
                                               const mxPelBuffer_const<unsigned char>& mw,
                                               const mxPair<std::int32_t>& k) {
  if (trained.isBound()) return trained;
  mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(mw);
  mxPelBuffer<unsigned short> fresh;
  scaledLocalMean(copy, k, fresh);
  return fresh;
}

// Local estimate by the Gaussian-weighted mean (eLocalCorrection) over d's
// window: E = the mean of D over set mask pels (normalised convolution), 0
// where the mask is not set; without a mask the plain mean.  The numerator
// and the coverage that divides it are smoothed over the same window with the
// same (replicated) edges, so the quotient is a weighted mean of set pels'
// differences whatever part of the mask d covers.  coverage is the trained
// coverage when it was made over exactly this window on this grid, else
// unbound, and it is then computed here from m.
void meanEstimate(const mxPelBuffer<unsigned char>& d, const mxPelBuffer_const<unsigned char>& m,
                  const mxPelBuffer_const<unsigned short>& coverage, const mxPair<std::int32_t>& k, bool everywhere,
                  mxPelBuffer<unsigned char>& e) {
  if (!m.isBound()) {
    mfPelCopy<unsigned char>(d, e);
    mxPelBuffer<unsigned short> b;
    scaledLocalMean(e, k, b);
    pelShiftDown(b, 7, e);
    return;
  }
  mxPelBuffer_const<unsigned char> mw = m;
  mw.window(d.window(), false);
  mfPelMin(d, mw, e);
  mxPelBuffer<unsigned short> b;
  scaledLocalMean(e, k, b);
  const mxPelBuffer_const<unsigned short> c = coverageOver(coverage, mw, k);
  const mxPelRect& r = e.window();
  normaliseRows(b.pointToPel(r.x(), r.y()), b.rowStride(), c.pointToPel(r.x(), r.y()), c.rowStride(),
                mw.pointToPel(r.x(), r.y()), mw.rowStride(), e.pointToPel(r.x(), r.y()), e.rowStride(), r.width(),
                r.height(), everywhere);
}

// D = 128 + clamp(img - ref, -c, +c) with c = min(amount, 127) over img's
// window (ref covers it): the clamped difference in offset-128 form, made in
// one pass into a new buffer.
mxPelBuffer<unsigned char> clampedDifference(const mxPelBuffer_const<unsigned char>& img,
                                             const mxPelBuffer_const<unsigned char>& ref, unsigned char amount) {
  const mxPelRect& r = img.window();
  mxPelBuffer<unsigned char> d(r, 32, mxPelInit::eUnwritten);
  d.copyXforms(img);
  const std::int32_t c = std::min<std::int32_t>(amount, 127);
  for (std::int32_t j = 0; j < r.height(); ++j)
    mxcpu::dispatch(
        [](const unsigned char* a, const unsigned char* b, unsigned char* o, std::int32_t w, std::int32_t c)
            MX_KERNEL_INLINE {
              // 128 + (a - b) clamped to -c .. c, in byte arithmetic (saturating
              // differences and minima) so that it runs a whole register of
              // pels per instruction.
              const unsigned char cc = (unsigned char)c;
              for (std::int32_t i = 0; i < w; ++i) {
                const unsigned char x = a[i], y = b[i];
                const unsigned char up = x > y ? (unsigned char)(x - y) : 0;
                const unsigned char down = y > x ? (unsigned char)(y - x) : 0;
                o[i] = (unsigned char)(128 + (up < cc ? up : cc) - (down < cc ? down : cc));
              }
            },
        img.row(j), ref.pointToPel(r.x(), r.y() + j), d.row(j), r.width(), c);
  return d;
}

// The correction of one row: out = clamp(img - estimate + 128, 0, 255).
MX_KERNEL_INLINE inline unsigned char corrected(unsigned char img, std::int32_t estimate) {
  const std::int32_t v = std::int32_t(img) - estimate + 128;
  return (unsigned char)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One output row of the interpolation back to full size, corrected at once:
// the estimate is the blend of two widened grid rows (values x 256) with
// weights wa + wb = 256, rounded.
void blendAndCorrect(const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb,
                     const unsigned char* img, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb, const unsigned char* img,
         unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i)
          out[i] = corrected(img[i], std::int32_t((a[i] * wa + b[i] * wb + 32768u) >> 16));
      },
      a, b, wa, wb, img, out, w);
}

// Rows of the full-resolution mean's correction without a mask: the
// estimate is the low 8 bits of the 16-bit mean b shifted down by 7.
void shiftAndCorrect(const std::uint16_t* b, const unsigned char* img, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* b, const unsigned char* img, unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) out[i] = corrected(img[i], std::int32_t((b[i] >> 7) & 255));
      },
      b, img, out, w);
}

// Rows of the full-resolution masked mean's correction: the estimate is the
// normalised convolution of normaliseRows (own difference e where the
// coverage is 0, 0 at unset pels).
void divideAndCorrect(const std::uint16_t* b, const std::uint16_t* c, const unsigned char* m, const unsigned char* e,
                      const unsigned char* img, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* b, const std::uint16_t* c, const unsigned char* m, const unsigned char* e,
         const unsigned char* img, unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::uint32_t den = c[i];
          const float q = float(std::uint32_t(b[i]) * 255u + den / 2u) / float(den != 0 ? den : 1u);
          const std::int32_t v = std::min(std::int32_t(q), 255);
          const std::int32_t estimate = m[i] == 0 ? 0 : (den == 0 ? std::int32_t(e[i]) : v);
          out[i] = corrected(img[i], estimate);
        }
      },
      b, c, m, e, img, out, w);
}

// The full-resolution mean's correction, streamed: the Gaussian mean of d
// (or of d at set pels) comes a block of rows at a time and each row is
// divided or shifted down and subtracted from the image while it is in
// cache, so no image-sized 16-bit mean or 8-bit estimate is kept.  The same
// pels as meanEstimate followed by the subtraction.
mxPelBuffer<unsigned char> meanCorrection(const mxPelBuffer_const<unsigned char>& img,
                                          const mxPelBuffer<unsigned char>& d,
                                          const mxPelBuffer_const<unsigned char>& m,
                                          const mxPelBuffer_const<unsigned short>& coverage,
                                          const mxPair<std::int32_t>& k) {
  const mxPelRect& r = d.window();
  mxPelBuffer<unsigned char> out(r, 32, mxPelInit::eUnwritten);
  mxGaussSampleParams params({1, 1}, clampedSmoothing(smoothingForNeighborhood(k)), 128.0, true);
  params.saturate = true;
  if (!m.isBound()) {
    mxkernel::gaussSampleRows(
        d, params, [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
          for (std::int32_t j = 0; j < count; ++j)
            shiftAndCorrect(rows + std::ptrdiff_t(j) * stride, img.row(j0 + j), out.row(j0 + j), r.width());
        });
    return out;
  }
  mxPelBuffer_const<unsigned char> mw = m;
  mw.window(r, false);
  const mxPelBuffer<unsigned char> e = mfPelMin(d, mw);
  const mxPelBuffer_const<unsigned short> c = coverageOver(coverage, mw, k);
  mxkernel::gaussSampleRows(
      e, params, [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
        for (std::int32_t j = 0; j < count; ++j) {
          const std::int32_t y = r.y() + j0 + j;
          divideAndCorrect(rows + std::ptrdiff_t(j) * stride, c.pointToPel(r.x(), y), mw.pointToPel(r.x(), y),
                           e.row(j0 + j), img.row(j0 + j), out.row(j0 + j), r.width());
        }
      });
  return out;
}

// Brings an estimate on the working grid back to full resolution over r.
// Grid pel i stands for the cell [i g, (i + 1) g) of image coordinates (the
// grid is anchored at image coordinate 0), so its value belongs at the cell's
// centre i g + (g - 1) / 2: pel x lies at grid position (2 x + 1 - g) / (2 g)
// and is interpolated linearly between the two grid pels around it, the
// grid's edge pels replicated beyond its window.  A pel's value thus depends
// on the grid pels next to it only, never on r's size.  Weights carry 8
// fraction bits: each grid row in use is widened to full resolution once
// (values x 256), and every output row blends two such rows.
//
// The estimate is subtracted as it is made: the result over r is
// clamp(img - estimate + 128), img being the run-time image over r.
mxPelBuffer<unsigned char> expandAndCorrect(const mxPelBuffer_const<unsigned char>& e,
                                            const mxPair<std::int32_t>& granularity,
                                            const mxPelBuffer_const<unsigned char>& img) {
  const mxPelRect& r = img.window();
  struct Tap {
    std::int32_t lo, hi;  // grid indices relative to the grid window
    std::uint32_t w;      // weight of hi, 0 .. 256
  };
  auto taps = [](std::int32_t origin, std::int32_t count, std::int32_t g, std::int32_t first, std::int32_t cells) {
    std::vector<Tap> t(std::size_t(std::max(count, 0)));
    for (std::int32_t i = 0; i < count; ++i) {
      const std::int64_t pos = 2 * (std::int64_t(origin) + i) + 1 - g;
      const std::int64_t i0 = floorDiv(pos, 2 * std::int64_t(g));
      const std::int64_t f = pos - i0 * 2 * g;  // 0 .. 2 g - 1
      auto clampCell = [&](std::int64_t c) {
        return std::int32_t(std::min<std::int64_t>(std::max<std::int64_t>(c - first, 0), cells - 1));
      };
      t[std::size_t(i)] = {clampCell(i0), clampCell(i0 + 1), std::uint32_t((f * 256 + g) / (2 * std::int64_t(g)))};
    }
    return t;
  };
  const mxPelRect& gw = e.window();
  const std::vector<Tap> tx = taps(r.x(), r.width(), granularity.x(), gw.x(), gw.width());
  const std::vector<Tap> ty = taps(r.y(), r.height(), granularity.y(), gw.y(), gw.height());
  mxPelBuffer<unsigned char> out(r, 32, mxPelInit::eUnwritten);
  const std::int32_t w = r.width();
  std::vector<std::uint16_t> rows(std::size_t(w) * 2);
  std::int32_t held[2] = {-1, -1};  // the grid row each widened row holds
  auto widened = [&](std::int32_t gridRow, int slot) -> const std::uint16_t* {
    std::uint16_t* h = rows.data() + std::ptrdiff_t(slot) * w;
    if (held[slot] != gridRow) {
      const unsigned char* g = e.row(gridRow);
      for (std::int32_t i = 0; i < w; ++i)
        h[i] = std::uint16_t(g[tx[std::size_t(i)].lo] * (256u - tx[std::size_t(i)].w) +
                             g[tx[std::size_t(i)].hi] * tx[std::size_t(i)].w);
      held[slot] = gridRow;
    }
    return h;
  };
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const Tap& t = ty[std::size_t(j)];
    // Consecutive output rows step through the grid rows in order, so slot
    // parity by grid row keeps both rows of a pair held.
    const std::uint16_t* a = widened(t.lo, t.lo & 1);
    const std::uint16_t* b = widened(t.hi, t.hi & 1);
    const std::uint32_t wb = t.w, wa = 256u - t.w;
    blendAndCorrect(a, b, wa, wb, img.row(j), out.row(j), w);
  }
  return out;
}

// Local estimate by the median (eLocalCorrectionEnhanced), within the
// offset-128 range of the permitted intensity variation.
void medianEstimate(const mxPelBuffer<unsigned char>& d, const mxPelBuffer_const<unsigned char>& m,
                    const mxPair<std::int32_t>& k, const mxPair<std::int32_t>& range, mxPelBuffer<unsigned char>& e) {
  if (k.x() <= 1 && k.y() <= 1) {
    e = mfPelCopy<unsigned char>(d);
    return;
  }
  const std::int32_t low = std::int32_t(std::max<std::int64_t>(std::int64_t(range.x()) + 128, 0));
  const std::int32_t high = std::int32_t(std::min<std::int64_t>(std::int64_t(range.y()) + 128, 255));
  const mxPelMedianParams params(limitedMedianSize(k), {low, high}, true);
  if (m.isBound())
    mfPelMedian(d, m, params, e);
  else
    mfPelMedian(d, params, e);
}

}  // namespace

mxPair<std::int32_t> sampledNeighborhood(const mxPair<std::int32_t>& size, const mxPair<std::int32_t>& granularity) {
  checkGranularity(granularity);
  return {(size.x() / granularity.x()) | 1, (size.y() / granularity.y()) | 1};
}

mxPair<std::int32_t> localCorrectionHalo(Method method, const mxPair<std::int32_t>& neighborhoodSize,
                                         const mxPair<std::int32_t>& granularity) {
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);
  mxPair<std::int32_t> rho(0, 0);
  if (method == mxImageNormalizerDefs::eLocalCorrection) {
    rho = clampedSmoothing(smoothingForNeighborhood(k));
  } else if (k.x() > 1 || k.y() > 1) {
    const mxPair<std::int32_t> m = limitedMedianSize(k);
    rho = {(m.x() - 1) / 2, (m.y() - 1) / 2};
  }
  const bool subSampled =
      (granularity.x() > 1 || granularity.y() > 1) && (neighborhoodSize.x() > 1 || neighborhoodSize.y() > 1);
  if (!subSampled) return rho;
  auto grow = [](std::int64_t r, std::int64_t g) {
    return std::int32_t(std::min<std::int64_t>((r + 3) * g, std::numeric_limits<std::int32_t>::max()));
  };
  return {grow(rho.x(), granularity.x()), grow(rho.y(), granularity.y())};
}

mxPair<std::int32_t> limitedMedianSize(const mxPair<std::int32_t>& size) {
  // The rule shrinks one side by 2 per round: the x side while it is the
  // longer one, else the y side.  The jumps below take many such rounds at
  // once (exactly the same rounds), so that a huge size costs no time.
  std::int64_t x = size.x(), y = size.y();
  while (x * y > kMedianArea) {
    if (x == y && x > 184) {
      // From equal sides the rounds alternate (s, s) -> (s, s - 2) ->
      // (s - 2, s - 2); every such state above 183 x 181 is too large.
      x = y = x - 2 * ((x - 183) / 2);
      continue;
    }
    if (y < x) {
      // x shrinks until the area fits or it no longer exceeds y.
      const std::int64_t fit = kMedianArea / y;
      x -= 2 * std::max<std::int64_t>(1, std::min((x - fit + 1) / 2, (x - y + 1) / 2));
    } else {
      // y shrinks until the area fits or it falls below x.
      const std::int64_t fit = kMedianArea / x;
      y -= 2 * std::max<std::int64_t>(1, std::min((y - fit + 1) / 2, (y - x) / 2 + 1));
    }
  }
  return {std::int32_t(x), std::int32_t(y)};
}

mxPair<std::int32_t> smoothingForNeighborhood(const mxPair<std::int32_t>& size) {
  auto amount = [](std::int32_t k) {
    const double kd = double(k);
    const double r = std::sqrt(std::max(0.0, 4.0 * (kd * 0.25) * (kd * 0.25) - 2.0));
    // The tolerance keeps values that are whole up to rounding error from
    // going up.
    const std::int64_t q = std::int64_t(std::ceil(r * (1.0 - 1e-11)));
    return std::int32_t((q + 1) & ~std::int64_t(1));
  };
  return {amount(size.x()), amount(size.y())};
}

namespace {
// pelShiftDown's loop, built for the baseline instruction set, AVX2 and
// AVX-512, the version chosen at run time (integer arithmetic: the same pels).
void shiftDownRows(const unsigned short* s, std::ptrdiff_t ss, unsigned char* d, std::ptrdiff_t ds, std::int32_t w,
                   std::int32_t h, std::uint32_t shift) {
  mxcpu::dispatch(
      [](const unsigned short* s, std::ptrdiff_t ss, unsigned char* d, std::ptrdiff_t ds, std::int32_t w,
         std::int32_t h, std::uint32_t shift) MX_KERNEL_INLINE {
        for (std::int32_t j = 0; j < h; ++j, s += ss, d += ds)
          for (std::int32_t i = 0; i < w; ++i) d[i] = (unsigned char)(s[i] >> shift);
      },
      s, ss, d, ds, w, h, shift);
}
}  // namespace

void pelShiftDown(const mxPelBuffer_const<unsigned short>& src, std::uint32_t shift, mxPelBuffer<unsigned char>& dst) {
  if (shift > 15) throw mxPelFunc::BadParams(L"pelShiftDown: the shift must lie in 0 .. 15");
  if (!src.isBound()) {
    dst.setUnbound();
    return;
  }
  if (!dst.isBound()) dst = mxPelBuffer<unsigned char>(src.window());
  dst.copyXforms(src);
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  shiftDownRows(src.pointToPel(r.x(), r.y()), src.rowStride(), dst.pointToPel(r.x(), r.y()), dst.rowStride(), r.width(),
                r.height(), shift);
}

void scaledLocalMean(mxPelBuffer<unsigned char>& src, const mxPair<std::int32_t>& size,
                     mxPelBuffer<unsigned short>& dst) {
  const std::shared_ptr<const mx2XformBase> kept = src.imageFromClientXformBase();
  if (!kept) throw mxBadPointer();
  // The smoothing runs in image coordinates; the client transform only
  // travels to the result.
  if (!kept->isLinear()) src.imageFromClientXformBase(std::make_shared<mx2XformLinear>());
  mxGaussSampleParams params({1, 1}, clampedSmoothing(smoothingForNeighborhood(size)), 128.0, true);
  params.saturate = true;
  mfGaussSample(src, params, dst);
  if (src.imageFromClientXformBase() != kept) src.imageFromClientXformBase(kept, false);
  dst.copyXforms(src);
}

void runLocalCorrection(const mxPelBuffer_const<unsigned char>& image,
                        const mxPelBuffer_const<unsigned char>& referenceImage,
                        const mxPelBuffer_const<unsigned char>& binarizedMask,
                        const mxPelBuffer_const<unsigned char>& sampledMask,
                        const mxPelBuffer_const<unsigned short>& maskCoverage, Method method,
                        const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                        const mxPair<std::int32_t>& intensityVariationRange, bool keep,
                        mxPelBuffer<unsigned char>& result, mxDiagObject*, std::uint32_t) {
  // 1. Common window R of the image, the reference and the mask.
  mxPelBuffer_const<unsigned char> img = image;
  mxPelBuffer_const<unsigned char> ref = referenceImage;
  mxPelBuffer_const<unsigned char> msk = binarizedMask;
  mxPelRect r = img.window().intersect(ref.window(), false);
  if (msk.isBound()) r &= msk.window();
  img.window(r, false);
  ref.window(r, false);
  if (msk.isBound()) msk.window(r, false);
  mxPelBuffer_const<unsigned char> m = msk;

  // 2. Clamped difference in offset-128 form.
  const unsigned char amount =
      (unsigned char)std::max(-std::int64_t(intensityVariationRange.x()), std::int64_t(intensityVariationRange.y()));
  mxPelBuffer<unsigned char> d = clampedDifference(img, ref, amount);

  // 3.-6. Sub-sampled grid: excluded pels made neutral for the mean, the
  // difference sampled, and the mask taken on the same grid.
  checkGranularity(granularity);
  const bool subSampled =
      (granularity.x() > 1 || granularity.y() > 1) && (neighborhoodSize.x() > 1 || neighborhoodSize.y() > 1);
  if (subSampled) {
    if (m.isBound() && method == mxImageNormalizerDefs::eLocalCorrection) {
      mfPelMin(d, m, d);
      mf_PelMapValue(d, 0, 128);
    }
    d = mfGaussSample(d, gridSampler(granularity));
    m = sampledMask;
  }
  // The trained coverage serves only when it was made over exactly the
  // working window on the working grid (the run covers the whole mask);
  // otherwise the mean computes it over the working window.
  mxPelBuffer_const<unsigned short> coverage;
  if (maskCoverage.isBound() && subSampled == sampledMask.isBound() && maskCoverage.window() == d.window())
    coverage = maskCoverage;

  // 7.-10. Local estimate E on the working grid and the image minus E.  At
  // full resolution the mean is subtracted row by row as it is made.
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);
  if (method != mxImageNormalizerDefs::eLocalCorrection && method != mxImageNormalizerDefs::eLocalCorrectionEnhanced)
    throw mxPel::UnboundWindow();
  if (method == mxImageNormalizerDefs::eLocalCorrection && !subSampled) {
    result = meanCorrection(img, d, m, coverage, k);
  } else {
    mxPelBuffer<unsigned char> e;
    if (method == mxImageNormalizerDefs::eLocalCorrection)
      meanEstimate(d, m, coverage, k, subSampled, e);
    else
      medianEstimate(d, m, k, intensityVariationRange, e);
    if (subSampled) {
      // 9. Back to full size over R, subtracted as it is interpolated.
      result = expandAndCorrect(e, granularity, img);
      m = msk;
    } else {
      // 10. D becomes the image over R, minus E.
      mfPelCopy<unsigned char>(img, d);
      mf_PelSubClampSigned(d, e);
      result = d;
    }
  }

  // 11.-12. Masked-out pels put back on request; the image's transforms.
  if (keep && m.isBound()) mf_MaskedPelCopy(img, m, result, true);
  result.copyXforms(image);
}

void localCorrectionMasks(const mxPelBuffer_const<unsigned char>& binarizedMask,
                          const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                          bool withCoverage, mxPelBuffer<unsigned char>& sampledMask,
                          mxPelBuffer<unsigned short>& maskCoverage) {
  checkGranularity(granularity);
  sampledMask.setUnbound();
  maskCoverage.setUnbound();
  if (!binarizedMask.isBound()) return;
  if (granularity.x() > 1 || granularity.y() > 1) {
    sampledMask = mfGaussSample(binarizedMask, gridSampler(granularity));
    // Re-binarize: a cell at least half covered by the mask is set.
    std::vector<unsigned char> table(256, 255);
    std::fill(table.begin(), table.begin() + 128, 0);
    mfPelMap(sampledMask, table, sampledMask);
    const mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(sampledMask);
    mfBinaryMorph3x3Diamond(copy, true, sampledMask);
  }
  if (withCoverage) {
    const mxPelBuffer_const<unsigned char>& source = sampledMask.isBound() ? sampledMask : binarizedMask;
    mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(source);
    scaledLocalMean(copy, sampledNeighborhood(neighborhoodSize, granularity), maskCoverage);
  }
}

#include "imgnorm/localCorrection.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
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

// Local estimate by the Gaussian-weighted mean (eLocalCorrection): E = the
// mean of D over set mask pels (normalised convolution with maskCoverage),
// 0 where the mask is not set; without a mask the plain mean.
void meanEstimate(const mxPelBuffer<unsigned char>& d, const mxPelBuffer_const<unsigned char>& m,
                  const mxPelBuffer_const<unsigned short>& maskCoverage, const mxPair<std::int32_t>& k,
                  mxPelBuffer<unsigned char>& e) {
  if (m.isBound())
    mfPelMin(d, m, e);
  else
    mfPelCopy<unsigned char>(d, e);
  mxPelBuffer<unsigned short> b;
  scaledLocalMean(e, k, b);
  if (m.isBound())
    mf_MaskedPelDivide(b, maskCoverage, m, e, 255);
  else
    pelShiftDown(b, 7, e);
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

namespace {
// The largest even smoothing amount the Gaussian sampler takes.
constexpr std::int32_t kMaxSmoothing = 32766;
}  // namespace

void scaledLocalMean(mxPelBuffer<unsigned char>& src, const mxPair<std::int32_t>& size,
                     mxPelBuffer<unsigned short>& dst) {
  const std::shared_ptr<const mx2XformBase> kept = src.imageFromClientXformBase();
  if (!kept) throw mxBadPointer();
  // The smoothing runs in image coordinates; the client transform only
  // travels to the result.
  if (!kept->isLinear()) src.imageFromClientXformBase(std::make_shared<mx2XformLinear>());
  // Neighbourhoods beyond the sampler's largest amount (only reachable with
  // sizes far larger than any image) use that amount: the mean is then as
  // flat over the image as it can get, and training and running still work.
  const mxPair<std::int32_t> p = smoothingForNeighborhood(size);
  const mxPair<std::int32_t> amount(std::min(p.x(), kMaxSmoothing), std::min(p.y(), kMaxSmoothing));
  mxGaussSampleParams params({1, 1}, amount, 128.0, true);
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
  mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(img);
  mf_PelSubClamp(d, ref, amount);

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
    d = mfGaussSample(d, mxGaussSampleParams(granularity, granularity - mxPair<std::int32_t>(1, 1), 1.0, true));
    m = sampledMask;
  }

  // 7.-8. Local estimate E on the working grid, built in the result buffer.
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);
  mxPelBuffer<unsigned char> e;
  if (method == mxImageNormalizerDefs::eLocalCorrection)
    meanEstimate(d, m, maskCoverage, k, e);
  else if (method == mxImageNormalizerDefs::eLocalCorrectionEnhanced)
    medianEstimate(d, m, k, intensityVariationRange, e);

  // 9. Back to full size over R.
  if (subSampled) {
    e.clientFromImageXformBase(std::make_shared<mx2XformLinear>());
    e = mf_PaddedAffineSample(e, r.width(), r.height(), false);
    e.offset(r.offset());
    e.window(r, false);
    e.copyXforms(img);
    m = binarizedMask;
  }

  // 10. The image minus the estimated difference.
  if (d.window() != img.window()) d.setUnbound();
  mfPelCopy<unsigned char>(img, d);
  mf_PelSubClampSigned(d, e);
  result = d;

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
    sampledMask = mfGaussSample(binarizedMask,
                                mxGaussSampleParams(granularity, granularity - mxPair<std::int32_t>(1, 1), 1.0, true));
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

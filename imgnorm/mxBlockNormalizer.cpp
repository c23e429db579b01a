#include "imgnorm/mxBlockNormalizer.h"

#include <algorithm>

#include "baseif/mxPelOps.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

using namespace mxImageNormalizerDefs;

mxPelSource::~mxPelSource() = default;
mxPelSink::~mxPelSink() = default;

mxPelBuffer_const<unsigned char> mxBufferPelSource::read(const mxPelRect& rect) {
  mxPelBuffer_const<unsigned char> view = image_;
  view.window(rect, false);
  return view;
}

void mxBufferPelSink::begin(const mxPelRect& window) {
  image_ = mxPelBuffer<unsigned char>(window, 32, mxPelInit::eUnwritten);
}

void mxBufferPelSink::write(const mxPelBuffer_const<unsigned char>& block) {
  mxPelBuffer<unsigned char> dst = image_;
  dst.window(block.window(), false);
  mfPelCopy<unsigned char>(block, dst);
  if (block.window() == image_.window()) image_.copyXforms(block);
}

namespace {

std::int64_t floorTo(std::int64_t v, std::int64_t step) {
  const std::int64_t q = v / step;
  return (q * step > v ? q - 1 : q) * step;
}

std::int32_t roundUpTo(std::int32_t v, std::int32_t step) {
  const std::int64_t r = (std::int64_t(v) + step - 1) / step * step;
  return std::int32_t(std::min<std::int64_t>(r, 0x7FFFFFFF / step * std::int64_t(step)));
}

bool isLocal(Method m) { return m == eLocalCorrection || m == eLocalCorrectionEnhanced; }

// The rectangle r grown by h on every side.
mxPelRect grown(const mxPelRect& r, const mxPair<std::int32_t>& h) {
  const std::int64_t x0 = std::max<std::int64_t>(std::int64_t(r.x()) - h.x(), -0x7FFFFFFF);
  const std::int64_t y0 = std::max<std::int64_t>(std::int64_t(r.y()) - h.y(), -0x7FFFFFFF);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t(r.x()) + r.width() + h.x(), 0x7FFFFFFF);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t(r.y()) + r.height() + h.y(), 0x7FFFFFFF);
  return mxPelRect(std::int32_t(x0), std::int32_t(y0), std::int32_t(x1 - x0), std::int32_t(y1 - y0));
}

}  // namespace

mxBlockNormalizer::mxBlockNormalizer(const mxImageNormalizer& tool, mxPair<std::int32_t> blockSize)
    : tool_(tool), blockSize_(blockSize) {
  if (blockSize.x() < 1 || blockSize.y() < 1) throw BadParams(L"Both elements of the block size must be >= 1");
}

mxBlockNormalizer::mxBlockNormalizer(const mxImageNormalizer& parameters, mxPelSource& reference, mxPelSource* mask,
                                     mxPair<std::int32_t> blockSize)
    : mxBlockNormalizer(parameters, blockSize) {
  reference_ = &reference;
  mask_ = mask;
}

mxPair<std::int32_t> mxBlockNormalizer::blockSize(Method method) const {
  if (!isLocal(method)) return blockSize_;
  const mxPair<std::int32_t> g = tool_.granularity();
  return {roundUpTo(blockSize_.x(), g.x()), roundUpTo(blockSize_.y(), g.y())};
}

mxPair<std::int32_t> mxBlockNormalizer::halo(Method method) const {
  if (!isLocal(method)) return {0, 0};
  const mxPair<std::int32_t> g = tool_.granularity();
  const mxPair<std::int32_t> h = localCorrectionHalo(method, tool_.neighborhoodSize(), g);
  return {roundUpTo(h.x(), g.x()), roundUpTo(h.y(), g.y())};
}

std::vector<mxPelRect> mxBlockNormalizer::blocks(const mxPelRect& window, mxPair<std::int32_t> size) const {
  std::vector<mxPelRect> out;
  if (window.isNull()) return out;
  const std::int64_t x1 = std::int64_t(window.x()) + window.width();
  const std::int64_t y1 = std::int64_t(window.y()) + window.height();
  for (std::int64_t y = floorTo(window.y(), size.y()); y < y1; y += size.y())
    for (std::int64_t x = floorTo(window.x(), size.x()); x < x1; x += size.x()) {
      const std::int64_t bx = std::max<std::int64_t>(x, window.x()), by = std::max<std::int64_t>(y, window.y());
      const std::int64_t ex = std::min(x + size.x(), x1), ey = std::min(y + size.y(), y1);
      out.emplace_back(std::int32_t(bx), std::int32_t(by), std::int32_t(ex - bx), std::int32_t(ey - by));
    }
  return out;
}

void mxBlockNormalizer::checkMethod(Method method) const {
  const std::uint32_t m = method;
  if (m & ~kAllMethods) throw BadParams(L"Cannot specify an unknown normalization method.");
  if ((m & (m - 1)) != 0) throw BadParams(L"Cannot run with more than one normalization method.");
  if (!reference_ && (tool_.trainedMethods() & method) == 0)
    throw NotTrained(L"This tool was not trained for the specified  method.");
}

mxPelBuffer_const<unsigned char> mxBlockNormalizer::readReference(const mxPelRect& rect) const {
  if (reference_) return reference_->read(rect);
  mxPelBuffer_const<unsigned char> view = tool_.referenceImage();
  view.window(rect, false);
  return view;
}

mxPelBuffer_const<unsigned char> mxBlockNormalizer::readMask(const mxPelRect& rect) const {
  if (!reference_) {
    mxPelBuffer_const<unsigned char> view = tool_.binarizedMask();
    if (view.isBound()) view.window(rect, false);
    return view;
  }
  if (!mask_) return mxPelBuffer_const<unsigned char>();
  // Training's binarized mask: 0 stays 0, every other value becomes 255.
  std::vector<unsigned char> binarize(256, 255);
  binarize[0] = 0;
  return mfPelMap(mask_->read(rect), binarize);
}

bool mxBlockNormalizer::run(mxPelSource& image, Method method, mxPelSink& sink, std::wstring& message) const {
  message.clear();
  const mxPelRect imageWindow = image.window();
  if (method == eIdentity) {
    if (imageWindow.isNull()) return true;
    sink.begin(imageWindow);
    for (const mxPelRect& b : blocks(imageWindow, blockSize_)) sink.write(mfPelCopy(image.read(b)));
    return true;
  }
  checkMethod(method);
  if (imageWindow.isNull()) throw BadImage(L"Image must be bound.");

  const mxPelRect referenceWindow = reference_ ? reference_->window() : tool_.referenceImage().window();
  mxPelRect overlap = referenceWindow.intersect(imageWindow, false);
  if (reference_ ? mask_ != nullptr : tool_.maskImage().isBound())
    overlap = overlap.intersect(mask_ ? mask_->window() : tool_.maskImage().window(), false);

  if (isLocal(method)) {
    const mxPair<std::int32_t> h = halo(method), size = blockSize(method);
    if (size.x() < h.x() || size.y() < h.y())
      throw BadParams(L"The block size (" + std::to_wstring(size.x()) + L", " + std::to_wstring(size.y()) +
                      L") is smaller than the halo (" + std::to_wstring(h.x()) + L", " + std::to_wstring(h.y()) +
                      L") this method needs around each block");
  }
  if (overlap.isNull()) return true;
  if (isLocal(method)) {
    runLocal(image, method, overlap, sink);
    return true;
  }
  return runGlobal(image, method, overlap, sink, message);
}

bool mxBlockNormalizer::runGlobal(mxPelSource& image, Method method, const mxPelRect& overlap, mxPelSink& sink,
                                  std::wstring& message) const {
  const std::vector<mxPelRect> tiles = blocks(overlap, blockSize_);
  std::vector<unsigned char> lut;
  if (method == eLinearlyFitGrayValues) {
    // The whole-image fit pairs pels by their position in the overlap, the
    // reference window and the mask window; each block keeps that pairing.
    const mxPelRect refWindow = reference_ ? reference_->window() : tool_.referenceImage().window();
    const bool masked = reference_ ? mask_ != nullptr : tool_.binarizedMask().isBound();
    const mxPelRect maskWindow = !masked ? mxPelRect() : mask_ ? mask_->window() : tool_.binarizedMask().window();
    FitPairCounts counts;
    for (const mxPelRect& b : tiles) {
      const std::int32_t dx = b.x() - overlap.x(), dy = b.y() - overlap.y();
      const mxPelRect refRect(refWindow.x() + dx, refWindow.y() + dy, b.width(), b.height());
      mxPelBuffer_const<unsigned char> mask;
      if (masked) mask = readMask(mxPelRect(maskWindow.x() + dx, maskWindow.y() + dy, b.width(), b.height()));
      addFitPairCounts(image.read(b), readReference(refRect), mask, counts);
    }
    std::vector<double> angles;
    if (reference_)
      buildFitAngles(angles);
    else
      angles = tool_.fitAngles();
    double gain = 0.0, offset = 0.0;
    linearFitFromCounts(counts, angles, gain, offset);
    lut = linearLut(gain, offset);
  } else {
    // The reference histogram under the mask: the tool's, or gathered from
    // the reference pieces as training gathers it from the whole image.
    std::vector<std::uint32_t> refHistogram;
    mxHistoStats refStats;
    if (reference_) {
      mxPelRect refArea = reference_->window();
      if (mask_) refArea = refArea.intersect(mask_->window(), false);
      std::vector<std::uint32_t> h;
      for (const mxPelRect& b : blocks(refArea, blockSize_)) {
        mf_MaskedPelHistogram(reference_->read(b), readMask(b), h);
        refHistogram.resize(h.size(), 0);
        for (std::size_t i = 0; i < h.size(); ++i) refHistogram[i] += h[i];
      }
      refStats = mxHistoStats(refHistogram, false);
      if (refStats.samples() == 0) throw CanNotTrain(L"Histogram must be non-empty for the specified methods.");
    } else {
      refHistogram = tool_.referenceHistogram();
      refStats = tool_.referenceStats();
    }
    std::vector<std::uint32_t> histogram(256, 0), h;
    for (const mxPelRect& b : tiles) {
      mf_MaskedPelHistogram(image.read(b), readMask(b), h);
      for (std::size_t i = 0; i < h.size(); ++i) histogram[i] += h[i];
    }
    const mxHistoStats stats(histogram, false);
    if (!histogramMethodLut(method, refHistogram, refStats, tool_.tailFractions(), histogram, stats, lut, message))
      return false;
  }

  // Pass 2: every block through the one table.
  const bool keep = tool_.keepMaskedPixels() && (reference_ ? mask_ != nullptr : tool_.binarizedMask().isBound());
  sink.begin(overlap);
  for (const mxPelRect& b : tiles) {
    const mxPelBuffer_const<unsigned char> in = image.read(b);
    mxPelBuffer<unsigned char> out = mfPelMap(in, lut);
    if (keep) mf_MaskedPelCopy(in, readMask(b), out, true);
    out.copyXforms(in);
    sink.write(out);
  }
  return true;
}

mxPelRect mxBlockNormalizer::maskContext(const mxPelRect& block, const mxPair<std::int32_t>& halo) const {
  // On the sub-sampled grid the run uses training's sampled mask, whose
  // cells read the mask up to a cell beyond themselves and are then dilated
  // by one cell: three more cells of mask give the block the cells the whole
  // mask gives it.  The mask may reach beyond the overlap, as the whole one
  // does.
  const mxPair<std::int32_t> g = tool_.granularity(), n = tool_.neighborhoodSize();
  const bool subSampled = (g.x() > 1 || g.y() > 1) && (n.x() > 1 || n.y() > 1);
  const mxPair<std::int32_t> margin =
      subSampled ? mxPair<std::int32_t>(3 * g.x(), 3 * g.y()) : mxPair<std::int32_t>(0, 0);
  return grown(block, {halo.x() + margin.x(), halo.y() + margin.y()}).intersect(mask_->window(), false);
}

void mxBlockNormalizer::runLocal(mxPelSource& image, Method method, const mxPelRect& overlap, mxPelSink& sink) const {
  const mxPair<std::int32_t> h = halo(method);
  sink.begin(overlap);
  for (const mxPelRect& b : blocks(overlap, blockSize(method))) {
    // The block with its halo, cut where the whole image is cut.
    const mxPelRect context = grown(b, h).intersect(overlap, false);
    const mxPelBuffer_const<unsigned char> in = image.read(context);
    const mxImageNormalizer* tool = &tool_;
    mxImageNormalizer piece;
    if (reference_) {
      // A tool over the context's reference and mask, trained as the whole
      // images would train it.
      piece = tool_;
      piece.referenceImage(reference_->read(context), false);
      piece.maskImage(mask_ ? mask_->read(maskContext(b, h)) : mxPelBuffer_const<unsigned char>(), false);
      piece.train(method);
      tool = &piece;
    }
    bool success = false;
    std::wstring message;
    mxPelBuffer<unsigned char> out = tool->run(in, method, success, message);
    out.window(b, false);
    sink.write(out);
  }
}

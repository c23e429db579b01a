#include "imgnorm/mxBlockNormalizer.h"

#include <algorithm>

#include "baseif/mxPelOps.h"
#include "imgnorm/checks.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

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
  checkBlockSize(blockSize);
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
  checkRunMethod(m);
  if (!reference_) checkTrained((tool_.trainedMethods() & method) != 0);
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

std::size_t mxBlockTotals::size(Method method) {
  const std::size_t histogram = mxBlockTotals().histogram.size();
  if (method != eLinearlyFitGrayValues) return histogram;
  const FitPairCounts fit;
  return histogram + fit.pairs.size() + fit.cells.size();
}

mxBlockTotals& mxBlockTotals::operator+=(const mxBlockTotals& other) {
  const auto add = [](std::vector<std::uint64_t>& to, const std::vector<std::uint64_t>& from) {
    if (to.size() < from.size()) to.resize(from.size(), 0);
    for (std::size_t i = 0; i < from.size(); ++i) to[i] += from[i];
  };
  add(histogram, other.histogram);
  add(pairs, other.pairs);
  add(cells, other.cells);
  return *this;
}

mxPelRect mxBlockNormalizer::checkRun(Method method, const mxPelRect& imageWindow) const {
  if (method == eIdentity) return imageWindow;
  checkMethod(method);
  checkImageBound(!imageWindow.isNull());
  if (isLocal(method)) {
    const mxPair<std::int32_t> h = halo(method), size = blockSize(method);
    if (size.x() < h.x() || size.y() < h.y())
      throw BadParams(L"The block size (" + std::to_wstring(size.x()) + L", " + std::to_wstring(size.y()) +
                      L") is smaller than the halo (" + std::to_wstring(h.x()) + L", " + std::to_wstring(h.y()) +
                      L") this method needs around each block");
  }
  const mxPelRect referenceWindow = reference_ ? reference_->window() : tool_.referenceImage().window();
  mxPelRect overlap = referenceWindow.intersect(imageWindow, false);
  if (reference_ ? mask_ != nullptr : tool_.maskImage().isBound())
    overlap = overlap.intersect(mask_ ? mask_->window() : tool_.maskImage().window(), false);
  return overlap;
}

bool mxBlockNormalizer::run(mxPelSource& image, Method method, mxPelSink& sink, std::wstring& message) const {
  message.clear();
  const mxPelRect window = checkRun(method, image.window());
  if (window.isNull()) return true;
  if (method == eIdentity) {
    sink.begin(window);
    for (const mxPelRect& b : blocks(window, blockSize_)) sink.write(mfPelCopy(image.read(b)));
    return true;
  }
  if (isLocal(method)) {
    const mxPair<std::int32_t> h = halo(method);
    sink.begin(window);
    // Each block with its halo, cut where the whole image is cut.
    for (const mxPelRect& b : blocks(window, blockSize(method)))
      sink.write(runBlock(image.read(grown(b, h).intersect(window, false)), method, b));
    return true;
  }
  // Pass 1: the totals; then the one table; pass 2: every block through it.
  const std::vector<mxPelRect> tiles = blocks(window, blockSize_);
  mxBlockTotals totals;
  for (const mxPelRect& b : tiles) addTotals(image.read(b), method, window, totals);
  std::vector<unsigned char> lut;
  if (!table(method, totals, lut, message)) return false;
  sink.begin(window);
  for (const mxPelRect& b : tiles) sink.write(mapBlock(image.read(b), lut));
  return true;
}

void mxBlockNormalizer::addTotals(const mxPelBuffer_const<unsigned char>& block, Method method,
                                  const mxPelRect& resultWindow, mxBlockTotals& totals) const {
  const mxPelRect b = block.window();
  if (method != eLinearlyFitGrayValues) {
    std::vector<std::uint32_t> h;
    mf_MaskedPelHistogram(block, readMask(b), h);
    if (totals.histogram.size() < h.size()) totals.histogram.resize(h.size(), 0);
    for (std::size_t i = 0; i < h.size(); ++i) totals.histogram[i] += h[i];
    return;
  }
  // The whole-image fit pairs pels by their position in the result window,
  // the reference window and the mask window; each block keeps that pairing.
  const mxPelRect refWindow = reference_ ? reference_->window() : tool_.referenceImage().window();
  const bool masked = reference_ ? mask_ != nullptr : tool_.binarizedMask().isBound();
  const std::int32_t dx = b.x() - resultWindow.x(), dy = b.y() - resultWindow.y();
  mxPelBuffer_const<unsigned char> mask;
  if (masked) {
    const mxPelRect maskWindow = mask_ ? mask_->window() : tool_.binarizedMask().window();
    mask = readMask(mxPelRect(maskWindow.x() + dx, maskWindow.y() + dy, b.width(), b.height()));
  }
  FitPairCounts counts;
  addFitPairCounts(block, readReference(mxPelRect(refWindow.x() + dx, refWindow.y() + dy, b.width(), b.height())), mask,
                   counts);
  mxBlockTotals add;
  add.pairs = std::move(counts.pairs);
  add.cells = std::move(counts.cells);
  totals += add;
}

namespace {
// 32-bit counts, as the table builders take them; totals beyond 32 bits
// (images of more than 2^32 pels) saturate.
std::vector<std::uint32_t> counts32(const std::vector<std::uint64_t>& v) {
  std::vector<std::uint32_t> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = std::uint32_t(std::min<std::uint64_t>(v[i], 0xFFFFFFFFu));
  return out;
}
}  // namespace

bool mxBlockNormalizer::table(Method method, const mxBlockTotals& totals, std::vector<unsigned char>& lut,
                              std::wstring& message) const {
  message.clear();
  lut.clear();
  if (method == eLinearlyFitGrayValues) {
    FitPairCounts counts;
    if (totals.pairs.size() == counts.pairs.size()) counts.pairs = totals.pairs;
    if (totals.cells.size() == counts.cells.size()) counts.cells = totals.cells;
    std::vector<double> angles;
    if (reference_)
      buildFitAngles(angles);
    else
      angles = tool_.fitAngles();
    double gain = 0.0, offset = 0.0;
    linearFitFromCounts(counts, angles, gain, offset);
    lut = linearLut(gain, offset);
    return true;
  }
  // The reference histogram under the mask: the tool's, or gathered from
  // the reference pieces as training gathers it from the whole image.
  std::vector<std::uint32_t> refHistogram;
  mxHistoStats refStats;
  if (reference_) {
    mxPelRect refArea = reference_->window();
    if (mask_) refArea = refArea.intersect(mask_->window(), false);
    std::vector<std::uint64_t> sum;
    std::vector<std::uint32_t> h;
    for (const mxPelRect& b : blocks(refArea, blockSize_)) {
      mf_MaskedPelHistogram(reference_->read(b), readMask(b), h);
      sum.resize(std::max(sum.size(), h.size()), 0);
      for (std::size_t i = 0; i < h.size(); ++i) sum[i] += h[i];
    }
    refHistogram = counts32(sum);
    refStats = mxHistoStats(refHistogram, false);
    if (refStats.samples() == 0) throw CanNotTrain(ruleMessage(Rule::eHistogramNonEmpty));
  } else {
    refHistogram = tool_.referenceHistogram();
    refStats = tool_.referenceStats();
  }
  std::vector<std::uint32_t> histogram = counts32(totals.histogram);
  const mxHistoStats stats(histogram, false);
  return histogramMethodLut(method, refHistogram, refStats, tool_.tailFractions(), histogram, stats, lut, message,
                            tool_.relativeCounts());
}

mxPelBuffer<unsigned char> mxBlockNormalizer::mapBlock(const mxPelBuffer_const<unsigned char>& block,
                                                       const std::vector<unsigned char>& lut) const {
  mxPelBuffer<unsigned char> out = mfPelMap(block, lut);
  if (tool_.keepMaskedPixels() && (reference_ ? mask_ != nullptr : tool_.binarizedMask().isBound()))
    mf_MaskedPelCopy(block, readMask(block.window()), out, true);
  out.copyXforms(block);
  return out;
}

mxPelRect mxBlockNormalizer::maskContext(const mxPelRect& block, const mxPair<std::int32_t>& halo) const {
  // On the sub-sampled grid the run uses training's sampled mask, whose
  // cells read the mask up to a cell beyond themselves and are then dilated
  // by one cell: three more cells of mask give the block the cells the whole
  // mask gives it.  The mask may reach beyond the result window, as the
  // whole one does.
  const mxPair<std::int32_t> g = tool_.granularity(), n = tool_.neighborhoodSize();
  const bool subSampled = (g.x() > 1 || g.y() > 1) && (n.x() > 1 || n.y() > 1);
  // (Any reach beyond 2^31 - 1 pels is all of the mask.)
  auto reach = [&](std::int32_t h, std::int32_t step) {
    return std::int32_t(std::min<std::int64_t>(std::int64_t(h) + (subSampled ? 3 * std::int64_t(step) : 0), 0x7FFFFFFF));
  };
  return grown(block, {reach(halo.x(), g.x()), reach(halo.y(), g.y())}).intersect(mask_->window(), false);
}

mxPelBuffer<unsigned char> mxBlockNormalizer::runBlock(const mxPelBuffer_const<unsigned char>& context, Method method,
                                                       const mxPelRect& block) const {
  const mxImageNormalizer* tool = &tool_;
  mxImageNormalizer piece;
  if (reference_) {
    // A tool over the context's reference and mask, trained as the whole
    // images would train it.
    piece = tool_;
    piece.referenceImage(reference_->read(context.window()), false);
    piece.maskImage(mask_ ? mask_->read(maskContext(block, halo(method))) : mxPelBuffer_const<unsigned char>(), false);
    piece.train(method);
    tool = &piece;
  }
  bool success = false;
  std::wstring message;
  mxPelBuffer<unsigned char> out = tool->runOnly(context, method, success, message, nullptr, 0, &block);
  out.window(block, false);
  return out;
}

#include "imgnorm/mxBlockNormalizer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "baseif/mxDiag.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/checks.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

template <class Pel>
mxPelSourceOf<Pel>::~mxPelSourceOf() = default;
template <class Pel>
mxPelSinkOf<Pel>::~mxPelSinkOf() = default;

template <class Pel>
mxPelBuffer_const<Pel> mxBufferPelSourceOf<Pel>::read(const mxPelRect& rect) {
  mxPelBuffer_const<Pel> view = image_;
  view.window(rect, false);
  return view;
}

template <class Pel>
void mxBufferPelSinkOf<Pel>::begin(const mxPelRect& window) {
  image_ = mxPelBuffer<Pel>(window, 32, mxPelInit::eUnwritten);
}

template <class Pel>
void mxBufferPelSinkOf<Pel>::write(const mxPelBuffer_const<Pel>& block) {
  mxPelBuffer<Pel> dst = image_;
  dst.window(block.window(), false);
  mfPelCopy<Pel>(block, dst);
  if (block.window() == image_.window()) image_.copyXforms(block);
}

template class mxPelSourceOf<unsigned char>;
template class mxPelSourceOf<unsigned short>;
template class mxBufferPelSourceOf<unsigned char>;
template class mxBufferPelSourceOf<unsigned short>;
template class mxPelSinkOf<unsigned char>;
template class mxPelSinkOf<unsigned short>;
template class mxBufferPelSinkOf<unsigned char>;
template class mxBufferPelSinkOf<unsigned short>;

namespace {

std::int64_t floorTo(std::int64_t v, std::int64_t step) {
  const std::int64_t q = v / step;
  return (q * step > v ? q - 1 : q) * step;
}

std::int32_t roundUpTo(std::int32_t v, std::int32_t step) {
  const std::int64_t r = (std::int64_t(v) + step - 1) / step * step;
  return std::int32_t(std::min<std::int64_t>(r, 0x7FFFFFFF / step * std::int64_t(step)));
}

// The local methods run up to this many blocks of a block row together (a
// group): neighbouring blocks share two halos of context, which a group
// reads and smooths once instead of twice, and its rows are four blocks
// long.  With blocks of 1024 and neighbourhood 101 the local mean executes
// 1.03 times the whole-image run's instructions (1.155 block by block, 4096
// square image), while memory stays that of a few blocks, whatever the
// image's width.
constexpr std::size_t kGroupBlocks = 4;

// Up to kGroupBlocks consecutive blocks of one block row: tiles[first ..
// end - 1] (tiles as blocks() lists them), which tile rect.
struct Group {
  mxPelRect rect;
  std::size_t first, end;
};
std::vector<Group> groups(const std::vector<mxPelRect>& tiles) {
  std::vector<Group> out;
  for (std::size_t i = 0; i < tiles.size();) {
    std::size_t end = i + 1;
    while (end < tiles.size() && end - i < kGroupBlocks && tiles[end].y() == tiles[i].y()) ++end;
    const mxPelRect &a = tiles[i], &b = tiles[end - 1];
    out.push_back({mxPelRect(a.x(), a.y(), b.x() + b.width() - a.x(), a.height()), i, end});
    i = end;
  }
  return out;
}

// The part of buffer b over rect.
template <class Pel>
mxPelBuffer_const<Pel> part(mxPelBuffer_const<Pel> b, const mxPelRect& rect) {
  b.window(rect, false);
  return b;
}

// The rectangle r grown by h on every side and cut to `within` (null where
// they do not meet).  In 64 bits: a halo of a huge granularity reaches
// beyond the 32-bit coordinates on both sides, and the grown width would not
// fit them.
mxPelRect grown(const mxPelRect& r, const mxPair<std::int32_t>& h, const mxPelRect& within) {
  const std::int64_t x0 = std::max<std::int64_t>(std::int64_t(r.x()) - h.x(), within.x());
  const std::int64_t y0 = std::max<std::int64_t>(std::int64_t(r.y()) - h.y(), within.y());
  const std::int64_t x1 =
      std::min<std::int64_t>(std::int64_t(r.x()) + r.width() + h.x(), std::int64_t(within.x()) + within.width());
  const std::int64_t y1 =
      std::min<std::int64_t>(std::int64_t(r.y()) + r.height() + h.y(), std::int64_t(within.y()) + within.height());
  if (x1 <= x0 || y1 <= y0) return mxPelRect();
  return mxPelRect(std::int32_t(x0), std::int32_t(y0), std::int32_t(x1 - x0), std::int32_t(y1 - y0));
}

}  // namespace

template <class Pel>
mxBlockNormalizerOf<Pel>::mxBlockNormalizerOf(const Tool& tool, mxPair<std::int32_t> blockSize)
    : tool_(tool), blockSize_(blockSize) {
  checkBlockSize(blockSize);
}

template <class Pel>
mxBlockNormalizerOf<Pel>::mxBlockNormalizerOf(const Tool& parameters, mxPelSourceOf<Pel>& reference,
                                              mxPelSource* mask, mxPair<std::int32_t> blockSize)
    : mxBlockNormalizerOf(parameters, blockSize) {
  reference_ = &reference;
  mask_ = mask;
}

template <class Pel>
mxPair<std::int32_t> mxBlockNormalizerOf<Pel>::blockSize(Method method) const {
  if (!isLocal(method)) return blockSize_;
  const mxPair<std::int32_t> g = tool_.granularity();
  return {roundUpTo(blockSize_.x(), g.x()), roundUpTo(blockSize_.y(), g.y())};
}

namespace {
// The halo of a method for a tool's neighbourhood and granularity (see halo()).
mxPair<std::int32_t> blockHalo(Method method, const mxPair<std::int32_t>& n, const mxPair<std::int32_t>& g) {
  if (!isLocal(method)) return {0, 0};
  const mxPair<std::int32_t> h = localCorrectionHalo(method, n, g);
  return {roundUpTo(h.x(), g.x()), roundUpTo(h.y(), g.y())};
}

// Bands of nearly equal height, each at least the halo tall (as the
// engine's blocks are) and, for the local methods, starting on the
// granularity grid: fewer, larger bands read less halo.
std::vector<mxPelRect> splitIntoBands(const mxPelRect& window, Method method, const mxPair<std::int32_t>& n,
                                      const mxPair<std::int32_t>& g, int count) {
  const std::int64_t top = window.y(), height = window.height();
  const std::int64_t step = isLocal(method) ? g.y() : 1;
  const std::int64_t least = std::max<std::int64_t>({blockHalo(method, n, g).y(), step, 1});
  const std::int64_t parts = std::max<std::int64_t>(1, std::min<std::int64_t>(count, height / least));
  std::vector<mxPelRect> out;
  std::int64_t y = top;
  for (std::int64_t k = 1; k < parts; ++k) {
    const std::int64_t cut = floorTo(top + height * k / parts, step);
    if (cut - y < least || top + height - cut < least) continue;  // too thin: the rows go to the next band
    out.emplace_back(window.x(), std::int32_t(y), window.width(), std::int32_t(cut - y));
    y = cut;
  }
  out.emplace_back(window.x(), std::int32_t(y), window.width(), std::int32_t(top + height - y));
  return out;
}

// The pel type's depth: 8, or the 16-bit tool's declared one.
std::int32_t depthOf(const mxImageNormalizer&) { return 8; }
std::int32_t depthOf(const mxImageNormalizer16& tool) { return tool.bitDepth(); }
bool relativeCountsOf(const mxImageNormalizer& tool) { return tool.relativeCounts(); }
bool relativeCountsOf(const mxImageNormalizer16&) { return false; }

// The masked histogram of 2^depth bins (256: the 8-bit tool's own function).
std::vector<std::uint32_t> maskedCounts(const mxPelBuffer_const<unsigned char>& block,
                                        const mxPelBuffer_const<unsigned char>& mask, std::int32_t) {
  std::vector<std::uint32_t> h;
  mf_MaskedPelHistogram(block, mask, h);
  return h;
}
std::vector<std::uint32_t> maskedCounts(const mxPelBuffer_const<unsigned short>& block,
                                        const mxPelBuffer_const<unsigned char>& mask, std::int32_t depth) {
  std::vector<std::uint32_t> h = mfPelHistogram(block, mask, std::uint32_t(1) << depth);
  if (h.empty()) h.assign(std::size_t(1) << depth, 0);  // a mask beside the block: nothing counted
  return h;
}

// The masked pels put back into a mapped block.
void putBack(const mxPelBuffer_const<unsigned char>& block, const mxPelBuffer_const<unsigned char>& mask,
             mxPelBuffer<unsigned char>& out) {
  mf_MaskedPelCopy(block, mask, out, true);
}
void putBack(const mxPelBuffer_const<unsigned short>& block, const mxPelBuffer_const<unsigned char>& mask,
             mxPelBuffer<unsigned short>& out) {
  const mxPelRect r = block.window().intersect(mask.window(), false).intersect(out.window(), false);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned short* s = block.pointToPel(r.x(), r.y() + j);
    const unsigned char* m = mask.pointToPel(r.x(), r.y() + j);
    unsigned short* d = out.pointToPel(r.x(), r.y() + j);
    for (std::int32_t i = 0; i < r.width(); ++i) d[i] = m[i] == 0 ? s[i] : d[i];
  }
}
}  // namespace

template <class Pel>
mxPair<std::int32_t> mxBlockNormalizerOf<Pel>::halo(Method method) const {
  return blockHalo(method, tool_.neighborhoodSize(), tool_.granularity());
}

template <class Pel>
std::vector<mxPelRect> mxBlockNormalizerOf<Pel>::blocks(const mxPelRect& window, mxPair<std::int32_t> size) {
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

template <class Pel>
void mxBlockNormalizerOf<Pel>::checkMethod(Method method) const {
  const std::uint32_t m = method;
  checkRunMethod(m);
  if constexpr (sizeof(Pel) > 1) Tool::checkDeepMethod(method);
  if (!reference_) checkTrained((tool_.trainedMethods() & method) != 0);
}

template <class Pel>
mxPelBuffer_const<Pel> mxBlockNormalizerOf<Pel>::readReference(const mxPelRect& rect) const {
  if (reference_) return reference_->read(rect);
  mxPelBuffer_const<Pel> view = tool_.referenceImage();
  view.window(rect, false);
  return view;
}

template <class Pel>
mxPelBuffer_const<unsigned char> mxBlockNormalizerOf<Pel>::readMask(const mxPelRect& rect) const {
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

namespace {
// The lengths of the totals' vectors in their flat form: histogram, pairs,
// cells, sums.
std::array<std::size_t, 4> flatSizes(Method method, std::int32_t depth) {
  if (depth != 8) checkBitDepth(depth);
  const std::size_t bins = std::size_t(1) << depth;
  if (method != eLinearlyFitGrayValues) return {bins, 0, 0, 0};
  if (depth == 8) {
    const FitPairCounts fit;
    return {bins, fit.pairs.size(), fit.cells.size(), 0};
  }
  const DeepFitCounts fit;
  return {0, 0, fit.cells.size(), fit.sums.size()};
}
}  // namespace

std::size_t mxBlockTotals::size(Method method, std::int32_t depth) {
  const std::array<std::size_t, 4> n = flatSizes(method, depth);
  return n[0] + n[1] + n[2] + n[3];
}

std::vector<std::uint64_t> mxBlockTotals::flat(Method method, std::int32_t depth) const {
  const std::array<std::size_t, 4> n = flatSizes(method, depth);
  std::vector<std::uint64_t> out;
  out.reserve(n[0] + n[1] + n[2] + n[3]);
  std::size_t k = 0;
  for (const std::vector<std::uint64_t>* v : {&histogram, &pairs, &cells, &sums}) {
    const std::size_t from = out.size();
    out.insert(out.end(), v->begin(), v->begin() + std::ptrdiff_t(std::min(v->size(), n[k])));
    out.resize(from + n[k++], 0);  // what was not gathered is 0
  }
  return out;
}

mxBlockTotals mxBlockTotals::fromFlat(const std::uint64_t* counts, std::size_t count, Method method,
                                      std::int32_t depth) {
  const std::array<std::size_t, 4> n = flatSizes(method, depth);
  if (count != n[0] + n[1] + n[2] + n[3])
    throw BadParams(L"The totals hold " + std::to_wstring(count) + L" counts, not the " +
                    std::to_wstring(n[0] + n[1] + n[2] + n[3]) + L" this method gathers");
  mxBlockTotals t;
  std::size_t k = 0;
  for (std::vector<std::uint64_t>* v : {&t.histogram, &t.pairs, &t.cells, &t.sums}) {
    v->assign(counts, counts + n[k]);
    counts += n[k++];
  }
  return t;
}

mxBlockTotals& mxBlockTotals::operator+=(const mxBlockTotals& other) {
  const auto add = [](std::vector<std::uint64_t>& to, const std::vector<std::uint64_t>& from) {
    if (to.size() < from.size()) to.resize(from.size(), 0);
    for (std::size_t i = 0; i < from.size(); ++i) to[i] += from[i];
  };
  add(histogram, other.histogram);
  add(pairs, other.pairs);
  add(cells, other.cells);
  add(sums, other.sums);
  return *this;
}

template <class Pel>
mxPelRect mxBlockNormalizerOf<Pel>::checkRun(Method method, const mxPelRect& imageWindow) const {
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
  if constexpr (sizeof(Pel) > 1)  // as training the 16-bit tool refuses it
    if (reference_ && mask_ && mask_->window().size() != referenceWindow.size())
      throw BadImage(std::wstring(ruleMessage(Rule::eMaskShape)) + L" The mask is " +
                     std::to_wstring(mask_->window().width()) + L" x " + std::to_wstring(mask_->window().height()) +
                     L", the reference " + std::to_wstring(referenceWindow.width()) + L" x " +
                     std::to_wstring(referenceWindow.height()) + L".");
  mxPelRect overlap = referenceWindow.intersect(imageWindow, false);
  if (reference_ ? mask_ != nullptr : tool_.maskImage().isBound())
    overlap = overlap.intersect(mask_ ? mask_->window() : tool_.maskImage().window(), false);
  return overlap;
}

template <class Pel>
bool mxBlockNormalizerOf<Pel>::run(mxPelSourceOf<Pel>& image, Method method, mxPelSinkOf<Pel>& sink,
                                   std::wstring& message) const {
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
    // Each group of blocks with its halo, cut where the whole image is cut,
    // its result handed out block by block.
    const std::vector<mxPelRect> tiles = blocks(window, blockSize(method));
    for (const Group& g : groups(tiles)) {
      const mxPelBuffer<Pel> out = runBlock(image.read(grown(g.rect, h, window)), method, g.rect);
      for (std::size_t i = g.first; i < g.end; ++i) sink.write(part<Pel>(out, tiles[i]));
    }
    return true;
  }
  // Pass 1: the totals; then the one table; pass 2: every block through it.
  const std::vector<mxPelRect> tiles = blocks(window, blockSize_);
  mxBlockTotals totals;
  for (const mxPelRect& b : tiles) addTotals(image.read(b), method, window, totals);
  LevelMap<Pel> map;
  if (!levels(method, totals, map, message)) return false;
  sink.begin(window);
  for (const mxPelRect& b : tiles) sink.write(mapBlock(image.read(b), map));
  return true;
}

template <class Pel>
void mxBlockNormalizerOf<Pel>::addTotals(const mxPelBuffer_const<Pel>& block, Method method,
                                         const mxPelRect& resultWindow, mxBlockTotals& totals) const {
  const mxPelRect b = block.window();
  if constexpr (sizeof(Pel) > 1) tool_.checkDeepPels(block, L"the image");
  if (method != eLinearlyFitGrayValues) {
    const std::vector<std::uint32_t> h = maskedCounts(block, readMask(b), depthOf(tool_));
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
  const mxPelBuffer_const<Pel> reference =
      readReference(mxPelRect(refWindow.x() + dx, refWindow.y() + dy, b.width(), b.height()));
  mxBlockTotals add;
  if constexpr (sizeof(Pel) == 1) {
    FitPairCounts counts;
    addFitPairCounts(block, reference, mask, counts);
    add.pairs = std::move(counts.pairs);
    add.cells = std::move(counts.cells);
  } else {
    if (reference_) tool_.checkDeepPels(reference, L"referenceImage()");
    DeepFitCounts counts;
    addDeepFitCounts(block, reference, mask, tool_.bitDepth(), counts);
    add.histogram.clear();
    add.cells = std::move(counts.cells);
    add.sums = std::move(counts.sums);
  }
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

template <class Pel>
bool mxBlockNormalizerOf<Pel>::table(Method method, const mxBlockTotals& totals, std::vector<Pel>& lut,
                                     std::wstring& message) const {
  LevelMap<Pel> map;
  const bool ok = levels(method, totals, map, message);
  lut = map.line ? mfLevelTable<Pel>(*map.line, std::size_t(map.line->top) + 1) : std::move(map.table);
  return ok;
}

template <class Pel>
bool mxBlockNormalizerOf<Pel>::levels(Method method, const mxBlockTotals& totals, LevelMap<Pel>& map,
                                      std::wstring& message) const {
  message.clear();
  map.table.clear();
  map.line.reset();
  std::vector<Pel>& lut = map.table;
  const std::int32_t depth = depthOf(tool_);
  if (method == eLinearlyFitGrayValues) {
    std::vector<double> angles;
    if (reference_)
      buildFitAngles(angles);
    else
      angles = tool_.fitAngles();
    double gain = 0.0, offset = 0.0;
    if constexpr (sizeof(Pel) == 1) {
      FitPairCounts counts;
      if (totals.pairs.size() == counts.pairs.size()) counts.pairs = totals.pairs;
      if (totals.cells.size() == counts.cells.size()) counts.cells = totals.cells;
      linearFitFromCounts(counts, angles, gain, offset);
      lut = linearLut(gain, offset);
    } else {
      DeepFitCounts counts;
      if (totals.cells.size() == counts.cells.size()) counts.cells = totals.cells;
      if (totals.sums.size() == counts.sums.size()) counts.sums = totals.sums;
      linearFitFromDeepCounts(counts, angles, gain, offset);
      map.line = deepFitLine(gain, offset, depth);
    }
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
    for (const mxPelRect& b : blocks(refArea, blockSize_)) {
      const mxPelBuffer_const<Pel> piece = reference_->read(b);
      if constexpr (sizeof(Pel) > 1) tool_.checkDeepPels(piece, L"referenceImage()");
      const std::vector<std::uint32_t> h = maskedCounts(piece, readMask(b), depth);
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
  return histogramMethodMap(method, refHistogram, refStats, tool_.tailFractions(), histogram, stats, map, message,
                            relativeCountsOf(tool_));
}

template <class Pel>
mxPelBuffer<Pel> mxBlockNormalizerOf<Pel>::mapBlock(const mxPelBuffer_const<Pel>& block,
                                                    const std::vector<Pel>& lut) const {
  if constexpr (sizeof(Pel) > 1) {
    if (lut.size() != std::size_t(1) << tool_.bitDepth())
      throw BadParams(L"The table has " + std::to_wstring(lut.size()) + L" entries, not the " +
                      std::to_wstring(std::size_t(1) << tool_.bitDepth()) + L" of the tool's depth");
  }
  return mapped(block, [&](mxPelBuffer<Pel>& out) { mfPelMap(block, lut, out); });
}

template <class Pel>
mxPelBuffer<Pel> mxBlockNormalizerOf<Pel>::mapBlock(const mxPelBuffer_const<Pel>& block, const LevelMap<Pel>& map) const {
  return mapped(block, [&](mxPelBuffer<Pel>& out) { mapLevels(block, map, out); });
}

template <class Pel>
template <class MapTo>
mxPelBuffer<Pel> mxBlockNormalizerOf<Pel>::mapped(const mxPelBuffer_const<Pel>& block, MapTo mapTo) const {
  if constexpr (sizeof(Pel) > 1) tool_.checkDeepPels(block, L"the image");  // a pel beyond the table is never looked up
  mxPelBuffer<Pel> out;
  mapTo(out);
  if (tool_.keepMaskedPixels() && (reference_ ? mask_ != nullptr : tool_.binarizedMask().isBound()))
    putBack(block, readMask(block.window()), out);
  out.copyXforms(block);
  return out;
}

template <class Pel>
mxPelRect mxBlockNormalizerOf<Pel>::maskContext(const mxPelRect& block, const mxPair<std::int32_t>& halo) const {
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
  return grown(block, {reach(halo.x(), g.x()), reach(halo.y(), g.y())}, mask_->window());
}

template <class Pel>
mxPelBuffer<Pel> mxBlockNormalizerOf<Pel>::runBlock(const mxPelBuffer_const<Pel>& context, Method method,
                                                    const mxPelRect& block, const mxPelBuffer<Pel>* into) const {
  const Tool* tool = &tool_;
  Tool piece;
  if (reference_) {
    // A tool over the context's reference and mask, trained as the whole
    // images would train it.
    piece = tool_;
    const mxPelRect maskRect = mask_ ? maskContext(block, halo(method)) : mxPelRect();
    // The 16-bit tool takes a mask of its reference's size only: its
    // reference is read over the mask's rectangle (the run uses the
    // reference only where the context is, and the mask's products do not
    // depend on the reference).
    const mxPelRect refRect =
        sizeof(Pel) > 1 && mask_ ? maskRect.intersect(reference_->window(), false) : context.window();
    piece.referenceImage(reference_->read(refRect), false);
    piece.maskImage(mask_ ? mask_->read(maskRect) : mxPelBuffer_const<unsigned char>(), false);
    piece.train(method);
    tool = &piece;
  }
  bool success = false;
  std::wstring message;
  mxPelBuffer<Pel> out;
  if constexpr (sizeof(Pel) == 1) {
    out = tool->runOnly(context, method, success, message, nullptr, 0, &block, into);
  } else {
    tool_.checkDeepPels(context, L"the image");
    bool empty = false;
    out = tool->runOverlap(context, method, success, message, tool_.bitDepth(), false, nullptr, &block, empty, into);
  }
  out.window(block, false);
  return out;
}

template <class Pel>
std::vector<mxPelRect> mxBlockNormalizerOf<Pel>::bands(const mxPelRect& window, Method method, int count) const {
  return splitIntoBands(window, method, tool_.neighborhoodSize(), tool_.granularity(), count);
}

template class mxBlockNormalizerOf<unsigned char>;
template class mxBlockNormalizerOf<unsigned short>;

// ---- colour images ----

namespace {
const std::vector<mxImageNormalizer>& greyTools(const mxColorNormalizer& t, unsigned char*) { return t.greyTools8(); }
const std::vector<mxImageNormalizer16>& greyTools(const mxColorNormalizer& t, unsigned short*) {
  return t.greyTools16();
}
const wchar_t* const kPlaneNames[] = {L"red", L"green", L"blue"};

// A rectangle of pels as the rectangle of their samples.
mxPelRect samplesOf(const mxPelRect& r, std::int32_t channels) {
  return mxPelRect(r.x() * channels, r.y(), r.width() * channels, r.height());
}
}  // namespace

template <class Pel>
mxColorBlockNormalizerOf<Pel>::mxColorBlockNormalizerOf(const mxColorNormalizer& tool, mxPair<std::int32_t> blockSize)
    : tool_(tool), blockSize_(blockSize) {
  checkBlockSize(blockSize);
  for (const auto& grey : greyTools(tool_, static_cast<Pel*>(nullptr))) engines_.emplace_back(grey, blockSize);
}

template <class Pel>
mxPair<std::int32_t> mxColorBlockNormalizerOf<Pel>::halo(Method method) const {
  return blockHalo(method, tool_.neighborhoodSize(), tool_.granularity());
}

template <class Pel>
bool mxColorBlockNormalizerOf<Pel>::run(mxPelSourceOf<Pel>& image, std::int32_t channels, Method method,
                                        mxPelSinkOf<Pel>& sink, std::wstring& message) const {
  message.clear();
  const mxPelRect samples = image.window();
  tool_.checkImageWindow(samples, channels, std::int32_t(8 * sizeof(Pel)));
  const mxPelRect pels(samples.x() / channels, samples.y(), samples.width() / channels, samples.height());
  using Grey = mxBlockNormalizerOf<Pel>;
  if (method == eIdentity) {
    sink.begin(samples);
    for (const mxPelRect& b : Grey::blocks(pels, blockSize_)) sink.write(mfPelCopy(image.read(samplesOf(b, channels))));
    return true;
  }
  checkRunMethod(method);
  checkTrained((tool_.trainedMethods() & method) != 0);
  const mxPelRect window = engines_.at(0).checkRun(method, pels);
  if (window.isNull()) return true;
  const std::size_t n = engines_.size();
  if (isLocal(method)) {
    const mxPair<std::int32_t> h = engines_[0].halo(method);
    sink.begin(samplesOf(window, channels));
    // Groups of blocks, as in the grey engine.
    const std::vector<mxPelRect> tiles = Grey::blocks(window, engines_[0].blockSize(method));
    for (const Group& g : groups(tiles)) {
      const mxPelBuffer_const<Pel> context = image.read(samplesOf(grown(g.rect, h, window), channels));
      const std::vector<mxPelBuffer<Pel>> planes = tool_.planes(context, channels);
      std::vector<mxPelBuffer<Pel>> results;
      for (std::size_t k = 0; k < n; ++k) results.push_back(engines_[k].runBlock(planes[k], method, g.rect));
      const mxPelBuffer<Pel> out = tool_.merge(context, channels, planes, results);
      for (std::size_t i = g.first; i < g.end; ++i) sink.write(part<Pel>(out, samplesOf(tiles[i], channels)));
    }
    return true;
  }
  // Pass 1: every plane's totals; the tables; pass 2: every block mapped.
  const std::vector<mxPelRect> tiles = Grey::blocks(window, blockSize_);
  std::vector<mxBlockTotals> totals(n);
  for (const mxPelRect& b : tiles) {
    const std::vector<mxPelBuffer<Pel>> planes = tool_.planes(image.read(samplesOf(b, channels)), channels);
    for (std::size_t k = 0; k < n; ++k) engines_[k].addTotals(planes[k], method, window, totals[k]);
  }
  std::vector<std::vector<Pel>> luts(n);
  for (std::size_t k = 0; k < n; ++k)
    if (!engines_[k].table(method, totals[k], luts[k], message)) {
      message += std::wstring(L" (") + (n == 1 ? L"luma" : kPlaneNames[k]) + L" channel)";
      return false;
    }
  sink.begin(samplesOf(window, channels));
  for (const mxPelRect& b : tiles) {
    const mxPelBuffer_const<Pel> block = image.read(samplesOf(b, channels));
    const std::vector<mxPelBuffer<Pel>> planes = tool_.planes(block, channels);
    std::vector<mxPelBuffer<Pel>> results;
    for (std::size_t k = 0; k < n; ++k) results.push_back(engines_[k].mapBlock(planes[k], luts[k]));
    sink.write(tool_.merge(block, channels, planes, results));
  }
  return true;
}

template class mxColorBlockNormalizerOf<unsigned char>;
template class mxColorBlockNormalizerOf<unsigned short>;

// ---- one in-memory image on several threads ----

namespace {

// Runs count calls of work(i) through runner, each in its own task, and
// rethrows on the calling thread the first exception a call threw (the
// rest are skipped once one has failed).
template <class Work>
void runTasks(const mxTaskRunner& runner, std::size_t count, Work&& work) {
  std::vector<std::exception_ptr> errors(count);
  std::atomic<bool> failed{false};
  std::vector<std::function<void()>> tasks;
  tasks.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    tasks.emplace_back([&, i] {
      if (failed.load(std::memory_order_relaxed)) return;
      try {
        work(i);
      } catch (...) {
        errors[i] = std::current_exception();
        failed = true;
      }
    });
  runner(tasks);
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

// Threads made for one run: at most `most`, and no more than its first pass
// has bands, made when that pass comes (a run refused by its checks makes
// none; a small image, or more threads asked for than it has rows, makes
// only those it can use) and kept for the run's second pass.
class RunThreads {
public:
  explicit RunThreads(int most) : most_(most) {}
  mxTaskRunner runner() {
    return [this](std::vector<std::function<void()>>& tasks) {
      if (!pool_) pool_ = std::make_unique<mxTaskThreads>(int(std::clamp<std::size_t>(tasks.size(), 1, most_)));
      (*pool_)(tasks);
    };
  }

private:
  std::size_t most_;
  std::unique_ptr<mxTaskThreads> pool_;
};

}  // namespace

mxPelBuffer<unsigned char> mxBlockNormalizer::runParallel(const mxImageNormalizer& tool,
                                                          const mxPelBuffer_const<unsigned char>& image, Method method,
                                                          int threads, bool& success, std::wstring& message,
                                                          mxDiagObject* diag, std::uint32_t diagFlags) {
  if (threads < 1) throw BadParams(L"The number of threads must be >= 1");
  if (threads == 1) return tool.run(image, method, success, message, diag, diagFlags);
  RunThreads pool(threads);
  return runParallel(tool, image, method, pool.runner(), threads, success, message, diag, diagFlags);
}

mxPelBuffer<unsigned char> mxBlockNormalizer::runParallel(const mxImageNormalizer& tool,
                                                          const mxPelBuffer_const<unsigned char>& image, Method method,
                                                          const mxTaskRunner& runner, int tasks, bool& success,
                                                          std::wstring& message, mxDiagObject* diag,
                                                          std::uint32_t diagFlags) {
  if (tasks < 1) throw BadParams(L"The number of tasks must be >= 1");
  if (tasks == 1 || method == eIdentity) return tool.run(image, method, success, message, diag, diagFlags);

  // The steps of run(), in its order, with the pels made band by band.
  tool.recordRunInputs(image, method, diag, diagFlags);
  success = false;
  message.clear();
  const mxPelRect window = tool.runWindow(image, method);
  if (window.isNull()) {
    success = true;
    return mxPelBuffer<unsigned char>();
  }
  const mxBlockNormalizer engine(tool, {window.width(), window.height()});
  const std::vector<mxPelRect> parts = engine.bands(window, method, tasks);

  const auto view = [](mxPelBuffer_const<unsigned char> b, const mxPelRect& r) {
    b.window(r, false);
    return b;
  };
  mxPelBuffer<unsigned char> result;
  const mxPelBuffer_const<unsigned char>& mask = tool.binarizedMask();
  // The fields local-gain and local-linear record after the result: each
  // band's rows of them, from the band's own run (the same values as the
  // whole run's, as its pels are), put together over the window.
  const bool fields = diag && mxDiagObject::shouldRecord(diagFlags, mxDiagObject::eResults) &&
                      (method == mxImageNormalizerDefs::eLocalGain || method == mxImageNormalizerDefs::eLocalLinear);
  std::vector<mxDiagObject> bandRecords(fields ? parts.size() : 0);
  if (isLocal(method)) {
    result = mxPelBuffer<unsigned char>(window, 32, mxPelInit::eUnwritten);
    const mxPair<std::int32_t> h = engine.halo(method);
    runTasks(runner, parts.size(), [&](std::size_t i) {
      mxPelBuffer<unsigned char> rows = result;
      rows.window(parts[i], false);
      const mxPelBuffer_const<unsigned char> context = view(image, grown(parts[i], h, window));
      if (!fields) {
        // The band's result is written into rows where its method can (the
        // full-resolution mean and median), else copied there.
        const mxPelBuffer<unsigned char> band = engine.runBlock(context, method, parts[i], &rows);
        if (band.pointToPel(parts[i].x(), parts[i].y()) != rows.pointToPel(parts[i].x(), parts[i].y()))
          mfPelCopy<unsigned char>(band, rows);
        return;
      }
      bool ok = false;
      std::wstring why;
      mfPelCopy<unsigned char>(
          tool.runOnly(context, method, ok, why, &bandRecords[i], mxDiagObject::eResults, &parts[i]), rows);
    });
    success = true;
  } else {
    std::vector<mxBlockTotals> totals(parts.size());
    runTasks(runner, parts.size(),
             [&](std::size_t i) { engine.addTotals(view(image, parts[i]), method, window, totals[i]); });
    for (std::size_t i = 1; i < parts.size(); ++i) totals[0] += totals[i];
    std::vector<unsigned char> lut;
    success = engine.table(method, totals[0], lut, message);
    // An empty histogram ends the run at once, as in run().
    if (!success && method != eLinearlyFitGrayValues &&
        std::all_of(totals[0].histogram.begin(), totals[0].histogram.end(), [](std::uint64_t c) { return c == 0; }))
      return mxPelBuffer<unsigned char>();
    if (success) {
      result = mxPelBuffer<unsigned char>(window, 32, mxPelInit::eUnwritten);
      runTasks(runner, parts.size(), [&](std::size_t i) {
        mxPelBuffer<unsigned char> rows = result;
        rows.window(parts[i], false);
        const mxPelBuffer_const<unsigned char> in = view(image, parts[i]);
        mfPelMap(in, lut, rows);
        if (tool.keepMaskedPixels() && mask.isBound()) mf_MaskedPelCopy(in, view(mask, parts[i]), rows, true);
      });
    } else if (tool.keepMaskedPixels() && mask.isBound()) {
      mf_MaskedPelCopy(view(image, window), mask, result, true);  // what run() leaves in its unusable result
    }
  }
  if (result.isBound()) result.copyXforms(image);
  tool.recordRunResult(result, diag, diagFlags);
  if (fields) {
    const std::int32_t level = diag->level();
    diag->level(level + 1);
    for (const wchar_t* name : {kGainFieldRecord, kOffsetFieldRecord}) {
      mxPelBuffer<unsigned char> whole;
      for (std::size_t i = 0; i < parts.size(); ++i)
        for (const mxDiagObject::Record& r : bandRecords[i].records())
          if (r.name == name) {
            if (!whole.isBound()) whole = mxPelBuffer<unsigned char>(window, 32, mxPelInit::eUnwritten);
            mxPelBuffer<unsigned char> rows = whole;
            rows.window(parts[i], false);
            mfPelCopy<unsigned char>(view(r.image, parts[i]), rows);
          }
      if (whole.isBound()) mf_AddImage(diag, whole, name, false);
    }
    diag->level(level);
  }
  return result;
}

mxPelBuffer<unsigned short> mxBlockNormalizer::runParallel(const mxImageNormalizer16& tool,
                                                           const mxPelBuffer_const<unsigned short>& image,
                                                           Method method, int threads, bool& success,
                                                           std::wstring& message) {
  if (threads < 1) throw BadParams(L"The number of threads must be >= 1");
  if (threads == 1) return tool.run(image, method, success, message);
  RunThreads pool(threads);
  return runParallel(tool, image, method, pool.runner(), threads, success, message);
}

mxPelBuffer<unsigned short> mxBlockNormalizer::runParallel(const mxImageNormalizer16& tool,
                                                           const mxPelBuffer_const<unsigned short>& image,
                                                           Method method, const mxTaskRunner& runner, int tasks,
                                                           bool& success, std::wstring& message) {
  using Deep = mxPelBuffer<unsigned short>;
  if (tasks < 1) throw BadParams(L"The number of tasks must be >= 1");
  if (tasks == 1 || method == eIdentity) return tool.run(image, method, success, message);
  // The steps of run(), in its order (its checks over the whole overlap),
  // with the pels made band by band.
  mxPelBuffer_const<unsigned short> work;
  Deep result;
  if (tool.startDeepRun(image, method, success, message, work, result)) return result;
  const mxPelRect window = work.window();
  const std::vector<mxPelRect> parts =
      splitIntoBands(window, method, tool.neighborhoodSize(), tool.granularity(), tasks);
  const auto view = [](auto b, const mxPelRect& r) {
    b.window(r, false);
    return b;
  };
  const mxPelBuffer_const<unsigned char>& mask = tool.binarizedMask();
  const std::int32_t depth = tool.bitDepth();
  LevelMap<unsigned short> levels;
  if (isLocal(method)) {
    result = Deep(window, 32, mxPelInit::eUnwritten);
    const mxPair<std::int32_t> h = blockHalo(method, tool.neighborhoodSize(), tool.granularity());
    runTasks(runner, parts.size(), [&](std::size_t i) {
      bool ok = false, empty = false;
      std::wstring why;
      const Deep band = tool.runOverlap(view(work, grown(parts[i], h, window)), method, ok, why, depth, false, nullptr,
                                        &parts[i], empty);
      Deep rows = view(result, parts[i]);
      mfPelCopy<unsigned short>(view(band, parts[i]), rows);
    });
    success = true;
    result.copyXforms(work);
    return result;
  }
  if (method == eLinearlyFitGrayValues) {
    // Each band's exact cell sums, added up: the whole overlap's line.
    const mxBlockNormalizer16 engine(tool, {window.width(), window.height()});
    std::vector<mxBlockTotals> totals(parts.size());
    runTasks(runner, parts.size(),
             [&](std::size_t i) { engine.addTotals(view(work, parts[i]), method, window, totals[i]); });
    for (std::size_t i = 1; i < parts.size(); ++i) totals[0] += totals[i];
    success = engine.levels(method, totals[0], levels, message);
  } else {
    std::vector<std::vector<std::uint32_t>> counts(parts.size());
    const std::uint32_t bins = std::uint32_t(1) << depth;
    runTasks(runner, parts.size(), [&](std::size_t i) {
      counts[i] = mfPelHistogram(view(work, parts[i]), mask.isBound() ? view(mask, parts[i]) : mask, bins);
    });
    std::vector<std::uint64_t> sum(bins, 0);
    for (const std::vector<std::uint32_t>& c : counts)
      for (std::size_t b = 0; b < c.size(); ++b) sum[b] += c[b];
    std::vector<std::uint32_t> histogram = counts32(sum);
    const mxHistoStats stats(histogram, false);
    success = histogramMethodMap(method, tool.referenceHistogram(), tool.referenceStats(), tool.tailFractions(),
                                 histogram, stats, levels, message);
    if (!success) return Deep();  // as run(): no result, the masked pels put back over none
  }
  result = Deep(window, 32, mxPelInit::eUnwritten);
  runTasks(runner, parts.size(), [&](std::size_t i) {
    Deep rows = view(result, parts[i]);
    tool.mapOverlap(view(work, parts[i]), levels, rows);
  });
  result.copyXforms(work);
  return result;
}

// ---- threads kept for repeated runs ----

struct mxTaskThreads::State {
  std::mutex call;  // one call at a time
  std::mutex mutex;
  std::condition_variable wake, done;
  std::vector<std::function<void()>>* tasks = nullptr;
  std::atomic<std::size_t> next{0};
  std::uint64_t generation = 0;  // calls so far: a helper works once on each
  std::size_t busy = 0;          // helpers not yet through the current call
  bool stop = false;
  std::vector<std::thread> helpers;

  void work(std::vector<std::function<void()>>& list) {
    for (std::size_t i = next.fetch_add(1); i < list.size(); i = next.fetch_add(1)) list[i]();
  }
  void helper() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stop || generation != seen; });
      if (stop) return;
      seen = generation;
      std::vector<std::function<void()>>& list = *tasks;
      lock.unlock();
      work(list);
      lock.lock();
      if (--busy == 0) done.notify_all();
    }
  }
};

mxTaskThreads::mxTaskThreads(int threads) : state_(new State) {
  if (threads < 1) {
    delete state_;
    throw BadParams(L"The number of threads must be >= 1");
  }
  for (int t = 1; t < threads; ++t) {
    try {
      state_->helpers.emplace_back([s = state_] { s->helper(); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones made (and the caller) do the work
    }
  }
}

mxTaskThreads::~mxTaskThreads() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  for (std::thread& h : state_->helpers) h.join();
  delete state_;
}

int mxTaskThreads::threads() const { return int(state_->helpers.size()) + 1; }

void mxTaskThreads::operator()(std::vector<std::function<void()>>& tasks) {
  State& s = *state_;
  std::lock_guard<std::mutex> call(s.call);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.tasks = &tasks;
    s.next = 0;
    s.busy = s.helpers.size();
    ++s.generation;
  }
  s.wake.notify_all();
  std::exception_ptr error;
  try {
    s.work(tasks);
  } catch (...) {  // the helpers still hold the list: wait for them before passing it on
    error = std::current_exception();
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  s.done.wait(lock, [&] { return s.busy == 0; });
  s.tasks = nullptr;
  if (error) std::rethrow_exception(error);
}

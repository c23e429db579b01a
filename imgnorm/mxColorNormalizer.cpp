// The colour tool: members, setters, the planes it hands to the grey tools,
// training, running and the archive form.  Every method runs through the
// grey tool of the depth, by its public interface; this file only splits
// interleaved images into planes and merges the results back.
#include "imgnorm/mxColorNormalizer.h"

#include <algorithm>
#include <exception>
#include <string>
#include <type_traits>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "imgnorm/checks.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;
using Mode = mxColorNormalizer::Mode;

namespace {

std::wstring num(std::int64_t v) { return mfFromUtf8(std::to_string(v)); }

mxPair<std::int32_t> defaultRange(std::int32_t depth) {
  const std::int32_t half = (std::int32_t(1) << (depth - 1)) - 1;
  return {-half, half};
}

bool differs(double a, double b) { return a < b || a > b; }

const wchar_t* const kChannelNames[] = {L"red", L"green", L"blue"};

// An interleaved image with this channel count: colour (3 or 4 channels),
// its window on whole pels.
void checkColorImage(const mxPelRect& window, std::int32_t channels, bool isReference) {
  const std::wstring what = isReference ? L"reference" : L"image";
  if (channels == 1)
    throw BadImage(std::wstring(ruleMessage(Rule::eColorAgainstGrey)) +
                   (isReference ? L" The reference is grey (1 channel) and this tool a colour tool"
                                : L" The image is grey (1 channel) and this colour tool's reference colour") +
                   L": normalize grey images against a grey reference with a grey tool (mxImageNormalizer, "
                   L"mxImageNormalizer16), or give the " +
                   what + L" as RGB or RGBA.");
  if (channels != 3 && channels != 4)
    throw BadImage(std::wstring(ruleMessage(Rule::eColorChannels)) + L" The " + what + L" has " + num(channels) + L".");
  if (window.x() % channels != 0 || window.width() % channels != 0)
    throw BadImage(std::wstring(ruleMessage(Rule::eColorLayout)) + L" The " + what + L"'s window starts at x = " +
                   num(window.x()) + L" and is " + num(window.width()) + L" samples wide, with " +
                   num(channels) + L" channels per pel.");
}

// The window of an interleaved image in pel coordinates.
mxPelRect pelWindow(const mxPelRect& r, std::int32_t channels) {
  return mxPelRect(r.x() / channels, r.y(), r.width() / channels, r.height());
}

// The planes of an interleaved image over the pel rectangle r (within its
// window): R, G, B (per channel) or the luma.  Returns the largest colour
// sample seen (alpha aside), for the depth check (0 for 8-bit pels, which
// cannot exceed their depth).
template <class T>
std::int32_t splitPlanes(const mxPelBuffer_const<T>& image, std::int32_t channels, const mxPelRect& r, Mode mode,
                         std::vector<mxPelBuffer<T>>& planes) {
  const std::size_t n = mode == Mode::ePerChannel ? 3 : 1;
  planes.clear();
  for (std::size_t k = 0; k < n; ++k) planes.emplace_back(r, 32, mxPelInit::eUnwritten);
  std::uint32_t top = 0;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const T* s = image.pointToPel(r.x() * channels, r.y() + j);
    if (mode == Mode::ePerChannel) {
      T* p0 = planes[0].row(j);
      T* p1 = planes[1].row(j);
      T* p2 = planes[2].row(j);
      for (std::int32_t i = 0; i < r.width(); ++i, s += channels) {
        p0[i] = s[0];
        p1[i] = s[1];
        p2[i] = s[2];
        if constexpr (sizeof(T) > 1) top = std::max<std::uint32_t>(top, std::max(s[0], std::max(s[1], s[2])));
      }
    } else {
      T* y = planes[0].row(j);
      for (std::int32_t i = 0; i < r.width(); ++i, s += channels) {
        y[i] = static_cast<T>((299u * s[0] + 587u * s[1] + 114u * s[2] + 500u) / 1000u);
        if constexpr (sizeof(T) > 1) top = std::max<std::uint32_t>(top, std::max(s[0], std::max(s[1], s[2])));
      }
    }
  }
  return std::int32_t(top);
}

// The interleaved result over the pel rectangle r: the normalized planes
// (per channel) or the input's channels moved by the luma's change and
// clamped to 0..top (luminance), the input's alpha copied.
template <class T>
mxPelBuffer<T> mergePlanes(const mxPelBuffer_const<T>& image, std::int32_t channels, const mxPelRect& r, Mode mode,
                           const std::vector<mxPelBuffer<T>>& planes, const std::vector<mxPelBuffer<T>>& results,
                           std::int32_t top) {
  mxPelBuffer<T> out(mxPelRect(r.x() * channels, r.y(), r.width() * channels, r.height()), 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const T* s = image.pointToPel(r.x() * channels, r.y() + j);
    T* d = out.row(j);
    if (mode == Mode::ePerChannel) {
      const T* p0 = results[0].pointToPel(r.x(), r.y() + j);
      const T* p1 = results[1].pointToPel(r.x(), r.y() + j);
      const T* p2 = results[2].pointToPel(r.x(), r.y() + j);
      for (std::int32_t i = 0; i < r.width(); ++i, s += channels, d += channels) {
        d[0] = p0[i];
        d[1] = p1[i];
        d[2] = p2[i];
        if (channels == 4) d[3] = s[3];
      }
    } else {
      const T* y = planes[0].row(j);
      const T* yNew = results[0].pointToPel(r.x(), r.y() + j);
      for (std::int32_t i = 0; i < r.width(); ++i, s += channels, d += channels) {
        const std::int32_t change = std::int32_t(yNew[i]) - std::int32_t(y[i]);
        for (int k = 0; k < 3; ++k) d[k] = static_cast<T>(std::clamp(std::int32_t(s[k]) + change, 0, top));
        if (channels == 4) d[3] = s[3];
      }
    }
  }
  out.copyXforms(image);
  return out;
}

// A grey tool of the pel type at the depth.
mxImageNormalizer greyTool(mxImageNormalizer*, std::int32_t) { return mxImageNormalizer(); }
mxImageNormalizer16 greyTool(mxImageNormalizer16*, std::int32_t depth) { return mxImageNormalizer16(depth); }
void setRelativeCounts(mxImageNormalizer& tool, bool value) { tool.relativeCounts(value); }
void setRelativeCounts(mxImageNormalizer16&, bool) {}

}  // namespace

mxColorNormalizer::mxColorNormalizer(Mode mode, std::int32_t bitDepth)
    : mode_(mode),
      bitDepth_(bitDepth),
      channels_(0),
      trainedMethods_(eIdentity),
      tailFractions_(0.0, 1.0),
      neighborhoodSize_(101, 101),
      granularity_(1, 1),
      intensityVariationRange_(-127, 127),
      keepMaskedPixels_(false),
      relativeCounts_(false) {
  checkColorMode(std::uint32_t(mode));
  checkColorBitDepth(bitDepth);
  intensityVariationRange_ = defaultRange(bitDepth);
}

bool mxColorNormalizer::operator==(const mxColorNormalizer& o) const {
  if (this == &o) return true;
  if (mode_ != o.mode_ || bitDepth_ != o.bitDepth_ || channels_ != o.channels_) return false;
  if (trainedMethods_ != o.trainedMethods_) return false;
  if (differs(tailFractions_.x(), o.tailFractions_.x()) || differs(tailFractions_.y(), o.tailFractions_.y()))
    return false;
  if (neighborhoodSize_ != o.neighborhoodSize_ || granularity_ != o.granularity_) return false;
  if (intensityVariationRange_ != o.intensityVariationRange_ || keepMaskedPixels_ != o.keepMaskedPixels_ ||
      relativeCounts_ != o.relativeCounts_)
    return false;
  if (!mf_PelBufferEqual(maskImage_, o.maskImage_, 0.0)) return false;
  return mf_PelBufferEqual(reference8_, o.reference8_, 0.0) && mfPelEqual(reference16_, o.reference16_);
}

void mxColorNormalizer::untrain() { *this = mxColorNormalizer(mode_, bitDepth_); }

void mxColorNormalizer::mode(Mode value) {
  checkColorMode(std::uint32_t(value));
  mode_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::neighborhoodSize(mxPair<std::int32_t> value) {
  checkNeighborhoodSize(value);
  neighborhoodSize_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::granularity(mxPair<std::int32_t> value) {
  checkGranularity(value);
  granularity_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::tailFractions(mxPair<double> value) {
  checkTailFractions(value);
  tailFractions_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::intensityVariationRange(mxPair<std::int32_t> value) {
  checkIntensityRange(value);
  intensityVariationRange_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::keepMaskedPixels(bool value) {
  keepMaskedPixels_ = value;
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::relativeCounts(bool value) {
  if (value && bitDepth_ > 8) throw NotImplemented(std::wstring(ruleMessage(Rule::eDeepMethod)) + L" (relativeCounts)");
  relativeCounts_ = value;
  for (mxImageNormalizer& tool : tools8_) tool.relativeCounts(value);
}

void mxColorNormalizer::maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy) {
  if (!image.isBound())
    maskImage_.setUnbound();
  else
    maskImage_ = copy ? mfPelCopy(image) : image;
  trainedMethods_ = eIdentity;
}

template <class T>
const mxPelBuffer_const<T>& mxColorNormalizer::referenceOf() const {
  if constexpr (std::is_same_v<T, unsigned char>)
    return reference8_;
  else
    return reference16_;
}

template <class T>
void mxColorNormalizer::checkPelType() const {
  if (pelBits() != std::int32_t(8 * sizeof(T)))
    throw BadImage(std::wstring(ruleMessage(Rule::ePelType)) + L" This tool takes " + num(pelBits()) +
                   L"-bit pels (bit depth " + num(bitDepth_) + L"), the image has " + num(8 * sizeof(T)) +
                   L"-bit pels.");
}

template <class T>
void mxColorNormalizer::setReference(const mxPelBuffer_const<T>& image, std::int32_t channels, bool copy) {
  checkPelType<T>();
  auto& member = const_cast<mxPelBuffer_const<T>&>(referenceOf<T>());
  if (!image.isBound()) {
    member.setUnbound();
    channels_ = 0;
  } else {
    checkColorImage(image.window(), channels, true);
    member = copy ? mfPelCopy(image) : image;
    channels_ = channels;
  }
  trainedMethods_ = eIdentity;
}

void mxColorNormalizer::referenceImage(const mxPelBuffer_const<unsigned char>& image, std::int32_t channels,
                                       bool copy) {
  setReference(image, channels, copy);
}

void mxColorNormalizer::referenceImage(const mxPelBuffer_const<unsigned short>& image, std::int32_t channels,
                                       bool copy) {
  setReference(image, channels, copy);
}

void mxColorNormalizer::set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
                            bool keepMaskedPixels) {
  // Validated whole first, then given to the grey tools (which cannot refuse it).
  checkTailFractions(tailFractions);
  checkIntensityRange(intensityVariationRange);
  tailFractions_ = tailFractions;
  intensityVariationRange_ = intensityVariationRange;
  keepMaskedPixels_ = keepMaskedPixels;
  for (mxImageNormalizer& tool : tools8_) tool.set(tailFractions, intensityVariationRange, keepMaskedPixels);
  for (mxImageNormalizer16& tool : tools16_) tool.set(tailFractions, intensityVariationRange, keepMaskedPixels);
}

// ---- training ----

void mxColorNormalizer::train(Method methods) { trainMethods(methods); }

template <class T, class Tool>
void mxColorNormalizer::trainTools(Method methods, std::vector<Tool>& tools) const {
  const mxPelBuffer_const<T>& reference = referenceOf<T>();
  std::vector<mxPelBuffer<T>> planes(mode_ == Mode::ePerChannel ? 3 : 1);
  if (reference.isBound()) {
    const mxPelRect r = pelWindow(reference.window(), channels_);
    if (maskImage_.isBound() && (maskImage_.width() != r.width() || maskImage_.height() != r.height()))
      throw BadImage(std::wstring(ruleMessage(Rule::eMaskShape)) + L" The mask is " + num(maskImage_.width()) + L" x " +
                     num(maskImage_.height()) + L", the reference " + num(r.width()) + L" x " + num(r.height()) +
                     L" pels.");
    checkLargestPel(splitPlanes(reference, channels_, r, mode_, planes), bitDepth_, L"referenceImage()");
  }
  tools.clear();
  // The method set and the reference were checked, so a tool that cannot
  // train has an empty reference histogram: each channel alike (one mask for
  // all).  The other methods are trained in every tool before it is thrown.
  std::exception_ptr emptyHistogram;
  for (const mxPelBuffer<T>& plane : planes) {
    Tool tool = greyTool(static_cast<Tool*>(nullptr), bitDepth_);
    tool.neighborhoodSize(neighborhoodSize_);
    tool.granularity(granularity_);
    tool.tailFractions(tailFractions_);
    tool.intensityVariationRange(intensityVariationRange_);
    tool.keepMaskedPixels(keepMaskedPixels_);
    setRelativeCounts(tool, relativeCounts_);
    tool.maskImage(maskImage_, false);
    tool.referenceImage(plane, false);
    try {
      tool.train(methods);
    } catch (const CanNotTrain&) {
      if (!emptyHistogram) emptyHistogram = std::current_exception();
    }
    tools.push_back(std::move(tool));
  }
  if (emptyHistogram) std::rethrow_exception(emptyHistogram);
}

void mxColorNormalizer::trainMethods(Method methods) {
  checkTrainMethods(methods, reference8_.isBound() || reference16_.isBound());
  if (relativeCounts_ && bitDepth_ > 8)
    throw NotImplemented(std::wstring(ruleMessage(Rule::eDeepMethod)) + L" (relativeCounts)");
  std::vector<mxImageNormalizer> tools8;
  std::vector<mxImageNormalizer16> tools16;
  // The grey tools are built whole before this tool changes; an empty
  // reference histogram still installs them, trained for the other methods
  // (the set this tool then reports is what every one of them has).
  const auto install = [&] {
    tools8_ = std::move(tools8);
    tools16_ = std::move(tools16);
    Method trained = methods;
    for (const mxImageNormalizer& t : tools8_) trained &= t.trainedMethods();
    for (const mxImageNormalizer16& t : tools16_) trained &= t.trainedMethods();
    trainedMethods_ = trained;
  };
  try {
    if (pelBits() == 8)
      trainTools<unsigned char>(methods, tools8);
    else
      trainTools<unsigned short>(methods, tools16);
  } catch (const CanNotTrain&) {
    install();
    throw;
  }
  install();
}

// ---- running ----

template <class T>
mxPelBuffer<T> mxColorNormalizer::runPels(const mxPelBuffer_const<T>& image, std::int32_t channels, Method method,
                                          bool& success, std::wstring& message) const {
  success = false;
  message.clear();
  checkPelType<T>();
  if (image.isBound()) checkColorImage(image.window(), channels, false);
  if (method == eIdentity) {
    success = true;
    return mfPelCopy(image);
  }
  checkRunMethod(method);
  checkTrained((trainedMethods_ & method) != 0);
  checkImageBound(image.isBound());

  const mxPelBuffer_const<T>& reference = referenceOf<T>();
  mxPelRect overlap = pelWindow(reference.window(), channels_).intersect(pelWindow(image.window(), channels), false);
  if (maskImage_.isBound()) overlap = overlap.intersect(maskImage_.window(), false);
  if (overlap.isNull()) {
    success = true;
    return mxPelBuffer<T>();
  }
  std::vector<mxPelBuffer<T>> planes, results;
  checkLargestPel(splitPlanes(image, channels, overlap, mode_, planes), bitDepth_, L"the image");
  for (std::size_t k = 0; k < planes.size(); ++k) {
    mxPelBuffer<T> out;
    if constexpr (std::is_same_v<T, unsigned char>)
      out = tools8_[k].run(planes[k], method, success, message);
    else
      out = tools16_[k].run(planes[k], method, success, message);
    if (!success) {
      message += std::wstring(L" (") + (planes.size() == 1 ? L"luma" : kChannelNames[k]) + L" channel)";
      return mxPelBuffer<T>();
    }
    if (!out.isBound()) return mxPelBuffer<T>();
    results.push_back(std::move(out));
  }
  return mergePlanes(image, channels, overlap, mode_, planes, results, (std::int32_t(1) << bitDepth_) - 1);
}

mxPelBuffer<unsigned char> mxColorNormalizer::run(const mxPelBuffer_const<unsigned char>& image, std::int32_t channels,
                                                  Method method, bool& success, std::wstring& message) const {
  return runPels(image, channels, method, success, message);
}

mxPelBuffer<unsigned short> mxColorNormalizer::run(const mxPelBuffer_const<unsigned short>& image,
                                                   std::int32_t channels, Method method, bool& success,
                                                   std::wstring& message) const {
  return runPels(image, channels, method, success, message);
}

template <class T>
std::vector<mxPelBuffer<T>> mxColorNormalizer::planesOf(const mxPelBuffer_const<T>& image,
                                                        std::int32_t channels) const {
  checkPelType<T>();
  checkImageBound(image.isBound());
  checkColorImage(image.window(), channels, false);
  std::vector<mxPelBuffer<T>> out;
  checkLargestPel(splitPlanes(image, channels, pelWindow(image.window(), channels), mode_, out), bitDepth_,
                       L"the image");
  return out;
}

template <class T>
mxPelBuffer<T> mxColorNormalizer::mergeOf(const mxPelBuffer_const<T>& image, std::int32_t channels,
                                          const std::vector<mxPelBuffer<T>>& planes,
                                          const std::vector<mxPelBuffer<T>>& results) const {
  checkPelType<T>();
  checkImageBound(image.isBound());
  checkColorImage(image.window(), channels, false);
  const std::size_t n = mode_ == Mode::ePerChannel ? 3 : 1;
  if (planes.size() != n || results.size() != n)
    throw BadImage(L"The merge takes " + num(std::int64_t(n)) + L" planes and as many results.");
  const mxPelRect r = results[0].window();
  std::vector<mxPelBuffer<T>> cut(planes);
  for (std::size_t k = 0; k < n; ++k) {
    if (!results[k].isBound() || results[k].window().intersect(r, false) != r ||
        cut[k].window().intersect(r, false) != r || pelWindow(image.window(), channels).intersect(r, false) != r)
      throw BadImage(L"The results' windows must lie within the planes' and the image's.");
    cut[k].window(r, false);  // mergePlanes reads the planes from the window's first row
  }
  return mergePlanes(image, channels, r, mode_, cut, results, (std::int32_t(1) << bitDepth_) - 1);
}

void mxColorNormalizer::checkImageWindow(const mxPelRect& window, std::int32_t channels, std::int32_t pelBits) const {
  if (pelBits == 8)
    checkPelType<unsigned char>();
  else
    checkPelType<unsigned short>();
  checkColorImage(window, channels, false);
}

std::vector<mxPelBuffer<unsigned char>> mxColorNormalizer::planes(const mxPelBuffer_const<unsigned char>& image,
                                                                  std::int32_t channels) const {
  return planesOf(image, channels);
}
std::vector<mxPelBuffer<unsigned short>> mxColorNormalizer::planes(const mxPelBuffer_const<unsigned short>& image,
                                                                   std::int32_t channels) const {
  return planesOf(image, channels);
}
mxPelBuffer<unsigned char> mxColorNormalizer::merge(const mxPelBuffer_const<unsigned char>& image,
                                                    std::int32_t channels,
                                                    const std::vector<mxPelBuffer<unsigned char>>& planes,
                                                    const std::vector<mxPelBuffer<unsigned char>>& results) const {
  return mergeOf(image, channels, planes, results);
}
mxPelBuffer<unsigned short> mxColorNormalizer::merge(const mxPelBuffer_const<unsigned short>& image,
                                                     std::int32_t channels,
                                                     const std::vector<mxPelBuffer<unsigned short>>& planes,
                                                     const std::vector<mxPelBuffer<unsigned short>>& results) const {
  return mergeOf(image, channels, planes, results);
}

// ---- archive form ----

namespace {

template <class T>
void exchangePair(mxArchive& ar, mxPair<T>& p) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion(nullptr, 0);
  T x = p.x(), y = p.y();
  ar || x;
  ar || y;
  if (ar.isLoading()) p = mxPair<T>(x, y);
}

}  // namespace

mxArchive& operator||(mxArchive& ar, mxColorNormalizer& n) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion("imgnorm/mxColorNormalizer", 1);
  unsigned char mode = static_cast<unsigned char>(n.mode_);
  unsigned char channels = static_cast<unsigned char>(n.channels_);
  unsigned char pelBits = static_cast<unsigned char>(n.pelBits());
  unsigned char depth = static_cast<unsigned char>(n.bitDepth_);
  ar || mode;
  ar || channels;
  ar || pelBits;
  ar || depth;
  if (ar.isLoading()) {
    if (mode > 1) throw mxArchive::BadData(L"the archive holds a colour tool of an unknown mode (" + num(mode) + L")");
    if (channels != 0 && channels != 3 && channels != 4)
      throw mxArchive::BadData(L"the archive holds a colour tool of " + num(channels) +
                               L" channels (a colour tool has 3 or 4)");
    if (pelBits != 8 && pelBits != 16)
      throw mxArchive::BadData(L"the archive holds a colour tool of an unknown pel type (" + num(pelBits) +
                               L" bits per pel; a colour tool reads 8 and 16)");
    if (pelBits == 8 ? depth != 8 : depth < 9 || depth > 16)
      throw mxArchive::BadData(L"the archive holds a colour tool of " + num(pelBits) + L"-bit pels and bit depth " +
                               num(depth) + L" (8-bit pels have depth 8, 16-bit pels 9 to 16)");
    n = mxColorNormalizer(Mode(mode), depth);
    n.channels_ = channels;
  }
  std::uint32_t methods = n.trainedMethods_;
  ar || methods;
  exchangePair(ar, n.tailFractions_);
  exchangePair(ar, n.neighborhoodSize_);
  exchangePair(ar, n.granularity_);
  exchangePair(ar, n.intensityVariationRange_);
  ar || n.keepMaskedPixels_;
  ar || n.relativeCounts_;
  ar || n.maskImage_;
  if (n.pelBits() == 8)
    ar || n.reference8_;
  else
    ar || n.reference16_;
  if (ar.isLoading()) {
    const mx_PelBuffer& ref = n.pelBits() == 8 ? static_cast<const mx_PelBuffer&>(n.reference8_) : n.reference16_;
    if (ref.isBound() != (channels != 0) || (channels != 0 && (ref.window().x() % channels || ref.width() % channels)))
      throw mxArchive::BadData(L"the archive holds a colour reference that does not match its channel count (" +
                               num(channels) + L")");
    n.trainMethods(mxColorNormalizer::Method(methods));
  }
  return ar;
}

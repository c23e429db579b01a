// The 16-bit tool: members, setters, training, running and archive form.
// Every method runs through the implementation the 8-bit tool uses,
// instantiated for 16-bit pels and 2^depth levels.
#include "imgnorm/mxImageNormalizer16.h"

#include <string>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "imgnorm/checks.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {

mxPair<std::int32_t> defaultRange(std::int32_t depth) {
  const std::int32_t half = (std::int32_t(1) << (depth - 1)) - 1;
  return {-half, half};
}

template <class T>
void assignImage(mxPelBuffer_const<T>& member, const mxPelBuffer_const<T>& image, bool copy) {
  if (!image.isBound())
    member.setUnbound();
  else if (copy)
    member = mfPelCopy(image);
  else
    member = image;
}

bool differs(double a, double b) { return a < b || a > b; }

std::wstring num(std::int64_t v) { return mfFromUtf8(std::to_string(v)); }

// Refuses a window holding a pel above the depth's largest (one vectorised
// pass), naming the largest pel found.
void checkPelsWithinDepth(const mxPelBuffer_const<unsigned short>& image, std::int32_t depth, const wchar_t* what) {
  const std::int32_t top = (std::int32_t(1) << depth) - 1;
  const std::int32_t found = mfPelMax(image);
  if (found > top)
    throw BadImage(std::wstring(ruleMessage(Rule::ePelsWithinDepth)) + L" The largest pel of " + what + L" is " +
                   num(found) + L", above " + num(top) + L" (" + num(depth) + L" bits).");
}

// The methods this tool runs; a method added to the table later is refused
// (NotImplemented, naming it) until it is made to run here.
constexpr std::uint32_t kDeepMethods = eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails |
                                       eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced;

// Methods not available at 16 bits yet, the local methods on a sub-sampled
// grid among them.
void checkDeepMethods(std::uint32_t methods, const mxPair<std::int32_t>& granularity) {
  const std::uint32_t missing = methods & kAllMethods & ~kDeepMethods;
  if (missing) {
    const MethodInfo* info = methodInfo(missing & (~missing + 1));
    throw NotImplemented(std::wstring(ruleMessage(Rule::eDeepMethod)) + L" (" + info->enumerator + L")");
  }
  if ((methods & methodMask(MethodKind::eLocal)) && granularity != mxPair<std::int32_t>(1, 1))
    throw NotImplemented(std::wstring(ruleMessage(Rule::eDeepMethod)) +
                         L" (the local methods with a granularity other than (1, 1))");
}

// result = image where the mask is 0, over the overlap of the three windows.
void putBackMaskedPels(const mxPelBuffer_const<unsigned short>& image, const mxPelBuffer_const<unsigned char>& mask,
                       const mxPelBuffer<unsigned short>& result) {
  const mxPelRect r = image.window().intersect(mask.window(), false).intersect(result.window(), false);
  if (r.isNull()) return;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned short* s = image.pointToPel(r.x(), r.y() + j);
    const unsigned char* m = mask.pointToPel(r.x(), r.y() + j);
    unsigned short* d = result.pointToPel(r.x(), r.y() + j);
    for (std::int32_t i = 0; i < r.width(); ++i) d[i] = m[i] == 0 ? s[i] : d[i];
  }
}

}  // namespace

mxImageNormalizer16::mxImageNormalizer16(std::int32_t bitDepth)
    : bitDepth_(16),
      trainedMethods_(eIdentity),
      tailFractions_(0.0, 1.0),
      neighborhoodSize_(101, 101),
      granularity_(1, 1),
      intensityVariationRange_(defaultRange(16)),
      keepMaskedPixels_(false) {
  this->bitDepth(bitDepth);
}

bool mxImageNormalizer16::operator==(const mxImageNormalizer16& o) const {
  if (this == &o) return true;
  if (bitDepth_ != o.bitDepth_ || trainedMethods_ != o.trainedMethods_) return false;
  if (differs(tailFractions_.x(), o.tailFractions_.x()) || differs(tailFractions_.y(), o.tailFractions_.y()))
    return false;
  if (neighborhoodSize_ != o.neighborhoodSize_ || granularity_ != o.granularity_) return false;
  if (intensityVariationRange_ != o.intensityVariationRange_ || keepMaskedPixels_ != o.keepMaskedPixels_)
    return false;
  if (!mf_PelBufferEqual(maskImage_, o.maskImage_, 0.0)) return false;
  return mfPelEqual(referenceImage_, o.referenceImage_);
}

void mxImageNormalizer16::untrain() { *this = mxImageNormalizer16(); }

void mxImageNormalizer16::bitDepth(std::int32_t value) {
  checkBitDepth(value);
  if (intensityVariationRange_ == defaultRange(bitDepth_)) intensityVariationRange_ = defaultRange(value);
  bitDepth_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::neighborhoodSize(mxPair<std::int32_t> value) {
  checkNeighborhoodSize(value);
  neighborhoodSize_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::granularity(mxPair<std::int32_t> value) {
  checkGranularity(value);
  granularity_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::tailFractions(mxPair<double> value) {
  checkTailFractions(value);
  tailFractions_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::intensityVariationRange(mxPair<std::int32_t> value) {
  checkIntensityRange(value);
  intensityVariationRange_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::keepMaskedPixels(bool value) {
  keepMaskedPixels_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy) {
  assignImage(maskImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::referenceImage(const mxPelBuffer_const<unsigned short>& image, bool copy) {
  assignImage(referenceImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer16::set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
                              bool keepMaskedPixels) {
  const Method kept = trainedMethods_;
  checkTailFractions(tailFractions);
  tailFractions_ = tailFractions;
  trainedMethods_ = eIdentity;
  checkIntensityRange(intensityVariationRange);
  intensityVariationRange_ = intensityVariationRange;
  keepMaskedPixels_ = keepMaskedPixels;
  trainedMethods_ = kept;
}

// ---- training ----

void mxImageNormalizer16::train(Method methods) { trainMethods(methods); }

void mxImageNormalizer16::trainMethods(Method methods) {
  checkTrainMethods(methods, referenceImage_.isBound());
  checkLocalParameters(neighborhoodSize_, granularity_, intensityVariationRange_);
  checkTailFractions(tailFractions_);
  checkBitDepth(bitDepth_);
  checkDeepMethods(methods, granularity_);
  if (referenceImage_.isBound()) {
    checkPelsWithinDepth(referenceImage_, bitDepth_, L"referenceImage()");
    if (maskImage_.isBound() &&
        (maskImage_.width() != referenceImage_.width() || maskImage_.height() != referenceImage_.height()))
      throw BadImage(std::wstring(ruleMessage(Rule::eMaskShape)) + L" The mask is " + num(maskImage_.width()) +
                     L" x " + num(maskImage_.height()) + L", the reference " + num(referenceImage_.width()) +
                     L" x " + num(referenceImage_.height()) + L".");
  }

  std::vector<unsigned char> binarizeTable(256, 255);
  binarizeTable[0] = 0;
  if (maskImage_.isBound())
    binarizedMask_ = mfPelMap(maskImage_, binarizeTable);
  else
    binarizedMask_.setUnbound();
  referenceHistogram_.clear();
  if (referenceImage_.isBound())
    referenceHistogram_ = mfPelHistogram(referenceImage_, binarizedMask_, std::uint32_t(1) << bitDepth_);
  referenceStats_ = mxHistoStats(referenceHistogram_, false);
  if (methods & eLinearlyFitGrayValues) buildFitAngles(fitAngles_);

  trainedMethods_ = methods;
  if (referenceStats_.samples() == 0 && (methods & Method(kHistogramMethods))) {
    trainedMethods_ = methods & ~Method(kHistogramMethods);
    throw CanNotTrain(ruleMessage(Rule::eHistogramNonEmpty));
  }
}

// ---- running ----

mxPelBuffer<unsigned short> mxImageNormalizer16::run(const mxPelBuffer_const<unsigned short>& image, Method method,
                                                     bool& success, std::wstring& message) const {
  success = false;
  message.clear();
  if (method == eIdentity) {
    success = true;
    return mfPelCopy(image);
  }
  const std::uint32_t m = method;
  checkRunMethod(m);
  checkDeepMethods(m, granularity_);
  checkTrained((trainedMethods_ & method) != 0);
  if (m == eMatchHistogramTails) checkTailFractions(tailFractions_);
  if (isLocal(m)) checkLocalParameters(neighborhoodSize_, granularity_, intensityVariationRange_);
  if (m == eLinearlyFitGrayValues) checkTrained(!fitAngles_.empty());
  checkImageBound(image.isBound());

  mxPelRect overlap = referenceImage_.window().intersect(image.window(), false);
  if (maskImage_.isBound()) overlap = overlap.intersect(maskImage_.window(), false);
  if (overlap.isNull()) {
    success = true;
    return mxPelBuffer<unsigned short>();
  }
  mxPelBuffer_const<unsigned short> work = image;
  work.window(overlap, false);
  checkPelsWithinDepth(work, bitDepth_, L"the image");

  mxPelBuffer<unsigned short> result;
  if (isLocal(m)) {
    runDeepLocalCorrection(work, referenceImage_, binarizedMask_, method, neighborhoodSize_, intensityVariationRange_,
                           bitDepth_, result);
    success = true;
  } else if (m == eLinearlyFitGrayValues) {
    result = linearFitImage(work, referenceImage_, binarizedMask_, fitAngles_, bitDepth_);
    success = true;
  } else {
    // The mean and standard deviation need no histogram (one vectorised
    // pass gives the same statistics bit for bit).
    std::vector<std::uint32_t> histogram;
    mxHistoStats stats;
    const std::uint32_t bins = std::uint32_t(1) << bitDepth_;
    if (m == eMatchMeanAndStddev) {
      stats = mfPelMoments(work, binarizedMask_, bins);
    } else {
      histogram = mfPelHistogram(work, binarizedMask_, bins);
      stats = mxHistoStats(histogram, false);
    }
    std::vector<unsigned short> lut;
    success = histogramMethodLut(method, referenceHistogram_, referenceStats_, tailFractions_, histogram, stats, lut,
                                 message);
    if (stats.samples() == 0) return mxPelBuffer<unsigned short>();
    if (success) result = mfPelMap(work, lut);
  }
  if (keepMaskedPixels_ && binarizedMask_.isBound() && result.isBound())
    putBackMaskedPels(work, binarizedMask_, result);
  if (result.isBound()) result.copyXforms(work);
  return result;
}

// ---- archive form ----

namespace {

constexpr unsigned char kPelBits = 16;

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

mxArchive& operator||(mxArchive& ar, mxImageNormalizer16& n) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion("imgnorm/mxImageNormalizer16", 1);
  unsigned char pelBits = kPelBits;
  ar || pelBits;
  if (ar.isLoading() && pelBits != kPelBits)
    throw mxArchive::BadData(L"the archive holds a tool of an unknown pel type (" + num(pelBits) +
                             L" bits per pel; this tool reads 16)");
  unsigned char depth = static_cast<unsigned char>(n.bitDepth_);
  ar || depth;
  if (ar.isLoading() && (depth < 9 || depth > 16))
    throw mxArchive::BadData(L"the archive holds a 16-bit tool of bit depth " + num(depth) +
                             L" (a depth is from 9 to 16)");
  if (ar.isLoading()) {
    n.untrain();
    n.bitDepth(depth);
  }
  std::uint32_t methods = n.trainedMethods_;
  ar || methods;
  if (ar.isLoading()) n.trainedMethods_ = mxImageNormalizer16::Method(methods);
  exchangePair(ar, n.tailFractions_);
  exchangePair(ar, n.neighborhoodSize_);
  exchangePair(ar, n.granularity_);
  exchangePair(ar, n.intensityVariationRange_);
  ar || n.keepMaskedPixels_;
  ar || n.maskImage_;
  ar || n.referenceImage_;
  if (ar.isLoading()) n.trainMethods(n.trainedMethods_);
  return ar;
}

// What the 8-bit and the 16-bit tools share: members, setters, comparison,
// the steps of training and running, the archive's member sequence.  One
// implementation, instantiated for both pel types.
#include "imgnorm/mxNormalizerMembers.h"

#include <type_traits>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/checks.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {

template <class T>
void assignImage(mxPelBuffer_const<T>& member, const mxPelBuffer_const<T>& image, bool copy) {
  if (!image.isBound())
    member.setUnbound();
  else if (copy)
    member = mfPelCopy(image);
  else
    member = image;
}

// Doubles differ only when one is less than or greater than the other, so a
// NaN compares equal to anything.
bool differs(double a, double b) { return a < b || a > b; }

// 8-bit images compare with their client placement, 16-bit ones by window
// and pels.
bool sameImage(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b) {
  return mf_PelBufferEqual(a, b, 0.0);
}
bool sameImage(const mxPelBuffer_const<unsigned short>& a, const mxPelBuffer_const<unsigned short>& b) {
  return mfPelEqual(a, b);
}

// The masked histogram and moments of a run or a reference: 256 bins for
// 8-bit pels, bins (2^depth) for 16-bit ones, whose pels the same pass checks
// against the depth (what names the image in the message).  With percents
// (the tails, which read it there only) a 16-bit histogram need only be
// right at those percentages (mfPelPercentileHistogram).
std::int32_t depthOfBins(std::uint32_t bins) { return std::int32_t(__builtin_ctz(bins)); }
void maskedHistogram(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                     std::uint32_t, std::vector<std::uint32_t>& histogram, const wchar_t*,
                     const mxPair<std::int32_t>* = nullptr) {
  mf_MaskedPelHistogram(src, mask, histogram);
}
void maskedHistogram(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                     std::uint32_t bins, std::vector<std::uint32_t>& histogram, const wchar_t* what,
                     const mxPair<std::int32_t>* percents = nullptr) {
  unsigned short largest = 0;
  histogram = percents ? mfPelPercentileHistogram(src, mask, bins, *percents, &largest)
                       : mfPelHistogram(src, mask, bins, &largest);
  checkLargestPel(largest, depthOfBins(bins), what);
}
mxHistoStats maskedMoments(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                           std::uint32_t, const wchar_t*) {
  return mfPelMoments(src, mask);
}
mxHistoStats maskedMoments(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                           std::uint32_t bins, const wchar_t* what) {
  unsigned short largest = 0;
  const mxHistoStats stats = mfPelMoments(src, mask, bins, &largest);
  checkLargestPel(largest, depthOfBins(bins), what);
  return stats;
}

// result = image where the mask is 0: the 8-bit tool's masked copy (which
// makes a result of the masked pels alone when there is none), and the same
// copy over a 16-bit result when there is one.
void putBackMaskedPels(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& mask,
                       mxPelBuffer<unsigned char>& result) {
  mf_MaskedPelCopy(image, mask, result, true);
}
void putBackMaskedPels(const mxPelBuffer_const<unsigned short>& image, const mxPelBuffer_const<unsigned char>& mask,
                       mxPelBuffer<unsigned short>& result) {
  if (!result.isBound()) return;
  const mxPelRect r = image.window().intersect(mask.window(), false).intersect(result.window(), false);
  if (r.isNull()) return;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned short* s = image.pointToPel(r.x(), r.y() + j);
    const unsigned char* m = mask.pointToPel(r.x(), r.y() + j);
    unsigned short* d = result.pointToPel(r.x(), r.y() + j);
    for (std::int32_t i = 0; i < r.width(); ++i) d[i] = m[i] == 0 ? s[i] : d[i];
  }
}

// Validates value with check (BadParams, nothing changed), stores it in
// member and clears the training.
template <class T>
void store(T& member, const T& value, void (*check)(const T&), Method& trained) {
  check(value);
  member = value;
  trained = eIdentity;
}

template <class T>
void exchangePair(mxArchive& ar, mxPair<T>& p) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion(nullptr, 0);
  T x = p.x();
  ar || x;
  if (ar.isLoading()) p = mxPair<T>(x, p.y());
  T y = p.y();
  ar || y;
  if (ar.isLoading()) p = mxPair<T>(p.x(), y);
}

}  // namespace

template <class Pel>
mxNormalizerMembers<Pel>::mxNormalizerMembers(mxPair<std::int32_t> range)
    : trainedMethods_(eIdentity),
      tailFractions_(0.0, 1.0),
      neighborhoodSize_(101, 101),
      granularity_(1, 1),
      intensityVariationRange_(range),
      keepMaskedPixels_(false) {}

template <class Pel>
bool mxNormalizerMembers<Pel>::sameMembers(const mxNormalizerMembers& o) const {
  if (this == &o) return true;
  if (trainedMethods_ != o.trainedMethods_) return false;
  if (differs(tailFractions_.x(), o.tailFractions_.x()) || differs(tailFractions_.y(), o.tailFractions_.y()))
    return false;
  if (neighborhoodSize_ != o.neighborhoodSize_ || granularity_ != o.granularity_) return false;
  if (intensityVariationRange_ != o.intensityVariationRange_ || keepMaskedPixels_ != o.keepMaskedPixels_) return false;
  if (!mf_PelBufferEqual(maskImage_, o.maskImage_, 0.0)) return false;
  return sameImage(referenceImage_, o.referenceImage_);
}

// ---- setters ----

template <class Pel>
void mxNormalizerMembers<Pel>::neighborhoodSize(mxPair<std::int32_t> value) {
  store(neighborhoodSize_, value, checkNeighborhoodSize, trainedMethods_);
}

template <class Pel>
void mxNormalizerMembers<Pel>::granularity(mxPair<std::int32_t> value) {
  store(granularity_, value, checkGranularity, trainedMethods_);
}

template <class Pel>
void mxNormalizerMembers<Pel>::tailFractions(mxPair<double> value) {
  store(tailFractions_, value, checkTailFractions, trainedMethods_);
}

template <class Pel>
void mxNormalizerMembers<Pel>::intensityVariationRange(mxPair<std::int32_t> value) {
  store(intensityVariationRange_, value, checkIntensityRange, trainedMethods_);
}

template <class Pel>
void mxNormalizerMembers<Pel>::keepMaskedPixels(bool value) {
  keepMaskedPixels_ = value;
  trainedMethods_ = eIdentity;
}

template <class Pel>
void mxNormalizerMembers<Pel>::maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy) {
  assignImage(maskImage_, image, copy);
  trainedMethods_ = eIdentity;
}

template <class Pel>
void mxNormalizerMembers<Pel>::referenceImage(const mxPelBuffer_const<Pel>& image, bool copy) {
  assignImage(referenceImage_, image, copy);
  trainedMethods_ = eIdentity;
}

template <class Pel>
void mxNormalizerMembers<Pel>::set(const mxPair<double>& tailFractions,
                                   const mxPair<std::int32_t>& intensityVariationRange, bool keepMaskedPixels) {
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

template <class Pel>
void mxNormalizerMembers<Pel>::checkTraining(Method methods) const {
  checkTrainMethods(methods, referenceImage_.isBound());
  // Parameters come from the setters (always valid) or from an archive (not
  // checked while loading): later steps divide by the granularity and
  // convert the tail fractions to integers.
  checkLocalParameters(neighborhoodSize_, granularity_, intensityVariationRange_);
  checkTailFractions(tailFractions_);
}

template <class Pel>
void mxNormalizerMembers<Pel>::trainReference(Method methods, std::uint32_t bins) {
  // 1-2: the binarized mask (0 stays 0, everything else 255).
  std::vector<unsigned char> binarizeTable(256, 255);
  binarizeTable[0] = 0;
  if (maskImage_.isBound())
    binarizedMask_ = mfPelMap(maskImage_, binarizeTable);
  else
    binarizedMask_.setUnbound();

  // 3-4: the mask on the sub-sampled grid and the mask coverage that
  // normalises the masked local mean (only for eLocalCorrection).
  localCorrectionMasks(binarizedMask_, neighborhoodSize_, granularity_, (methods & eLocalCorrection) != 0, sampledMask_,
                       maskCoverage_);

  // 5-6: the reference histogram under the full-resolution mask.
  referenceHistogram_.clear();
  if (referenceImage_.isBound())
    maskedHistogram(referenceImage_, binarizedMask_, bins, referenceHistogram_, L"referenceImage()");
  referenceStats_ = mxHistoStats(referenceHistogram_, false);

  // 7: the fit directions of the linear grey-value fit.
  if (methods & eLinearlyFitGrayValues) buildFitAngles(fitAngles_);

  trainedMethods_ = methods;
  if (referenceStats_.samples() == 0 && (methods & Method(kHistogramMethods))) {
    trainedMethods_ = methods & ~Method(kHistogramMethods);
    throw CanNotTrain(ruleMessage(Rule::eHistogramNonEmpty));
  }
}

// ---- running ----

template <class Pel>
mxPelRect mxNormalizerMembers<Pel>::runWindow(const mxPelBuffer_const<Pel>& image, Method method) const {
  const std::uint32_t m = method;
  checkRunMethod(m);
  checkTrained((trainedMethods_ & method) != 0);
  // A tool whose retraining on load stopped early keeps the stored set with
  // default trained members, and runs with them: an empty reference histogram
  // makes the histogram methods report failure, an unbound binarized mask
  // makes the local methods run without a mask.  Two things stay guarded:
  // parameters such a load took unchecked are checked here for the methods
  // that use them (they would divide by zero or convert NaN to an integer),
  // and the linear fit, whose ridge search starts by indexing the table of fit
  // directions, reports an empty table as not trained instead of reading
  // outside it.
  if (m == eMatchHistogramTails) checkTailFractions(tailFractions_);
  if (isLocal(m)) checkLocalParameters(neighborhoodSize_, granularity_, intensityVariationRange_);
  if (m == eLinearlyFitGrayValues) checkTrained(!fitAngles_.empty());
  checkImageBound(image.isBound());

  mxPelRect overlap = referenceImage_.window().intersect(image.window(), false);
  if (maskImage_.isBound()) overlap = overlap.intersect(maskImage_.window(), false);
  return overlap;
}

template <class Pel>
bool mxNormalizerMembers<Pel>::startRun(const mxPelBuffer_const<Pel>& image, Method method, bool& success,
                                        std::wstring& message, mxPelBuffer_const<Pel>& work,
                                        mxPelBuffer<Pel>& result) const {
  success = false;
  message.clear();
  result.setUnbound();
  if (method == eIdentity) {
    success = true;
    result = mfPelCopy(image);
    return true;
  }
  const mxPelRect overlap = runWindow(image, method);
  if (overlap.isNull()) {
    success = true;
    return true;
  }
  work = image;
  work.window(overlap, false);
  return false;
}

template <class Pel>
mxPelBuffer<Pel> mxNormalizerMembers<Pel>::runOverlap(const mxPelBuffer_const<Pel>& work, Method method, bool& success,
                                                      std::wstring& message, std::int32_t depth, bool relativeCounts,
                                                      LocalGainFields* fields, const mxPelRect* only, bool& empty,
                                                      const mxPelBuffer<Pel>* into) const {
  const std::uint32_t m = method;
  empty = false;
  const std::uint32_t bins = std::uint32_t(1) << depth;
  mxPelBuffer<Pel> result;
  if (isLocal(m)) {
    const LocalMasks masks{binarizedMask_, sampledMask_, maskCoverage_};
    LocalParams params{method, neighborhoodSize_, granularity_, intensityVariationRange_, false, fields};
    if constexpr (std::is_same_v<Pel, unsigned char>) {
      if (into) params.into = *into;
      runLocalCorrection(work, referenceImage_, masks, params, result, only);
    } else {
      (void)into;
      runLocalCorrection(work, referenceImage_, masks, params, depth, result, only);
    }
    success = true;
  } else if (m == eLinearlyFitGrayValues) {
    if constexpr (std::is_same_v<Pel, unsigned char>)
      result = linearFitImage(work, referenceImage_, binarizedMask_, fitAngles_);
    else
      result = linearFitImage(work, referenceImage_, binarizedMask_, fitAngles_, depth);
    success = true;
  } else {
    // The mean and standard deviation need no histogram: one vectorised
    // pass over the pels gives the same statistics bit for bit.
    std::vector<std::uint32_t> histogram;
    mxHistoStats stats;
    if (m == eMatchMeanAndStddev) {
      stats = maskedMoments(work, binarizedMask_, bins, L"the image");
    } else {
      const mxPair<std::int32_t> percents = tailPercents(tailFractions_);
      maskedHistogram(work, binarizedMask_, bins, histogram, L"the image",
                      m == eMatchHistogramTails ? &percents : nullptr);
      stats = mxHistoStats(histogram, false);
    }
    LevelMap<Pel> levels;
    success = histogramMethodMap(method, referenceHistogram_, referenceStats_, tailFractions_, histogram, stats,
                                 levels, message, relativeCounts);
    // An empty histogram ends the run at once: no result, no masked pels put back.
    empty = stats.samples() == 0;
    if (empty) return mxPelBuffer<Pel>();
    if (success) {
      mapOverlap(work, levels, result);
      return result;
    }
  }

  if (keepMaskedPixels_ && binarizedMask_.isBound()) putBackMaskedPels(work, binarizedMask_, result);
  if (result.isBound()) result.copyXforms(work);
  return result;
}

template <class Pel>
void mxNormalizerMembers<Pel>::mapOverlap(const mxPelBuffer_const<Pel>& work, const LevelMap<Pel>& levels,
                                          mxPelBuffer<Pel>& out) const {
  mapLevels(work, levels, out);
  if (keepMaskedPixels_ && binarizedMask_.isBound()) putBackMaskedPels(work, binarizedMask_, out);
  out.copyXforms(work);
}

// ---- archive form ----

template <class Pel>
void mxNormalizerMembers<Pel>::exchangeMembers(mxArchive& ar) {
  std::uint32_t methods = trainedMethods_;
  ar || methods;
  if (ar.isLoading()) trainedMethods_ = Method(methods);
  exchangePair(ar, tailFractions_);
  exchangePair(ar, neighborhoodSize_);
  exchangePair(ar, granularity_);
  exchangePair(ar, intensityVariationRange_);
  ar || keepMaskedPixels_;
  ar || maskImage_;
  ar || referenceImage_;
}

template class mxNormalizerMembers<unsigned char>;
template class mxNormalizerMembers<unsigned short>;

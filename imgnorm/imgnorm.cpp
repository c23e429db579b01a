// Training, running and the archive form of mxImageNormalizer.
#include <cmath>
#include <string>

#include "baseif/mxArchive.h"
#include "baseif/mxDiag.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "imgnorm/checks.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {
constexpr std::uint32_t kInputRecords = 0x10000;
constexpr std::uint32_t kResultRecords = 0x20000;

// Parameters come from the setters (always valid) or from an archive (not
// checked while loading).  Training refuses values the setters would have
// refused, with the setter's message, before it changes anything: later steps
// divide by the granularity and convert the tail fractions to integers.
void checkLoadedParameters(const mxPair<double>& tails, const mxPair<std::int32_t>& nbh,
                           const mxPair<std::int32_t>& gran, const mxPair<std::int32_t>& range) {
  checkLocalParameters(nbh, gran, range);
  checkTailFractions(tails);
}
}  // namespace

// ---- training ----

void mxImageNormalizer::referenceStatistics(Method methods) {
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
  if (referenceImage_.isBound()) mf_MaskedPelHistogram(referenceImage_, binarizedMask_, referenceHistogram_);
  referenceStats_ = mxHistoStats(referenceHistogram_, false);

  // 7: the fit directions of the linear grey-value fit.
  if (methods & eLinearlyFitGrayValues) buildFitAngles(fitAngles_);
}

void mxImageNormalizer::train(Method methods, mxDiagObject* diag, std::uint32_t diagFlags) {
  trainMethods(methods, diag, diagFlags);
  warmUpLocalMethods();
}

void mxImageNormalizer::trainMethods(Method methods, mxDiagObject* diag, std::uint32_t diagFlags) {
  checkTrainMethods(methods, referenceImage_.isBound());
  checkLoadedParameters(tailFractions_, neighborhoodSize_, granularity_, intensityVariationRange_);

  referenceStatistics(methods);
  trainedMethods_ = methods;
  if (referenceStats_.samples() == 0 && (methods & Method(kHistogramMethods))) {
    trainedMethods_ = methods & ~Method(kHistogramMethods);
    throw CanNotTrain(ruleMessage(Rule::eHistogramNonEmpty));
  }

  if (!diag || !mxDiagObject::shouldRecord(diagFlags, kInputRecords)) return;
  mf_AddImage(diag, referenceImage_, kReferenceRecord, false);
  mf_AddText(diag, recordText(trainingParameterFields(*this)), kParametersRecord);
  if (maskImage_.isBound()) mf_AddImage(diag, maskImage_, kMaskRecord, false);
}

// One run of each trained local method on the reference, its result
// discarded.  A thread's first run of a local method otherwise gets fresh
// memory for its image-sized stores and scratch, page by page, and costs
// about three times what later runs do (6 ms against 1.9 ms on 1920 x 1080);
// this puts that memory in place at training time, where the thread keeps it
// (recycled stores, the sampler's scratch) for runs of up to the reference's
// size.  References over 16 Mpel are skipped: their stores are larger than
// what a thread keeps.  A warm-up that fails changes nothing: the run that
// follows reports the failure itself.  Loading a tool does not warm up:
// it only decodes the (untrusted) archive, as fast as before.
void mxImageNormalizer::warmUpLocalMethods() const {
  constexpr std::int64_t kLargestWarmUp = std::int64_t(16) << 20;
  if (std::int64_t(referenceImage_.width()) * referenceImage_.height() > kLargestWarmUp) return;
  for (const MethodInfo& m : kMethods) {
    if (m.kind != MethodKind::eLocal || !(trainedMethods_ & m.method)) continue;
    try {
      bool success = false;
      std::wstring message;
      run(referenceImage_, m.method, success, message);
    } catch (...) {
    }
  }
}

// ---- running ----

mxPelBuffer<unsigned char> mxImageNormalizer::run(const mxPelBuffer_const<unsigned char>& image, Method method,
                                                  bool& success, std::wstring& message, mxDiagObject* diag,
                                                  std::uint32_t diagFlags) const {
  return runOnly(image, method, success, message, diag, diagFlags, nullptr);
}

mxPelBuffer<unsigned char> mxImageNormalizer::runOnly(const mxPelBuffer_const<unsigned char>& image, Method method,
                                                      bool& success, std::wstring& message, mxDiagObject* diag,
                                                      std::uint32_t diagFlags, const mxPelRect* only) const {
  const std::int32_t savedLevel = diag ? diag->level() : 0;

  if (diag && mxDiagObject::shouldRecord(diagFlags, kInputRecords)) {
    mxPelBuffer<unsigned char> inputCopy;
    if (image.isBound()) inputCopy = mfPelCopy(image);
    mf_AddImage(diag, inputCopy, kInputRecord, false);
    mf_AddText(diag, recordText(runParameterFields(*this, method)), kRunParametersRecord);
    diag->level(savedLevel + 1);
    mf_AddImage(diag, referenceImage_, kReferenceRecord, false);
    mf_AddImage(diag, maskImage_, kMaskRecord, false);
    diag->level(savedLevel);
  }

  success = false;
  message.clear();

  if (method == eIdentity) {
    success = true;
    return mfPelCopy(image);
  }

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
  if (overlap.isNull()) {
    success = true;
    return mxPelBuffer<unsigned char>();
  }

  mxPelBuffer_const<unsigned char> work = image;
  work.window(overlap, false);
  mxPelBuffer<unsigned char> result;

  if (isLocal(m)) {
    runLocalCorrection(work, referenceImage_, {binarizedMask_, sampledMask_, maskCoverage_},
                       {method, neighborhoodSize_, granularity_, intensityVariationRange_}, result, only);
    success = true;
  } else if (m == eLinearlyFitGrayValues) {
    result = linearFitImage(work, referenceImage_, binarizedMask_, fitAngles_);
    success = true;
  } else {
    // The mean and standard deviation need no histogram: one vectorised
    // pass over the pels gives the same statistics bit for bit.
    std::vector<std::uint32_t> histogram;
    mxHistoStats stats;
    if (m == eMatchMeanAndStddev) {
      stats = mfPelMoments(work, binarizedMask_);
    } else {
      mf_MaskedPelHistogram(work, binarizedMask_, histogram);
      stats = mxHistoStats(histogram, false);
    }
    std::vector<unsigned char> lut;
    success = histogramMethodLut(method, referenceHistogram_, referenceStats_, tailFractions_, histogram, stats, lut,
                                 message, relativeCounts_);
    // An empty histogram ends the run at once: no result, no masked pels put back.
    if (stats.samples() == 0) return mxPelBuffer<unsigned char>();
    if (success) result = mfPelMap(work, lut);
  }

  if (keepMaskedPixels_ && binarizedMask_.isBound()) mf_MaskedPelCopy(work, binarizedMask_, result, true);
  if (result.isBound()) result.copyXforms(work);

  if (diag) {
    if (mxDiagObject::shouldRecord(diagFlags, kResultRecords)) {
      diag->level(savedLevel + 1);
      mf_AddImage(diag, result, kResultRecord, false);
    }
    diag->level(savedLevel);
  }
  return result;
}

// ---- archive form ----

namespace {
// The extension record: options beyond the defined members, written after
// the reference image only when one is set, so that the archive of a tool
// without them is byte for byte the defined form and every archive written
// before them loads unchanged.  Layout: this 8-byte marker, a version byte
// (0) and a 32-bit set of option bits.  A loader that finds the marker reads
// the record; one that does not leaves the bytes for its caller (a tool file
// refuses bytes after the tool).  An archive from a later release with bits
// this one does not know is refused rather than loaded without them.
constexpr unsigned char kExtensionMarker[8] = {'i', 'm', 'g', 'n', '+', 'e', 'x', 't'};
constexpr std::uint32_t kRelativeCountsBit = 1;

void exchangeExtensions(mxArchive& ar, bool& relativeCounts) {
  if (ar.isStoring() && !relativeCounts) return;
  if (ar.isLoading() && !ar.nextBytesAre(kExtensionMarker, sizeof kExtensionMarker)) return;
  unsigned char marker[sizeof kExtensionMarker];
  if (ar.isStoring())
    ar.write(kExtensionMarker, sizeof kExtensionMarker);
  else
    ar.read(marker, sizeof marker);
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion(nullptr, 0);
  std::uint32_t bits = relativeCounts ? kRelativeCountsBit : 0;
  ar || bits;
  if (ar.isLoading() && (bits & ~kRelativeCountsBit)) throw mxArchive::UnknownVersion(nullptr, 0);
  if (ar.isLoading()) relativeCounts = (bits & kRelativeCountsBit) != 0;
}

void exchangePairVersion(mxArchive& ar) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion(nullptr, 0);
}

template <class T>
void exchangePair(mxArchive& ar, mxPair<T>& p) {
  exchangePairVersion(ar);
  // Each element is loaded as soon as it is read, so an archive that ends
  // between the two leaves x loaded.
  T x = p.x();
  ar || x;
  if (ar.isLoading()) p = mxPair<T>(x, p.y());
  T y = p.y();
  ar || y;
  if (ar.isLoading()) p = mxPair<T>(p.x(), y);
}
}  // namespace

mxArchive& operator||(mxArchive& ar, mxImageNormalizer& n) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion("imgnorm/imgnorm", 1081);
  if (ar.isLoading()) n.untrain();

  std::uint32_t methods = n.trainedMethods_;
  ar || methods;
  if (ar.isLoading()) n.trainedMethods_ = mxImageNormalizer::Method(methods);
  exchangePair(ar, n.tailFractions_);
  exchangePair(ar, n.neighborhoodSize_);
  exchangePair(ar, n.granularity_);
  exchangePair(ar, n.intensityVariationRange_);
  ar || n.keepMaskedPixels_;
  ar || n.maskImage_;
  ar || n.referenceImage_;
  exchangeExtensions(ar, n.relativeCounts_);

  if (ar.isLoading()) n.trainMethods(n.trainedMethods_, nullptr, 0);
  return ar;
}

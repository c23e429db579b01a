// mxNormalizerMembers: the members, accessors and setters the 8-bit tool
// (mxImageNormalizer) and the 16-bit tool (mxImageNormalizer16) share, and
// the steps of training and running that are the same for both pel types.
//
// Pel is the reference's and the run-time image's pel type (unsigned char or
// unsigned short; the two instantiations the library holds).  The mask is
// an 8-bit image for both.  The class is not used on its own: its
// constructor is the tools', and each tool adds what is its own (the 8-bit
// tool its diagnostics records and relative counts, the 16-bit tool its bit
// depth).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxArchive;
// (Left out of the API documentation: the library's own steps.)
/// \cond
namespace imgnorm::detail {
struct LocalGainFields;
}
/// \endcond

template <class Pel>
class IMGNORM_API mxNormalizerMembers {
public:
  using Method = mxImageNormalizerDefs::Method;

  // ---- accessors ----
  Method trainedMethods() const { return trainedMethods_; }
  const mxPelBuffer_const<Pel>& referenceImage() const { return referenceImage_; }
  const mxPelBuffer_const<unsigned char>& maskImage() const { return maskImage_; }
  bool keepMaskedPixels() const { return keepMaskedPixels_; }
  mxPair<double> tailFractions() const { return tailFractions_; }
  mxPair<std::int32_t> neighborhoodSize() const { return neighborhoodSize_; }
  mxPair<std::int32_t> granularity() const { return granularity_; }
  mxPair<std::int32_t> intensityVariationRange() const { return intensityVariationRange_; }

  // ---- setters: each validates first (mxImageNormalizerDefs::BadParams,
  // nothing changed) and on success clears trainedMethods() ----
  // Width and height of the local methods' neighbourhood; both >= 1.
  void neighborhoodSize(mxPair<std::int32_t> value);
  // Sub-sampling step of the local methods; both >= 1.  A step beyond the
  // run's overlap (of image, reference and mask) on an axis acts as the
  // overlap's size there: an overlap at image coordinate 0 is one cell.
  void granularity(mxPair<std::int32_t> value);
  // Lower and upper tail fractions of eMatchHistogramTails; 0 <= x <= y <= 1.
  void tailFractions(mxPair<double> value);
  // Grey-level limits of the local methods' difference; x <= 0 <= y.
  void intensityVariationRange(mxPair<std::int32_t> value);
  // Whether run() puts the input's own pels back where the mask is zero.
  void keepMaskedPixels(bool value);
  // Sets the mask (copy true: a deep copy of the window; false: shares the
  // caller's pels).  An unbound image removes the mask.
  void maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy);
  // Sets the reference image, as maskImage().
  void referenceImage(const mxPelBuffer_const<Pel>& image, bool copy);
  // Changes the three run-time parameters and keeps the training.  Validates
  // tailFractions, stores it, then validates intensityVariationRange; a bad
  // range throws with the new tail fractions stored and nothing trained.
  void set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
           bool keepMaskedPixels);

  // ---- trained members (read-only views, valid for trainedMethods()) ----
  const mxPelBuffer<unsigned char>& binarizedMask() const { return binarizedMask_; }
  const mxPelBuffer<unsigned char>& sampledMask() const { return sampledMask_; }
  const mxPelBuffer<unsigned short>& maskCoverage() const { return maskCoverage_; }
  // 256 bins for the 8-bit tool, 2^depth for the 16-bit one.
  const std::vector<std::uint32_t>& referenceHistogram() const { return referenceHistogram_; }
  const mxHistoStats& referenceStats() const { return referenceStats_; }
  const std::vector<double>& fitAngles() const { return fitAngles_; }

  // (Left out of the API documentation: the two tools' shared steps and members.)
  /// \cond
protected:
  // Every member at its default, intensityVariationRange at range.
  explicit mxNormalizerMembers(mxPair<std::int32_t> range);

  // Equal trained sets, parameters and images (windows and pels; for 8-bit
  // images their client placement too).  Trained buffers take no part.
  bool sameMembers(const mxNormalizerMembers& other) const;

  // Training: the checks of the method set and of parameters an archive may
  // have stored unchecked (the setters' messages), before anything changes.
  void checkTraining(Method methods) const;
  // Training proper: the binarized mask, the local methods' mask products,
  // the reference histogram of bins bins under the mask, its statistics and
  // the fit directions; then trainedMethods() = methods, or CanNotTrain for
  // an empty histogram with a histogram method (the others stay trained).
  void trainReference(Method methods, std::uint32_t bins);

  // The checks of a run (method, training, the method's parameters, a bound
  // image) and the overlap of image, reference and mask it covers.
  mxPelRect runWindow(const mxPelBuffer_const<Pel>& image, Method method) const;
  // The start of a run: success false and message cleared; then either the
  // run is done (true: eIdentity gives a copy of the image, an empty overlap
  // an unbound result, both successes) or work is the image cut to its
  // overlap (false), runWindow's checks passed.
  bool startRun(const mxPelBuffer_const<Pel>& image, Method method, bool& success, std::wstring& message,
                mxPelBuffer_const<Pel>& work, mxPelBuffer<Pel>& result) const;
  // The run of one method on work, the image already cut to runWindow():
  // pels of depth bits (8 for the 8-bit tool), relativeCounts for
  // eMatchHistogram, fields for the local gain methods' display (may be
  // null), only as runLocalCorrection's (may be null).  Returns the result
  // with work's transforms and the masked pels put back when asked; empty
  // tells whether a histogram method found no pel to count (the run then
  // ends at once, with no result).  into: as LocalParams::into (may be null).
  mxPelBuffer<Pel> runOverlap(const mxPelBuffer_const<Pel>& work, Method method, bool& success, std::wstring& message,
                              std::int32_t depth, bool relativeCounts, imgnorm::detail::LocalGainFields* fields,
                              const mxPelRect* only, bool& empty, const mxPelBuffer<Pel>* into = nullptr) const;

  // out = work mapped through levels, the masked pels put back when asked, with
  // work's transforms (out bound: over its window; unbound: a new image).
  void mapOverlap(const mxPelBuffer_const<Pel>& work, const LevelMap<Pel>& levels, mxPelBuffer<Pel>& out) const;

  // The archive's sequence both tools store: trained set, four pairs,
  // keepMaskedPixels, the mask, the reference (each pair loaded element by
  // element, so an archive that ends between the two leaves x loaded).
  void exchangeMembers(mxArchive& ar);

  Method trainedMethods_;
  mxPair<double> tailFractions_;
  mxPair<std::int32_t> neighborhoodSize_;
  mxPair<std::int32_t> granularity_;
  mxPair<std::int32_t> intensityVariationRange_;
  bool keepMaskedPixels_;
  mxPelBuffer_const<unsigned char> maskImage_;
  mxPelBuffer_const<Pel> referenceImage_;
  mxPelBuffer<unsigned char> binarizedMask_;
  mxPelBuffer<unsigned char> sampledMask_;
  mxPelBuffer<unsigned short> maskCoverage_;
  std::vector<std::uint32_t> referenceHistogram_;
  mxHistoStats referenceStats_;
  std::vector<double> fitAngles_;
  /// \endcond
};

extern template class mxNormalizerMembers<unsigned char>;
extern template class mxNormalizerMembers<unsigned short>;

// mxImageNormalizer: the grey-level normalization tool.
//
// Configure it with a reference image, an optional mask and parameters, train
// it for a set of methods, then run it on run-time images, one method per run.
// Each run returns a new 8-bit image whose grey levels are brought into line
// with the reference, globally (one 256-entry table) or locally (removing a
// slowly varying background difference).
//
// The class is a value type: copying shares the images' pels (pixel buffers
// are handles) and copies everything else.  One object is used from one
// thread at a time; run() is const and writes nothing in the object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxArchive;
class mxDiagObject;

class IMGNORM_API mxImageNormalizer {
public:
  using Method = mxImageNormalizerDefs::Method;

  // All members at their defaults: nothing trained, tailFractions (0, 1),
  // neighborhoodSize (101, 101), granularity (1, 1), intensityVariationRange
  // (-127, 127), keepMaskedPixels false, no images.
  mxImageNormalizer();
  mxImageNormalizer(const mxImageNormalizer&);
  mxImageNormalizer& operator=(const mxImageNormalizer&);
  ~mxImageNormalizer();

  // Equal when the trained sets, the parameters and the two images (windows,
  // client placement and pels) are equal.  Trained buffers take no part.
  bool operator==(const mxImageNormalizer& other) const;
  bool operator!=(const mxImageNormalizer& other) const { return !(*this == other); }

  // Returns every member, parameters and images included, to its default.
  void untrain();

  // ---- accessors ----
  Method trainedMethods() const { return trainedMethods_; }
  const mxPelBuffer_const<unsigned char>& referenceImage() const { return referenceImage_; }
  const mxPelBuffer_const<unsigned char>& maskImage() const { return maskImage_; }
  bool keepMaskedPixels() const { return keepMaskedPixels_; }
  mxPair<double> tailFractions() const { return tailFractions_; }
  mxPair<std::int32_t> neighborhoodSize() const { return neighborhoodSize_; }
  mxPair<std::int32_t> granularity() const { return granularity_; }
  mxPair<std::int32_t> intensityVariationRange() const { return intensityVariationRange_; }
  // Whether eMatchHistogram compares the cumulative histograms as fractions
  // of their pel counts instead of as absolute counts (the default, false).
  bool relativeCounts() const { return relativeCounts_; }

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
  // Histogram matching by fractions of the pel counts (true) or by absolute
  // counts (false, the default).  An extension beyond the seven methods'
  // defined behaviour: with absolute counts, an image region holding more or
  // fewer pels than the reference region saturates or leans dark; with
  // fractions, regions of any size match.  The trained histogram is the same
  // either way, so this setter keeps the training (as set() does).  Stored in
  // the archive form only when true (an extension record after the images),
  // so the archive of a tool that does not use it is unchanged.
  void relativeCounts(bool value) { relativeCounts_ = value; }
  // Sets the mask (copy true: a deep copy of the window; false: shares the
  // caller's pels).  An unbound image removes the mask.
  void maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy);
  // Sets the reference image, as maskImage().
  void referenceImage(const mxPelBuffer_const<unsigned char>& image, bool copy);
  // Changes the three run-time parameters and keeps the training.  Validates
  // tailFractions, stores it, then validates intensityVariationRange; a bad
  // range throws with the new tail fractions stored and nothing trained.
  void set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
           bool keepMaskedPixels);

  // ---- training and running ----
  // Trains for a set of methods (eIdentity: none).  Throws
  // mxImageNormalizerDefs::CanNotTrain for an unknown method bit, an unbound
  // reference image with a method requested, or an empty reference histogram
  // for a histogram method (the other methods then stay trained).  With a
  // diagnostics object whose flags select mxDiagObject::eInputs, records the
  // reference image, a "Parameters" text and the mask.  Training a local
  // method ends with one run of it on the reference (result discarded), so
  // that the calling thread's first run costs what later ones do (a tool
  // loaded from an archive is not warmed up).
  void train(Method methods, mxDiagObject* diag = nullptr, std::uint32_t diagFlags = 0);

  // Normalizes one image by one method.  Returns a new image over the overlap
  // of the image, the reference and the mask windows, with the image's client
  // transforms.  success is false (and message says why) when a histogram
  // method cannot build its mapping; the image returned then is not to be
  // used.  Throws mxImageNormalizerDefs::BadParams (unknown or several
  // methods), NotTrained, or BadImage (unbound image).
  mxPelBuffer<unsigned char> run(const mxPelBuffer_const<unsigned char>& image, Method method, bool& success,
                                 std::wstring& message, mxDiagObject* diag = nullptr,
                                 std::uint32_t diagFlags = 0) const;

  // ---- trained members (read-only views, valid for trainedMethods()) ----
  const mxPelBuffer<unsigned char>& binarizedMask() const { return binarizedMask_; }
  const mxPelBuffer<unsigned char>& sampledMask() const { return sampledMask_; }
  const mxPelBuffer<unsigned short>& maskCoverage() const { return maskCoverage_; }
  const std::vector<std::uint32_t>& referenceHistogram() const { return referenceHistogram_; }
  const mxHistoStats& referenceStats() const { return referenceStats_; }
  const std::vector<double>& fitAngles() const { return fitAngles_; }

private:
  void referenceStatistics(Method methods);
  // train() without the warm-up (also what loading an archive does).
  void trainMethods(Method methods, mxDiagObject* diag, std::uint32_t diagFlags);
  void warmUpLocalMethods() const;

  // Members in declaration order.
  Method trainedMethods_;
  mxPair<double> tailFractions_;
  mxPair<std::int32_t> neighborhoodSize_;
  mxPair<std::int32_t> granularity_;
  mxPair<std::int32_t> intensityVariationRange_;
  bool keepMaskedPixels_;
  bool relativeCounts_;
  mxPelBuffer_const<unsigned char> maskImage_;
  mxPelBuffer_const<unsigned char> referenceImage_;
  mxPelBuffer<unsigned char> binarizedMask_;
  mxPelBuffer<unsigned char> sampledMask_;
  mxPelBuffer<unsigned short> maskCoverage_;
  std::vector<std::uint32_t> referenceHistogram_;
  mxHistoStats referenceStats_;
  std::vector<double> fitAngles_;

  // run, with the local methods' result cut to only (when given) and no pel
  // outside it made at full resolution: the block engine's blocks.
  mxPelBuffer<unsigned char> runOnly(const mxPelBuffer_const<unsigned char>& image, Method method, bool& success,
                                     std::wstring& message, mxDiagObject* diag, std::uint32_t diagFlags,
                                     const mxPelRect* only) const;

  friend IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer& normalizer);
  friend class mxBlockNormalizer;
};

// Stores the normalizer's parameters, images and trained set, or loads them
// and trains again for the stored set.
IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer& normalizer);

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
#include "imgnorm/mxNormalizerMembers.h"

class mxArchive;
class mxDiagObject;

class IMGNORM_API mxImageNormalizer : public mxNormalizerMembers<unsigned char> {
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

  // The accessors and setters of the parameters and images, and the trained
  // members' views, are mxNormalizerMembers' (shared with the 16-bit tool).

  // Whether eMatchHistogram compares the cumulative histograms as fractions
  // of their pel counts instead of as absolute counts (the default, false).
  bool relativeCounts() const { return relativeCounts_; }
  // Histogram matching by fractions of the pel counts (true) or by absolute
  // counts (false, the default).  An extension beyond the seven methods'
  // defined behaviour: with absolute counts, an image region holding more or
  // fewer pels than the reference region saturates or leans dark; with
  // fractions, regions of any size match.  The trained histogram is the same
  // either way, so this setter keeps the training (as set() does).  Stored in
  // the archive form only when true (an extension record after the images),
  // so the archive of a tool that does not use it is unchanged.
  void relativeCounts(bool value) { relativeCounts_ = value; }

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

private:
  // train() without the warm-up (also what loading an archive does).
  void trainMethods(Method methods, mxDiagObject* diag, std::uint32_t diagFlags);
  void warmUpLocalMethods() const;

  bool relativeCounts_;

  // The pieces of run() that a run split over threads shares with it (with
  // runWindow()): the input records (before any check) and the result
  // record.  Each leaves the diagnostics level as it found it.
  void recordRunInputs(const mxPelBuffer_const<unsigned char>& image, Method method, mxDiagObject* diag,
                       std::uint32_t diagFlags) const;
  void recordRunResult(const mxPelBuffer<unsigned char>& result, mxDiagObject* diag, std::uint32_t diagFlags) const;

  // run, with the local methods' result cut to only (when given) and no pel
  // outside it made at full resolution: the block engine's blocks.  into:
  // where the result may go (see runOverlap; may be null).
  mxPelBuffer<unsigned char> runOnly(const mxPelBuffer_const<unsigned char>& image, Method method, bool& success,
                                     std::wstring& message, mxDiagObject* diag, std::uint32_t diagFlags,
                                     const mxPelRect* only, const mxPelBuffer<unsigned char>* into = nullptr) const;

  friend IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer& normalizer);
  friend class mxBlockNormalizer;
  template <class>
  friend class mxBlockNormalizerOf;
};

// Stores the normalizer's parameters, images and trained set, or loads them
// and trains again for the stored set.
IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer& normalizer);

// mxImageNormalizer16: the grey-level normalization tool for 16-bit images
// (10- to 16-bit cameras and microscopes), beside the 8-bit mxImageNormalizer.
//
// The same members, setters, train and run as the 8-bit tool, over pels of
// unsigned short with a declared significant bit depth d from 9 to 16
// (default 16; 12 for a 12-bit camera stored in 16-bit words).  The depth
// sizes every histogram and table (2^d entries), and the defaults keep their
// 8-bit meaning scaled: intensityVariationRange starts at
// +-(2^(d - 1) - 1).  The mask stays an 8-bit image (non-zero = use).
//
// Each method is the 8-bit tool's own implementation instantiated for 16-bit
// pels (histogram matching, mean and standard deviation, tails, the linear
// fit; the local mean runs the 8-bit tool's Gaussian sampler on the
// difference's two bytes, the local median the 16-bit mfPelMedian), so an
// 8-bit image multiplied by 257 (depth 16) or by 16 (depth 12) gives the
// 8-bit result scaled: exactly for histogram matching, within about one
// 8-bit level scaled for the others.  The local methods take any
// granularity: on a sub-sampled grid they use the 8-bit tool's grid,
// sampler (on the difference's two bytes) and interpolation back to full
// size, with the estimate in whole deep levels.  Not available at 16 bits
// yet: eLocalGain and eLocalLinear (NotImplemented).
//
// Pels above 2^d - 1 are refused, never wrapped or clamped: training throws
// BadImage when the reference holds one, run when the image's overlap does;
// the message names the largest pel found and the depth.  Training also
// refuses a mask whose size differs from the reference's (BadImage).
//
// A value type like the 8-bit tool; one object is used from one thread at a
// time; run() is const.  No diagnostics records are made.
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

class IMGNORM_API mxImageNormalizer16 : public mxNormalizerMembers<unsigned short> {
public:
  using Method = mxImageNormalizerDefs::Method;

  // All members at their defaults for the bit depth (9 to 16, else
  // mxImageNormalizerDefs::BadParams): nothing trained, tailFractions (0, 1),
  // neighborhoodSize (101, 101), granularity (1, 1), intensityVariationRange
  // +-(2^(depth - 1) - 1), keepMaskedPixels false, no images.
  explicit mxImageNormalizer16(std::int32_t bitDepth = 16);

  // Equal when the bit depths, the trained sets, the parameters and the two
  // images are equal.  Trained members take no part.
  bool operator==(const mxImageNormalizer16& other) const;
  bool operator!=(const mxImageNormalizer16& other) const { return !(*this == other); }

  // Returns every member to its default, the bit depth included (16).
  void untrain();

  // The accessors and setters of the parameters and images, and the trained
  // members' views, are mxNormalizerMembers' (shared with the 8-bit tool,
  // whose rules and messages they follow); referenceHistogram() has 2^depth
  // bins.
  std::int32_t bitDepth() const { return bitDepth_; }
  // The largest pel of the declared depth, 2^depth - 1.
  std::int32_t maxPel() const { return (std::int32_t(1) << bitDepth_) - 1; }
  // The declared bit depth, 9 to 16 (else BadParams, nothing changed);
  // clears trainedMethods().  An intensityVariationRange still at the old
  // depth's default moves to the new depth's default.
  void bitDepth(std::int32_t value);

  // ---- training and running ----
  // Trains for a set of methods.  Throws CanNotTrain as the 8-bit tool,
  // NotImplemented for a method not available at 16 bits, BadImage for reference pels above the
  // depth or a mask of another size than the reference.
  void train(Method methods);

  // Normalizes one image by one method, as the 8-bit tool's run.  Throws as
  // it does, and BadImage when the image's overlap holds a pel above the
  // depth.
  mxPelBuffer<unsigned short> run(const mxPelBuffer_const<unsigned short>& image, Method method, bool& success,
                                  std::wstring& message) const;

private:
  void trainMethods(Method methods);
  // startRun with this tool's checks first (methods not available at 16
  // bits) and after (pels within the depth over the overlap, unless
  // checkedByRun: the run's own first pass checks them).
  bool startDeepRun(const mxPelBuffer_const<unsigned short>& image, Method method, bool& success, std::wstring& message,
                    mxPelBuffer_const<unsigned short>& work, mxPelBuffer<unsigned short>& result,
                    bool checkedByRun = false) const;

  // The checks of startDeepRun for the block engine, which reads the image
  // in pieces: the method (NotImplemented), and the pels of a piece (what
  // names it in the message: "the image", "referenceImage()").
  static void checkDeepMethod(Method method);
  void checkDeepPels(const mxPelBuffer_const<unsigned short>& pels, const wchar_t* what) const;

  std::int32_t bitDepth_;

  friend IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer16& normalizer);
  friend class mxBlockNormalizer;
  template <class>
  friend class mxBlockNormalizerOf;
};

// The 16-bit tool's archive form, a form of its own: a version byte (0), the
// pel type (16, the bits per stored pel), the bit depth, then the 8-bit
// tool's sequence (trained set, four pairs, keepMaskedPixels, the 8-bit mask,
// the 16-bit reference).  Loading trains again for the stored set.  Throws
// mxArchive::UnknownVersion for another version byte and mxArchive::BadData
// for another pel type or a depth outside 9..16, before the tool is touched.
IMGNORM_API mxArchive& operator||(mxArchive& ar, mxImageNormalizer16& normalizer);

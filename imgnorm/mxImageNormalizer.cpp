// The normalizer object: members, defaults, validating setters, copying and
// comparison.  Training, running and the archive form live in imgnorm.cpp.
#include "imgnorm/mxImageNormalizer.h"

#include <cmath>

#include "baseif/mxPelOps.h"
#include "imgnorm/checks.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {
void assignImage(mxPelBuffer_const<unsigned char>& member, const mxPelBuffer_const<unsigned char>& image, bool copy) {
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
}  // namespace

std::wstring methodName(Method method) {
  const MethodInfo* info = methodInfo(method);
  return info ? info->enumerator : L"UnknownMethod";
}

mxImageNormalizer::mxImageNormalizer()
    : trainedMethods_(eIdentity),
      tailFractions_(0.0, 1.0),
      neighborhoodSize_(101, 101),
      granularity_(1, 1),
      intensityVariationRange_(-127, 127),
      keepMaskedPixels_(false),
      relativeCounts_(false) {}

mxImageNormalizer::mxImageNormalizer(const mxImageNormalizer&) = default;
mxImageNormalizer& mxImageNormalizer::operator=(const mxImageNormalizer&) = default;
mxImageNormalizer::~mxImageNormalizer() = default;

bool mxImageNormalizer::operator==(const mxImageNormalizer& o) const {
  if (this == &o) return true;
  if (trainedMethods_ != o.trainedMethods_) return false;
  if (differs(tailFractions_.x(), o.tailFractions_.x())) return false;
  if (differs(tailFractions_.y(), o.tailFractions_.y())) return false;
  if (neighborhoodSize_ != o.neighborhoodSize_) return false;
  if (granularity_ != o.granularity_) return false;
  if (intensityVariationRange_ != o.intensityVariationRange_) return false;
  if (keepMaskedPixels_ != o.keepMaskedPixels_) return false;
  if (relativeCounts_ != o.relativeCounts_) return false;
  if (!mf_PelBufferEqual(maskImage_, o.maskImage_, 0.0)) return false;
  return mf_PelBufferEqual(referenceImage_, o.referenceImage_, 0.0);
}

void mxImageNormalizer::untrain() { *this = mxImageNormalizer(); }

void mxImageNormalizer::neighborhoodSize(mxPair<std::int32_t> value) {
  checkNeighborhoodSize(value);
  neighborhoodSize_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::granularity(mxPair<std::int32_t> value) {
  checkGranularity(value);
  granularity_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::tailFractions(mxPair<double> value) {
  checkTailFractions(value);
  tailFractions_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::intensityVariationRange(mxPair<std::int32_t> value) {
  checkIntensityRange(value);
  intensityVariationRange_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::keepMaskedPixels(bool value) {
  keepMaskedPixels_ = value;
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::maskImage(const mxPelBuffer_const<unsigned char>& image, bool copy) {
  assignImage(maskImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::referenceImage(const mxPelBuffer_const<unsigned char>& image, bool copy) {
  assignImage(referenceImage_, image, copy);
  trainedMethods_ = eIdentity;
}

void mxImageNormalizer::set(const mxPair<double>& tailFractions, const mxPair<std::int32_t>& intensityVariationRange,
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

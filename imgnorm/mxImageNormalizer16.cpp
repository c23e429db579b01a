// The 16-bit tool: members, setters, training, running and archive form.
// Every method runs through the implementation the 8-bit tool uses,
// instantiated for 16-bit pels and 2^depth levels.
#include "imgnorm/mxImageNormalizer16.h"

#include <string>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "imgnorm/checks.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {

mxPair<std::int32_t> defaultRange(std::int32_t depth) {
  const std::int32_t half = (std::int32_t(1) << (depth - 1)) - 1;
  return {-half, half};
}

std::wstring num(std::int64_t v) { return mfFromUtf8(std::to_string(v)); }

// Refuses a window holding a pel above the depth's largest, naming the
// largest pel found (an unbound window holds none).
void checkPelsWithinDepth(const mxPelBuffer_const<unsigned short>& image, std::int32_t depth, const wchar_t* what) {
  if (image.isBound()) checkLargestPel(mfPelMax<unsigned short>(image), depth, what);
}

// The methods this tool runs; a method added to the table later is refused
// (NotImplemented, naming it) until it is made to run here.
constexpr std::uint32_t kDeepMethods = eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails |
                                       eLinearlyFitGrayValues | eLocalCorrection | eLocalCorrectionEnhanced;

// Methods not available at 16 bits yet.
void checkDeepMethods(std::uint32_t methods) {
  const std::uint32_t missing = methods & kAllMethods & ~kDeepMethods;
  if (missing) {
    const MethodInfo* info = methodInfo(missing & (~missing + 1));
    throw NotImplemented(std::wstring(ruleMessage(Rule::eDeepMethod)) + L" (" + info->enumerator + L")");
  }
}

}  // namespace

mxImageNormalizer16::mxImageNormalizer16(std::int32_t bitDepth) : mxNormalizerMembers(defaultRange(16)), bitDepth_(16) {
  this->bitDepth(bitDepth);
}

bool mxImageNormalizer16::operator==(const mxImageNormalizer16& o) const {
  return bitDepth_ == o.bitDepth_ && sameMembers(o);
}

void mxImageNormalizer16::untrain() { *this = mxImageNormalizer16(); }

void mxImageNormalizer16::bitDepth(std::int32_t value) {
  checkBitDepth(value);
  if (intensityVariationRange_ == defaultRange(bitDepth_)) intensityVariationRange_ = defaultRange(value);
  bitDepth_ = value;
  trainedMethods_ = eIdentity;
}

// ---- training ----

void mxImageNormalizer16::train(Method methods) { trainMethods(methods); }

void mxImageNormalizer16::trainMethods(Method methods) {
  checkTraining(methods);
  checkBitDepth(bitDepth_);
  checkDeepMethods(methods);
  if (referenceImage_.isBound()) {
    checkPelsWithinDepth(referenceImage_, bitDepth_, L"referenceImage()");
    if (maskImage_.isBound() &&
        (maskImage_.width() != referenceImage_.width() || maskImage_.height() != referenceImage_.height()))
      throw BadImage(std::wstring(ruleMessage(Rule::eMaskShape)) + L" The mask is " + num(maskImage_.width()) +
                     L" x " + num(maskImage_.height()) + L", the reference " + num(referenceImage_.width()) +
                     L" x " + num(referenceImage_.height()) + L".");
  }
  trainReference(methods, std::uint32_t(1) << bitDepth_);
}

// ---- running ----

bool mxImageNormalizer16::startDeepRun(const mxPelBuffer_const<unsigned short>& image, Method method, bool& success,
                                       std::wstring& message, mxPelBuffer_const<unsigned short>& work,
                                       mxPelBuffer<unsigned short>& result, bool checkedByRun) const {
  if (method != eIdentity) {
    checkRunMethod(method);
    checkDeepMethods(method);
  }
  if (startRun(image, method, success, message, work, result)) return true;
  if (!checkedByRun) checkPelsWithinDepth(work, bitDepth_, L"the image");
  return false;
}

void mxImageNormalizer16::checkDeepMethod(Method method) {
  if (method != eIdentity) checkDeepMethods(method);
}

void mxImageNormalizer16::checkDeepPels(const mxPelBuffer_const<unsigned short>& pels, const wchar_t* what) const {
  checkPelsWithinDepth(pels, bitDepth_, what);
}

mxPelBuffer<unsigned short> mxImageNormalizer16::run(const mxPelBuffer_const<unsigned short>& image, Method method,
                                                     bool& success, std::wstring& message) const {
  mxPelBuffer_const<unsigned short> work;
  mxPelBuffer<unsigned short> result;
  // The histogram methods' first pass over the pels (histogram or moments)
  // checks them against the depth on the way.
  const bool checkedByRun = method != eIdentity && !isLocal(method) && method != eLinearlyFitGrayValues;
  if (startDeepRun(image, method, success, message, work, result, checkedByRun)) return result;
  bool empty = false;
  return runOverlap(work, method, success, message, bitDepth_, false, nullptr, nullptr, empty);
}

// ---- archive form ----

namespace {
constexpr unsigned char kPelBits = 16;
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
  n.exchangeMembers(ar);
  if (ar.isLoading()) n.trainMethods(n.trainedMethods_);
  return ar;
}

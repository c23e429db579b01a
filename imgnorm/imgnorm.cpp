// Training, running and the archive form of mxImageNormalizer.
#include <algorithm>
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
#include "imgnorm/localGain.h"
#include "imgnorm/localCorrection.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_MaskedPel.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {
constexpr std::uint32_t kInputRecords = 0x10000;
constexpr std::uint32_t kResultRecords = 0x20000;

// An 8-bit picture of a field over its window: scale x value + shift,
// rounded and clamped to 0 .. 255.
mxPelBuffer<unsigned char> fieldImage(const LocalGainFields& f, const std::vector<float>& values, float scale,
                                      float shift) {
  mxPelBuffer<unsigned char> img(f.window, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < f.window.height(); ++j) {
    const float* v = values.data() + std::ptrdiff_t(j) * f.window.width();
    unsigned char* o = img.row(j);
    for (std::int32_t i = 0; i < f.window.width(); ++i)
      o[i] = (unsigned char)std::lround(std::min(std::max(v[i] * scale + shift, 0.0f), 255.0f));
  }
  return img;
}

}  // namespace

// ---- training ----

void mxImageNormalizer::train(Method methods, mxDiagObject* diag, std::uint32_t diagFlags) {
  trainMethods(methods, diag, diagFlags);
  warmUpLocalMethods();
}

void mxImageNormalizer::trainMethods(Method methods, mxDiagObject* diag, std::uint32_t diagFlags) {
  checkTraining(methods);
  trainReference(methods, 256);

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

void mxImageNormalizer::recordRunInputs(const mxPelBuffer_const<unsigned char>& image, Method method,
                                        mxDiagObject* diag, std::uint32_t diagFlags) const {
  if (!diag || !mxDiagObject::shouldRecord(diagFlags, kInputRecords)) return;
  const std::int32_t savedLevel = diag->level();
  mxPelBuffer<unsigned char> inputCopy;
  if (image.isBound()) inputCopy = mfPelCopy(image);
  mf_AddImage(diag, inputCopy, kInputRecord, false);
  mf_AddText(diag, recordText(runParameterFields(*this, method)), kRunParametersRecord);
  diag->level(savedLevel + 1);
  mf_AddImage(diag, referenceImage_, kReferenceRecord, false);
  mf_AddImage(diag, maskImage_, kMaskRecord, false);
  diag->level(savedLevel);
}

void mxImageNormalizer::recordRunResult(const mxPelBuffer<unsigned char>& result, mxDiagObject* diag,
                                        std::uint32_t diagFlags) const {
  if (!diag || !mxDiagObject::shouldRecord(diagFlags, kResultRecords)) return;
  const std::int32_t savedLevel = diag->level();
  diag->level(savedLevel + 1);
  mf_AddImage(diag, result, kResultRecord, false);
  diag->level(savedLevel);
}

mxPelBuffer<unsigned char> mxImageNormalizer::runOnly(const mxPelBuffer_const<unsigned char>& image, Method method,
                                                      bool& success, std::wstring& message, mxDiagObject* diag,
                                                      std::uint32_t diagFlags, const mxPelRect* only,
                                                      const mxPelBuffer<unsigned char>* into) const {
  recordRunInputs(image, method, diag, diagFlags);
  mxPelBuffer_const<unsigned char> work;
  mxPelBuffer<unsigned char> result;
  if (startRun(image, method, success, message, work, result)) return result;

  // The fields eLocalGain and eLocalLinear divide out, for display.
  LocalGainFields fields;
  const bool recordResult = diag && mxDiagObject::shouldRecord(diagFlags, kResultRecords);
  bool empty = false;
  result = runOverlap(work, method, success, message, 8, relativeCounts_, recordResult ? &fields : nullptr, only, empty,
                      into);
  if (empty) return result;  // no result record either

  recordRunResult(result, diag, diagFlags);
  if (recordResult && !fields.gain.empty()) {
    const std::int32_t savedLevel = diag->level();
    diag->level(savedLevel + 1);
    mf_AddImage(diag, fieldImage(fields, fields.gain, 32.0f, 0.0f), kGainFieldRecord, false);
    if (method == eLocalLinear && !fields.offset.empty())
      mf_AddImage(diag, fieldImage(fields, fields.offset, 1.0f, 128.0f), kOffsetFieldRecord, false);
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

}  // namespace

mxArchive& operator||(mxArchive& ar, mxImageNormalizer& n) {
  unsigned char version = 0;
  ar || version;
  if (ar.isLoading() && version != 0) throw mxArchive::UnknownVersion("imgnorm/imgnorm", 1081);
  if (ar.isLoading()) n.untrain();

  n.exchangeMembers(ar);
  exchangeExtensions(ar, n.relativeCounts_);

  if (ar.isLoading()) n.trainMethods(n.trainedMethods_, nullptr, 0);
  return ar;
}

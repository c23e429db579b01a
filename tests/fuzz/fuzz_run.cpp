// libFuzzer target: a tool set up, trained and run with parameters (mostly near their valid range) and images (at
// most 64 x 64, anywhere) from the input.  Findings: an undocumented error or a changed tool from a setter, train or
// run; a result window other than the overlap; kept masked pels changed; a local method changing an image equal to
// the reference; a copy or reloaded tool giving other pels; run changing the tool.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "fuzz_common.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;

namespace {

using Image = mxPelBuffer<unsigned char>;
using Bytes = std::vector<std::uint8_t>;
using fuzzcommon::fail;

constexpr std::int32_t kMaxSide = 64;

// A value in lo .. hi most of the time, else any 32-bit value.
std::int32_t nearOrAny(FuzzedDataProvider& in, std::int32_t lo, std::int32_t hi) {
  if (in.ConsumeIntegral<std::uint8_t>() < 192) return in.ConsumeIntegralInRange(lo, hi);
  return in.ConsumeIntegral<std::int32_t>();
}

double fractionOrAny(FuzzedDataProvider& in) {
  if (in.ConsumeIntegral<std::uint8_t>() < 224) return in.ConsumeIntegralInRange(-20, 1020) / 1000.0;
  return in.ConsumeFloatingPoint<double>();
}

std::int32_t offsetFrom(FuzzedDataProvider& in, std::int32_t origin, std::int32_t size) {
  const std::int64_t v = std::int64_t(origin) + in.ConsumeIntegralInRange(-80, 80);
  const std::int64_t hi = std::int64_t(std::numeric_limits<std::int32_t>::max()) - size;
  return std::int32_t(std::max<std::int64_t>(std::numeric_limits<std::int32_t>::min(), std::min(v, hi)));
}

// An image near origin: pels from the input, noise, a shaded texture or 0 / 255 blocks.
Image makeImage(FuzzedDataProvider& in, mxPair<std::int32_t> origin) {
  const std::int32_t w = in.ConsumeIntegralInRange(1, kMaxSide), h = in.ConsumeIntegralInRange(1, kMaxSide);
  Image b(mxPelRect(offsetFrom(in, origin.x(), w), offsetFrom(in, origin.y(), h), w, h));
  const int style = in.ConsumeIntegralInRange(0, 3);
  std::uint32_t seed = in.ConsumeIntegral<std::uint32_t>() | 1;
  for (std::int32_t j = 0; j < h; ++j)
    for (std::int32_t i = 0; i < w; ++i) {
      seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
      unsigned v = seed >> 24;
      if (style == 0) v = in.ConsumeIntegral<std::uint8_t>();
      if (style == 2) v = (i * 3 + j * 2 + (v & 15)) & 255;
      if (style == 3) v = ((i / 5 + j / 3 + (seed >> 7)) & 1) ? 255 : 0;
      b.row(j)[i] = static_cast<unsigned char>(v);
    }
  return b;
}

Bytes archived(mxImageNormalizer& tool) {
  mxArchive ar;
  ar || tool;
  return ar.bytes();
}

template <class Setter>
void applySetter(mxImageNormalizer& tool, Setter set) {
  const mxImageNormalizer before = tool;
  try {
    set();
  } catch (const BadParams&) {
    if (tool != before) fail("a setter that threw changed the tool");
  } catch (const mxException& e) {
    fail("a setter threw an undocumented error: " + mfToUtf8(e.message()));
  }
}

struct Outcome {
  Image result;
  bool success = false;
  bool threw = false;
};

Outcome runOnce(const mxImageNormalizer& tool, const Image& image, std::uint32_t method) {
  Outcome o;
  std::wstring message;
  const bool trained = method == eIdentity || (method < 64 && (method & (method - 1)) == 0 &&
                                               (tool.trainedMethods() & method) != 0);
  try {
    o.result = tool.run(image, Method(method), o.success, message);
  } catch (const mxException& e) {
    const bool documented = dynamic_cast<const BadParams*>(&e) || dynamic_cast<const NotTrained*>(&e);
    if (trained || !documented)
      fail("run(" + std::to_string(method) + ") threw: " + mfToUtf8(e.message()));
    o.threw = true;
  }
  return o;
}

bool samePels(const Image& a, const Image& b) { return mf_PelBufferEqual(a, b, 0.0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  mxImageNormalizer tool;
  const mxPair<double> tails(fractionOrAny(in), fractionOrAny(in));
  const mxPair<std::int32_t> neighborhood(nearOrAny(in, 0, 300), nearOrAny(in, 0, 300));
  const mxPair<std::int32_t> granularity(nearOrAny(in, 0, 80), nearOrAny(in, 0, 80));
  const mxPair<std::int32_t> range(nearOrAny(in, -300, 300), nearOrAny(in, -300, 300));
  const bool keep = in.ConsumeBool();
  const std::uint32_t methods = in.ConsumeIntegralInRange(0, 79);  // 64 and above: unknown bits
  const mxPair<std::int32_t> origin =
      in.ConsumeBool() ? mxPair<std::int32_t>(in.ConsumeIntegral<std::int32_t>(), in.ConsumeIntegral<std::int32_t>())
                       : mxPair<std::int32_t>(0, 0);
  const Image reference = makeImage(in, origin);
  const Image mask = in.ConsumeBool() ? makeImage(in, origin) : Image();
  // The run-time image: its own, or a window of the reference.
  Image image;
  if (in.ConsumeBool()) {
    image = makeImage(in, origin);
  } else {
    const mxPelRect r = reference.window();
    const std::int32_t x = in.ConsumeIntegralInRange(0, r.width() - 1), y = in.ConsumeIntegralInRange(0, r.height() - 1);
    image = reference;
    image.window(mxPelRect(r.x() + x, r.y() + y, in.ConsumeIntegralInRange(1, r.width() - x),
                           in.ConsumeIntegralInRange(1, r.height() - y)));
    image = mfPelCopy<unsigned char>(image);
  }
  const std::uint32_t extraMethod = in.ConsumeIntegral<std::uint8_t>();

  applySetter(tool, [&] { tool.tailFractions(tails); });
  applySetter(tool, [&] { tool.neighborhoodSize(neighborhood); });
  applySetter(tool, [&] { tool.granularity(granularity); });
  applySetter(tool, [&] { tool.intensityVariationRange(range); });
  applySetter(tool, [&] { tool.keepMaskedPixels(keep); });
  tool.referenceImage(reference, false);
  tool.maskImage(mask, in.ConsumeBool());
  try {
    tool.train(Method(methods));
  } catch (const CanNotTrain&) {
  } catch (const mxException& e) {
    fail("train threw an undocumented error: " + mfToUtf8(e.message()));
  }

  const Bytes stored = archived(tool);
  mxImageNormalizer loaded;
  {
    mxArchive ar(stored);
    ar || loaded;
  }
  if (loaded != tool || loaded.trainedMethods() != tool.trainedMethods()) fail("the archive round trip changed the tool");
  const mxImageNormalizer copy = tool;

  mxPelRect overlap = image.window().intersect(reference.window(), false);
  if (mask.isBound()) overlap = overlap.intersect(mask.window(), false);
  const Image& trainedMask = tool.binarizedMask();
  bool equalsReference = true;
  for (std::int32_t j = 0; j < overlap.height() && equalsReference; ++j)
    for (std::int32_t i = 0; i < overlap.width(); ++i)
      equalsReference &= image.get(overlap.x() + i, overlap.y() + j) == reference.get(overlap.x() + i, overlap.y() + j);

  for (std::uint32_t method : {0u, 1u, 2u, 4u, 8u, 16u, 32u, extraMethod}) {
    if (method != extraMethod && method != 0 && (tool.trainedMethods() & method) == 0) continue;
    const Outcome o = runOnce(tool, image, method);
    const Outcome fromCopy = runOnce(copy, image, method), fromLoaded = runOnce(loaded, image, method);
    if (o.threw) continue;
    for (const Outcome* other : {&fromCopy, &fromLoaded})
      if (other->success != o.success || (o.success && !samePels(other->result, o.result)))
        fail("a copy or a loaded tool gave other pels for method " + std::to_string(method));
    if (!o.success) continue;
    const Image& r = o.result;
    if (method == eIdentity) {
      if (!samePels(r, image)) fail("eIdentity did not return the image");
      continue;
    }
    if (overlap.isNull() ? r.isBound() : r.window() != overlap)
      fail("the result window is not the overlap for method " + std::to_string(method));
    if (overlap.isNull()) continue;
    for (std::int32_t j = 0; j < overlap.height(); ++j)
      for (std::int32_t i = 0; i < overlap.width(); ++i) {
        const std::int32_t x = overlap.x() + i, y = overlap.y() + j;
        const bool excluded = trainedMask.isBound() && trainedMask.get(x, y) == 0;
        const bool kept = tool.keepMaskedPixels() && excluded;
        // (The full-resolution mean's estimate at excluded pels is 0.)
        const bool unchanged = kept || (equalsReference && method >= eLocalCorrection && !excluded);
        if (unchanged && r.get(x, y) != image.get(x, y))
          fail("method " + std::to_string(method) + (kept ? " changed a masked-out pel it keeps"
                                                          : " changed an image equal to the reference"));
      }
  }
  if (archived(tool) != stored) fail("run changed the tool");
  return 0;
}

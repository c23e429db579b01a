#include "batch/tool_setup.h"

#include "common/cli_error.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnormcli {

namespace {

// Calls one setter; a value the tool rejects becomes a usage error that
// names the option and states the rule in the option's own terms (the tool's
// messages speak of its member functions).
template <class F>
void setParam(const std::string& option, const std::string& value, F&& set) {
  try {
    set();
  } catch (const mxImageNormalizerDefs::BadParams& e) {
    throw CliError(kExitUsage, option + " " + value + ": " + userMessage(e.message()));
  }
}

}  // namespace

std::string sizeText(const mxPelBuffer_const<unsigned char>& im) {
  return std::to_string(im.width()) + " x " + std::to_string(im.height());
}

void configureParameters(const ToolOptions& o, mxImageNormalizer& fresh) {
  if (!o.tailFractions.empty()) {
    const auto v = parseRealPair(o.tailFractions, "--tail-fractions");
    setParam("--tail-fractions", o.tailFractions, [&] { fresh.tailFractions(v); });
  }
  if (!o.neighborhood.empty()) {
    const auto v = parseIntPair(o.neighborhood, "--neighborhood", true);
    setParam("--neighborhood", o.neighborhood, [&] { fresh.neighborhoodSize(v); });
  }
  if (!o.granularity.empty()) {
    const auto v = parseIntPair(o.granularity, "--granularity", true);
    setParam("--granularity", o.granularity, [&] { fresh.granularity(v); });
  }
  if (!o.intensityRange.empty()) {
    const auto v = parseIntPair(o.intensityRange, "--intensity-range", false);
    setParam("--intensity-range", o.intensityRange, [&] { fresh.intensityVariationRange(v); });
  }
  fresh.keepMaskedPixels(o.keepMasked);
  fresh.relativeCounts(o.relativeCounts);
}

void configureTool(const ToolOptions& o, mxImageNormalizer& tool) {
  // Parameters first: a bad value is reported before any image is read.
  mxImageNormalizer fresh;
  configureParameters(o, fresh);
  const mxPelBuffer<unsigned char> reference = readImage(o.reference, o.read);
  fresh.referenceImage(reference, false);
  if (!o.mask.empty()) {
    const mxPelBuffer<unsigned char> mask = readImage(o.mask, o.read);
    if (mask.width() != reference.width() || mask.height() != reference.height())
      throw CliError(kExitInput, o.mask + ": the mask is " + sizeText(mask) + " pels but the reference image is " +
                                     sizeText(reference));
    fresh.maskImage(mask, false);
  }
  tool = fresh;
}

}  // namespace imgnormcli

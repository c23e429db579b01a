#include "batch/tool_setup.h"

#include <cstdio>

#include "common/cli_error.h"
#include "common/options.h"
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

std::string depthText(const CliTool& tool) {
  return tool.isDeep ? "16-bit, depth " + std::to_string(tool.depth()) : "8-bit";
}

namespace {

template <class Tool>
void setParameters(const ToolOptions& o, Tool& fresh) {
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
}

// The mask: 8-bit, non-zero selects; read without --depth 8's shift, which
// would turn a 16-bit mask's small values into zeros.
mxPelBuffer<unsigned char> readMask(const ToolOptions& o, std::int32_t width, std::int32_t height) {
  ReadOptions read = o.read;
  read.toDepth8 = false;
  const mxPelBuffer<unsigned char> mask = readImage(o.mask, read);
  if (mask.width() != width || mask.height() != height)
    throw CliError(kExitInput, o.mask + ": the mask is " + sizeText<unsigned char>(mask) +
                                   " pels but the reference image is " + std::to_string(width) + " x " +
                                   std::to_string(height));
  return mask;
}

}  // namespace

void configureParameters(const ToolOptions& o, mxImageNormalizer& fresh) {
  setParameters(o, fresh);
  fresh.relativeCounts(o.relativeCounts);
}

void configureParameters(const ToolOptions& o, mxImageNormalizer16& fresh) {
  if (o.relativeCounts)
    throw CliError(kExitUsage, "--relative-counts: not available for 16-bit images; drop it, or give --depth 8");
  setParameters(o, fresh);
}

std::uint32_t deepMethods(const mxImageNormalizer16& tool) {
  // Asked of a tool of the same parameters on a tiny reference, so that the
  // set follows the library as it gains methods.
  mxImageNormalizer16 probe(tool.bitDepth());
  probe.granularity(tool.granularity());
  mxPelBuffer<unsigned short> ref(mxPelRect(0, 0, 4, 4));
  for (std::int32_t j = 0; j < 4; ++j)
    for (std::int32_t i = 0; i < 4; ++i) ref.row(j)[i] = static_cast<unsigned short>(i * 4 + j);
  probe.referenceImage(ref, true);
  std::uint32_t set = 0;
  for (const MethodInfo& m : mxImageNormalizerDefs::kMethods) {
    if (m.method == mxImageNormalizerDefs::eIdentity) continue;
    try {
      probe.train(m.method);
      set |= m.method;
    } catch (const mxImageNormalizerDefs::NotImplemented&) {
    } catch (const mxException&) {
      set |= m.method;  // refused for another reason: the method exists
    }
  }
  return set;
}

void refuseDeepMethods(const mxImageNormalizer16& tool, std::uint32_t methods, const std::string& option) {
  const std::uint32_t missing = methods & ~deepMethods(tool);
  if (!missing) return;
  mxImageNormalizer16 plain(tool.bitDepth());
  const bool grid = (missing & ~deepMethods(plain)) == 0;
  throw CliError(kExitUsage, option + ": the 16-bit tool does not run " + methodSetText(missing) +
                                 (grid ? " with a granularity other than 1 yet; drop --granularity, or give "
                                       : " yet; choose another method, or give ") +
                                 "--depth 8 to normalize in 8 bits");
}

void configureTool(const ToolOptions& o, mxImageNormalizer& tool) {
  // Parameters first: a bad value is reported before any image is read.
  mxImageNormalizer fresh;
  configureParameters(o, fresh);
  const mxPelBuffer<unsigned char> reference = readImage(o.reference, o.read);
  fresh.referenceImage(reference, false);
  if (!o.mask.empty()) fresh.maskImage(readMask(o, reference.width(), reference.height()), false);
  tool = fresh;
}

void configureTool(const ToolOptions& o, CliTool& tool) {
  ImageInfo info;
  const RawImage raw = readRaw(o.reference, o.read, info);
  const bool deepGrey = raw.bits == 16 && raw.channels == 1;
  if (o.read.bitDepth && !deepGrey)
    throw CliError(kExitUsage, "--bit-depth " + std::to_string(o.read.bitDepth) + ": " + o.reference + " is a " +
                                   describeRaw(raw) + "; --bit-depth declares the depth of 16-bit greyscale images");
  tool.isDeep = deepGrey && !o.read.toDepth8 && !o.read.toGray;
  // Parameters first: a bad value is reported before the pels are checked.
  auto setUp = [&](auto fresh, auto& target, auto convert) {
    configureParameters(o, fresh);
    const auto reference = convert();
    for (const std::string& w : info.warnings) std::fprintf(stderr, "imgnorm: warning: %s\n", w.c_str());
    fresh.referenceImage(reference, false);
    if (!o.mask.empty()) fresh.maskImage(readMask(o, reference.width(), reference.height()), false);
    target = fresh;
  };
  if (tool.isDeep) {
    const std::int32_t depth = declaredDepth(raw, o.read);
    setUp(mxImageNormalizer16(depth), tool.deep, [&] { return toGray16(raw, o.reference, depth); });
  } else {
    setUp(mxImageNormalizer(), tool.eight, [&] { return toGray8(raw, o.reference, o.read, &info); });
  }
}

}  // namespace imgnormcli

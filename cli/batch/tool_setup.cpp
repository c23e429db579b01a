#include "batch/tool_setup.h"

#include <cstdio>

#include "common/cli_error.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/tool_file.h"

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

void configureParameters(const ToolOptions& o, mxColorNormalizer& fresh) {
  if (o.relativeCounts && fresh.bitDepth() > 8)
    throw CliError(kExitUsage, "--relative-counts: not available for 16-bit images; drop it");
  setParameters(o, fresh);
  fresh.relativeCounts(o.relativeCounts);
}

const char* colorModeName(mxColorNormalizer::Mode mode) {
  return mode == mxColorNormalizer::Mode::eLuminance ? "luminance" : "per-channel";
}

mxColorNormalizer::Mode parseColorMode(const std::string& text, const std::string& option) {
  if (text == "per-channel") return mxColorNormalizer::Mode::ePerChannel;
  if (text == "luminance") return mxColorNormalizer::Mode::eLuminance;
  throw CliError(kExitUsage, option + ": expected per-channel or luminance, got '" + text + "'");
}

template <class Pel>
std::string colorText(const ColorTool<Pel>& t) {
  const std::int32_t d = t.bitDepth();
  return std::string(colorModeName(t.tool.mode())) + ", " + (t.channels() == 4 ? "RGBA" : "RGB") + " reference, " +
         (d > 8 ? "16-bit, depth " + std::to_string(d) : std::string("8-bit"));
}

namespace {

mxImageNormalizer greyOfDepth(mxImageNormalizer*, std::int32_t) { return mxImageNormalizer(); }
mxImageNormalizer16 greyOfDepth(mxImageNormalizer16*, std::int32_t depth) { return mxImageNormalizer16(depth); }
const mxPelBuffer_const<unsigned char>& colourReference(const mxColorNormalizer& t, unsigned char*) {
  return t.referenceImage8();
}
const mxPelBuffer_const<unsigned short>& colourReference(const mxColorNormalizer& t, unsigned short*) {
  return t.referenceImage16();
}

}  // namespace

template <class Pel>
void ColorTool<Pel>::refreshView() {
  Grey v = greyOfDepth(static_cast<Grey*>(nullptr), tool.bitDepth());
  v.tailFractions(tool.tailFractions());
  v.neighborhoodSize(tool.neighborhoodSize());
  v.granularity(tool.granularity());
  v.intensityVariationRange(tool.intensityVariationRange());
  v.keepMaskedPixels(tool.keepMaskedPixels());
  if constexpr (sizeof(Pel) == 1) v.relativeCounts(tool.relativeCounts());
  const mxPelBuffer_const<Pel>& ref = colourReference(tool, static_cast<Pel*>(nullptr));
  if (ref.isBound()) v.referenceImage(lumaOf(ref, tool.channels()), true);
  if (tool.maskImage().isBound()) v.maskImage(tool.maskImage(), true);
  luma = v;
}

template <class Pel>
void saveTool(const std::string& path, ColorTool<Pel>& t) {
  saveTool(path, t.tool);
}

template <class Pel>
void loadTool(const std::string& path, ColorTool<Pel>& t) {
  loadTool(path, t.tool);
  t.refreshView();
}

template struct ColorTool<unsigned char>;
template struct ColorTool<unsigned short>;
template std::string colorText(const ColorTool8&);
template std::string colorText(const ColorTool16&);
template void saveTool(const std::string&, ColorTool8&);
template void saveTool(const std::string&, ColorTool16&);
template void loadTool(const std::string&, ColorTool8&);
template void loadTool(const std::string&, ColorTool16&);

void configureParameters(const ToolOptions& o, mxImageNormalizer16& fresh) {
  if (o.relativeCounts)
    throw CliError(kExitUsage, "--relative-counts: not available for 16-bit images; drop it, or give --depth 8");
  setParameters(o, fresh);
}

std::uint32_t deepMethods(const mxImageNormalizer16& tool) {
  // Asked of a tool of the same depth on a tiny reference, so that the set
  // follows the library as it gains methods.
  mxImageNormalizer16 probe(tool.bitDepth());
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
  throw CliError(kExitUsage, option + ": the 16-bit tool does not run " + methodSetText(missing) +
                                 " yet; choose another method, or give --depth 8 to normalize in 8 bits");
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

namespace {

void printWarnings(const ImageInfo& info) {
  for (const std::string& w : info.warnings) std::fprintf(stderr, "imgnorm: warning: %s\n", w.c_str());
}

// --color: a colour tool of the reference's depth, or of 8 bits under --depth 8.
void configureColor(const ToolOptions& o, const RawImage& raw, ImageInfo& info, CliTool& tool) {
  const mxColorNormalizer::Mode mode = parseColorMode(o.color, "--color");
  const std::string option = "--color " + o.color + ": ";
  if (o.read.toGray)
    throw CliError(kExitUsage, option + "--to-gray turns colour images grey; give one of --color and --to-gray");
  if (raw.channels < 3)
    throw CliError(kExitUsage, option + o.reference + " is a " + describeRaw(raw) +
                                   "; --color is for RGB and RGBA references (drop it to train a grey tool)");
  if (o.read.bitDepth && raw.bits != 16)
    throw CliError(kExitUsage, "--bit-depth " + std::to_string(o.read.bitDepth) + ": " + o.reference + " is a " +
                                   describeRaw(raw) + "; --bit-depth declares the depth of 16-bit images");
  tool.isColor = true;
  tool.isDeep = raw.bits == 16 && !o.read.toDepth8;
  // Parameters first: a bad value is reported before the pels are checked.
  auto setUp = [&](auto& target, std::int32_t depth, auto convert) {
    mxColorNormalizer fresh(mode, depth);
    configureParameters(o, fresh);
    const auto reference = convert();
    printWarnings(info);
    fresh.referenceImage(reference, raw.channels, false);
    if (!o.mask.empty()) fresh.maskImage(readMask(o, raw.width, raw.height), false);
    target.tool = fresh;
    target.refreshView();
  };
  if (tool.isDeep) {
    const std::int32_t depth = declaredDepth(raw, o.read);
    setUp(tool.colour16, depth, [&] { return toColor16(raw, o.reference, depth); });
  } else if (raw.bits == 16) {  // --depth 8
    setUp(tool.colour8, 8, [&] { return toColor8(shiftToDepth8(raw, o.reference, o.read, &info), o.reference); });
  } else {
    setUp(tool.colour8, 8, [&] { return toColor8(raw, o.reference); });
  }
}

}  // namespace

void configureTool(const ToolOptions& o, CliTool& tool) {
  ImageInfo info;
  const RawImage raw = readRaw(o.reference, o.read, info);
  if (!o.color.empty()) return configureColor(o, raw, info, tool);
  const bool deepGrey = raw.bits == 16 && raw.channels == 1;
  if (o.read.bitDepth && !deepGrey)
    throw CliError(kExitUsage, "--bit-depth " + std::to_string(o.read.bitDepth) + ": " + o.reference + " is a " +
                                   describeRaw(raw) + "; --bit-depth declares the depth of 16-bit greyscale images");
  tool.isDeep = deepGrey && !o.read.toDepth8 && !o.read.toGray;
  // Parameters first: a bad value is reported before the pels are checked.
  auto setUp = [&](auto fresh, auto& target, auto convert) {
    configureParameters(o, fresh);
    const auto reference = convert();
    printWarnings(info);
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

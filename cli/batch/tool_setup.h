// A tool set up from command-line options: its parameters and its reference
// and mask images, and the options of a run over images.
#pragma once

#include <string>
#include <vector>

#include <type_traits>

#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "io/image_io.h"

namespace imgnormcli {

// The tool's parameters as given on the command line (empty: default).
struct ToolOptions {
  std::string reference;
  std::string mask;
  std::string tailFractions;
  std::string neighborhood;
  std::string granularity;
  std::string intensityRange;
  bool keepMasked = false;
  bool relativeCounts = false;
  std::string color;  // --color per-channel|luminance; empty: grey
  ReadOptions read;   // how the reference and mask are read
};

struct RunArgs {
  std::string commandLine;  // for the diagnostics report
  std::string toolFile;     // run only
  ToolOptions tool;         // normalize only
  std::string method;
  std::vector<std::string> inputs;
  std::string output;
  std::string format;  // output format for folders; empty: as the input
  std::string diag;
  std::string stats;   // --stats FILE (.csv or .jsonl); empty: none
  ReadOptions read;    // how the inputs are read
  WriteOptions write;  // how the outputs are encoded
  int jobs = 1;
  int threads = 0;  // threads on one image; 0: every processor unless --jobs runs several images
  bool quiet = false;
  bool inPlace = false;  // allow outputs that overwrite an input
  int blockSize = 0;     // > 0: stream one TIFF in blocks of this size
};

// A colour tool (mxColorNormalizer) with the pel type of its depth
// (unsigned char at 8, unsigned short at 9..16), and its grey view: an
// untrained grey tool of that depth holding the luma of the reference, the
// mask and the parameters, in pel coordinates.  The warnings, statistics and
// the report see colour runs through the luma (BT.601, as the tool's
// luminance mode computes it).  The accessors are the grey tools' where the
// batch and the commands use them.
template <class Pel>
struct ColorTool {
  using Grey = std::conditional_t<sizeof(Pel) == 1, mxImageNormalizer, mxImageNormalizer16>;
  mxColorNormalizer tool;
  Grey luma;
  // Makes luma from tool (after the reference, mask or parameters change).
  void refreshView();
  std::int32_t bitDepth() const { return tool.bitDepth(); }
  std::int32_t channels() const { return tool.channels(); }
  mxImageNormalizerDefs::Method trainedMethods() const { return tool.trainedMethods(); }
  const mxPelBuffer_const<Pel>& referenceImage() const { return luma.referenceImage(); }
  const mxPelBuffer_const<unsigned char>& maskImage() const { return luma.maskImage(); }
  mxPair<double> tailFractions() const { return tool.tailFractions(); }
  mxPair<std::int32_t> neighborhoodSize() const { return tool.neighborhoodSize(); }
  mxPair<std::int32_t> granularity() const { return tool.granularity(); }
  mxPair<std::int32_t> intensityVariationRange() const { return tool.intensityVariationRange(); }
  bool keepMaskedPixels() const { return tool.keepMaskedPixels(); }
  bool relativeCounts() const { return tool.relativeCounts(); }
};
using ColorTool8 = ColorTool<unsigned char>;
using ColorTool16 = ColorTool<unsigned short>;

// "per-channel" or "luminance"; and the mode of such a name (CliError,
// kExitUsage, naming option, for another).
const char* colorModeName(mxColorNormalizer::Mode mode);
mxColorNormalizer::Mode parseColorMode(const std::string& text, const std::string& option);
// "per-channel, RGB reference, 8-bit": a colour tool, for messages, info and the report.
// Empty for the grey tools.
template <class Pel>
std::string colorText(const ColorTool<Pel>& tool);
inline std::string colorText(const mxImageNormalizer&) { return ""; }
inline std::string colorText(const mxImageNormalizer16&) { return ""; }

// The tool of a command: the 8-bit tool, the 16-bit tool for 16-bit
// greyscale images (deep), which keeps their depth, or a colour tool of 8 or
// 16 bits.
struct CliTool {
  mxImageNormalizer eight;
  mxImageNormalizer16 deep;
  ColorTool8 colour8;
  ColorTool16 colour16;
  bool isDeep = false;  // 16-bit pels (grey or colour)
  bool isColor = false;
  std::int32_t depth() const { return isColor ? (isDeep ? colour16.bitDepth() : 8) : isDeep ? deep.bitDepth() : 8; }
  // The 16-bit grey tool whose methods and parameters the tool has (deep
  // only): the tool itself, or a 16-bit colour tool's view.
  const mxImageNormalizer16& deepGrey() const { return isColor ? colour16.luma : deep; }
};
// Calls f with the tool in use; every call must return the same type.
template <class F>
auto withTool(CliTool& tool, F&& f) {
  if (tool.isColor) return tool.isDeep ? f(tool.colour16) : f(tool.colour8);
  return tool.isDeep ? f(tool.deep) : f(tool.eight);
}
// "8-bit" or "16-bit, depth 12", for messages and the report.
std::string depthText(const CliTool& tool);

// "W x H" of an image, for messages.
template <class Pel>
std::string sizeText(const mxPelBuffer_const<Pel>& image) {
  return std::to_string(image.width()) + " x " + std::to_string(image.height());
}

// Sets every parameter given (no image is read), as configureTool does.
void configureParameters(const ToolOptions& options, mxImageNormalizer& tool);
void configureParameters(const ToolOptions& options, mxImageNormalizer16& tool);
void configureParameters(const ToolOptions& options, mxColorNormalizer& tool);

// A colour tool's file: saved and loaded as the grey tools' (io/tool_file.h),
// the view made again on loading.
template <class Pel>
void saveTool(const std::string& path, ColorTool<Pel>& tool);
template <class Pel>
void loadTool(const std::string& path, ColorTool<Pel>& tool);

// The methods the 16-bit tool of this depth runs (a set); the others throw
// NotImplemented.
std::uint32_t deepMethods(const mxImageNormalizer16& tool);
// Refuses (CliError, kExitUsage) methods the 16-bit tool does not run, with
// the way out (--depth 8).
void refuseDeepMethods(const mxImageNormalizer16& tool, std::uint32_t methods, const std::string& option);

// Reads the reference (and mask) images and sets every parameter given, in
// the tool's own validation: a rejected value becomes CliError (kExitUsage)
// naming the option and quoting the tool's message.
void configureTool(const ToolOptions& options, mxImageNormalizer& tool);
// The same, choosing the tool by the reference: a 16-bit greyscale reference
// makes a 16-bit tool of its declared depth (options.read.bitDepth, else the
// file's own), unless --depth 8 or --to-gray asks for 8 bits.  --bit-depth
// with an 8-bit reference is a usage error.  With --color, a colour
// reference makes a colour tool of its depth (16-bit samples: declared as
// for grey, or 8-bit colour under --depth 8, shifted as for grey); --color with
// a grey reference or --to-gray is a usage error.
void configureTool(const ToolOptions& options, CliTool& tool);

}  // namespace imgnormcli

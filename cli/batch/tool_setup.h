// A tool set up from command-line options: its parameters and its reference
// and mask images, and the options of a run over images.
#pragma once

#include <string>
#include <vector>

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
  ReadOptions read;  // how the reference and mask are read
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

// The tool of a command: the 8-bit tool, or the 16-bit tool for 16-bit
// greyscale images (deep), which keeps their depth.
struct CliTool {
  mxImageNormalizer eight;
  mxImageNormalizer16 deep;
  bool isDeep = false;
  std::int32_t depth() const { return isDeep ? deep.bitDepth() : 8; }
};
// Calls f with the tool in use; both calls must return the same type.
template <class F>
auto withTool(CliTool& tool, F&& f) {
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

// The methods the 16-bit tool runs with its present parameters (a set); the
// others throw NotImplemented.
std::uint32_t deepMethods(const mxImageNormalizer16& tool);
// Refuses (CliError, kExitUsage) methods the 16-bit tool does not run, with
// the way out (--depth 8, or granularity 1 for the local methods).
void refuseDeepMethods(const mxImageNormalizer16& tool, std::uint32_t methods, const std::string& option);

// Reads the reference (and mask) images and sets every parameter given, in
// the tool's own validation: a rejected value becomes CliError (kExitUsage)
// naming the option and quoting the tool's message.
void configureTool(const ToolOptions& options, mxImageNormalizer& tool);
// The same, choosing the tool by the reference: a 16-bit greyscale reference
// makes a 16-bit tool of its declared depth (options.read.bitDepth, else the
// file's own), unless --depth 8 or --to-gray asks for 8 bits.  --bit-depth
// with an 8-bit reference is a usage error.
void configureTool(const ToolOptions& options, CliTool& tool);

}  // namespace imgnormcli

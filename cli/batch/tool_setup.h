// A tool set up from command-line options: its parameters and its reference
// and mask images, and the options of a run over images.
#pragma once

#include <string>
#include <vector>

#include "io/image_io.h"

class mxImageNormalizer;

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

// "W x H" of an image, for messages.
std::string sizeText(const mxPelBuffer_const<unsigned char>& image);

// Sets every parameter given (no image is read), as configureTool does.
void configureParameters(const ToolOptions& options, mxImageNormalizer& tool);

// Reads the reference (and mask) images and sets every parameter given, in
// the tool's own validation: a rejected value becomes CliError (kExitUsage)
// naming the option and quoting the tool's message.
void configureTool(const ToolOptions& options, mxImageNormalizer& tool);

}  // namespace imgnormcli

// The subcommands of the imgnorm program.  Each takes its parsed options,
// does its work and returns the exit code; failures that stop a command are
// thrown as CliError and reported by main().
#pragma once

#include <string>
#include <vector>

#include "cli_error.h"
#include "image_io.h"

class mxDiagObject;
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

struct TrainArgs {
  std::string commandLine;  // for the diagnostics report
  ToolOptions tool;
  std::vector<std::string> methods;  // each a name list; empty: all
  std::string output;
  std::string diag;
  bool inPlace = false;  // allow -o to name the reference or mask
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

struct InfoArgs {
  std::string toolFile;
};

struct DemoArgs {
  std::string data = "data";
  std::string out = "out/demo";
  std::vector<std::string> samples;  // file stems; empty: every .png in data
  double noise = 3.0;
  std::string tailFractions = "0.01,0.99";
  std::string neighborhood;
  std::string granularity;
  int maxSide = 256;
  int jobs = 1;
};

ExitCode cmdTrain(const TrainArgs& args);
ExitCode cmdRun(const RunArgs& args);
ExitCode cmdNormalize(const RunArgs& args);
ExitCode cmdInfo(const InfoArgs& args);
ExitCode cmdDemo(const DemoArgs& args);

// Sets every parameter given (no image is read), as configureTool does.
void configureParameters(const ToolOptions& options, mxImageNormalizer& tool);

// Reads the reference (and mask) images and sets every parameter given, in
// the tool's own validation: a rejected value becomes CliError (kExitUsage)
// naming the option and quoting the tool's message.
void configureTool(const ToolOptions& options, mxImageNormalizer& tool);

// Number of worker threads for --jobs (0: one per processor).
int effectiveJobs(int jobs, std::size_t items);

}  // namespace imgnormcli

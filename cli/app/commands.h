// The subcommands of the imgnorm program.  Each takes its parsed options,
// does its work and returns the exit code; failures that stop a command are
// thrown as CliError and reported by main().
#pragma once

#include <string>
#include <vector>

#include "batch/tool_setup.h"
#include "common/cli_error.h"

namespace imgnormcli {

struct TrainArgs {
  std::string commandLine;  // for the diagnostics report
  ToolOptions tool;
  std::vector<std::string> methods;  // each a name list; empty: all
  std::string output;
  std::string diag;
  bool inPlace = false;  // allow -o to name the reference or mask
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

}  // namespace imgnormcli

// Running a trained tool over many images: input expansion (files and
// folders), output naming, worker threads (each with its own copy of the
// tool), a progress line on a terminal, and the summary.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli_error.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxDiagObject;
class mxImageNormalizer;

namespace imgnormcli {

struct BatchItem {
  std::string input;
  std::string output;
  std::string error;  // set when the input could not even be listed (missing path, empty folder)
};

// Files given stay as they are; a folder gives its image files (by
// extension, sorted, hidden files skipped).  output is a file name when it
// has an image extension and there is exactly one input file, else a folder;
// format (png, tif, pgm or empty: as the input) picks the outputs' format in
// a folder.  Throws CliError (kExitUsage) for outputs that would collide or
// overwrite an input.
std::vector<BatchItem> planBatch(const std::vector<std::string>& inputs, const std::string& output,
                                 const std::string& format);

struct BatchOptions {
  mxImageNormalizerDefs::Method method = mxImageNormalizerDefs::eIdentity;
  bool toGray = false;
  int jobs = 1;
  bool quiet = false;    // no summary on standard output
  bool progress = true;  // a progress line when standard error is a terminal
};

// Runs every item; goes on past bad images.  Per-image errors are printed at
// once (one line each, on standard error); the summary goes to summary.  With
// diag, each image's records are added in input order under a record naming
// the input.  Returns the worst exit code met.
ExitCode runBatch(const mxImageNormalizer& tool, const std::vector<BatchItem>& items, const BatchOptions& options,
                  mxDiagObject* diag, std::ostream& summary);

}  // namespace imgnormcli

// Running a trained tool over many images: input expansion (files and
// folders), output naming, worker threads (each with its own copy of the
// tool), a progress line on a terminal, and the summary.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli_error.h"
#include "image_io.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxDiagObject;
class mxImageNormalizer;

namespace imgnormcli {

struct BatchItem {
  std::string input;
  std::string output;
  std::string error;  // set when the input could not even be listed (missing path, empty folder)
};

// An entry of an input folder that the batch does not take, with the reason
// ("not an image file name", "hidden", "folder (not scanned)", "FIFO, not a
// regular file").
struct SkippedFile {
  std::string path;
  std::string reason;
};

struct BatchPlan {
  std::vector<BatchItem> items;
  std::vector<SkippedFile> skipped;  // in folder order, sorted by name
};

// Files given stay as they are; a folder gives its regular files with an
// image extension (sorted, not recursive) and lists every other entry in
// skipped.  output is a file name when it has an image extension and there is
// exactly one input file, else a folder; format (png, tif, pgm or empty: as
// the input, PNG for inputs the program cannot write) picks the outputs'
// format in a folder.  Throws CliError (kExitUsage) for outputs that would
// collide or overwrite an input.
BatchPlan planBatch(const std::vector<std::string>& inputs, const std::string& output, const std::string& format);

struct BatchOptions {
  mxImageNormalizerDefs::Method method = mxImageNormalizerDefs::eIdentity;
  ReadOptions read;
  WriteOptions write;
  int jobs = 1;
  bool quiet = false;    // no summary on standard output
  bool progress = true;  // a progress line when standard error is a terminal
};

// Runs every item of the plan; goes on past bad images.  Per-image errors and
// warnings are printed at once (one line each, on standard error); the
// summary goes to summary: counts, the grey conversion used, the soft
// failures, errors and skipped files.  With diag, each image's records are
// added in input order under a record naming the input (and its grey
// conversion, when there was one).  Returns the worst exit code met.
ExitCode runBatch(const mxImageNormalizer& tool, const BatchPlan& plan, const BatchOptions& options, mxDiagObject* diag,
                  std::ostream& summary);

}  // namespace imgnormcli

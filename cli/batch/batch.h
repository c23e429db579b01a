// Running a trained tool over many images: input expansion (files and
// folders), output naming, worker threads (each with its own copy of the
// tool), a progress line on a terminal, and the summary.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "batch/tool_setup.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "common/warnings.h"
#include "imgnorm/mxImageNormalizerDefs.h"
#include "io/image_io.h"

class mxDiagObject;
class mxImageNormalizer;
class mxImageNormalizer16;

namespace imgnormcli {

struct BatchItem {
  std::string input;
  std::string output;
  std::string error;  // set when the input could not even be listed (missing path, empty folder)
};

// Refuses (CliError, kExitUsage) an output file that names one of the
// inputs, unless inPlace.  option names the output in the message ("-o").
void refuseOverwrite(const std::string& option, const std::string& output, const std::vector<NamedInput>& inputs,
                     bool inPlace);
// Refuses (CliError, kExitUsage) replacing input by a result when it is a
// TIFF file of several pages: the result has one.
void refuseReplacingPages(const NamedInput& input);

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
// collide, or that would overwrite an input image or one of others (the
// reference, mask or tool file) unless inPlace, and, with inPlace, outputs
// that would replace a multi-page TIFF file.
BatchPlan planBatch(const std::vector<std::string>& inputs, const std::string& output, const std::string& format,
                    const std::vector<NamedInput>& others = {}, bool inPlace = false);

// The warnings about one run-time image (of window image) that the tool
// normalized into a result covering covered: an output smaller than the
// input, a neighbourhood as large as the image, histogram matching between
// regions of different pel counts.
void warnAboutRun(const mxImageNormalizer& tool, mxImageNormalizerDefs::Method method, const std::string& input,
                  const mxPelRect& image, const mxPelRect& covered, Warnings& warnings);
void warnAboutRun(const mxImageNormalizer16& tool, mxImageNormalizerDefs::Method method, const std::string& input,
                  const mxPelRect& image, const mxPelRect& covered, Warnings& warnings);
// The warnings about a method choice before any image: tails over the whole
// range, a neighbourhood at least as large as the reference's shorter side.
void warnAboutMethods(const mxImageNormalizer& tool, std::uint32_t methods, Warnings& warnings);
void warnAboutMethods(const mxImageNormalizer16& tool, std::uint32_t methods, Warnings& warnings);
// A colour tool's warnings are its luma view's.
template <class Pel>
void warnAboutRun(const ColorTool<Pel>& tool, mxImageNormalizerDefs::Method method, const std::string& input,
                  const mxPelRect& image, const mxPelRect& covered, Warnings& warnings) {
  warnAboutRun(tool.luma, method, input, image, covered, warnings);
}
template <class Pel>
void warnAboutMethods(const ColorTool<Pel>& tool, std::uint32_t methods, Warnings& warnings) {
  warnAboutMethods(tool.luma, methods, warnings);
}

struct BatchOptions {
  mxImageNormalizerDefs::Method method = mxImageNormalizerDefs::eIdentity;
  ReadOptions read;
  WriteOptions write;
  int jobs = 1;
  int threads = 1;       // threads on one image; 0: one per processor when one image runs at a time, else 1
  bool quiet = false;    // no summary on standard output
  bool progress = true;  // a progress line when standard error is a terminal
  Warnings* warnings = nullptr;
  class DiagReport* report = nullptr;  // --diag: each image goes into the report
  const class StatsFile* stats = nullptr;  // --stats: one record per image, written at the end
  std::string toolName = "the tool";       // in messages: "tool.imn" or "the tool trained on ref.png"
};

// Number of worker threads for --jobs (0: one per processor).
int effectiveJobs(int jobs, std::size_t items);

// Runs every item of the plan; goes on past bad images.  Each error, soft
// failure and kind of warning is printed once, when it happens (one line on
// standard error); the summary goes to summary: counts, the grey conversion
// used and the skipped files.  With a report, each image's records go into
// it as the image is done; with a statistics file, the records of every
// image are written at the end (a failure to write it is an output error).
// Returns the worst exit code met.
// The 16-bit tool takes 16-bit greyscale images within its depth (others
// are input errors naming the image and the tool), writes 16-bit results of
// its depth and runs each image on one thread; a TIFF beyond --max-pixels is
// refused (not streamed block by block at 16 bits).
ExitCode runBatch(const mxImageNormalizer& tool, const BatchPlan& plan, const BatchOptions& options,
                  std::ostream& summary);
ExitCode runBatch(const mxImageNormalizer16& tool, const BatchPlan& plan, const BatchOptions& options,
                  std::ostream& summary);
// A colour tool takes colour images (RGB or RGBA) of its pel type, 16-bit
// ones within its depth, and writes colour results of the image's channels
// (alpha passed through); grey images, and colour ones of the other pel
// type, are input errors naming the image, the tool and the way out.  A TIFF
// beyond --max-pixels is refused.  The statistics and the report measure the
// luma of the input and the result against the reference's.
ExitCode runBatch(const ColorTool8& tool, const BatchPlan& plan, const BatchOptions& options, std::ostream& summary);
ExitCode runBatch(const ColorTool16& tool, const BatchPlan& plan, const BatchOptions& options, std::ostream& summary);

}  // namespace imgnormcli

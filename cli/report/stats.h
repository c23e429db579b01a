// Per-image statistics of a batch (--stats FILE): one record per input,
// measured from the decoded input, the result and the tool's reference and
// mask, written as CSV or JSON Lines at the end of the batch.  The same
// measures feed the overview of the diagnostics report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "common/file_util.h"
#include "imgnorm/mxImageNormalizerDefs.h"

class mxImageNormalizer;
class mxImageNormalizer16;

namespace imgnormcli {

// What a run did to one image, over the compared pels: the pels of the
// result's window (the overlap of the input with the reference and mask)
// that the mask selects, every pel of it without a mask.
struct ImageStats {
  bool measured = false;   // false: no result (failed, or streamed block by block)
  mxPelRect overlap;       // the result's window, in the input's coordinates
  std::uint64_t pels = 0;  // compared pels
  double meanBefore = 0, sdBefore = 0, meanAfter = 0, sdAfter = 0;
  // Mean |image - reference| of the input and of the result.
  double diffBefore = 0, diffAfter = 0;
  // linear-fit: the line result = gain * input + offset, least squares over
  // the compared pels whose result is not clipped at 0 or the largest pel.
  bool hasFit = false;
  double gain = 0, offset = 0;
  // Local methods: the range of the background estimate the run removed,
  // input - result over the compared pels.
  bool hasLocal = false;
  int localMin = 0, localMax = 0;
};

// Measures one run: input (the decoded part of the input, in the input's
// coordinates) normalized with method into result, in the tool's levels
// (16-bit tools: levels of their depth).  For the 8-bit and 16-bit tools.
ImageStats measureRun(const mxImageNormalizer& tool, mxImageNormalizerDefs::Method method,
                      const mxPelBuffer_const<unsigned char>& input, const mxPelBuffer_const<unsigned char>& result);
ImageStats measureRun(const mxImageNormalizer16& tool, mxImageNormalizerDefs::Method method,
                      const mxPelBuffer_const<unsigned short>& input, const mxPelBuffer_const<unsigned short>& result);

// The largest pel of a tool's images.
inline std::int32_t maxPelOf(const mxImageNormalizer&) { return 255; }
std::int32_t maxPelOf(const mxImageNormalizer16& tool);

// One line of the statistics file.
struct StatsRecord {
  std::string input;
  std::string output;                  // empty when nothing was written
  std::string status;                  // ok, soft-failure, input-error, output-error, tool-error, out-of-memory
  std::string message;                 // the failure's message
  std::string method;                  // the command-line name
  std::int32_t width = 0, height = 0;  // the input's size (0 when it could not be read)
  std::vector<std::string> warnings;   // the kinds of warning met ("overlap")
  ImageStats stats;
};

// The columns of the file, in order.
const std::vector<std::string>& statsColumns();

// The text of a statistics file: CSV (a header line, then one line per
// record; RFC 4180 quoting) or JSON Lines (one object per record, the
// columns as keys, numbers as numbers, missing values as null).
std::string statsText(const std::vector<StatsRecord>& records, bool jsonLines);

// The --stats file, checked before any work: its extension picks the format
// (.csv or .jsonl, else a usage error), it may not be one of files (the
// command's inputs and outputs; a usage error naming the file's role), and
// its folder must be writable (kExitOutput).
class StatsFile {
public:
  StatsFile(const std::string& path, const std::vector<NamedInput>& files);
  // Writes the records under a temporary name, renamed into place.
  void write(const std::vector<StatsRecord>& records) const;
  const std::string& path() const { return path_; }

private:
  std::string path_;
  bool jsonLines_ = false;
};

}  // namespace imgnormcli

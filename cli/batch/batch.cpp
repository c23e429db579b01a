#include "batch/batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "baseif/mxDiag.h"
#include "baseif/mxStr.h"
#include "batch/streamed.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/codecs.h"
#include "io/image_io.h"
#include "io/tiff_stream.h"
#include "report/report.h"
#include "report/stats.h"

namespace fs = std::filesystem;

namespace imgnormcli {

namespace {

// The folder's image files, sorted; every other entry goes to skipped.
std::vector<std::string> listFolder(const std::string& folder, std::vector<SkippedFile>& skipped) {
  std::vector<std::string> files;
  std::vector<SkippedFile> others;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    const std::string name = it->path().filename().string();
    if (isTemporaryName(name)) continue;  // an output being written by a run
    std::error_code fec;
    const fs::file_status st = it->status(fec);  // follows links: a link to an image is taken
    std::string reason;
    if (st.type() == fs::file_type::directory)
      reason = "folder (folders are not scanned)";
    else if (st.type() != fs::file_type::regular)
      reason = (fileKind(path).empty() ? std::string("broken link") : fileKind(path)) + ", not a regular file";
    else if (name[0] == '.')
      reason = "hidden file";
    else if (!isImageName(name))
      reason = "not an image file name (" + joinList(extensionList(false, "."), ", ") + ")";
    if (reason.empty())
      files.push_back(path);
    else
      others.push_back({path, reason});
  }
  std::sort(files.begin(), files.end());
  std::sort(others.begin(), others.end(), [](const SkippedFile& a, const SkippedFile& b) { return a.path < b.path; });
  skipped.insert(skipped.end(), others.begin(), others.end());
  return files;
}

}  // namespace

void refuseOverwrite(const std::string& option, const std::string& output, const std::vector<NamedInput>& inputs,
                     bool inPlace) {
  if (inPlace) return;
  const std::string key = fileIdentity(output);
  for (const NamedInput& in : inputs)
    if (!in.path.empty() && fileIdentity(in.path) == key)
      throw CliError(kExitUsage, option + " " + output + ": is " + in.role + " (" + in.path +
                                     "); choose another output, or give --in-place to overwrite it");
}

void refuseReplacingPages(const NamedInput& input) {
  // A result has one page; the other pages of the file it replaces would be
  // lost, so --in-place stops short of that.
  const int pages = tiffPageCount(input.path);
  if (pages > 1)
    throw CliError(kExitUsage, "--in-place: " + input.path + " (" + input.role + ") is a TIFF file of " +
                                   std::to_string(pages) +
                                   " pages, and the result, one page, would replace them all; write it to "
                                   "another output");
}

BatchPlan planBatch(const std::vector<std::string>& inputs, const std::string& output, const std::string& format,
                    const std::vector<NamedInput>& others, bool inPlace) {
  if (!format.empty() && !isWritableName("x." + format))
    throw CliError(kExitUsage,
                   "--format: unknown format '" + format + "' (use " + joinList(extensionList(true, ""), " or ") + ")");
  BatchPlan plan;
  std::vector<BatchItem>& items = plan.items;
  bool anyFolder = false;
  for (const std::string& in : inputs) {
    std::error_code ec;
    if (fs::is_directory(in, ec)) {
      anyFolder = true;
      const std::vector<std::string> files = listFolder(in, plan.skipped);
      if (files.empty()) items.push_back({in, "", in + ": folder holds no image files"});
      for (const std::string& f : files) items.push_back({f, "", ""});
    } else {
      items.push_back({in, "", ""});
    }
  }
  const bool singleFile = inputs.size() == 1 && !anyFolder;
  std::error_code oec;
  if (singleFile && !isWritableName(output) && !lowerExtension(output).empty() && !fs::is_directory(output, oec))
    throw CliError(kExitUsage, "-o " + output + ": unknown image format for output (use " +
                                   joinList(extensionList(true, "."), ", ") + ", or give a folder)");
  if (isWritableName(output) && !singleFile)
    throw CliError(kExitUsage, "-o " + output +
                                   ": names one image file, but there are several inputs; "
                                   "give an output folder");
  const bool toFile = singleFile && isWritableName(output);
  if (toFile && !format.empty())
    throw CliError(kExitUsage, "--format: not used when -o names a file (the file name gives the format)");

  std::map<std::string, std::string> outputs;   // output key -> input
  std::map<std::string, NamedInput> inputKeys;  // identity -> what it is
  for (const NamedInput& in : others)
    if (!in.path.empty()) inputKeys.emplace(fileIdentity(in.path), in);
  for (const BatchItem& it : items)
    if (it.error.empty()) inputKeys.emplace(fileIdentity(it.input), NamedInput{it.input, "an input image"});
  for (BatchItem& it : items) {
    if (!it.error.empty()) continue;
    if (toFile) {
      it.output = output;
    } else {
      std::string ext = format.empty() ? lowerExtension(it.input) : format;
      // JPEG (lossy), BMP, PNM and unknown inputs (extensions no format writes) give PNG unless --format says
      // otherwise.
      const Codec* c = codecForName("x." + ext);
      if (!c || !isWritableName("x." + ext) || (format.empty() && c->lossy)) ext = "png";
      it.output = (fs::path(output) / (fileStem(it.input) + "." + ext)).string();
    }
    const auto in = inputKeys.find(fileIdentity(it.output));
    if (in != inputKeys.end() && !inPlace)
      throw CliError(kExitUsage, it.output + ": the output would overwrite " + in->second.role + " (" +
                                     in->second.path + "); choose another output, or give --in-place");
    if (in != inputKeys.end()) refuseReplacingPages(in->second);
    const std::string key = normalizedPath(it.output);
    auto [pos, fresh] = outputs.emplace(key, it.input);
    if (!fresh)
      throw CliError(kExitUsage, it.output + ": both " + pos->second + " and " + it.input +
                                     " would be written there; run them into different folders");
  }
  return plan;
}

namespace {

std::string sizeText(std::int32_t w, std::int32_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// Pels the tool's mask selects in rect (every pel of rect without a mask).
std::uint64_t selectedPels(const mxPelBuffer_const<unsigned char>& mask, const mxPelRect& rect) {
  if (!mask.isBound()) return std::uint64_t(rect.area());
  const mxPelRect r = rect.intersect(mask.window());
  std::uint64_t n = 0;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* m = mask.pointToPel(r.x(), r.y() + j);
    std::uint32_t rowCount = 0;
    for (std::int32_t i = 0; i < r.width(); ++i) rowCount += m[i] != 0;
    n += rowCount;
  }
  return n;
}

// Whether the set holds a local method.
bool hasLocal(std::uint32_t methods) {
  using namespace mxImageNormalizerDefs;
  return (methods & methodMask(MethodKind::eLocal)) != 0;
}

template <class Tool>
void warnNeighborhood(const Tool& tool, const std::string& what, std::int32_t w, std::int32_t h, Warnings& warnings) {
  const auto n = tool.neighborhoodSize();
  const std::int32_t shorter = std::min(w, h);
  if (std::max(n.x(), n.y()) < shorter) return;
  warnings.warn("neighborhood", what + ": the neighbourhood (" + sizeText(n.x(), n.y()) +
                                    ") is at least as large as the image's shorter side (" + std::to_string(shorter) +
                                    " pels), so the local methods remove little more than one overall offset; "
                                    "choose a smaller --neighborhood");
}

bool relativeCountsOf(const mxImageNormalizer& tool) { return tool.relativeCounts(); }
bool relativeCountsOf(const mxImageNormalizer16&) { return false; }

template <class Tool>
void warnMethods(const Tool& tool, std::uint32_t methods, Warnings& warnings) {
  using namespace mxImageNormalizerDefs;
  if ((methods & eMatchHistogramTails) && tool.tailFractions().x() <= 0.0 && tool.tailFractions().y() >= 1.0)
    warnings.warn("tails",
                  "tails with fractions 0,1 matches the darkest and brightest pels: a min/max stretch that "
                  "noise and defects throw off; --tail-fractions 0.01,0.99 is more robust");
  const auto& ref = tool.referenceImage();
  if (hasLocal(methods) && ref.isBound())
    warnNeighborhood(tool, "the reference image", ref.width(), ref.height(), warnings);
}

template <class Tool>
void warnRun(const Tool& tool, mxImageNormalizerDefs::Method method, const std::string& input, const mxPelRect& image,
             const mxPelRect& covered, Warnings& warnings) {
  using namespace mxImageNormalizerDefs;
  if (method == eIdentity || covered.isNull()) return;
  const auto& ref = tool.referenceImage();
  const auto& mask = tool.maskImage();
  if (covered.width() < image.width() || covered.height() < image.height())
    warnings.warn("overlap", input + ": the output (" + sizeText(covered.width(), covered.height()) +
                                 ") is smaller than the input (" + sizeText(image.width(), image.height()) +
                                 "): every method, the global ones too, normalizes only "
                                 "the part of the image that overlaps the reference image (" +
                                 sizeText(ref.width(), ref.height()) + (mask.isBound() ? ") and its mask" : ")"));
  if (hasLocal(method)) warnNeighborhood(tool, input, covered.width(), covered.height(), warnings);
  if (method == eMatchHistogram && !relativeCountsOf(tool)) {
    const std::uint64_t run = selectedPels(mask, covered);
    const std::uint64_t trained =
        selectedPels(mask, mask.isBound() ? ref.window().intersect(mask.window()) : ref.window());
    const double ratio = trained ? double(run) / double(trained) : 1.0;
    if (std::fabs(ratio - 1.0) > 0.01) {
      char r[32];
      std::snprintf(r, sizeof r, "%.3g", ratio);
      warnings.warn("histogram-count",
                    input + ": histogram matching compares absolute pel counts, and the image's region holds " +
                        std::to_string(run) + " pels against the reference region's " + std::to_string(trained) +
                        " (ratio " + r + "), so the result " + (ratio < 1 ? "leans dark" : "saturates") +
                        "; match images of the reference's size, use --relative-counts, or use mean-stddev or tails");
    }
  }
}

}  // namespace

void warnAboutMethods(const mxImageNormalizer& tool, std::uint32_t methods, Warnings& warnings) {
  warnMethods(tool, methods, warnings);
}
void warnAboutMethods(const mxImageNormalizer16& tool, std::uint32_t methods, Warnings& warnings) {
  warnMethods(tool, methods, warnings);
}
void warnAboutRun(const mxImageNormalizer& tool, mxImageNormalizerDefs::Method method, const std::string& input,
                  const mxPelRect& image, const mxPelRect& covered, Warnings& warnings) {
  warnRun(tool, method, input, image, covered, warnings);
}
void warnAboutRun(const mxImageNormalizer16& tool, mxImageNormalizerDefs::Method method, const std::string& input,
                  const mxPelRect& image, const mxPelRect& covered, Warnings& warnings) {
  warnRun(tool, method, input, image, covered, warnings);
}

namespace {

enum class Outcome { kOk, kSoft, kInputError, kOutputError, kToolError, kOutOfMemory };

struct ItemResult {
  Outcome outcome = Outcome::kOk;
  std::string message;  // soft failure: the tool's message; errors: the full one-line error
  bool written = false;
  ImageInfo info;     // grey conversion and warnings of reading
  mxDiagObject diag;  // the run's records, while the report takes them
  ImageStats stats;   // for --stats and the report's overview
  std::vector<std::string> warnings;  // the kinds of warning this image met
};

const char* statusText(Outcome o) {
  switch (o) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kSoft:
      return "soft-failure";
    case Outcome::kInputError:
      return "input-error";
    case Outcome::kOutputError:
      return "output-error";
    case Outcome::kToolError:
      return "tool-error";
    case Outcome::kOutOfMemory:
      return "out-of-memory";
  }
  return "error";
}

// The warnings about one image: met on a Warnings of the image's own, so that
// the image knows its kinds, then passed on to the command's, which prints
// each kind's first occurrence.
template <class F>
void warnAboutImage(Warnings& shared, ItemResult& result, F&& warn) {
  Warnings mine;
  mine.printer([](const std::string&) {});
  warn(mine);
  for (const Warnings::Entry& e : mine.entries()) {
    shared.warn(e.kind, e.text);
    result.warnings.push_back(e.kind);
  }
}

// Serializes the progress line and the error lines of the worker threads.
class Console {
public:
  Console(bool progress, std::size_t total) : progress_(progress), total_(total) {}
  void error(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    std::fprintf(stderr, "imgnorm: %s\n", line.c_str());
    drawLine();
  }
  void done(const std::string& name, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (failed) ++failed_;
    last_ = name;
    clearLine();
    drawLine();
  }
  void finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    clearLine();
    progress_ = false;
  }

private:
  void clearLine() {
    if (progress_ && shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }
  void drawLine() {
    if (!progress_ || done_ == 0) return;
    std::string name = last_;
    if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
    std::fprintf(stderr, "imgnorm: %zu/%zu images", done_, total_);
    if (failed_) std::fprintf(stderr, " (%zu failed)", failed_);
    std::fprintf(stderr, "  %s", name.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  std::mutex mutex_;
  bool progress_;
  bool shown_ = false;
  std::size_t total_;
  std::size_t done_ = 0;
  std::size_t failed_ = 0;
  std::string last_;
};

// The part of a run-time image a run reads: the reference's window, cut by
// the mask's.
template <class Tool>
mxPelRect usedWindow(const Tool& tool) {
  const mxPelRect ref = tool.referenceImage().window();
  return tool.maskImage().isBound() ? ref.intersect(tool.maskImage().window()) : ref;
}

// A TIFF beyond --max-pixels: normalized block by block into a TIFF output,
// refused (naming the limit and both ways out) for any other output.
template <class Tool>
void streamItem(const Tool& tool, const BatchItem& item, const BatchOptions& options, ItemResult& result) {
  std::int32_t w = 0, h = 0;
  tiffSize(item.input, w, h);
  const std::string what = item.input + ": a TIFF of " + sizeText(w, h) + " pels, beyond --max-pixels (" +
                           std::to_string(options.read.maxPixels) + " pels), ";
  const Codec* format = codecForName(item.output);
  if (!format || !format->streams)
    throw CliError(kExitInput, what +
                                   "is normalized block by block into a TIFF output only: give -o NAME.tif "
                                   "(--format tif for a folder), or raise --max-pixels to read it whole");
  if (options.report)
    throw CliError(kExitInput, what + "is normalized block by block, and --diag needs whole images: drop --diag, "
                                      "or raise --max-pixels to read it whole");
  const StreamedRun run = streamWithTool(tool, options.method, item.input, item.output, options.write.compression);
  result.info.width = run.image.width();
  result.info.height = run.image.height();
  if (run.result.isNull()) {
    result.outcome = Outcome::kSoft;
    result.message = "the image does not overlap the reference image";
  } else if (!run.success) {
    result.outcome = Outcome::kSoft;
    result.message = mfToUtf8(run.message);
  } else {
    warnAboutImage(*options.warnings, result,
                   [&](Warnings& w) { warnAboutRun(tool, options.method, item.input, run.image, run.result, w); });
    result.written = true;
  }
}

template <class Pel>
void streamItem(const ColorTool<Pel>&, const BatchItem& item, const BatchOptions& options, ItemResult&) {
  throw CliError(kExitInput, item.input + ": a TIFF beyond --max-pixels (" + std::to_string(options.read.maxPixels) +
                                 " pels) is normalized block by block by the 8-bit grey tool only; raise "
                                 "--max-pixels to read it whole");
}

// An interleaved colour image (or result) and its channel count; window()
// is in pels.
template <class Pel>
struct ColorImage {
  mxPelBuffer<Pel> pels;
  int channels = 3;
  bool isBound() const { return pels.isBound(); }
  mxPelRect window() const {
    const mxPelRect w = pels.window();
    return mxPelRect(w.x() / channels, w.y(), w.width() / channels, w.height());
  }
};

// An input as the tool takes it: 8-bit grey (converted as the options say),
// or 16-bit grey within the 16-bit tool's depth.  A 16-bit greyscale image
// for the 8-bit tool, or anything else for the 16-bit one, is an input error
// that names the image, the tool and the way out.
mxPelBuffer<unsigned char> readFor(const mxImageNormalizer&, const std::string& path, const ReadOptions& read,
                                   const BatchOptions& options, ImageInfo& info) {
  const RawImage raw = readRaw(path, read, info);
  if (raw.channels >= 3 && !read.toGray)
    throw CliError(kExitInput, path + ": " + describeRaw(raw) + ", but " + options.toolName +
                                   " is a grey tool (8-bit): give --to-gray to convert it to luma, or train a colour "
                                   "tool with --color per-channel|luminance");
  if (raw.bits == 16 && raw.channels == 1 && !read.toGray && !read.toDepth8)
    throw CliError(kExitInput, path + ": " + describeRaw(raw) + ", but " + options.toolName +
                                   " is an 8-bit tool: give --depth 8 to convert it (v >> (depth - 8)), or use a "
                                   "16-bit tool (trained on a 16-bit reference)");
  return toGray8(raw, path, read, &info);
}

mxPelBuffer<unsigned short> readFor(const mxImageNormalizer16& tool, const std::string& path, const ReadOptions& read,
                                    const BatchOptions& options, ImageInfo& info) {
  const RawImage raw = readRaw(path, read, info);
  if (raw.bits != 16 || raw.channels != 1)
    throw CliError(kExitInput, path + ": " + describeRaw(raw) + ", but " + options.toolName +
                                   " is a 16-bit tool (depth " + std::to_string(tool.bitDepth()) +
                                   ") for 16-bit greyscale images: " +
                                   (raw.channels >= 3   ? std::string("train a colour tool with --color "
                                                                        "per-channel|luminance")
                                    : raw.channels == 2 ? std::string("remove the alpha channel first, or give "
                                                                      "--to-gray with an 8-bit tool (it drops the "
                                                                      "alpha and converts to 8 bits)")
                                                        : "use an 8-bit tool (trained on an 8-bit reference, or with "
                                                          "--depth 8)"));
  return toGray16(raw, path, tool.bitDepth());
}

// A colour image of the colour tool's pel type (16-bit colour for the 8-bit
// tool under --depth 8, shifted as grey is): a grey image, or a colour one of
// the other pel type, names both and the way out.
template <class Pel>
ColorImage<Pel> readFor(const ColorTool<Pel>& tool, const std::string& path, const ReadOptions& read,
                        const BatchOptions& options, ImageInfo& info) {
  const RawImage raw = readRaw(path, read, info);
  const int bits = int(8 * sizeof(Pel));
  const bool shift = bits == 8 && read.toDepth8 && raw.bits == 16;
  if (raw.channels < 3 || (raw.bits != bits && !shift))
    throw CliError(kExitInput, path + ": " + describeRaw(raw) + ", but " + options.toolName + " is a colour tool (" +
                                   colorText(tool) + ") for " + std::to_string(bits) + "-bit colour images: " +
                                   (raw.channels < 3 ? std::string("use a grey tool (trained without --color)")
                                    : bits == 8 ? "give --depth 8 to convert it (v >> (depth - 8)), or use a colour "
                                                  "tool trained on a 16-bit colour reference"
                                                : "use a colour tool trained on a colour reference of " +
                                                      std::to_string(raw.bits) + " bits"));
  if constexpr (sizeof(Pel) == 1)
    return {shift ? toColor8(shiftToDepth8(raw, path, read, &info), path) : toColor8(raw, path), raw.channels};
  else
    return {toColor16(raw, path, tool.bitDepth()), raw.channels};
}

// One run: the 8-bit tool on threads (the pool's, else made for the call),
// the 16-bit tool on one; its report records are the 8-bit views of the
// input and the result.
mxPelBuffer<unsigned char> runOn(const mxImageNormalizer& tool, const mxPelBuffer<unsigned char>& image,
                                 mxImageNormalizerDefs::Method method, mxTaskThreads* pool, int threads, bool& success,
                                 std::wstring& message, mxDiagObject* diag) {
  return pool
             ? mxBlockNormalizer::runParallel(tool, image, method, pool->runner(), pool->threads(), success, message,
                                              diag, mxDiagObject::eAll)
             : mxBlockNormalizer::runParallel(tool, image, method, threads, success, message, diag, mxDiagObject::eAll);
}

mxPelBuffer<unsigned short> runOn(const mxImageNormalizer16& tool, const mxPelBuffer<unsigned short>& image,
                                  mxImageNormalizerDefs::Method method, mxTaskThreads*, int, bool& success,
                                  std::wstring& message, mxDiagObject* diag) {
  mxPelBuffer<unsigned short> out = tool.run(image, method, success, message);
  if (diag) {
    diag->addImage(view8(image, tool.bitDepth()), mxImageNormalizerDefs::kInputRecord, true);
    if (out.isBound()) diag->addImage(view8(out, tool.bitDepth()), mxImageNormalizerDefs::kResultRecord, true);
  }
  return out;
}

// A colour run, on one thread; its report records are the 8-bit lumas of
// the input and the result.
template <class Pel>
ColorImage<Pel> runOn(const ColorTool<Pel>& tool, const ColorImage<Pel>& image, mxImageNormalizerDefs::Method method,
                      mxTaskThreads*, int, bool& success, std::wstring& message, mxDiagObject* diag) {
  ColorImage<Pel> out{tool.tool.run(image.pels, image.channels, method, success, message), image.channels};
  if (diag) {
    auto record = [&](const ColorImage<Pel>& c, const wchar_t* name) {
      const mxPelBuffer<Pel> luma = lumaOf<Pel>(c.pels, c.channels);
      if constexpr (sizeof(Pel) == 1)
        diag->addImage(luma, name, true);
      else
        diag->addImage(view8(luma, tool.bitDepth()), name, true);
    };
    record(image, mxImageNormalizerDefs::kInputRecord);
    if (out.isBound()) record(out, mxImageNormalizerDefs::kResultRecord);
  }
  return out;
}

// Beside the grey tools' measureRun and writeImage, which they would hide.
using imgnormcli::measureRun;
using imgnormcli::writeImage;

template <class Pel>
ImageStats measureRun(const ColorTool<Pel>& tool, mxImageNormalizerDefs::Method method, const ColorImage<Pel>& input,
                      const ColorImage<Pel>& result) {
  return measureRun(tool.luma, method, lumaOf<Pel>(input.pels, input.channels),
                    lumaOf<Pel>(result.pels, result.channels));
}

template <class Pel>
void writeImage(const std::string& path, const ColorImage<Pel>& image, WriteOptions options) {
  options.channels = image.channels;
  writeImage(path, image.pels, options);
}

// threads: on one image, made for the call unless pool (kept for the batch) is given.
template <class Tool>
void processItem(const Tool& tool, const BatchItem& item, const BatchOptions& options, mxTaskThreads* pool, int threads,
                 bool withDiag, ItemResult& result) {
  if (!item.error.empty()) {
    result.outcome = Outcome::kInputError;
    result.message = item.error;
    return;
  }
  try {
    if (tiffBeyondLimit(item.input, options.read)) {
      streamItem(tool, item, options, result);
      return;
    }
    // Only the part of the image the tool uses is decoded and kept (the
    // identity returns the whole image).
    ReadOptions read = options.read;
    if (options.method != mxImageNormalizerDefs::eIdentity) read.keep = usedWindow(tool);
    const auto image = readFor(tool, item.input, read, options, result.info);
    if (withDiag && !result.info.conversion.empty())
      result.diag.addText(mfFromUtf8(result.info.conversion), L"Grey conversion");
    bool success = false;
    std::wstring message;
    mxDiagObject* diag = withDiag ? &result.diag : nullptr;
    const auto out = runOn(tool, image, options.method, pool, threads, success, message, diag);
    if (!success) {
      result.outcome = Outcome::kSoft;
      result.message = mfToUtf8(message);
      return;
    }
    if (!out.isBound()) {
      result.outcome = Outcome::kSoft;
      result.message = "the image does not overlap the reference image";
      return;
    }
    warnAboutImage(*options.warnings, result, [&](Warnings& w) {
      warnAboutRun(tool, options.method, item.input, mxPelRect(0, 0, result.info.width, result.info.height),
                   out.window(), w);
    });
    if (options.stats || options.report) result.stats = measureRun(tool, options.method, image, out);
    writeImage(item.output, out, options.write);
    result.written = true;
  } catch (const CliError& e) {
    result.outcome = e.code() == kExitOutput ? Outcome::kOutputError : Outcome::kInputError;
    result.message = e.what();
  } catch (const mxException& e) {
    result.outcome = Outcome::kToolError;
    result.message = item.input + ": " + userMessage(e.message());
  } catch (const std::bad_alloc&) {
    result.outcome = Outcome::kOutOfMemory;
    result.message = item.input + ": out of memory";
  } catch (const std::exception& e) {
    // Anything else stays with its image: a batch goes on past it.
    result.outcome = Outcome::kToolError;
    result.message = item.input + ": " + e.what();
  }
}

// After one item: its reading warnings and its problem printed once, its
// records into the report, the progress line moved on.
void finishItem(std::size_t index, const BatchItem& item, ItemResult& r, const BatchOptions& opts, Console& console) {
  // A reading warning names its file: the rest of the line is its kind.
  for (const std::string& w : r.info.warnings) {
    const std::size_t colon = w.find(": ");
    const std::string kind = colon == std::string::npos ? w : w.substr(colon + 2);
    opts.warnings->warn(kind, w);
    r.warnings.push_back(kind);
  }
  // Each problem is printed once, here, as it happens.
  if (r.outcome == Outcome::kSoft)
    console.error(item.input + ": not normalized: " + r.message);
  else if (r.outcome != Outcome::kOk)
    console.error(r.message);
  if (opts.report) {
    ReportItem entry;
    entry.index = index;
    entry.input = item.input;
    entry.output = r.written ? item.output : std::string();
    entry.failed = r.outcome != Outcome::kOk;
    entry.soft = r.outcome == Outcome::kSoft;
    entry.message = r.message;
    entry.status = statusText(r.outcome);
    entry.stats = r.stats;
    entry.warnings = r.warnings;
    try {
      opts.report->addImage(entry, r.diag);
    } catch (const std::exception& e) {
      console.error(std::string("--diag: ") + e.what());
      opts.report->fail(e.what());
    }
    r.diag.clear();  // the pels go as soon as the report has them
  }
  console.done(fileName(item.input), r.outcome != Outcome::kOk);
}

struct Tally {
  std::size_t ok = 0, soft = 0, errors = 0;
  ExitCode code = kExitOk;  // the worst met
};

Tally tally(const std::vector<ItemResult>& results) {
  Tally t;
  for (const ItemResult& r : results) {
    switch (r.outcome) {
      case Outcome::kOk:
        ++t.ok;
        break;
      case Outcome::kSoft:
        ++t.soft;
        t.code = worseExit(t.code, kExitSoftFailure);
        break;
      case Outcome::kOutputError:
        ++t.errors;
        t.code = worseExit(t.code, kExitOutput);
        break;
      case Outcome::kInputError:
      case Outcome::kToolError:
        ++t.errors;
        t.code = worseExit(t.code, kExitInput);
        break;
      case Outcome::kOutOfMemory:
        ++t.errors;
        t.code = worseExit(t.code, kExitInternal);
        break;
    }
  }
  return t;
}

// Counts only: each problem's message was printed once, when it happened.
void printSummary(std::ostream& summary, const BatchPlan& plan, const std::vector<ItemResult>& results, const Tally& t,
                  const BatchOptions& opts) {
  const std::size_t n = plan.items.size();
  summary << "imgnorm: " << t.ok << " of " << n << " image" << (n == 1 ? "" : "s") << " normalized with "
          << methodCliName(opts.method) << ", " << t.soft << " soft failure" << (t.soft == 1 ? "" : "s") << ", "
          << t.errors << " error" << (t.errors == 1 ? "" : "s");
  if (!plan.skipped.empty()) summary << ", " << plan.skipped.size() << " skipped";
  const auto warned = opts.warnings->entries();
  if (!warned.empty()) summary << ", " << warned.size() << " kind" << (warned.size() == 1 ? "" : "s") << " of warning";
  summary << "\n";
  std::size_t converted = 0, deep = 0;
  for (const ItemResult& r : results) {
    converted += !r.info.conversion.empty();
    deep += r.info.conversion.find("-bit") != std::string::npos;
  }
  if (converted)
    summary << "  " << (opts.read.toDepth8 ? "depth conversion (--depth 8)" : "grey conversion (--to-gray)") << ": "
            << converted << " image" << (converted == 1 ? "" : "s")
            << (!deep                ? std::string()
                : opts.read.toDepth8 ? ", deeper than 8 bits shifted to 8 from their declared depth"
                                     : ", deeper than 8 bits scaled with " + grayScalingText(opts.read.scaling))
            << "\n";
  for (const Warnings::Entry& w : warned)
    if (w.count > 1) summary << "  warning met " << w.count << " times (printed once): " << w.kind << "\n";
  for (const SkippedFile& sk : plan.skipped) summary << "  skipped: " << sk.path << ": " << sk.reason << "\n";
  summary.flush();
}

// The --stats file: one record per item.  False (the error printed) when it
// cannot be written.
bool writeStats(const StatsFile& file, const std::vector<BatchItem>& items, const std::vector<ItemResult>& results,
                mxImageNormalizerDefs::Method method) {
  std::vector<StatsRecord> records(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ItemResult& r = results[i];
    StatsRecord& s = records[i];
    s.input = items[i].input;
    s.output = r.written ? items[i].output : std::string();
    s.status = statusText(r.outcome);
    s.message = r.message;
    s.method = methodCliName(method);
    s.width = r.info.width, s.height = r.info.height;
    s.warnings = r.warnings;
    s.stats = r.stats;
  }
  try {
    file.write(records);
  } catch (const CliError& e) {
    std::fprintf(stderr, "imgnorm: %s\n", e.what());
    return false;
  }
  return true;
}

}  // namespace

int effectiveJobs(int jobs, std::size_t items) {
  std::size_t n = jobs > 0 ? std::size_t(jobs) : std::size_t(std::max(1u, std::thread::hardware_concurrency()));
  if (n > items) n = items;
  return n < 1 ? 1 : int(n);
}

namespace {

template <class Tool>
ExitCode runBatchWith(const Tool& tool, const BatchPlan& plan, const BatchOptions& options, std::ostream& summary) {
  const std::vector<BatchItem>& items = plan.items;
  std::vector<ItemResult> results(items.size());
  Console console(options.progress && items.size() > 1 && ::isatty(STDERR_FILENO), items.size());
  Warnings ownWarnings;
  BatchOptions opts = options;
  if (!opts.warnings) opts.warnings = &ownWarnings;
  opts.warnings->printer([&console](const std::string& line) { console.error(line); });
  std::atomic<std::size_t> next{0};
  // Threads on each image: by default every processor while one image runs
  // at a time, one when --jobs already keeps them busy with several.
  const int jobs = effectiveJobs(opts.jobs, items.size());
  const int threads = opts.threads > 0 ? opts.threads
                      : jobs > 1       ? 1
                                       : int(std::max(1u, std::thread::hardware_concurrency()));
  // One image at a time: its threads are kept for the batch, so that each
  // keeps the memory of its last run for the next image.
  std::unique_ptr<mxTaskThreads> pool;
  if (jobs <= 1 && threads > 1) pool = std::make_unique<mxTaskThreads>(threads);
  // Each worker runs its own copy of the tool: one tool object is used by
  // one thread at a time, and copies share only the read-only pels.
  auto worker = [&](const Tool* mine) {
    for (std::size_t i = next.fetch_add(1); i < items.size(); i = next.fetch_add(1)) {
      processItem(*mine, items[i], opts, pool.get(), threads, opts.report != nullptr, results[i]);
      finishItem(i, items[i], results[i], opts, console);
    }
  };
  if (jobs <= 1) {
    worker(&tool);
  } else {
    std::vector<Tool> copies(std::size_t(jobs), tool);
    std::vector<std::thread> threads;
    for (int t = 0; t < jobs; ++t) threads.emplace_back(worker, &copies[std::size_t(t)]);
    for (std::thread& th : threads) th.join();
  }
  console.finish();
  opts.warnings->printer(nullptr);
  Tally t = tally(results);
  if (!opts.quiet) printSummary(summary, plan, results, t, opts);
  if (opts.stats && !writeStats(*opts.stats, items, results, opts.method)) t.code = worseExit(t.code, kExitOutput);
  return t.code;
}

}  // namespace

ExitCode runBatch(const mxImageNormalizer& tool, const BatchPlan& plan, const BatchOptions& options,
                  std::ostream& summary) {
  return runBatchWith(tool, plan, options, summary);
}

ExitCode runBatch(const mxImageNormalizer16& tool, const BatchPlan& plan, const BatchOptions& options,
                  std::ostream& summary) {
  BatchOptions deep = options;
  deep.write.depth = tool.bitDepth();
  return runBatchWith(tool, plan, deep, summary);
}

ExitCode runBatch(const ColorTool8& tool, const BatchPlan& plan, const BatchOptions& options, std::ostream& summary) {
  return runBatchWith(tool, plan, options, summary);
}

ExitCode runBatch(const ColorTool16& tool, const BatchPlan& plan, const BatchOptions& options, std::ostream& summary) {
  BatchOptions deep = options;
  deep.write.depth = tool.bitDepth();
  return runBatchWith(tool, plan, deep, summary);
}

}  // namespace imgnormcli

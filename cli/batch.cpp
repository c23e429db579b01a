#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "baseif/mxDiag.h"
#include "baseif/mxStr.h"
#include "commands.h"
#include "file_util.h"
#include "image_io.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "options.h"

namespace fs = std::filesystem;

namespace imgnormcli {

namespace {

// A path's identity for collision checks: the absolute, normalized form.
std::string pathKey(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return a.lexically_normal().string();
}

// The folder's image files, sorted; every other entry goes to skipped.
std::vector<std::string> listFolder(const std::string& folder, std::vector<SkippedFile>& skipped) {
  std::vector<std::string> files;
  std::vector<SkippedFile> others;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    const std::string name = it->path().filename().string();
    long pid;
    if (isTemporaryName(name, pid)) continue;  // an output being written by a run
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
      reason = "not an image file name (.png, .tif, .tiff, .jpg, .jpeg, .bmp, .pgm, .ppm, .pnm)";
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

BatchPlan planBatch(const std::vector<std::string>& inputs, const std::string& output, const std::string& format) {
  if (!format.empty() && format != "png" && format != "tif" && format != "tiff" && format != "pgm")
    throw CliError(kExitUsage, "--format: unknown format '" + format + "' (use png, tif or pgm)");
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
    throw CliError(kExitUsage, "-o " + output +
                                   ": unknown image format for output (use .png, .tif, .tiff or .pgm, "
                                   "or give a folder)");
  if (isWritableName(output) && !singleFile)
    throw CliError(kExitUsage, "-o " + output +
                                   ": names one image file, but there are several inputs; "
                                   "give an output folder");
  const bool toFile = singleFile && isWritableName(output);
  if (toFile && !format.empty())
    throw CliError(kExitUsage, "--format: not used when -o names a file (the file name gives the format)");

  std::map<std::string, std::string> outputs;  // output key -> input
  std::map<std::string, bool> inputKeys;
  for (const BatchItem& it : items)
    if (it.error.empty()) inputKeys[pathKey(it.input)] = true;
  for (BatchItem& it : items) {
    if (!it.error.empty()) continue;
    if (toFile) {
      it.output = output;
    } else {
      std::string ext = format.empty() ? lowerExtension(it.input) : format;
      if (!isWritableName("x." + ext)) ext = "png";  // JPEG, BMP, PPM and unknown inputs give PNG
      it.output = (fs::path(output) / (fileStem(it.input) + "." + ext)).string();
    }
    const std::string key = pathKey(it.output);
    if (inputKeys.count(key))
      throw CliError(kExitUsage, it.output + ": the output would overwrite an input; choose another output");
    auto [pos, fresh] = outputs.emplace(key, it.input);
    if (!fresh)
      throw CliError(kExitUsage, it.output + ": both " + pos->second + " and " + it.input +
                                     " would be written there; run them into different folders");
  }
  return plan;
}

namespace {

enum class Outcome { kOk, kSoft, kInputError, kOutputError, kToolError, kOutOfMemory };

struct ItemResult {
  Outcome outcome = Outcome::kOk;
  std::string message;  // soft failure: the tool's message; errors: the full one-line error
  ImageInfo info;       // grey conversion and warnings of reading
  mxDiagObject diag;
};

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
  void warning(const std::string& line) { error("warning: " + line); }
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

void processItem(const mxImageNormalizer& tool, const BatchItem& item, const BatchOptions& options, bool withDiag,
                 ItemResult& result) {
  if (!item.error.empty()) {
    result.outcome = Outcome::kInputError;
    result.message = item.error;
    return;
  }
  try {
    const mxPelBuffer<unsigned char> image = readImage(item.input, options.read, &result.info);
    if (withDiag && !result.info.conversion.empty())
      result.diag.addText(mfFromUtf8(result.info.conversion), L"Grey conversion");
    bool success = false;
    std::wstring message;
    mxPelBuffer<unsigned char> out =
        tool.run(image, options.method, success, message, withDiag ? &result.diag : nullptr, mxDiagObject::eAll);
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
    writeImage(item.output, out, options.write);
  } catch (const CliError& e) {
    result.outcome = e.code() == kExitOutput ? Outcome::kOutputError : Outcome::kInputError;
    result.message = e.what();
  } catch (const mxException& e) {
    result.outcome = Outcome::kToolError;
    result.message = item.input + ": " + mfToUtf8(e.message());
  } catch (const std::bad_alloc&) {
    result.outcome = Outcome::kOutOfMemory;
    result.message = item.input + ": out of memory";
  } catch (const std::exception& e) {
    // Anything else stays with its image: a batch goes on past it.
    result.outcome = Outcome::kToolError;
    result.message = item.input + ": " + e.what();
  }
}

}  // namespace

ExitCode runBatch(const mxImageNormalizer& tool, const BatchPlan& plan, const BatchOptions& options, mxDiagObject* diag,
                  std::ostream& summary) {
  const std::vector<BatchItem>& items = plan.items;
  std::vector<ItemResult> results(items.size());
  Console console(options.progress && items.size() > 1 && ::isatty(STDERR_FILENO), items.size());
  std::atomic<std::size_t> next{0};
  // Each worker runs its own copy of the tool: one tool object is used by
  // one thread at a time, and copies share only the read-only pels.
  auto worker = [&](const mxImageNormalizer* mine) {
    for (std::size_t i = next.fetch_add(1); i < items.size(); i = next.fetch_add(1)) {
      processItem(*mine, items[i], options, diag != nullptr, results[i]);
      for (const std::string& w : results[i].info.warnings) console.warning(w);
      const bool failed = results[i].outcome != Outcome::kOk;
      if (failed && results[i].outcome != Outcome::kSoft)
        console.error(results[i].message);
      else if (results[i].outcome == Outcome::kSoft)
        console.error(items[i].input + ": not normalized: " + results[i].message);
      console.done(fileName(items[i].input), failed);
    }
  };
  const int jobs = effectiveJobs(options.jobs, items.size());
  if (jobs <= 1) {
    worker(&tool);
  } else {
    std::vector<mxImageNormalizer> copies(std::size_t(jobs), tool);
    std::vector<std::thread> threads;
    for (int t = 0; t < jobs; ++t) threads.emplace_back(worker, &copies[std::size_t(t)]);
    for (std::thread& th : threads) th.join();
  }
  console.finish();

  ExitCode code = kExitOk;
  std::size_t ok = 0, soft = 0, errors = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    switch (results[i].outcome) {
      case Outcome::kOk:
        ++ok;
        break;
      case Outcome::kSoft:
        ++soft;
        code = worseExit(code, kExitSoftFailure);
        break;
      case Outcome::kOutputError:
        ++errors;
        code = worseExit(code, kExitOutput);
        break;
      case Outcome::kInputError:
      case Outcome::kToolError:
        ++errors;
        code = worseExit(code, kExitInput);
        break;
      case Outcome::kOutOfMemory:
        ++errors;
        code = worseExit(code, kExitInternal);
        break;
    }
    if (diag) {
      // Each image's records one level below a record that names the image.
      const std::int32_t base = diag->level();
      diag->addText(mfFromUtf8(items[i].input), L"Input image");
      for (const mxDiagObject::Record& r : results[i].diag.records()) {
        diag->level(base + 1 + r.level);
        if (r.type == mxDiagObject::Record::eImage)
          diag->addImage(r.image, r.name, false);
        else
          diag->addText(r.text, r.name);
      }
      diag->level(base);
    }
  }
  if (!options.quiet) {
    summary << "imgnorm: " << ok << " of " << items.size() << " image" << (items.size() == 1 ? "" : "s")
            << " normalized with " << methodCliName(options.method) << ", " << soft << " soft failure"
            << (soft == 1 ? "" : "s") << ", " << errors << " error" << (errors == 1 ? "" : "s");
    if (!plan.skipped.empty()) summary << ", " << plan.skipped.size() << " skipped";
    summary << "\n";
    std::size_t converted = 0, deep = 0;
    for (const ItemResult& r : results) {
      converted += !r.info.conversion.empty();
      deep += r.info.conversion.find("-bit") != std::string::npos;
    }
    if (converted)
      summary << "  grey conversion (--to-gray): " << converted << " image" << (converted == 1 ? "" : "s")
              << (deep ? ", deeper than 8 bits scaled with " + grayScalingText(options.read.scaling) : std::string())
              << "\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (results[i].outcome == Outcome::kSoft)
        summary << "  soft failure: " << items[i].input << ": " << results[i].message << "\n";
      else if (results[i].outcome != Outcome::kOk)
        summary << "  error: " << results[i].message << "\n";
    }
    for (const SkippedFile& s : plan.skipped) summary << "  skipped: " << s.path << ": " << s.reason << "\n";
    summary.flush();
  }
  return code;
}

}  // namespace imgnormcli

#include "commands.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "baseif/mxDiag.h"
#include "baseif/mxStr.h"
#include "batch.h"
#include "file_util.h"
#include "image_io.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "options.h"
#include "tiff_stream.h"
#include "tool_file.h"

namespace fs = std::filesystem;

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

const char* exitCodeHelp() {
  return "Exit codes:\n"
         "  0  everything done\n"
         "  1  done, but the tool could not normalize some images (soft failures, listed in the summary)\n"
         "  2  usage error: unknown option or method, bad parameter value, outputs that would collide\n"
         "  3  input error: missing, unreadable, corrupt or truncated image or tool file, colour or 16-bit\n"
         "     image without --to-gray, a reference the tool cannot train on\n"
         "  4  output error: an output file or folder cannot be written\n"
         "  5  internal error, or out of memory (also for one image of a batch)\n"
         "In a batch the worst problem decides the code; the batch goes on past bad images.";
}

int effectiveJobs(int jobs, std::size_t items) {
  std::size_t n = jobs > 0 ? std::size_t(jobs) : std::size_t(std::max(1u, std::thread::hardware_concurrency()));
  if (n > items) n = items;
  return n < 1 ? 1 : int(n);
}

namespace {

// Calls one setter; a value the tool rejects becomes a usage error that
// names the option and quotes the tool's own message.
template <class F>
void setParam(const std::string& option, const std::string& value, F&& set) {
  try {
    set();
  } catch (const mxImageNormalizerDefs::BadParams& e) {
    throw CliError(kExitUsage, option + " " + value + ": " + mfToUtf8(e.message()));
  }
}

std::string sizeText(const mxPelBuffer_const<unsigned char>& im) {
  return std::to_string(im.width()) + " x " + std::to_string(im.height());
}

// The image writer of diagnostics folders: PNG files a browser shows.
std::string writeDiagPng(const std::string& base, const mxPelBuffer_const<unsigned char>& image) {
  writeImage(base + ".png", image);
  return "png";
}

}  // namespace

void configureParameters(const ToolOptions& o, mxImageNormalizer& fresh) {
  if (!o.tailFractions.empty()) {
    const auto v = parseRealPair(o.tailFractions, "--tail-fractions");
    setParam("--tail-fractions", o.tailFractions, [&] { fresh.tailFractions(v); });
  }
  if (!o.neighborhood.empty()) {
    const auto v = parseIntPair(o.neighborhood, "--neighborhood", true);
    setParam("--neighborhood", o.neighborhood, [&] { fresh.neighborhoodSize(v); });
  }
  if (!o.granularity.empty()) {
    const auto v = parseIntPair(o.granularity, "--granularity", true);
    setParam("--granularity", o.granularity, [&] { fresh.granularity(v); });
  }
  if (!o.intensityRange.empty()) {
    const auto v = parseIntPair(o.intensityRange, "--intensity-range", false);
    setParam("--intensity-range", o.intensityRange, [&] { fresh.intensityVariationRange(v); });
  }
  fresh.keepMaskedPixels(o.keepMasked);
}

void configureTool(const ToolOptions& o, mxImageNormalizer& tool) {
  // Parameters first: a bad value is reported before any image is read.
  mxImageNormalizer fresh;
  configureParameters(o, fresh);
  const mxPelBuffer<unsigned char> reference = readImage(o.reference, o.read);
  fresh.referenceImage(reference, false);
  if (!o.mask.empty()) {
    const mxPelBuffer<unsigned char> mask = readImage(o.mask, o.read);
    if (mask.width() != reference.width() || mask.height() != reference.height())
      throw CliError(kExitInput, o.mask + ": the mask is " + sizeText(mask) + " pels but the reference image is " +
                                     sizeText(reference));
    fresh.maskImage(mask, false);
  }
  tool = fresh;
}

void checkDiagTarget(const std::string& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    const fs::path parent = fs::path(folder).parent_path();
    prepareOutputFolder(parent.empty() ? "." : parent.string());
    return;
  }
  if (!fs::is_directory(folder, ec)) throw CliError(kExitOutput, "--diag " + folder + ": exists and is not a folder");
  if (!fs::is_empty(folder, ec) && !fs::exists(fs::path(folder) / "index.html", ec))
    throw CliError(kExitOutput, "--diag " + folder +
                                    ": folder exists and holds no earlier diagnostics (no index.html); "
                                    "choose a new or empty folder");
  const fs::path parent = fs::path(folder).parent_path();
  prepareOutputFolder(parent.empty() ? "." : parent.string());
}

void writeDiagFolder(const std::string& folder, const mxDiagObject& diag) {
  checkDiagTarget(folder);
  std::string tmp = temporaryNameFor(fs::path(folder).lexically_normal().string());
  try {
    diag.writeFolder(tmp, writeDiagPng);
  } catch (const mxException& e) {
    std::error_code ec;
    fs::remove_all(tmp, ec);
    throw CliError(kExitOutput, "--diag " + folder + ": " + mfToUtf8(e.message()));
  } catch (const CliError& e) {
    std::error_code ec;
    fs::remove_all(tmp, ec);
    throw CliError(kExitOutput, std::string("--diag ") + folder + ": " + e.what());
  }
  std::error_code ec;
  if (fs::exists(folder, ec)) fs::remove_all(folder, ec);  // an earlier diagnostics folder, checked above
  fs::rename(tmp, folder, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove_all(tmp, ec2);
    throw CliError(kExitOutput, "--diag " + folder + ": cannot write: " + ec.message());
  }
}

ExitCode cmdTrain(const TrainArgs& args) {
  std::uint32_t methods = 0;
  for (const std::string& m : args.methods) methods |= parseMethodList(m, "--methods");
  if (args.methods.empty()) methods = kAllMethods;
  if (!args.diag.empty()) checkDiagTarget(args.diag);
  prepareFolderOf(args.output);
  mxImageNormalizer tool;
  configureTool(args.tool, tool);
  mxDiagObject diag;
  mxDiagObject* d = args.diag.empty() ? nullptr : &diag;
  try {
    tool.train(Method(methods), d, mxDiagObject::eAll);
  } catch (const mxImageNormalizerDefs::Errors& e) {
    if (d) writeDiagFolder(args.diag, diag);
    throw CliError(kExitInput,
                   args.tool.reference + ": cannot train " + methodSetText(methods) + ": " + mfToUtf8(e.message()));
  } catch (const mxException& e) {
    if (d) writeDiagFolder(args.diag, diag);
    throw CliError(kExitInput, args.tool.reference + ": cannot train: " + mfToUtf8(e.message()));
  }
  saveTool(args.output, tool);
  if (d) writeDiagFolder(args.diag, diag);
  std::cout << "imgnorm: trained " << methodSetText(methods) << " on " << args.tool.reference << " ("
            << sizeText(tool.referenceImage()) << ") -> " << args.output << "\n";
  return kExitOk;
}

namespace {

ExitCode runWithTool(const mxImageNormalizer& tool, const RunArgs& args, Method method, mxDiagObject* diag) {
  const BatchPlan plan = planBatch(args.inputs, args.output, args.format);
  // The output folder (or the output file's folder) must be writable before any work.
  bool toFile = plan.items.size() == 1 && plan.items[0].output == args.output;
  if (toFile)
    prepareFolderOf(args.output);
  else
    prepareOutputFolder(args.output);
  BatchOptions options;
  options.method = method;
  options.read = args.read;
  options.write = args.write;
  options.jobs = args.jobs;
  options.quiet = args.quiet;
  return runBatch(tool, plan, options, diag, std::cout);
}

}  // namespace

ExitCode cmdRun(const RunArgs& args) {
  const Method method = parseMethod(args.method, "--method");
  if (!args.diag.empty()) checkDiagTarget(args.diag);
  mxImageNormalizer tool;
  loadTool(args.toolFile, tool);
  if (method != eIdentity && !(tool.trainedMethods() & method))
    throw CliError(kExitUsage, "--method " + args.method + ": " + args.toolFile +
                                   " is not trained for it (trained: " + methodSetText(tool.trainedMethods()) + ")");
  if (wantsStreaming(args)) return runStreamed(args, method, &tool);
  mxDiagObject diag;
  const ExitCode code = runWithTool(tool, args, method, args.diag.empty() ? nullptr : &diag);
  if (!args.diag.empty()) writeDiagFolder(args.diag, diag);
  return code;
}

ExitCode cmdNormalize(const RunArgs& args) {
  const Method method = parseMethod(args.method, "--method");
  if (wantsStreaming(args)) return runStreamed(args, method, nullptr);
  if (!args.diag.empty()) checkDiagTarget(args.diag);
  mxImageNormalizer tool;
  configureTool(args.tool, tool);
  mxDiagObject diag;
  mxDiagObject* d = args.diag.empty() ? nullptr : &diag;
  try {
    tool.train(method, d, mxDiagObject::eAll);  // only the method asked for
  } catch (const mxException& e) {
    if (d) writeDiagFolder(args.diag, diag);
    throw CliError(kExitInput, args.tool.reference + ": cannot train " + args.method + ": " + mfToUtf8(e.message()));
  }
  const ExitCode code = runWithTool(tool, args, method, d);
  if (d) writeDiagFolder(args.diag, diag);
  return code;
}

ExitCode cmdInfo(const InfoArgs& args) {
  const std::vector<std::uint8_t> bytes = readFileBytes(args.toolFile);
  mxImageNormalizer tool;
  loadTool(args.toolFile, tool);
  const auto& ref = tool.referenceImage();
  const auto& mask = tool.maskImage();
  auto pairText = [](auto p) { return mfToUtf8(mfStr(p.x())) + ", " + mfToUtf8(mfStr(p.y())); };
  std::cout << "tool file:         " << args.toolFile << " (format version " << kToolFormatVersion << ", "
            << bytes.size() << " bytes)\n";
  std::cout << "trained methods:   " << methodSetText(tool.trainedMethods()) << "\n";
  std::cout << "reference image:   ";
  if (ref.isBound())
    std::cout << sizeText(ref) << " pels at (" << ref.offset().x() << ", " << ref.offset().y() << ")\n";
  else
    std::cout << "none\n";
  std::cout << "mask image:        ";
  if (mask.isBound()) {
    std::uint64_t selected = 0;
    for (std::int32_t j = 0; j < mask.height(); ++j)
      for (std::int32_t i = 0; i < mask.width(); ++i) selected += mask.row(j)[i] != 0;
    const double total = double(mask.width()) * double(mask.height());
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.1f", 100.0 * double(selected) / total);
    std::cout << sizeText(mask) << " pels, " << selected << " selected (" << pct << " %)\n";
  } else {
    std::cout << "none\n";
  }
  std::cout << "tail fractions:    " << pairText(tool.tailFractions()) << "\n";
  std::cout << "neighborhood:      " << tool.neighborhoodSize().x() << " x " << tool.neighborhoodSize().y() << "\n";
  std::cout << "granularity:       " << tool.granularity().x() << " x " << tool.granularity().y() << "\n";
  std::cout << "intensity range:   " << pairText(tool.intensityVariationRange()) << "\n";
  std::cout << "keep masked pels:  " << (tool.keepMaskedPixels() ? "yes" : "no") << "\n";
  return kExitOk;
}

}  // namespace imgnormcli

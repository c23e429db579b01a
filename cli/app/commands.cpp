#include "app/commands.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "baseif/mxDiag.h"
#include "baseif/mxStr.h"
#include "batch/batch.h"
#include "batch/streamed.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/codecs.h"
#include "io/image_io.h"
#include "io/tiff_stream.h"
#include "io/tool_file.h"
#include "report/report.h"
#include "report/stats.h"

namespace fs = std::filesystem;

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

const char* exitCodeHelp() {
  return "Exit codes:\n"
         "  0  everything done\n"
         "  1  done, but the tool could not normalize some images (soft failures, listed in the summary)\n"
         "  2  usage error: unknown option or method, bad parameter value, outputs that would collide\n"
         "     or overwrite an input (without --in-place), --in-place over a multi-page TIFF, a --diag\n"
         "     folder imgnorm did not write, an output where the report writes its own files, a 16-bit\n"
         "     result to JPEG, --depth 8 with a 16-bit tool file, a method the 16-bit tool does not run,\n"
         "     --color with a grey reference or tool file (or --to-gray, --block-size with it), --depth 8\n"
         "     with a 16-bit colour tool file, a colour result to PGM or 16-bit colour to JPEG,\n"
         "     --bit-depth with an 8-bit tool file but no --depth 8\n"
         "  3  input error: missing, unreadable, corrupt or truncated image or tool file, colour image\n"
         "     without --color or --to-gray, a 16-bit image for an 8-bit tool or the reverse, a grey image\n"
         "     for a colour tool or the reverse, an RGBA result to JPEG or PPM, a pel above the declared\n"
         "     depth, a reference the tool cannot train on\n"
         "  4  output error: an output file or folder cannot be written, or is not a regular file or folder\n"
         "  5  internal error, or out of memory (also for one image of a batch)\n"
         "In a batch the worst problem decides the code; the batch goes on past bad images.";
}

namespace {

// The report of a --diag option, with its folder checked before any work.
struct Diagnostics {
  explicit Diagnostics(const std::string& folder) : folder(folder) {}
  DiagFolder folder;
  mxDiagObject training;
  std::unique_ptr<DiagReport> report;
};

std::unique_ptr<Diagnostics> openDiagnostics(const std::string& folder) {
  if (folder.empty()) return nullptr;
  return std::make_unique<Diagnostics>(folder);
}

ReportSetup reportSetup(const std::string& commandLine, std::uint32_t methods, bool running) {
  ReportSetup setup;
  setup.command = commandLine;
  setup.methods = methods;
  setup.running = running;
  return setup;
}

// Outputs may not go where the report writes its own files.
void refuseReportClash(const Diagnostics* diag, const BatchPlan& plan) {
  if (!diag) return;
  for (const BatchItem& it : plan.items)
    if (!it.output.empty()) diag->folder.refuseClash(it.output);
}

std::string toGraySetting(const ReadOptions& read) {
  return read.toGray
             ? "yes: colour to luma 0.299 R + 0.587 G + 0.114 B; deeper samples: " + grayScalingText(read.scaling)
             : "no";
}

// The tool the report shows: the 8-bit tool itself, or the 8-bit view of a
// 16-bit tool (held by view).
const mxImageNormalizer& reportTool(const mxImageNormalizer& tool, mxImageNormalizer&) { return tool; }
const mxImageNormalizer& reportTool(const mxImageNormalizer16& tool, mxImageNormalizer& view) {
  view = viewTool(tool);
  return view;
}
// A colour tool: its luma view (8-bit levels).
const mxImageNormalizer& reportTool(const ColorTool8& tool, mxImageNormalizer&) { return tool.luma; }
const mxImageNormalizer& reportTool(const ColorTool16& tool, mxImageNormalizer& view) {
  return reportTool(tool.luma, view);
}

// The report's rows on the depth and on reading.
std::vector<std::pair<std::string, std::string>> readSettings(std::int32_t depth, const ReadOptions& read) {
  std::string d = "8 bits";
  if (depth > 8)
    d = "16-bit tool, depth " + std::to_string(depth) + " (pictures and plots show v >> " + std::to_string(depth - 8) +
        " as 8-bit levels; the overview's differences are in " + std::to_string(depth) + "-bit levels)";
  else if (read.toDepth8)
    d += " (--depth 8: 16-bit images shifted from " +
         (read.bitDepth ? "depth " + std::to_string(read.bitDepth) : std::string("their declared depth")) + ")";
  return {{"bit depth", d}, {"--to-gray", toGraySetting(read)}};
}

void trainTool(mxImageNormalizer& tool, Method methods, mxDiagObject* diag) {
  tool.train(methods, diag, mxDiagObject::eAll);
}
// The 16-bit and colour tools make no records.
void trainTool(mxImageNormalizer16& tool, Method methods, mxDiagObject*) { tool.train(methods); }
template <class Pel>
void trainTool(ColorTool<Pel>& tool, Method methods, mxDiagObject*) {
  tool.tool.train(methods);
}

// The methods a train command trains: those named (the 16-bit tool refuses
// any it does not run), else every method the tool runs ('all' too).
std::uint32_t methodsToTrain(const TrainArgs& args, CliTool& tool) {
  std::uint32_t methods = 0;
  for (const std::string& m : args.methods) methods |= parseMethodList(m, "--methods");
  if (args.methods.empty()) methods = kAllMethods;
  if (!tool.isDeep) return methods;
  if (methods != kAllMethods) {
    refuseDeepMethods(tool.deepGrey(), methods, "--methods");
    return methods;
  }
  return methods & deepMethods(tool.deepGrey());
}

// The parameters of a 16-bit or colour tool as the report's rows (the 8-bit
// tool's come from its records); a colour tool's mode first.
std::vector<std::pair<std::string, std::string>> parameterRows(const mxImageNormalizer&) { return {}; }
template <class Tool>
std::vector<std::pair<std::string, std::string>> parameterRows(const Tool& t) {
  auto pair = [](auto p) { return mfToUtf8(mfStr(p.x())) + "," + mfToUtf8(mfStr(p.y())); };
  std::vector<std::pair<std::string, std::string>> rows;
  if constexpr (!std::is_same_v<Tool, mxImageNormalizer16>)
    rows.push_back({"--color", colorText(t) + " (pictures, plots and measures show the luma)"});
  rows.insert(rows.end(), {{"--tail-fractions", pair(t.tailFractions())},
                           {"--neighborhood", pair(t.neighborhoodSize())},
                           {"--granularity", pair(t.granularity())},
                           {"--intensity-range", pair(t.intensityVariationRange())},
                           {"--keep-masked", t.keepMaskedPixels() ? "yes" : "no"}});
  return rows;
}

}  // namespace

ExitCode cmdTrain(const TrainArgs& args) {
  for (const std::string& m : args.methods) parseMethodList(m, "--methods");  // names checked before any work
  refuseOverwrite("-o", args.output, {{args.tool.reference, "the reference image"}, {args.tool.mask, "the mask image"}},
                  args.inPlace);
  Warnings warnings;
  if (isImageName(args.output))
    warnings.warn("tool-name", "-o " + args.output +
                                   ": a tool file with an image extension; other programs will take it for an image "
                                   "(.imn is the usual extension)");
  std::unique_ptr<Diagnostics> diag = openDiagnostics(args.diag);
  if (diag) diag->folder.refuseClash(args.output);
  prepareFolderOf(args.output);
  CliTool tool;
  configureTool(args.tool, tool);
  const std::uint32_t methods = methodsToTrain(args, tool);
  std::string failure;
  std::string size;
  withTool(tool, [&](auto& t) {
    // All methods are trained when none are named: warn only about what was asked for.
    if (!args.methods.empty()) warnAboutMethods(t, methods, warnings);
    try {
      trainTool(t, Method(methods), diag ? &diag->training : nullptr);
    } catch (const mxImageNormalizerDefs::Errors& e) {
      failure = args.tool.reference + ": cannot train " + methodSetText(methods) + ": " + userMessage(e.message());
    } catch (const mxException& e) {
      failure = args.tool.reference + ": cannot train: " + userMessage(e.message());
    }
    if (failure.empty()) saveTool(args.output, t);
    size = sizeText(t.referenceImage());
    if (!diag) return 0;
    ReportSetup setup = reportSetup(args.commandLine, methods, false);
    setup.settings = readSettings(tool.depth(), args.tool.read);
    setup.settings.insert(setup.settings.begin(), {"tool file", args.output});
    for (const auto& row : parameterRows(t)) setup.settings.push_back(row);
    setup.referencePath = args.tool.reference, setup.maskPath = args.tool.mask;
    mxImageNormalizer view;
    DiagReport report(diag->folder, reportTool(t, view), setup);
    report.addTraining(diag->training);
    report.finish(warnings.entries(), failure.empty() ? "Trained; tool file " + args.output : failure);
    return 0;
  });
  if (!failure.empty()) throw CliError(kExitInput, failure);
  std::cout << "imgnorm: trained " << methodSetText(methods) << " on " << args.tool.reference << " (" << size
            << (tool.isColor  ? ", colour " + withTool(tool, [](auto& t) { return colorText(t); })
                : tool.isDeep ? ", " + depthText(tool)
                              : std::string())
            << ") -> " << args.output << "\n";
  return kExitOk;
}

namespace {

// --stats: checked before any work.  The file may not be one of the
// command's files (an input, an output, the reference, mask or tool file, the
// report's own); a streamed run writes one TIFF block by block and measures
// nothing, so it takes no statistics.
std::unique_ptr<StatsFile> openStats(const RunArgs& args, const std::vector<NamedInput>& others,
                                     const Diagnostics* diag, bool streamed) {
  if (args.stats.empty()) return nullptr;
  if (streamed)
    throw CliError(kExitUsage,
                   "--stats: a TIFF streamed block by block (--block-size, or a reference beyond "
                   "--max-pixels) gives no statistics; drop --stats");
  if (diag) diag->folder.refuseClash(args.stats);
  std::vector<NamedInput> files = others;
  files.push_back({args.output, "the output"});
  for (const BatchItem& it : planBatch(args.inputs, args.output, args.format, others, args.inPlace).items) {
    files.push_back({it.input, "an input image"});
    files.push_back({it.output, "an output image"});
  }
  return std::make_unique<StatsFile>(args.stats, files);
}

// A 16-bit result cannot go into a format of 8 bits (JPEG): refused before
// any work.
// A colour result cannot go into a format of grey images (PGM); an RGBA one
// into JPEG is refused image by image.
// toolFile: the tool file of a run (empty when normalize trains the tool),
// whose depth --depth 8 cannot change.
void refuseDeepOutputs(const mxImageNormalizer&, const BatchPlan&, const std::string&) {}
template <class Tool>
void refuseDeepOutputs(const Tool& tool, const BatchPlan& plan, const std::string& toolFile) {
  for (const BatchItem& it : plan.items) {
    if (it.output.empty()) continue;
    const bool colour = !std::is_same_v<Tool, mxImageNormalizer16>;
    std::string refusal = tool.bitDepth() > 8 ? deepOutputRefusal(it.output, toolFile) : std::string();
    if (colour && !refusal.empty()) {
      std::vector<std::string> able;
      for (const Codec& c : codecs())
        if (c.colour && c.encode16) able.push_back(c.name);
      refusal = it.output + ": the result is 16-bit colour, and this format holds 8 bits; " +
                (toolFile.empty() ? "give --depth 8 to normalize in 8 bits, or write " + joinList(able, " or ")
                                  : "write " + joinList(able, " or ") + ", or train an 8-bit colour tool with --depth 8");
    }
    if (refusal.empty() && colour) refusal = colourOutputRefusal(it.output, 3);
    if (!refusal.empty()) throw CliError(kExitUsage, refusal);
  }
}

std::int32_t depthOf(const mxImageNormalizer&) { return 8; }
template <class Tool>
std::int32_t depthOf(const Tool& tool) {
  return tool.bitDepth();
}

template <class Tool>
ExitCode runWithTool(const Tool& tool, const RunArgs& args, Method method, Diagnostics* diag,
                     const std::vector<NamedInput>& others, Warnings& warnings, const StatsFile* stats) {
  const BatchPlan plan = planBatch(args.inputs, args.output, args.format, others, args.inPlace);
  refuseReportClash(diag, plan);
  refuseDeepOutputs(tool, plan, args.toolFile);
  // The output folder (or the output file's folder) must be writable before any work.
  bool toFile = plan.items.size() == 1 && plan.items[0].output == args.output;
  if (toFile)
    prepareFolderOf(args.output);
  else
    prepareOutputFolder(args.output);
  warnAboutMethods(tool, method, warnings);
  BatchOptions options;
  options.method = method;
  options.read = args.read;
  options.write = args.write;
  options.jobs = args.jobs;
  options.threads = args.threads;
  options.quiet = args.quiet && !diag;  // the report shows the summary line
  options.warnings = &warnings;
  options.stats = stats;
  options.toolName = args.toolFile.empty() ? "the tool trained on " + args.tool.reference : args.toolFile;
  std::unique_ptr<DiagReport> report;
  mxImageNormalizer view;
  if (diag) {
    ReportSetup setup = reportSetup(args.commandLine, method, true);
    if (!args.toolFile.empty()) setup.settings.push_back({"tool file", args.toolFile});
    setup.settings.push_back({"output", args.output});
    for (const auto& row : readSettings(depthOf(tool), args.read)) setup.settings.push_back(row);
    for (const auto& row : parameterRows(tool)) setup.settings.push_back(row);
    setup.referencePath = args.tool.reference, setup.maskPath = args.tool.mask;  // normalize's; empty for run
    report = std::make_unique<DiagReport>(diag->folder, reportTool(tool, view), setup);
    report->addTraining(diag->training);
    options.report = report.get();
  }
  std::ostringstream summary;
  ExitCode code = runBatch(tool, plan, options, summary);
  if (!args.quiet) std::cout << summary.str() << std::flush;
  if (report) {
    std::string line = summary.str();
    line = line.substr(0, line.find('\n'));
    if (line.rfind("imgnorm: ", 0) == 0) line.erase(0, 9);
    report->finish(warnings.entries(), line);
    if (report->incomplete()) code = worseExit(code, kExitOutput);
  }
  return code;
}

}  // namespace

namespace {

// A streamed run writes one file: it may not name its input, the reference,
// the mask or the tool file.
void refuseStreamOverwrite(const RunArgs& args, std::vector<NamedInput> others) {
  for (const std::string& in : args.inputs) others.push_back({in, "an input image"});
  refuseOverwrite("-o", args.output, others, args.inPlace);
  for (const NamedInput& in : others)
    if (!in.path.empty() && fileIdentity(in.path) == fileIdentity(args.output)) refuseReplacingPages(in);
}

}  // namespace

namespace {

// A 16-bit tool file keeps its depth: --depth 8 and another --bit-depth are
// refused.
void checkDeepRun(const RunArgs& args, const mxImageNormalizer16& tool) {
  const std::string what = args.toolFile + " holds a 16-bit tool (depth " + std::to_string(tool.bitDepth()) + ")";
  if (args.read.toDepth8)
    throw CliError(kExitUsage, "--depth 8: " + what +
                                   ", which normalizes 16-bit images and keeps their depth; drop --depth 8, or "
                                   "train an 8-bit tool with --depth 8");
  if (args.read.bitDepth && args.read.bitDepth != tool.bitDepth())
    throw CliError(kExitUsage, "--bit-depth " + std::to_string(args.read.bitDepth) + ": " + what +
                                   ", whose depth was declared when it was trained; drop --bit-depth");
}

// A colour tool file keeps its mode and depth: another --color, --to-gray,
// --depth 8 with a 16-bit colour tool and another --bit-depth (but with
// --depth 8 for an 8-bit one) are refused; --color with a grey tool file too.
void checkColorRun(const RunArgs& args, CliTool& tool) {
  const std::string color = args.tool.color;
  if (!tool.isColor) {
    if (!color.empty())
      throw CliError(kExitUsage, "--color " + color + ": " + args.toolFile +
                                     " holds a grey tool, which normalizes grey images; drop --color, or train a "
                                     "colour tool on a colour reference with --color");
    return;
  }
  const std::string what =
      args.toolFile + " holds a colour tool (" + withTool(tool, [](auto& t) { return colorText(t); }) + ")";
  const mxColorNormalizer::Mode mode = tool.isDeep ? tool.colour16.tool.mode() : tool.colour8.tool.mode();
  if (!color.empty() && parseColorMode(color, "--color") != mode)
    throw CliError(kExitUsage, "--color " + color + ": " + what +
                                   ", whose mode was chosen when it was trained; "
                                   "drop --color, or train a tool in that mode");
  auto refuse = [&](const std::string& option, const std::string& why) {
    throw CliError(kExitUsage, option + ": " + what + "; " + why);
  };
  if (args.read.toGray)
    refuse("--to-gray", "it normalizes colour images in colour: drop --to-gray, or use a grey tool");
  if (args.read.toDepth8 && tool.isDeep)
    refuse("--depth 8",
           "it normalizes 16-bit colour images and keeps their depth: drop --depth 8, or train an "
           "8-bit colour tool with --depth 8");
  // An 8-bit colour tool takes --bit-depth with --depth 8: the depth its 16-bit inputs are shifted from.
  if (args.read.bitDepth && args.read.bitDepth != tool.depth() && !(args.read.toDepth8 && !tool.isDeep))
    refuse("--bit-depth " + std::to_string(args.read.bitDepth), "its depth was declared when it was trained: drop it");
}

}  // namespace

ExitCode cmdRun(const RunArgs& args) {
  const Method method = parseMethod(args.method, "--method");
  std::unique_ptr<Diagnostics> diag = openDiagnostics(args.diag);
  CliTool tool;
  tool.isDeep = toolPelBits(args.toolFile) == 16;
  tool.isColor = toolIsColor(args.toolFile);
  const std::vector<NamedInput> others = {{args.toolFile, "the tool file"}};
  const bool streamed = wantsStreaming(args, false);
  return withTool(tool, [&](auto& t) {
    loadTool(args.toolFile, t);
    if (method != eIdentity && !(t.trainedMethods() & method))
      throw CliError(kExitUsage, "--method " + args.method + ": " + args.toolFile +
                                     " is not trained for it (trained: " + methodSetText(t.trainedMethods()) + ")");
    checkColorRun(args, tool);
    if (tool.isDeep && !tool.isColor) checkDeepRun(args, tool.deep);
    // An 8-bit grey tool reads 16-bit images only with --depth 8, which
    // shifts them from the declared depth: without it --bit-depth would do
    // nothing.
    if (!tool.isDeep && !tool.isColor && args.read.bitDepth && !args.read.toDepth8)
      throw CliError(kExitUsage, "--bit-depth " + std::to_string(args.read.bitDepth) + ": " + args.toolFile +
                                     " holds an 8-bit tool, for which --bit-depth declares the depth that --depth 8 "
                                     "shifts 16-bit images from; give --depth 8 with it, or drop it");
    const std::unique_ptr<StatsFile> stats = openStats(args, others, diag.get(), streamed);
    if (streamed) {
      refuseStreamOverwrite(args, others);
      if (tool.isColor) return runStreamed(args, method, tool.isDeep ? tool.colour16.tool : tool.colour8.tool);
      return tool.isDeep ? runStreamed(args, method, tool.deep) : runStreamed(args, method, &tool.eight);
    }
    Warnings warnings;
    return runWithTool(t, args, method, diag.get(), others, warnings, stats.get());
  });
}

ExitCode cmdNormalize(const RunArgs& args) {
  const Method method = parseMethod(args.method, "--method");
  std::unique_ptr<Diagnostics> diag = openDiagnostics(args.diag);
  // Checked before the reference is read: -o naming the reference or mask.
  const std::vector<NamedInput> others = {{args.tool.reference, "the reference image"},
                                          {args.tool.mask, "the mask image"}};
  const bool streamed = wantsStreaming(args, true);
  if (streamed && !args.tool.color.empty())
    throw CliError(kExitUsage, "--color " + args.tool.color +
                                   ": colour images are not normalized block by block; drop --block-size (the image "
                                   "is read whole), or give -o a name of another format");
  const std::unique_ptr<StatsFile> stats = openStats(args, others, diag.get(), streamed);
  if (streamed) {
    refuseStreamOverwrite(args, others);
    return runStreamed(args, method, nullptr);
  }
  refuseReportClash(diag.get(), planBatch(args.inputs, args.output, args.format, others, args.inPlace));
  CliTool tool;
  configureTool(args.tool, tool);
  if (tool.isDeep) refuseDeepMethods(tool.deepGrey(), method, "--method " + args.method);
  return withTool(tool, [&](auto& t) {
    try {
      trainTool(t, method, diag ? &diag->training : nullptr);  // only the method asked for
    } catch (const mxException& e) {
      const std::string failure =
          args.tool.reference + ": cannot train " + args.method + ": " + userMessage(e.message());
      if (diag) {
        mxImageNormalizer view;
        DiagReport report(diag->folder, reportTool(t, view), reportSetup(args.commandLine, method, false));
        report.addTraining(diag->training);
        report.finish({}, failure);
      }
      throw CliError(kExitInput, failure);
    }
    Warnings warnings;
    return runWithTool(t, args, method, diag.get(), others, warnings, stats.get());
  });
}

namespace {

bool relativeCountsOf(const mxImageNormalizer& tool) { return tool.relativeCounts(); }
bool relativeCountsOf(const mxImageNormalizer16&) { return false; }
template <class Pel>
bool relativeCountsOf(const ColorTool<Pel>& tool) {
  return tool.relativeCounts();
}

template <class Tool>
void printTool(const Tool& tool) {
  const auto& ref = tool.referenceImage();
  const auto& mask = tool.maskImage();
  auto pairText = [](auto p) { return mfToUtf8(mfStr(p.x())) + ", " + mfToUtf8(mfStr(p.y())); };
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
  if (relativeCountsOf(tool)) std::cout << "relative counts:   yes (histogram matching by fractions)\n";
}

}  // namespace

ExitCode cmdInfo(const InfoArgs& args) {
  const std::vector<std::uint8_t> bytes = readFileBytes(args.toolFile);
  CliTool tool;
  tool.isDeep = toolPelBits(args.toolFile) == 16;
  tool.isColor = toolIsColor(args.toolFile);
  withTool(tool, [&](auto& t) {
    loadTool(args.toolFile, t);
    return 0;
  });
  std::cout << "tool file:         " << args.toolFile << " (format version "
            << (tool.isColor  ? mxToolFile::kColorFormatVersion
                : tool.isDeep ? mxToolFile::kDeepFormatVersion
                              : kToolFormatVersion)
            << ", " << bytes.size() << " bytes)\n";
  std::cout << "bit depth:         " << (tool.isDeep ? depthText(tool) + " (16-bit images, kept 16-bit)" : "8-bit")
            << "\n";
  std::cout << "colour:            "
            << (tool.isColor ? withTool(tool, [](auto& t) { return colorText(t); }) : std::string("no (grey images)"))
            << "\n";
  withTool(tool, [&](auto& t) {
    printTool(t);
    return 0;
  });
  return kExitOk;
}

}  // namespace imgnormcli

// imgnorm: the command-line program of the grey-level normalization library.
//
//   imgnorm train -r REF [-m MASK] [--methods LIST] [parameters] -o TOOLFILE
//   imgnorm run TOOLFILE --method NAME INPUT... -o OUT
//   imgnorm normalize -r REF [-m MASK] --method NAME [parameters] INPUT... -o OUT
//   imgnorm info TOOLFILE
//   imgnorm demo [--data DIR] [--out DIR]
#include <charconv>
#include <climits>
#include <iostream>
#include <new>
#include <sstream>

#include <CLI/CLI.hpp>

#include "app/commands.h"
#include "baseif/mxException.h"
#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "common/options.h"
#include "io/codecs.h"
#include "io/image_io.h"

#ifndef IMGNORM_VERSION
#define IMGNORM_VERSION "unknown"
#endif

using namespace imgnormcli;

namespace {

// A whole number from lo to hi.  (CLI11's own range checks print the limits
// of a double, "0.000000 to 1.797...e308", and say the same of any text.)
CLI::Validator wholeNumber(std::int64_t lo, std::int64_t hi = INT_MAX) {
  const std::string range = std::to_string(lo) + " to " + std::to_string(hi);
  return CLI::Validator(
      [lo, hi, range](std::string& text) -> std::string {
        std::int64_t v = 0;
        const char* end = text.data() + text.size();
        const auto r = std::from_chars(text.data(), end, v);
        if (r.ec == std::errc() && r.ptr == end && v >= lo && v <= hi) return "";
        return "expected a whole number from " + range + ", got '" + text + "'";
      },
      hi == INT_MAX ? (lo == 0 ? "NONNEGATIVE" : "POSITIVE") : std::to_string(lo) + ".." + std::to_string(hi));
}

void addToolOptions(CLI::App* cmd, ToolOptions& o) {
  cmd->add_option("-r,--reference", o.reference,
                  "Reference image (8- or 16-bit grey " + joinList(formatList(false), " or ") +
                      "; a 16-bit one makes a 16-bit tool; colour with --color)")
      ->required();
  cmd->add_option("-m,--mask", o.mask, "Mask image of the reference's size: non-zero pels select");
  cmd->add_option("--tail-fractions", o.tailFractions,
                  "LOW,HIGH: histogram fractions matched by 'tails', 0 <= LOW <= HIGH <= 1 (default 0,1)");
  cmd->add_option("--neighborhood", o.neighborhood,
                  "N, W,H or WxH: neighbourhood of the local methods in pels, >= 1 (default 101)");
  cmd->add_option("--granularity", o.granularity,
                  "N, W,H or WxH: sub-sampling step of the local methods, >= 1 (default 1)");
  cmd->add_option("--intensity-range", o.intensityRange,
                  "LOW,HIGH: limits of the local methods' difference, LOW <= 0 <= HIGH (default -127,127)");
  cmd->add_flag("--keep-masked", o.keepMasked, "Keep the input's own pels where the mask is zero");
  cmd->add_flag("--relative-counts", o.relativeCounts,
                "'histogram' compares cumulative counts as fractions of each region's pels, so images of "
                "another size match (an extension; stored in the tool file)");
}

// Image reading and writing options as given; turned into ReadOptions and
// WriteOptions after parsing, so that a bad value is a usage error.
struct ImageArgs {
  CLI::Option* toGrayOption = nullptr;
  std::string toGray;  // the scaling; "auto" for the bare flag
  std::int32_t page = 1;
  std::uint64_t maxPixels = kDefaultMaxPixels;
  int pngLevel = -1;
  std::string compression = "none";
  std::int32_t bitDepth = 0;  // 0: each file's own
  int depth = 0;              // 8: --depth 8
  int quality = 95;
  std::string color;  // --color per-channel|luminance

  ReadOptions read() const {
    ReadOptions o;
    o.toGray = toGrayOption && toGrayOption->count() > 0;
    if (o.toGray) o.scaling = parseGrayScaling(toGray, "--to-gray");
    o.page = page;
    o.maxPixels = maxPixels;
    o.bitDepth = bitDepth;
    o.toDepth8 = depth == 8;
    return o;
  }
  WriteOptions write() const {
    WriteOptions o;
    checkPngLevel(pngLevel, "--png-level");
    o.pngLevel = pngLevel;
    o.compression = parseTiffCompression(compression, "--compression");
    o.quality = quality;
    return o;
  }
};

void addReadOptions(CLI::App* cmd, ImageArgs& a) {
  a.toGrayOption =
      cmd->add_flag("--to-gray{auto}", a.toGray,
                    "Convert colour, alpha and deeper than 8-bit images to 8-bit grey (luma), for the 8-bit tool.  "
                    "--to-gray=SCALING says how deeper samples become 8 bits: auto (default: the image's own range, "
                    "0.01 % cut at each end), shift:N (v >> N), "
                    "range:LO,HI (LO -> 0, HI -> 255) or full (the whole depth, e.g. 65535 -> 255)");
  cmd->add_option("--bit-depth", a.bitDepth,
                  "Declared depth of 16-bit images, 9..16 (default: the file's own: a PGM's or PPM's maximum value, "
                  "a TIFF's bits per sample, 16 for PNG); a pel above it is refused")
      ->check(wholeNumber(9, 16));
  cmd->add_option("--depth", a.depth,
                  "8: normalize 16-bit images (grey, or colour with --color) in 8 bits, as v >> (depth - 8) from the "
                  "declared depth, the same for every image (default: 16-bit images keep their depth, through the "
                  "16-bit tool)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return text == "8"
                       ? ""
                       : "only 8 is accepted (16-bit images keep their depth without --depth), got '" + text + "'";
          },
          "8"));
  cmd->add_option("--color", a.color,
                  "per-channel or luminance: normalize colour (RGB, RGBA) images in colour, each channel against the "
                  "reference's same channel, or the luma only with the chroma kept; trains a colour tool on a colour "
                  "reference (run: the tool file's mode, which this must match)");
  cmd->add_option("--page", a.page, "Page of multi-page TIFF files to read, from 1 (default 1)")->check(wholeNumber(1));
  cmd->add_option("--max-pixels", a.maxPixels,
                  "Largest image read, in pels; larger headers are refused before any memory is taken "
                  "(default 268435456 = 16384 x 16384)")
      ->check(wholeNumber(1, std::int64_t(kMaxPixelsLimit)));
}

void addWriteOptions(CLI::App* cmd, ImageArgs& a) {
  cmd->add_option("--png-level", a.pngLevel,
                  "zlib level 0..9 of PNG outputs (default: fast settings, level 1 with run-length matching)")
      ->check(wholeNumber(0, 9));
  cmd->add_option("--compression", a.compression, "Compression of TIFF outputs: none (default), lzw, deflate, zstd");
  cmd->add_option("--quality", a.quality, "Quality of JPEG outputs (8-bit only), 1..100 (default 95)")
      ->check(wholeNumber(1, 100));
}

// One line per method, the summary wrapped at 100 columns under its column.
std::string methodHelp() {
  constexpr std::size_t kIndent = 16, kWidth = 100;
  std::string s = "Methods:\n";
  for (const MethodInfo& m : methodTable()) {
    std::string line = "  " + std::string(m.name);
    line.resize(kIndent, ' ');
    std::istringstream words(m.summary);
    std::string word;
    bool first = true;
    while (words >> word) {
      if (!first && line.size() + 1 + word.size() > kWidth) {
        s += line + "\n";
        line = std::string(kIndent, ' ') + word;
      } else {
        line += (first ? "" : " ") + word;
      }
      first = false;
    }
    s += line + "\n";
  }
  return s;
}

// The command line as typed, quoted where a shell would need it, for the
// diagnostics report.
std::string quotedCommandLine(int argc, char** argv) {
  std::string commandLine = "imgnorm";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\$`*?[]#;&|<>()") == std::string::npos;
    commandLine += " " + (plain ? a : "'" + a + "'");
  }
  return commandLine;
}

CLI::App* addTrain(CLI::App& app, TrainArgs& train, ImageArgs& images) {
  CLI::App* cmd = app.add_subcommand("train", "Train a tool on a reference image and save it as a tool file");
  addToolOptions(cmd, train.tool);
  cmd->add_option("--methods", train.methods,
                  "Methods to train: comma-separated names or 'all' (default all); may be repeated");
  cmd->add_option("-o,--output", train.output, "Tool file to write")->required();
  cmd->add_option("--diag", train.diag, "Write a diagnostics report to this folder (index.html)");
  addReadOptions(cmd, images);
  cmd->add_flag("--in-place", train.inPlace, "Allow -o to name the reference or mask image (overwriting it)");
  cmd->footer(methodHelp());
  return cmd;
}

// The options `run` and `normalize` share.
void addRunOptions(CLI::App* cmd, RunArgs& a, ImageArgs& images) {
  cmd->add_option("--method", a.method, "The method to run (see below)")->required();
  cmd->add_option("-o,--output", a.output, "Output folder, or output image file when there is one input file")
      ->required();
  cmd->add_option(
      "--format", a.format,
      "Output format in a folder: " + joinList(extensionList(true, ""), " or ") + " (default: as the input)");
  cmd->add_option("--diag", a.diag, "Write a diagnostics report to this folder (index.html)");
  cmd->add_option("--stats", a.stats, "Write one line of statistics per image to this file (.csv or .jsonl)");
  addReadOptions(cmd, images);
  addWriteOptions(cmd, images);
  cmd->add_option("-j,--jobs", a.jobs, "Images processed in parallel (0: one per processor; default 1)")
      ->check(wholeNumber(0));
  cmd->add_option("--threads", a.threads,
                  "Threads on one image (0: one per processor when one image is processed at a time, else 1; "
                  "default 0); the result is the same for any number")
      ->check(wholeNumber(0));
  cmd->add_flag("-q,--quiet", a.quiet, "No summary");
  cmd->add_flag("--in-place", a.inPlace,
                "Allow outputs that overwrite an input image (or the reference, mask or tool file)");
  cmd->add_option("--block-size", a.blockSize,
                  "Stream one TIFF input to a TIFF output in blocks of N x N pels (memory bounded by the block, "
                  "not the image); chosen with N = 1024 for TIFF inputs too large to load")
      ->check(wholeNumber(1));
  cmd->footer(methodHelp() + "\n" + exitCodeHelp());
}

CLI::App* addDemo(CLI::App& app, DemoArgs& demo) {
  CLI::App* cmd = app.add_subcommand(
      "demo", "Distort each sample image in known ways, normalize with every method, report the errors");
  cmd->add_option("--data", demo.data, "Folder of sample PNG images (default data)");
  cmd->add_option("--out", demo.out, "Output folder (default out/demo)");
  cmd->add_option("--samples", demo.samples, "Sample names to use (default: every PNG in --data)")->delimiter(',');
  cmd->add_option("--noise", demo.noise, "Standard deviation of the added noise in grey levels (default 3)");
  cmd->add_option("--tail-fractions", demo.tailFractions, "Tail fractions of 'tails' (default 0.01,0.99)");
  cmd->add_option("--neighborhood", demo.neighborhood, "Neighbourhood of the local methods (default 101)");
  cmd->add_option("--granularity", demo.granularity, "Sub-sampling step of the local methods (default 1)");
  cmd->add_option("--max-side", demo.maxSide, "Largest side of a contact-sheet thumbnail (default 256)");
  cmd->add_option("-j,--jobs", demo.jobs, "Cases processed in parallel (0: one per processor; default 1)")
      ->check(wholeNumber(0));
  return cmd;
}

// Runs a command; every error becomes one line on standard error and its
// exit code.
template <class Command>
int runReportingErrors(Command&& command) {
  try {
    return command();
  } catch (const CliError& e) {
    std::cerr << "imgnorm: " << e.what() << "\n";
    return e.code();
  } catch (const mxException& e) {
    std::cerr << "imgnorm: " << userMessage(e.message()) << "\n";
    return kExitInternal;
  } catch (const std::bad_alloc&) {
    std::cerr << "imgnorm: out of memory (exit code 5)\n";
    return kExitInternal;
  } catch (const std::exception& e) {
    std::cerr << "imgnorm: internal error: " << e.what() << "\n";
    return kExitInternal;
  }
}

}  // namespace

int main(int argc, char** argv) {
  installCodecHandlers();
  removeTemporariesOnInterrupt();
  CLI::App app{"imgnorm " IMGNORM_VERSION
               " - normalize the grey levels of 8- and 16-bit images towards a reference image"};
  app.name("imgnorm");
  app.set_version_flag("--version", "imgnorm " IMGNORM_VERSION);
  app.require_subcommand(1);
  app.footer(methodHelp() + "\n" + exitCodeHelp());
  const std::string commandLine = quotedCommandLine(argc, argv);

  ImageArgs trainImages, runImages, normalizeImages;
  TrainArgs train;
  train.commandLine = commandLine;
  CLI::App* cTrain = addTrain(app, train, trainImages);

  RunArgs run;
  CLI::App* cRun = app.add_subcommand("run", "Normalize images with a trained tool file");
  cRun->add_option("tool", run.toolFile, "Tool file written by 'imgnorm train'")->required();
  cRun->add_option("inputs", run.inputs, "Images or folders of images")->required();
  RunArgs normalize;
  run.commandLine = normalize.commandLine = commandLine;
  CLI::App* cNorm = app.add_subcommand("normalize", "Train for one method and normalize images in one step");
  addToolOptions(cNorm, normalize.tool);
  cNorm->add_option("inputs", normalize.inputs, "Images or folders of images")->required();
  addRunOptions(cRun, run, runImages);
  addRunOptions(cNorm, normalize, normalizeImages);

  InfoArgs info;
  CLI::App* cInfo = app.add_subcommand("info", "Show what a tool file holds");
  cInfo->add_option("tool", info.toolFile, "Tool file")->required();
  DemoArgs demo;
  CLI::App* cDemo = addDemo(app, demo);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::cerr << "imgnorm: " << e.what() << " (see imgnorm --help)\n";
    return kExitUsage;
  }

  return runReportingErrors([&]() -> int {
    if (cTrain->parsed()) {
      train.tool.read = trainImages.read();
      train.tool.color = trainImages.color;
      return cmdTrain(train);
    }
    if (cRun->parsed()) {
      run.read = runImages.read();
      run.tool.color = runImages.color;
      run.write = runImages.write();
      return cmdRun(run);
    }
    if (cNorm->parsed()) {
      normalize.read = normalize.tool.read = normalizeImages.read();
      normalize.tool.color = normalizeImages.color;
      normalize.write = normalizeImages.write();
      return cmdNormalize(normalize);
    }
    if (cInfo->parsed()) return cmdInfo(info);
    if (cDemo->parsed()) return cmdDemo(demo);
    return kExitUsage;
  });
}

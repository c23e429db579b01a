// The demonstration on sample images: every sample serves as the reference,
// known distortions of it are the run-time images, every method normalizes
// every one of them, and the mean absolute error to the reference shows which
// method undoes which distortion.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>

#include "app/commands.h"
#include "app/demo/contact_sheet.h"
#include "app/demo/distort.h"
#include "baseif/mxStr.h"
#include "batch/batch.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/image_io.h"

namespace fs = std::filesystem;

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

namespace {

// The methods in the order of the table and the sheet.
std::vector<MethodInfo> demoMethods() {
  std::vector<MethodInfo> m;
  for (const MethodInfo& info : methodTable())
    if (info.method != eIdentity) m.push_back(info);
  return m;
}

struct Case {  // one sample under one distortion
  std::size_t sample;
  DistortionInfo distortion;
  mxPelBuffer<unsigned char> distorted;
  double distortedError = -1.0;
  std::vector<mxPelBuffer<unsigned char>> results;  // per method; unbound when it failed
  std::vector<double> errors;                       // per method; negative when it failed
  std::vector<std::string> failures;                // per method; the reason
  std::string error;                                // a write error
};

std::string fixed1(double v) {
  if (v < 0.0) return "fail";
  char b[32];
  std::snprintf(b, sizeof b, "%.1f", v);
  return b;
}

// One table: rows are distortions, columns the distorted input and the methods;
// the smallest error of a row is marked with '*'.
void printTable(std::ostream& os, const std::string& title, const std::vector<std::string>& rowNames,
                const std::vector<std::vector<double>>& values, const std::vector<std::string>& columns) {
  const int firstW = 13, colW = 13;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%-*s", firstW, title.c_str());
  os << buf;
  for (const std::string& c : columns) {
    std::snprintf(buf, sizeof buf, "%*s", colW, c.c_str());
    os << buf;
  }
  os << "\n";
  for (std::size_t r = 0; r < rowNames.size(); ++r) {
    std::snprintf(buf, sizeof buf, "%-*s", firstW, rowNames[r].c_str());
    os << buf;
    double best = -1.0;
    for (std::size_t c = 1; c < values[r].size(); ++c)
      if (values[r][c] >= 0.0 && (best < 0.0 || values[r][c] < best)) best = values[r][c];
    for (std::size_t c = 0; c < values[r].size(); ++c) {
      const std::string text = fixed1(values[r][c]) + (c > 0 && values[r][c] == best ? "*" : " ");
      std::snprintf(buf, sizeof buf, "%*s", colW + 1, text.c_str());
      os << std::string(buf).substr(1);
    }
    os << "\n";
  }
}

// The samples: every PNG of the data folder, or the named ones.
std::vector<std::string> sampleFiles(const DemoArgs& args) {
  std::error_code ec;
  if (!fs::is_directory(args.data, ec)) throw CliError(kExitInput, "--data " + args.data + ": no such folder");
  std::vector<std::string> files;
  if (!args.samples.empty()) {
    for (const std::string& s : args.samples) files.push_back((fs::path(args.data) / (s + ".png")).string());
    return files;
  }
  for (fs::directory_iterator it(args.data, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.' && lowerExtension(name) == "png") files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) throw CliError(kExitInput, "--data " + args.data + ": holds no .png sample images");
  return files;
}

// The samples with one tool each, trained for every method, and a folder
// each for their images.
struct Samples {
  std::vector<std::string> files, stems;
  std::vector<mxImageNormalizer> tools;
};

Samples trainSamples(const DemoArgs& args) {
  Samples samples;
  samples.files = sampleFiles(args);
  ToolOptions params;
  params.tailFractions = args.tailFractions;
  params.neighborhood = args.neighborhood;
  params.granularity = args.granularity;
  prepareOutputFolder(args.out);
  samples.tools.resize(samples.files.size());
  for (std::size_t s = 0; s < samples.files.size(); ++s) {
    params.reference = samples.files[s];
    configureTool(params, samples.tools[s]);
    try {
      samples.tools[s].train(Method(kAllMethods));
    } catch (const mxException& e) {
      throw CliError(kExitInput, samples.files[s] + ": cannot train: " + mfToUtf8(e.message()));
    }
    samples.stems.push_back(fileStem(samples.files[s]));
    prepareOutputFolder((fs::path(args.out) / samples.stems.back()).string());
  }
  return samples;
}

// One case: the sample distorted, then normalized by every method; the
// images are written into folder.  Errors are thrown.
void runCase(Case& c, const mxImageNormalizer& tool, const std::vector<MethodInfo>& methods, const std::string& stem,
             const std::string& folder, double noise) {
  c.distorted = distort(tool.referenceImage(), c.distortion.kind, noise, seedFromText(stem + "/" + c.distortion.name));
  c.distortedError = meanAbsoluteError(c.distorted, tool.referenceImage());
  writeImage((fs::path(folder) / (std::string(c.distortion.name) + ".png")).string(), c.distorted);
  for (const MethodInfo& m : methods) {
    bool success = false;
    std::wstring message;
    mxPelBuffer<unsigned char> out;
    try {
      out = tool.run(c.distorted, m.method, success, message);
    } catch (const mxException& e) {
      message = e.message();
    }
    if (!success || !out.isBound()) {
      c.results.emplace_back();
      c.errors.push_back(-1.0);
      c.failures.push_back(mfToUtf8(message));
      continue;
    }
    c.results.push_back(out);
    c.errors.push_back(meanAbsoluteError(out, tool.referenceImage()));
    c.failures.emplace_back();
    writeImage((fs::path(folder) / (std::string(c.distortion.name) + "-" + m.name + ".png")).string(), out);
  }
}

// Every case on its own, across threads; each thread runs a copy of the
// tools.  A write error of any case is thrown after the threads have joined.
void runCases(std::vector<Case>& cases, const Samples& samples, const std::vector<MethodInfo>& methods,
              const DemoArgs& args) {
  std::atomic<std::size_t> next{0};
  auto worker = [&]() {
    std::vector<mxImageNormalizer> mine(samples.tools);
    for (std::size_t i = next.fetch_add(1); i < cases.size(); i = next.fetch_add(1)) {
      Case& c = cases[i];
      const std::string& stem = samples.stems[c.sample];
      try {
        runCase(c, mine[c.sample], methods, stem, (fs::path(args.out) / stem).string(), args.noise);
      } catch (const CliError& e) {
        c.error = e.what();
      } catch (const std::exception& e) {
        c.error = samples.files[c.sample] + " " + c.distortion.name + ": " + e.what();
      }
    }
  };
  const int jobs = effectiveJobs(args.jobs, cases.size());
  if (jobs <= 1) {
    worker();
  } else {
    std::vector<std::thread> threads;
    for (int t = 0; t < jobs; ++t) threads.emplace_back(worker);
    for (std::thread& th : threads) th.join();
  }
  for (const Case& c : cases)
    if (!c.error.empty()) throw CliError(kExitOutput, c.error);
}

// Contact sheets: one per sample, a row per distortion.  Returns their
// paths; code becomes a soft failure when a method failed somewhere.
std::vector<std::string> writeSheets(const std::vector<Case>& cases, const Samples& samples,
                                     const std::vector<MethodInfo>& methods, const DemoArgs& args, ExitCode& code) {
  std::vector<std::string> sheets;
  for (std::size_t s = 0; s < samples.files.size(); ++s) {
    std::vector<std::vector<SheetTile>> rows;
    for (const Case& c : cases) {
      if (c.sample != s) continue;
      std::vector<SheetTile> row;
      row.push_back({samples.tools[s].referenceImage(), {"reference", samples.stems[s]}});
      row.push_back({c.distorted, {c.distortion.name, "MAE " + fixed1(c.distortedError)}});
      for (std::size_t m = 0; m < methods.size(); ++m) {
        row.push_back({c.results[m], {methods[m].name, "MAE " + fixed1(c.errors[m])}});
        if (c.errors[m] < 0.0) code = worseExit(code, kExitSoftFailure);
      }
      rows.push_back(row);
    }
    char title[256];
    std::snprintf(title, sizeof title, "%s: reference, distorted (noise sigma %.1f), result of each method",
                  samples.stems[s].c_str(), args.noise);
    const std::string path = (fs::path(args.out) / (samples.stems[s] + "-sheet.png")).string();
    writeImage(path, contactSheet(title, rows, args.maxSide));
    sheets.push_back(path);
  }
  return sheets;
}

// The tables of mean absolute errors: per sample, then the mean over the
// samples.
std::string errorTables(const std::vector<Case>& cases, const Samples& samples, const std::vector<MethodInfo>& methods,
                        double noise) {
  std::vector<std::string> columns = {"distorted"};
  for (const MethodInfo& m : methods) columns.push_back(m.name);
  std::vector<std::string> rowNames;
  for (const DistortionInfo& d : distortionTable()) rowNames.push_back(d.name);
  const std::size_t nd = rowNames.size(), ns = samples.files.size();
  std::ostringstream report;
  report << "Mean absolute error to the reference, in grey levels (noise sigma " << fixed1(noise)
         << "; * = best method; fail = no result)\n\n";
  std::vector<std::vector<double>> mean(nd, std::vector<double>(columns.size(), 0.0));
  for (std::size_t s = 0; s < ns; ++s) {
    std::vector<std::vector<double>> values(nd);
    for (const Case& c : cases) {
      if (c.sample != s) continue;
      std::size_t r = 0;
      while (rowNames[r] != c.distortion.name) ++r;
      values[r].push_back(c.distortedError);
      values[r].insert(values[r].end(), c.errors.begin(), c.errors.end());
    }
    for (std::size_t r = 0; r < nd; ++r)
      for (std::size_t k = 0; k < columns.size(); ++k)
        mean[r][k] = (mean[r][k] < 0.0 || values[r][k] < 0.0) ? -1.0 : mean[r][k] + values[r][k] / double(ns);
    printTable(report, samples.stems[s], rowNames, values, columns);
    report << "\n";
  }
  if (ns > 1) {
    printTable(report, "mean", rowNames, mean, columns);
    report << "\n";
  }
  return report.str();
}

}  // namespace

ExitCode cmdDemo(const DemoArgs& args) {
  if (args.noise < 0.0 || args.noise > 100.0)
    throw CliError(kExitUsage, "--noise " + std::to_string(args.noise) + ": must be between 0 and 100");
  if (args.maxSide < 16) throw CliError(kExitUsage, "--max-side " + std::to_string(args.maxSide) + ": must be >= 16");
  const Samples samples = trainSamples(args);
  const std::vector<MethodInfo> methods = demoMethods();
  std::vector<Case> cases;
  for (std::size_t s = 0; s < samples.files.size(); ++s)
    for (const DistortionInfo& d : distortionTable()) {
      Case c;
      c.sample = s;
      c.distortion = d;
      cases.push_back(std::move(c));
    }
  runCases(cases, samples, methods, args);

  ExitCode code = kExitOk;
  const std::vector<std::string> sheets = writeSheets(cases, samples, methods, args, code);
  const std::string text = errorTables(cases, samples, methods, args.noise);
  std::cout << text;
  const std::string table = (fs::path(args.out) / "mae.txt").string();
  writeFileAtomically(table, std::vector<std::uint8_t>(text.begin(), text.end()));
  std::cout << "Images in " << args.out << "/<sample>/, tables in " << table << ", contact sheets:";
  for (const std::string& p : sheets) std::cout << " " << p;
  std::cout << "\n";
  for (const Case& c : cases)
    for (std::size_t m = 0; m < methods.size(); ++m)
      if (c.errors[m] < 0.0)
        std::cerr << "imgnorm: " << samples.files[c.sample] << " " << c.distortion.name << ": " << methods[m].name
                  << " failed: " << c.failures[m] << "\n";
  return code;
}

}  // namespace imgnormcli

#include "report/stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common/cli_error.h"
#include "common/file_util.h"
#include "io/image_io.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"

namespace fs = std::filesystem;

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

namespace {

// Running sums over the compared pels, one row at a time (integer sums per
// row, so the inner loops stay plain adds).
struct Sums {
  std::uint64_t n = 0;
  double in = 0, in2 = 0, out = 0, out2 = 0, diffIn = 0, diffOut = 0;
  // Least squares of the result against the input over unclipped results.
  double fn = 0, fx = 0, fy = 0, fxx = 0, fxy = 0;
  int lo = 65535, hi = -65535;
};

// top: the largest pel (a result there may be clipped).
template <class Pel>
void addRow(const Pel* a, const Pel* b, const Pel* r, const unsigned char* m, std::int32_t width, int top, Sums& s) {
  std::uint64_t n = 0, in = 0, in2 = 0, out = 0, out2 = 0, dIn = 0, dOut = 0;
  std::uint64_t fn = 0, fx = 0, fy = 0, fxx = 0, fxy = 0;
  int lo = s.lo, hi = s.hi;
  for (std::int32_t i = 0; i < width; ++i) {
    if (m && !m[i]) continue;
    const std::int64_t x = a[i], y = b[i], ref = r[i];
    ++n;
    in += std::uint64_t(x);
    in2 += std::uint64_t(x * x);
    out += std::uint64_t(y);
    out2 += std::uint64_t(y * y);
    dIn += std::uint64_t(std::abs(x - ref));
    dOut += std::uint64_t(std::abs(y - ref));
    lo = std::min(lo, int(x - y));
    hi = std::max(hi, int(x - y));
    if (y > 0 && y < top) {
      ++fn;
      fx += std::uint64_t(x);
      fy += std::uint64_t(y);
      fxx += std::uint64_t(x * x);
      fxy += std::uint64_t(x * y);
    }
  }
  s.n += n;
  s.in += double(in), s.in2 += double(in2), s.out += double(out), s.out2 += double(out2);
  s.diffIn += double(dIn), s.diffOut += double(dOut);
  s.fn += double(fn), s.fx += double(fx), s.fy += double(fy), s.fxx += double(fxx), s.fxy += double(fxy);
  s.lo = lo, s.hi = hi;
}

double sdOf(double sum, double sum2, double n) { return std::sqrt(std::max(0.0, sum2 / n - (sum / n) * (sum / n))); }

}  // namespace

std::int32_t maxPelOf(const mxImageNormalizer16& tool) { return tool.maxPel(); }

namespace {

template <class Tool, class Pel>
ImageStats measureIn(const Tool& tool, Method method, const mxPelBuffer_const<Pel>& input,
                     const mxPelBuffer_const<Pel>& result) {
  ImageStats st;
  const auto& ref = tool.referenceImage();
  const auto& mask = tool.maskImage();
  if (!input.isBound() || !result.isBound() || !ref.isBound()) return st;
  st.overlap = result.window();
  mxPelRect r = st.overlap.intersect(input.window()).intersect(ref.window());
  if (mask.isBound()) r = r.intersect(mask.window());
  Sums s;
  const int top = int(maxPelOf(tool));
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const std::int32_t y = r.y() + j;
    addRow(input.pointToPel(r.x(), y), result.pointToPel(r.x(), y), ref.pointToPel(r.x(), y),
           mask.isBound() ? mask.pointToPel(r.x(), y) : nullptr, r.width(), top, s);
  }
  st.measured = true;
  st.pels = s.n;
  if (s.n == 0) return st;
  const double n = double(s.n);
  st.meanBefore = s.in / n, st.sdBefore = sdOf(s.in, s.in2, n);
  st.meanAfter = s.out / n, st.sdAfter = sdOf(s.out, s.out2, n);
  st.diffBefore = s.diffIn / n, st.diffAfter = s.diffOut / n;
  const double d = s.fn * s.fxx - s.fx * s.fx;
  if (method == eLinearlyFitGrayValues && s.fn >= 2 && d > 0) {
    st.hasFit = true;
    st.gain = (s.fn * s.fxy - s.fx * s.fy) / d;
    st.offset = (s.fy - st.gain * s.fx) / s.fn;
  }
  if (isLocal(method)) {
    st.hasLocal = true;
    st.localMin = s.lo, st.localMax = s.hi;
  }
  return st;
}

}  // namespace

ImageStats measureRun(const mxImageNormalizer& tool, Method method, const mxPelBuffer_const<unsigned char>& input,
                      const mxPelBuffer_const<unsigned char>& result) {
  return measureIn(tool, method, input, result);
}

ImageStats measureRun(const mxImageNormalizer16& tool, Method method, const mxPelBuffer_const<unsigned short>& input,
                      const mxPelBuffer_const<unsigned short>& result) {
  return measureIn(tool, method, input, result);
}

const std::vector<std::string>& statsColumns() {
  static const std::vector<std::string> columns = {
      "input",       "output",    "status",     "message",       "method",         "width",
      "height",      "overlap_x", "overlap_y",  "overlap_width", "overlap_height", "compared_pels",
      "mean_before", "sd_before", "mean_after", "sd_after",      "diff_before",    "diff_after",
      "gain",        "offset",    "local_min",  "local_max",     "warnings"};
  return columns;
}

namespace {

std::string number(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.6g", v);
  return b;
}

// The record's values in column order; nullopt-like: an absent number is "".
struct Value {
  std::string text;
  bool isText = false;  // quoted in JSON
};

std::vector<Value> valuesOf(const StatsRecord& r) {
  const ImageStats& s = r.stats;
  std::string warnings;
  for (const std::string& w : r.warnings) warnings += (warnings.empty() ? "" : ";") + w;
  const auto num = [](bool present, double v) { return Value{present ? number(v) : "", false}; };
  const auto text = [](const std::string& t) { return Value{t, true}; };
  const bool m = s.measured;
  return {text(r.input),
          text(r.output),
          text(r.status),
          text(r.message),
          text(r.method),
          num(r.width > 0, r.width),
          num(r.height > 0, r.height),
          num(m, s.overlap.x()),
          num(m, s.overlap.y()),
          num(m, s.overlap.width()),
          num(m, s.overlap.height()),
          num(m, double(s.pels)),
          num(m && s.pels, s.meanBefore),
          num(m && s.pels, s.sdBefore),
          num(m && s.pels, s.meanAfter),
          num(m && s.pels, s.sdAfter),
          num(m && s.pels, s.diffBefore),
          num(m && s.pels, s.diffAfter),
          num(s.hasFit, s.gain),
          num(s.hasFit, s.offset),
          num(s.hasLocal && s.pels, s.localMin),
          num(s.hasLocal && s.pels, s.localMax),
          text(warnings)};
}

std::string csvField(const std::string& t) {
  if (t.find_first_of(",\"\r\n") == std::string::npos) return t;
  std::string o = "\"";
  for (char c : t) o += c == '"' ? std::string("\"\"") : std::string(1, c);
  return o + "\"";
}

std::string jsonString(const std::string& t) {
  std::string o = "\"";
  for (unsigned char c : t) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += char(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += char(c);
    }
  }
  return o + "\"";
}

}  // namespace

std::string statsText(const std::vector<StatsRecord>& records, bool jsonLines) {
  const auto& columns = statsColumns();
  std::string out;
  if (!jsonLines) {
    for (std::size_t c = 0; c < columns.size(); ++c) out += (c ? "," : "") + columns[c];
    out += "\n";
  }
  for (const StatsRecord& r : records) {
    const std::vector<Value> values = valuesOf(r);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const Value& v = values[c];
      if (!jsonLines)
        out += (c ? "," : "") + csvField(v.text);
      else
        out += std::string(c ? "," : "{") + jsonString(columns[c]) + ":" +
               (v.isText         ? jsonString(v.text)
                : v.text.empty() ? "null"
                                 : v.text);
    }
    out += jsonLines ? "}\n" : "\n";
  }
  return out;
}

StatsFile::StatsFile(const std::string& path, const std::vector<NamedInput>& files) : path_(path) {
  const std::string ext = lowerExtension(path);
  if (ext != "csv" && ext != "jsonl")
    throw CliError(kExitUsage, "--stats " + path + ": give a file name ending in .csv or .jsonl (the format)");
  jsonLines_ = ext == "jsonl";
  const std::string self = fileIdentity(path_);
  for (const NamedInput& f : files)
    if (!f.path.empty() && fileIdentity(f.path) == self)
      throw CliError(kExitUsage, "--stats " + path_ + ": is " + f.role + " (" + f.path +
                                     "); choose another name for the statistics");
  // Written at the end: a folder that cannot take it is found before any work.
  prepareFolderOf(path);
}

void StatsFile::write(const std::vector<StatsRecord>& records) const {
  const std::string text = statsText(records, jsonLines_);
  writeFileAtomically(path_, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace imgnormcli

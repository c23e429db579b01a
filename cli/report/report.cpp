#include "report/report.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "baseif/mxDiag.h"
#include "baseif/mxHtmlEscape.h"
#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "io/image_io.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "common/options.h"
#include "io/png_writer.h"

namespace fs = std::filesystem;

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

const char* const kDiagListName = ".imgnorm-diag";
const char* const kDiagFilesFolder = "imgnorm-report-files";

namespace {

constexpr const char* kListHeader = "# files written by imgnorm --diag; imgnorm removes or replaces only these";

// ------------------------------------------------------------ small helpers

std::string html(const std::string& s) { return mxhtml::escape(s); }

// A relative URL: every byte outside the unreserved set and '/' percent-encoded.
std::string urlPath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string o;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      o += char(c);
    } else {
      o += '%';
      o += hex[c >> 4];
      o += hex[c & 15];
    }
  }
  return o;
}

std::string fmt(double v, int decimals = 1) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string sizeText(std::int32_t w, std::int32_t h) { return std::to_string(w) + " × " + std::to_string(h); }

using Histogram = std::vector<std::uint64_t>;

// Histogram of image over rect, counting the pels the mask selects (all
// without a mask).
Histogram maskedHistogram(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& mask,
                          mxPelRect rect) {
  Histogram h(256, 0);
  rect = rect.intersect(image.window());
  if (mask.isBound()) rect = rect.intersect(mask.window());
  for (std::int32_t j = 0; j < rect.height(); ++j) {
    const unsigned char* p = image.pointToPel(rect.x(), rect.y() + j);
    if (mask.isBound()) {
      const unsigned char* m = mask.pointToPel(rect.x(), rect.y() + j);
      for (std::int32_t i = 0; i < rect.width(); ++i)
        if (m[i]) ++h[p[i]];
    } else {
      for (std::int32_t i = 0; i < rect.width(); ++i) ++h[p[i]];
    }
  }
  return h;
}

struct Stats {
  std::uint64_t pels = 0;
  double mean = 0, sd = 0;
  int p1 = 0, p50 = 0, p99 = 0;
};

Stats statsOf(const Histogram& h) {
  Stats s;
  double sum = 0, sum2 = 0;
  for (int i = 0; i < 256; ++i) {
    s.pels += h[i];
    sum += double(h[i]) * i;
    sum2 += double(h[i]) * i * i;
  }
  if (s.pels == 0) return s;
  s.mean = sum / double(s.pels);
  s.sd = std::sqrt(std::max(0.0, sum2 / double(s.pels) - s.mean * s.mean));
  auto percentile = [&](double f) {
    const double want = f * double(s.pels);
    std::uint64_t c = 0;
    for (int i = 0; i < 256; ++i) {
      c += h[i];
      if (double(c) >= want && c > 0) return i;
    }
    return 255;
  };
  s.p1 = percentile(0.01);
  s.p50 = percentile(0.5);
  s.p99 = percentile(0.99);
  return s;
}

std::string statsRow(const std::string& label, const Stats& s) {
  return "<tr><th>" + label + "</th><td>" + std::to_string(s.pels) + "</td><td>" + fmt(s.mean) + "</td><td>" +
         fmt(s.sd) + "</td><td>" + std::to_string(s.p1) + "</td><td>" + std::to_string(s.p50) + "</td><td>" +
         std::to_string(s.p99) + "</td></tr>";
}

const char* kStatsHead =
    "<table class=\"stats\"><tr><th></th><th>pels</th><th>mean</th><th>std. dev.</th><th>1 %</th><th>median</th>"
    "<th>99 %</th></tr>";

// A box-averaged copy whose longer side is at most maxSide.  Rows are first
// summed column by column (a vectorizable add per pel), then in blocks.
mxPelBuffer<unsigned char> thumbnail(const mxPelBuffer_const<unsigned char>& image, std::int32_t maxSide) {
  const std::int32_t w = image.width(), h = image.height();
  const std::int32_t f = std::max<std::int32_t>(1, (std::max(w, h) + maxSide - 1) / maxSide);
  const std::int32_t tw = (w + f - 1) / f, th = (h + f - 1) / f;
  mxPelBuffer<unsigned char> t(tw, th);
  std::vector<std::uint32_t> column(std::size_t(w), 0);
  for (std::int32_t ty = 0; ty < th; ++ty) {
    std::fill(column.begin(), column.end(), 0u);
    const std::int32_t y1 = std::min(h, (ty + 1) * f);
    for (std::int32_t y = ty * f; y < y1; ++y) {
      const unsigned char* p = image.row(y);
      std::uint32_t* c = column.data();
      for (std::int32_t x = 0; x < w; ++x) c[x] += p[x];
    }
    const std::uint32_t rows = std::uint32_t(y1 - ty * f);
    unsigned char* o = t.row(ty);
    for (std::int32_t i = 0; i < tw; ++i) {
      const std::int32_t x0 = i * f, x1 = std::min(w, x0 + f);
      std::uint32_t sum = 0;
      for (std::int32_t x = x0; x < x1; ++x) sum += column[std::size_t(x)];
      const std::uint32_t n = rows * std::uint32_t(x1 - x0);
      o[i] = (unsigned char)((sum + n / 2) / n);
    }
  }
  return t;
}

// ------------------------------------------------------------------- plots

// Plot frame: x and y in data units map into a box of the given size.
struct Plot {
  int width, height;
  double x0, x1, y0, y1;  // data ranges
  static constexpr int kLeft = 34, kRight = 12, kTop = 8, kBottom = 30;
  double px(double x) const { return kLeft + (x - x0) / (x1 - x0) * (width - kLeft - kRight); }
  double py(double y) const { return height - kBottom - (y - y0) / (y1 - y0) * (height - kTop - kBottom); }
  std::string open(const std::string& title) const {
    std::ostringstream s;
    s << "<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << " " << height << "\" role=\"img\"><title>" << html(title) << "</title>"
      << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << width - kLeft - kRight << "\" height=\""
      << height - kTop - kBottom << "\" fill=\"#fff\" stroke=\"#999\"/>";
    return s.str();
  }
  // Ticks at 0, 128 and 255 on the x axis (and on y when greyY).
  std::string axes(const std::string& xLabel, bool greyY, const std::string& yLabel) const {
    std::ostringstream s;
    for (int v : {0, 128, 255}) {
      s << "<text x=\"" << fmt(px(v), 0) << "\" y=\"" << height - kBottom + 12 << "\" class=\"tick\">" << v
        << "</text>";
      if (greyY)
        s << "<text x=\"" << kLeft - 3 << "\" y=\"" << fmt(py(v) + 3, 0) << "\" class=\"tick r\">" << v << "</text>";
    }
    s << "<text x=\"" << fmt((px(x0) + px(x1)) / 2, 0) << "\" y=\"" << height - 4 << "\" class=\"tick\">"
      << html(xLabel) << "</text>";
    s << "<text x=\"9\" y=\"" << fmt((py(y0) + py(y1)) / 2, 0) << "\" class=\"tick\" transform=\"rotate(-90 9 "
      << fmt((py(y0) + py(y1)) / 2, 0) << ")\">" << html(yLabel) << "</text>";
    return s.str();
  }
};

struct Curve {
  std::string label;
  std::string colour;
  const Histogram* histogram;
};

// The curves as fractions of their own pel counts, so that regions of
// different sizes compare.
std::string histogramPlot(const std::string& title, const std::vector<Curve>& curves) {
  double top = 0;
  for (const Curve& c : curves) {
    std::uint64_t n = 0;
    for (auto v : *c.histogram) n += v;
    if (n)
      for (auto v : *c.histogram) top = std::max(top, double(v) / double(n));
  }
  if (top <= 0) top = 1;
  const Plot p{330, 170, 0, 255, 0, top};
  std::string s = p.open(title) + p.axes("grey level", false, "share of pels");
  int legendY = 20;
  for (const Curve& c : curves) {
    std::uint64_t n = 0;
    for (auto v : *c.histogram) n += v;
    if (!n) continue;
    s += "<polyline fill=\"none\" stroke=\"" + c.colour + "\" stroke-width=\"1.2\" points=\"";
    for (int i = 0; i < 256; ++i)
      s += fmt(p.px(i), 1) + "," + fmt(p.py(double((*c.histogram)[std::size_t(i)]) / double(n)), 1) + " ";
    s += "\"/><text x=\"" + std::to_string(p.width - 12) + "\" y=\"" + std::to_string(legendY) +
         "\" class=\"tick r\" style=\"fill:" + c.colour + "\">" + html(c.label) + "</text>";
    legendY += 12;
  }
  return s + "</svg>";
}

// A table known at some input levels (-1: unknown), with the identity dashed.
std::string tablePlot(const std::string& title, const std::array<int, 256>& lut) {
  const Plot p{190, 190, 0, 255, 0, 255};
  std::string s = p.open(title) + p.axes("input grey", true, "output grey");
  s += "<line x1=\"" + fmt(p.px(0)) + "\" y1=\"" + fmt(p.py(0)) + "\" x2=\"" + fmt(p.px(255)) + "\" y2=\"" +
       fmt(p.py(255)) + "\" stroke=\"#bbb\" stroke-dasharray=\"4 3\"/>";
  s += "<polyline fill=\"none\" stroke=\"#c40\" stroke-width=\"1.5\" points=\"";
  for (int i = 0; i < 256; ++i)
    if (lut[std::size_t(i)] >= 0) s += fmt(p.px(i)) + "," + fmt(p.py(lut[std::size_t(i)])) + " ";
  return s + "\"/></svg>";
}

// Least-squares line through the table's entries that are not clipped.
bool lineOfTable(const std::array<int, 256>& lut, double& gain, double& offset) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int i = 0; i < 256; ++i) {
    const int v = lut[std::size_t(i)];
    if (v <= 0 || v >= 255) continue;
    n += 1;
    sx += i;
    sy += v;
    sxx += double(i) * i;
    sxy += double(i) * v;
  }
  const double d = n * sxx - sx * sx;
  if (n < 2 || d == 0) return false;
  gain = (n * sxy - sx * sy) / d;
  offset = (sy - gain * sx) / n;
  return true;
}

// Diverging colour for a signed value t in -1..1: blue, white, red.
void divergingColour(double t, std::uint8_t* rgb) {
  t = std::max(-1.0, std::min(1.0, t));
  const double a = std::fabs(t);
  const double r = t > 0 ? 1.0 : 1.0 - 0.8 * a, g = 1.0 - 0.75 * a, b = t < 0 ? 1.0 : 1.0 - 0.8 * a;
  rgb[0] = std::uint8_t(std::lround(r * 255));
  rgb[1] = std::uint8_t(std::lround(g * 255));
  rgb[2] = std::uint8_t(std::lround(b * 255));
}

// id: the gradient's, unique in the page.  The ends are labelled +limit and
// -limit, or top and bottom when given (the middle then with mid).
std::string colourScale(double limit, const std::string& id, const char* what = "background estimate",
                        const std::string& top = "", const std::string& mid = "0", const std::string& bottom = "") {
  std::string s =
      "<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"70\" height=\"190\" viewBox=\"0 0 70 190\" "
      "role=\"img\"><title>colour scale of the " +
      std::string(what) + "</title><defs><linearGradient id=\"" + id + "\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">";
  for (int k = 0; k <= 10; ++k) {
    std::uint8_t c[3];
    divergingColour(k / 5.0 - 1.0, c);
    char stop[96];
    std::snprintf(stop, sizeof stop, "<stop offset=\"%d%%\" stop-color=\"#%02x%02x%02x\"/>", k * 10, c[0], c[1], c[2]);
    s += stop;
  }
  s += "</linearGradient></defs><rect x=\"4\" y=\"8\" width=\"16\" height=\"170\" fill=\"url(#" + id +
       ")\" stroke=\"#999\"/>";
  s += "<text x=\"24\" y=\"14\" class=\"tick l\">" + (top.empty() ? "+" + fmt(limit, 0) : html(top)) +
       "</text><text x=\"24\" y=\"96\" class=\"tick l\">" + html(mid) +
       "</text><text x=\"24\" y=\"180\" class=\"tick l\">" + (bottom.empty() ? "−" + fmt(limit, 0) : html(bottom)) +
       "</text></svg>";
  return s;
}


bool sameImage(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b) {
  return a.isBound() && b.isBound() && a.root() == b.root() && a.window() == b.window();
}

const mxDiagObject::Record* findRecord(const mxDiagObject& d, const wchar_t* name, mxDiagObject::Record::Type type) {
  for (const auto& r : d.records())
    if (r.type == type && r.name == name) return &r;
  return nullptr;
}

// The longer side of the thumbnails on the page, and of the pictures of the
// tool's other image records (index.txt): the report copies no image at full
// size but the reference and the mask, once.
constexpr std::int32_t kThumbSide = 200;
constexpr std::int32_t kRecordSide = 512;

// A picture's name relative to the report folder.
std::string reportFile(const std::string& name) { return std::string(kDiagFilesFolder) + "/" + name; }

}  // namespace

// ------------------------------------------------------------- DiagFolder

namespace {

bool isDigits(const std::string& s, std::size_t from, std::size_t to) {
  if (from >= to) return false;
  for (std::size_t i = from; i < to; ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// The picture's name when relative is kDiagFilesFolder + "/" + a picture's
// name, else "".
std::string pictureOf(const std::string& relative) {
  const std::string sub = std::string(kDiagFilesFolder) + "/";
  if (relative.compare(0, sub.size(), sub) != 0) return "";
  const std::string name = relative.substr(sub.size());
  return isReportFile(name) ? name : "";
}

bool isReportPage(const std::string& name) { return name == "index.html" || name == "index.txt"; }

// The absolute, normalized form of a path that may not exist yet.
fs::path pathKey(const std::string& p) {
  std::error_code ec;
  return fs::weakly_canonical(fs::absolute(p, ec), ec).lexically_normal();
}

bool isWithin(const fs::path& p, const fs::path& folder) {
  auto f = folder.begin(), q = p.begin();
  for (; f != folder.end(); ++f, ++q)
    if (q == p.end() || *q != *f) return false;
  return true;
}

}  // namespace

bool isReportFile(const std::string& name) {
  const std::string page = ".html";
  if (name.size() > page.size() && name.compare(name.size() - page.size(), page.size(), page) == 0)
    return name[0] == 'i' && name.size() - page.size() >= 5 && isDigits(name, 1, name.size() - page.size());
  const std::string ext = ".png";
  if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return false;
  const std::string stem = name.substr(0, name.size() - ext.size());
  if (stem == "reference" || stem == "reference-t" || stem == "mask" || stem == "mask-t") return true;
  const std::string train = "train-record";
  if (stem.compare(0, train.size(), train) == 0) return isDigits(stem, train.size(), stem.size());
  const std::size_t dash = stem.find('-');
  if (stem[0] != 'i' || dash == std::string::npos || dash < 5 || !isDigits(stem, 1, dash) || dash + 1 == stem.size())
    return false;
  for (std::size_t i = dash + 1; i < stem.size(); ++i) {
    const char c = stem[i];
    if (!((c >= 'a' && c <= 'z') || std::isdigit(static_cast<unsigned char>(c)) || c == '-')) return false;
  }
  return true;
}

DiagFolder::DiagFolder(const std::string& folder) : folder_(folder) {
  std::error_code ec;
  const fs::path list = fs::path(folder) / kDiagListName;
  if (!fs::exists(folder, ec)) {
    const fs::path parent = fs::path(folder).parent_path();
    prepareOutputFolder(parent.empty() ? "." : parent.string());
    return;
  }
  if (!fs::is_directory(folder, ec)) throw CliError(kExitUsage, "--diag " + folder + ": exists and is not a folder");
  if (fs::exists(list, ec)) {
    std::ifstream in(list);
    std::string line;
    // Only pictures in the sub-folder: never a path that leads elsewhere,
    // never a name the report does not give.
    while (std::getline(in, line))
      if (!pictureOf(line).empty()) earlier_.insert(line);
  } else if (!fs::is_empty(folder, ec)) {
    throw CliError(kExitUsage, "--diag " + folder +
                                   ": the folder holds files imgnorm did not write; "
                                   "choose a new or empty folder (nothing in it was changed)");
  }
  const fs::file_status sub = fs::symlink_status(fs::path(folder) / kDiagFilesFolder, ec);
  if (fs::exists(sub) && !fs::is_directory(sub))
    throw CliError(kExitUsage, "--diag " + folder + ": " + kDiagFilesFolder +
                                   " in it is not a folder imgnorm wrote; choose a new or empty folder");
  prepareOutputFolder(folder);
  if (fs::exists(sub)) removeStaleTemporaries((fs::path(folder) / kDiagFilesFolder).string());
}

void DiagFolder::refuseClash(const std::string& output) const {
  const fs::path dir = pathKey(folder_), out = pathKey(output);
  if (out == dir || out == dir / kDiagListName || out == dir / "index.html" || out == dir / "index.txt" ||
      isWithin(out, dir / kDiagFilesFolder))
    throw CliError(kExitUsage, output + ": the diagnostics report (--diag " + folder_ +
                                   ") writes there; choose another output or another report folder");
}

void DiagFolder::writeList(const std::set<std::string>& names) {
  std::string text = std::string(kListHeader) + "\n";
  for (const std::string& n : names) text += n + "\n";
  writeFileAtomically((fs::path(folder_) / kDiagListName).string(), std::vector<std::uint8_t>(text.begin(), text.end()),
                      PendingFile::Links::kReplace);
}

void DiagFolder::record(const std::string& name) {
  if (!isReportPage(name) && pictureOf(name).empty())
    throw CliError(kExitInternal, "--diag " + folder_ + ": " + name + " is not a name the report gives its files");
  std::lock_guard<std::mutex> lock(mutex_);
  if (written_.empty()) {
    std::error_code ec;
    fs::create_directories(fs::path(folder_) / kDiagFilesFolder, ec);
    if (ec) throw CliError(kExitOutput, "--diag " + folder_ + ": cannot create the folder: " + ec.message());
  }
  if (!written_.insert(name).second || earlier_.count(name)) return;
  // A new name goes into the list before its file exists, so that a run that
  // stops half way leaves nothing a later run would not recognise as its own.
  std::set<std::string> all = earlier_;
  all.insert(written_.begin(), written_.end());
  std::string line = name + "\n";
  const std::string listPath = (fs::path(folder_) / kDiagListName).string();
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(listPath, ec))) {
    writeList(all);
    return;
  }
  // O_NOFOLLOW: a link planted under the list's name is not appended to.
  const int fd = ::open(listPath.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  const bool ok = fd >= 0 && writeAll(fd, line.data(), line.size());
  const int err = errno;
  if (fd >= 0) ::close(fd);
  if (!ok) throw CliError(kExitOutput, "--diag " + folder_ + ": cannot write: " + errnoText(err));
}

void DiagFolder::writeText(const std::string& name, const std::string& text) {
  record(name);
  writeFileAtomically((fs::path(folder_) / name).string(), std::vector<std::uint8_t>(text.begin(), text.end()),
                      PendingFile::Links::kReplace);
}

void DiagFolder::writeGrey(const std::string& name, const mxPelBuffer_const<unsigned char>& image) {
  record(name);
  const std::string path = (fs::path(folder_) / name).string();
  writeFileAtomically(path,
                      encodePngRows(
                          image.width(), image.height(), 1, [&](std::int32_t j) { return image.row(j); }, -1, path),
                      PendingFile::Links::kReplace);
}

void DiagFolder::writeRgb(const std::string& name, std::int32_t width, std::int32_t height,
                          const std::vector<std::uint8_t>& rgb) {
  record(name);
  const std::string path = (fs::path(folder_) / name).string();
  const auto row = [&](std::int32_t j) { return rgb.data() + std::size_t(j) * std::size_t(width) * 3; };
  writeFileAtomically(path, encodePngRows(width, height, 3, row, -1, path), PendingFile::Links::kReplace);
}

void DiagFolder::commit() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& old : earlier_) {
    if (written_.count(old)) continue;
    // earlier_ holds only pictures of the sub-folder; a link or folder of
    // such a name is left alone.
    const fs::path p = fs::path(folder_) / old;
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(p, ec))) fs::remove(p, ec);
  }
  writeList(written_);
  earlier_.clear();
}

// ------------------------------------------------------------- DiagReport

namespace {

// A relative link from the report folder to a file of the command (an input
// or output), "" when there is none: the report links the images it ran on,
// it never copies them.
std::string linkTo(const std::string& folder, const std::string& file) {
  if (file.empty()) return "";
  std::error_code ec;
  const fs::path rel = fs::relative(fs::absolute(file), fs::absolute(folder), ec);
  return ec || rel.empty() ? "" : rel.generic_string();
}

}  // namespace

std::string DiagReport::pagesFolder() const { return (fs::path(folder_.path()) / kDiagFilesFolder).string(); }

std::string DiagReport::linkOrCopy(const std::string& path, const mxPelBuffer_const<unsigned char>& image,
                                   const std::string& name) {
  const std::string link = linkTo(folder_.path(), path);
  if (!link.empty()) return link;
  folder_.writeGrey(reportFile(name), image);
  return reportFile(name);
}

mxPelBuffer<unsigned char> view8(const mxPelBuffer_const<unsigned short>& image, std::int32_t depth) {
  mxPelBuffer<unsigned char> v(image.window(), 32, mxPelInit::eUnwritten);
  const int shift = depth - 8;
  for (std::int32_t j = 0; j < image.height(); ++j) {
    const unsigned short* s = image.row(j);
    unsigned char* d = v.row(j);
    for (std::int32_t i = 0; i < image.width(); ++i) d[i] = static_cast<unsigned char>(s[i] >> shift);
  }
  return v;
}

mxImageNormalizer viewTool(const mxImageNormalizer16& tool) {
  mxImageNormalizer v;
  v.tailFractions(tool.tailFractions());
  v.neighborhoodSize(tool.neighborhoodSize());
  v.granularity(tool.granularity());
  v.intensityVariationRange(tool.intensityVariationRange());
  v.keepMaskedPixels(tool.keepMaskedPixels());
  if (tool.referenceImage().isBound()) v.referenceImage(view8(tool.referenceImage(), tool.bitDepth()), true);
  if (tool.maskImage().isBound()) v.maskImage(tool.maskImage(), true);
  return v;
}

DiagReport::DiagReport(DiagFolder& folder, const mxImageNormalizer& tool, ReportSetup setup)
    : folder_(folder), tool_(tool), setup_(std::move(setup)) {
  const auto& ref = tool_.referenceImage();
  const auto& mask = tool_.maskImage();
  if (ref.isBound()) {
    referenceFile_ = linkOrCopy(setup_.referencePath, ref, "reference.png");
    folder_.writeGrey(reportFile("reference-t.png"), thumbnail(ref, kThumbSide));
    referenceHistogram_ = maskedHistogram(ref, mask, ref.window());
  }
  if (mask.isBound()) {
    maskFile_ = linkOrCopy(setup_.maskPath, mask, "mask.png");
    folder_.writeGrey(reportFile("mask-t.png"), thumbnail(mask, kThumbSide));
  }
}

std::string DiagReport::listRecords(const mxDiagObject& records, const std::string& inputFile,
                                    const std::string& resultFile, const std::string& prefix) {
  std::ostringstream out;
  int n = 0;
  for (const mxDiagObject::Record& r : records.records()) {
    ++n;
    out << std::string(std::size_t(std::max(0, r.level + 1)) * 2, ' ');
    const std::string name = mfToUtf8(r.name);
    if (r.type == mxDiagObject::Record::eText) {
      out << "text \"" << name << "\":";
      std::istringstream lines(mfToUtf8(r.text));
      std::string line;
      while (std::getline(lines, line)) out << " " << line << ";";
      out << "\n";
      continue;
    }
    out << "image \"" << name << "\" ";
    if (!r.image.isBound()) {
      out << "(unbound)\n";
      continue;
    }
    std::string file;
    if (sameImage(r.image, tool_.referenceImage()))
      file = referenceFile_;
    else if (sameImage(r.image, tool_.maskImage()))
      file = maskFile_;
    else if (r.name == kInputRecord && !inputFile.empty())
      file = inputFile;
    else if (r.name == kResultRecord && !resultFile.empty())
      file = resultFile;
    else {
      file = prefix + "record" + std::to_string(n) + ".png";
      folder_.writeGrey(file, thumbnail(r.image, kRecordSide));
      if (std::max(r.image.width(), r.image.height()) > kRecordSide) file += " (reduced)";
    }
    out << r.image.width() << "x" << r.image.height() << " at (" << r.image.window().x() << ", " << r.image.window().y()
        << ") -> " << file << "\n";
  }
  return out.str();
}

void DiagReport::addTraining(const mxDiagObject& records) {
  const std::string listing = listRecords(records, "", "", reportFile("train-"));
  std::lock_guard<std::mutex> lock(mutex_);
  trainingListing_ = listing;
  if (findRecord(records, kParametersRecord, mxDiagObject::Record::eText)) parameters_ = Parameters::eTraining;
}

void DiagReport::fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  reportErrors_.push_back(message);
}

namespace {

// A thumbnail that links to full (no link when full is empty).
std::string figure(const std::string& full, const std::string& thumb, const mxPelBuffer_const<unsigned char>& t,
                   const std::string& caption) {
  const std::string img = "<img src=\"" + urlPath(thumb) + "\" width=\"" + std::to_string(t.width()) + "\" height=\"" +
                          std::to_string(t.height()) + "\" alt=\"" + html(caption) + "\">";
  return "<figure>" + (full.empty() ? img : "<a href=\"" + urlPath(full) + "\">" + img + "</a>") + "<figcaption>" +
         caption + "</figcaption></figure>";
}

// Result minus reference over their overlap, 128 where they agree.
mxPelBuffer<unsigned char> differenceImage(const mxPelBuffer_const<unsigned char>& result,
                                           const mxPelBuffer_const<unsigned char>& ref) {
  const mxPelRect r = result.window().intersect(ref.window());
  mxPelBuffer<unsigned char> diff(r.width(), r.height());
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* a = result.pointToPel(r.x(), r.y() + j);
    const unsigned char* b = ref.pointToPel(r.x(), r.y() + j);
    unsigned char* d = diff.row(j);
    for (std::int32_t i = 0; i < r.width(); ++i) {
      const int v = int(a[i]) - int(b[i]) + 128;
      d[i] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  return diff;
}

// The table a global run applied, read off the pels it mapped in r.
std::array<int, 256> appliedTable(const mxPelBuffer_const<unsigned char>& input,
                                  const mxPelBuffer_const<unsigned char>& result,
                                  const mxPelBuffer_const<unsigned char>& mask, const mxPelRect& r) {
  std::array<int, 256> lut;
  lut.fill(-1);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* a = input.pointToPel(r.x(), r.y() + j);
    const unsigned char* b = result.pointToPel(r.x(), r.y() + j);
    const unsigned char* mk = mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr;
    for (std::int32_t i = 0; i < r.width(); ++i)
      if (!mk || mk[i]) lut[a[i]] = b[i];
  }
  return lut;
}

// The background estimate's block means (signed, input - result or the
// tool's record - 128) over r, with the range and sum of the pels.
struct Estimate {
  std::int32_t tw = 0, th = 0;
  std::vector<double> avg;
  int lo = 255, hi = -255;
  double sum = 0;
};

Estimate blockEstimate(const mxDiagObject::Record* est, const mxPelBuffer_const<unsigned char>& input,
                       const mxPelBuffer_const<unsigned char>& result, const mxPelRect& r, std::int32_t maxSide) {
  Estimate e;
  const std::int32_t f = std::max<std::int32_t>(1, (std::max(r.width(), r.height()) + maxSide - 1) / maxSide);
  e.tw = (r.width() + f - 1) / f, e.th = (r.height() + f - 1) / f;
  e.avg.assign(std::size_t(e.tw) * std::size_t(e.th), 0.0);
  // Rows summed column by column, then in blocks.
  std::vector<std::int32_t> column(std::size_t(r.width())), d(std::size_t(r.width()));
  for (std::int32_t ty = 0; ty < e.th; ++ty) {
    std::fill(column.begin(), column.end(), 0);
    const std::int32_t y1 = std::min(r.height(), (ty + 1) * f);
    for (std::int32_t j = ty * f; j < y1; ++j) {
      const unsigned char* a = est ? est->image.pointToPel(r.x(), r.y() + j) : input.pointToPel(r.x(), r.y() + j);
      const unsigned char* b = est ? nullptr : result.pointToPel(r.x(), r.y() + j);
      for (std::int32_t i = 0; i < r.width(); ++i) d[std::size_t(i)] = est ? int(a[i]) - 128 : int(a[i]) - int(b[i]);
      std::int32_t rowLo = 255, rowHi = -255, rowSum = 0;
      for (std::int32_t i = 0; i < r.width(); ++i) {
        const std::int32_t v = d[std::size_t(i)];
        column[std::size_t(i)] += v;
        rowLo = std::min(rowLo, v);
        rowHi = std::max(rowHi, v);
        rowSum += v;
      }
      e.lo = std::min(e.lo, rowLo);
      e.hi = std::max(e.hi, rowHi);
      e.sum += rowSum;
    }
    for (std::int32_t i = 0; i < e.tw; ++i) {
      const std::int32_t x0 = i * f, x1 = std::min(r.width(), x0 + f);
      std::int64_t blockSum = 0;
      for (std::int32_t x = x0; x < x1; ++x) blockSum += column[std::size_t(x)];
      e.avg[std::size_t(ty) * std::size_t(e.tw) + std::size_t(i)] =
          double(blockSum) / double((y1 - ty * f) * (x1 - x0));
    }
  }
  return e;
}

std::string diffCell(const ImageStats& s, double v) {
  return s.measured && s.pels ? "<td data-v=\"" + fmt(v, 3) + "\">" + fmt(v, 2) + "</td>" : "<td data-v=\"-1\">–</td>";
}

// Sorts the overview by a column when its head is clicked (again: the other
// way); numbers by their data-v value.
constexpr const char* kSortScript =
    "<script>document.querySelectorAll('#overview th').forEach((th,c)=>th.addEventListener('click',()=>{"
    "const b=th.closest('table').tBodies[0],rows=[...b.rows],d=th.dataset.d==='1'?-1:1;th.dataset.d=d>0?'1':'0';"
    "const k=r=>{const x=r.cells[c];return x.dataset.v!==undefined?parseFloat(x.dataset.v):x.textContent;};"
    "rows.sort((p,q)=>{const a=k(p),z=k(q);return d*(a<z?-1:a>z?1:0);});rows.forEach(r=>b.appendChild(r));}));"
    "</script>\n";

constexpr const char* kStyle =
    "<style>body{font:14px sans-serif;margin:16px;color:#222}h1{font-size:20px}h2{font-size:17px;margin-top:22px}"
    "h3{font-size:15px;margin:4px 0}section{border-top:1px solid #ccc;padding:6px 0;content-visibility:auto;"
    "contain-intrinsic-size:auto 600px}section.failed h3{color:#a00}"
    ".row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}figure{margin:0}figcaption{font-size:12px;"
    "color:#444;max-width:330px}img{border:1px solid #ccc;image-rendering:pixelated}table{border-collapse:"
    "collapse;font-size:13px;margin:6px 0}th,td{border:1px solid #ddd;padding:2px 6px;text-align:right}"
    "th{background:#f4f4f4}.params th,.params td,#overview td:nth-child(-n+3),#overview "
    "th:nth-child(-n+3){text-align:left}#overview th{cursor:"
    "pointer}.plot .tick{font-size:10px;text-anchor:middle;fill:#444}.plot .tick.r{text-anchor:end}.plot .tick.l{"
    "text-anchor:start}code{background:#f4f4f4;padding:2px}.msg{color:#a00}.paths,.note{font-size:12px;color:#555}"
    ".warn{color:#850}</style>";

}  // namespace

std::string DiagReport::imageFigures(const ReportItem& item, const mxPelBuffer_const<unsigned char>& input,
                                     const mxPelBuffer_const<unsigned char>& result, const std::string& prefix,
                                     std::string& inputFile, std::string& resultFile) {
  std::ostringstream h;
  inputFile = linkTo(pagesFolder(), item.input);
  const auto ti = thumbnail(input, kThumbSide);
  folder_.writeGrey(reportFile(prefix) + "input-t.png", ti);
  h << "<div class=\"row\">"
    << figure(inputFile, prefix + "input-t.png", ti, "input " + sizeText(input.width(), input.height()));
  if (result.isBound()) {
    resultFile = linkTo(pagesFolder(), item.output);
    const auto tr = thumbnail(result, kThumbSide);
    folder_.writeGrey(reportFile(prefix) + "result-t.png", tr);
    h << figure(resultFile, prefix + "result-t.png", tr, "result " + sizeText(result.width(), result.height()));
    if (!result.window().intersect(tool_.referenceImage().window()).isNull()) {
      const auto td = thumbnail(differenceImage(result, tool_.referenceImage()), kThumbSide);
      folder_.writeGrey(reportFile(prefix) + "diff-t.png", td);
      h << figure("", prefix + "diff-t.png", td, "result − reference (grey 128: equal)");
    }
  }
  h << "</div>";
  return h.str();
}

std::string DiagReport::jointHistogram(const mxPelBuffer_const<unsigned char>& input, const mxPelRect& r,
                                       const std::array<int, 256>& lut, const std::string& prefix) {
  const auto& ref = tool_.referenceImage();
  const auto& mask = tool_.maskImage();
  // Joint histogram of (input, reference) in 64 x 64 bins, log scale.
  std::vector<std::uint64_t> joint(64 * 64, 0);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* a = input.pointToPel(r.x(), r.y() + j);
    const unsigned char* b = ref.pointToPel(r.x(), r.y() + j);
    const unsigned char* mk = mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr;
    for (std::int32_t i = 0; i < r.width(); ++i)
      if (!mk || mk[i]) ++joint[std::size_t(63 - (b[i] >> 2)) * 64 + (a[i] >> 2)];
  }
  const double top = std::log1p(double(*std::max_element(joint.begin(), joint.end())));
  mxPelBuffer<unsigned char> jim(64, 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      jim.row(y)[x] = (unsigned char)std::lround(
          255.0 - (top > 0 ? 255.0 * std::log1p(double(joint[std::size_t(y) * 64 + x])) / top : 0));
  folder_.writeGrey(reportFile(prefix) + "joint.png", jim);
  const Plot p{230, 230, 0, 256, 0, 256};
  std::string s = p.open("joint histogram of input and reference grey levels, its ridge and the fitted line") +
                  "<image href=\"" + prefix + "joint.png\" x=\"" + fmt(p.px(0)) + "\" y=\"" + fmt(p.py(256)) +
                  "\" width=\"" + fmt(p.px(256) - p.px(0)) + "\" height=\"" + fmt(p.py(0) - p.py(256)) +
                  "\" preserveAspectRatio=\"none\" style=\"image-rendering:pixelated\"/>" +
                  p.axes("input grey", true, "reference grey");
  // The ridge: the densest reference level for each input level.
  s += "<polyline fill=\"none\" stroke=\"#06c\" stroke-width=\"1.5\" points=\"";
  for (int x = 0; x < 64; ++x) {
    int best = -1;
    std::uint64_t bestCount = 0;
    for (int y = 0; y < 64; ++y)
      if (joint[std::size_t(y) * 64 + x] > bestCount) bestCount = joint[std::size_t(y) * 64 + x], best = y;
    if (best >= 0) s += fmt(p.px(x * 4 + 2)) + "," + fmt(p.py((63 - best) * 4 + 2)) + " ";
  }
  s += "\"/>";
  double gain = 0, offset = 0;
  std::string lineText = "no line could be read off the result";
  if (lineOfTable(lut, gain, offset)) {
    s += "<line x1=\"" + fmt(p.px(0)) + "\" y1=\"" + fmt(p.py(offset)) + "\" x2=\"" + fmt(p.px(256)) + "\" y2=\"" +
         fmt(p.py(offset + 256 * gain)) + "\" stroke=\"#c40\" stroke-width=\"1.5\"/>";
    lineText = "fitted line: reference = " + fmt(gain, 3) + " × input " + (offset < 0 ? "− " : "+ ") +
               fmt(std::fabs(offset), 1);
  }
  return "<figure>" + s + "</svg><figcaption>" + lineText +
         "<br><span class=\"key\"><b style=\"color:#06c\">ridge</b> (densest reference level per input level), "
         "<b style=\"color:#c40\">fitted line</b></span></figcaption></figure>";
}

std::string DiagReport::backgroundEstimate(const mxDiagObject& records, const mxPelBuffer_const<unsigned char>& input,
                                           const mxPelBuffer_const<unsigned char>& result, const std::string& prefix,
                                           const std::string& id) {
  // The background estimate the run subtracted: the tool's record when it
  // makes one, else input minus result (exact wherever the result did not
  // clip at 0 or 255).
  const mxDiagObject::Record* est = nullptr;
  for (const auto& rec : records.records()) {
    std::wstring lower = rec.name;
    for (wchar_t& c : lower) c = wchar_t(std::towlower(c));
    if (rec.type == mxDiagObject::Record::eImage && rec.image.isBound() &&
        (lower.find(L"background") != std::wstring::npos || lower.find(L"estimate") != std::wstring::npos))
      est = &rec;
  }
  const mxPelRect r = est ? est->image.window() : result.window();
  const Estimate e = blockEstimate(est, input, result, r, 256);
  const double limit = std::max(1, std::max(std::abs(e.lo), std::abs(e.hi)));
  std::vector<std::uint8_t> rgb(e.avg.size() * 3);
  for (std::size_t k = 0; k < e.avg.size(); ++k) divergingColour(e.avg[k] / limit, &rgb[k * 3]);
  folder_.writeRgb(reportFile(prefix) + "background.png", e.tw, e.th, rgb);
  const std::int32_t dw = std::min<std::int32_t>(e.tw, 190 * e.tw / std::max(e.tw, e.th));
  const std::int32_t dh = std::min<std::int32_t>(e.th, 190 * e.th / std::max(e.tw, e.th));
  std::ostringstream h;
  h << "<figure><a href=\"" << prefix << "background.png\"><img src=\"" << prefix << "background.png\" width=\""
    << std::max(1, dw) << "\" height=\"" << std::max(1, dh) << "\" alt=\"background estimate\"></a>"
    << colourScale(limit, id) << "<figcaption>background estimate (input − result, grey levels): " << e.lo << " to "
    << e.hi << ", mean " << fmt(e.sum / double(std::max<std::int64_t>(1, r.area())))
    << (est ? " (the tool's record)" : "") << "</figcaption></figure>";
  return h.str();
}

// A field local-gain or local-linear divided out (their records: the gain
// at 32 x gain, the offset at 128 + offset), in block means, as diverging
// colours: the gain on a log2 scale around 1, the offset around 0.
std::string DiagReport::fieldFigure(bool gain, const mxPelBuffer_const<unsigned char>& field, const std::string& prefix,
                                    const std::string& id) {
  mxPelBuffer<unsigned char> middle(field.window());  // the field's pel values less 128
  for (std::int32_t j = 0; j < middle.height(); ++j) std::fill_n(middle.row(j), middle.width(), 128);
  const Estimate e = blockEstimate(nullptr, field, middle, field.window(), 256);
  auto value = [&](double v) { return gain ? std::log2(std::max(v + 128.0, 1.0) / 32.0) : v; };
  const double lo = value(e.lo), hi = value(e.hi);
  const double limit = std::max(gain ? 0.1 : 1.0, std::max(std::fabs(lo), std::fabs(hi)));
  std::vector<std::uint8_t> rgb(e.avg.size() * 3);
  for (std::size_t k = 0; k < e.avg.size(); ++k) divergingColour(value(e.avg[k]) / limit, &rgb[k * 3]);
  const std::string file = reportFile(prefix) + (gain ? "gain-field.png" : "offset-field.png");
  folder_.writeRgb(file, e.tw, e.th, rgb);
  const std::string link = prefix + (gain ? "gain-field.png" : "offset-field.png");
  const std::int32_t dw = std::min<std::int32_t>(e.tw, 190 * e.tw / std::max(e.tw, e.th));
  const std::int32_t dh = std::min<std::int32_t>(e.th, 190 * e.th / std::max(e.tw, e.th));
  const char* what = gain ? "local gain field" : "local offset field";
  std::ostringstream h;
  h << "<figure><a href=\"" << link << "\"><img src=\"" << link << "\" width=\"" << std::max(1, dw) << "\" height=\""
    << std::max(1, dh) << "\" alt=\"" << what << "\"></a>"
    << (gain ? colourScale(limit, id, what, "×" + fmt(std::exp2(limit), 2), "×1", "×" + fmt(std::exp2(-limit), 2))
             : colourScale(limit, id, what))
    << "<figcaption>" << what << (gain ? " (the image is multiplied by it): " : " (grey levels subtracted): ")
    << fmt(gain ? std::exp2(lo) : lo, 2) << " to " << fmt(gain ? std::exp2(hi) : hi, 2) << "</figcaption></figure>";
  return h.str();
}

std::string DiagReport::methodPlots(const ReportItem& item, const mxDiagObject& records,
                                    const mxPelBuffer_const<unsigned char>& input,
                                    const mxPelBuffer_const<unsigned char>& result, const std::string& prefix) {
  const auto& ref = tool_.referenceImage();
  const auto& mask = tool_.maskImage();
  const mxPelRect covered = result.window();
  const Histogram hIn = maskedHistogram(input, mask, covered);
  const Histogram hOut = maskedHistogram(result, mask, covered);
  const std::uint32_t m = setup_.methods;
  std::ostringstream h;
  h << "<div class=\"row\">"
    << histogramPlot("histograms",
                     {{"reference", "#2a6", &referenceHistogram_}, {"input", "#888", &hIn}, {"result", "#c40", &hOut}});
  if (m & methodMask(MethodKind::eGlobal)) {
    const mxPelRect r = mask.isBound() ? covered.intersect(mask.window()) : covered;
    const std::array<int, 256> lut = appliedTable(input, result, mask, r);
    h << tablePlot("lookup table (input grey → output grey)", lut);
    if (m & eLinearlyFitGrayValues) h << jointHistogram(input, r, lut, prefix);
  }
  if (m & methodMask(MethodKind::eLocal))
    h << backgroundEstimate(records, input, result, prefix, "scale-" + std::to_string(item.index + 1));
  for (const mxDiagObject::Record& rec : records.records())
    if (rec.type == mxDiagObject::Record::eImage && rec.image.isBound() &&
        (rec.name == kGainFieldRecord || rec.name == kOffsetFieldRecord))
      h << fieldFigure(rec.name == kGainFieldRecord, rec.image, prefix, "field-" + std::to_string(rec.name == kGainFieldRecord) + "-" +
                                        std::to_string(item.index + 1));
  h << "</div>";
  // Statistics over the region the run covered, under the mask.
  const ImageStats& st = item.stats;
  h << kStatsHead << statsRow("reference (same region)", statsOf(maskedHistogram(ref, mask, covered)))
    << statsRow("input", statsOf(hIn)) << statsRow("result", statsOf(hOut)) << "</table><p class=\"note\">Over the "
    << covered.width() << " × " << covered.height() << " pels at (" << covered.x() << ", " << covered.y()
    << ") the run covered" << (mask.isBound() ? ", under the mask" : "") << "; mean |input − reference| "
    << fmt(st.diffBefore, 2) << ", mean |result − reference| " << fmt(st.diffAfter, 2) << ".</p>";
  return h.str();
}

void DiagReport::addImage(const ReportItem& item, const mxDiagObject& records) {
  char num[16];
  std::snprintf(num, sizeof num, "%04zu", item.index + 1);
  const std::string id = std::string("image-") + num, prefix = std::string("i") + num + "-";
  // Each image's detail is a page of its own beside its pictures, so that
  // index.html stays one overview however large the batch.
  const std::string page = reportFile(std::string("i") + num + ".html");
  const std::string link = urlPath(page) + "#" + id;
  Section sec;
  sec.present = true;
  sec.failed = item.failed;
  if (item.failed)
    sec.failure = "<li><a href=\"" + link + "\">" + html(item.input) +
                  "</a>: " + (item.soft ? "not normalized: " : "") + html(item.message) + "</li>";
  const ImageStats& st = item.stats;
  sec.badness = item.failed ? 1e9 : st.measured ? st.diffAfter : 0;
  std::string warned;
  for (const std::string& w : item.warnings) warned += (warned.empty() ? "" : ", ") + w;
  sec.row = "<tr id=\"" + id + "\"><td><a href=\"" + link + "\">" + html(fileName(item.input)) + "</a></td><td>" +
            html(item.status) + "</td><td>" + html(methodCliName(Method(setup_.methods))) + "</td>" +
            diffCell(st, st.diffBefore) + diffCell(st, st.diffAfter) + "<td class=\"warn\">" + html(warned) +
            "</td></tr>\n";

  const auto* inRec = findRecord(records, kInputRecord, mxDiagObject::Record::eImage);
  const auto* outRec = findRecord(records, kResultRecord, mxDiagObject::Record::eImage);
  const bool runParameters = findRecord(records, kRunParametersRecord, mxDiagObject::Record::eText) != nullptr;
  const mxPelBuffer_const<unsigned char> input = inRec ? inRec->image : mxPelBuffer_const<unsigned char>();
  const mxPelBuffer_const<unsigned char> result =
      outRec && !item.failed ? outRec->image : mxPelBuffer_const<unsigned char>();

  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << html(fileName(item.input))
    << " – imgnorm diagnostics</title>\n"
    << kStyle << "</head><body>\n<p><a href=\"../index.html#" << id << "\">← overview</a></p>\n<section id=\"" << id
    << "\"" << (item.failed ? " class=\"failed\"" : "") << "><h3>" << (item.index + 1) << ". "
    << html(fileName(item.input)) << "</h3><p class=\"paths\">" << html(item.input);
  if (!item.output.empty()) h << " → " << html(item.output);
  h << "</p>";
  if (const auto* conv = findRecord(records, L"Grey conversion", mxDiagObject::Record::eText))
    h << "<p class=\"note\">grey conversion (--to-gray): " << html(mfToUtf8(conv->text)) << "</p>";
  if (item.failed)
    h << "<p class=\"msg\">" << (item.soft ? "Not normalized: " : "Error: ") << html(item.message) << "</p>";
  std::string inputFile, resultFile;
  if (input.isBound()) h << imageFigures(item, input, result, prefix, inputFile, resultFile);
  if (result.isBound() && input.isBound()) h << methodPlots(item, records, input, result, prefix);
  h << "</section>\n</body></html>\n";
  folder_.writeText(page, h.str());
  // index.txt lies in the report folder: its links start there.
  sec.listing = "Input image \"" + item.input + "\"\n" +
                listRecords(records, inputFile.empty() ? "" : linkTo(folder_.path(), item.input),
                            resultFile.empty() ? "" : linkTo(folder_.path(), item.output), reportFile(prefix));

  std::lock_guard<std::mutex> lock(mutex_);
  if (parameters_ == Parameters::eNone && runParameters) parameters_ = Parameters::eRun;
  if (sections_.size() <= item.index) sections_.resize(item.index + 1);
  sections_[item.index] = std::move(sec);
}

std::string DiagReport::overview() const {
  std::vector<const Section*> order;
  for (const Section& s : sections_)
    if (s.present) order.push_back(&s);
  std::stable_sort(order.begin(), order.end(),
                   [](const Section* a, const Section* b) { return a->badness > b->badness; });
  std::string h =
      "<h2>Overview</h2><p class=\"note\">Worst first: failures, then the largest mean |result − reference| over "
      "the compared pels" +
      std::string(tool_.maskImage().isBound() ? " (under the mask)" : "") +
      ". Click a column's head to sort by it; a file's name opens its page.</p>\n<table "
      "id=\"overview\"><thead><tr><th>file</th><th>status</th>"
      "<th>method</th><th>difference before</th><th>difference after</th><th>warnings</th></tr></thead><tbody>\n";
  for (const Section* s : order) h += s->row;
  return h + "</tbody></table>\n" + kSortScript;
}

std::string DiagReport::toolPart() {
  std::ostringstream h;
  h << "<h2>Tool</h2><div class=\"row\"><table class=\"params\">";
  h << "<tr><th>" << (setup_.running ? "--method" : "--methods") << "</th><td>"
    << html(setup_.running ? methodCliName(Method(setup_.methods)) : methodSetText(setup_.methods)) << "</td></tr>";
  for (const auto& [k, v] : setup_.settings) h << "<tr><th>" << html(k) << "</th><td>" << html(v) << "</td></tr>";
  if (parameters_ != Parameters::eNone)
    for (const RecordField& f : parameters_ == Parameters::eTraining
                                    ? trainingParameterFields(tool_)
                                    : runParameterFields(tool_, Method(setup_.methods))) {
      if (f.name == L"method") continue;  // the first row
      const auto [option, value] = parameterAsOption(f.name, f.value);
      h << "<tr><th>" << html(option) << "</th><td>" << html(value) << "</td></tr>";
    }
  h << "</table>";
  const auto& ref = tool_.referenceImage();
  const auto& mask = tool_.maskImage();
  if (!ref.isBound()) return h.str() + "</div>\n";
  h << figure(referenceFile_, reportFile("reference-t.png"), thumbnail(ref, kThumbSide),
              "reference " + sizeText(ref.width(), ref.height()));
  if (mask.isBound()) {
    std::uint64_t selected = 0;
    for (auto v : referenceHistogram_) selected += v;
    h << figure(maskFile_, reportFile("mask-t.png"), thumbnail(mask, kThumbSide),
                "mask " + sizeText(mask.width(), mask.height()) + ", " + std::to_string(selected) + " pels selected");
  }
  h << histogramPlot("reference histogram", {{"reference", "#2a6", &referenceHistogram_}});
  h << "</div>" << kStatsHead << statsRow("reference", statsOf(referenceHistogram_)) << "</table>\n";
  return h.str();
}

void DiagReport::finish(const std::vector<Warnings::Entry>& warnings, const std::string& outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>imgnorm diagnostics</title>\n"
    << kStyle << "</head><body>\n<h1>imgnorm diagnostics</h1>\n<p><code>" << html(setup_.command) << "</code></p>\n";
  if (!outcome.empty()) h << "<p>" << html(outcome) << "</p>\n";
  if (setup_.running) h << overview();
  if (!warnings.empty()) {
    h << "<h2>Warnings</h2><ul class=\"warn\">";
    for (const auto& w : warnings)
      h << "<li>" << html(w.text) << (w.count > 1 ? " (" + std::to_string(w.count) + " images)" : "") << "</li>";
    h << "</ul>\n";
  }
  h << toolPart();
  std::string failures;
  for (const Section& s : sections_) failures += s.failure;
  for (const std::string& e : reportErrors_) failures += "<li>report: " + html(e) + "</li>";
  if (!failures.empty()) h << "<h2>Not normalized</h2><ul class=\"msg\">" << failures << "</ul>\n";
  std::string listing;
  if (!trainingListing_.empty()) listing += "Training\n" + trainingListing_;
  if (setup_.running)
    for (const Section& s : sections_) listing += s.listing;
  h << "<p class=\"note\">The tool's records, in order and nested as recorded: <a href=\"index.txt\">index.txt</a>."
       "</p>\n</body></html>\n";
  folder_.writeText("index.txt", listing);
  folder_.writeText("index.html", h.str());
  folder_.commit();
}

}  // namespace imgnormcli

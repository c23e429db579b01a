#include "io/image_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_util.h"
#include "io/codec_util.h"
#include "io/codecs.h"

namespace imgnormcli {

// ------------------------------------------------------------ file names ---

bool isImageName(const std::string& path) { return codecForName(path) != nullptr; }

bool isWritableName(const std::string& path) {
  const std::string ext = lowerExtension(path);
  for (const Codec& c : codecs())
    for (const char* e : c.writes)
      if (ext == e) return true;
  return false;
}

// --------------------------------------------------------------- options ---

namespace {

bool parseUnsigned(const std::string& t, std::uint32_t maxValue, std::uint32_t& v) {
  if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long long x = std::strtoull(t.c_str(), nullptr, 10);
  if (x > maxValue) return false;
  v = std::uint32_t(x);
  return true;
}

}  // namespace

GrayScaling parseGrayScaling(const std::string& text, const std::string& option) {
  GrayScaling s;
  std::uint32_t a = 0, b = 0;
  if (text == "auto") {
    s.mode = GrayScaling::kAuto;
  } else if (text == "full") {
    s.mode = GrayScaling::kFull;
  } else if (text.rfind("shift:", 0) == 0 && parseUnsigned(text.substr(6), 15, a)) {
    s.mode = GrayScaling::kShift;
    s.shift = int(a);
  } else if (text.rfind("range:", 0) == 0 && text.find(',') != std::string::npos &&
             parseUnsigned(text.substr(6, text.find(',') - 6), 65535, a) &&
             parseUnsigned(text.substr(text.find(',') + 1), 65535, b) && a < b) {
    s.mode = GrayScaling::kRange;
    s.lo = a;
    s.hi = b;
  } else {
    throw CliError(kExitUsage, option +
                                   ": expected auto, shift:N (N 0..15), range:LO,HI (0 <= LO < HI <= 65535) "
                                   "or full, got '" +
                                   text + "'");
  }
  return s;
}

std::string grayScalingText(const GrayScaling& s) {
  switch (s.mode) {
    case GrayScaling::kAuto:
      return "auto";
    case GrayScaling::kShift:
      return "shift:" + std::to_string(s.shift);
    case GrayScaling::kRange:
      return "range:" + std::to_string(s.lo) + "," + std::to_string(s.hi);
    case GrayScaling::kFull:
      return "full";
  }
  return "auto";
}

TiffCompression parseTiffCompression(const std::string& text, const std::string& option) {
  TiffCompression c;
  if (text == "none")
    c = TiffCompression::kNone;
  else if (text == "lzw")
    c = TiffCompression::kLzw;
  else if (text == "deflate")
    c = TiffCompression::kDeflate;
  else if (text == "zstd")
    c = TiffCompression::kZstd;
  else
    throw CliError(kExitUsage, option + ": unknown compression '" + text + "' (use none, lzw, deflate or zstd)");
  if (!tiffCompressionAvailable(c))
    throw CliError(kExitUsage, option + ": this libtiff cannot write " + text + " compression");
  return c;
}

void checkPngLevel(int level, const std::string& option) {
  if (level < -1 || level > 9)
    throw CliError(kExitUsage, option + ": expected a zlib level 0..9, got " + std::to_string(level));
}

// ------------------------------------------------------- shared checks ---

std::string pagesText(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

void checkClaimedSize(const std::string& name, std::uint64_t width, std::uint64_t height, const ReadOptions& options) {
  const std::string size = std::to_string(width) + " x " + std::to_string(height);
  if (width == 0 || height == 0) inputError(name, "image has no pels (" + size + ")");
  const std::uint64_t limit = std::min(options.maxPixels, kMaxPixelsLimit);
  if (width > 0x7fffffff || height > 0x7fffffff || width * height > limit)
    inputError(name, "image of " + size + " pels is larger than the limit of " + std::to_string(limit) +
                         " pels (raise it with --max-pixels)");
}

void checkStoredBytes(const std::string& name, std::uint64_t width, std::uint64_t height, std::uint64_t minStoredBytes,
                      std::uint64_t fileBytes) {
  if (minStoredBytes > fileBytes)
    inputError(name, "truncated or corrupt image: " + std::to_string(width) + " x " + std::to_string(height) +
                         " pels need at least " + std::to_string(minStoredBytes) + " bytes, the file holds " +
                         std::to_string(fileBytes));
}

void checkDecodedSize(const std::string& name, std::uint64_t width, std::uint64_t height, std::uint64_t bytesPerPel,
                      std::uint64_t fileBytes, const ReadOptions& options) {
  const std::uint64_t decoded = width * height * bytesPerPel;  // < 2^44: the pel count passed checkClaimedSize
  if (decoded <= std::max(options.maxPixels, std::uint64_t(1) << 28) || decoded / 1024 <= fileBytes) return;
  inputError(name, "image of " + std::to_string(width) + " x " + std::to_string(height) + " pels decodes to " +
                       std::to_string(decoded >> 20) + " MiB, " + std::to_string(decoded / std::max<std::uint64_t>(fileBytes, 1)) +
                       " times the file's " + std::to_string(fileBytes) +
                       " bytes: refused as a likely decompression bomb (accept it with --max-pixels " +
                       std::to_string(decoded) + ")");
}

mxPelRect keptPart(std::int32_t width, std::int32_t height, int bits, const ReadOptions& options) {
  const mxPelRect whole(0, 0, width, height);
  const mxPelRect part = options.keep.intersect(whole);
  if (part.isNull() || (bits > 8 && options.toGray && options.scaling.mode == GrayScaling::kAuto)) return whole;
  return part;
}

void cropRaw(RawImage& raw, const mxPelRect& part) {
  if (part.x() == raw.x0 && part.y() == raw.y0 && part.width() == raw.width && part.height() == raw.height) return;
  const std::size_t bytes = raw.bits == 16 ? 2 : 1, ch = std::size_t(raw.channels);
  std::uint8_t* base = raw.bits == 16 ? reinterpret_cast<std::uint8_t*>(raw.samples16.get()) : raw.bytes8.get();
  const std::size_t from = raw.rowSamples() * bytes, to = std::size_t(part.width()) * ch * bytes;
  // Rows move toward the start only: a forward copy never overwrites a row it still needs.
  for (std::int32_t j = 0; j < part.height(); ++j)
    std::memmove(base + to * std::size_t(j),
                 base + from * std::size_t(part.y() - raw.y0 + j) + std::size_t(part.x() - raw.x0) * ch * bytes, to);
  raw.x0 = part.x();
  raw.y0 = part.y();
  raw.width = part.width();
  raw.height = part.height();
}

void checkSinglePage(const std::string& name, const ReadOptions& options) {
  if (options.page != 1)
    inputError(name, "page " + std::to_string(options.page) + " asked for, but the file has 1 page");
}

void RawImage::allocate() {
  // new T[n] leaves the storage uninitialised: the pages are touched only as
  // the decoder fills them.
  if (bits == 16)
    samples16.reset(new std::uint16_t[sampleCount()]);
  else
    bytes8.reset(new std::uint8_t[sampleCount()]);
}

// ------------------------------------------------------------- decoding ---

RawImage decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  if (size == 0) inputError(name, "empty file");
  if (const Codec* c = codecForBytes(data, size)) return c->decode(data, size, name, options);
  if (const Codec* c = codecForName(name)) inputError(name, std::string("not a ") + c->name + " file");
  inputError(name, "not an image file of a known format (" + joinList(formatList(true), ", ") + ")");
}

// ----------------------------------------------------------- conversion ---

std::string describeRaw(const RawImage& raw) {
  std::string kind = raw.channels >= 3 ? (raw.palette ? "palette colour" : "colour") : "greyscale";
  if (raw.channels == 2 || raw.channels == 4) kind += " with alpha";
  std::string depth = std::to_string(raw.bits) + "-bit";
  if (raw.bits == 16 && raw.maxval < 65535) depth += " (values up to " + std::to_string(raw.maxval) + ")";
  return kind + " image, " + depth;
}

std::int32_t declaredDepth(const RawImage& raw, const ReadOptions& options) {
  if (options.bitDepth) return options.bitDepth;
  std::int32_t d = 9;
  while (d < 16 && (std::uint32_t(1) << d) <= raw.maxval) ++d;
  return d;
}

namespace {

// 8-bit samples: grey copied (scaled when the file's maximum is below 255),
// colour reduced to luma, alpha dropped.
void convert8(const RawImage& raw, mxPelBuffer<unsigned char>& out) {
  const int ch = raw.channels;
  const std::uint32_t maxval = raw.maxval;
  unsigned char scale[256];
  for (std::uint32_t v = 0; v < 256; ++v)
    scale[v] = static_cast<unsigned char>(v >= maxval ? 255 : (v * 510 + maxval) / (2 * maxval));
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint8_t* s = raw.row8(y);
    unsigned char* d = out.row(y);
    if (ch == 1 && maxval == 255) {
      std::memcpy(d, s, std::size_t(raw.width));
    } else if (ch >= 3) {
      for (std::int32_t x = 0; x < raw.width; ++x, s += ch)
        d[x] = scale[(299u * s[0] + 587u * s[1] + 114u * s[2] + 500u) / 1000u];
    } else {
      for (std::int32_t x = 0; x < raw.width; ++x, s += ch) d[x] = scale[s[0]];
    }
  }
}

// 16-bit samples: grey or luma (16-bit), clamped to the file's maximum.
template <class F>
void forEachLevel16(const RawImage& raw, F&& f) {
  const int ch = raw.channels;
  const std::uint32_t maxval = raw.maxval;
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint16_t* s = raw.row16(y);
    f(y, [&](std::int32_t x) {
      const std::uint16_t* p = s + std::size_t(x) * ch;
      std::uint32_t v =
          ch >= 3 ? std::uint32_t((299ull * p[0] + 587ull * p[1] + 114ull * p[2] + 500ull) / 1000ull) : p[0];
      return v > maxval ? maxval : v;
    });
  }
}

// The 16-bit levels that become 0 and 255 under s: the scaling's own
// range, the file's (0 .. maxval, as given), or for kAuto the image's values
// cut at the 0.01 % and 99.99 % quantiles.
void scaleRange(const RawImage& raw, const std::vector<std::uint32_t>& histogram, const GrayScaling& s,
                const std::string& name, std::uint32_t& lo, std::uint32_t& hi) {
  if (s.mode == GrayScaling::kRange) {
    lo = s.lo;
    hi = s.hi;
  }
  if (s.mode != GrayScaling::kAuto) return;
  std::uint32_t vmin = 0, vmax = 65535;
  while (histogram[vmin] == 0) ++vmin;
  while (histogram[vmax] == 0) --vmax;
  if (vmin == vmax)
    inputError(name, describeRaw(raw) + " holds one value only (" + std::to_string(vmin) +
                         "); --to-gray=auto has no range to scale (use --to-gray=range:LO,HI or full)");
  // Cut one pel in 10000 at each end, so that a few hot or dead pels do
  // not decide the scale.
  const std::uint64_t cut = std::uint64_t(raw.width) * std::uint64_t(raw.height) / 10000;
  std::uint64_t sum = 0;
  lo = vmin;
  while (sum + histogram[lo] <= cut) sum += histogram[lo++];
  sum = 0;
  hi = vmax;
  while (sum + histogram[hi] <= cut) sum += histogram[hi--];
  if (hi <= lo) lo = vmin, hi = vmax;
}

// Each 16-bit level's 8-bit level: shifted, or lo -> 0 and hi -> 255
// linearly (rounded), saturated outside.
std::vector<unsigned char> levelTable(const GrayScaling& s, std::uint32_t lo, std::uint32_t hi) {
  std::vector<unsigned char> table(65536);
  for (std::uint32_t v = 0; v < 65536; ++v) {
    std::uint32_t d;
    if (s.mode == GrayScaling::kShift)
      d = std::min<std::uint32_t>(255, v >> s.shift);
    else if (v <= lo)
      d = 0;
    else if (v >= hi)
      d = 255;
    else
      d = std::uint32_t((std::uint64_t(v - lo) * 510 + (hi - lo)) / (2ull * (hi - lo)));
    table[v] = static_cast<unsigned char>(d);
  }
  return table;
}

// Refuses a 16-bit image whose largest pel, top, is above 2^depth - 1.
void refuseBeyondDepth(std::uint32_t top, std::int32_t depth, const std::string& name) {
  if (top >> depth)
    inputError(name, "holds the value " + std::to_string(top) + ", beyond the depth of " + std::to_string(depth) +
                         " bits (largest " + std::to_string((1u << depth) - 1) +
                         "); declare the image's depth with --bit-depth");
}

}  // namespace

RawImage shiftToDepth8(const RawImage& raw, const std::string& name, const ReadOptions& options, ImageInfo* info) {
  const std::int32_t depth = declaredDepth(raw, options);
  const int shift = depth - 8, ch = raw.channels;
  const bool alpha = ch == 2 || ch == 4;
  const int colours = alpha ? ch - 1 : ch;
  RawImage out;
  out.width = raw.width, out.height = raw.height, out.x0 = raw.x0, out.y0 = raw.y0;
  out.imageWidth = raw.imageWidth, out.imageHeight = raw.imageHeight;
  out.channels = ch, out.fileSamples = raw.fileSamples, out.pages = raw.pages, out.page = raw.page;
  out.allocate();
  // Each row: every sample shifted (alpha, which spans the whole 16 bits
  // whatever the depth, as v >> 8), the largest grey or colour sample kept
  // for the depth check, then the 8-bit levels used, for the warning.  A
  // sample beyond the depth wraps here, but then the image is refused.
  // Without alpha a row is one run of samples (a loop the compiler
  // vectorizes).
  std::uint16_t top = 0;
  bool used[256] = {};
  const std::size_t n = raw.rowSamples();
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint16_t* s = raw.row16(y);
    std::uint8_t* d = out.row8(y);
    std::uint16_t rowTop = 0;
    if (!alpha) {
      for (std::size_t i = 0; i < n; ++i) {
        rowTop = std::max(rowTop, s[i]);
        d[i] = std::uint8_t(s[i] >> shift);
      }
      for (std::size_t i = 0; i < n; ++i) used[d[i]] = true;
    } else {
      for (std::size_t i = 0; i < n; i += std::size_t(ch)) {
        for (std::size_t c = i; c < i + std::size_t(colours); ++c) {
          rowTop = std::max(rowTop, s[c]);
          d[c] = std::uint8_t(s[c] >> shift);
          used[d[c]] = true;
        }
        d[i + std::size_t(colours)] = std::uint8_t(s[i + std::size_t(colours)] >> 8);
      }
    }
    top = std::max(top, rowTop);
  }
  refuseBeyondDepth(top, depth, name);
  const int levels = int(std::count(std::begin(used), std::end(used), true));
  const std::string kind = ch >= 3 ? "colour" : "grey";
  std::vector<std::string> warnings;
  if (levels < 32)
    warnings.push_back(name + ": the 16-bit values become only " + std::to_string(levels) +
                       (ch >= 3 ? " level" : " grey level") + (levels == 1 ? "" : "s") +
                       " with --depth 8 (is --bit-depth right?)");
  if (info) {
    info->conversion = "16-bit " + kind + ", --depth 8 from depth " + std::to_string(depth) + " (v >> " +
                       std::to_string(shift) + ")" + (alpha ? ", alpha v >> 8" : "");
    info->warnings.insert(info->warnings.end(), warnings.begin(), warnings.end());
  } else {
    for (const std::string& w : warnings) std::fprintf(stderr, "imgnorm: warning: %s\n", w.c_str());
  }
  return out;
}

mxPelBuffer<unsigned short> toGray16(const RawImage& raw, const std::string& name, std::int32_t depth) {
  if (raw.bits != 16 || raw.channels != 1)
    inputError(name, describeRaw(raw) + ", but the tool is 16-bit (depth " + std::to_string(depth) +
                         ") and takes 16-bit greyscale images; use an 8-bit tool for it");
  mxPelBuffer<unsigned short> out(mxPelRect(raw.x0, raw.y0, raw.width, raw.height), 32, mxPelInit::eUnwritten);
  std::uint16_t top = 0;
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint16_t* s = raw.row16(y);
    std::uint16_t rowTop = 0;
    for (std::int32_t x = 0; x < raw.width; ++x) rowTop = std::max(rowTop, s[x]);
    top = std::max(top, rowTop);
    std::memcpy(out.row(y), s, std::size_t(raw.width) * 2);
  }
  refuseBeyondDepth(top, depth, name);
  return out;
}

mxPelBuffer<unsigned char> toGray8(const RawImage& raw, const std::string& name, const ReadOptions& options,
                                   ImageInfo* info) {
  const bool plainGrey = raw.channels == 1 && raw.bits == 8;
  const bool shiftDeep = options.toDepth8 && raw.bits == 16 && raw.channels == 1;
  if (!plainGrey && !options.toGray && !shiftDeep) {
    const std::string advice = raw.channels >= 3 ? "use --to-gray to convert it to luma, or --color "
                                                   "per-channel|luminance to normalize it in colour"
                               : raw.channels == 2
                                   ? (raw.bits == 16 ? "use --to-gray to drop the alpha channel and convert it to 8 "
                                                       "bits (--to-gray=SCALING); a 16-bit tool needs the alpha "
                                                       "channel removed first"
                                                     : "use --to-gray to drop the alpha channel")
                                   : "use --depth 8 to reduce it to 8 bits as v >> (depth - 8), or --to-gray=SCALING";
    inputError(name, describeRaw(raw) + "; imgnorm needs 8-bit greyscale (" + advice + ")");
  }
  if (shiftDeep) {
    ReadOptions eight = options;
    eight.toDepth8 = false;
    return toGray8(shiftToDepth8(raw, name, options, info), name, eight);
  }
  mxPelBuffer<unsigned char> out(mxPelRect(raw.x0, raw.y0, raw.width, raw.height), 32, mxPelInit::eUnwritten);
  std::string conversion;
  if (raw.channels >= 3) conversion = raw.palette ? "palette colour to luma" : "colour to luma";
  if (raw.channels == 2 || raw.channels == 4)
    conversion += std::string(conversion.empty() ? "" : ", ") + "alpha dropped";
  if (raw.bits == 8) {
    convert8(raw, out);
    if (info) info->conversion = conversion;
    return out;
  }

  // Deep samples: a table from each 16-bit level to its 8-bit level.
  std::vector<std::uint32_t> histogram(65536, 0);
  forEachLevel16(raw, [&](std::int32_t, auto level) {
    for (std::int32_t x = 0; x < raw.width; ++x) ++histogram[level(x)];
  });
  const GrayScaling& s = options.scaling;
  std::uint32_t lo = 0, hi = raw.maxval;
  scaleRange(raw, histogram, s, name, lo, hi);
  const std::vector<unsigned char> table = levelTable(s, lo, hi);
  std::uint32_t levels[256] = {};
  for (std::uint32_t v = 0; v < 65536; ++v) levels[table[v]] += histogram[v];
  const int used = int(std::count_if(std::begin(levels), std::end(levels), [](std::uint32_t n) { return n != 0; }));
  forEachLevel16(raw, [&](std::int32_t y, auto level) {
    unsigned char* d = out.row(y);
    for (std::int32_t x = 0; x < raw.width; ++x) d[x] = table[level(x)];
  });

  std::string scaleText = grayScalingText(s);
  if (s.mode != GrayScaling::kShift) scaleText += " " + std::to_string(lo) + ".." + std::to_string(hi) + " -> 0..255";
  conversion = std::to_string(raw.bits) + "-bit " + (raw.channels >= 3 ? "colour to luma" : "grey") +
               (raw.channels == 2 || raw.channels == 4 ? ", alpha dropped" : "") + ", " + scaleText;
  std::vector<std::string> warnings;
  if (used < 32)
    warnings.push_back(name + ": the " + std::to_string(raw.bits) + "-bit values become only " + std::to_string(used) +
                       " grey level" + (used == 1 ? "" : "s") + " with --to-gray=" + grayScalingText(s) +
                       (s.mode == GrayScaling::kAuto ? "" : " (try --to-gray=auto)"));
  if (info) {
    info->conversion = conversion;
    info->warnings.insert(info->warnings.end(), warnings.begin(), warnings.end());
  } else {
    for (const std::string& w : warnings) std::fprintf(stderr, "imgnorm: warning: %s\n", w.c_str());
  }
  return out;
}

namespace {

// The interleaved colour pels of raw, window (x0 x channels, y0); the
// largest red, green or blue sample goes to top.  8-bit samples below a
// file maximum of 255 (a PPM's) are scaled to 0..255 as grey ones are.
template <class Pel>
mxPelBuffer<Pel> colourPels(const RawImage& raw, const std::string& name, int bits, std::uint32_t& top) {
  if (raw.channels < 3 || raw.bits != bits)
    inputError(name, describeRaw(raw) + ", but the tool takes " + std::to_string(bits) + "-bit colour images");
  // Samples beyond alpha would be lost in the result: refused, not dropped.
  if (raw.fileSamples > raw.channels)
    inputError(name, "holds " + std::to_string(raw.fileSamples) + " samples a pel (" + describeRaw(raw) +
                         " and more), but the colour tool takes RGB or RGBA (3 or 4 samples); the others would be "
                         "lost");
  const int ch = raw.channels;
  mxPelBuffer<Pel> out(mxPelRect(raw.x0 * ch, raw.y0, raw.width * ch, raw.height), 32, mxPelInit::eUnwritten);
  std::uint32_t scale[256];
  for (std::uint32_t v = 0; v < 256; ++v)
    scale[v] = bits == 16 || raw.maxval == 255 ? v : v >= raw.maxval ? 255 : (v * 510 + raw.maxval) / (2 * raw.maxval);
  top = 0;
  for (std::int32_t y = 0; y < raw.height; ++y) {
    Pel* d = out.row(y);
    if constexpr (sizeof(Pel) == 2) {
      const std::uint16_t* s = raw.row16(y);
      std::memcpy(d, s, raw.rowSamples() * 2);
      std::uint16_t rowTop = 0;
      for (std::int32_t x = 0; x < raw.width; ++x, s += ch) rowTop = std::max({rowTop, s[0], s[1], s[2]});
      top = std::max<std::uint32_t>(top, rowTop);
    } else {
      const std::uint8_t* s = raw.row8(y);
      for (std::size_t i = 0; i < raw.rowSamples(); ++i) d[i] = static_cast<Pel>(scale[s[i]]);
    }
  }
  return out;
}

}  // namespace

mxPelBuffer<unsigned char> toColor8(const RawImage& raw, const std::string& name) {
  std::uint32_t top = 0;
  return colourPels<unsigned char>(raw, name, 8, top);
}

mxPelBuffer<unsigned short> toColor16(const RawImage& raw, const std::string& name, std::int32_t depth) {
  std::uint32_t top = 0;
  mxPelBuffer<unsigned short> out = colourPels<unsigned short>(raw, name, 16, top);
  refuseBeyondDepth(top, depth, name);
  return out;
}

template <class Pel>
mxPelBuffer<Pel> lumaOf(const mxPelBuffer_const<Pel>& image, int channels) {
  const mxPelRect w = image.window();
  mxPelBuffer<Pel> out(mxPelRect(w.x() / channels, w.y(), w.width() / channels, w.height()), 32, mxPelInit::eUnwritten);
  for (std::int32_t y = 0; y < out.height(); ++y) {
    const Pel* s = image.row(y);
    Pel* d = out.row(y);
    for (std::int32_t x = 0; x < out.width(); ++x, s += channels)
      d[x] = static_cast<Pel>((299u * s[0] + 587u * s[1] + 114u * s[2] + 500u) / 1000u);
  }
  return out;
}
template mxPelBuffer<unsigned char> lumaOf(const mxPelBuffer_const<unsigned char>&, int);
template mxPelBuffer<unsigned short> lumaOf(const mxPelBuffer_const<unsigned short>&, int);

RawImage readRaw(const std::string& path, const ReadOptions& options, ImageInfo& info) {
  RawImage raw;
  {
    const std::vector<std::uint8_t> bytes = readFileBytes(path);
    raw = decodeImage(bytes.data(), bytes.size(), path, options);
  }
  // The decoders that read whole images give them whole: cut them here.
  if (!raw.imageWidth) raw.imageWidth = raw.width, raw.imageHeight = raw.height;
  cropRaw(raw, keptPart(raw.imageWidth, raw.imageHeight, raw.bits, options));
  info.pages = raw.pages;
  info.page = raw.page;
  info.width = raw.imageWidth;
  info.height = raw.imageHeight;
  if (raw.pages > 1)
    info.warnings.push_back(path + ": has " + pagesText(std::uint64_t(raw.pages)) + "; page " +
                            std::to_string(raw.page) + " is used (choose another with --page N)");
  return raw;
}

mxPelBuffer<unsigned char> readImage(const std::string& path, const ReadOptions& options, ImageInfo* info) {
  ImageInfo local;
  ImageInfo& i = info ? *info : local;
  const RawImage raw = readRaw(path, options, i);
  mxPelBuffer<unsigned char> out = toGray8(raw, path, options, &i);
  if (!info)
    for (const std::string& w : local.warnings) std::fprintf(stderr, "imgnorm: warning: %s\n", w.c_str());
  return out;
}

// -------------------------------------------------------------- writing ---

std::string colourOutputRefusal(const std::string& path, int channels) {
  const Codec* c = codecForName(path);
  if (channels < 3 || !c || !c->encode || (c->colour && (c->alpha || channels == 3))) return "";
  std::vector<std::string> able;
  for (const Codec& d : codecs())
    if (d.colour && (d.alpha || channels == 3)) able.push_back(d.name);
  return path + ": " + c->name + " holds " + (c->colour ? "no alpha channel" : "grey images only") +
         ", and the result is " + (channels == 4 ? "RGBA" : "RGB") + "; write " + joinList(able, " or ");
}

void writeImage(const std::string& path, const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options) {
  const std::string refusal = colourOutputRefusal(path, options.channels);
  if (!refusal.empty()) throw CliError(kExitUsage, refusal);
  if (!isWritableName(path))
    throw CliError(kExitUsage, path + ": unknown image format for output (use " +
                                   joinList(extensionList(true, "."), " or ") + ")");
  if (!image.isBound() || image.width() <= 0 || image.height() <= 0)
    throw CliError(kExitOutput, path + ": no image to write");
  writeFileAtomically(path, codecForName(path)->encode(image, options, path));
}

std::string deepOutputRefusal(const std::string& path, const std::string& toolFile) {
  const Codec* c = codecForName(path);
  if (!c || !c->encode || c->encode16) return "";
  std::vector<std::string> deep;
  for (const Codec& d : codecs())
    if (d.encode16) deep.push_back(d.name);
  // A 16-bit tool file keeps its depth (--depth 8 is refused with it).
  if (!toolFile.empty())
    return path + ": " + c->name + " holds 8 bits, and " + toolFile + " makes 16-bit results; write " +
           joinList(deep, " or ") + ", or train an 8-bit tool with --depth 8";
  return path + ": " + c->name + " holds 8 bits, and the result is 16-bit; give --depth 8 to normalize in 8 bits, " +
         "or write " + joinList(deep, " or ");
}

void writeImage(const std::string& path, const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options) {
  std::string refusal = deepOutputRefusal(path);
  if (refusal.empty()) refusal = colourOutputRefusal(path, options.channels);
  if (!refusal.empty()) throw CliError(kExitUsage, refusal);
  if (!isWritableName(path))
    throw CliError(kExitUsage,
                   path + ": unknown image format for output (use " + joinList(extensionList(true, "."), " or ") + ")");
  if (!image.isBound() || image.width() <= 0 || image.height() <= 0)
    throw CliError(kExitOutput, path + ": no image to write");
  writeFileAtomically(path, codecForName(path)->encode16(image, options, path));
}

}  // namespace imgnormcli

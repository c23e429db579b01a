// BMP and binary PGM/PPM reading, and PGM/PPM writing.  Both formats are
// uncompressed here, so the file must hold every pel the header claims.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "io/codec_util.h"

namespace imgnormcli {

// ------------------------------------------------------------------ BMP ---

namespace {

std::uint32_t le16(const std::uint8_t* p) { return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8; }
std::uint32_t le32(const std::uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

// One colour channel of a bit-field pel: its mask's bits, stretched to 8 bits.
struct BitField {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t maxv = 1;
  explicit BitField(std::uint32_t m) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1u)) ++shift;
    maxv = m >> shift;
  }
  std::uint8_t operator()(std::uint32_t pel) const {
    return mask ? std::uint8_t((std::uint64_t((pel & mask) >> shift) * 255u + maxv / 2) / maxv) : 0;
  }
};

// The header fields of a BMP file (core header of 12 bytes or info header
// of 40 to 124), checked against what the program reads.
struct BmpHeader {
  std::uint32_t header = 0;  // its size
  std::uint64_t dataOffset = 0;
  std::int64_t width = 0, height = 0;
  std::uint32_t bpp = 0, compression = 0, colours = 0;
  bool topDown = false;
};

BmpHeader readBmpHeader(const std::uint8_t* data, std::size_t size, const std::string& name) {
  if (size < 26 || data[0] != 'B' || data[1] != 'M') inputError(name, "not a BMP file");
  BmpHeader b;
  b.dataOffset = le32(data + 10);
  b.header = le32(data + 14);
  if (b.header != 12 && (b.header < 40 || b.header > 124) && b.header != 64)
    inputError(name, "corrupt BMP: unknown header size " + std::to_string(b.header));
  if (14 + std::uint64_t(b.header) > size) inputError(name, "truncated BMP header");
  const std::uint8_t* h = data + 14;
  if (b.header == 12) {
    b.width = le16(h + 4);
    b.height = std::int16_t(le16(h + 6));
    b.bpp = le16(h + 10);
  } else {
    b.width = std::int32_t(le32(h + 4));
    b.height = std::int32_t(le32(h + 8));
    b.bpp = le16(h + 14);
    b.compression = le32(h + 16);
    b.colours = le32(h + 32);
  }
  b.topDown = b.height < 0;
  if (b.topDown) b.height = -b.height;
  if (b.width <= 0 || b.height <= 0)
    inputError(name, "corrupt BMP: image of " + std::to_string(b.width) + " x " + std::to_string(b.height) + " pels");
  if (b.compression == 1 || b.compression == 2) inputError(name, "RLE-compressed BMP is not supported");
  if (b.compression != 0 && b.compression != 3 && b.compression != 6)
    inputError(name, "BMP compression " + std::to_string(b.compression) + " is not supported");
  if (b.bpp != 1 && b.bpp != 4 && b.bpp != 8 && b.bpp != 16 && b.bpp != 24 && b.bpp != 32)
    inputError(name, "BMP with " + std::to_string(b.bpp) + " bits per pel is not supported");
  return b;
}

// 1, 4 and 8 bits through the palette (after the header, and the masks of a
// bit-field header of 40 bytes): grey when every entry is grey, else RGB.
template <class FileRow>
void readBmpPalette(const std::uint8_t* data, std::size_t size, const BmpHeader& b, FileRow fileRow, RawImage& raw,
                    const std::string& name) {
  const std::uint32_t entrySize = b.header == 12 ? 3 : 4;
  const std::uint32_t maxEntries = 1u << b.bpp;
  const std::uint32_t entries = b.colours == 0 || b.colours > maxEntries ? maxEntries : b.colours;
  const std::uint64_t at = 14 + std::uint64_t(b.header);
  if (at + std::uint64_t(entries) * entrySize > size) inputError(name, "truncated BMP palette");
  std::uint8_t pal[256][3] = {};
  bool greyPalette = true;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint8_t* e = data + at + std::uint64_t(i) * entrySize;
    pal[i][0] = e[2];  // stored blue, green, red
    pal[i][1] = e[1];
    pal[i][2] = e[0];
    greyPalette = greyPalette && e[0] == e[1] && e[1] == e[2];
  }
  raw.channels = greyPalette ? 1 : 3;
  raw.palette = !greyPalette;
  raw.allocate();
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint8_t* s = fileRow(y);
    std::uint8_t* d = raw.row8(y);
    for (std::int32_t x = 0; x < raw.width; ++x) {
      const std::uint64_t bit = std::uint64_t(x) * b.bpp;
      const std::uint32_t k = (s[bit >> 3] >> (8 - b.bpp - (bit & 7))) & (maxEntries - 1);
      if (greyPalette)
        d[x] = pal[k][0];
      else
        std::memcpy(d + 3 * std::size_t(x), pal[k], 3);
    }
  }
}

// 16, 24 and 32 bits: red, green, blue; alpha is ignored.
template <class FileRow>
void readBmpDirect(const std::uint8_t* data, std::size_t size, const BmpHeader& b, FileRow fileRow, RawImage& raw,
                   const std::string& name) {
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (b.bpp == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (b.compression == 3 || b.compression == 6) {
    const std::uint64_t at = 14 + 40;  // right after a 40-byte header, or inside a longer one
    if (at + 12 > size) inputError(name, "truncated BMP bit fields");
    for (int c = 0; c < 3; ++c) masks[c] = le32(data + at + 4 * c);
  }
  const BitField fields[3] = {BitField(masks[0]), BitField(masks[1]), BitField(masks[2])};
  raw.channels = 3;
  raw.allocate();
  for (std::int32_t y = 0; y < raw.height; ++y) {
    const std::uint8_t* s = fileRow(y);
    std::uint8_t* d = raw.row8(y);
    for (std::int32_t x = 0; x < raw.width; ++x, d += 3) {
      if (b.bpp == 24) {
        d[0] = s[3 * x + 2], d[1] = s[3 * x + 1], d[2] = s[3 * x];
      } else {
        const std::uint32_t pel = b.bpp == 16 ? le16(s + 2 * x) : le32(s + 4 * x);
        for (int c = 0; c < 3; ++c) d[c] = fields[c](pel);
      }
    }
  }
}

}  // namespace

RawImage decodeBmp(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  checkSinglePage(name, options);
  const BmpHeader b = readBmpHeader(data, size, name);
  checkClaimedSize(name, std::uint64_t(b.width), std::uint64_t(b.height), options);
  const std::uint64_t stride = (std::uint64_t(b.width) * b.bpp + 31) / 32 * 4;
  checkStoredBytes(name, std::uint64_t(b.width), std::uint64_t(b.height),
                   b.dataOffset + stride * std::uint64_t(b.height), size);
  RawImage raw;
  raw.width = std::int32_t(b.width);
  raw.height = std::int32_t(b.height);
  const std::uint8_t* pels = data + b.dataOffset;
  auto fileRow = [&](std::int32_t y) { return pels + stride * std::uint64_t(b.topDown ? y : raw.height - 1 - y); };
  if (b.bpp <= 8)
    readBmpPalette(data, size, b, fileRow, raw, name);
  else
    readBmpDirect(data, size, b, fileRow, raw, name);
  return raw;
}

// ------------------------------------------------------------------ PNM ---

namespace {

// Reads one header number of a PNM file, skipping white space and comments.
bool pnmNumber(const std::uint8_t* b, std::size_t size, std::size_t& pos, std::uint32_t& value) {
  for (;;) {
    while (pos < size && std::isspace(b[pos])) ++pos;
    if (pos < size && b[pos] == '#') {
      while (pos < size && b[pos] != '\n' && b[pos] != '\r') ++pos;
      continue;
    }
    break;
  }
  if (pos >= size || !std::isdigit(b[pos])) return false;
  std::uint64_t v = 0;
  while (pos < size && std::isdigit(b[pos])) {
    v = v * 10 + std::uint64_t(b[pos++] - '0');
    if (v > 0xffffffffu) return false;
  }
  value = std::uint32_t(v);
  return true;
}

}  // namespace

RawImage decodePnm(const std::uint8_t* b, std::size_t size, const std::string& name, const ReadOptions& options) {
  checkSinglePage(name, options);
  if (size < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6'))
    inputError(name, "not a binary PGM (P5) or PPM (P6) file");
  std::size_t pos = 2;
  std::uint32_t w = 0, h = 0, maxval = 0;
  if (!pnmNumber(b, size, pos, w) || !pnmNumber(b, size, pos, h) || !pnmNumber(b, size, pos, maxval) || pos >= size ||
      !std::isspace(b[pos]))
    inputError(name, "corrupt PGM header");
  ++pos;  // the single white-space character before the pels
  if (maxval == 0 || maxval > 65535) inputError(name, "corrupt PGM header: maximum value " + std::to_string(maxval));
  RawImage raw;
  raw.channels = b[1] == '6' ? 3 : 1;
  raw.bits = maxval > 255 ? 16 : 8;
  raw.maxval = maxval;
  const std::uint64_t bytesPerPel = std::uint64_t(raw.channels) * std::uint64_t(raw.bits / 8);
  checkClaimedSize(name, w, h, options);
  checkStoredBytes(name, w, h, pos + std::uint64_t(w) * h * bytesPerPel, size);
  raw.width = std::int32_t(w);
  raw.height = std::int32_t(h);
  raw.allocate();
  const std::size_t n = raw.sampleCount();
  std::uint32_t largest = 0;
  if (raw.bits == 8) {
    std::memcpy(raw.bytes8.get(), b + pos, n);
    if (maxval < 255 && n > 0) largest = *std::max_element(raw.bytes8.get(), raw.bytes8.get() + n);
  } else {
    for (std::size_t i = 0; i < n; ++i) raw.samples16[i] = std::uint16_t((b[pos + 2 * i] << 8) | b[pos + 2 * i + 1]);
    if (maxval < 65535 && n > 0) largest = *std::max_element(raw.samples16.get(), raw.samples16.get() + n);
  }
  // A sample above the maximum value has no meaning in the format: refused,
  // as 16-bit values above a declared depth are, not clamped.
  if (largest > maxval)
    inputError(name, std::string("corrupt ") + (raw.channels == 3 ? "PPM" : "PGM") + ": it holds the value " +
                         std::to_string(largest) + ", above its maximum value " + std::to_string(maxval));
  return raw;
}

namespace {

// A binary PGM (P5, grey) or PPM (P6, RGB) of the image's window, whose
// rows hold options.channels samples a pel (1 or 3; a grey image in a PPM
// gives R = G = B).  8-bit pels have the maximum value 255.  16-bit ones
// take two bytes a sample, most significant first, and the maximum value
// 2^depth - 1 rather than 65535: PNM readers scale by the maximum value, so
// a 12-bit result shows at its true brightness, and the file tells its depth
// (read back, it declares depth 12).
template <class Pel>
std::vector<std::uint8_t> encodePnm(const mxPelBuffer_const<Pel>& image, const WriteOptions& options, bool rgb) {
  const std::size_t in = std::size_t(options.channels), out = rgb ? 3 : 1, bytes = sizeof(Pel);
  const std::size_t pels = std::size_t(image.width()) / in, rowBytes = pels * out * bytes;
  const unsigned maxval = bytes == 1 ? 255u : (1u << options.depth) - 1;
  char head[64];
  const int n =
      std::snprintf(head, sizeof head, "P%c\n%zu %d\n%u\n", rgb ? '6' : '5', pels, int(image.height()), maxval);
  std::vector<std::uint8_t> file(std::size_t(n) + rowBytes * std::size_t(image.height()));
  std::memcpy(file.data(), head, std::size_t(n));
  std::uint8_t* d = file.data() + n;
  for (std::int32_t j = 0; j < image.height(); ++j) {
    const Pel* s = image.row(j);
    if (in == out && bytes == 1) {
      std::memcpy(d, s, rowBytes);
      d += rowBytes;
      continue;
    }
    for (std::size_t i = 0; i < pels; ++i, s += in)
      for (std::size_t c = 0; c < out; ++c) {
        const unsigned v = s[in == 1 ? 0 : c];
        if (bytes == 2) *d++ = std::uint8_t(v >> 8);
        *d++ = std::uint8_t(v);
      }
  }
  return file;
}

}  // namespace

std::vector<std::uint8_t> encodePgm(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                    const std::string&) {
  return encodePnm(image, options, false);
}
std::vector<std::uint8_t> encodePgm16(const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options,
                                      const std::string&) {
  return encodePnm(image, options, false);
}
std::vector<std::uint8_t> encodePpm(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                    const std::string&) {
  return encodePnm(image, options, true);
}
std::vector<std::uint8_t> encodePpm16(const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options,
                                      const std::string&) {
  return encodePnm(image, options, true);
}

}  // namespace imgnormcli

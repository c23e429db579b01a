// BMP and binary PGM/PPM reading, and PGM writing.  Both formats are
// uncompressed here, so the file must hold every pel the header claims.
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

}  // namespace

RawImage decodeBmp(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  checkSinglePage(name, options);
  if (size < 26 || data[0] != 'B' || data[1] != 'M') inputError(name, "not a BMP file");
  const std::uint64_t dataOffset = le32(data + 10);
  const std::uint32_t header = le32(data + 14);
  if (header != 12 && (header < 40 || header > 124) && header != 64)
    inputError(name, "corrupt BMP: unknown header size " + std::to_string(header));
  if (14 + std::uint64_t(header) > size) inputError(name, "truncated BMP header");
  const std::uint8_t* h = data + 14;
  std::int64_t width, height;
  std::uint32_t bpp, compression = 0, colours = 0;
  if (header == 12) {
    width = le16(h + 4);
    height = std::int16_t(le16(h + 6));
    bpp = le16(h + 10);
  } else {
    width = std::int32_t(le32(h + 4));
    height = std::int32_t(le32(h + 8));
    bpp = le16(h + 14);
    compression = le32(h + 16);
    colours = le32(h + 32);
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width <= 0 || height <= 0)
    inputError(name, "corrupt BMP: image of " + std::to_string(width) + " x " + std::to_string(height) + " pels");
  if (compression == 1 || compression == 2) inputError(name, "RLE-compressed BMP is not supported");
  if (compression != 0 && compression != 3 && compression != 6)
    inputError(name, "BMP compression " + std::to_string(compression) + " is not supported");
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
    inputError(name, "BMP with " + std::to_string(bpp) + " bits per pel is not supported");

  checkClaimedSize(name, std::uint64_t(width), std::uint64_t(height), options);
  const std::uint64_t stride = (std::uint64_t(width) * bpp + 31) / 32 * 4;
  checkStoredBytes(name, std::uint64_t(width), std::uint64_t(height), dataOffset + stride * std::uint64_t(height),
                   size);

  RawImage raw;
  raw.width = std::int32_t(width);
  raw.height = std::int32_t(height);
  const std::uint8_t* pels = data + dataOffset;
  auto fileRow = [&](std::int32_t y) { return pels + stride * std::uint64_t(topDown ? y : raw.height - 1 - y); };

  if (bpp <= 8) {
    // Palette: after the header (and the masks of a bit-field header of 40 bytes).
    const std::uint32_t entrySize = header == 12 ? 3 : 4;
    const std::uint32_t maxEntries = 1u << bpp;
    const std::uint32_t entries = colours == 0 || colours > maxEntries ? maxEntries : colours;
    const std::uint64_t at = 14 + std::uint64_t(header);
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
        const std::uint64_t bit = std::uint64_t(x) * bpp;
        const std::uint32_t k = (s[bit >> 3] >> (8 - bpp - (bit & 7))) & (maxEntries - 1);
        if (greyPalette)
          d[x] = pal[k][0];
        else
          std::memcpy(d + 3 * std::size_t(x), pal[k], 3);
      }
    }
    return raw;
  }

  // 16, 24 and 32 bits: red, green, blue; alpha is ignored.
  std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (bpp == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (compression == 3 || compression == 6) {
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
      if (bpp == 24) {
        d[0] = s[3 * x + 2], d[1] = s[3 * x + 1], d[2] = s[3 * x];
      } else {
        const std::uint32_t pel = bpp == 16 ? le16(s + 2 * x) : le32(s + 4 * x);
        for (int c = 0; c < 3; ++c) d[c] = fields[c](pel);
      }
    }
  }
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
  if (raw.bits == 8) {
    std::memcpy(raw.bytes8.get(), b + pos, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) raw.samples16[i] = std::uint16_t((b[pos + 2 * i] << 8) | b[pos + 2 * i + 1]);
  }
  return raw;
}

std::vector<std::uint8_t> encodePgm(const mxPelBuffer_const<unsigned char>& image, const WriteOptions&,
                                    const std::string&) {
  char head[64];
  const int n = std::snprintf(head, sizeof head, "P5\n%d %d\n255\n", int(image.width()), int(image.height()));
  std::vector<std::uint8_t> bytes(head, head + n);
  bytes.reserve(bytes.size() + std::size_t(image.width()) * std::size_t(image.height()));
  for (std::int32_t j = 0; j < image.height(); ++j)
    bytes.insert(bytes.end(), image.row(j), image.row(j) + image.width());
  return bytes;
}

}  // namespace imgnormcli

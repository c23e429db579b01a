// Images the program never writes, through libpng, libtiff, libjpeg or byte by byte.
#pragma once

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace clifixtures {

// Interleaved samples, row by row; 16-bit samples in host order.
struct Samples {
  int width = 0, height = 0, channels = 1, bits = 8;
  std::vector<std::uint16_t> v;  // width * height * channels values
  std::uint16_t at(int x, int y, int c) const { return v[(std::size_t(y) * width + x) * channels + c]; }
};

// A deterministic pattern over the full range of the depth.
inline Samples pattern(int width, int height, int channels, int bits) {
  Samples s{width, height, channels, bits, {}};
  std::uint32_t state = 12345u;
  for (int i = 0; i < width * height * channels; ++i) {
    state = state * 1664525u + 1013904223u;
    s.v.push_back(std::uint16_t((state >> 8) % (bits == 16 ? 65536u : 256u)));
  }
  return s;
}

// A PNG of the samples, or with a palette of 256 entries (entry i is
// (i, i, i), or (i, 255 - i, i / 2) for kColour) indexed by channel 0.
enum class Palette { kNone, kGrey, kColour };

inline bool writePng(const std::string& path, const Samples& s, Palette palette = Palette::kNone) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  static const int types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                              PNG_COLOR_TYPE_RGB_ALPHA};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  const bool indexed = palette != Palette::kNone;
  png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), indexed ? 8 : s.bits,
               indexed ? PNG_COLOR_TYPE_PALETTE : types[s.channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (indexed) {
    png_color pal[256];
    for (int i = 0; i < 256; ++i)
      pal[i] = palette == Palette::kColour ? png_color{png_byte(i), png_byte(255 - i), png_byte(i / 2)}
                                           : png_color{png_byte(i), png_byte(i), png_byte(i)};
    png_set_PLTE(png, info, pal, 256);
  }
  png_write_info(png, info);
  if (s.bits == 16) png_set_swap(png);  // rows in host (little-endian) order; PNG is big-endian
  for (int y = 0; y < s.height; ++y) {
    std::vector<std::uint8_t> row;  // 16-bit samples in host order; the low byte alone for 8 bits (little-endian)
    for (int x = 0; x < s.width; ++x)
      for (int c = 0; c < (indexed ? 1 : s.channels); ++c) {
        const std::uint16_t v = s.at(x, y, c);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        row.insert(row.end(), p, p + (indexed ? 1 : s.bits / 8));
      }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// How writeTiff lays a file out.
struct TiffLayout {
  int bits = 0;                                  // 0: the samples' own depth
  int photometric = -1;                          // -1: RGB for 3 or more channels, else min-is-black
  bool separate = false;                         // one plane a channel
  std::uint32_t tile = 0;                        // tile side (whole bytes a pel, interleaved); 0: strips
  std::uint32_t rowsPerStrip = 1;                //
  std::uint16_t compression = COMPRESSION_NONE;  //
  const char* mode = "w";                        // "w8": BigTIFF
  std::vector<std::uint16_t> colormap;           // 3 x 2^bits entries for palette files
};

// Row y of the samples (plane p when separate) packed MSB first, 16-bit samples in host order.
inline std::vector<std::uint8_t> packedRow(const Samples& s, int y, int p, const TiffLayout& layout, int bits) {
  const int perPel = layout.separate ? 1 : s.channels;
  std::vector<std::uint8_t> row((std::size_t(s.width) * perPel * bits + 7) / 8, 0);
  for (int x = 0; x < s.width; ++x)
    for (int c = 0; c < perPel; ++c) {
      const std::uint32_t v = s.at(x, y, layout.separate ? p : c);
      const std::size_t i = std::size_t(x) * perPel + c;
      if (bits == 16) {
        const std::uint16_t v16 = std::uint16_t(v);
        std::memcpy(&row[2 * i], &v16, 2);
      } else {
        for (int k = 0; k < bits; ++k) {
          const std::size_t bit = i * bits + k;
          if ((v >> (bits - 1 - k)) & 1u) row[bit / 8] |= std::uint8_t(0x80 >> (bit % 8));
        }
      }
    }
  return row;
}

// A TIFF file with one page per entry of pages (which may differ in size and channels).
inline bool writeTiff(const std::string& path, const std::vector<Samples>& pages, const TiffLayout& layout = {}) {
  TIFF* t = TIFFOpen(path.c_str(), layout.mode);
  if (!t) return false;
  bool ok = true;
  for (const Samples& s : pages) {
    const int bits = layout.bits ? layout.bits : s.bits;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(s.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(s.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.channels);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                 layout.photometric >= 0 ? layout.photometric
                 : s.channels >= 3       ? PHOTOMETRIC_RGB
                                         : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, layout.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, layout.compression);
    std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    if (s.channels == 2 || s.channels == 4) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    if (!layout.colormap.empty()) {
      const std::size_t n = layout.colormap.size() / 3;
      TIFFSetField(t, TIFFTAG_COLORMAP, layout.colormap.data(), layout.colormap.data() + n,
                   layout.colormap.data() + 2 * n);
    }
    if (layout.tile) {
      const std::uint32_t side = layout.tile, pelBytes = std::uint32_t(s.channels * bits / 8);
      TIFFSetField(t, TIFFTAG_TILEWIDTH, side);
      TIFFSetField(t, TIFFTAG_TILELENGTH, side);
      for (std::uint32_t ty = 0; ty < std::uint32_t(s.height) && ok; ty += side)
        for (std::uint32_t tx = 0; tx < std::uint32_t(s.width) && ok; tx += side) {
          std::vector<std::uint8_t> block;
          for (std::uint32_t y = ty; y < ty + side; ++y) {
            std::vector<std::uint8_t> row =
                y < std::uint32_t(s.height) ? packedRow(s, int(y), 0, layout, bits) : std::vector<std::uint8_t>();
            row.resize(std::size_t(tx + side) * pelBytes, 0);  // zero beyond the image
            block.insert(block.end(), row.begin() + std::ptrdiff_t(tx * pelBytes), row.end());
          }
          ok = TIFFWriteTile(t, block.data(), tx, ty, 0, 0) >= 0;
        }
    } else {
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
      for (int p = 0; p < (layout.separate ? s.channels : 1) && ok; ++p)
        for (int y = 0; y < s.height && ok; ++y)
          ok = TIFFWriteScanline(t, packedRow(s, y, p, layout, bits).data(), std::uint32_t(y), std::uint16_t(p)) >= 0;
    }
    ok = ok && TIFFWriteDirectory(t);
  }
  TIFFClose(t);
  return ok;
}

// An uncompressed TIFF with its directory first (a cut loses pels, not the header); data
// in strips of rowsPerStrip rows (0: one), or as tiles of w x rows.
inline std::vector<std::uint8_t> headerFirstTiff(std::uint32_t w, std::uint32_t h, int bits, int spp, int photometric,
                                                 const std::vector<std::uint8_t>& data,
                                                 std::uint32_t rowsPerStrip = 0, bool tiles = false) {
  const std::uint32_t rows = rowsPerStrip ? rowsPerStrip : h, strips = (h + rows - 1) / rows;
  const std::uint32_t rowBytes = (w * std::uint32_t(spp * bits) + 7) / 8, entries = tiles ? 10 : 9;
  // After the directory: four BitsPerSample values, the strip offsets and
  // byte counts (more than one strip), the pels.
  const std::uint32_t bitsAt = 8 + 2 + entries * 12 + 4, offsetsAt = bitsAt + 8, countsAt = offsetsAt + 4 * strips,
                      dataAt = strips > 1 ? countsAt + 4 * strips : offsetsAt;
  std::vector<std::uint8_t> b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto le = [&b](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
  };
  const auto entry = [&](std::uint32_t tag, std::uint32_t type, std::uint32_t count, std::uint32_t value) {
    le(tag, 2), le(type, 2), le(count, 4), le(value, 4);
  };
  const auto stripBytes = [&](std::uint32_t s) { return std::min(rows, h - s * rows) * rowBytes; };
  le(entries, 2);
  entry(256, 4, 1, w);
  entry(257, 4, 1, h);
  entry(258, 3, std::uint32_t(spp),
        spp > 2 ? bitsAt : std::uint32_t(bits) | (spp == 2 ? std::uint32_t(bits) << 16 : 0));
  entry(259, 3, 1, 1);
  entry(262, 3, 1, std::uint32_t(photometric));
  if (!tiles) entry(273, 4, strips, strips > 1 ? offsetsAt : dataAt);
  entry(277, 3, 1, std::uint32_t(spp));
  if (tiles) entry(322, 4, 1, w), entry(323, 4, 1, rows);  // one column of w x rows tiles
  entry(tiles ? 324 : 278, 4, tiles ? strips : 1, tiles ? (strips > 1 ? offsetsAt : dataAt) : rows);
  entry(tiles ? 325 : 279, 4, strips, strips > 1 ? countsAt : stripBytes(0));
  le(0, 4);  // no next directory
  for (int i = 0; i < 4; ++i) le(std::uint32_t(bits), 2);
  if (strips > 1) {
    for (std::uint32_t s = 0, at = dataAt; s < strips; at += stripBytes(s++)) le(at, 4);
    for (std::uint32_t s = 0; s < strips; ++s) le(stripBytes(s), 4);
  }
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// A JPEG of 8-bit grey (1 channel) or RGB (3) samples, or CMYK (4).
inline bool writeJpeg(const std::string& path, const Samples& s, int quality, bool progressive) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = JDIMENSION(s.width);
  c.image_height = JDIMENSION(s.height);
  c.input_components = s.channels;
  c.in_color_space = s.channels == 1 ? JCS_GRAYSCALE : s.channels == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<std::uint8_t> row(std::size_t(s.width) * s.channels);
  for (int y = 0; y < s.height; ++y) {
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = std::uint8_t(s.v[std::size_t(y) * row.size() + i]);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return std::fclose(f) == 0;
}

// A BMP: 1 channel with a grey palette (black and white at 1 bit), or 24-bit RGB.
inline std::vector<std::uint8_t> bmpBytes(const Samples& s, int bits, bool topDown) {
  const std::uint32_t entries = bits == 24 ? 0 : 1u << bits;
  const std::uint32_t stride = (std::uint32_t(s.width) * bits + 31) / 32 * 4, offset = 54 + 4 * entries;
  std::vector<std::uint8_t> b;
  auto le = [&b](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
  };
  b.push_back('B'), b.push_back('M');
  le(offset + stride * std::uint32_t(s.height), 4), le(0, 4), le(offset, 4);
  le(40, 4), le(std::uint32_t(s.width), 4), le(std::uint32_t(topDown ? -s.height : s.height), 4), le(1, 2),
      le(std::uint32_t(bits), 2);
  le(0, 4), le(0, 4), le(2835, 4), le(2835, 4), le(entries, 4), le(0, 4);
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint8_t g = std::uint8_t(bits == 1 ? i * 255 : i);
    b.insert(b.end(), {g, g, g, 0});
  }
  for (int j = 0; j < s.height; ++j) {
    const int y = topDown ? j : s.height - 1 - j;
    std::vector<std::uint8_t> row(stride, 0);
    for (int x = 0; x < s.width; ++x) {
      if (bits == 24) {
        for (int c = 0; c < 3; ++c) row[3 * std::size_t(x) + c] = std::uint8_t(s.at(x, y, 2 - c));  // blue first
      } else if (bits == 8) {
        row[std::size_t(x)] = std::uint8_t(s.at(x, y, 0));
      } else if (s.at(x, y, 0) >= 128) {
        row[std::size_t(x) / 8] |= std::uint8_t(0x80 >> (x % 8));
      }
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

}  // namespace clifixtures

// Test images the program itself never writes: colour, grey+alpha and 16-bit
// PNG and TIFF files, written straight through libpng and libtiff.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// Appends the samples of pels x0 .. x0 + w - 1 of row y (zero beyond the
// image), 16-bit ones in host order.
inline void appendRow(const Samples& s, int y, int x0, int w, std::vector<std::uint8_t>& out) {
  for (int x = x0; x < x0 + w; ++x)
    for (int c = 0; c < s.channels; ++c) {
      const std::uint16_t v = (x < s.width && y < s.height) ? s.at(x, y, c) : 0;
      const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
      out.insert(out.end(), p, p + s.bits / 8);  // the low byte alone for 8 bits on little-endian hosts
    }
}

inline bool writePng(const std::string& path, const Samples& s) {
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
  png_set_IHDR(png, info, png_uint_32(s.width), png_uint_32(s.height), s.bits, types[s.channels], PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (s.bits == 16) png_set_swap(png);  // rows in host (little-endian) order; PNG is big-endian
  for (int y = 0; y < s.height; ++y) {
    std::vector<std::uint8_t> row;
    appendRow(s, y, 0, s.width, row);
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

// Strips of one row, or 16 x 16 tiles.
inline bool writeTiff(const std::string& path, const Samples& s, bool tiled = false) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(s.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(s.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.channels);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
  if (s.channels == 2 || s.channels == 4) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
  const int tw = tiled ? 16 : s.width, th = tiled ? 16 : 1;
  if (tiled) TIFFSetField(t, TIFFTAG_TILEWIDTH, tw), TIFFSetField(t, TIFFTAG_TILELENGTH, th);
  bool ok = true;
  for (int ty = 0; ty < s.height && ok; ty += th)
    for (int tx = 0; tx < s.width && ok; tx += tw) {
      std::vector<std::uint8_t> block;
      for (int y = ty; y < ty + th; ++y) appendRow(s, y, tx, tw, block);
      ok = tiled ? TIFFWriteTile(t, block.data(), std::uint32_t(tx), std::uint32_t(ty), 0, 0) >= 0
                 : TIFFWriteScanline(t, block.data(), std::uint32_t(ty), 0) >= 0;
    }
  TIFFClose(t);
  return ok;
}

}  // namespace clifixtures

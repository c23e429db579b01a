// Writes the images the end-to-end test needs but the program never writes:
//   make_fixtures DIR  ->  DIR/rgb.png DIR/grey16.png
//                          DIR/mask.pgm (512 x 512, zero in the top left 100 x 100, else 255)
//                          DIR/corner.pgm (100 x 100 mid grey, lies wholly in the mask's zero part)
//                          DIR/pages.tif (two 64 x 48 grey pages), DIR/grey.jpg, DIR/cmyk.jpg,
//                          DIR/palette.png (grey palette), DIR/colour_palette.png
#include <cstdio>

#include "fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fixtures DIR\n");
    return 2;
  }
  using namespace clifixtures;
  const std::string d = argv[1];
  const bool ok = writePng(d + "/rgb.png", pattern(64, 48, 3, 8)) &&
                  writePng(d + "/grey16.png", pattern(64, 48, 1, 16)) &&
                  writeTiff(d + "/pages.tif", {pattern(64, 48, 1, 8), pattern(64, 48, 1, 8)}) &&
                  writeJpeg(d + "/grey.jpg", pattern(64, 48, 1, 8), 90, false) &&
                  writeJpeg(d + "/cmyk.jpg", pattern(64, 48, 4, 8), 90, false) &&
                  writePng(d + "/palette.png", pattern(64, 48, 1, 8), Palette::kGrey) &&
                  writePng(d + "/colour_palette.png", pattern(64, 48, 1, 8), Palette::kColour);
  std::FILE* mask = std::fopen((d + "/mask.pgm").c_str(), "wb");
  std::FILE* corner = std::fopen((d + "/corner.pgm").c_str(), "wb");
  if (!ok || !mask || !corner) {
    std::fprintf(stderr, "make_fixtures: cannot write into %s\n", d.c_str());
    return 1;
  }
  std::fprintf(mask, "P5\n512 512\n255\n");
  for (int y = 0; y < 512; ++y)
    for (int x = 0; x < 512; ++x) std::fputc(x < 100 && y < 100 ? 0 : 255, mask);
  std::fprintf(corner, "P5\n100 100\n255\n");
  for (int i = 0; i < 100 * 100; ++i) std::fputc(128, corner);
  const bool closed = std::fclose(mask) == 0 && std::fclose(corner) == 0;
  if (!closed) std::fprintf(stderr, "make_fixtures: cannot write into %s\n", d.c_str());
  return closed ? 0 : 1;
}

// Labelled contact sheets: a grid of thumbnails with a line or two of text
// under each, drawn with a small built-in 5 x 7 bitmap font, written as one
// 8-bit image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"

namespace imgnormcli {

// ---- bitmap font ----

// Glyph rows of a character: 7 rows, bit 4 the leftmost of 5 columns.
// Lower-case letters use the upper-case glyphs; characters without a glyph
// use '?'.
const std::uint8_t* glyphRows(char c);
// Width in pels of a text line at the given scale (each character is 6 x 8
// cells including the spacing; the last column of spacing is not counted).
std::int32_t textWidth(const std::string& text, int scale);
constexpr std::int32_t kGlyphHeight = 7;
// Draws text with its top left corner at (x, y) in image coordinates, each
// font pel a scale x scale square of the value ink; clipped to the window.
void drawText(const mxPelBuffer<unsigned char>& image, std::int32_t x, std::int32_t y, const std::string& text,
              int scale, unsigned char ink);

// ---- sheets ----

struct SheetTile {
  mxPelBuffer_const<unsigned char> image;  // unbound: an empty box marked "NO IMAGE"
  std::vector<std::string> label;          // lines under the thumbnail
};

// Shrinks an image by an integer factor with box averaging (the last block of
// a row or column averages what is there).
mxPelBuffer<unsigned char> shrink(const mxPelBuffer_const<unsigned char>& image, std::int32_t factor);

// The integer factor that brings the larger side of a width x height image to
// at most maxSide.
std::int32_t shrinkFactor(std::int32_t width, std::int32_t height, std::int32_t maxSide);

// A grid of tiles, one row per entry of rows, each thumbnail shrunk so that
// its larger side is at most maxSide, with a title line above the grid.
mxPelBuffer<unsigned char> contactSheet(const std::string& title, const std::vector<std::vector<SheetTile>>& rows,
                                        std::int32_t maxSide);

}  // namespace imgnormcli

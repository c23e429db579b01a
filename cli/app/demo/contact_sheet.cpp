#include "app/demo/contact_sheet.h"

#include <algorithm>
#include <cctype>

namespace imgnormcli {

namespace {

struct Glyph {
  char c;
  std::uint8_t rows[7];
};

// A 5 x 7 font for the characters labels use: upper-case letters, digits
// and some punctuation.  Each row is 5 bits, bit 4 the leftmost column.
const Glyph kGlyphs[] = {
    {' ', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}, {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}}, {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'/', {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00}}, {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}}, {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}}, {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}}, {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}}, {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}}, {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'^', {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00}}, {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
};

constexpr std::int32_t kCellWidth = 6;   // 5 columns + 1 spacing
constexpr std::int32_t kCellHeight = 8;  // 7 rows + 1 spacing
constexpr unsigned char kBackground = 24;
constexpr unsigned char kInk = 235;
constexpr unsigned char kEmptyBox = 64;

}  // namespace

const std::uint8_t* glyphRows(char c) {
  const char u = char(std::toupper(static_cast<unsigned char>(c)));
  const Glyph* fallback = nullptr;
  for (const Glyph& g : kGlyphs) {
    if (g.c == u) return g.rows;
    if (g.c == '?') fallback = &g;
  }
  return fallback->rows;
}

std::int32_t textWidth(const std::string& text, int scale) {
  return text.empty() ? 0 : (std::int32_t(text.size()) * kCellWidth - 1) * scale;
}

void drawText(const mxPelBuffer<unsigned char>& image, std::int32_t x, std::int32_t y, const std::string& text,
              int scale, unsigned char ink) {
  const mxPelRect win = image.window();
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::uint8_t* rows = glyphRows(text[k]);
    const std::int32_t gx = x + std::int32_t(k) * kCellWidth * scale;
    for (std::int32_t r = 0; r < kGlyphHeight; ++r) {
      for (std::int32_t c = 0; c < 5; ++c) {
        if (!(rows[r] & (0x10 >> c))) continue;
        for (int dy = 0; dy < scale; ++dy) {
          const std::int32_t py = y + r * scale + dy;
          if (py < win.y() || py >= win.y() + win.height()) continue;
          for (int dx = 0; dx < scale; ++dx) {
            const std::int32_t px = gx + c * scale + dx;
            if (px >= win.x() && px < win.x() + win.width()) *image.pointToPel(px, py) = ink;
          }
        }
      }
    }
  }
}

mxPelBuffer<unsigned char> shrink(const mxPelBuffer_const<unsigned char>& image, std::int32_t factor) {
  const std::int32_t f = factor < 1 ? 1 : factor;
  const std::int32_t w = (image.width() + f - 1) / f, h = (image.height() + f - 1) / f;
  mxPelBuffer<unsigned char> out(w, h);
  std::vector<std::uint32_t> sums(std::size_t(w), 0), counts(std::size_t(w), 0);
  for (std::int32_t oy = 0; oy < h; ++oy) {
    std::fill(sums.begin(), sums.end(), 0u);
    std::fill(counts.begin(), counts.end(), 0u);
    const std::int32_t y1 = std::min(image.height(), (oy + 1) * f);
    for (std::int32_t y = oy * f; y < y1; ++y) {
      const unsigned char* s = image.row(y);
      for (std::int32_t x = 0; x < image.width(); ++x) {
        sums[std::size_t(x / f)] += s[x];
        counts[std::size_t(x / f)] += 1;
      }
    }
    unsigned char* d = out.row(oy);
    for (std::int32_t ox = 0; ox < w; ++ox)
      d[ox] =
          static_cast<unsigned char>((sums[std::size_t(ox)] + counts[std::size_t(ox)] / 2) / counts[std::size_t(ox)]);
  }
  return out;
}

std::int32_t shrinkFactor(std::int32_t width, std::int32_t height, std::int32_t maxSide) {
  const std::int32_t side = std::max(width, height);
  if (maxSide < 1 || side <= maxSide) return 1;
  return (side + maxSide - 1) / maxSide;
}

mxPelBuffer<unsigned char> contactSheet(const std::string& title, const std::vector<std::vector<SheetTile>>& rows,
                                        std::int32_t maxSide) {
  // Thumbnails first: the cell size is the largest thumbnail.
  std::vector<std::vector<mxPelBuffer<unsigned char>>> thumbs(rows.size());
  std::int32_t cellW = 8, cellH = 8;
  std::size_t labelLines = 0, columns = 0, longest = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    columns = std::max(columns, rows[r].size());
    for (const SheetTile& t : rows[r]) {
      mxPelBuffer<unsigned char> th;
      if (t.image.isBound() && t.image.width() > 0 && t.image.height() > 0)
        th = shrink(t.image, shrinkFactor(t.image.width(), t.image.height(), maxSide));
      cellW = std::max(cellW, th.width());
      cellH = std::max(cellH, th.height());
      labelLines = std::max(labelLines, t.label.size());
      for (const std::string& l : t.label) longest = std::max(longest, l.size());
      thumbs[r].push_back(th);
    }
  }
  // Labels at twice the font size when the longest line fits under a cell.
  const int scale = textWidth(std::string(longest, 'M'), 2) <= cellW ? 2 : 1;
  cellW = std::max(cellW, textWidth(std::string(longest, 'M'), scale));
  const std::int32_t gap = 8 * scale, lineH = kCellHeight * scale + 2;
  const std::int32_t labelH = std::int32_t(labelLines) * lineH;
  const std::int32_t titleH = 2 * kCellHeight * scale + gap;
  const std::int32_t sheetW = std::max(gap + std::int32_t(columns) * (cellW + gap), 2 * gap + textWidth(title, scale));
  const std::int32_t sheetH = titleH + std::int32_t(rows.size()) * (cellH + labelH + gap) + gap;

  mxPelBuffer<unsigned char> sheet(sheetW, sheetH);
  for (std::int32_t j = 0; j < sheetH; ++j) std::fill(sheet.row(j), sheet.row(j) + sheetW, kBackground);
  drawText(sheet, gap, gap, title, scale, kInk);

  for (std::size_t r = 0; r < rows.size(); ++r) {
    const std::int32_t y0 = titleH + std::int32_t(r) * (cellH + labelH + gap);
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      const std::int32_t x0 = gap + std::int32_t(c) * (cellW + gap);
      const mxPelBuffer<unsigned char>& th = thumbs[r][c];
      if (th.isBound()) {
        for (std::int32_t j = 0; j < th.height(); ++j)
          std::copy(th.row(j), th.row(j) + th.width(), sheet.row(y0 + j) + x0);
      } else {
        for (std::int32_t j = 0; j < cellH; ++j)
          std::fill(sheet.row(y0 + j) + x0, sheet.row(y0 + j) + x0 + cellW, kEmptyBox);
        drawText(sheet, x0 + scale * 2, y0 + scale * 2, "NO IMAGE", scale, kInk);
      }
      const std::vector<std::string>& label = rows[r][c].label;
      for (std::size_t l = 0; l < label.size(); ++l)
        drawText(sheet, x0, y0 + cellH + 2 + std::int32_t(l) * lineH, label[l], scale, kInk);
    }
  }
  return sheet;
}

}  // namespace imgnormcli

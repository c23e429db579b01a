// Rectangle algebra against the pel sets the rectangles stand for: every pair
// of small rectangles (null ones included) around the origin.
#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <limits>
#include <vector>

#include "baseif/mxRectangle.h"

namespace {

constexpr int kLo = -4, kSide = 13;  // the pel grid -4 .. 8 on both axes
using Pels = std::bitset<kSide * kSide>;

// The pels x .. x+w-1 by y .. y+h-1 (none when w or h is 0 or less).
Pels pels(int x, int y, int w, int h) {
  Pels s;
  for (int py = y; py < y + h; ++py)
    for (int px = x; px < x + w; ++px) s.set((py - kLo) * kSide + (px - kLo));
  return s;
}
Pels pels(const mxPelRect& r) { return pels(r.x(), r.y(), r.width(), r.height()); }

TEST(Rectangle, AlgebraMatchesPelSets) {
  std::vector<mxPelRect> all;
  for (int x = -2; x <= 2; ++x)
    for (int y = -2; y <= 2; ++y)
      for (int w = -1; w <= 3; ++w)
        for (int h = -1; h <= 3; ++h) all.emplace_back(x, y, w, h);
  for (const mxPelRect& a : all) {
    const Pels pa = pels(a);
    ASSERT_EQ(a.isNull(), pa.none());
    ASSERT_EQ(a.area(), std::int64_t(pa.count()));
    for (int py = kLo; py < kLo + kSide; ++py)
      for (int px = kLo; px < kLo + kSide; ++px)
        ASSERT_EQ(a.contains(px, py), pa.test((py - kLo) * kSide + (px - kLo))) << px << "," << py;
    if (!a.isNull()) {  // corners on the grid boundary: far edges one past the last pel
      EXPECT_EQ(a.origin(), mxVector<2>(a.x(), a.y()));
      EXPECT_EQ(a.lr(), mxVector<2>(a.x() + a.width(), a.y() + a.height()));
      EXPECT_EQ(a.ur(), mxVector<2>(a.lr()[0], a.y()));
      EXPECT_EQ(a.ll(), mxVector<2>(a.x(), a.lr()[1]));
    }
    for (int k = 0; k < 81; ++k) {  // each edge moved inwards by -1, 0 or 1 (negative grows)
      const int l = k % 3 - 1, t = k / 3 % 3 - 1, r = k / 9 % 3 - 1, b = k / 27 - 1;
      ASSERT_EQ(pels(a.trim(l, t, r, b)), pels(a.x() + l, a.y() + t, a.width() - l - r, a.height() - t - b));
    }
    for (const mxPelRect& b : all) {
      const Pels pb = pels(b);
      const mxPelRect i = a.intersect(b, false);
      mxPelRect j = a;
      j &= b;
      ASSERT_EQ(pels(i), pa & pb) << a.x() << a.y() << a.width() << a.height() << " & " << b.x() << b.y();
      ASSERT_EQ(i.isNull(), (pa & pb).none());
      ASSERT_EQ(i, j);
      ASSERT_EQ(a.contains(b), (pb & ~pa).none());
      ASSERT_EQ(a == b, a.x() == b.x() && a.y() == b.y() && a.width() == b.width() && a.height() == b.height());
      ASSERT_NE(a == b, a != b);
    }
  }
}

TEST(Rectangle, FarEdgesBeyond32BitsDoNotWrap) {
  const std::int32_t m = std::numeric_limits<std::int32_t>::max();
  const mxPelRect a(m - 2, m - 2, 10, 10), b(m - 5, m - 5, 4, 4);
  EXPECT_TRUE(a.contains(m, m));
  EXPECT_TRUE(a.contains(mxPelRect(m - 1, m - 1, 5, 5)));
  EXPECT_EQ(a.intersect(b), mxPelRect(m - 2, m - 2, 1, 1));
}

}  // namespace

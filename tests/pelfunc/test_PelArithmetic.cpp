#include <gtest/gtest.h>

#include <algorithm>

#include "pelTestUtil.h"
#include "pelfunc/mf_PelArithmetic.h"

namespace {

using pelTest::image;

// One pel through one 8-bit function.
template <class F>
int onePel(F f, int a, int b) {
  mxPelBuffer<unsigned char> d = image({{a}});
  f(d, image({{b}}));
  return d.get(0, 0);
}

struct PelCase {
  int a, b, amount, expected;
};

TEST(PelSubClamp, BoundaryTable) {
  const PelCase cases[] = {
      {100, 50, 20, 148}, {50, 100, 20, 108}, {60, 50, 20, 138}, {255, 0, 200, 255}, {0, 255, 200, 1},
      {255, 0, 127, 255}, {0, 255, 127, 1},   {0, 255, 128, 1},  {77, 77, 255, 128}, {255, 0, 0, 128},
      {0, 0, 0, 128},     {128, 127, 1, 129}, {127, 128, 1, 127}, {254, 1, 126, 254},
  };
  for (const PelCase& c : cases)
    EXPECT_EQ(onePel([&](auto& d, const auto& s) { mf_PelSubClamp(d, s, std::uint8_t(c.amount)); }, c.a, c.b),
              c.expected)
        << c.a << " - " << c.b << " limited to " << c.amount;
}

TEST(PelSubClampSigned, BoundaryTable) {
  const PelCase cases[] = {{10, 200, 0, 0},  {250, 0, 0, 255}, {0, 128, 0, 0},   {255, 128, 0, 255},
                           {37, 128, 0, 37}, {0, 127, 0, 1},   {255, 129, 0, 254}, {1, 129, 0, 0}};
  for (const PelCase& c : cases)
    EXPECT_EQ(onePel([](auto& d, const auto& s) { mf_PelSubClampSigned(d, s); }, c.a, c.b), c.expected)
        << c.a << " -s " << c.b;
}

TEST(PelAddClamp, BoundaryTable) {
  const PelCase cases[] = {{200, 200, 0, 255}, {10, 10, 0, 0},     {0, 128, 0, 0},  {255, 128, 0, 255},
                           {37, 128, 0, 37},   {254, 129, 0, 255}, {1, 127, 0, 0}, {128, 255, 0, 255}};
  for (const PelCase& c : cases)
    EXPECT_EQ(onePel([](auto& d, const auto& s) { mf_PelAddClamp(d, s); }, c.a, c.b), c.expected)
        << c.a << " +s " << c.b;
}

// Every pair of values through the vectorized rows (widths that are not a
// multiple of the vector length) against the formulas written out.
TEST(PelArithmetic, AllValuePairsMatchFormula) {
  mxPelBuffer<unsigned char> a(mxPelRect(0, 0, 259, 256)), b(mxPelRect(0, 0, 259, 256));
  for (int j = 0; j < 256; ++j)
    for (int i = 0; i < 259; ++i) {
      a.row(j)[i] = static_cast<unsigned char>(i & 255);
      b.row(j)[i] = static_cast<unsigned char>(j);
    }
  for (int amount : {0, 1, 20, 126, 127, 200}) {
    mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(a);
    mf_PelSubClamp(d, b, std::uint8_t(amount));
    const int c = std::min(amount, 127);
    for (int j = 0; j < 256; ++j)
      for (int i = 0; i < 259; ++i)
        ASSERT_EQ(d.row(j)[i], 128 + std::clamp((i & 255) - j, -c, c)) << i << "," << j << " amount " << amount;
  }
  mxPelBuffer<unsigned char> sub = mfPelCopy<unsigned char>(a), add = mfPelCopy<unsigned char>(a);
  mf_PelSubClampSigned(sub, b);
  mf_PelAddClamp(add, b);
  for (int j = 0; j < 256; ++j)
    for (int i = 0; i < 259; ++i) {
      ASSERT_EQ(sub.row(j)[i], std::clamp((i & 255) - j + 128, 0, 255));
      ASSERT_EQ(add.row(j)[i], std::clamp((i & 255) + j - 128, 0, 255));
    }
}

TEST(PelArithmetic, AddClampUndoesSubClampSignedWhereNothingClamped) {
  std::mt19937 rng(7);
  mxPelBuffer<unsigned char> a = pelTest::randomImage(rng, 37, 11), b = pelTest::randomImage(rng, 37, 11);
  mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(a);
  mf_PelSubClampSigned(d, b);
  mf_PelAddClamp(d, b);
  for (int j = 0; j < 11; ++j)
    for (int i = 0; i < 37; ++i) {
      const int v = a.row(j)[i] - b.row(j)[i] + 128;
      if (v >= 0 && v <= 255) {
        EXPECT_EQ(d.row(j)[i], a.row(j)[i]);
      }
    }
}

// Only the overlap of windows at different offsets changes; the callers'
// windows stay as they were.
TEST(PelArithmetic, PartialOverlapWritesOnlyTheOverlap) {
  std::mt19937 rng(3);
  mxPelBuffer<unsigned char> dst = pelTest::randomImage(rng, 40, 30, 5, 7);
  const mxPelBuffer<unsigned char> before = mfPelCopy<unsigned char>(dst);
  mxPelBuffer<unsigned char> src = pelTest::randomImage(rng, 50, 12, 30, 20);
  mf_PelSubClamp(dst, src, 50);
  EXPECT_EQ(dst.window(), mxPelRect(5, 7, 40, 30));
  EXPECT_EQ(src.window(), mxPelRect(30, 20, 50, 12));
  for (int y = 7; y < 37; ++y)
    for (int x = 5; x < 45; ++x) {
      const bool in = x >= 30 && y >= 20 && y < 32;
      const int expected = in ? 128 + std::clamp(before.get(x, y) - src.get(x, y), -50, 50) : before.get(x, y);
      ASSERT_EQ(dst.get(x, y), expected) << x << "," << y;
    }
}

TEST(PelArithmetic, InPlaceOnOneStore) {
  std::mt19937 rng(5);
  mxPelBuffer<unsigned char> a = pelTest::randomImage(rng, 33, 4);
  const mxPelBuffer<unsigned char> before = mfPelCopy<unsigned char>(a);
  mf_PelAddClamp(a, a);
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 33; ++i) EXPECT_EQ(a.row(j)[i], std::clamp(2 * before.row(j)[i] - 128, 0, 255));
}

TEST(PelArithmetic, UnboundAndDisjoint) {
  mxPelBuffer<unsigned char> bound = image({{1, 2}, {3, 4}}), unbound;
  EXPECT_THROW(mf_PelSubClamp(unbound, bound, 3), mxPel::UnboundWindow);
  EXPECT_THROW(mf_PelSubClamp(bound, unbound, 3), mxPel::UnboundWindow);
  EXPECT_THROW(mf_PelSubClampSigned(bound, unbound), mxPel::UnboundWindow);
  EXPECT_THROW(mf_PelAddClamp(unbound, bound), mxPel::UnboundWindow);
  EXPECT_EQ(pelTest::rows<unsigned char>(bound), (pelTest::Rows{{1, 2}, {3, 4}}));
  mf_PelAddClamp(bound, image({{200}}, 2, 0));  // disjoint: silent
  EXPECT_EQ(pelTest::rows<unsigned char>(bound), (pelTest::Rows{{1, 2}, {3, 4}}));
}

TEST(MaskedPelDivide, RoundsHalfUpAndKeepsLowBits) {
  mxPelBuffer<unsigned char> dst, unbound;
  mf_MaskedPelDivide(image<unsigned short>({{100, 2, 1, 65535}}), image<unsigned short>({{200, 1, 2, 65535}}),
                     unbound, dst, 255);
  // 100*255/200 = 127.5 rounds up; 2*255 = 510 keeps its low 8 bits; 1*255/2
  // rounds up to 128; 65535*255 wraps modulo 2^32 without overflow here.
  EXPECT_EQ(pelTest::rows<unsigned char>(dst), (pelTest::Rows{{128, 510 & 255, 128, 255}}));
  mxPelBuffer<unsigned char> d2;
  mf_MaskedPelDivide(image<unsigned short>({{2}}), image<unsigned short>({{1}}), unbound, d2, 200);
  EXPECT_EQ(d2.get(0, 0), 144);
  // 65535 * 65537 = 2^32 - 1 wraps to 4294967295; + 0 over 1.
  mxPelBuffer<unsigned char> d3;
  mf_MaskedPelDivide(image<unsigned short>({{65535}}), image<unsigned short>({{3}}), unbound, d3, 65537u * 2u);
  EXPECT_EQ(d3.get(0, 0), static_cast<unsigned char>((std::uint32_t(65535u * (65537u * 2u)) + 1u) / 3u));
}

TEST(MaskedPelDivide, MaskAndNewDestination) {
  mxPelBuffer<unsigned short> num = image<unsigned short>({{10, 20, 30}, {40, 50, 60}}, 3, 4);
  mxPelBuffer<unsigned short> den = image<unsigned short>({{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}}, 4, 3);
  num.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(1, 1)));
  mxPelBuffer<unsigned char> mask = image({{0, 9}, {255, 0}}, 4, 4);
  mxPelBuffer<unsigned char> dst;
  mf_MaskedPelDivide(num, den, mask, dst, 2);
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), mxPelRect(4, 4, 2, 2));
  EXPECT_EQ(dst.clientFromImageXform(), num.clientFromImageXform());
  EXPECT_EQ(pelTest::rows<unsigned char>(dst), (pelTest::Rows{{0, 60}, {100, 0}}));

  // A bound dst keeps its pels under zero mask pels.
  mxPelBuffer<unsigned char> bound = image({{7, 7, 7}, {7, 7, 7}}, 3, 4);
  mf_MaskedPelDivide(num, den, mask, bound, 1);
  EXPECT_EQ(pelTest::rows<unsigned char>(bound), (pelTest::Rows{{7, 7, 30}, {7, 50, 7}}));
  // An unbound mask divides the whole common window.
  mxPelBuffer<unsigned char> unbound;
  mf_MaskedPelDivide(num, den, unbound, bound, 1);
  EXPECT_EQ(pelTest::rows<unsigned char>(bound), (pelTest::Rows{{7, 20, 30}, {7, 50, 60}}));
}

TEST(MaskedPelDivide, Failures) {
  mxPelBuffer<unsigned short> one = image<unsigned short>({{1, 2}}), zero = image<unsigned short>({{0, 4}}), unb;
  mxPelBuffer<unsigned char> noMask, dst;
  EXPECT_THROW(mf_MaskedPelDivide(unb, one, noMask, dst, 1), mxPel::UnboundWindow);
  EXPECT_THROW(mf_MaskedPelDivide(one, unb, noMask, dst, 1), mxPel::UnboundWindow);
  EXPECT_FALSE(dst.isBound());
  // Disjoint windows: dst is still created (empty), nothing else happens.
  mf_MaskedPelDivide(one, image<unsigned short>({{1}}, 9, 9), noMask, dst, 1);
  EXPECT_TRUE(dst.isBound());
  EXPECT_TRUE(dst.window().isNull());
  // A zero denominator under a selected pel is rejected before any write;
  // under an excluded pel it is ignored.
  mxPelBuffer<unsigned char> out = image({{5, 5}});
  EXPECT_THROW(mf_MaskedPelDivide(one, zero, noMask, out, 1), mxPelFunc::BadParams);
  EXPECT_EQ(pelTest::rows<unsigned char>(out), (pelTest::Rows{{5, 5}}));
  mf_MaskedPelDivide(one, zero, image({{0, 1}}), out, 8);
  EXPECT_EQ(pelTest::rows<unsigned char>(out), (pelTest::Rows{{5, 4}}));
  // A bound dst whose store misses the common window.
  mxPelBuffer<unsigned char> small = image({{0}});
  EXPECT_THROW(mf_MaskedPelDivide(one, one, noMask, small, 1), mxPel::BadWindow);
}

}  // namespace

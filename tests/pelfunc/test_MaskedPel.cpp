#include "baseif/mxThreshold.h"
#include "pelTestUtil.h"
#include "pelfunc/mf_MaskedPel.h"

namespace {

using namespace pelTest;

// Brute-force masked histogram over the overlap of src and mask.
std::vector<std::uint32_t> countSelected(const mxPelBuffer_const<unsigned char>& src,
                                         const mxPelBuffer_const<unsigned char>& mask) {
  std::vector<std::uint32_t> h(256, 0);
  const mxPelRect r = src.window().intersect(mask.window());
  for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y)
    for (std::int32_t x = r.x(); x < r.x() + r.width(); ++x)
      if (mask.get(x, y) != 0) ++h[src.get(x, y)];
  return h;
}

// Both paths (below and from 64 pels of overlap width) on masks of 0, 1 and 255, without 0,
// offset windows; zeros under set mask pels stay counted in bin 0.
TEST(MaskedPelHistogram, BothPathsMatchBruteForce) {
  std::mt19937 rng(11);
  const std::vector<std::vector<int>> maskValues = {{0, 1, 255}, {0, 255}, {1, 255}, {0}, {0, 0, 0, 7}};
  for (int overlapWidth : {1, 63, 64, 65, 130, 1031})
    for (const auto& values : maskValues)
      for (bool sameWindow : {true, false}) {
        const int sx = sameWindow ? 0 : 3, sy = sameWindow ? 0 : 2, rows = overlapWidth > 1000 ? 530 : 21;
        Image src = randomImage(rng, overlapWidth + (sameWindow ? 0 : 9), rows + 2, -sx, -sy, {0, 1, 2, 77, 255});
        Image mask = randomImage(rng, overlapWidth, rows + sy, 0, 0, values);
        std::vector<std::uint32_t> h(5, 99);
        mf_MaskedPelHistogram(src, mask, h);
        ASSERT_EQ(h, countSelected(src, mask))
            << "overlap width " << overlapWidth << " mask values " << values.size() << " same window " << sameWindow;
        EXPECT_EQ(mask.window(), mxPelRect(0, 0, overlapWidth, rows + sy));  // callers' windows kept
      }
  // An overlap of 16 MiB or more goes in pieces of rows, the last one short.
  const Image src = randomImage(rng, 4100, 4100, 0, 0, {0, 1, 2, 77, 255});
  const Image mask = randomImage(rng, 4100, 4100, 0, 0, {0, 255});
  std::vector<std::uint32_t> h;
  mf_MaskedPelHistogram(src, mask, h);
  EXPECT_EQ(h, countSelected(src, mask));
}

TEST(MaskedPelHistogram, UnboundDisjointAndStaleContents) {
  Image src = image({{3, 3, 4}}), unbound;
  std::vector<std::uint32_t> h(256, 5);
  mf_MaskedPelHistogram(src, unbound, h);
  EXPECT_EQ(h, countSelected(src, image({{1, 1, 1}})));
  mf_MaskedPelHistogram(src, image({{1}}, 5, 5), h);
  EXPECT_TRUE(h.empty());
  h.assign(3, 1);
  EXPECT_THROW(mf_MaskedPelHistogram(unbound, src, h), mxPel::UnboundWindow);
  EXPECT_EQ(h, std::vector<std::uint32_t>(3, 1));
}

// Wide random rows (vector path plus remainder) with offset, partly overlapping src, mask and dst.
TEST(MaskedPelCopy, PartialOverlapsMatchBruteForce) {
  std::mt19937 rng(2);
  for (bool copyMasked : {true, false}) {
    Image src = randomImage(rng, 70, 9, 2, 1);
    Image mask = randomImage(rng, 60, 12, 0, 3, {0, 1, 255});
    Image dst = randomImage(rng, 50, 10, 5, 0);
    const Image before = mfPelCopy<unsigned char>(dst);
    mf_MaskedPelCopy(src, mask, dst, copyMasked);
    for (int y = 0; y < 10; ++y)
      for (int x = 5; x < 55; ++x) {
        const bool inOverlap = x >= 5 && x < 60 && y >= 3 && y < 10;
        const bool take = inOverlap && ((mask.get(x, y) == 0) == copyMasked);
        ASSERT_EQ(dst.get(x, y), take ? src.get(x, y) : before.get(x, y)) << x << "," << y;
      }
  }
}

TEST(MaskedPelCopy, NewDestinationUnboundMaskAndFailures) {
  Image src = image({{1, 2, 3}, {4, 5, 6}}, 10, 20), unbound, dst;
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(3, 0, 0, 3), mxVector<2>(0, 0)));
  mf_MaskedPelCopy(src, image({{0, 1}, {1, 1}}, 11, 19), dst, false);
  EXPECT_EQ(dst.window(), mxPelRect(11, 20, 2, 1));
  EXPECT_EQ(dst.clientFromImageXform(), src.clientFromImageXform());
  EXPECT_EQ(rows(dst), (Rows{{2, 3}}));

  Image all;
  mf_MaskedPelCopy(src, unbound, all, true);
  EXPECT_TRUE(mfPelEqual<unsigned char>(all, src));

  Image stays;
  mf_MaskedPelCopy(src, image({{1}}, 0, 0), stays, true);  // disjoint
  EXPECT_FALSE(stays.isBound());
  EXPECT_THROW(mf_MaskedPelCopy(unbound, src, stays, true), mxPel::UnboundWindow);
  EXPECT_FALSE(stays.isBound());
}

TEST(MaskedPelThreshold, MaskAndThresholdTable) {
  const Image src = image({{255, 0, 127, 128, 255}});
  const Image mask = image({{0, 1, 1, 1, 255}});
  struct Case {
    int threshold;
    std::vector<int> expected;
  } cases[] = {{0, {0, 255, 255, 255, 255}}, {128, {0, 0, 0, 255, 255}}, {255, {0, 0, 0, 0, 255}}};
  for (const Case& c : cases) {
    Image dst = image({{9, 9, 9, 9, 9}});
    mf_MaskedPelThreshold(src, mask, std::uint8_t(c.threshold), dst);
    EXPECT_EQ(rows(dst), Rows{c.expected}) << c.threshold;
  }
  // Unbound mask: dst becomes the plain threshold image, replacing its binding.
  Image unbound, dst = image({{1}}, 50, 50);
  mf_MaskedPelThreshold(src, unbound, 128, dst);
  EXPECT_EQ(dst.window(), src.window());
  EXPECT_EQ(rows(dst), (Rows{{255, 0, 0, 255, 255}}));
  EXPECT_THROW(mf_MaskedPelThreshold(unbound, mask, 1, dst), mxPel::UnboundWindow);
  Image none;
  mf_MaskedPelThreshold(src, image({{1}}, 9, 9), 1, none);
  EXPECT_FALSE(none.isBound());
}

TEST(PelThreshold, FixedAndAutomatic) {
  // (A fixed threshold of 128 is the masked threshold without a mask.)
  EXPECT_EQ(rows(mf_PelThreshold(image({{0, 127, 128, 255}}), 0)), (Rows{{255, 255, 255, 255}}));
  // Two clusters: the automatic threshold separates them.
  const Image two = image({{10, 12, 11, 200, 201, 10, 199}});
  EXPECT_EQ(rows(mf_PelThreshold(two)), (Rows{{0, 0, 0, 255, 255, 0, 255}}));
  // A single-valued image is all at or above its only level.
  EXPECT_EQ(rows(mf_PelThreshold(image({{42, 42}}))), (Rows{{255, 255}}));
  EXPECT_THROW(mf_PelThreshold(Image()), mxPel::UnboundWindow);
}

TEST(PelMapValue, ReplacesOneValue) {
  Image img = image({{7, 8, 7}, {0, 255, 7}});
  mf_PelMapValue(img, 7, 200);
  EXPECT_EQ(rows(img), (Rows{{200, 8, 200}, {0, 255, 200}}));
  Image unbound;
  EXPECT_THROW(mf_PelMapValue(unbound, 1, 2), mxPel::UnboundWindow);
}

}  // namespace

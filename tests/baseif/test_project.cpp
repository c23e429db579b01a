#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "baseif/mxProject.h"
#include "support/testImages.h"

namespace {

struct Projection {
  mxPelBuffer<std::uint32_t> profile, inside;
  std::uint32_t count = 0;
  bool clipped = false;
  std::uint32_t operator[](int i) const { return profile.row(0)[i]; }
};

Projection project(const mxPelBuffer_const<unsigned char>& src, const mxAffineRectangle& r, int nx, int ny,
                   int interp = 2) {
  Projection p;
  mfProjectImage(src, p.profile, p.inside, mxAffineSamplingParams(r, std::int16_t(nx), std::int16_t(ny), interp),
                 p.count, p.clipped);
  return p;
}

TEST(ProjectImage, SamplesOnPelCentresSumColumnsOrRows) {
  const auto src = makeImage(
      5, 4, [](int x, int y) { return 7 * (x - 2) + 13 * (y - 3) + 1; }, 2, 3);
  const Projection cols = project(src, mxAffineRectangle({2, 3}, {7, 3}, {2, 7}), 5, 4);
  const Projection rows = project(src, mxAffineRectangle({2, 3}, {2, 7}, {7, 3}), 4, 5);  // x axis downwards
  for (int i = 0; i < 5; ++i) EXPECT_EQ(cols[i], std::uint32_t(28 * i + 82)) << i;
  for (int j = 0; j < 4; ++j) EXPECT_EQ(rows[j], std::uint32_t(65 * j + 75)) << j;
  EXPECT_EQ(cols.count, 20u);
  EXPECT_FALSE(cols.clipped);
}

TEST(ProjectImage, BilinearBetweenCentresZeroOutside) {
  // A ramp is reproduced between pel centres; the edge pel within half a pel
  // of the edge; nothing outside the window.
  const auto src = makeImage(8, 3, [](int x, int) { return 20 * x + 10; });
  const Projection p = project(src, mxAffineRectangle({0, 1}, {8, 1}, {0, 2}), 16, 1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], std::uint32_t(std::min(std::max(5 + 10 * i, 10), 150))) << i;
  const Projection half = project(src, mxAffineRectangle({-4, 0}, {4, 0}, {-4, 3}), 8, 3);
  EXPECT_EQ(half[3], 0u);
  EXPECT_EQ(half.inside.row(0)[3], 0u);
  EXPECT_EQ(half[4], 30u);
  EXPECT_EQ(half.count, 12u);
  EXPECT_TRUE(half.clipped);
}

TEST(ProjectImage, FollowsTheSourceClientTransform) {
  // Client = 2 x image: the rectangle in client units covers 6 x 6 pels.
  auto src = makeImage(6, 6, [](int x, int y) { return x + 10 * y; });
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), {0, 0}));
  const Projection p = project(src, mxAffineRectangle({0, 0}, {12, 0}, {0, 12}), 6, 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i], std::uint32_t(6 * i + 150)) << i;
  // The profile's transform takes the rectangle's corners to (0,0), (n,0), (0,1).
  const mxAffineRectangle r({1, 2}, {9, 4}, {0, 6});
  const mxXform<2> T = project(src, r, 16, 5).profile.imageFromClientXform();
  EXPECT_LT((T * r.xCorner() - mxVector<2>(16, 0)).length(), 1e-9);
  EXPECT_LT((T * r.yCorner() - mxVector<2>(0, 1)).length(), 1e-9);
  EXPECT_LT((T * r.point(0.25, 0.5) - mxVector<2>(4, 0.5)).length(), 1e-9);
}

TEST(ProjectImage, RejectsBadArguments) {
  const mxPelBuffer<unsigned char> src(4, 4);
  const mxAffineRectangle r({0, 0}, {4, 0}, {0, 4});
  EXPECT_THROW(project(mxPelBuffer<unsigned char>(), r, 4, 4), mxPel::UnboundWindow);
  EXPECT_THROW(project(src, r, 0, 4), mxPelFunc::BadParams);
  EXPECT_THROW(project(src, r, 4, 4, 3), mxPelFunc::BadParams);
  EXPECT_THROW(project(src, mxAffineRectangle({0, 0}, {4, 4}, {2, 2}), 4, 4), mxPelFunc::BadParams);
}

}  // namespace

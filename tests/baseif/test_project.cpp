#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "baseif/mxPelOps.h"
#include "baseif/mxProject.h"

namespace {

struct Projection {
  mxPelBuffer<std::uint32_t> profile, inside;
  std::uint32_t count = 0;
  bool clipped = false;
};

Projection project(const mxPelBuffer_const<unsigned char>& src, const mxAffineRectangle& r, int nx, int ny,
                   int interp = 2) {
  Projection p;
  mfProjectImage(src, p.profile, p.inside, mxAffineSamplingParams(r, std::int16_t(nx), std::int16_t(ny), interp),
                 p.count, p.clipped);
  return p;
}

// A w x h image at image offset (ox, oy) with pel (i, j) = f(i, j).
template <class F>
mxPelBuffer<unsigned char> image(int ox, int oy, int w, int h, F f) {
  mxPelBuffer<unsigned char> b(mxPelRect(ox, oy, w, h));
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) b.row(j)[i] = static_cast<unsigned char>(f(i, j));
  return b;
}

TEST(ProjectImage, GridOnPelCentresSumsColumnsAndRows) {
  const auto src = image(2, 3, 5, 4, [](int i, int j) { return 7 * i + 13 * j + 1; });
  // Columns: the rectangle is the window itself, one sample per pel.
  const Projection cols = project(src, mxAffineRectangle({2, 3}, {7, 3}, {2, 7}), 5, 4);
  ASSERT_EQ(cols.profile.width(), 5);
  ASSERT_EQ(cols.profile.height(), 1);
  for (int i = 0; i < 5; ++i) {
    std::uint32_t sum = 0;
    for (int j = 0; j < 4; ++j) sum += src.row(j)[i];
    EXPECT_EQ(cols.profile.row(0)[i], sum) << i;
    EXPECT_EQ(cols.inside.row(0)[i], 4u);
  }
  EXPECT_EQ(cols.count, 20u);
  EXPECT_FALSE(cols.clipped);
  // Rows: the rectangle's x axis runs down the image.
  const Projection rows = project(src, mxAffineRectangle({2, 3}, {2, 7}, {7, 3}), 4, 5);
  for (int j = 0; j < 4; ++j) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 5; ++i) sum += src.row(j)[i];
    EXPECT_EQ(rows.profile.row(0)[j], sum) << j;
  }
}

TEST(ProjectImage, BilinearBetweenPelCentresAndZeroOutside) {
  // A ramp along x is reproduced exactly by bilinear interpolation between
  // centres; within half a pel of the edge the edge pel is replicated.
  const auto src = image(0, 0, 8, 3, [](int i, int) { return 20 * i + 10; });
  // Columns at x = 0.25, 0.75, ..., 7.75 (16 columns over [0, 8)), one row.
  const Projection p = project(src, mxAffineRectangle({0, 1}, {8, 1}, {0, 2}), 16, 1);
  for (int i = 0; i < 16; ++i) {
    const double x = 0.25 + 0.5 * i;
    const double expected = x < 0.5 ? 10 : (x > 7.5 ? 150 : 10 + 20 * (x - 0.5));
    EXPECT_EQ(p.profile.row(0)[i], std::uint32_t(expected + 0.5)) << i;
  }
  // Half the rectangle lies left of the window: those columns are 0.
  const Projection half = project(src, mxAffineRectangle({-4, 0}, {4, 0}, {-4, 3}), 8, 3);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(half.profile.row(0)[i], 0u);
    EXPECT_EQ(half.inside.row(0)[i], 0u);
  }
  EXPECT_EQ(half.profile.row(0)[4], 30u);  // pel column 0, three rows
  EXPECT_EQ(half.count, 12u);
  EXPECT_TRUE(half.clipped);
}

TEST(ProjectImage, UsesTheSourceClientTransform) {
  // Client coordinates are image coordinates scaled by 2: the same rectangle
  // in client units covers twice as many pels.
  auto src = image(0, 0, 6, 6, [](int i, int j) { return i + 10 * j; });
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), {0, 0}));
  const Projection p = project(src, mxAffineRectangle({0, 0}, {12, 0}, {0, 12}), 6, 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(p.profile.row(0)[i], std::uint32_t(6 * i + 150)) << i;
}

// An affine map that does not say so: the projection must map its samples
// one by one and agree with the affine path.
class OpaqueXform final : public mx2XformBase {
public:
  explicit OpaqueXform(const mxXform<2>& x) : x_(x) {}
  mxVector<2> mapPoint(const mxVector<2>& p) const override { return x_ * p; }
  std::shared_ptr<const mx2XformBase> inverseBase() const override {
    return std::make_shared<OpaqueXform>(x_.inverse());
  }
  bool isLinear() const override { return false; }
  mxXform<2> linear() const override { return x_; }

private:
  mxXform<2> x_;
};

TEST(ProjectImage, GeneralSourceTransformAgreesWithAffine) {
  auto affine = image(3, 1, 20, 15, [](int i, int j) { return (i * 37 + j * 11) % 256; });
  auto opaque = affine;
  const mxXform<2> clientFromImage(mxMatrix<2>(0.8, 0.3, -0.2, 1.1), {5, -2});
  affine.clientFromImageXform(clientFromImage);
  opaque.clientFromImageXformBase(std::make_shared<OpaqueXform>(clientFromImage));
  const mxAffineRectangle r({4, 0}, {20, 6}, {-1, 17});
  const Projection a = project(affine, r, 23, 19), b = project(opaque, r, 23, 19);
  // The two paths round differently in the last bits of the sample points.
  for (int i = 0; i < 23; ++i) EXPECT_NEAR(double(a.profile.row(0)[i]), double(b.profile.row(0)[i]), 1.0) << i;
  EXPECT_TRUE(mfPelEqual<std::uint32_t>(a.inside, b.inside));
  EXPECT_EQ(a.count, b.count);
  EXPECT_TRUE(a.clipped);
}

TEST(ProjectImage, ProfileTransformMapsSourcePointsToColumns) {
  const auto src = image(0, 0, 10, 10, [](int, int) { return 1; });
  const mxAffineRectangle r({1, 2}, {9, 4}, {0, 6});  // a sheared parallelogram
  const Projection p = project(src, r, 16, 5);
  const mxXform<2> T = p.profile.imageFromClientXform();
  const struct {
    double u, v;  // fractions along the rectangle's edges
    double col, row;
  } cases[] = {{0, 0, 0, 0}, {1, 0, 16, 0}, {0, 1, 0, 1}, {0.5, 0.5, 8, 0.5}, {0.25, 0.9, 4, 0.9}};
  for (const auto& c : cases) {
    const mxVector<2> q = T * r.point(c.u, c.v);
    EXPECT_NEAR(q.x(), c.col, 1e-9);
    EXPECT_NEAR(q.y(), c.row, 1e-9);
  }
  EXPECT_TRUE(p.inside.imageFromClientXform() == T);
}

TEST(ProjectImage, RejectsBadArguments) {
  const auto src = image(0, 0, 4, 4, [](int, int) { return 1; });
  const mxAffineRectangle r({0, 0}, {4, 0}, {0, 4});
  EXPECT_THROW(project(mxPelBuffer<unsigned char>(), r, 4, 4), mxPel::UnboundWindow);
  EXPECT_THROW(project(src, r, 0, 4), mxPelFunc::BadParams);
  EXPECT_THROW(project(src, r, 4, -1), mxPelFunc::BadParams);
  EXPECT_THROW(project(src, r, 4, 4, 3), mxPelFunc::BadParams);
  EXPECT_THROW(project(src, mxAffineRectangle({0, 0}, {4, 4}, {2, 2}), 4, 4), mxPelFunc::BadParams);
}

}  // namespace

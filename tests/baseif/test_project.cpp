#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>

#include "baseif/detail/cpuDispatch.h"
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

// Hand-worked sums pin the sampling points; the sample-by-sample reference
// below covers rotations, clipping and the source's transform.
TEST(ProjectImage, SamplesOnPelCentresAndInterpolatesBetweenThem) {
  const auto src = makeImage(5, 4, [](int x, int y) { return 7 * (x - 2) + 13 * (y - 3) + 1; }, 2, 3);
  const Projection cols = project(src, mxAffineRectangle({2, 3}, {7, 3}, {2, 7}), 5, 4);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(cols[i], std::uint32_t(28 * i + 82)) << i;
  // A ramp is reproduced between pel centres; the edge pel within half a pel of the edge.
  const auto ramp = makeImage(8, 3, [](int x, int) { return 20 * x + 10; });
  const Projection p = project(ramp, mxAffineRectangle({0, 1}, {8, 1}, {0, 2}), 16, 1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], std::uint32_t(std::min(std::max(5 + 10 * i, 10), 150))) << i;
}

TEST(ProjectImage, ProfileTransformMapsTheRectangleOntoTheProfile) {
  // Client = 2 x image; the profile's transform takes the rectangle's corners
  // to (0,0), (n,0), (0,1) whatever the source's transform.
  auto src = makeImage(6, 6, [](int x, int y) { return x + 10 * y; });
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), {0, 0}));
  const mxAffineRectangle r({1, 2}, {9, 4}, {0, 6});
  const mxXform<2> T = project(src, r, 16, 5).profile.imageFromClientXform();
  EXPECT_LT((T * r.xCorner() - mxVector<2>(16, 0)).length(), 1e-9);
  EXPECT_LT((T * r.yCorner() - mxVector<2>(0, 1)).length(), 1e-9);
  EXPECT_LT((T * r.point(0.25, 0.5) - mxVector<2>(4, 0.5)).length(), 1e-9);
}

// Each sample's point, window test and clamped bilinear read, summed in order down the column.
std::vector<std::uint32_t> sampleBySample(const mxPelBuffer<unsigned char>& src, const mxAffineRectangle& r, int nx,
                                          int ny, std::vector<std::uint32_t>& inside) {
  const mxXform<2> A = src.imageFromClientXform();
  const mxVector<2> o = r.origin(), ex = r.xCorner() - o, ey = r.yCorner() - o;
  const mxVector<2> start = A * (o + (0.5 / nx) * ex + (0.5 / ny) * ey);
  const mxVector<2> di = A.matrix() * ((1.0 / nx) * ex), dj = A.matrix() * ((1.0 / ny) * ey);
  const int x0 = src.window().x(), y0 = src.window().y(), w = src.width(), h = src.height();
  const auto pel = [&](int i, int j) { return double(src.row(std::clamp(j, 0, h - 1))[std::clamp(i, 0, w - 1)]); };
  std::vector<std::uint32_t> sums(std::size_t(nx), 0);
  inside.assign(std::size_t(nx), 0);
  for (int i = 0; i < nx; ++i) {
    double sum = 0.0;
    const mxVector<2> p0 = start + double(i) * di;
    for (int j = 0; j < ny; ++j) {
      const double px = p0.x() + double(j) * dj.x(), py = p0.y() + double(j) * dj.y();
      if (!(px >= x0 && px < double(x0) + w && py >= y0 && py < double(y0) + h)) continue;
      const double u = px - x0 - 0.5, v = py - y0 - 0.5;
      const int i0 = int(std::floor(u)), j0 = int(std::floor(v));
      const double top = pel(i0, j0) + (u - i0) * (pel(i0 + 1, j0) - pel(i0, j0));
      const double bottom = pel(i0, j0 + 1) + (u - i0) * (pel(i0 + 1, j0 + 1) - pel(i0, j0 + 1));
      sum += top + (v - j0) * (bottom - top);
      ++inside[std::size_t(i)];
    }
    sums[std::size_t(i)] = std::uint32_t(sum + 0.5);
  }
  return sums;
}

TEST(ProjectImage, EqualsSampleBySampleOnEveryLevel) {
  struct Case {
    int w, h, x0, y0;  // source window
    double scale;      // client = scale x image
    double cx, cy;     // rectangle centre (client)
    double width, length, degrees;
    int nx, ny;
  };
  const Case cases[] = {
      {33, 33, 0, 0, 1.0, 16.5, 16.5, 47.0, 47.0, 0.0, 48, 45},     // a 33 x 33 histogram image, turned below
      {33, 33, 0, 0, 1.0, 16.5, 16.5, 37.0, 37.0, 0.0, 38, 35},     //
      {12, 7, 3, -2, 1.0, 9.0, 1.5, 20.0, 9.0, 30.0, 13, 9},        // window off the origin, grid wider than it
      {40, 25, 0, 0, 2.5, 50.0, 31.0, 110.0, 70.0, -75.0, 61, 17},  // client units larger than pels
      {5, 40, 0, 0, 1.0, 2.5, 20.0, 6.0, 44.0, 91.0, 3, 50},        // narrow window, mostly outside
      {300, 200, 0, 0, 1.0, 150.0, 100.0, 40.0, 30.0, 12.0, 9, 7},  // large window read in place
      {1, 1, 0, 0, 1.0, 0.5, 0.5, 1.5, 1.5, 45.0, 4, 4},            // a single pel
  };
  const mxcpu::Level top = mxcpu::detected();
  for (const Case& c : cases) {
    auto src = randomImage(c.w, c.h, unsigned(c.w * 31 + c.h), 0, 255, c.x0, c.y0);
    src.clientFromImageXform(mxXform<2>(mxMatrix<2>(c.scale, 0, 0, c.scale), {0, 0}));
    // Turned through a full circle in uneven steps, so that every grid column
    // meets the window edges at many different places.
    for (double turn = 0.0; turn < 360.0; turn += 6.7) {
      const double t = (c.degrees + turn) * 0.017453292519943295;
      const mxVector<2> across(std::cos(t), std::sin(t)), along(-std::sin(t), std::cos(t));
      const mxVector<2> o = mxVector<2>(c.cx, c.cy) - (0.5 * c.width) * across - (0.5 * c.length) * along;
      const mxAffineRectangle r(o, o + c.width * across, o + c.length * along);
      std::vector<std::uint32_t> inside;
      const std::vector<std::uint32_t> expected = sampleBySample(src, r, c.nx, c.ny, inside);
      for (int l = 0; l <= int(top); ++l) {
        mxcpu::capLevel(mxcpu::Level(l));
        const Projection p = project(src, r, c.nx, c.ny);
        mxcpu::capLevel(top);
        for (int i = 0; i < c.nx; ++i) {
          ASSERT_EQ(p[i], expected[std::size_t(i)]) << c.w << "x" << c.h << " turn " << turn << " level " << l;
          ASSERT_EQ(p.inside.row(0)[i], inside[std::size_t(i)]) << c.w << "x" << c.h << " turn " << turn;
        }
        const std::uint32_t total = std::accumulate(inside.begin(), inside.end(), 0u);
        ASSERT_EQ(p.count, total) << c.w << "x" << c.h << " turn " << turn;
        ASSERT_EQ(p.clipped, total < std::uint32_t(c.nx * c.ny)) << c.w << "x" << c.h << " turn " << turn;
      }
    }
  }
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

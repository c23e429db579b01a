#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "baseif/detail/affineKernels.h"
#include "baseif/mxAffine.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

namespace {

// Interpolation kernels written as functions of the distance to a pel centre.
double linearKernel(double s) {
  s = std::fabs(s);
  return s < 1.0 ? 1.0 - s : 0.0;
}
double keysKernel(double s) {
  const double a = -0.5;
  s = std::fabs(s);
  if (s <= 1.0) return (a + 2.0) * s * s * s - (a + 3.0) * s * s + 1.0;
  if (s < 2.0) return a * s * s * s - 5.0 * a * s * s + 8.0 * a * s - 4.0 * a;
  return 0.0;
}

// Brute-force sample: the kernel over every pel position near the point, pels
// beyond the window replaced by the nearest window pel.
int referenceSample(const mxPelBuffer_const<unsigned char>& src, const mxVector<2>& image, bool cubic) {
  const mxPelRect& w = src.window();
  const double fx = image.x() - 0.5, fy = image.y() - 0.5;
  double acc = 0.0;
  for (int v = int(std::floor(fy)) - 2; v <= int(std::floor(fy)) + 3; ++v)
    for (int u = int(std::floor(fx)) - 2; u <= int(std::floor(fx)) + 3; ++u) {
      const double k = cubic ? keysKernel(fx - u) * keysKernel(fy - v) : linearKernel(fx - u) * linearKernel(fy - v);
      if (k == 0.0) continue;
      const int x = std::clamp(u, w.x(), w.x() + w.width() - 1), y = std::clamp(v, w.y(), w.y() + w.height() - 1);
      acc += k * src.get(x, y);
    }
  return std::clamp(int(std::floor(acc + 0.5)), 0, 255);
}

// A shift that does not declare itself affine, to exercise the per-sample mapping path.
class OpaqueShift final : public mx2XformBase {
public:
  explicit OpaqueShift(double dx) : dx_(dx) {}
  mxVector<2> mapPoint(const mxVector<2>& p) const override { return {p.x() + dx_, p.y()}; }
  std::shared_ptr<const mx2XformBase> inverseBase() const override { return std::make_shared<OpaqueShift>(-dx_); }
  bool isLinear() const override { return false; }
  mxXform<2> linear() const override { return mxXform<2>(mxMatrix<2>(), mxVector<2>(dx_, 0.0)); }

private:
  double dx_;
};

TEST(AffineTransformImage, MatchesBruteForceForEveryMappingPath) {
  mxPelBuffer<unsigned char> src = randomImage(11, 8, 17, 0, 255, -3, 5);

  struct Case {
    const char* name;
    std::shared_ptr<const mx2XformBase> clientFromImage;
    mxAffineRectangle rect;
    std::int16_t n, m;
  };
  const auto identity = std::make_shared<mx2XformLinear>();
  const auto scaled = std::make_shared<mx2XformLinear>(mxXform<2>(mxMatrix<2>(0.5, 0, 0, 2), mxVector<2>(1, 1)));
  const Case cases[] = {
      {"axis-aligned upsampling", identity, mxAffineRectangle({-3, 5}, {8, 5}, {-3, 13}), 23, 17},
      {"rotated, beyond the window", identity, mxAffineRectangle({-5, 4}, {6, 9}, {-9, 14}), 15, 12},
      {"scaled client", scaled, mxAffineRectangle({0, 11}, {5, 11}, {0, 27}), 9, 9},
      {"opaque transform", std::make_shared<OpaqueShift>(2.25), mxAffineRectangle({0, 6}, {8, 6}, {0, 12}), 7, 5},
  };
  for (const Case& c : cases)
    for (int interp : {2, 3}) {
      src.clientFromImageXformBase(c.clientFromImage);
      const mxPelBuffer<unsigned char> out =
          mfAffineTransformImage(src, mxAffineSamplingParams(c.rect, c.n, c.m, interp));
      ASSERT_EQ(out.window(), mxPelRect(0, 0, c.n, c.m));
      for (int j = 0; j < c.m; ++j)
        for (int i = 0; i < c.n; ++i) {
          const mxVector<2> client = c.rect.point((i + 0.5) / c.n, (j + 0.5) / c.m);
          // The result's transform takes its pel centres to the sample points.
          ASSERT_TRUE(mfRealEq(out.clientFromImageXform() * mxVector<2>(i + 0.5, j + 0.5), client, 1e-9));
          const int expected = referenceSample(src, c.clientFromImage->inverseBase()->mapPoint(client), interp == 3);
          ASSERT_NEAR(out.row(j)[i], expected, 1) << c.name << " interp " << interp << " at " << i << "," << j;
        }
    }
}

TEST(AffineTransformImage, Failures) {
  mxPelBuffer<unsigned char> src(4, 4), unbound;
  const mxAffineRectangle r({0, 0}, {4, 0}, {0, 4});
  EXPECT_THROW(mfAffineTransformImage(unbound, mxAffineSamplingParams(r, 2, 2, 2)), mxPel::UnboundWindow);
  EXPECT_THROW(mfAffineTransformImage(src, mxAffineSamplingParams(r, 0, 2, 2)), mxPelFunc::BadParams);
  EXPECT_THROW(mfAffineTransformImage(src, mxAffineSamplingParams(r, 2, -1, 3)), mxPelFunc::BadParams);
  EXPECT_THROW(mfAffineTransformImage(src, mxAffineSamplingParams(r, 2, 2, 1)), mxPelFunc::BadParams);
  mxPelBuffer<unsigned char> empty(src);
  empty.window(mxPelRect(0, 0, 0, 0));
  EXPECT_THROW(mfAffineTransformImage(empty, mxAffineSamplingParams(r, 2, 2, 2)), mxPel::BadWindow);
  src.imageFromClientXformBase(nullptr);
  EXPECT_THROW(mfAffineTransformImage(src, mxAffineSamplingParams(r, 2, 2, 2)), mxBadPointer);
}

// Random sizes, up- and downscaling, mirrored axes, rectangles beyond the window, both interpolations.
TEST(AffineTransformImage, SeparableShortcutEqualsPerSamplePath) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> len(1, 40), samples(1, 90), shift(-6, 6), coin(0, 1);
  std::uniform_real_distribution<double> scale(0.2, 3.0);
  for (int trial = 0; trial < 200; ++trial) {
    const int w = len(rng), h = len(rng), x = shift(rng), y = shift(rng);
    const mxPelBuffer<unsigned char> src = randomImage(w, h, unsigned(trial), 0, 255, x, y);
    double x0 = src.window().x() + shift(rng) * 0.37, y0 = src.window().y() + shift(rng) * 0.29;
    double ex = w * scale(rng) * (coin(rng) ? 1 : -1), ey = h * scale(rng) * (coin(rng) ? 1 : -1);
    auto n = static_cast<std::int16_t>(samples(rng)), m = static_cast<std::int16_t>(samples(rng));
    if (coin(rng)) {
      // The window enlarged by a whole factor, as local correction does: exact
      // weights, many results exactly halfway between grey levels.
      x0 = src.window().x(), y0 = src.window().y(), ex = w, ey = h;
      const int g = 2 + trial % 3;
      n = static_cast<std::int16_t>(w * g), m = static_cast<std::int16_t>(h * g);
    }
    const mxAffineRectangle rect({x0, y0}, {x0 + ex, y0}, {x0, y0 + ey});
    for (int interp : {2, 3}) {
      const mxAffineSamplingParams params(rect, n, m, interp);
      const mxPelBuffer<unsigned char> fast = mfAffineTransformImage(src, params);
      const mxPelBuffer<unsigned char> slow = mxkernel::affineTransformImagePerSample(src, params);
      ASSERT_TRUE(mfPelEqual<unsigned char>(fast, slow)) << "trial " << trial << " interp " << interp;
    }
  }
}

}  // namespace

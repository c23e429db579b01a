#include "support/normalizerTest.h"

#include <cstdlib>

#include "baseif/mxGaussSample.h"
#include "imgnorm/localCorrection.h"

using namespace mxImageNormalizerDefs;

namespace {

Image filled(int w, int h, int v) { return makeImage(w, h, [v](int, int) { return v; }); }

// The trained members of the local methods, built the way training does.
struct Trained {
  Image binarizedMask, sampledMask;
  mxPelBuffer<unsigned short> maskCoverage;
  Trained(const mxPelBuffer_const<unsigned char>& mask, P neighborhood, P granularity) {
    if (mask.isBound()) {
      std::vector<unsigned char> table(256, 255);
      table[0] = 0;
      binarizedMask = mfPelMap(mask, table);
    }
    localCorrectionMasks(binarizedMask, neighborhood, granularity, true, sampledMask, maskCoverage);
  }
};

Image correct(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& ref,
              const Trained& t, Method method, P neighborhood, P granularity, P range = {-127, 127}) {
  Image result;
  runLocalCorrection(image, ref, t.binarizedMask, t.sampledMask, t.maskCoverage, method, neighborhood, granularity,
                     range, false, result, nullptr, 0);
  return result;
}

TEST(LocalCorrectionHelpers, SmoothingForNeighborhoodFollowsItsTable) {
  const int k[] = {1, 3, 5, 7, 9, 11, 15, 21, 51, 101, 201};
  const int s[] = {0, 2, 4, 4, 6, 6, 8, 12, 26, 52, 102};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(smoothingForNeighborhood({k[i], k[10 - i]}), P(s[i], s[10 - i]));
}

TEST(LocalCorrectionHelpers, SampledNeighborhoodIsOddAndShiftDownTruncates) {
  const P cases[][3] = {{{100, 101}, {1, 1}, {101, 101}},
                        {{101, 101}, {4, 4}, {25, 25}},
                        {{101, 8}, {2, 4}, {51, 3}},
                        {{101, 101}, {2, 3}, {51, 33}}};
  for (const auto& c : cases) EXPECT_EQ(sampledNeighborhood(c[0], c[1]), c[2]);
  EXPECT_THROW(sampledNeighborhood({5, 5}, {0, 1}), mxPelFunc::BadParams);
  mxPelBuffer<unsigned short> src(3, 1);
  src.row(0)[0] = 32640, src.row(0)[1] = 16384, src.row(0)[2] = 127;
  Image dst;
  pelShiftDown(src, 7, dst);
  EXPECT_EQ(dst.window(), src.window());
  EXPECT_TRUE(dst.row(0)[0] == 255 && dst.row(0)[1] == 128 && dst.row(0)[2] == 0);
  pelShiftDown(src, 0, dst);
  EXPECT_EQ(dst.row(0)[0], 32640 & 255);
  pelShiftDown(mxPelBuffer<unsigned short>(), 7, dst);
  EXPECT_FALSE(dst.isBound());
}

TEST(LocalCorrectionHelpers, MedianSizeShrinksLikeTheRoundByRoundRule) {
  auto literal = [](P k) {
    std::int64_t x = k.x(), y = k.y();
    while (x * y > 32767) (y < x ? x : y) -= 2;
    return P(std::int32_t(x), std::int32_t(y));
  };
  EXPECT_EQ(limitedMedianSize({201, 201}), P(181, 181));
  for (int x = 1; x < 1200; x += 6)
    for (int y = 1; y < 1200; y += 14) ASSERT_EQ(limitedMedianSize({x, y}), literal({x, y})) << x << " x " << y;
  EXPECT_EQ(limitedMedianSize({2147483647, 2147483647}), literal({1001, 1001}));
  EXPECT_EQ(limitedMedianSize({2147483647, 3}), literal({32769, 3}));
}

TEST(LocalCorrectionHelpers, ScaledLocalMeanRestoresTheSourceTransform) {
  Image src = filled(9, 7, 10);
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2.0, 0.0, 0.0, 2.0), mxVector<2>(1.0, 0.0)));
  const auto kept = src.imageFromClientXformBase();
  mxPelBuffer<unsigned short> dst;
  scaledLocalMean(src, {5, 5}, dst);
  EXPECT_EQ(src.imageFromClientXformBase(), kept);
  EXPECT_EQ(dst.clientFromImageXform().matrix(), src.clientFromImageXform().matrix());
  EXPECT_EQ(mfPelMax<unsigned short>(dst), 1280);
  src.imageFromClientXformBase(nullptr);
  EXPECT_THROW(scaledLocalMean(src, {5, 5}, dst), mxBadPointer);
}

TEST(LocalCorrectionEdges, DocumentedSmallCases) {
  const Image image = filled(12, 10, 200);
  const Image ref = filled(12, 10, 100);
  const Trained none({}, {5, 5}, {1, 1});
  // Amount 0: the difference is 128 everywhere, the result is the image.
  EXPECT_TRUE(mfPelEqual<unsigned char>(correct(image, ref, none, eLocalCorrection, {5, 5}, {1, 1}, {0, 0}), image));
  // Neighbourhood 1: the median estimate is the clamped difference itself.
  const Image moved = correct(image, ref, none, eLocalCorrectionEnhanced, {1, 1}, {1, 1}, {-10, 40});
  EXPECT_EQ(mfPelHistogram(moved)[160], 120u);
  // The median keeps to the range of permitted differences, here (118, 168):
  // a difference of -30 lies within the clamp limit 40 but below -10, so the
  // estimate is 118 and the image 70 becomes 70 - (118 - 128) = 80.
  const Image ranged = correct(filled(12, 10, 70), ref, none, eLocalCorrectionEnhanced, {3, 3}, {1, 1}, {-10, 40});
  EXPECT_EQ(mfPelHistogram(ranged)[80], 120u);
  // A neighbourhood of 1 is never sub-sampled: every pel moves toward its
  // reference pel by at most the amount, whatever the granularity.
  Image varied = filled(12, 10, 0);
  for (int x = 0; x < 12; ++x) varied.set(x, 3, (unsigned char)(40 + 17 * x));
  const Image pels = correct(varied, ref, none, eLocalCorrectionEnhanced, {1, 1}, {4, 4}, {-30, 30});
  for (int x = 0; x < 12; ++x) {
    const int v = 40 + 17 * x;
    EXPECT_EQ(pels.get(x, 3), v - std::min(std::max(v - 100, -30), 30));
  }
  // Mean with a mask, full resolution: excluded pels get the estimate 0.
  Image mask = filled(12, 10, 1);
  mask.set(3, 4, 0);
  const Trained masked(mask, {5, 5}, {1, 1});
  const Image out = correct(image, ref, masked, eLocalCorrection, {5, 5}, {1, 1});
  EXPECT_EQ(out.get(3, 4), 255);
  EXPECT_EQ(out.get(4, 4), 100);
  EXPECT_EQ(out.get(0, 0), 100);
}

// A textured reference; the run-time image is the reference plus a smooth
// shading of about +-40 (a tilted plane and a vignette) and a bright 5 x 5
// defect, and (for the masked cases) a bright bar the mask excludes.
struct Scene {
  static constexpr int W = 220, H = 180;
  Image ref{W, H}, image{W, H}, mask{W, H};
  bool inDefect(int x, int y) const { return std::abs(x - 150) <= 2 && std::abs(y - 90) <= 2; }
  bool inBar(int x, int y, int grow = 0) const {
    return x >= 62 - grow && x < 81 + grow && y >= 41 - grow && y < 119 + grow;
  }
  explicit Scene(bool withBar) {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const double texture = 128.0 + 45.0 * std::sin(0.37 * x) * std::cos(0.23 * y) + ((x * 7 + y * 13) % 11) - 5;
        const double u = (x - W / 2.0) / (W / 2.0), v = (y - H / 2.0) / (H / 2.0);
        const double shading = 22.0 * u + 8.0 * v + 10.0 - 20.0 * (u * u + v * v) / 2.0;
        const unsigned char r = (unsigned char)std::lround(texture);
        double img = r + shading + (inDefect(x, y) ? 60.0 : 0.0);
        if (withBar && inBar(x, y)) img += 90.0;
        ref.row(y)[x] = r;
        image.row(y)[x] = (unsigned char)std::lround(std::min(255.0, std::max(0.0, img)));
        mask.row(y)[x] = (withBar && inBar(x, y)) ? 0 : 77;
      }
  }
};

TEST(LocalCorrectionQuality, RestoresTheReferenceUnderSmoothShading) {
  const P neighborhood(31, 31);
  const int border = neighborhood.x() / 2;
  // Sub-sampling by 4 may cost up to a grey level more.
  for (Method method : {eLocalCorrection, eLocalCorrectionEnhanced})
    for (int g : {1, 4})
      for (bool masked : {false, true}) {
        const P gr(g, g);
        const double maxError = g == 1 ? 2.0 : 3.0;
        SCOPED_TRACE(testing::Message() << "method " << method << " granularity " << g << (masked ? " masked" : ""));
        const Scene s(masked);
        const Trained t(masked ? mxPelBuffer_const<unsigned char>(s.mask) : mxPelBuffer_const<unsigned char>(),
                        neighborhood, gr);
        const Image out = correct(s.image, s.ref, t, method, neighborhood, gr);
        ASSERT_EQ(out.window(), s.image.window());
        // The excluded bar must not leak into the estimate next to it either.
        double error = 0.0, defect = 0.0, nearBar = 0.0;
        int count = 0, nearCount = 0;
        for (int y = border; y < Scene::H - border; ++y)
          for (int x = border; x < Scene::W - border; ++x) {
            const int diff = int(out.row(y)[x]) - int(s.ref.row(y)[x]);
            if (s.inDefect(x, y))
              defect += diff / 25.0;
            else if (!masked || !s.inBar(x, y))
              error += std::abs(diff), ++count;
            if (masked && s.inBar(x, y, 6) && !s.inBar(x, y)) nearBar += std::abs(diff), ++nearCount;
          }
        EXPECT_LE(error / count, maxError);
        if (masked) {
          EXPECT_LE(nearBar / nearCount, maxError);
        }
        EXPECT_GE(defect, 40.0) << "the defect must stay visible";
      }
}

TEST(LocalCorrectionQuality, SampledProductsShareTheDifferenceGrid) {
  const Scene s(true);
  for (P g : {P(4, 4), P(3, 2)}) {
    const Trained t(s.mask, {31, 31}, g);
    const Image d = mfGaussSample(s.image, mxGaussSampleParams(g, g - P(1, 1), 1.0, true));
    EXPECT_EQ(t.sampledMask.window(), d.window());
    EXPECT_EQ(t.maskCoverage.window(), d.window());
    // Far from the bar the mask covers everything; inside it nothing.
    EXPECT_EQ(t.maskCoverage.get(180 / g.x(), 150 / g.y()), 32640);
    EXPECT_EQ(t.sampledMask.get(70 / g.x(), 80 / g.y()), 0);
  }
}

}  // namespace

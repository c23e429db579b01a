#include "support/normalizerTest.h"

#include <cstdlib>

#include "baseif/mxGaussSample.h"
#include "imgnorm/localCorrection.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {

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
  runLocalCorrection(image, ref, {t.binarizedMask, t.sampledMask, t.maskCoverage},
                     {method, neighborhood, granularity, range}, result);
  return result;
}

// A textured grey level: smooth structure plus a fine integer pattern.
int texture(int x, int y) {
  return int(std::lround(128.0 + 45.0 * std::sin(0.37 * x) * std::cos(0.23 * y))) + (x * 7 + y * 13) % 11 - 5;
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
  Image src = constantImage(9, 7, 10);
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
  const Image image = constantImage(12, 10, 200);
  const Image ref = constantImage(12, 10, 100);
  const Trained none({}, {5, 5}, {1, 1});
  // Range (0, 0): the result is the image.
  EXPECT_TRUE(mfPelEqual<unsigned char>(correct(image, ref, none, eLocalCorrection, {5, 5}, {1, 1}, {0, 0}), image));
  // The median keeps to (118, 168): a difference of -30 gives 118, and 70 becomes 70 - (118 - 128).
  const Image ranged =
      correct(constantImage(12, 10, 70), ref, none, eLocalCorrectionEnhanced, {3, 3}, {1, 1}, {-10, 40});
  EXPECT_EQ(mfPelHistogram(ranged)[80], 120u);
  // Mean with a mask, full resolution: excluded pels get the estimate 0.
  Image mask = constantImage(12, 10, 1);
  mask.set(3, 4, 0);
  const Trained masked(mask, {5, 5}, {1, 1});
  const Image out = correct(image, ref, masked, eLocalCorrection, {5, 5}, {1, 1});
  EXPECT_EQ(out.get(3, 4), 255);
  EXPECT_EQ(out.get(4, 4), 100);
  EXPECT_EQ(out.get(0, 0), 100);
}

// A textured reference; the image adds a smooth shading of about +-40, a bright 5 x 5
// defect and (masked cases) a bright bar the mask excludes.
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
        const double u = (x - W / 2.0) / (W / 2.0), v = (y - H / 2.0) / (H / 2.0);
        const double shading = 22.0 * u + 8.0 * v + 10.0 - 20.0 * (u * u + v * v) / 2.0;
        const unsigned char r = (unsigned char)texture(x, y);
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
        EXPECT_TRUE(!masked || nearBar / nearCount <= maxError) << nearBar / nearCount;
        EXPECT_GE(defect, 40.0) << "the defect must stay visible";
      }
}

TEST(LocalCorrectionQuality, SubSampledMaskedMeanIsAsExactAsFullResolution) {
  // A tilted image (509 x 381: no multiple of any granularity) with two excluded bars to the
  // edges: the error against the image minus the tilt may grow by 0.1 grey levels at most
  // with the granularity (no grid drift, no cell rounded to a level, no excluded pel mixed in).
  const int W = 509, H = 381;
  Image ref(W, H), image(W, H), mask(W, H);
  std::vector<double> ideal(size_t(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int r = texture(x, y);
      const double tilt = 0.25 * x + 0.05 * y - 73.0;
      const bool excluded = (x >= 100 && x < 131 && y >= 60) || (y >= 300 && y < 321 && x >= 250);
      ref.row(y)[x] = (unsigned char)r;
      image.row(y)[x] = (unsigned char)std::lround(std::min(255.0, std::max(0.0, r + tilt + (excluded ? 60 : 0))));
      ideal[size_t(y) * W + x] = image.row(y)[x] - tilt;
      mask.row(y)[x] = excluded ? 0 : 255;
    }
  for (int k : {31, 61}) {
    double error[3] = {};
    const int gs[3] = {1, 2, 4};
    for (int i = 0; i < 3; ++i) {
      const P g(gs[i], gs[i]);
      const Image out = correct(image, ref, Trained(mask, {k, k}, g), eLocalCorrection, {k, k}, g);
      int n = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
          if (mask.row(y)[x]) error[i] += std::abs(out.row(y)[x] - ideal[size_t(y) * W + x]), ++n;
      error[i] /= n;
    }
    for (int i = 1; i < 3; ++i)
      EXPECT_LE(error[i], error[0] + 0.1)
          << "neighbourhood " << k << " granularity " << gs[i] << " against " << error[0] << " at granularity 1";
  }
}

TEST(LocalCorrectionQuality, SampledProductsShareTheDifferenceGrid) {
  const Scene s(true);
  for (P g : {P(4, 4), P(3, 2)}) {
    const Trained t(s.mask, {31, 31}, g);
    const Image d = mfGaussSample(s.image, mxGaussSampleParams(g, g - P(1, 1), 1.0, true));
    EXPECT_EQ(t.sampledMask.window(), d.window());
    EXPECT_EQ(t.maskCoverage.window(), d.window());
    EXPECT_EQ(t.maskCoverage.get(180 / g.x(), 150 / g.y()), 32640);
    EXPECT_EQ(t.sampledMask.get(70 / g.x(), 80 / g.y()), 0);
  }
}

TEST(LocalCorrectionEdges, MaskedMeanMatchesABruteForceNormalisedConvolution) {
  // At every set pel the estimate (image - result + 128) is the kernel-weighted mean of the
  // differences over set pels of the run-time window, edges replicated.
  const int W = 48, H = 36;
  const Image ref = randomImage(W, H, 5, 70, 180);
  const Image diff = randomImage(W, H, 6, 128 - 60, 128 + 60);
  const Image image = makeImage(W, H, [&](int x, int y) { return ref.get(x, y) + diff.get(x, y) - 128; });
  const std::function<int(int, int)> masks[] = {
      [](int x, int) { return x < 20 ? 0 : 1; },
      [](int x, int y) { return (x / 5 + y / 7) % 2; },
      [](int x, int y) { return (x * 37 + y * 11) % 5 == 0; },
      [](int x, int y) { return x == 30 && y == 20; },
  };
  const mxPelRect cuts[] = {{0, 0, W, H}, {20, 0, 28, H}, {7, 5, 30, 20}, {0, 19, W, 1}, {29, 3, 3, 30}};
  for (int mi = 0; mi < 4; ++mi)
    for (int k : {1, 5, 15}) {
      const Image mask = makeImage(W, H, masks[mi]);
      const Trained t(mask, {k, k}, {1, 1});
      const int s = smoothingForNeighborhood({k, k}).x();
      const std::vector<double> w = threeBoxKernel(s);
      for (const mxPelRect& r : cuts) {
        SCOPED_TRACE(testing::Message() << "mask " << mi << " k " << k << " cut " << r.x() << "," << r.y() << " "
                                        << r.width() << "x" << r.height());
        const Image out = correct(windowOf(image, r), ref, t, eLocalCorrection, {k, k}, {1, 1});
        ASSERT_EQ(out.window(), r);
        auto clampX = [&](int x) { return std::min(std::max(x, r.x()), r.x() + r.width() - 1); };
        auto clampY = [&](int y) { return std::min(std::max(y, r.y()), r.y() + r.height() - 1); };
        for (int y = r.y(); y < r.y() + r.height(); ++y)
          for (int x = r.x(); x < r.x() + r.width(); ++x) {
            if (!mask.get(x, y)) continue;
            double num = 0.0, den = 0.0;
            for (int j = -s; j <= s; ++j)
              for (int i = -s; i <= s; ++i) {
                const int xx = clampX(x + i), yy = clampY(y + j);
                const double wt = w[size_t(i + s)] * w[size_t(j + s)] * (mask.get(xx, yy) ? 1.0 : 0.0);
                num += wt * diff.get(xx, yy), den += wt;
              }
            const int estimate = int(image.get(x, y)) - int(out.get(x, y)) + 128;
            ASSERT_NEAR(estimate, num / den, 1.0) << "at " << x << "," << y;
          }
      }
    }
}

TEST(LocalCorrectionEdges, SubSampledMaskedMeanNeverWraps) {
  // A difference of +-50 with excluded stripes: excluded pels are neutral, so results lie between reference and image
  // and are the reference far from them (and in `beside`, whose window only touches the stripes).
  const Image ref = constantImage(90, 70, 100);
  const Image mask = makeImage(90, 70, [](int x, int y) { return (x >= 40 && x < 47) || y < 6 ? 0 : 1; });
  const mxPelRect beside(47, 6, 43, 64);
  for (int v : {150, 50})
    for (P g : {P(2, 2), P(3, 5), P(4, 4), P(8, 1)})
      for (const mxPelRect& r : {mxPelRect(0, 0, 90, 70), mxPelRect(47, 3, 43, 60), mxPelRect(13, 9, 30, 61), beside}) {
        SCOPED_TRACE(testing::Message() << "image " << v << " granularity " << g.x() << "x" << g.y() << " at " << r.x()
                                        << "," << r.y());
        const Trained t(mask, {21, 21}, g);
        const Image out = correct(windowOf(constantImage(90, 70, v), r), ref, t, eLocalCorrection, {21, 21}, g);
        for (int y = r.y(); y < r.y() + r.height(); ++y)
          for (int x = r.x(); x < r.x() + r.width(); ++x) {
            if (!mask.get(x, y)) continue;
            const int o = out.get(x, y);
            ASSERT_TRUE(o >= std::min(v, 100) && o <= std::max(v, 100)) << o << " at " << x << "," << y;
            if (r == beside || (std::abs(x - 43) > 20 + 2 * g.x() && y > 6 + 20 + 2 * g.y())) {
              ASSERT_EQ(o, 100) << x << "," << y;
            }
          }
      }
}

TEST(LocalCorrectionEdges, UnusualGranularitiesGiveDefinedResults) {
  // Neighbourhood 1: the estimate is the pel's own clamped difference, whatever else.
  const Image image = randomImage(64, 64, 3, 60, 200);
  const Image ref = constantImage(64, 64, 120);
  const Image half = makeImage(64, 64, [](int x, int) { return x < 32; });
  for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
    for (bool masked : {false, true}) {
      const Trained t(masked ? half : Image(), {1, 1}, {4, 4});
      const Image out = correct(image, ref, t, m, {1, 1}, {4, 4}, {-30, 30});
      int wrong = 0;
      for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 32; ++x) {
          const int v = image.get(x, y);
          wrong += out.get(x, y) != v - std::min(std::max(v - 120, -30), 30);
        }
      EXPECT_EQ(wrong, 0) << "method " << m << (masked ? " masked" : "");
    }
  // A granularity beyond the overlap R, up to 2^31 - 1, acts as R's size on that axis.
  const Image textured = makeImage(64, 64, texture);
  const Image inside = windowOf(textured, mxPelRect(5, 3, 50, 30));
  for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
    for (P g : {P(40000, 40000), P(2147483647, 3), P(40000000, 30), P(50, 40000000)})
      for (bool masked : {false, true}) {
        const P asR(std::min(g.x(), 50), std::min(g.y(), 30));
        const Image mask = masked ? half : Image();
        EXPECT_TRUE(mfPelEqual<unsigned char>(correct(inside, ref, Trained(mask, {41, 41}, g), m, {41, 41}, g),
                                              correct(inside, ref, Trained(mask, {41, 41}, asR), m, {41, 41}, asR)))
            << "method " << m << " g " << g.x() << "x" << g.y() << (masked ? " masked" : "");
        if (!masked) {
          const Image flat = correct(constantImage(64, 64, 150), ref, Trained({}, {101, 101}, g), m, {101, 101}, g);
          EXPECT_EQ(mfPelHistogram(flat)[120], 64u * 64u);
        }
      }
}

TEST(LocalCorrectionEdges, SubSamplesImagesWiderAndTallerThan32767) {
  // A constant difference of 20: the reference away from the excluded far end.
  for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
    for (bool wide : {true, false}) {
      const int w = wide ? 40000 : 4, h = wide ? 4 : 40000;
      const Image mask = makeImage(w, h, [](int x, int y) { return x + y < 39800; });
      const Trained t(mask, {9, 9}, {4, 2});
      const Image out = correct(constantImage(w, h, 170), constantImage(w, h, 150), t, m, {9, 9}, {4, 2});
      ASSERT_EQ(out.window(), mxPelRect(0, 0, w, h));
      EXPECT_EQ(mfPelHistogram(windowOf(out, mxPelRect(0, 0, wide ? 39700 : 4, wide ? 4 : 39700)))[150], 4u * 39700u);
    }
}

TEST(LocalCorrectionEdges, ABlockWithItsHaloReproducesTheWholeRun) {
  // Every block run with localCorrectionHalo (cut at R's edges) gives the whole run's pels.
  const Scene s(true);
  const mxPelRect whole(3, 2, Scene::W - 5, Scene::H - 3);  // not a multiple of any granularity
  for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
    for (bool masked : {false, true})
      for (P g : {P(1, 1), P(3, 3), P(4, 2)})
        for (P k : {P(31, 31), P(15, 41)}) {
          SCOPED_TRACE(testing::Message() << "method " << m << (masked ? " masked" : "") << " g " << g.x() << "x"
                                          << g.y() << " k " << k.x() << "x" << k.y());
          const Trained t(masked ? mxPelBuffer_const<unsigned char>(s.mask) : mxPelBuffer_const<unsigned char>(), k, g);
          const Image full = correct(windowOf(s.image, whole), s.ref, t, m, k, g);
          const P halo = localCorrectionHalo(m, k, g);
          for (const mxPelRect& b : {mxPelRect(60, 40, 37, 29), mxPelRect(3, 2, 50, 50), mxPelRect(150, 100, 67, 79)}) {
            const mxPelRect grown = b.trim(-halo.x(), -halo.y(), -halo.x(), -halo.y(), false).intersect(whole, false);
            const Image part = correct(windowOf(s.image, grown), s.ref, t, m, k, g);
            ASSERT_TRUE(mfPelEqual<unsigned char>(windowOf(part, b), windowOf(full, b))) << "block at " << b.x();
          }
        }
}

TEST(LocalCorrectionQuality, MedianAtTheImageBorder) {
  // A vignette of 60 levels: the median's error along the border stays close to its error
  // inside (clipped windows doubled it).
  const int W = 512, H = 512, k = 101;
  Image ref(W, H), image(W, H);
  std::vector<double> ideal(size_t(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const double u = (x - W / 2.0) / (W / 2.0), v = (y - H / 2.0) / (H / 2.0);
      const double off = 20.0 - 30.0 * (u * u + v * v);
      const int r = int(std::lround(128.0 + 45.0 * std::sin(0.37 * x) * std::cos(0.23 * y)));
      ref.row(y)[x] = (unsigned char)r;
      image.row(y)[x] = (unsigned char)std::lround(r + off);
      ideal[size_t(y) * W + x] = image.row(y)[x] - off;
    }
  const Trained none({}, {k, k}, {1, 1});
  const Image out = correct(image, ref, none, eLocalCorrectionEnhanced, {k, k}, {1, 1});
  double all = 0.0, inside = 0.0;
  int n = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const double e = std::abs(out.row(y)[x] - ideal[size_t(y) * W + x]);
      all += e;
      if (std::min({x, y, W - 1 - x, H - 1 - y}) >= k / 2) inside += e, ++n;
    }
  all /= double(W) * H, inside /= n;
  EXPECT_LE(all, 1.25 * inside) << "whole " << all << " inside " << inside;
}

}  // namespace

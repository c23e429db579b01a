#include "support/normalizerTest.h"

#include "imgnorm/knownRelation.h"
#include "imgnorm/linearFit.h"

namespace {

using Profile = mxPelBuffer<std::uint32_t>;
using namespace imgnorm::detail;

template <class B, class T>
B rowOf(const std::vector<T>& v) {
  B b(std::int32_t(v.size()), 1);
  for (std::size_t i = 0; i < v.size(); ++i) b.row(0)[i] = static_cast<typename B::value_type>(v[i]);
  return b;
}
Image greys(const std::vector<int>& v) { return rowOf<Image>(v); }
Profile profile(const std::vector<int>& v) { return rowOf<Profile>(v); }

std::vector<double> angles() {
  std::vector<double> a;
  buildFitAngles(a);
  return a;
}

TEST(FitAngles, SixtyThreeAscendingDirectionsWithout45) {
  const auto a = angles();
  ASSERT_EQ(a.size(), 63u);
  EXPECT_DOUBLE_EQ(a[31], std::atan2(32.0, 33.0) * 57.29577951308232);
  EXPECT_DOUBLE_EQ(a[32], std::atan2(33.0, 31.0) * 57.29577951308232);
  for (std::size_t k = 1; k < 63; ++k) EXPECT_LT(a[k - 1], a[k]);
  for (std::size_t k = 0; k < 31; ++k) EXPECT_NEAR(a[k] + a[62 - k], 90.0, 1e-12);  // atan2(i,33) + atan2(33,i)
}

TEST(JointHistogram, BinsScalesAndMask) {
  // Grey 3 | 4 and 251 | 252 straddle bin edges.
  const Image h = jointHistogramImage(greys({4, 252, 3}), Image(), greys({3, 251, 252}));
  EXPECT_TRUE(h.row(1)[0] == 1 && h.row(32)[31] == 1 && h.row(0)[32] == 1 && mfPelMax<unsigned char>(h) == 1);
  // Largest count 255: copied.  256: logarithmic, counts 1, 2, 4 -> 0, 32, 64.
  for (int top : {255, 256}) {
    std::vector<int> g(std::size_t(top), 100);
    g.insert(g.end(), {10, 20, 20, 30, 30, 30, 30});
    const Image hi = jointHistogramImage(greys(g), Image(), greys(g));
    EXPECT_EQ(hi.row(13)[13], 255);
    EXPECT_EQ(hi.row(1)[1], top == 255 ? 1 : 0);
    EXPECT_EQ(hi.row(3)[3], top == 255 ? 2 : 32);
    EXPECT_EQ(hi.row(4)[4], top == 255 ? 4 : 64);
  }
}

TEST(JointHistogram, PairsPelsByPositionInEachWindow) {
  // Windows at different image coordinates in larger random stores: pairing
  // by image coordinates would pick up the wrong pels.
  Image ref = randomImage(50, 40, 2, 0, 255, -5, 7), run = randomImage(40, 30, 3, 0, 255, 100, 0),
        mask = randomImage(30, 30, 4);
  ref.window(mxPelRect(0, 10, 30, 25));
  run.window(mxPelRect(110, 3, 20, 15));
  mask.window(mxPelRect(4, 4, 25, 20));
  std::vector<double> counts(33 * 33, 0);
  for (int j = 0; j < 15; ++j)
    for (int i = 0; i < 20; ++i)
      counts[std::size_t((ref.row(j)[i] + 4) / 8 * 33 + (run.row(j)[i] + 4) / 8)] += mask.row(j)[i];
  const double m = *std::max_element(counts.begin(), counts.end());
  const Image h = jointHistogramImage(ref, mask, run);
  for (int c = 0; c < 33 * 33; ++c)
    ASSERT_EQ(h.row(c / 33)[c % 33], counts[c] ? int(std::log(counts[c]) * (255.0 / std::log(m)) + 0.5) : 0) << c;
  EXPECT_THROW(jointHistogramImage(run, mask, ref), mxPel::BadWindow);  // reference smaller than the image
  EXPECT_THROW(jointHistogramImage(ref, greys({1}), run), mxPel::BadWindow);
}

TEST(DirectionSearch, SmoothingAndPeakSelection) {
  std::mt19937 rng(4);
  for (int r = 0; r <= 3; ++r)
    for (int L = 2 * r + 1; L <= 2 * r + 7; ++L) {
      std::vector<std::uint32_t> p(static_cast<std::size_t>(L));
      for (auto& x : p) x = rng() % 1000;
      const auto s = smoothProfile(p, r);
      for (int i = 0; i < L; ++i) {  // mirrored about the end pels, which are not repeated
        std::uint32_t sum = 0;
        for (int k = i - r; k <= i + r; ++k) sum += p[std::size_t(k < 0 ? -k : k >= L ? 2 * (L - 1) - k : k)];
        ASSERT_EQ(s[std::size_t(i)], sum) << r << " " << L << " " << i;
      }
    }
  EXPECT_THROW(smoothProfile({1, 2}, 1), mxPelFunc::BadParams);
  // Smoothed: a 5 6 7 6 5 (peak 2); b 0 7 7 7 0 (first maximum at 1); c 0 0 0 9 9.
  const Profile a = profile({1, 2, 3, 2, 1}), b = profile({0, 0, 7, 0, 0}), c = profile({0, 0, 0, 0, 9}),
                z = profile({0, 0, 0});
  const struct {
    std::vector<Profile> profiles;
    int selected;
    double peak;
  } cases[] = {{{a, b}, 0, 2}, {{b, a}, 0, 1}, {{a, b, c}, 2, 3}, {{z, z}, 0, 0}, {{}, -1, -5}};
  for (const auto& k : cases) {
    double peak = -5;
    EXPECT_EQ(selectPeakDirection(k.profiles, peak), k.selected);
    EXPECT_EQ(peak, k.peak);
  }
}

TEST(DirectionSearch, ProjectionGeometryAndBand) {
  const auto a = angles();
  EXPECT_EQ(projectAlongAngle(Image(33, 33), mxDegree(a[3])).width(), 38);
  EXPECT_EQ(projectAlongAngle(Image(33, 33), mxDegree(a[31])).width(), 48);
  for (double theta : {a[3], a[20], a[59]}) {  // points along the direction share a column
    const mxXform<2> T = projectAlongAngle(Image(33, 33), mxDegree(theta)).imageFromClientXform();
    const mxVector<2> d(std::cos(theta / 57.29577951308232), std::sin(theta / 57.29577951308232));
    EXPECT_NEAR((T * mxVector<2>(3, 20)).x(), (T * (mxVector<2>(3, 20) + 9.0 * d)).x(), 1e-9);
  }
  // A ridge (x, x): the 45-degree profile peaks on it; the band holds its first neighbours only.
  Image ridge(33, 33);
  for (int x = 0; x < 33; ++x) ridge.row(x)[x] = 200;
  const Profile p = projectAlongAngle(ridge, mxDegree(45.0));
  const std::int32_t best = std::int32_t(std::max_element(p.row(0), p.row(0) + p.width()) - p.row(0));
  EXPECT_LE(std::fabs(best + 0.5 - (p.imageFromClientXform() * mxVector<2>(10.5, 10.5)).x()), 1.0);
  const Image band = peakBandMask(ridge, p, double(best));
  for (int x = 0; x < 30; ++x) {
    EXPECT_TRUE(band.row(x)[x] && band.row(x + 1)[x] && band.row(x)[x + 1]) << x;
    EXPECT_TRUE(!band.row(x + 3)[x] && !band.row(x)[x + 3]) << x;
  }
  EXPECT_EQ(mfPelMax<unsigned char>(peakBandMask(ridge, p, std::nan(""))), 0);
}

TEST(LinearLut, RoundsHalfAwayAndClamps) {
  const auto t = linearLut(1.5, -10);  // entry 6 is -1, 7 is 0.5, 176 is 254, 177 is 255.5
  EXPECT_TRUE(t[6] == 0 && t[7] == 1 && t[176] == 254 && t[177] == 255);
  for (const auto& c :
       {std::make_pair(-0.5, 0), std::make_pair(0.5, 1), std::make_pair(std::nan(""), 0), std::make_pair(1e300, 255)})
    EXPECT_EQ(linearLut(0.0, c.first), std::vector<unsigned char>(256, static_cast<unsigned char>(c.second)));
}

TEST(LinearFit, BandPelsCountOnceEach) {
  // Half the pels on t = r - 16 (+-3), half far off: the band is the three diagonals around
  // it; any non-zero mask value counts once.
  const Image run = makeImage(64, 8, [](int i, int j) { return i < 32 ? 20 + 3 * i + j : 220 + j; });
  const Image ref =
      makeImage(64, 8, [&](int i, int j) { return i < 32 ? run.get(i, j) - 16 + (i * 5 + j) % 7 - 3 : 30; });
  const Image mask = makeImage(64, 8, [](int i, int j) { return 1 + (i * 37 + j * 11) % 255; });
  const Image band = makeImage(33, 33, [](int x, int y) { return y < x && y >= x - 3 ? 255 : 0; });
  double g1 = 0, o1 = 0, g2 = 0, o2 = 0, g3 = 7, o3 = 9;
  ASSERT_TRUE(fitGainAndOffset(ref, Image(), run, band, g1, o1) && fitGainAndOffset(ref, mask, run, band, g2, o2));
  EXPECT_NEAR(g1, 1.0, 0.05);
  EXPECT_NEAR(o1, -16.0, 3.0);
  EXPECT_TRUE(g1 == g2 && o1 == o2);
  EXPECT_FALSE(fitGainAndOffset(ref, Image(64, 8), run, band, g3, o3));  // no used pel: untouched
  EXPECT_TRUE(g3 == 7 && o3 == 9);
  // Identical images: the identity, exactly.
  const auto img = knownRelation::image();
  ASSERT_TRUE(linearFitParameters(img, img, Image(), angles(), g1, o1));
  EXPECT_NEAR(g1, 1.0, 1e-12);
  EXPECT_NEAR(o1, 0.0, 1e-9);
  EXPECT_TRUE(mfPelEqual<unsigned char>(linearFitImage(img, img, Image(), angles()), img));
}

// reference * g + o + noise with a 4 % defect, masked or not: gain 1/g within 2 %, offset
// -o/g within 2 levels.
TEST(LinearFit, KnownRelationRecoversGainAndOffset) {
  const auto ref = knownRelation::image();
  const Image masks[3] = {Image(),
                          makeImage(256, 256, [](int x, int y) { return knownRelation::inDefect(x, y) ? 0 : 255; }),
                          makeImage(256, 256, [](int x, int) { return x < 40 ? 0 : (x % 2 ? 1 : 255); })};
  const struct {
    double g, o;
    int defectGrey;
  } cases[] = {{0.8, 30, 240}, {1.2, -10, 240}, {0.6, 70, 5}, {1.0, 25, 128}, {0.5, 100, 5}, {1.1, -5, 250}};
  for (const auto& c : cases)
    for (unsigned m = 0; m < 3; ++m) {
      const auto run = knownRelation::image(c.g, c.o, 2.0, c.defectGrey, 7 + m);
      double gain = 0, offset = 0;
      ASSERT_TRUE(linearFitParameters(run, ref, masks[m], angles(), gain, offset));
      EXPECT_NEAR(gain * c.g, 1.0, 0.02) << "g " << c.g << " mask " << m;
      EXPECT_NEAR(offset, -c.o / c.g, 2.0) << "g " << c.g << " mask " << m;
    }
}

TEST(LinearFit, FailuresAndUnfittableInput) {
  const auto img = knownRelation::image();
  for (const Image& unbound : {Image(), img})
    expectError<mxImageNormalizerDefs::BadImage>(
        [&] { linearFitImage(unbound, unbound.isBound() ? Image() : img, Image(), angles()); },
        L"Both template image and run-time image must be bound.");
  EXPECT_THROW(linearFitImage(img, img, Image(), std::vector<double>(6, 10.0)), mxImageNormalizerDefs::BadParams);
  bool fitted = true;  // a mask with no used pel: nothing to fit, the result is 0
  const Image out = linearFitImage(img, img, Image(256, 256), angles(), fitted);
  EXPECT_TRUE(!fitted && out.window() == img.window() && mfPelMax<unsigned char>(out) == 0);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "baseif/mxPelOps.h"
#include "imgnorm/knownRelation.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace {

using Image = mxPelBuffer<unsigned char>;
using Profile = mxPelBuffer<std::uint32_t>;
constexpr double kPi = 3.141592653589793;

// A 1-row image holding the given (run-time or reference) grey levels.
Image rowOf(const std::vector<int>& v) {
  Image b(std::int32_t(v.size()), 1);
  for (std::size_t i = 0; i < v.size(); ++i) b.row(0)[i] = static_cast<unsigned char>(v[i]);
  return b;
}

Profile profileOf(const std::vector<std::uint32_t>& v) {
  Profile p(std::int32_t(v.size()), 1);
  for (std::size_t i = 0; i < v.size(); ++i) p.row(0)[i] = v[i];
  return p;
}

int cell(const Image& h, int runBin, int refBin) { return h.row(refBin)[runBin]; }

std::vector<double> angles() {
  std::vector<double> a;
  buildFitAngles(a);
  return a;
}

TEST(FitAngles, SixtyThreeAscendingDirectionsWithout45) {
  std::vector<double> a(5, 1.0);
  buildFitAngles(a);
  ASSERT_EQ(a.size(), 63u);
  EXPECT_DOUBLE_EQ(a[31], std::atan2(32.0, 33.0) * 180 / kPi);
  EXPECT_DOUBLE_EQ(a[32], std::atan2(33.0, 31.0) * 180 / kPi);
  EXPECT_NEAR(a[0], 1.736, 1e-3);
  EXPECT_NEAR(a[62], 88.264, 1e-3);
  for (std::size_t k = 0; k < 63; ++k) {
    if (k > 0) {
      EXPECT_LT(a[k - 1], a[k]);
    }
    EXPECT_NE(a[k], 45.0);
    // atan2(i, 33) + atan2(33, i) = 90 for i = 1 .. 31; atan2(32, 33) at
    // index 31 has no partner.
    if (k != 31) {
      EXPECT_NEAR(a[k] + a[62 - k], 90.0, 1e-12) << k;
    }
  }
}

TEST(JointHistogram, BinsAndScales) {
  // Grey 3 and 4 fall into bins 0 and 1, 251 and 252 into 31 and 32.
  const Image h = jointHistogramImage(rowOf({4, 252, 3}), Image(), rowOf({3, 251, 252}));
  EXPECT_EQ(cell(h, 0, 1), 1);
  EXPECT_EQ(cell(h, 31, 32), 1);
  EXPECT_EQ(cell(h, 32, 0), 1);
  EXPECT_EQ(mfPelMax<unsigned char>(h), 1);

  // Largest count 255: copied.  256: logarithmic, 1 -> 0, 2 -> 32, 4 -> 64.
  for (int top : {255, 256}) {
    std::vector<int> run(std::size_t(top), 100), ref(std::size_t(top), 100);
    const int extra[][2] = {{10, 1}, {20, 2}, {30, 4}};  // grey, count
    for (const auto& e : extra) run.insert(run.end(), std::size_t(e[1]), e[0]), ref.insert(ref.end(), std::size_t(e[1]), e[0]);
    const Image hi = jointHistogramImage(rowOf(ref), Image(), rowOf(run));
    const int b100 = (100 + 4) >> 3;
    EXPECT_EQ(cell(hi, b100, b100), 255);
    EXPECT_EQ(cell(hi, 1, 1), top == 255 ? 1 : 0);
    EXPECT_EQ(cell(hi, 3, 3), top == 255 ? 2 : 32);
    EXPECT_EQ(cell(hi, 4, 4), top == 255 ? 4 : 64);
  }
}

TEST(JointHistogram, MaskAddsItsValue) {
  const Image run = rowOf({50, 50, 200}), ref = rowOf({60, 60, 10});
  const Image unmasked = jointHistogramImage(ref, Image(), run);
  EXPECT_EQ(cell(unmasked, 6, 8), 2);
  EXPECT_EQ(cell(unmasked, 25, 1), 1);
  // Two used pels add 510: the logarithmic scale applies.
  const Image masked = jointHistogramImage(ref, rowOf({255, 255, 0}), run);
  EXPECT_EQ(cell(masked, 6, 8), 255);
  EXPECT_EQ(cell(masked, 25, 1), 0);
  EXPECT_EQ(mfPelMax<unsigned char>(jointHistogramImage(ref, rowOf({0, 0, 0}), run)), 0);
}

TEST(JointHistogram, PairsPelsByPositionInEachWindow) {
  // Windows at different image coordinates, inside larger stores whose other
  // pels are random: pairing by image coordinates would pick those up.
  std::mt19937 rng(2);
  std::uniform_int_distribution<int> g(0, 255);
  Image refStore(mxPelRect(-5, 7, 50, 40)), runStore(mxPelRect(100, 0, 40, 30)), maskStore(mxPelRect(0, 0, 30, 30));
  for (Image* b : {&refStore, &runStore, &maskStore})
    for (int j = 0; j < b->height(); ++j)
      for (int i = 0; i < b->width(); ++i) b->row(j)[i] = static_cast<unsigned char>(g(rng));
  Image ref = refStore, run = runStore, mask = maskStore;
  ref.window(mxPelRect(0, 10, 30, 25));
  run.window(mxPelRect(110, 3, 20, 15));
  mask.window(mxPelRect(4, 4, 25, 20));
  std::vector<std::uint64_t> counts(33 * 33, 0);
  for (int j = 0; j < 15; ++j)
    for (int i = 0; i < 20; ++i)
      counts[std::size_t(((ref.row(j)[i] + 4) >> 3) * 33 + ((run.row(j)[i] + 4) >> 3))] += mask.row(j)[i];
  std::uint64_t m = 0;
  for (auto c : counts) m = std::max(m, c);
  ASSERT_GE(m, 256u);
  const Image h = jointHistogramImage(ref, mask, run);
  for (int y = 0; y < 33; ++y)
    for (int x = 0; x < 33; ++x) {
      const std::uint64_t k = counts[std::size_t(y * 33 + x)];
      const int expected = k == 0 ? 0 : int(std::log(double(k)) * (255.0 / std::log(double(m))) + 0.5);
      ASSERT_EQ(h.row(y)[x], expected) << x << "," << y;
    }
  EXPECT_THROW(jointHistogramImage(run, mask, ref), mxPel::BadWindow);  // "reference" smaller than image
  EXPECT_THROW(jointHistogramImage(ref, rowOf({1}), run), mxPel::BadWindow);
  EXPECT_THROW(jointHistogramImage(ref, mask, Image()), mxPel::UnboundWindow);
}

TEST(SmoothProfile, MirroredBoxSumMatchesDefinition) {
  std::mt19937 rng(4);
  std::uniform_int_distribution<std::uint32_t> v(0, 1000);
  for (int r = 0; r <= 3; ++r)
    for (int L = 2 * r + 1; L <= 2 * r + 7; ++L) {
      std::vector<std::uint32_t> p(static_cast<std::size_t>(L));
      for (auto& x : p) x = v(rng);
      const auto s = smoothProfile(p, r);
      ASSERT_EQ(s.size(), p.size());
      for (int i = 0; i < L; ++i) {
        std::uint32_t expected = 0;
        for (int k = i - r; k <= i + r; ++k) expected += p[std::size_t(k < 0 ? -k : k > L - 1 ? 2 * (L - 1) - k : k)];
        ASSERT_EQ(s[std::size_t(i)], expected) << "r " << r << " L " << L << " i " << i;
      }
    }
  EXPECT_EQ(smoothProfile({1, 2, 3, 4}, 1), (std::vector<std::uint32_t>{5, 6, 9, 10}));
  EXPECT_THROW(smoothProfile({1, 2}, 1), mxPelFunc::BadParams);
}

TEST(SelectPeakDirection, HighestSmoothedPeakEarliestWins) {
  const Profile a = profileOf({1, 2, 3, 2, 1});  // smoothed 5 6 7 6 5: peak 7 at 2
  const Profile b = profileOf({0, 0, 7, 0, 0});  // smoothed 0 7 7 7 0: peak 7 at 1
  const Profile c = profileOf({0, 0, 0, 0, 9});  // smoothed 0 0 0 9 9: peak 9 at 3
  const struct {
    std::vector<Profile> profiles;
    std::int32_t selected;
    double peak;
  } cases[] = {{{a, b}, 0, 2}, {{b, a}, 0, 1}, {{a, b, c}, 2, 3}, {{profileOf({0, 0, 0}), profileOf({0, 0, 0, 0})}, 0, 0}};
  for (const auto& k : cases) {
    double peak = -5;
    EXPECT_EQ(selectPeakDirection(k.profiles, peak), k.selected);
    EXPECT_EQ(peak, k.peak);
  }
  double peak = -5;
  EXPECT_EQ(selectPeakDirection({}, peak), -1);
}

TEST(ProjectAlongAngle, GridAndProfileGeometry) {
  const Image empty(33, 33);
  const auto a = angles();
  EXPECT_EQ(projectAlongAngle(empty, mxDegree(a[3])).width(), 38);  // atan2(4, 33)
  EXPECT_EQ(projectAlongAngle(empty, mxDegree(a[31])).width(), 48);  // atan2(32, 33)
  for (double theta : {a[3], a[20], 45.0, a[59]}) {
    const Profile p = projectAlongAngle(empty, mxDegree(theta));
    const mxXform<2> T = p.imageFromClientXform();
    const mxVector<2> d(std::cos(theta * kPi / 180), std::sin(theta * kPi / 180));
    // Points along the direction share a column; the centre is mid-profile.
    EXPECT_NEAR((T * mxVector<2>(3, 20)).x(), (T * (mxVector<2>(3, 20) + 9.0 * d)).x(), 1e-9);
    EXPECT_NEAR((T * mxVector<2>(16.5, 16.5)).x(), p.width() / 2.0, 1e-9);
  }
  // A ridge of cells (x, x): the 45-degree profile peaks where the ridge's
  // centre line projects, and the band around that peak holds the ridge.
  Image ridge(33, 33);
  for (int x = 0; x < 33; ++x) ridge.row(x)[x] = 200;
  const Profile p = projectAlongAngle(ridge, mxDegree(45.0));
  const double c = (p.imageFromClientXform() * mxVector<2>(10.5, 10.5)).x();
  std::int32_t best = 0;
  for (std::int32_t i = 0; i < p.width(); ++i)
    if (p.row(0)[i] > p.row(0)[best]) best = i;
  EXPECT_LE(std::fabs(best + 0.5 - c), 1.0);
  // The band spans three profile columns (about 2.2 cells across the 45
  // degree ridge): the ridge and its first neighbours are in, cells three
  // diagonals away are out.
  const Image band = peakBandMask(ridge, p, double(best));
  for (int x = 0; x < 33; ++x) {
    EXPECT_EQ(band.row(x)[x], 255) << x;
    if (x + 1 < 33) {
      EXPECT_EQ(band.row(x + 1)[x], 255) << x;
      EXPECT_EQ(band.row(x)[x + 1], 255) << x;
    }
    if (x + 3 < 33) {
      EXPECT_EQ(band.row(x + 3)[x], 0) << x;
      EXPECT_EQ(band.row(x)[x + 3], 0) << x;
    }
  }
  EXPECT_EQ(mfPelMax<unsigned char>(peakBandMask(ridge, p, std::nan(""))), 0);
}

TEST(LinearLut, RoundsHalfAwayAndClamps) {
  const auto t = linearLut(1.5, -10);
  for (int i = 0; i <= 6; ++i) EXPECT_EQ(t[std::size_t(i)], 0) << i;
  EXPECT_EQ(t[7], 1);
  EXPECT_EQ(t[176], 254);
  for (int i = 177; i < 256; ++i) EXPECT_EQ(t[std::size_t(i)], 255) << i;
  for (const auto& c : {std::make_pair(-0.5, 0), std::make_pair(0.5, 1), std::make_pair(std::nan(""), 0),
                        std::make_pair(1e300, 255), std::make_pair(-1e300, 0)})
    EXPECT_EQ(linearLut(0.0, c.first), std::vector<unsigned char>(256, static_cast<unsigned char>(c.second)));
  const auto id = linearLut(1.0, 0.0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(id[std::size_t(i)], i);
}

TEST(FitGainAndOffset, UsesOnlyBandPelsOnceEach) {
  // Half the pels lie on t = r - 16 (reference bin = run bin - 2), half far
  // off it; a band of exactly those cells gives the line exactly.
  Image run(64, 8), ref(64, 8), band(33, 33);
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 64; ++i) {
      const bool on = i < 32;
      run.row(j)[i] = static_cast<unsigned char>(on ? 20 + 3 * i + j : 220 + j);
      ref.row(j)[i] = static_cast<unsigned char>(on ? run.row(j)[i] - 16 : 30);
    }
  for (int x = 2; x < 33; ++x) band.row(x - 2)[x] = 255;
  double gain = 0, offset = 0;
  ASSERT_TRUE(fitGainAndOffset(ref, Image(), run, band, gain, offset));
  EXPECT_NEAR(gain, 1.0, 1e-12);
  EXPECT_NEAR(offset, -16.0, 1e-9);

  // Scattered about the line, under masks of different non-zero values: each
  // used pel counts once, so the line equals the unmasked one.
  Image mask(64, 8);
  for (int j = 0; j < 8; ++j)
    for (int i = 0; i < 32; ++i) {
      ref.row(j)[i] = static_cast<unsigned char>(ref.row(j)[i] + (i * 5 + j) % 7 - 3);
      mask.row(j)[i] = static_cast<unsigned char>(1 + (i * 37 + j * 11) % 255);
    }
  for (int j = 0; j < 8; ++j)
    for (int i = 32; i < 64; ++i) mask.row(j)[i] = 200;
  for (int x = 1; x < 33; ++x)
    for (int y = std::max(0, x - 3); y <= x - 1; ++y) band.row(y)[x] = 255;
  double g1 = 0, o1 = 0, g2 = 0, o2 = 0;
  ASSERT_TRUE(fitGainAndOffset(ref, Image(), run, band, g1, o1));
  ASSERT_TRUE(fitGainAndOffset(ref, mask, run, band, g2, o2));
  EXPECT_NEAR(g1, 1.0, 0.05);
  EXPECT_NEAR(o1, -16.0, 3.0);
  EXPECT_EQ(g1, g2);
  EXPECT_EQ(o1, o2);

  // No used pel: false, gain and offset untouched.
  gain = 7, offset = 9;
  EXPECT_FALSE(fitGainAndOffset(ref, Image(64, 8), run, band, gain, offset));
  EXPECT_EQ(gain, 7);
  EXPECT_EQ(offset, 9);
  EXPECT_THROW(fitGainAndOffset(ref, Image(), run, Image(33, 32), gain, offset), mxPelFunc::BadParams);
}

TEST(LinearFit, IdenticalImagesGiveTheIdentity) {
  const auto ref = knownRelation::reference();
  double gain = 0, offset = 0;
  ASSERT_TRUE(linearFitParameters(ref, ref, Image(), angles(), gain, offset));
  EXPECT_NEAR(gain, 1.0, 1e-12);
  EXPECT_NEAR(offset, 0.0, 1e-9);
  EXPECT_TRUE(mfPelEqual<unsigned char>(linearFitImage(ref, ref, Image(), angles()), ref));
}

// Run-time = reference * g + o + noise, with a pasted defect of 4 % of the
// image: the fit (reference on run-time) must find gain 1/g and offset -o/g.
TEST(LinearFit, KnownRelationRecoversGainAndOffset) {
  const auto ref = knownRelation::reference();
  Image someMask(256, 256);  // the left columns excluded, values 1 and 255
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) someMask.row(y)[x] = x < 40 ? 0 : (x % 2 ? 1 : 255);
  const Image masks[] = {Image(), knownRelation::maskOutDefect(), someMask};
  const struct {
    double g, o;
    int defectGrey;
  } cases[] = {{0.8, 30, 240}, {1.2, -10, 240}, {0.6, 70, 5}, {1.0, 25, 128}, {0.5, 100, 5}, {1.1, -5, 250}};
  for (const auto& c : cases)
    for (std::size_t m = 0; m < 3; ++m) {
      const auto run = knownRelation::runTime(ref, c.g, c.o, 2.0, true, c.defectGrey, unsigned(7 + m));
      double gain = 0, offset = 0;
      ASSERT_TRUE(linearFitParameters(run, ref, masks[m], angles(), gain, offset));
      EXPECT_NEAR(gain * c.g, 1.0, 0.02) << "g " << c.g << " mask " << m;
      EXPECT_NEAR(offset, -c.o / c.g, 2.0) << "g " << c.g << " mask " << m;
      // The result lies close to the reference away from the defect: the
      // noise, carried back by the gain, is 0.8 * 2 / g on average.
      const auto out = linearFitImage(run, ref, masks[m], angles());
      double err = 0;
      int n = 0;
      for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x)
          if (!knownRelation::inDefect(x, y)) err += std::abs(out.row(y)[x] - ref.row(y)[x]), ++n;
      EXPECT_LT(err / n, 1.0 + 1.6 / c.g) << "g " << c.g << " mask " << m;
    }
}

TEST(LinearFit, FailuresAndUnfittableInput) {
  const auto ref = knownRelation::reference();
  try {
    linearFitImage(Image(), ref, Image(), angles());
    FAIL();
  } catch (const mxImageNormalizerDefs::BadImage& e) {
    EXPECT_EQ(e.text(), L"Both template image and run-time image must be bound.");
  }
  EXPECT_THROW(linearFitImage(ref, Image(), Image(), angles()), mxImageNormalizerDefs::BadImage);
  EXPECT_THROW(linearFitImage(ref, ref, Image(), std::vector<double>(6, 10.0)), mxImageNormalizerDefs::BadParams);
  // A mask with no used pel: nothing to fit, the table and result are 0.
  bool fitted = true;
  const Image out = linearFitImage(ref, ref, Image(256, 256), angles(), fitted);
  EXPECT_FALSE(fitted);
  EXPECT_EQ(out.window(), ref.window());
  EXPECT_EQ(mfPelMax<unsigned char>(out), 0);
}

}  // namespace

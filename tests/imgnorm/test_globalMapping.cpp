#include "support/normalizerTest.h"

#include "imgnorm/globalMapping.h"
#include "imgnorm/knownRelation.h"

namespace {

using Histogram = std::vector<std::uint32_t>;
using Lut = std::vector<unsigned char>;
using LutBuilder = void (*)(const Histogram&, const Histogram&, Lut&, std::wstring&);

Histogram hist(std::initializer_list<std::pair<int, std::uint32_t>> entries) {
  Histogram h(256, 0);
  for (const auto& e : entries) h[std::size_t(e.first)] += e.second;
  return h;
}

// The smallest level whose cumulative count (fraction) reaches the run-time one, else the
// last; 0 while that is 0.  Self-matches, doubled histograms, counts near 2^32.
TEST(MatchHistogram, AgreesWithItsDefinition) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> level(0, 255), count(1, 40);
  for (int round = 0; round < 60; ++round) {
    Histogram t(256, 0), r(256, 0);
    const std::uint32_t scale = round >= 50 ? 100000000u : 1u;  // the last rounds: totals beyond 2^32
    for (int k = 0; k <= round % 20; ++k) t[std::size_t(level(rng))] += scale * std::uint32_t(count(rng));
    for (int k = 0; k <= round % 13; ++k) r[std::size_t(level(rng))] += scale * std::uint32_t(count(rng));
    if (round % 5 == 0) r = t;
    if (round % 5 == 1 && scale == 1)
      for (std::size_t g = 0; g < 256; ++g) r[g] = 2 * t[g];
    for (bool fractions : {false, true}) {
      if (!fractions && scale > 1) continue;  // the defined 32-bit accumulators wrap there
      Lut lut;
      std::wstring msg;
      (fractions ? LutBuilder(matchHistogramFractionsLut) : LutBuilder(matchHistogramLut))(t, r, lut, msg);
      ASSERT_EQ(lut.size(), 256u);
      using Wide = unsigned __int128;
      Wide totalT = 0, totalR = 0, cr = 0;
      for (std::size_t g = 0; g < 256; ++g) totalT += t[g], totalR += r[g];
      const Wide wr = fractions ? totalT : 1, wt = fractions ? totalR : 1;
      for (std::size_t i = 0; i < 256; ++i) {
        cr += r[i];
        std::size_t k = 0;
        for (Wide ct = t[0]; ct * wt < cr * wr && k < 255;) ct += t[++k];
        ASSERT_EQ(lut[i], cr == 0 ? 0 : k) << "round " << round << " level " << i << " fractions " << fractions;
        const bool identity = round % 5 == 0 || (fractions && round % 5 == 1 && scale == 1);
        ASSERT_TRUE(!identity || r[i] == 0 || lut[i] == i) << i;  // occupied levels map to themselves
      }
    }
  }
}

TEST(GlobalMappings, FailuresEmptyTheTableAndSetTheMessage) {
  const mxHistoStats spread(hist({{1, 1}, {9, 1}})), flat(hist({{77, 5}})), empty(Histogram(256, 0));
  const std::wstring histMsg = L"Cannot match histogram if either is empty.";
  const std::wstring sdMsg = L"Cannot match when standard deviation is 0.";
  for (int c = 0; c < 6; ++c) {
    Lut lut(256, 9);
    std::wstring msg = L"old";
    const LutBuilder match = c % 2 ? LutBuilder(matchHistogramFractionsLut) : LutBuilder(matchHistogramLut);  // both refuse alike
    if (c == 0) match(hist({{5, 1}}), Histogram(256, 0), lut, msg);
    if (c == 1) match(Histogram(256, 0), hist({{5, 1}}), lut, msg);
    if (c == 2) match(hist({{5, 1}}), Histogram(), lut, msg);
    if (c == 3) matchMeanAndStddevLut(spread, flat, lut, msg);
    if (c == 4) matchMeanAndStddevLut(spread, empty, lut, msg);
    if (c == 5) matchHistogramTailsLut(spread, flat, {5, 95}, lut, msg);
    EXPECT_TRUE(lut.empty()) << c;
    EXPECT_EQ(msg, c < 3 ? histMsg : c < 5 ? sdMsg : L"Cannot match the specified tails for this image.") << c;
  }
}

// Linear tables truncate toward zero and clamp: (trained, run) histograms and expected (level, entry) pairs.
TEST(GlobalMappings, LinearTablesTruncateAndClamp) {
  const struct {
    bool tails;
    Histogram trained, run;
    std::vector<std::pair<int, int>> entries;
  } cases[] = {
      {false, hist({{50, 1}, {250, 1}}), hist({{100, 1}, {200, 1}}), {{74, 0}, {76, 2}, {202, 254}, {203, 255}}},
      {false, hist({{10, 1}, {11, 1}}), hist({{100, 1}, {102, 1}}), {{81, 0}, {83, 1}, {101, 10}, {255, 87}}},
      {false, hist({{77, 9}}), hist({{1, 1}, {9, 1}}), {{0, 77}, {255, 77}}},  // trained sDev 0
      {true, hist({{0, 1}, {75, 1}}), hist({{0, 1}, {100, 1}}), {{1, 0}, {3, 2}, {99, 74}, {255, 191}}},
      {true, hist({{0, 1}, {5, 1}}), hist({{10, 1}, {20, 1}}), {{9, 0}, {11, 0}, {13, 1}, {255, 122}}},
      {true, hist({{0, 1}, {100, 1}}), hist({{0, 1}, {10, 1}}), {{25, 250}, {26, 255}}},
  };
  for (const auto& c : cases) {
    Lut lut;
    std::wstring msg;
    if (c.tails)
      matchHistogramTailsLut(mxHistoStats(c.trained), mxHistoStats(c.run), {0, 100}, lut, msg);
    else
      matchMeanAndStddevLut(mxHistoStats(c.trained), mxHistoStats(c.run), lut, msg);
    ASSERT_EQ(lut.size(), 256u);
    for (const auto& e : c.entries) EXPECT_EQ(lut[std::size_t(e.first)], e.second) << c.tails << " " << e.first;
  }
  // Identical statistics, and equal tail percentages, give the identity.
  const mxHistoStats s(hist({{30, 4}, {90, 1}, {200, 3}})), one(hist({{77, 5}}));
  Lut byMean, byTails;
  std::wstring msg;
  matchMeanAndStddevLut(s, s, byMean, msg);
  matchHistogramTailsLut(s, one, {50, 50}, byTails, msg);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(byMean[std::size_t(i)] == i && byTails[std::size_t(i)] == i) << i;
}

// Each table sends gain x reference + offset + noise back within 3 levels (defect left out).
TEST(GlobalMappings, KnownRelationMapsBackToTheReference) {
  const auto ref = knownRelation::image();
  auto defectArea = ref;
  defectArea.window(mxPelRect(150, 40, 51, 51));
  Histogram refHist = mfPelHistogram(ref);
  const Histogram inDefect = mfPelHistogram(defectArea);
  for (std::size_t g = 0; g < 256; ++g) refHist[g] -= inDefect[g];
  const struct { double gain, offset; } cases[] = {{0.8, 30}, {1.2, -10}, {0.6, 70}, {1.0, 25}};
  for (const auto& c : cases) {
    const auto run = knownRelation::image(c.gain, c.offset);
    Histogram runHist = mfPelHistogram(run);
    runHist[240] -= 51 * 51;
    const mxHistoStats runStats(runHist);
    Lut luts[3];
    std::wstring msg;
    matchMeanAndStddevLut(mxHistoStats(refHist), runStats, luts[0], msg);
    matchHistogramTailsLut(mxHistoStats(refHist), runStats, {2, 98}, luts[1], msg);
    matchHistogramLut(refHist, runHist, luts[2], msg);
    for (int k = 0; k < 3; ++k)
      for (int i = runStats.inverseCum(2); i <= runStats.inverseCum(98); ++i)
        ASSERT_NEAR(luts[k][std::size_t(i)], (i - c.offset) / c.gain, 3.0) << c.gain << " table " << k << " at " << i;
  }
}

}  // namespace

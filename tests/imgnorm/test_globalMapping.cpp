#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "baseif/mxPelOps.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/knownRelation.h"

namespace {

using Histogram = std::vector<std::uint32_t>;
using Lut = std::vector<unsigned char>;

// A 256-bin histogram with the given (level, count) entries.
Histogram hist(std::initializer_list<std::pair<int, std::uint32_t>> entries) {
  Histogram h(256, 0);
  for (const auto& e : entries) h[std::size_t(e.first)] += e.second;
  return h;
}

// Histogram matching by its definition: the smallest trained level whose
// cumulative count reaches the run-time cumulative count, the last trained
// level when none does, 0 while the run-time cumulative count is 0.
Lut matchByDefinition(const Histogram& t, const Histogram& r) {
  Lut lut(r.size());
  std::uint64_t cr = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    cr += r[i];
    std::size_t k = t.size() - 1;
    std::uint64_t ct = 0;
    for (std::size_t j = 0; j < t.size(); ++j) {
      ct += t[j];
      if (ct >= cr) {
        k = j;
        break;
      }
    }
    lut[i] = static_cast<unsigned char>(cr == 0 ? 0 : k);
  }
  return lut;
}

TEST(MatchHistogram, SelfMatchIsIdentityOnOccupiedLevels) {
  const Histogram h = hist({{10, 3}, {11, 1}, {40, 7}, {200, 2}});
  Lut lut;
  std::wstring msg = L"untouched";
  matchHistogramLut(h, h, lut, msg);
  ASSERT_EQ(lut.size(), 256u);
  EXPECT_EQ(msg, L"untouched");
  for (int i = 0; i < 256; ++i) {
    const int expected = i < 10 ? 0 : i < 11 ? 10 : i < 40 ? 11 : i < 200 ? 40 : 200;
    ASSERT_EQ(lut[std::size_t(i)], i == 10 || i == 11 || i == 40 || i == 200 ? i : expected) << i;
  }
}

TEST(MatchHistogram, AgreesWithDefinitionOnRandomHistograms) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> level(0, 255), count(0, 40);
  for (int round = 0; round < 50; ++round) {
    Histogram t(256, 0), r(256, 0);
    for (int k = 0; k < 1 + round % 20; ++k) t[std::size_t(level(rng))] += std::uint32_t(1 + count(rng));
    for (int k = 0; k < 1 + round % 13; ++k) r[std::size_t(level(rng))] += std::uint32_t(1 + count(rng));
    Lut lut;
    std::wstring msg;
    matchHistogramLut(t, r, lut, msg);
    ASSERT_EQ(lut, matchByDefinition(t, r)) << round;
  }
}

TEST(MatchHistogram, MoreRunTimePixelsThanTrainedMapToTheTop) {
  Histogram t(256, 0), r(256, 0);
  for (int g = 0; g < 256; ++g) t[std::size_t(g)] = 1, r[std::size_t(g)] = 2;
  Lut lut;
  std::wstring msg;
  matchHistogramLut(t, r, lut, msg);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(lut[std::size_t(i)], i < 128 ? 2 * i + 1 : 255) << i;
}

TEST(GlobalMappings, FailuresEmptyTheTableAndSetTheMessage) {
  const struct {
    const char* name;
    void (*call)(Lut&, std::wstring&);
    const wchar_t* message;
  } cases[] = {
      {"histogram, empty run", [](Lut& l, std::wstring& m) { matchHistogramLut(hist({{5, 1}}), Histogram(256, 0), l, m); },
       L"Cannot match histogram if either is empty."},
      {"histogram, empty trained", [](Lut& l, std::wstring& m) { matchHistogramLut(Histogram(256, 0), hist({{5, 1}}), l, m); },
       L"Cannot match histogram if either is empty."},
      {"histogram, no bins", [](Lut& l, std::wstring& m) { matchHistogramLut(hist({{5, 1}}), Histogram(), l, m); },
       L"Cannot match histogram if either is empty."},
      {"mean, uniform run", [](Lut& l, std::wstring& m) {
         matchMeanAndStddevLut(mxHistoStats(hist({{1, 1}, {9, 1}})), mxHistoStats(hist({{77, 5}})), l, m); },
       L"Cannot match when standard deviation is 0."},
      {"mean, empty run", [](Lut& l, std::wstring& m) {
         matchMeanAndStddevLut(mxHistoStats(hist({{1, 1}, {9, 1}})), mxHistoStats(Histogram(256, 0)), l, m); },
       L"Cannot match when standard deviation is 0."},
      {"tails, single level", [](Lut& l, std::wstring& m) {
         matchHistogramTailsLut(mxHistoStats(hist({{1, 1}, {9, 1}})), mxHistoStats(hist({{77, 5}})), {5, 95}, l, m); },
       L"Cannot match the specified tails for this image."},
  };
  for (const auto& c : cases) {
    Lut lut(256, 9);
    std::wstring msg = L"old text";
    c.call(lut, msg);
    EXPECT_TRUE(lut.empty()) << c.name;
    EXPECT_EQ(msg, c.message) << c.name;
  }
}

// Checks lut[i] for the listed (i, value) pairs and that it has 256 entries.
void expectEntries(const Lut& lut, std::initializer_list<std::pair<int, int>> entries, const char* what) {
  ASSERT_EQ(lut.size(), 256u) << what;
  for (const auto& e : entries) EXPECT_EQ(int(lut[std::size_t(e.first)]), e.second) << what << " entry " << e.first;
}

TEST(MatchMeanAndStddev, TruncatesAndClamps) {
  Lut lut;
  std::wstring msg;
  const mxHistoStats same(hist({{30, 4}, {90, 1}, {200, 3}}));
  matchMeanAndStddevLut(same, same, lut, msg);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[std::size_t(i)], i);
  // run mean 150, sDev 50; trained mean 150, sDev 100: 2 i - 150.
  matchMeanAndStddevLut(mxHistoStats(hist({{50, 1}, {250, 1}})), mxHistoStats(hist({{100, 1}, {200, 1}})), lut, msg);
  expectEntries(lut, {{0, 0}, {74, 0}, {76, 2}, {100, 50}, {202, 254}, {203, 255}, {255, 255}}, "2i-150");
  // run mean 101, sDev 1; trained mean 10.5, sDev 0.5: 0.5 i - 40, truncated.
  matchMeanAndStddevLut(mxHistoStats(hist({{10, 1}, {11, 1}})), mxHistoStats(hist({{100, 1}, {102, 1}})), lut, msg);
  expectEntries(lut, {{79, 0}, {81, 0}, {83, 1}, {101, 10}, {255, 87}}, "0.5i-40");
  // A trained sDev of 0 is no failure: every entry is the trained mean.
  matchMeanAndStddevLut(mxHistoStats(hist({{77, 9}})), mxHistoStats(hist({{1, 1}, {9, 1}})), lut, msg);
  expectEntries(lut, {{0, 77}, {128, 77}, {255, 77}}, "flat");
}

TEST(MatchHistogramTails, LineThroughTheTwoPercentiles) {
  Lut lut;
  std::wstring msg;
  const mxPair<std::int32_t> all(0, 100);
  // run levels 0 and 100 onto 0 and 75: 0.75 i, truncated (1 -> 0, 3 -> 2).
  matchHistogramTailsLut(mxHistoStats(hist({{0, 1}, {75, 1}})), mxHistoStats(hist({{0, 1}, {100, 1}})), all, lut, msg);
  expectEntries(lut, {{1, 0}, {3, 2}, {99, 74}, {100, 75}, {255, 191}}, "0.75i");
  // 10 and 20 onto 0 and 5: 0.5 i - 5, negative values clamp to 0.
  matchHistogramTailsLut(mxHistoStats(hist({{0, 1}, {5, 1}})), mxHistoStats(hist({{10, 1}, {20, 1}})), all, lut, msg);
  expectEntries(lut, {{0, 0}, {9, 0}, {11, 0}, {13, 1}, {255, 122}}, "0.5i-5");
  // 0 and 10 onto 0 and 100: 10 i, clamped at 255.
  matchHistogramTailsLut(mxHistoStats(hist({{0, 1}, {100, 1}})), mxHistoStats(hist({{0, 1}, {10, 1}})), all, lut, msg);
  expectEntries(lut, {{25, 250}, {26, 255}, {255, 255}}, "10i");
  // Equal percentages: identity, even for a single-level image.
  matchHistogramTailsLut(mxHistoStats(hist({{3, 1}})), mxHistoStats(hist({{77, 5}})), {50, 50}, lut, msg);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(lut[std::size_t(i)], i);
  EXPECT_TRUE(msg.empty());
}

// Run-time = reference * gain + offset + noise: each table must send the
// run-time levels back onto the reference's within a few grey levels.  The
// defect, when present, is kept out of the run-time histogram by a mask.
TEST(GlobalMappings, KnownRelationMapsBackToTheReference) {
  const auto ref = knownRelation::reference();
  const mxPelBuffer<unsigned char> none;
  const auto refHist = knownRelation::histogram(ref, none);
  const mxHistoStats refStats(refHist);
  const struct {
    double gain, offset;
    bool defect;
  } cases[] = {{0.8, 30, false}, {1.2, -10, false}, {0.6, 70, true}, {1.0, 25, true}};
  for (const auto& c : cases) {
    const auto run = knownRelation::runTime(ref, c.gain, c.offset, 2.0, c.defect);
    const auto mask = c.defect ? knownRelation::maskOutDefect() : mxPelBuffer<unsigned char>();
    const auto runHist = knownRelation::histogram(run, mask);
    const mxHistoStats runStats(runHist);
    Lut byHistogram, byMean, byTails;
    std::wstring msg;
    matchMeanAndStddevLut(refStats, runStats, byMean, msg);
    matchHistogramTailsLut(refStats, runStats, {2, 98}, byTails, msg);
    if (!c.defect) matchHistogramLut(refHist, runHist, byHistogram, msg);  // needs equal pixel counts
    for (const Lut* lut : {&byMean, &byTails, &byHistogram}) {
      if (lut->empty()) continue;
      for (int i = runStats.inverseCum(2); i <= runStats.inverseCum(98); ++i)
        ASSERT_NEAR((*lut)[std::size_t(i)], (i - c.offset) / c.gain, 3.0)
            << "gain " << c.gain << " table " << (lut - &byMean) << " level " << i;
      // The mapped image lies close to the reference where the mask is set.
      const auto mapped = mfPelMap(run, *lut);
      double err = 0;
      int n = 0;
      for (int y = 0; y < ref.height(); ++y)
        for (int x = 0; x < ref.width(); ++x)
          if (!mask.isBound() || mask.row(y)[x]) err += std::abs(mapped.row(y)[x] - ref.row(y)[x]), ++n;
      EXPECT_LT(err / n, 3.0) << "gain " << c.gain;
    }
  }
}

}  // namespace

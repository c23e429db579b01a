#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "baseif/mxHistoStats.h"

namespace {

using Histogram = std::vector<std::uint32_t>;

// The histogram's samples, expanded and sorted: the reference the statistics
// are checked against.
std::vector<int> samplesOf(const Histogram& h) {
  std::vector<int> s;
  for (std::size_t g = 0; g < h.size(); ++g) s.insert(s.end(), h[g], int(g));
  return s;
}

Histogram randomHistogram(std::mt19937& rng, int occupied, std::uint32_t maxCount) {
  Histogram h(256, 0);
  std::uniform_int_distribution<int> level(0, 255);
  std::uniform_int_distribution<std::uint32_t> count(1, maxCount);
  for (int k = 0; k < occupied; ++k) h[std::size_t(level(rng))] += count(rng);
  return h;
}

TEST(HistoStats, MeanAndPopulationSDevMatchExpandedSamples) {
  std::mt19937 rng(7);
  for (int occupied : {1, 2, 5, 40, 200}) {
    const Histogram h = randomHistogram(rng, occupied, 50);
    const std::vector<int> s = samplesOf(h);
    double mean = 0.0;
    for (int v : s) mean += v;
    mean /= double(s.size());
    double var = 0.0;
    for (int v : s) var += (v - mean) * (v - mean);
    const mxHistoStats st(h);
    EXPECT_EQ(st.samples(), s.size());
    EXPECT_EQ(st.bins(), 256u);
    EXPECT_NEAR(st.mean(), mean, 1e-9) << occupied;
    EXPECT_NEAR(st.sDev(), std::sqrt(var / double(s.size())), 1e-9) << occupied;
  }
}

TEST(HistoStats, NarrowHistogramsWithHugeCountsKeepTheirDigits) {
  Histogram single(256, 0);
  single[200] = 0xFFFFFFFFu;
  const mxHistoStats a(single);
  EXPECT_EQ(a.mean(), 200.0);
  EXPECT_EQ(a.sDev(), 0.0);

  Histogram two(256, 0);
  two[200] = two[201] = 0xF0000000u;
  const mxHistoStats b(two);
  EXPECT_EQ(b.samples(), 2ull * 0xF0000000u);
  EXPECT_DOUBLE_EQ(b.mean(), 200.5);
  EXPECT_DOUBLE_EQ(b.sDev(), 0.5);
}

TEST(HistoStats, InverseCumPicksSmallestLevelReachingThePercentage) {
  Histogram h(256, 0);
  h[10] = 1;
  h[20] = 1;
  h[30] = 2;  // 4 samples: 10, 20, 30, 30
  const mxHistoStats st(h);
  const struct {
    int percent, level;
  } cases[] = {{0, 10}, {25, 10}, {26, 20}, {50, 20}, {51, 30}, {100, 30}, {-5, 10}, {150, 30}};
  for (const auto& c : cases) EXPECT_EQ(st.inverseCum(c.percent), c.level) << c.percent;
}

TEST(HistoStats, InverseCumIsTheOrderStatistic) {
  // The level at p % is the sample of rank ceil(p n / 100) (at least 1) in
  // sorted order.
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    const Histogram h = randomHistogram(rng, 1 + round * 7, 9);
    const std::vector<int> s = samplesOf(h);
    const mxHistoStats st(h);
    for (int p = 0; p <= 100; ++p) {
      std::size_t rank = (s.size() * std::size_t(p) + 99) / 100;
      rank = std::max<std::size_t>(rank, 1);
      ASSERT_EQ(st.inverseCum(p), s[rank - 1]) << "round " << round << " percent " << p;
    }
  }
}

TEST(HistoStats, EmptyHistogramsAndOwnership) {
  const mxHistoStats none;
  EXPECT_EQ(none.samples(), 0u);
  EXPECT_EQ(none.bins(), 0u);
  EXPECT_EQ(none.inverseCum(50), 0);

  Histogram zeros(256, 0);
  const mxHistoStats z(zeros, false);
  EXPECT_EQ(z.samples(), 0u);
  EXPECT_EQ(z.bins(), 256u);
  EXPECT_EQ(z.mean(), 0.0);
  EXPECT_EQ(z.sDev(), 0.0);
  EXPECT_EQ(z.inverseCum(100), 0);

  Histogram h(256, 0);
  h[3] = 5;
  const mxHistoStats kept(h, false);
  EXPECT_EQ(h.size(), 256u);  // copied: the caller's vector is intact
  EXPECT_EQ(kept.histogram(), h);
  const mxHistoStats taken(h, true);
  EXPECT_TRUE(h.empty());
  EXPECT_EQ(taken.samples(), 5u);
  EXPECT_EQ(taken.inverseCum(0), 3);
}

}  // namespace

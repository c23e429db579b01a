#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "baseif/mxHistoStats.h"

namespace {

// Against the expanded, sorted samples: mean, population sDev, and inverseCum
// as the sample of rank ceil(p n / 100) (at least 1).
TEST(HistoStats, MatchesTheExpandedSamples) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> level(0, 255), count(1, 9);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::uint32_t> h(256, 0);
    for (int k = 0; k <= round * 7; ++k) h[std::size_t(level(rng))] += std::uint32_t(count(rng));
    std::vector<int> s;
    for (int g = 0; g < 256; ++g) s.insert(s.end(), h[std::size_t(g)], g);
    double mean = 0, var = 0;
    for (int v : s) mean += v / double(s.size());
    for (int v : s) var += (v - mean) * (v - mean) / double(s.size());
    const mxHistoStats st(h);
    ASSERT_EQ(st.samples(), s.size());
    EXPECT_NEAR(st.mean(), mean, 1e-9);
    EXPECT_NEAR(st.sDev(), std::sqrt(var), 1e-9);
    for (int p = -5; p <= 105; ++p) {
      const std::size_t rank = std::max<std::size_t>((s.size() * std::size_t(std::clamp(p, 0, 100)) + 99) / 100, 1);
      ASSERT_EQ(st.inverseCum(p), s[rank - 1]) << "round " << round << " percent " << p;
    }
  }
}

TEST(HistoStats, HugeCountsEmptyHistogramsAndOwnership) {
  std::vector<std::uint32_t> h(256, 0);
  h[200] = h[201] = 0xF0000000u;  // a narrow histogram keeps its digits
  EXPECT_DOUBLE_EQ(mxHistoStats(h).mean(), 200.5);
  EXPECT_DOUBLE_EQ(mxHistoStats(h).sDev(), 0.5);
  const mxHistoStats kept(h, false), none(std::vector<std::uint32_t>(256, 0));
  EXPECT_EQ(h.size(), 256u);
  EXPECT_EQ(kept.bins(), 256u);
  EXPECT_EQ(none.samples(), 0u);
  EXPECT_EQ(none.sDev(), 0.0);
  EXPECT_EQ(none.inverseCum(100), 0);
  const mxHistoStats taken(h, true);
  EXPECT_TRUE(h.empty());
  EXPECT_EQ(taken.samples(), 2ull * 0xF0000000u);
}

}  // namespace

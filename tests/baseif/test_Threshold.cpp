#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "baseif/mxException.h"
#include "baseif/mxThreshold.h"

namespace {

// Brute-force within-group variance of the split at t over bins [a, b].
double withinVariance(const std::vector<std::uint32_t>& h, int a, int b, int t) {
  double result = 0.0, total = 0.0;
  for (auto [lo, hi] : {std::pair<int, int>{a, t - 1}, std::pair<int, int>{t, b}}) {
    double n = 0, s = 0, ss = 0;
    for (int i = lo; i <= hi; ++i) {
      n += h[i];
      s += double(h[i]) * i;
      ss += double(h[i]) * i * i;
    }
    total += n;
    if (n > 0) result += ss - s * s / n;
  }
  return result / total;
}

TEST(ThresholdWGV, MinimisesWithinGroupVarianceOnRandomHistograms) {
  std::mt19937 rng(4);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::uint32_t> h(256, 0);
    const int occupied = 2 + int(rng() % 20);
    for (int k = 0; k < occupied; ++k) h[rng() % 256] += 1 + rng() % 1000;
    const int first = trial % 2 ? 0 : int(rng() % 40), last = trial % 2 ? 255 : 200 + int(rng() % 56);
    mxThresholdResult r;
    mfThresholdWGV(h, r, first, trial % 2 ? -1 : last);
    int nonEmpty = 0;
    for (int i = first; i <= last; ++i) nonEmpty += h[i] != 0;
    if (nonEmpty < 2) {
      EXPECT_FALSE(r.split());
      continue;
    }
    ASSERT_TRUE(r.split());
    ASSERT_GT(r.threshold(), first);
    ASSERT_LE(r.threshold(), last);
    double best = std::numeric_limits<double>::max();
    const auto occupiedIn = [&](int lo, int hi) {
      return std::any_of(h.begin() + lo, h.begin() + hi, [](auto n) { return n > 0; });
    };
    for (int t = first + 1; t <= last; ++t)
      if (occupiedIn(first, t) && occupiedIn(t, last + 1)) best = std::min(best, withinVariance(h, first, last, t));
    EXPECT_NEAR(withinVariance(h, first, last, r.threshold()), best, 1e-9 * (1 + best)) << "trial " << trial;
    EXPECT_NEAR(r.withinGroupVariance(), best, 1e-6 * (1 + best));
  }
}

TEST(ThresholdWGV, TiesDegenerateAndBadRanges) {
  std::vector<std::uint32_t> h(256, 0);
  mxThresholdResult r;
  mfThresholdWGV(h, r, 3, -1);
  EXPECT_TRUE(!r.split() && r.threshold() == 3);
  h[77] = 9;
  mfThresholdWGV(h, r, 0, -1);
  EXPECT_TRUE(!r.split() && r.threshold() == 77);
  // Every t in 67..77 separates two levels perfectly; the middle is taken.
  h[66] = 5;
  mfThresholdWGV(h, r, 0, -1);
  EXPECT_EQ(r.threshold(), 72);
  EXPECT_EQ(r.lowerSamples(), 5u);
  EXPECT_EQ(r.samples(), 14u);
  EXPECT_NEAR(r.withinGroupVariance(), 0.0, 1e-9);
  EXPECT_THROW(mfThresholdWGV(std::vector<std::uint32_t>(), r, 0, -1), mxPelFunc::BadParams);
  EXPECT_THROW(mfThresholdWGV(h, r, -1, 10), mxPelFunc::BadParams);
  EXPECT_THROW(mfThresholdWGV(h, r, 10, 9), mxPelFunc::BadParams);
  EXPECT_THROW(mfThresholdWGV(h, r, 0, 256), mxPelFunc::BadParams);
}

}  // namespace

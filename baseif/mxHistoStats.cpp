#include "baseif/mxHistoStats.h"

#include <cmath>

mxHistoStats::mxHistoStats() = default;

mxHistoStats::mxHistoStats(std::vector<std::uint32_t>& histogram, bool takeOver) {
  if (takeOver)
    histogram_.swap(histogram);
  else
    histogram_ = histogram;
  compute();
}

mxHistoStats::mxHistoStats(const std::vector<std::uint32_t>& histogram) : histogram_(histogram) { compute(); }

void mxHistoStats::compute() {
  std::uint64_t n = 0, s1 = 0, s2 = 0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    const std::uint64_t c = histogram_[g];
    n += c;
    s1 += c * g;
    s2 += c * g * g;
  }
  setMoments(n, s1, s2);
}

mxHistoStats::mxHistoStats(std::uint64_t samples, std::uint64_t sum, std::uint64_t sumOfSquares, std::size_t bins)
    : bins_(bins) {
  setMoments(samples, sum, sumOfSquares);
}

// Mean and variance from the exact integer moments: the variance's numerator
// n S2 - S1^2 is formed exactly (128-bit) and rounded once, so nothing
// cancels, and statistics made from a histogram or from the pels themselves
// are bit for bit the same.
void mxHistoStats::setMoments(std::uint64_t n, std::uint64_t s1, std::uint64_t s2) {
  samples_ = n;
  if (n == 0) {
    mean_ = sDev_ = 0.0;
    return;
  }
  mean_ = double(s1) / double(n);
  const unsigned __int128 num = (unsigned __int128)n * s2 - (unsigned __int128)s1 * s1;
  sDev_ = std::sqrt(double(num) / (double(n) * double(n)));
}

// The grey level at a cumulative percentage: the smallest level whose
// cumulative count reaches percent % of the samples (rounded up to whole
// samples, and at least one sample).  So 0 % gives the darkest occupied
// level and 100 % the brightest, and a percentage that falls exactly on the
// boundary between two occupied bins picks the lower one.
std::int32_t mxHistoStats::inverseCum(std::int32_t percent) const {
  if (samples_ == 0 || histogram_.empty()) return 0;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  std::uint64_t target = (samples_ * std::uint64_t(percent) + 99) / 100;
  if (target == 0) target = 1;
  std::uint64_t cum = 0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    cum += histogram_[g];
    if (cum >= target) return static_cast<std::int32_t>(g);
  }
  return static_cast<std::int32_t>(histogram_.size()) - 1;
}

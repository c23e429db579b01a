#include "baseif/mxHistoStats.h"

#include <cmath>

mxHistoStats::mxHistoStats() = default;

mxHistoStats::mxHistoStats(std::vector<std::uint32_t>& histogram, bool takeOver) {
  if (takeOver) histogram_.swap(histogram);
  else histogram_ = histogram;
  compute();
}

mxHistoStats::mxHistoStats(const std::vector<std::uint32_t>& histogram) : histogram_(histogram) { compute(); }

void mxHistoStats::compute() {
  // Exact integer sums (64-bit) first, so the mean and variance do not lose
  // precision on large images.
  std::uint64_t n = 0;
  long double s = 0.0L, s2 = 0.0L;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    const std::uint64_t c = histogram_[g];
    n += c;
    s += static_cast<long double>(c) * g;
    s2 += static_cast<long double>(c) * g * g;
  }
  samples_ = n;
  if (n == 0) {
    mean_ = sDev_ = 0.0;
    return;
  }
  const long double m = s / n;
  long double var = s2 / n - m * m;
  if (var < 0) var = 0;
  mean_ = static_cast<double>(m);
  sDev_ = static_cast<double>(std::sqrt(var));
}

// The grey level at a cumulative percentage: the smallest level whose
// cumulative count reaches percent % of the samples (rounded up to whole
// samples, and at least one sample).  So 0 % gives the darkest occupied
// level and 100 % the brightest, and a percentage that falls exactly on the
// boundary between two occupied bins picks the lower one.
std::int32_t mxHistoStats::inverseCum(std::int32_t percent) const {
  if (samples_ == 0) return 0;
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

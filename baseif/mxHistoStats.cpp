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
  // Two passes: the exact 64-bit count and grey-level sum give the mean, then
  // the squared deviations from it give the variance.  Unlike the one-pass
  // E[g^2] - E[g]^2 this does not cancel digits on narrow histograms, and it
  // does not need a floating type wider than double.
  std::uint64_t n = 0, s = 0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    n += histogram_[g];
    s += std::uint64_t(histogram_[g]) * g;
  }
  samples_ = n;
  if (n == 0) {
    mean_ = sDev_ = 0.0;
    return;
  }
  const double m = double(s) / double(n);
  double ss = 0.0;
  for (std::size_t g = 0; g < histogram_.size(); ++g) {
    if (histogram_[g] == 0) continue;
    const double d = double(g) - m;
    ss += double(histogram_[g]) * d * d;
  }
  mean_ = m;
  sDev_ = std::sqrt(ss / double(n));
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

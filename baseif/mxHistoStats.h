// mxHistoStats: statistics of a grey-level histogram (normally 256 bins of
// 32-bit counts, index = grey level).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"

class IMGNORM_API mxHistoStats {
public:
  // Statistics of an empty histogram (no bins, no samples).
  mxHistoStats();
  // Statistics of a histogram.  With takeOver false the vector is copied and
  // left intact; with true its contents move into the statistics and the
  // caller's vector is left empty.
  mxHistoStats(std::vector<std::uint32_t>& histogram, bool takeOver);
  explicit mxHistoStats(const std::vector<std::uint32_t>& histogram);
  // Statistics from the moments of `samples` grey levels (their sum and the
  // sum of their squares) for a histogram of `bins` bins, without the
  // histogram itself: mean() and sDev() equal those of the histogram's
  // statistics bit for bit; inverseCum() is not available (gives 0).
  mxHistoStats(std::uint64_t samples, std::uint64_t sum, std::uint64_t sumOfSquares, std::size_t bins);

  // Number of samples (sum of the counts), and of bins.
  std::uint64_t samples() const { return samples_; }
  std::size_t bins() const { return histogram_.empty() ? bins_ : histogram_.size(); }
  const std::vector<std::uint32_t>& histogram() const { return histogram_; }

  // Mean grey level; 0 for an empty histogram.
  double mean() const { return mean_; }
  // Population standard deviation (divides by the sample count); 0 for an
  // empty histogram.
  double sDev() const { return sDev_; }
  // The grey level at a cumulative percentage (0..100; values outside are
  // clamped into it): the smallest level whose cumulative count reaches
  // percent % of the samples, rounded up to whole samples and at least one.
  // So 0 gives the darkest occupied level, 100 the brightest, and a
  // percentage falling exactly between two occupied bins picks the lower.
  // 0 for an empty histogram.
  std::int32_t inverseCum(std::int32_t percent) const;

private:
  void compute();
  void setMoments(std::uint64_t n, std::uint64_t s1, std::uint64_t s2);
  std::vector<std::uint32_t> histogram_;
  std::size_t bins_ = 0;
  std::uint64_t samples_ = 0;
  double mean_ = 0.0;
  double sDev_ = 0.0;
};

// Automatic threshold of a grey-level histogram by the within-group-variance
// criterion (Otsu's method).
//
// A threshold t splits the grey levels into the classes "below t" (< t) and
// "at or above t" (>= t), the same convention as binarising an image with
// "pel >= t gives 255".
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"

class IMGNORM_API mxThresholdResult {
public:
  mxThresholdResult() = default;

  // The chosen threshold (a bin index): the lower class is the bins below it,
  // the upper class the bins from it onwards.
  std::int32_t threshold() const { return threshold_; }
  // True when the histogram had samples in at least two bins of the range, so
  // that a split into two non-empty classes exists.  Otherwise threshold() is
  // the only occupied bin (or the range's first bin when the range holds no
  // samples): every sample lies at or above it.
  bool split() const { return split_; }
  // Sum over both classes of (class size x class variance) divided by the
  // sample count: the population variance left within the classes.
  double withinGroupVariance() const { return within_; }
  // Samples in the range, and the lower class's share of them.
  std::uint64_t samples() const { return samples_; }
  std::uint64_t lowerSamples() const { return lower_; }

private:
  std::int32_t threshold_ = 0;
  bool split_ = false;
  double within_ = 0.0;
  std::uint64_t samples_ = 0;
  std::uint64_t lower_ = 0;

  friend IMGNORM_API void mfThresholdWGV(const std::vector<std::uint32_t>&, mxThresholdResult&, std::int32_t,
                                         std::int32_t);
};

// Chooses the threshold t in firstBin + 1 .. lastBin that minimises the
// within-group variance of the two classes formed from the bins firstBin ..
// lastBin (bins outside that range are ignored).  lastBin -1 stands for the
// histogram's last bin, so (0, -1) uses the whole histogram.
//
// When several thresholds give the same minimum (a run of empty bins between
// the classes) the middle one of that run is taken, rounded down, so that a
// clean two-level histogram is cut half-way between its levels.
//
// Throws mxPelFunc::BadParams when the histogram is empty or the range is not
// 0 <= firstBin <= lastBin < histogram size.
IMGNORM_API void mfThresholdWGV(const std::vector<std::uint32_t>& histogram, mxThresholdResult& result,
                                std::int32_t firstBin, std::int32_t lastBin);

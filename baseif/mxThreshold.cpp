#include "baseif/mxThreshold.h"

#include "baseif/mxException.h"

void mfThresholdWGV(const std::vector<std::uint32_t>& histogram, mxThresholdResult& result, std::int32_t firstBin,
                    std::int32_t lastBin) {
  const std::int64_t size = std::int64_t(histogram.size());
  if (size == 0) throw mxPelFunc::BadParams(L"mfThresholdWGV: the histogram has no bins");
  if (lastBin == -1) lastBin = std::int32_t(size - 1);
  if (firstBin < 0 || lastBin < firstBin || lastBin >= size)
    throw mxPelFunc::BadParams(L"mfThresholdWGV: the bin range does not lie within the histogram");

  std::uint64_t n = 0;
  double sum = 0.0, sumSq = 0.0;
  std::int32_t occupied = 0, lastOccupied = firstBin;
  for (std::int32_t b = firstBin; b <= lastBin; ++b) {
    const std::uint32_t c = histogram[b];
    if (c == 0) continue;
    n += c;
    sum += double(c) * b;
    sumSq += double(c) * b * b;
    ++occupied;
    lastOccupied = b;
  }

  mxThresholdResult r;
  r.samples_ = n;
  if (occupied < 2) {
    r.threshold_ = lastOccupied;
    r.within_ = 0.0;
    result = r;
    return;
  }

  // Minimising the within-group variance is maximising the between-group
  // variance w0 w1 (m0 - m1)^2 = (n0 / n1) (m0 - m)^2 (w = class weights, m =
  // overall mean), which needs only running sums.  Over a run of empty bins n0
  // and s0 do not change, so its thresholds give bit-identical scores and ties
  // are found exactly.
  const double total = double(n);
  const double mean = sum / total;
  double bestScore = -1.0;
  std::int32_t bestFirst = firstBin + 1, bestLast = firstBin + 1;
  std::uint64_t bestLower = 0;
  std::uint64_t n0 = 0;
  double s0 = 0.0;
  for (std::int32_t t = firstBin + 1; t <= lastBin; ++t) {
    n0 += histogram[t - 1];
    s0 += double(histogram[t - 1]) * (t - 1);
    const std::uint64_t n1 = n - n0;
    if (n0 == 0 || n1 == 0) continue;
    const double d = s0 / double(n0) - mean;
    const double score = double(n0) / double(n1) * d * d;
    if (score > bestScore) {
      bestScore = score;
      bestFirst = bestLast = t;
      bestLower = n0;
    } else if (score == bestScore && bestLast == t - 1) {
      bestLast = t;
    }
  }
  r.split_ = true;
  r.threshold_ = bestFirst + (bestLast - bestFirst) / 2;
  r.lower_ = bestLower;
  // The within-group variance is the total variance less the between-group
  // variance.
  const double totalVar = sumSq / total - mean * mean;
  r.within_ = totalVar - bestScore > 0.0 ? totalVar - bestScore : 0.0;
  result = r;
}

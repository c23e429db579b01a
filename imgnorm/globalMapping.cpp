#include "imgnorm/globalMapping.h"

#include <cmath>

#include "baseif/mxPelOps.h"

namespace {

// Truncation toward zero into 32 bits.  A value that is not a number gives 0
// and one beyond the 32-bit range the nearest limit, so the later clamp into
// 0..255 sees what the value means instead of an undefined conversion.
std::int32_t truncate32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(v);
}

// Fills the table with mfILimit(trunc(i * scale + offset), 0, 255).
void linearTable(double scale, double offset, std::size_t n, std::vector<unsigned char>& lut) {
  lut.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    lut[i] = static_cast<unsigned char>(mfILimit(truncate32(double(i) * scale + offset), 0, 255));
}

// Nearest integer, halves away from zero.  Validated fractions lie in 0..1,
// except that an upper fraction that is not a number passes the checks (every
// comparison with it is false), and with it any lower fraction >= 0: not a
// number then gives 0, and a huge value is held within 32 bits (the tail
// statistics clamp percentages into 0..100 anyway).
std::int32_t percentOf(double fraction) {
  double v = fraction * 100.0;
  if (std::isnan(v)) return 0;
  v = std::fmin(std::fmax(v, -1.0e9), 1.0e9);
  return static_cast<std::int32_t>(v >= 0 ? v + 0.5 : v - 0.5);
}

// Whether a * b > c * d, exactly: the 128-bit products compared through
// 32-bit halves, so totals of any size (sums of 256 32-bit counts) compare
// without overflow or rounding.
bool productGreater(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
  auto mul = [](std::uint64_t x, std::uint64_t y, std::uint64_t& hi, std::uint64_t& lo) {
    const std::uint64_t xl = x & 0xFFFFFFFFu, xh = x >> 32, yl = y & 0xFFFFFFFFu, yh = y >> 32;
    const std::uint64_t ll = xl * yl, lh = xl * yh, hl = xh * yl, hh = xh * yh;
    const std::uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    lo = (mid << 32) | (ll & 0xFFFFFFFFu);
    hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  };
  std::uint64_t h1, l1, h2, l2;
  mul(a, b, h1, l1);
  mul(c, d, h2, l2);
  return h1 != h2 ? h1 > h2 : l1 > l2;
}

}  // namespace

void matchHistogramFractionsLut(const std::vector<std::uint32_t>& trainedHistogram,
                                const std::vector<std::uint32_t>& runHistogram, std::vector<unsigned char>& lut,
                                std::wstring& message) {
  std::uint64_t totalT = 0, totalR = 0;
  for (std::uint32_t c : trainedHistogram) totalT += c;
  for (std::uint32_t c : runHistogram) totalR += c;
  const std::size_t nt = trainedHistogram.size();
  const std::size_t nr = runHistogram.size();
  lut.resize(nr);
  // The forward pass of matchHistogramLut with cumR / totalR > cumT / totalT
  // compared as cumR * totalT > cumT * totalR.
  std::uint64_t cumR = 0, cumT = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < nr; ++i) {
    cumR += runHistogram[i];
    while (j < nt && productGreater(cumR, totalT, cumT, totalR)) cumT += trainedHistogram[j++];
    lut[i] = static_cast<unsigned char>(j == 0 ? 0 : j - 1);
  }
  if (nr == 0 || totalR == 0 || totalT == 0) {
    message = L"Cannot match histogram if either is empty.";
    lut.clear();
  }
}

void matchHistogramLut(const std::vector<std::uint32_t>& trainedHistogram,
                       const std::vector<std::uint32_t>& runHistogram, std::vector<unsigned char>& lut,
                       std::wstring& message) {
  const std::size_t nt = trainedHistogram.size();
  const std::size_t nr = runHistogram.size();
  lut.resize(nr);
  // One forward pass over each histogram: j trained bins have been consumed,
  // and cumT is their total.  The accumulators are 32-bit, like the counts.
  std::uint32_t cumR = 0, cumT = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < nr; ++i) {
    cumR += runHistogram[i];
    while (cumR > cumT && j < nt) cumT += trainedHistogram[j++];
    lut[i] = static_cast<unsigned char>(j == 0 ? 0 : j - 1);
  }
  if (nr == 0 || cumR == 0 || cumT == 0) {
    message = L"Cannot match histogram if either is empty.";
    lut.clear();
  }
}

void matchMeanAndStddevLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                           std::vector<unsigned char>& lut, std::wstring& message) {
  const double runSDev = runStats.sDev();
  if (runStats.samples() == 0 || runSDev == 0.0 || std::isnan(runSDev)) {
    message = L"Cannot match when standard deviation is 0.";
    lut.clear();
    return;
  }
  const double scale = trainedStats.sDev() / runSDev;
  const double offset = trainedStats.mean() - (runStats.mean() * scale);
  linearTable(scale, offset, runStats.bins(), lut);
}

void matchHistogramTailsLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,
                            const mxPair<std::int32_t>& tailPercents, std::vector<unsigned char>& lut,
                            std::wstring& message) {
  const std::size_t n = runStats.bins();
  lut.resize(n);
  const std::int32_t lo = tailPercents.x(), hi = tailPercents.y();
  if (lo == hi) {
    for (std::size_t i = 0; i < n; ++i) lut[i] = static_cast<unsigned char>(i);
    return;
  }
  const std::int32_t rLo = runStats.inverseCum(lo);
  const std::int32_t rHi = runStats.inverseCum(hi);
  const std::int32_t tLo = trainedStats.inverseCum(lo);
  const std::int32_t tHi = trainedStats.inverseCum(hi);
  if (rLo == rHi) {
    message = L"Cannot match the specified tails for this image.";
    lut.clear();
    return;
  }
  // inverseCum returns bin indices, which are non-negative, so the 32-bit
  // differences cannot overflow.
  const double scale = double(tHi - tLo) / double(rHi - rLo);
  const double offset = double(tLo) - (double(rLo) * scale);
  linearTable(scale, offset, n, lut);
}

bool histogramMethodLut(mxImageNormalizerDefs::Method method, const std::vector<std::uint32_t>& trainedHistogram,
                        const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
                        const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,
                        std::vector<unsigned char>& lut, std::wstring& message, bool relativeCounts) {
  lut.clear();
  if (runStats.samples() == 0) {
    message = L"Cannot normalize since histogram is empty.";
    return false;
  }
  if (method == mxImageNormalizerDefs::eMatchHistogram && relativeCounts) {
    matchHistogramFractionsLut(trainedHistogram, runHistogram, lut, message);
  } else if (method == mxImageNormalizerDefs::eMatchHistogram) {
    matchHistogramLut(trainedHistogram, runHistogram, lut, message);
  } else if (method == mxImageNormalizerDefs::eMatchMeanAndStddev) {
    matchMeanAndStddevLut(trainedStats, runStats, lut, message);
  } else {
    const mxPair<std::int32_t> percents(percentOf(tailFractions.x()), percentOf(tailFractions.y()));
    matchHistogramTailsLut(trainedStats, runStats, percents, lut, message);
  }
  return !lut.empty();
}

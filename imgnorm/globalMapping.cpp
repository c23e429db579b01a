#include "imgnorm/globalMapping.h"

#include <cmath>

#include "baseif/mxPelOps.h"

namespace {

// The largest output level of a table of n entries: 255 for 8-bit tables
// whatever their length, n - 1 for 16-bit tables (2^depth entries, so the
// level range of the declared depth).
template <class Pel>
std::int32_t topLevel(std::size_t n) {
  if constexpr (sizeof(Pel) == 1) return 255;
  return n > 0 ? std::int32_t(n - 1) : 0;
}

// A line of n levels: double precision for 8-bit tables (their levels are
// fixed), single for 16-bit pels, which are mapped sixteen to a register.
template <class Pel>
mxLevelLine levelLine(std::size_t n) {
  mxLevelLine line;
  line.top = topLevel<Pel>(n);
  line.single = sizeof(Pel) == 2;
  return line;
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

mxPair<std::int32_t> tailPercents(const mxPair<double>& tailFractions) {
  return mxPair<std::int32_t>(percentOf(tailFractions.x()), percentOf(tailFractions.y()));
}

namespace {

// One implementation per builder for both table types (8-bit tables of 256
// entries, 16-bit tables of 2^depth entries); the exported overloads below
// instantiate them.
template <class Pel>
void histogramLut(const std::vector<std::uint32_t>& trainedHistogram, const std::vector<std::uint32_t>& runHistogram,
                  std::vector<Pel>& lut, std::wstring& message) {
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
    lut[i] = static_cast<Pel>(j == 0 ? 0 : j - 1);
  }
  if (nr == 0 || cumR == 0 || cumT == 0) {
    message = L"Cannot match histogram if either is empty.";
    lut.clear();
  }
}

template <class Pel>
void histogramFractionsLut(const std::vector<std::uint32_t>& trainedHistogram,
                           const std::vector<std::uint32_t>& runHistogram, std::vector<Pel>& lut,
                           std::wstring& message) {
  std::uint64_t totalT = 0, totalR = 0;
  for (std::uint32_t c : trainedHistogram) totalT += c;
  for (std::uint32_t c : runHistogram) totalR += c;
  const std::size_t nt = trainedHistogram.size();
  const std::size_t nr = runHistogram.size();
  lut.resize(nr);
  // The forward pass of histogramLut with cumR / totalR > cumT / totalT
  // compared as cumR * totalT > cumT * totalR.
  std::uint64_t cumR = 0, cumT = 0;
  std::size_t j = 0;
  for (std::size_t i = 0; i < nr; ++i) {
    cumR += runHistogram[i];
    while (j < nt && productGreater(cumR, totalT, cumT, totalR)) cumT += trainedHistogram[j++];
    lut[i] = static_cast<Pel>(j == 0 ? 0 : j - 1);
  }
  if (nr == 0 || totalR == 0 || totalT == 0) {
    message = L"Cannot match histogram if either is empty.";
    lut.clear();
  }
}

// The line of mean and standard deviation matching (top set by the caller).
bool meanAndStddevLine(const mxHistoStats& trainedStats, const mxHistoStats& runStats, mxLevelLine& line,
                       std::wstring& message) {
  const double runSDev = runStats.sDev();
  if (runStats.samples() == 0 || runSDev == 0.0 || std::isnan(runSDev)) {
    message = L"Cannot match when standard deviation is 0.";
    return false;
  }
  line.scale = trainedStats.sDev() / runSDev;
  line.offset = trainedStats.mean() - (runStats.mean() * line.scale);
  return true;
}

// The line of tail matching (top set by the caller); equal percentages give
// the identity.
bool tailsLine(const mxHistoStats& trainedStats, const mxHistoStats& runStats, const mxPair<std::int32_t>& tailPercents,
               mxLevelLine& line, std::wstring& message) {
  const std::int32_t lo = tailPercents.x(), hi = tailPercents.y();
  if (lo == hi) {
    line.scale = 1.0, line.offset = 0.0;
    return true;
  }
  const std::int32_t rLo = runStats.inverseCum(lo);
  const std::int32_t rHi = runStats.inverseCum(hi);
  const std::int32_t tLo = trainedStats.inverseCum(lo);
  const std::int32_t tHi = trainedStats.inverseCum(hi);
  if (rLo == rHi) {
    message = L"Cannot match the specified tails for this image.";
    return false;
  }
  // inverseCum returns bin indices, which are non-negative, so the 32-bit
  // differences cannot overflow.
  line.scale = double(tHi - tLo) / double(rHi - rLo);
  line.offset = double(tLo) - (double(rLo) * line.scale);
  return true;
}

template <class Pel>
void meanAndStddevLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats, std::vector<Pel>& lut,
                      std::wstring& message) {
  lut.clear();
  mxLevelLine line = levelLine<Pel>(runStats.bins());
  if (meanAndStddevLine(trainedStats, runStats, line, message)) lut = mfLevelTable<Pel>(line, runStats.bins());
}

template <class Pel>
void tailsLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats, const mxPair<std::int32_t>& tailPercents,
              std::vector<Pel>& lut, std::wstring& message) {
  lut.clear();
  mxLevelLine line = levelLine<Pel>(runStats.bins());
  if (tailsLine(trainedStats, runStats, tailPercents, line, message)) lut = mfLevelTable<Pel>(line, runStats.bins());
}

// The map of one histogram method: a table, or for mean-stddev and tails at
// 16 bits the line alone (an 8-bit table is mapped in registers, faster than
// any per-pel arithmetic).
template <class Pel>
bool methodMap(mxImageNormalizerDefs::Method method, const std::vector<std::uint32_t>& trainedHistogram,
               const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
               const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats, LevelMap<Pel>& map,
               std::wstring& message, bool relativeCounts) {
  map.table.clear();
  map.line.reset();
  if (runStats.samples() == 0) {
    message = L"Cannot normalize since histogram is empty.";
    return false;
  }
  if (method == mxImageNormalizerDefs::eMatchHistogram) {
    if (relativeCounts)
      histogramFractionsLut(trainedHistogram, runHistogram, map.table, message);
    else
      histogramLut(trainedHistogram, runHistogram, map.table, message);
    return !map.table.empty();
  }
  mxLevelLine line = levelLine<Pel>(runStats.bins());
  const bool ok =
      method == mxImageNormalizerDefs::eMatchMeanAndStddev
          ? meanAndStddevLine(trainedStats, runStats, line, message)
          : tailsLine(trainedStats, runStats, tailPercents(tailFractions), line, message);
  if (!ok) return false;
  if constexpr (sizeof(Pel) == 1)
    map.table = mfLevelTable<Pel>(line, runStats.bins());
  else
    map.line = line;
  return true;
}

template <class Pel>
bool methodLut(mxImageNormalizerDefs::Method method, const std::vector<std::uint32_t>& trainedHistogram,
               const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,
               const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats, std::vector<Pel>& lut,
               std::wstring& message, bool relativeCounts) {
  LevelMap<Pel> map;
  const bool ok = methodMap(method, trainedHistogram, trainedStats, tailFractions, runHistogram, runStats, map,
                            message, relativeCounts);
  if (ok && map.line) map.table = mfLevelTable<Pel>(*map.line, runStats.bins());
  lut = std::move(map.table);
  return ok;
}

}  // namespace

#define IMGNORM_GLOBAL_MAPPING_FOR(Pel)                                                                                \
  void matchHistogramLut(const std::vector<std::uint32_t>& trainedHistogram,                                         \
                         const std::vector<std::uint32_t>& runHistogram, std::vector<Pel>& lut,                      \
                         std::wstring& message) {                                                                    \
    histogramLut(trainedHistogram, runHistogram, lut, message);                                                      \
  }                                                                                                                  \
  void matchHistogramFractionsLut(const std::vector<std::uint32_t>& trainedHistogram,                                \
                                  const std::vector<std::uint32_t>& runHistogram, std::vector<Pel>& lut,             \
                                  std::wstring& message) {                                                           \
    histogramFractionsLut(trainedHistogram, runHistogram, lut, message);                                             \
  }                                                                                                                  \
  void matchMeanAndStddevLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats, std::vector<Pel>& lut, \
                             std::wstring& message) {                                                                \
    meanAndStddevLut(trainedStats, runStats, lut, message);                                                          \
  }                                                                                                                  \
  void matchHistogramTailsLut(const mxHistoStats& trainedStats, const mxHistoStats& runStats,                        \
                              const mxPair<std::int32_t>& tailPercents, std::vector<Pel>& lut,                       \
                              std::wstring& message) {                                                               \
    tailsLut(trainedStats, runStats, tailPercents, lut, message);                                                    \
  }                                                                                                                  \
  bool histogramMethodLut(mxImageNormalizerDefs::Method method, const std::vector<std::uint32_t>& trainedHistogram, \
                          const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,                     \
                          const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,              \
                          std::vector<Pel>& lut, std::wstring& message, bool relativeCounts) {                       \
    return methodLut(method, trainedHistogram, trainedStats, tailFractions, runHistogram, runStats, lut, message,    \
                     relativeCounts);                                                                                \
  }                                                                                                                  \
  bool histogramMethodMap(mxImageNormalizerDefs::Method method, const std::vector<std::uint32_t>& trainedHistogram, \
                          const mxHistoStats& trainedStats, const mxPair<double>& tailFractions,                     \
                          const std::vector<std::uint32_t>& runHistogram, const mxHistoStats& runStats,              \
                          LevelMap<Pel>& map, std::wstring& message, bool relativeCounts) {                          \
    return methodMap(method, trainedHistogram, trainedStats, tailFractions, runHistogram, runStats, map, message,    \
                     relativeCounts);                                                                                \
  }

IMGNORM_GLOBAL_MAPPING_FOR(unsigned char)
IMGNORM_GLOBAL_MAPPING_FOR(unsigned short)

void mapLevels(const mxPelBuffer_const<unsigned char>& src, const LevelMap<unsigned char>& map,
               mxPelBuffer<unsigned char>& dst) {
  mfPelMap(src, map.table, dst);
}

void mapLevels(const mxPelBuffer_const<unsigned short>& src, const LevelMap<unsigned short>& map,
               mxPelBuffer<unsigned short>& dst) {
  if (map.line)
    mfPelMapLine(src, *map.line, dst);
  else
    mfPelMap(src, map.table, dst);
}

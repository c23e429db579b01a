#include "imgnorm/linearFit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/pelKernels.h"
#include "baseif/mxAffine.h"
#include "baseif/mxLineFit.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxProject.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace imgnorm::detail {

namespace {

constexpr std::int32_t kCells = kFitBins * kFitBins;
constexpr double kDegToRad = 0.017453292519943295;
constexpr double kRadToDeg = 57.29577951308232;

// Per grey level: its bin ((g + 4) >> 3, 0..32) and the offset of the bin's
// row in a row-major 33 x 33 cell array, so that the cell of a pel pair
// (run-time r, reference t) is rowBase[t] + bin[r].
struct BinTables {
  unsigned char bin[256];
  std::uint16_t rowBase[256];
  BinTables() {
    for (int g = 0; g < 256; ++g) {
      bin[g] = static_cast<unsigned char>((g + 4) >> 3);
      rowBase[g] = static_cast<std::uint16_t>(bin[g] * kFitBins);
    }
  }
};

// The three windows are paired by position within each window, so the
// reference and the mask must reach at least as far as the image.
void checkPairing(const mxPelBuffer_const<unsigned char>& reference, const mxPelBuffer_const<unsigned char>& mask,
                  const mxPelBuffer_const<unsigned char>& image) {
  if (!image.isBound() || !reference.isBound()) throw mxPel::UnboundWindow();
  if (reference.width() < image.width() || reference.height() < image.height())
    throw mxPel::BadWindow(L"the reference window is smaller than the run-time window");
  if (mask.isBound() && (mask.width() < image.width() || mask.height() < image.height()))
    throw mxPel::BadWindow(L"the mask window is smaller than the run-time window");
}

// Rounds half away from zero and clamps into 0..255; not a number gives 0.
unsigned char roundToGrey(double v) {
  if (std::isnan(v)) return 0;
  // Clamp first so that the conversion below stays inside 32 bits; the
  // rounding of values in range is unaffected.
  v = std::fmin(std::fmax(v, -1.0e6), 1.0e6);
  const std::int32_t k = v >= 0.0 ? std::int32_t(v + 0.5) : std::int32_t(v - 0.5);
  return static_cast<unsigned char>(k < 0 ? 0 : (k > 255 ? 255 : k));
}

}  // namespace

void buildFitAngles(std::vector<double>& angles) {
  angles.resize(63);
  std::size_t n = 0;
  for (int i = 1; i <= 32; ++i) angles[n++] = std::atan2(double(i), 33.0) * kRadToDeg;
  for (int i = 31; i >= 1; --i) angles[n++] = std::atan2(33.0, double(i)) * kRadToDeg;
}

// ---- the pass over the pels ----

namespace {

// What one pass over the pels gathers, kept as the pass counts it: two 32-bit
// tables of pair counts at (t << 8) | r (alternate pels go to alternate
// tables, so that runs of equal pairs do not wait on each other's
// increments) and the 64-bit cell sums of the joint histogram.  One pel adds
// at most 1 to a pair count, so the tables can only outgrow 32 bits on a
// window of 2^32 pels or more; such a window empties them into 64-bit totals
// (spilled) every 2^31 pels.  The run's fit reads the tables directly.  The
// tables are one 512 KiB pel store, which the thread recycles: a fresh block
// from the heap is handed back to the system after the run in some heap
// states and processes, and faulted in again on the next (about 3 ms a run).
struct PassCounts {
  static constexpr std::size_t kTables = 2 * 65536;
  mxPelBuffer<std::uint32_t> store{mxPelRect(0, 0, 65536, 2), 64, mxPelInit::eUnwritten};
  std::uint32_t* tables = store.pointToOffset();
  std::vector<std::uint64_t> spilled;  // empty until a window needs it
  std::uint64_t cells[kCells] = {};

  // The number of used pels with grey pair k = (t << 8) | r.
  std::uint64_t pair(std::size_t k) const {
    const std::uint64_t c = std::uint64_t(tables[k]) + tables[k + 65536];
    return spilled.empty() ? c : c + spilled[k];
  }
};

// The pair indices (t << 8) | r of kBlock pels: the bytes of the two rows
// interleaved, which the compiler does a vector at a time.
constexpr std::int32_t kBlock = 256;
inline void pairIndices(const unsigned char* __restrict t, const unsigned char* __restrict r,
                        std::uint16_t* __restrict index) {
  for (std::int32_t k = 0; k < kBlock; ++k) index[k] = std::uint16_t(std::uint32_t(t[k]) << 8 | r[k]);
}

PassCounts countPairs(const mxPelBuffer_const<unsigned char>& reference, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelBuffer_const<unsigned char>& image) {
  checkPairing(reference, mask, image);
  const BinTables tables;
  const unsigned char* bin = tables.bin;
  const std::uint16_t* rowBase = tables.rowBase;
  PassCounts out;
  // Cleared with ordinary stores, which leave the tables in cache (the C
  // library's memset of a block this size may bypass it).
  std::fill(out.tables, out.tables + PassCounts::kTables, 0u);
  std::uint32_t* c0 = out.tables;
  std::uint32_t* c1 = c0 + 65536;
  // A cell gains at most 255 per pel, so the 32-bit cell sums of a mask with
  // other values are emptied into the totals every 2^24 pels; a row is taken
  // in segments of at most 2^22 pels.
  constexpr std::int64_t kCellPels = std::int64_t(1) << 24;
  constexpr std::int64_t kPairPels = std::int64_t(1) << 31;
  constexpr std::int32_t kSegment = std::int32_t(1) << 22;
  std::uint32_t cellSums[2 * kCells] = {};
  std::uint32_t* w0 = cellSums;
  std::uint32_t* w1 = w0 + kCells;
  const auto emptyCells = [&] {
    for (std::size_t k = 0; k < std::size_t(kCells); ++k) out.cells[k] += std::uint64_t(w0[k]) + w1[k];
    std::fill(cellSums, cellSums + 2 * kCells, 0u);
  };
  const auto emptyPairs = [&] {
    out.spilled.resize(65536, 0);
    for (std::size_t k = 0; k < 65536; ++k) out.spilled[k] += std::uint64_t(c0[k]) + c1[k];
    std::fill(out.tables, out.tables + PassCounts::kTables, 0u);
  };

  // An empty window counts nothing, however many empty rows it has.
  const std::int32_t w = image.width(), h = w > 0 ? image.height() : 0;
  const bool masked = mask.isBound();
  // A mask of only 0 and 255 (as training makes it) adds 255 per used pel,
  // so its cells follow from the pair counts like an absent mask's; one quick
  // look at the mask spares the pass its second increment per pel.
  bool binaryMask = masked;
  for (std::int32_t j = 0; binaryMask && j < h; ++j) {
    const unsigned char* m = mask.row(j);
    unsigned char other = 0;
    for (std::int32_t i = 0; i < w; ++i) other |= static_cast<unsigned char>(static_cast<unsigned char>(m[i] + 1) > 1);
    binaryMask = other == 0;
  }
  alignas(64) std::uint16_t index[kBlock];
  std::int64_t cellPending = 0, pairPending = 0;
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned char* r = image.row(j);
    const unsigned char* t = reference.row(j);
    const unsigned char* m = masked ? mask.row(j) : nullptr;
    for (std::int32_t x0 = 0; x0 < w; x0 += kSegment) {
      const std::int32_t len = std::min(kSegment, w - x0);
      if (cellPending + len > kCellPels) {
        emptyCells();
        cellPending = 0;
      }
      if (pairPending + len > kPairPels) {
        emptyPairs();
        pairPending = 0;
      }
      cellPending += len;
      pairPending += len;
      std::int32_t i = x0;
      const std::int32_t end = x0 + len;
      // Blocks of pels take their pair indices from pairIndices, a few wide
      // instructions for many pels, so that each pel costs little more than
      // its increment.
      if (binaryMask) {
        for (; i + kBlock <= end; i += kBlock) {
          pairIndices(t + i, r + i, index);
          const unsigned char* mb = m + i;
          for (std::int32_t k = 0; k < kBlock; k += 2) {
            c0[index[k]] += mb[k] != 0;
            c1[index[k + 1]] += mb[k + 1] != 0;
          }
        }
        for (; i + 2 <= end; i += 2) {
          c0[(std::uint32_t(t[i]) << 8) | r[i]] += m[i] != 0;
          c1[(std::uint32_t(t[i + 1]) << 8) | r[i + 1]] += m[i + 1] != 0;
        }
        for (; i < end; ++i) c0[(std::uint32_t(t[i]) << 8) | r[i]] += m[i] != 0;
      } else if (m) {
        for (; i + 2 <= end; i += 2) {
          c0[(std::uint32_t(t[i]) << 8) | r[i]] += m[i] != 0;
          w0[rowBase[t[i]] + bin[r[i]]] += m[i];
          c1[(std::uint32_t(t[i + 1]) << 8) | r[i + 1]] += m[i + 1] != 0;
          w1[rowBase[t[i + 1]] + bin[r[i + 1]]] += m[i + 1];
        }
        for (; i < end; ++i) {
          c0[(std::uint32_t(t[i]) << 8) | r[i]] += m[i] != 0;
          w0[rowBase[t[i]] + bin[r[i]]] += m[i];
        }
      } else {
        for (; i + kBlock <= end; i += kBlock) {
          pairIndices(t + i, r + i, index);
          for (std::int32_t k = 0; k < kBlock; k += 2) {
            ++c0[index[k]];
            ++c1[index[k + 1]];
          }
        }
        for (; i + 2 <= end; i += 2) {
          ++c0[(std::uint32_t(t[i]) << 8) | r[i]];
          ++c1[(std::uint32_t(t[i + 1]) << 8) | r[i + 1]];
        }
        for (; i < end; ++i) ++c0[(std::uint32_t(t[i]) << 8) | r[i]];
      }
    }
  }
  emptyCells();
  if (masked && !binaryMask) return out;
  // Without a mask, or with a mask of 0 and 255, each cell is the sum of its
  // pair counts, weighted 1 or 255.  Row t's counts go to e[4 + r] between
  // four zeros on either side, so that bin column x sums e[8x .. 8x + 7].
  const std::uint64_t weight = masked ? 255 : 1;
  std::uint64_t e[264] = {};
  for (std::uint32_t t = 0; t < 256; ++t) {
    const std::uint32_t* a = c0 + (t << 8);
    const std::uint32_t* b = c1 + (t << 8);
    for (std::uint32_t r = 0; r < 256; ++r) e[4 + r] = std::uint64_t(a[r]) + b[r];
    if (!out.spilled.empty())
      for (std::uint32_t r = 0; r < 256; ++r) e[4 + r] += out.spilled[(t << 8) | r];
    std::uint64_t* cellRow = out.cells + rowBase[t];
    for (std::int32_t x = 0; x < kFitBins; ++x) {
      std::uint64_t sum = 0;
      for (std::int32_t k = 0; k < 8; ++k) sum += e[8 * x + k];
      cellRow[x] += weight * sum;
    }
  }
  return out;
}

// Adds a pass's counts to totals gathered in the 64-bit form.
void addPass(const PassCounts& pass, FitPairCounts& counts) {
  for (std::size_t k = 0; k < 65536; ++k) counts.pairs[k] += pass.pair(k);
  for (std::size_t k = 0; k < std::size_t(kCells); ++k) counts.cells[k] += pass.cells[k];
}

// The joint histogram (32-bit counts, saturated rather than wrapped on images
// too large for them) compressed into the 8-bit 33 x 33 histogram image:
// unchanged when every count fits, else on a logarithmic scale that sends the
// largest count to 255.
mxPelBuffer<unsigned char> histogramImageOf(const std::uint64_t* cells) {
  mxPelBuffer<std::uint32_t> joint(kFitBins, kFitBins, 32);
  mfPelSet<std::uint32_t>(joint, 0);
  for (std::int32_t y = 0; y < kFitBins; ++y) {
    std::uint32_t* row = joint.row(y);
    for (std::int32_t x = 0; x < kFitBins; ++x) {
      const std::uint64_t c = cells[std::size_t(y * kFitBins + x)];
      row[x] = c > 0xFFFFFFFFu ? 0xFFFFFFFFu : std::uint32_t(c);
    }
  }
  const std::uint32_t largest = mfPelMax<std::uint32_t>(joint);
  mxPelBuffer<unsigned char> histogram(kFitBins, kFitBins, 32);
  const double scale = largest < 256u ? 0.0 : 255.0 / std::log(double(largest));
  for (std::int32_t y = 0; y < kFitBins; ++y) {
    const std::uint32_t* src = joint.row(y);
    unsigned char* dst = histogram.row(y);
    for (std::int32_t x = 0; x < kFitBins; ++x) {
      const std::uint32_t k = src[x];
      if (largest < 256u)
        dst[x] = static_cast<unsigned char>(k);
      else
        dst[x] = k == 0 ? 0 : static_cast<unsigned char>(std::int32_t(std::log(double(k)) * scale + 0.5));
    }
  }
  return histogram;
}

// The least-squares line of count points given by their exact sums (x the
// run-time grey, y the reference grey).  When it meets x = 0: gain = its
// slope, offset = its height there, true.  Otherwise (no point, or a vertical
// line) gain and offset stay as they were and the result is false.
bool lineFromSums(std::uint64_t count, double sx, double sy, double sxx, double sxy, double syy, double& gain,
                  double& offset) {
  mxLSLineFitter fitter;
  fitter.update(count, sx, sy, sxx, sxy, syy);
  const mxFLine line = fitter.fit();
  // With no point the fitted line is invalid and meets nothing, like a
  // vertical one.
  const mxFLine vertical(mxDegree(90.0), mxVector<2>(0.0, 0.0));
  const std::vector<mxVector<2>> points = line.intersection(vertical);
  if (points.empty()) return false;
  gain = std::tan(line.angle().toDouble() * kDegToRad);
  offset = points.front().y();
  return true;
}

// The least-squares line through every used pel whose grey pair lies in the
// band.  Band membership depends only on the pair, so the band is applied to
// the 65536 pair counts, summing exact integer moments that the fitter takes
// at once: the same line as adding the points one by one.
// pairAt(k) gives the count of grey pair k = (t << 8) | r.
template <class PairAt>
bool fitFromPairs(const PairAt& pairAt, const mxPelBuffer_const<unsigned char>& bandMask, double& gain,
                  double& offset) {
  if (!bandMask.isBound() || bandMask.width() < kFitBins || bandMask.height() < kFitBins)
    throw mxPelFunc::BadParams(L"fitGainAndOffset: the band mask must cover 33 x 33 cells");
  // Per bin row, the runs of grey levels r whose bin column is in the band;
  // only the pairs in those runs add to the sums (most of the plane is not in
  // the band).  Bin column x holds grey levels max(8x - 4, 0) .. min(8x + 3, 255).
  struct Run {
    std::uint32_t from, to;  // r in [from, to)
  };
  Run runs[kFitBins][(kFitBins + 1) / 2];
  std::int32_t runCount[kFitBins];
  for (std::int32_t y = 0; y < kFitBins; ++y) {
    const unsigned char* row = bandMask.row(y);
    std::int32_t n = 0;
    for (std::int32_t x = 0; x < kFitBins; ++x) {
      if (row[x] == 0) continue;
      const std::uint32_t from = x == 0 ? 0u : std::uint32_t(8 * x - 4);
      const std::uint32_t to = x == kFitBins - 1 ? 256u : std::uint32_t(8 * x + 4);
      if (n > 0 && runs[y][n - 1].to == from)
        runs[y][n - 1].to = to;
      else
        runs[y][n++] = Run{from, to};
    }
    runCount[y] = n;
  }
  unsigned __int128 n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  for (std::uint32_t t = 0; t < 256; ++t) {
    const std::int32_t y = std::int32_t((t + 4) >> 3);
    if (runCount[y] == 0) continue;
    unsigned __int128 rn = 0, rsx = 0, rsxx = 0;
    for (std::int32_t k = 0; k < runCount[y]; ++k)
      for (std::uint32_t r = runs[y][k].from; r < runs[y][k].to; ++r) {
        const std::uint64_t c = pairAt((t << 8) | r);
        rn += c;
        rsx += (unsigned __int128)c * r;
        rsxx += (unsigned __int128)c * r * r;
      }
    n += rn;
    sx += rsx;
    sxx += rsxx;
    sy += rn * t;
    sxy += rsx * t;
    syy += rn * t * t;
  }
  return lineFromSums(std::uint64_t(n), double(sx), double(sy), double(sxx), double(sxy), double(syy), gain, offset);
}

}  // namespace

mxPelBuffer<unsigned char> jointHistogramImage(const mxPelBuffer_const<unsigned char>& reference,
                                               const mxPelBuffer_const<unsigned char>& mask,
                                               const mxPelBuffer_const<unsigned char>& image) {
  return histogramImageOf(countPairs(reference, mask, image).cells);
}

bool fitGainAndOffset(const mxPelBuffer_const<unsigned char>& reference, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& bandMask,
                      double& gain, double& offset) {
  const PassCounts pass = countPairs(reference, mask, image);
  return fitFromPairs([&](std::size_t k) { return pass.pair(k); }, bandMask, gain, offset);
}

// ---- direction search on the 33 x 33 histogram image ----

std::vector<mxPelBuffer<std::uint32_t>> directionProfiles(const mxPelBuffer_const<unsigned char>& histogramImage,
                                                          const std::vector<double>& angles, std::int32_t first,
                                                          std::int32_t last) {
  std::vector<mxPelBuffer<std::uint32_t>> profiles;
  if (first > last) return profiles;
  if (first < 0 || std::size_t(last) >= angles.size())
    throw mxPelFunc::BadParams(L"directionProfiles: direction indices outside the table");
  profiles.resize(std::size_t(last - first) + 1);
  for (std::int32_t i = first; i <= last; ++i) {
    mxPelBuffer<std::uint32_t>& profile = profiles[std::size_t(i - first)];
    profile.setUnbound();
    profile = projectAlongAngle(histogramImage, mxDegree(angles[std::size_t(i)]));
  }
  return profiles;
}

mxPelBuffer<std::uint32_t> projectAlongAngle(const mxPelBuffer_const<unsigned char>& source, mxDegree theta) {
  if (!source.isBound()) throw mxPel::UnboundWindow();
  if (!std::isfinite(theta.toDouble())) throw mxPelFunc::BadParams(L"projectAlongAngle: the direction is not finite");
  // X rotates by t = theta + 90 degrees: its x axis points across the
  // direction, its y axis backwards along it.
  const double t = (theta.toDouble() + 90.0) * kDegToRad;
  const mxXform<2> X{mxMatrix<2>{mxRadian{t}, mxRadian{t}, 1.0, 1.0}, mxVector<2>{0.0, 0.0}};
  const mxXform<2> Xi = X.inverse();

  // Bounds of the source square in the rotated frame.
  const double w = source.width(), h = source.height();
  const mxVector<2> corners[4] = {{0.0, 0.0}, {0.0, h}, {w, h}, {w, 0.0}};
  double minX = 0, maxX = 0, minY = 0, maxY = 0;
  for (int k = 0; k < 4; ++k) {
    const mxVector<2> q = Xi * corners[k];
    if (k == 0) {
      minX = maxX = q.x();
      minY = maxY = q.y();
      continue;
    }
    if (q.x() < minX) minX = q.x();
    if (q.x() > maxX) maxX = q.x();
    if (q.y() < minY) minY = q.y();
    if (q.y() > maxY) maxY = q.y();
  }
  const mxAffineRectangle rect(X * mxVector<2>(minX, minY), X * mxVector<2>(maxX, minY), X * mxVector<2>(minX, maxY));

  // One more column than the extent across, one row less than the extent
  // along (about 38 x 35 to 48 x 45 for a 33 x 33 source).
  const double xs = std::trunc(maxX - minX + 0.5) + 1.0;
  const double ys = std::trunc(maxY - minY - 0.5) - 1.0;
  if (!(xs <= 32767.0 && ys <= 32767.0)) throw mxPelFunc::BadParams(L"projectAlongAngle: the source is too large");
  const mxAffineSamplingParams params(rect, std::int16_t(xs), std::int16_t(ys), mxAffineSamplingParams::eBilinear);

  mxPelBuffer<std::uint32_t> profile, inside;
  std::uint32_t count = 0;
  bool clipped = false;
  mfProjectImage(source, profile, inside, params, count, clipped);
  return profile;
}

std::vector<std::uint32_t> smoothProfile(const std::vector<std::uint32_t>& p, std::int32_t r) {
  const std::int64_t n = std::int64_t(p.size());
  if (r < 0 || n < 2 * std::int64_t(r) + 1)
    throw mxPelFunc::BadParams(L"smoothProfile: the profile is shorter than the smoothing window");
  const std::size_t L = p.size();
  const std::size_t R = std::size_t(r);
  std::vector<std::uint32_t> s(L);
  // Running sum; unsigned wrap-around in the intermediate differences cancels.
  std::uint32_t acc = 0;
  for (std::size_t k = 0; k <= 2 * R; ++k) acc += p[k];
  s[R] = acc;
  for (std::size_t i = R + 1; i + R < L; ++i) s[i] = s[i - 1] + p[i + R] - p[i - R - 1];
  // Ends, mirrored about the end pels: moving one step outwards adds the
  // mirror image of the new pel and drops the far one.
  for (std::size_t k = 0; k < R; ++k) s[R - 1 - k] = s[R - k] + p[1 + k] - p[2 * R - k];
  for (std::size_t k = 0; k < R; ++k) s[L - R + k] = s[L - R - 1 + k] + p[L - 2 - k] - p[L - 2 * R - 1 + k];
  return s;
}

std::int32_t selectPeakDirection(const std::vector<mxPelBuffer<std::uint32_t>>& profiles, double& peak) {
  double best = -1.0;
  std::int32_t selected = -1;
  std::vector<std::uint32_t> p;
  for (std::size_t j = 0; j < profiles.size(); ++j) {
    const mxPelBuffer<std::uint32_t>& profile = profiles[j];
    p.assign(std::size_t(profile.width()), 0u);
    if (profile.isBound() && profile.height() > 0) {
      const std::uint32_t* row = profile.row(0);
      for (std::size_t i = 0; i < p.size(); ++i) p[i] = row[i];
    }
    const std::vector<std::uint32_t> s = smoothProfile(p, 1);
    // First maximum wins; an all-zero profile peaks at 0 with value 0.
    std::uint32_t value = 0;
    std::size_t position = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
      if (s[i] > value) {
        value = s[i];
        position = i;
      }
    if (double(value) > best) {
      best = double(value);
      selected = std::int32_t(j);
      peak = double(position);
    }
  }
  return selected;
}

mxPelBuffer<unsigned char> peakBandMask(const mxPelBuffer_const<unsigned char>& histogramImage,
                                        const mx_PelBuffer& profile, double peak) {
  const mxXform<2> T = profile.imageFromClientXform();
  mxPelBuffer<unsigned char> band(histogramImage.width(), histogramImage.height(), 32);
  const double lo = peak - 1.0, hi = peak + 2.0;
  for (std::int32_t y = 0; y < band.height(); ++y) {
    unsigned char* row = band.row(y);
    for (std::int32_t x = 0; x < band.width(); ++x) {
      const double q = (T * mxVector<2>(double(x), double(y))).x();
      row[x] = (q >= lo && q < hi) ? 255 : 0;  // false for a q that is not a number
    }
  }
  return band;
}

std::vector<unsigned char> linearLut(double gain, double offset) {
  std::vector<unsigned char> table(256);
  // Accumulated by repeated addition, as the table is defined.
  double v = offset;
  for (int i = 0; i < 256; ++i) {
    table[std::size_t(i)] = roundToGrey(v);
    v += gain;
  }
  return table;
}

// ---- entry ----

namespace {

// Steps 2 to 5 on gathered counts: cells of the joint histogram, pairAt(k)
// the count of grey pair k.
// fitInBand(band, gain, offset) fits the line to the used pels whose cell
// the band mask sets, as fitFromPairs does.
template <class FitInBand>
bool fitFromCells(const std::uint64_t* cells, const FitInBand& fitInBand, const std::vector<double>& fitAngles,
                  double& gain, double& offset) {
  const mxPelBuffer<unsigned char> histogram = histogramImageOf(cells);
  const std::int32_t n = std::int32_t(fitAngles.size());
  const std::vector<mxPelBuffer<std::uint32_t>> profiles = directionProfiles(histogram, fitAngles, 3, n - 4);
  double peak = 0.0;
  const std::int32_t selected = selectPeakDirection(profiles, peak);
  const mxPelBuffer<unsigned char> band = peakBandMask(histogram, profiles[std::size_t(selected)], peak);
  gain = 0.0;
  offset = 0.0;
  return fitInBand(band, gain, offset);
}

// The fit of 8-bit pels from the pair counts; pairAt(k) gives the count of
// grey pair k.
template <class PairAt>
bool fitFromPairCounts(const std::uint64_t* cells, const PairAt& pairAt, const std::vector<double>& fitAngles,
                       double& gain, double& offset) {
  return fitFromCells(
      cells,
      [&](const mxPelBuffer_const<unsigned char>& band, double& g, double& o) {
        return fitFromPairs(pairAt, band, g, o);
      },
      fitAngles, gain, offset);
}

}  // namespace

bool linearFitParameters(const mxPelBuffer_const<unsigned char>& image,
                         const mxPelBuffer_const<unsigned char>& reference,
                         const mxPelBuffer_const<unsigned char>& mask, const std::vector<double>& fitAngles,
                         double& gain, double& offset) {
  if (!image.isBound() || !reference.isBound())
    throw mxImageNormalizerDefs::BadImage(L"Both template image and run-time image must be bound.");
  if (fitAngles.size() < 7 || fitAngles.size() > 0x7FFFFFFFu)
    throw mxImageNormalizerDefs::BadParams(L"The linear fit needs a direction table of at least 7 angles.");
  // One pass over the pels serves both the joint histogram and the fit.
  const PassCounts pass = countPairs(reference, mask, image);
  return fitFromPairCounts(
      pass.cells, [&](std::size_t k) { return pass.pair(k); }, fitAngles, gain, offset);
}

void addFitPairCounts(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& reference,
                      const mxPelBuffer_const<unsigned char>& mask, FitPairCounts& counts) {
  if (!image.isBound() || !reference.isBound())
    throw mxImageNormalizerDefs::BadImage(L"Both template image and run-time image must be bound.");
  if (counts.pairs.size() != 65536 || counts.cells.size() != std::size_t(kCells))
    throw mxImageNormalizerDefs::BadParams(L"addFitPairCounts: the counts are not sized for 256 x 256 pairs");
  addPass(countPairs(reference, mask, image), counts);
}

bool linearFitFromCounts(const FitPairCounts& counts, const std::vector<double>& fitAngles, double& gain,
                         double& offset) {
  if (fitAngles.size() < 7 || fitAngles.size() > 0x7FFFFFFFu)
    throw mxImageNormalizerDefs::BadParams(L"The linear fit needs a direction table of at least 7 angles.");
  if (counts.pairs.size() != 65536 || counts.cells.size() != std::size_t(kCells))
    throw mxImageNormalizerDefs::BadParams(L"linearFitFromCounts: the counts are not sized for 256 x 256 pairs");
  return fitFromPairCounts(
      counts.cells.data(), [&](std::size_t k) { return counts.pairs[k]; }, fitAngles, gain, offset);
}

FitPairCounts& FitPairCounts::operator+=(const FitPairCounts& other) {
  for (std::size_t k = 0; k < pairs.size(); ++k) pairs[k] += other.pairs[k];
  for (std::size_t k = 0; k < cells.size(); ++k) cells[k] += other.cells[k];
  return *this;
}

mxPelBuffer<unsigned char> linearFitImage(const mxPelBuffer_const<unsigned char>& image,
                                          const mxPelBuffer_const<unsigned char>& reference,
                                          const mxPelBuffer_const<unsigned char>& mask,
                                          const std::vector<double>& fitAngles, bool& fitted) {
  double gain = 0.0, offset = 0.0;
  fitted = linearFitParameters(image, reference, mask, fitAngles, gain, offset);
  return mfPelMap(image, linearLut(gain, offset));
}

mxPelBuffer<unsigned char> linearFitImage(const mxPelBuffer_const<unsigned char>& image,
                                          const mxPelBuffer_const<unsigned char>& reference,
                                          const mxPelBuffer_const<unsigned char>& mask,
                                          const std::vector<double>& fitAngles) {
  bool fitted = false;
  return linearFitImage(image, reference, mask, fitAngles, fitted);
}

// ---- 16-bit images ----

namespace {

// Two passes over the 16-bit pels.  The first counts the pels (mask value
// per pel, 1 without a mask) per pair of top-8-bit levels (t' << 8) | r',
// where g' = min(g >> (depth - 8), 255), as the 8-bit pass counts grey
// pairs; the pair counts fold into the joint histogram's cells.  Once the
// band is known, the second sums the exact moments of the used pels whose
// top-bit pair lies in the band: a table lookup per pel and sums kept in
// registers, a few wide instructions for many pels, where gathering the
// sums of every cell would cost six scattered updates per pel.  Both
// integer, so the line is that of the same exact sums.
constexpr std::int32_t kDeepBlock = 256;

// The top-bit pair indices of n <= kDeepBlock pels.  g >> (depth - 8) is
// taken as the high half of g x 2^(24 - depth) (scale), 16-bit arithmetic
// that the compiler does sixteen pels to an instruction.
MX_KERNEL_INLINE inline void topPairs(const unsigned short* __restrict t, const unsigned short* __restrict r,
                                      std::int32_t n, std::uint16_t scale, std::uint16_t* __restrict index) {
  for (std::int32_t k = 0; k < n; ++k) {
    const std::uint16_t tt = std::uint16_t((std::uint32_t(t[k]) * scale) >> 16);
    const std::uint16_t rr = std::uint16_t((std::uint32_t(r[k]) * scale) >> 16);
    index[k] = std::uint16_t((tt < 255 ? tt : 255) << 8 | (rr < 255 ? rr : 255));
  }
}

// Pass one over a row of w pels (mask m or none): adds each pel's weight to
// c0 or c1 (alternate pels, so that runs of equal pairs do not wait on each
// other's increments).
void countTopPairs(const unsigned short* t, const unsigned short* r, const unsigned char* m, std::int32_t w,
                   std::uint16_t scale, std::uint32_t* c0, std::uint32_t* c1) {
  mxcpu::dispatch(
      [](const unsigned short* t, const unsigned short* r, const unsigned char* m, std::int32_t w, std::uint16_t scale,
         std::uint32_t* c0, std::uint32_t* c1) MX_KERNEL_INLINE {
        alignas(64) std::uint16_t index[kDeepBlock];
        for (std::int32_t i = 0; i < w; i += kDeepBlock) {
          const std::int32_t n = std::min(kDeepBlock, w - i);
          topPairs(t + i, r + i, n, scale, index);
          std::int32_t k = 0;
          if (m) {
#pragma GCC unroll 4
            for (; k + 2 <= n; k += 2) c0[index[k]] += m[i + k], c1[index[k + 1]] += m[i + k + 1];
            if (k < n) c0[index[k]] += m[i + k];
          } else {
#pragma GCC unroll 4
            for (; k + 2 <= n; k += 2) ++c0[index[k]], ++c1[index[k + 1]];
            if (k < n) ++c0[index[k]];
          }
        }
      },
      t, r, m, w, scale, c0, c1);
}

// The exact moments of a set of pels (x the run-time level, y the reference
// level): count, sums of x and y, of x x, x y and y y.
struct Moments {
  std::uint64_t n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
};

// The band as runs of top-bit pairs: (t', r') is in it when
// lo[t'] <= r' <= hi[t'] (an empty row: lo 255, hi 0).  peakBandMask's
// projection is monotone along a row of cells, rounding included, so each
// row of the band is one run of cells, and so of top-bit levels.
struct BandRuns {
  unsigned char lo[256], hi[256];
};

// Pass two over a row of w pels: adds to s the moments of the pels whose
// top-bit pair lies in band and whose mask value, if any, is not 0.  A row
// adds less than 2^63 to each sum.
void addBandMoments(const unsigned short* t, const unsigned short* r, const unsigned char* m, std::int32_t w,
                    std::uint16_t scale, const BandRuns* band, Moments& s) {
  mxcpu::dispatch(
      [](const unsigned short* t, const unsigned short* r, const unsigned char* m, std::int32_t w, std::uint16_t scale,
         const BandRuns* band, Moments* out) MX_KERNEL_INLINE {
        alignas(64) std::uint16_t index[kDeepBlock];
        alignas(64) std::uint16_t use[kDeepBlock];
        std::uint64_t n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
        for (std::int32_t i = 0; i < w; i += kDeepBlock) {
          const std::int32_t len = std::min(kDeepBlock, w - i);
          std::int32_t k = 0;
          if (!mxkernel::pelPairsInRuns(t + i, r + i, len, scale, band->lo, band->hi, use)) {
            topPairs(t + i, r + i, len, scale, index);
            // Two loads per pel from the level-1 cache.  (The empty asm
            // keeps the compiler from assembling the loads lane by lane
            // into vectors, which costs several instructions a pel.)
#pragma GCC unroll 8
            for (; k < len; ++k) {
              std::size_t at = index[k];
              asm("" : "+r"(at));
              const std::size_t tt = at >> 8, rr = at & 255u;
              use[k] = rr >= band->lo[tt] && rr <= band->hi[tt] ? 0xFFFF : 0;
            }
          }
          if (m)
            for (k = 0; k < len; ++k) use[k] = m[i + k] ? use[k] : 0;
          // Per block, the count (at most 256) and 32-bit sums: the first
          // sums, and the low and the high 16 bits of each product (each
          // below 2^24).
          std::uint16_t bn = 0;
          std::uint32_t bx = 0, by = 0, xxl = 0, xxh = 0, xyl = 0, xyh = 0, yyl = 0, yyh = 0;
          for (k = 0; k < len; ++k) {
            const std::uint16_t u = use[k], x = r[i + k] & u, y = t[i + k] & u;
            bn = std::uint16_t(bn + (u & 1u));
            bx += x;
            by += y;
            xxl += std::uint16_t(std::uint32_t(x) * x);
            xxh += std::uint16_t((std::uint32_t(x) * x) >> 16);
            xyl += std::uint16_t(std::uint32_t(x) * y);
            xyh += std::uint16_t((std::uint32_t(x) * y) >> 16);
            yyl += std::uint16_t(std::uint32_t(y) * y);
            yyh += std::uint16_t((std::uint32_t(y) * y) >> 16);
          }
          n += bn, sx += bx, sy += by;
          sxx += xxl + (std::uint64_t(xxh) << 16);
          sxy += xyl + (std::uint64_t(xyh) << 16);
          syy += yyl + (std::uint64_t(yyh) << 16);
        }
        out->n += n, out->sx += sx, out->sy += sy, out->sxx += sxx, out->sxy += sxy, out->syy += syy;
      },
      t, r, m, w, scale, band, &s);
}

void checkDepth(std::int32_t depth) {
  if (depth < 9 || depth > 16)
    throw mxImageNormalizerDefs::BadParams(L"The linear fit of 16-bit images needs a bit depth of 9 to 16.");
}

struct CellSums {
  unsigned __int128 n = 0, sr = 0, st = 0, srr = 0, srt = 0, stt = 0;
};

// One pass over the 16-bit pels: the joint histogram's cell sums (mask value
// per pel, 1 without a mask) of the pels binned on their top 8 bits, and the
// exact sums of every cell.  Per-pel sums are gathered in 64 bits and moved
// into the 128-bit totals every 2^31 pels (a pel adds less than 2^32 to
// each, so they cannot wrap).
void countDeepCells(const mxPelBuffer_const<unsigned short>& reference, const mxPelBuffer_const<unsigned char>& mask,
                    const mxPelBuffer_const<unsigned short>& image, std::int32_t depth, std::uint64_t* cells,
                    CellSums* sums) {
  if (!image.isBound() || !reference.isBound()) throw mxPel::UnboundWindow();
  if (reference.width() < image.width() || reference.height() < image.height())
    throw mxPel::BadWindow(L"the reference window is smaller than the run-time window");
  if (mask.isBound() && (mask.width() < image.width() || mask.height() < image.height()))
    throw mxPel::BadWindow(L"the mask window is smaller than the run-time window");
  const BinTables tables;
  const unsigned shift = unsigned(depth - 8);
  struct Acc {
    std::uint64_t n, sr, st, srr, srt, stt;
  };
  std::vector<Acc> acc(std::size_t(kCells), Acc{0, 0, 0, 0, 0, 0});
  const auto flush = [&] {
    for (std::size_t k = 0; k < std::size_t(kCells); ++k) {
      CellSums& c = sums[k];
      c.n += acc[k].n, c.sr += acc[k].sr, c.st += acc[k].st;
      c.srr += acc[k].srr, c.srt += acc[k].srt, c.stt += acc[k].stt;
      acc[k] = Acc{0, 0, 0, 0, 0, 0};
    }
  };
  constexpr std::int64_t kFlushPels = std::int64_t(1) << 31;
  std::int64_t pending = 0;
  const std::int32_t w = image.width();
  for (std::int32_t j = 0; j < image.height() && w > 0; ++j) {
    if (pending + w > kFlushPels) flush(), pending = 0;
    pending += w;
    const unsigned short* r = image.row(j);
    const unsigned short* t = reference.row(j);
    const unsigned char* m = mask.isBound() ? mask.row(j) : nullptr;
    for (std::int32_t i = 0; i < w; ++i) {
      const std::uint32_t weight = m ? m[i] : 1u;
      if (weight == 0) continue;
      const std::uint32_t rt = std::min<std::uint32_t>(t[i] >> shift, 255u);
      const std::uint32_t rr = std::min<std::uint32_t>(r[i] >> shift, 255u);
      const std::size_t k = std::size_t(tables.rowBase[rt]) + tables.bin[rr];
      cells[k] += weight;
      const std::uint64_t x = r[i], y = t[i];
      Acc& a = acc[k];
      ++a.n, a.sr += x, a.st += y, a.srr += x * x, a.srt += x * y, a.stt += y * y;
    }
  }
  flush();
}

}  // namespace

namespace {
// The 16-bit fit from the cells' joint histogram and exact sums.
bool fitFromDeepCells(const std::uint64_t* cells, const std::vector<CellSums>& sums,
                      const std::vector<double>& fitAngles, double& gain, double& offset) {
  if (fitAngles.size() < 7 || fitAngles.size() > 0x7FFFFFFFu)
    throw mxImageNormalizerDefs::BadParams(L"The linear fit needs a direction table of at least 7 angles.");
  const auto fitInBand = [&](const mxPelBuffer_const<unsigned char>& band, double& g, double& o) {
    CellSums total;
    for (std::int32_t y = 0; y < kFitBins; ++y)
      for (std::int32_t x = 0; x < kFitBins; ++x) {
        if (band.row(y)[x] == 0) continue;
        const CellSums& c = sums[std::size_t(y * kFitBins + x)];
        total.n += c.n, total.sr += c.sr, total.st += c.st;
        total.srr += c.srr, total.srt += c.srt, total.stt += c.stt;
      }
    return lineFromSums(std::uint64_t(total.n), double(total.sr), double(total.st), double(total.srr),
                        double(total.srt), double(total.stt), g, o);
  };
  return fitFromCells(cells, fitInBand, fitAngles, gain, offset);
}

void checkDeepFitInputs(const mxPelBuffer_const<unsigned short>& image,
                        const mxPelBuffer_const<unsigned short>& reference, std::int32_t depth) {
  if (!image.isBound() || !reference.isBound())
    throw mxImageNormalizerDefs::BadImage(L"Both template image and run-time image must be bound.");
  checkDepth(depth);
}
}  // namespace

bool linearFitParameters(const mxPelBuffer_const<unsigned short>& image,
                         const mxPelBuffer_const<unsigned short>& reference,
                         const mxPelBuffer_const<unsigned char>& mask, const std::vector<double>& fitAngles,
                         std::int32_t depth, double& gain, double& offset) {
  if (!image.isBound() || !reference.isBound())
    throw mxImageNormalizerDefs::BadImage(L"Both template image and run-time image must be bound.");
  if (fitAngles.size() < 7 || fitAngles.size() > 0x7FFFFFFFu)
    throw mxImageNormalizerDefs::BadParams(L"The linear fit needs a direction table of at least 7 angles.");
  checkDepth(depth);
  if (reference.width() < image.width() || reference.height() < image.height())
    throw mxPel::BadWindow(L"the reference window is smaller than the run-time window");
  if (mask.isBound() && (mask.width() < image.width() || mask.height() < image.height()))
    throw mxPel::BadWindow(L"the mask window is smaller than the run-time window");
  const BinTables bins;
  const std::uint16_t scale = std::uint16_t(1u << (24 - depth));
  // An empty window counts nothing, however many empty rows it has.
  const std::int32_t w = image.width(), h = w > 0 ? image.height() : 0;
  const auto maskRow = [&](std::int32_t j) { return mask.isBound() ? mask.row(j) : nullptr; };

  // Pass one.  A pel adds at most 255 to a pair count, so the 32-bit counts
  // are folded into the cells every 2^24 pels (rows are taken whole: a row
  // of more pels is folded alone).  The two tables are one 512 KiB pel
  // store, as the 8-bit pass keeps them.
  std::uint64_t cells[kCells] = {};
  {
    mxPelBuffer<std::uint32_t> store{mxPelRect(0, 0, 65536, 2), 64, mxPelInit::eUnwritten};
    std::uint32_t* c0 = store.pointToOffset();
    std::uint32_t* c1 = c0 + 65536;
    std::fill(c0, c0 + 2 * 65536, 0u);
    const auto fold = [&] {
      for (std::uint32_t t = 0; t < 256; ++t) {
        std::uint64_t* cellRow = cells + bins.rowBase[t];
        for (std::uint32_t r = 0; r < 256; ++r) cellRow[bins.bin[r]] += std::uint64_t(c0[t << 8 | r]) + c1[t << 8 | r];
      }
      std::fill(c0, c0 + 2 * 65536, 0u);
    };
    constexpr std::int64_t kFoldPels = std::int64_t(1) << 24;
    std::int64_t pending = 0;
    for (std::int32_t j = 0; j < h; ++j) {
      if (pending > 0 && pending + w > kFoldPels) fold(), pending = 0;
      countTopPairs(reference.row(j), image.row(j), maskRow(j), w, scale, c0, c1);
      pending += w;
      if (pending > kFoldPels) fold(), pending = 0;
    }
    if (pending > 0) fold();
  }

  const auto fitInBand = [&](const mxPelBuffer_const<unsigned char>& band, double& g, double& o) {
    // Per top-bit level of the reference, the run of the image's levels
    // whose cells are in the band.
    BandRuns runs;
    for (std::uint32_t t = 0; t < 256; ++t) {
      const unsigned char* bandRow = band.row(bins.bin[t]);
      std::uint32_t lo = 255, hi = 0;
      for (std::uint32_t r = 0; r < 256; ++r)
        if (bandRow[bins.bin[r]]) lo = std::min(lo, r), hi = r;
      runs.lo[t] = (unsigned char)lo, runs.hi[t] = (unsigned char)hi;
    }
    unsigned __int128 n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    for (std::int32_t j = 0; j < h; ++j) {
      Moments row;
      addBandMoments(reference.row(j), image.row(j), maskRow(j), w, scale, &runs, row);
      n += row.n, sx += row.sx, sy += row.sy, sxx += row.sxx, sxy += row.sxy, syy += row.syy;
    }
    return lineFromSums(std::uint64_t(n), double(sx), double(sy), double(sxx), double(sxy), double(syy), g, o);
  };
  return fitFromCells(cells, fitInBand, fitAngles, gain, offset);
}

void addDeepFitCounts(const mxPelBuffer_const<unsigned short>& image,
                      const mxPelBuffer_const<unsigned short>& reference,
                      const mxPelBuffer_const<unsigned char>& mask, std::int32_t depth, DeepFitCounts& counts) {
  checkDeepFitInputs(image, reference, depth);
  if (counts.cells.size() != std::size_t(kCells) || counts.sums.size() != std::size_t(kCells) * 24)
    throw mxImageNormalizerDefs::BadParams(L"addDeepFitCounts: the counts are not sized for 33 x 33 cells");
  std::vector<std::uint64_t> cells(std::size_t(kCells), 0);
  std::vector<CellSums> sums(static_cast<std::size_t>(kCells));
  countDeepCells(reference, mask, image, depth, cells.data(), sums.data());
  for (std::size_t k = 0; k < std::size_t(kCells); ++k) {
    counts.cells[k] += cells[k];
    const CellSums& c = sums[k];
    std::uint64_t* to = &counts.sums[k * 24];
    for (const unsigned __int128 v : {c.n, c.sr, c.st, c.srr, c.srt, c.stt}) {
      for (int limb = 0; limb < 4; ++limb) to[limb] += std::uint64_t(v >> (32 * limb)) & 0xFFFFFFFFu;
      to += 4;
    }
  }
}

bool linearFitFromDeepCounts(const DeepFitCounts& counts, const std::vector<double>& fitAngles, double& gain,
                             double& offset) {
  if (counts.cells.size() != std::size_t(kCells) || counts.sums.size() != std::size_t(kCells) * 24)
    throw mxImageNormalizerDefs::BadParams(L"linearFitFromDeepCounts: the counts are not sized for 33 x 33 cells");
  std::vector<CellSums> sums(static_cast<std::size_t>(kCells));
  for (std::size_t k = 0; k < std::size_t(kCells); ++k) {
    const std::uint64_t* from = &counts.sums[k * 24];
    unsigned __int128* to[] = {&sums[k].n, &sums[k].sr, &sums[k].st, &sums[k].srr, &sums[k].srt, &sums[k].stt};
    for (unsigned __int128* v : to) {
      *v = 0;
      for (int limb = 0; limb < 4; ++limb) *v += (unsigned __int128)from[limb] << (32 * limb);  // wraps as the sum does
      from += 4;
    }
  }
  return fitFromDeepCells(counts.cells.data(), sums, fitAngles, gain, offset);
}

mxLevelLine deepFitLine(double gain, double offset, std::int32_t depth) {
  checkDepth(depth);
  mxLevelLine line;
  line.scale = gain, line.offset = offset;
  line.top = (std::int32_t(1) << depth) - 1;
  line.roundHalves = true;
  line.single = true;  // mapped in float lanes, as the other 16-bit lines
  return line;
}

std::vector<unsigned short> linearLut(double gain, double offset, std::int32_t depth) {
  const mxLevelLine line = deepFitLine(gain, offset, depth);
  return mfLevelTable<unsigned short>(line, std::size_t(line.top) + 1);
}

mxPelBuffer<unsigned short> linearFitImage(const mxPelBuffer_const<unsigned short>& image,
                                           const mxPelBuffer_const<unsigned short>& reference,
                                           const mxPelBuffer_const<unsigned char>& mask,
                                           const std::vector<double>& fitAngles, std::int32_t depth) {
  double gain = 0.0, offset = 0.0;
  linearFitParameters(image, reference, mask, fitAngles, depth, gain, offset);
  mxPelBuffer<unsigned short> out;
  mfPelMapLine(image, deepFitLine(gain, offset, depth), out);
  return out;
}

}  // namespace imgnorm::detail

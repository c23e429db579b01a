#include "baseif/mxPelOps.h"

#include <algorithm>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/pelKernels.h"

namespace {
// An output this large cannot stay in the last-level cache (32 MiB on the
// processor measured) for its reader: written around the caches, it saves
// the reads of its lines before they are written.  (The gain on a 16384²
// histogram run was within the run-to-run noise there, 0.33-0.35 against
// 0.33-0.37 ns/pel; the traffic it saves is a quarter of the run's.  On an
// AVX2 processor the 16-bit line map of a 12000² image went from 0.25 to
// 0.19 ns/pel; the 8-bit table map, bound by its shuffles, stayed at 0.2.)
bool streamed(const mxPelRect& r, std::int64_t pelBytes) {
  constexpr std::int64_t kStreamBytes = std::int64_t(32) << 20;
  return std::int64_t(r.width()) * r.height() * pelBytes >= kStreamBytes;
}
}  // namespace

void mfPelMap(const mxPelBuffer_const<unsigned char>& src, const std::vector<unsigned char>& table,
              mxPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (table.size() != 256) throw mxPelFunc::BadParams(L"mfPelMap: the table must have 256 entries");
  if (!dst.isBound()) {
    // Every pel of the new buffer is written below.
    dst = mxPelBuffer<unsigned char>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  const bool apart = mxkernel::rowsApart(r.width(), src.rowStrideBytes());
  const bool stream = streamed(r, 1);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    if (apart && j + 1 < r.height()) mxkernel::prefetchBytes(src.pointToPel(r.x(), r.y() + j + 1), r.width());
    mxkernel::pelMapRow(src.pointToPel(r.x(), r.y() + j), dst.pointToPel(r.x(), r.y() + j), r.width(), table.data(),
                        stream);
  }
}

mxPelBuffer<unsigned char> mfPelMap(const mxPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& table) {
  mxPelBuffer<unsigned char> dst;
  mfPelMap(src, table, dst);
  return dst;
}

std::vector<std::uint32_t> mfPelHistogram(const mxPelBuffer_const<unsigned char>& src) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const std::int32_t w = src.width();
  // An empty window counts nothing, however many empty rows it has.
  const std::int32_t rows = w > 0 ? src.height() : 0;
  mxkernel::HistogramCounter counter(std::int64_t(w) * rows);
  const bool apart = mxkernel::rowsApart(w, src.rowStrideBytes());
  const bool ahead = mxkernel::fetchesAhead(w, rows, src.rowStrideBytes());
  for (std::int32_t j = 0; j < rows; ++j) {
    if (apart && j + 1 < rows) mxkernel::prefetchBytes(src.row(j + 1), w);
    counter.addRow(src.row(j), w, ahead);
  }
  return counter.takeCounts();
}

void mfPelMin(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
              mxPelBuffer<unsigned char>& dst) {
  if (!a.isBound() || !b.isBound()) throw mxPel::UnboundWindow();
  mxPelRect r = a.window().intersect(b.window());
  if (!dst.isBound()) {
    if (r.isNull()) return;
    dst = mxPelBuffer<unsigned char>(r);
    dst.copyXforms(a);
  } else {
    r &= dst.window();
  }
  if (r.isNull()) return;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* pa = a.pointToPel(r.x(), r.y() + j);
    const unsigned char* pb = b.pointToPel(r.x(), r.y() + j);
    unsigned char* d = dst.pointToPel(r.x(), r.y() + j);
    for (std::int32_t i = 0; i < r.width(); ++i) d[i] = pa[i] < pb[i] ? pa[i] : pb[i];
  }
}

mxPelBuffer<unsigned char> mfPelMin(const mxPelBuffer_const<unsigned char>& a,
                                    const mxPelBuffer_const<unsigned char>& b) {
  mxPelBuffer<unsigned char> dst;
  mfPelMin(a, b, dst);
  return dst;
}

mxHistoStats mfPelMoments(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  mxPelRect r = src.window();
  if (mask.isBound()) r &= mask.window();
  mxkernel::Moments acc;
  if (!r.isNull())
    for (std::int32_t j = 0; j < r.height(); ++j)
      mxkernel::pelMomentsRow(src.pointToPel(r.x(), r.y() + j),
                              mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr, r.width(), acc);
  return mxHistoStats(acc.count, acc.sum, acc.sumOfSquares, 256);
}

void mfPelMap(const mxPelBuffer_const<unsigned short>& src, const std::vector<unsigned short>& table,
              mxPelBuffer<unsigned short>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (table.empty() || table.size() > 65536)
    throw mxPelFunc::BadParams(L"mfPelMap: a 16-bit table must have 1 to 65536 entries");
  if (!dst.isBound()) {
    dst = mxPelBuffer<unsigned short>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  // The table extended by its last entry to 65537 entries (65537 stores, a
  // few per cent of a megapel), so that every pel indexes it directly (no
  // clamp in the loop).
  std::vector<unsigned short> padded(65537, table.back());
  std::copy(table.begin(), table.end(), padded.begin());
  // A table of more than 8192 entries outgrows the level-1 cache, and its
  // lookups wait long enough for the image's stream to need fetching ahead
  // (at 12 bits the asking only costs: 8192 x 8192, 0.60 -> 0.63 ns/pel).
  const bool ahead =
      table.size() > 8192 && mxkernel::fetchesAhead(2 * std::int64_t(r.width()), r.height(), src.rowStrideBytes());
  for (std::int32_t j = 0; j < r.height(); ++j)
    mxkernel::pelMapRow16(src.pointToPel(r.x(), r.y() + j), dst.pointToPel(r.x(), r.y() + j), r.width(), padded.data(),
                          ahead);
}

mxPelBuffer<unsigned short> mfPelMap(const mxPelBuffer_const<unsigned short>& src,
                                     const std::vector<unsigned short>& table) {
  mxPelBuffer<unsigned short> dst;
  mfPelMap(src, table, dst);
  return dst;
}

void mfPelMapLine(const mxPelBuffer_const<unsigned short>& src, const mxLevelLine& line,
                  mxPelBuffer<unsigned short>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (line.top < 0 || line.top > 65535) throw mxPelFunc::BadParams(L"mfPelMapLine: the top level must be 0 to 65535");
  if (!dst.isBound()) {
    dst = mxPelBuffer<unsigned short>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  const bool stream = streamed(r, 2);
  for (std::int32_t j = 0; j < r.height(); ++j)
    mxkernel::pelMapLineRow(src.pointToPel(r.x(), r.y() + j), dst.pointToPel(r.x(), r.y() + j), r.width(), line,
                            stream);
}

template <>
unsigned short mfPelMax<unsigned short>(const mxPelBuffer_const<unsigned short>& src) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  unsigned short found = 0;
  for (std::int32_t j = 0; j < src.height() && src.width() > 0; ++j)
    mxcpu::dispatch(
        [](const unsigned short* s, std::int32_t n, unsigned short* m) MX_KERNEL_INLINE {
          unsigned short v = *m;
          for (std::int32_t i = 0; i < n; ++i) v = s[i] > v ? s[i] : v;
          *m = v;
        },
        src.row(j), src.width(), &found);
  return found;
}

// Counted into two interleaved tables of a counter per bin and one more
// (alternate pels, so that runs of equal pels do not wait on each other's
// increments); an excluded pel goes to the extra counter, so the masked loop
// has no branch.  Without a mask the largest pel is the highest bin counted
// (a window of fewer than 2^32 pels cannot wrap a counter to 0) or, with
// fewer bins than values, the largest the clamping pass saw; with one, a pass
// of its own finds it over the whole window.
std::vector<std::uint32_t> mfPelHistogram(const mxPelBuffer_const<unsigned short>& src,
                                          const mxPelBuffer_const<unsigned char>& mask, std::uint32_t bins,
                                          unsigned short* largest) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (bins < 1 || bins > 65536) throw mxPelFunc::BadParams(L"mfPelHistogram: 1 to 65536 bins");
  const bool fromCounts =
      !mask.isBound() && std::int64_t(src.window().width()) * src.window().height() < (std::int64_t(1) << 32);
  if (largest && !fromCounts) *largest = mfPelMax<unsigned short>(src);
  mxPelRect r = src.window();
  if (mask.isBound()) {
    r = r.intersect(mask.window(), false);
    if (r.isNull()) return {};
  }
  // Fewer bins than 16-bit values, in windows under 2^20 pels: each row's
  // pels are first brought into the bins (and excluded ones to the extra
  // counter) in a vectorised pass, which also finds the largest pel, so that
  // the counters are only as many as the bins.  At 12 bits and 512 x 512
  // pels that takes 90 us against 154 for clearing and folding 512 KiB of
  // counters; at 2048 x 2048 the pass costs more (1.46 ms against 1.36).
  const bool clamp = bins < 65536 && std::int64_t(r.width()) * r.height() < (std::int64_t(1) << 20);
  const std::size_t table = clamp ? std::size_t(bins) + 1 : 65537;
  std::vector<std::uint32_t> tables(2 * table, 0);
  std::uint32_t* c0 = tables.data();
  std::uint32_t* c1 = c0 + table;
  const std::int32_t w = r.isNull() ? 0 : r.width();
  const std::int32_t h = w > 0 ? r.height() : 0;
  std::vector<unsigned short> clamped(clamp ? std::size_t(w) : 0);
  // (The clamped rows are cached; only the image's rows come from memory.)
  const bool ahead = !clamp && mxkernel::fetchesAhead(2 * std::int64_t(w), h, src.rowStrideBytes());
  std::uint16_t most = 0;
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned short* s = src.pointToPel(r.x(), r.y() + j);
    const unsigned char* m = mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr;
    if (clamp) {
      const unsigned short top = static_cast<unsigned short>(bins - 1);
      if (m)
        mxcpu::dispatch(
            [](const unsigned short* s, const unsigned char* m, unsigned short* t, std::int32_t n, unsigned short top)
                MX_KERNEL_INLINE {
                  for (std::int32_t i = 0; i < n; ++i)
                    t[i] = m[i] ? (s[i] < top ? s[i] : top) : static_cast<unsigned short>(top + 1);
                },
            s, m, clamped.data(), w, top);
      else
        mxcpu::dispatch(
            [](const unsigned short* s, unsigned short* t, std::int32_t n, unsigned short top, std::uint16_t* most)
                MX_KERNEL_INLINE {
                  std::uint16_t big = *most;
                  for (std::int32_t i = 0; i < n; ++i) {
                    t[i] = s[i] < top ? s[i] : top;
                    big = s[i] > big ? s[i] : big;
                  }
                  *most = big;
                },
            s, clamped.data(), w, top, &most);
      s = clamped.data();
      m = nullptr;
    }
    std::int32_t i = 0;
    if (m) {
      for (; i + 1 < w; i += 2) {
        ++c0[m[i] ? s[i] : 65536u];
        ++c1[m[i + 1] ? s[i + 1] : 65536u];
      }
      if (i < w) ++c0[m[i] ? s[i] : 65536u];
    } else {
      const auto four = [&](std::int32_t k) {
        ++c0[s[k]];
        ++c1[s[k + 1]];
        ++c0[s[k + 2]];
        ++c1[s[k + 3]];
      };
      if (ahead)
        for (; i + 32 <= w; i += 32) {
          mxkernel::fetchAhead(s + i, 64);
          for (std::int32_t k = i; k < i + 32; k += 4) four(k);
        }
      for (; i + 4 <= w; i += 4) four(i);
      for (; i < w; ++i) ++c0[s[i]];
    }
  }
  std::vector<std::uint32_t> histogram(bins, 0);
  for (std::size_t v = 0; v < bins; ++v) histogram[v] = c0[v] + c1[v];
  std::uint32_t above = 0;  // pels of bins or more, counted unclamped
  for (std::size_t v = bins; v < table - 1; ++v) above += c0[v] + c1[v];
  histogram[bins - 1] += above;
  if (largest && fromCounts) {
    std::size_t v = 65535;
    if (clamp)
      v = most;
    else
      while (v > 0 && c0[v] == 0 && c1[v] == 0) --v;
    *largest = static_cast<unsigned short>(v);
  }
  return histogram;
}

std::vector<std::uint32_t> mfPelPercentileHistogram(const mxPelBuffer_const<unsigned short>& src,
                                                    const mxPelBuffer_const<unsigned char>& mask, std::uint32_t bins,
                                                    mxPair<std::int32_t> percents, unsigned short* largest) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (mask.isBound() || bins <= 4096 || bins > 65536 || (bins & (bins - 1)) != 0 ||
      std::int64_t(src.window().width()) * src.window().height() >= (std::int64_t(1) << 32))
    return mfPelHistogram(src, mask, bins, largest);
  const int shift = __builtin_ctz(bins) - 8;
  const std::int32_t w = src.width(), rows = w > 0 ? src.height() : 0;
  // The top bits, counted as an 8-bit image row by row, and each block of
  // kBlock pels' lowest and highest group, so that the second pass reads
  // only the blocks that may hold pels of its two groups.
  constexpr std::int32_t kBlock = 512;
  const std::int32_t blocks = (w + kBlock - 1) / kBlock;
  std::vector<unsigned char> range(2 * std::size_t(blocks) * std::size_t(rows));
  mxkernel::HistogramCounter counter(std::int64_t(w) * rows);
  std::vector<unsigned char> topBits(std::size_t(w > 0 ? w : 0));
  std::uint16_t most = 0;
  for (std::int32_t j = 0; j < rows; ++j) {
    unsigned char* rowRange = range.data() + 2 * std::size_t(blocks) * std::size_t(j);
    if (!mxkernel::pelTopBitsRow16(src.row(j), topBits.data(), w, shift, &most))
      mxcpu::dispatch(
          [](const unsigned short* s, unsigned char* t, std::int32_t n, int shift, std::uint16_t* most)
              MX_KERNEL_INLINE {
                std::uint16_t m = *most;
                for (std::int32_t i = 0; i < n; ++i) {
                  const std::uint16_t v = std::uint16_t(s[i] >> shift);
                  t[i] = static_cast<unsigned char>(v < 255 ? v : 255);
                  m = s[i] > m ? s[i] : m;
                }
                *most = m;
              },
          src.row(j), topBits.data(), w, shift, &most);
    counter.addRow(topBits.data(), w);
    for (std::int32_t b = 0; b < blocks; ++b)
      mxcpu::dispatch(
          [](const unsigned char* t, std::int32_t n, unsigned char* lohi) MX_KERNEL_INLINE {
            unsigned char lo = 255, hi = 0;
            for (std::int32_t i = 0; i < n; ++i) {
              lo = t[i] < lo ? t[i] : lo;
              hi = t[i] > hi ? t[i] : hi;
            }
            lohi[0] = lo, lohi[1] = hi;
          },
          topBits.data() + b * kBlock, std::min(kBlock, w - b * kBlock), rowRange + 2 * b);
  }
  if (largest) *largest = most;
  const std::vector<std::uint32_t> groups = counter.takeCounts();
  std::uint64_t samples = 0;
  for (const std::uint32_t c : groups) samples += c;
  // Each percentage's group, found as inverseCum finds its bin.
  std::uint32_t group[2] = {0, 0};
  const std::int32_t pc[2] = {percents.x(), percents.y()};
  for (int k = 0; k < 2; ++k) {
    const std::uint64_t p = std::uint64_t(std::min(std::max(pc[k], 0), 100));
    const std::uint64_t target = std::max<std::uint64_t>((samples * p + 99) / 100, 1);
    std::uint64_t cum = 0;
    std::uint32_t g = 0;
    while (g < 255 && cum + groups[g] < target) cum += groups[g++];
    group[k] = g;
  }
  // The exact bins of those two groups' pels, in the blocks whose range
  // holds either; 64 pels at a time are first tested together, which the
  // compiler vectorises, as few hold either.
  const std::uint32_t inGroup = (std::uint32_t(1) << shift) - 1;
  std::vector<std::uint32_t> fine(2 * std::size_t(inGroup + 1), 0);
  for (std::int32_t j = 0; j < rows; ++j)
    for (std::int32_t b = 0; b < blocks; ++b) {
      const unsigned char* lohi = range.data() + 2 * (std::size_t(blocks) * std::size_t(j) + std::size_t(b));
      if ((group[0] < lohi[0] || group[0] > lohi[1]) && (group[1] < lohi[0] || group[1] > lohi[1])) continue;
      mxcpu::dispatch(
          [](const unsigned short* s, std::int32_t n, int shift, std::uint16_t g0, std::uint16_t g1,
             std::uint32_t* fine) MX_KERNEL_INLINE {
            const std::uint32_t inGroup = (std::uint32_t(1) << shift) - 1;
            for (std::int32_t i0 = 0; i0 < n; i0 += 64) {
              const std::int32_t i1 = n - i0 < 64 ? n : i0 + 64;
              std::uint16_t hit = 0;
              for (std::int32_t i = i0; i < i1; ++i) {
                std::uint16_t g = std::uint16_t(s[i] >> shift);
                g = g < 255 ? g : 255;
                hit |= std::uint16_t((g == g0) | (g == g1));
              }
              if (hit == 0) continue;
              for (std::int32_t i = i0; i < i1; ++i) {
                const std::uint32_t g = std::min(std::uint32_t(s[i]) >> shift, 255u);
                if (g == g0) ++fine[s[i] & inGroup];
                if (g == g1) ++fine[inGroup + 1 + (s[i] & inGroup)];
              }
            }
          },
          src.row(j) + b * kBlock, std::min(kBlock, w - b * kBlock), shift, std::uint16_t(group[0]),
          std::uint16_t(group[1]), fine.data());
    }
  std::vector<std::uint32_t> histogram(bins, 0);
  for (std::uint32_t g = 0; g < 256; ++g) histogram[std::size_t(g) << shift] = groups[g];
  for (int k = 0; k < 2; ++k) {
    const std::uint32_t* f = fine.data() + std::size_t(k) * (inGroup + 1);
    std::uint32_t* h = histogram.data() + (std::size_t(group[k]) << shift);
    std::copy(f, f + inGroup + 1, h);
  }
  return histogram;
}

// Per row, 32-bit sums of up to 2^16 pels (each below 2^16) and 64-bit sums
// of squares, added into the 64-bit totals: exact, and vectorised.
// Without a mask the pass also finds the largest pel; with one, a pass of
// its own over the whole window does.
mxHistoStats mfPelMoments(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                          std::uint32_t bins, unsigned short* largest) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (largest) *largest = mask.isBound() ? mfPelMax<unsigned short>(src) : 0;
  unsigned short* const top = mask.isBound() ? nullptr : largest;
  mxPelRect r = src.window();
  if (mask.isBound()) r &= mask.window();
  std::uint64_t n = 0, s1 = 0, s2 = 0;
  constexpr std::int32_t kChunk = 65536;
  if (!r.isNull())
    for (std::int32_t j = 0; j < r.height(); ++j) {
      const unsigned short* s = src.pointToPel(r.x(), r.y() + j);
      const unsigned char* m = mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr;
      for (std::int32_t i0 = 0; i0 < r.width(); i0 += kChunk) {
        const std::int32_t i1 = std::min(r.width(), i0 + kChunk);
        std::uint64_t t[4] = {0, 0, 0, 0};  // count, sum, sum of squares, largest (without a mask)
        const bool done = !m && mxkernel::pelMomentsRow16(s + i0, i1 - i0, t);
        if (!done)
          mxcpu::dispatch(
              [](const unsigned short* s, const unsigned char* m, std::int32_t n, std::uint64_t* t) MX_KERNEL_INLINE {
                std::uint32_t count = 0, sum = 0;
                std::uint64_t squares = 0;
                if (m) {
                  for (std::int32_t i = 0; i < n; ++i) {
                    const std::uint32_t v = m[i] ? s[i] : 0u;
                    count += m[i] != 0;
                    sum += v;
                    squares += std::uint64_t(v * v);
                  }
                } else {
                  std::uint16_t most = 0;
                  for (std::int32_t i = 0; i < n; ++i) {
                    const std::uint32_t v = s[i];
                    sum += v;
                    squares += std::uint64_t(v * v);
                    most = s[i] > most ? s[i] : most;
                  }
                  count = std::uint32_t(n);
                  t[3] = most;
                }
                t[0] = count, t[1] = sum, t[2] = squares;
              },
              s + i0, m ? m + i0 : nullptr, i1 - i0, t);
        const std::uint64_t count = t[0], sum = t[1], squares = t[2];
        n += count, s1 += sum, s2 += squares;
        if (top && t[3] > *top) *top = static_cast<unsigned short>(t[3]);
      }
    }
  return mxHistoStats(n, s1, s2, bins);
}

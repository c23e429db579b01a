// The 8-bit median by counting, written once over a policy W of 32 16-bit
// window counts and the histogram engine's policy V (where it hands over);
// compiled in the AVX2 and AVX-512 translation units, each with policies of
// its own:
//   W::Window               32 16-bit counts
//   W::zero(), W::splat(k)
//   W::add(w, c)            w plus the 32 byte counts c
//   W::step(w, e, l)        w plus e less l (byte counts of at most 255)
//   W::stepNarrow(w, e, l)  the same for byte counts of at most 127
//   W::atMost(w, kk)        how many of w's counts are at most kk's
//
// Internal to the library.  The includer includes <immintrin.h> and the
// standard headers used here and switches its target on before this header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "baseif/detail/medianEngine.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

namespace mxmedian {

// Where a strip's band of 32 levels (lo .. lo + 31, right for medians in
// lo .. lo + 30) goes for the next row, after a row whose medians lie in
// lowest .. highest within it: where it is unless they come within 4 levels
// of one of its edges, else ahead of them (they tend to go on the way they
// came): up to 14 levels of room on that side, 5 on the other, or centred
// on them when they spread too wide for that.
inline int bandStart(int lo) { return std::min(std::max(lo, 0), 256 - 32 + 1); }
inline int followBand(int lo, int lowest, int highest) {
  constexpr int room = 30;  // the band's right levels: lo .. lo + room
  int to = lo;
  if (highest > lo + room - 4)
    to = std::min(lowest - 5, highest + 14 - room);
  else if (lowest < lo + 4)
    to = std::max(highest + 5 - room, lowest - 14);
  if (to != lo && (lowest - to < 4 || to + room - highest < 4)) to = (lowest + highest - room + 1) / 2;
  return bandStart(to);
}
// The band for filtering a row again whose medians (lowest .. highest) left
// it below or above: ending at the highest or starting at the lowest,
// whichever side of the row was right.
inline int refitBand(bool below, int lowest, int highest) { return bandStart(below ? highest - 30 : lowest); }

// Whether a strip that counted built window rows afresh over rows output
// rows has outgrown counting (windows of ny rows; see BandMedian::filterRow).
inline bool overBudget(std::int64_t built, std::int64_t rows, std::int32_t ny) { return built > 2 * rows + 4 * ny; }

// A strip of output columns xs .. xe - 1 going down an image, with its
// band and the columns its windows take.
struct Strip {
  std::int32_t xs = 0, xe = 0;       // output columns
  std::int32_t first = 0, last = 0;  // source columns
  std::size_t offset = 0;            // the first column's counts in the store, in columns
  int lo = 128 - 16;                 // the band's first level
  int counted = -1;                  // the band the column counts are in (-1: none yet)
  std::int64_t rows = 0;             // output rows made
  std::int64_t built = 0;            // window rows counted afresh (over a whole band)
  bool fresh = true;                 // the counts are to be made afresh
};

// Output columns xa .. xb - 1 of an image w columns wide in strips of about
// radii window radii rx (at least 256 columns, at most 1024); columns is set
// to the source columns they take in all.
inline std::vector<Strip> layStrips(std::int32_t xa, std::int32_t xb, std::int32_t w, std::int32_t rx, int radii,
                                    std::size_t& columns) {
  const std::int32_t aim = std::min<std::int32_t>(1024, std::max<std::int32_t>(256, radii * rx));
  const std::int32_t count = (xb - xa + aim - 1) / aim;
  const std::int32_t width = (xb - xa + count - 1) / count;
  std::vector<Strip> strips;
  columns = 0;
  for (std::int32_t xs = xa; xs < xb; xs += width) {
    Strip t;
    t.xs = xs;
    t.xe = std::min(xs + width, xb);
    t.first = std::max(xs - rx, 0);
    t.last = std::min(t.xe - 1 + rx, w - 1);
    t.offset = columns;
    columns += std::size_t(t.last - t.first + 1);
    strips.push_back(t);
  }
  return strips;
}

// What both counting engines (8- and 16-bit pels) take in and work out
// from it: the source window, the mask (unbound without one, else a buffer
// whose window contains the source's), the parameters, the result, the
// source's size, the window's radii and its middle rank.
template <class T>
struct BandSource {
  BandSource(const mxPelBuffer_const<T>& src, const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& p,
             const mxPelBuffer<T>& out)
      : src_(src),
        mask_(mask),
        p_(p),
        out_(out),
        w_(src.width()),
        h_(src.height()),
        rx_((p.size.x() - 1) / 2),
        ry_((p.size.y() - 1) / 2),
        k_((p.size.x() * p.size.y() - 1) / 2) {}

  // Source row j, rows beyond the top and bottom edges replicating the edge rows.
  const T* srcRow(std::int32_t j) const { return src_.row(edgeRow(j)); }
  // The mask row over source row j (at source column 0); null without a mask.
  const unsigned char* maskRow(std::int32_t j) const {
    return mask_.isBound() ? mask_.pointToPel(src_.window().x(), src_.window().y() + edgeRow(j)) : nullptr;
  }
  std::int32_t edgeRow(std::int32_t j) const { return j < 0 ? 0 : (j >= h_ ? h_ - 1 : j); }

  // The median level of source pel (x, y)'s window (of its set pels with a
  // mask; 128 when it has none), from a histogram of the pels' levels
  // level(pel), 0 .. 255.
  template <class L>
  int medianAt(std::int32_t x, std::int32_t y, L level) const {
    std::int32_t counts[256] = {}, n = 0;
    for (std::int32_t j = y - ry_; j <= y + ry_; ++j) {
      const T* s = srcRow(j);
      const unsigned char* m = maskRow(j);
      for (std::int32_t c = x - rx_; c <= x + rx_; ++c) {
        const std::int32_t i = c < 0 ? 0 : (c >= w_ ? w_ - 1 : c);
        if (!m || m[i] != 0) ++counts[level(s[i])], ++n;
      }
    }
    if (n == 0) return 128;
    const std::int32_t k = (n - 1) / 2;
    int v = 0;
    for (std::int32_t below = counts[0]; below <= k; below += counts[++v]) {
    }
    return v;
  }

  const mxPelBuffer_const<T>& src_;
  const mxPelBuffer_const<unsigned char>& mask_;
  const mxPelMedianParams& p_;
  const mxPelBuffer<T>& out_;
  std::int32_t w_, h_, rx_, ry_, k_;
};

// The first 64-byte boundary in store.
template <class T>
std::uint8_t* aligned64(std::vector<T>& store) {
  return reinterpret_cast<std::uint8_t*>((reinterpret_cast<std::uintptr_t>(store.data()) + 63) & ~std::uintptr_t(63));
}

// The filter by counting, for windows of at most 255 rows (a
// column's counts then fit a byte).  A pel's median m is the number of
// levels t = 1 .. 255 at which its window holds at most k values below t.
// Over a strip of output columns the medians of a row mostly lie within a
// few levels of each other, so the engine keeps, for each source column,
// the counts of its window rows' values below each of 32 consecutive levels
// lo .. lo + 31 (the band), and a pel's median is lo - 1 plus the number of
// band levels below which the window holds at most k values: one
// comparison of 32 lanes and a population count, right when the result
// lies in lo .. lo + 30 (the window holds at most k values below lo and
// more than k below lo + 31).  A row down replaces one value per column (a
// step out and a step in, read from a table of the band), done for each
// column as the window reaches it, and the window moves right by a column in
// and one out: about a third of the histogram engine's work.
//
// A strip's band starts centred on the median of its middle pel.  When a
// row's medians near the band's edges, the band moves for the next row (the
// counts of the levels it brings in made afresh from the window's rows);
// when they leave it, it moves and the row is filtered again.  Where
// medians spread over more than the band, or move so much that counting
// afresh outweighs the rows themselves (noise, small windows), the
// histogram engine takes the rest of the image.
// Either way the pels are the histogram engine's.  On the benchmarks'
// differences (medians within 9 to 20 levels over a strip) the filter takes
// 1.7 to 2.3 ns/pel against 3.4 to 4.4; over noise and rapidly moving
// medians, up to 5 % more than the histogram engine alone.
//
// With MASKED only the mask's set pels count: each column also keeps how
// many of its window rows' pels are set, the window's total gives each
// pel's rank, a window without set pels keeps the pel's own value, and an
// even count averages the two middles (each from the band) as the
// histogram engine does.
template <class W, class V, bool MASKED = false>
class BandMedian : private BandSource<unsigned char> {
public:
  static constexpr int kLanes = 32;
  static constexpr std::int32_t kRows = 32;  // rows a strip makes before the next one's turn

  // Whether the filter takes windows of these parameters.
  static bool takes(const mxPelMedianParams& p) { return p.size.y() <= 255; }

  // mask, with MASKED, is a buffer whose window contains src's.
  BandMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
             const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& out)
      : BandSource(src, mask, p, out) {}

  void run() {
    const std::int32_t xa = out_.window().x() - src_.window().x(), xb = xa + out_.width();
    if (xb <= xa || out_.height() <= 0) return;
    // Strips of about 12 window radii: a strip's overlap costs a sixth
    // more column updates, and a row's medians over it stay within the band
    // on smooth differences (bench images: 9 to 20 levels at most over 8
    // radii).  Against 8 radii (m8x driver, best of 3 interleaved): 101 x
    // 101 on 2048² 1.99 -> 1.73 ns/pel, on 8192 x 1024 1.82 -> 1.65, 201 x
    // 201 on 8192 x 1024 2.03 -> 1.88, on 2048² 2.09 -> 2.19 (two strips of
    // 1024 columns, where the medians spread wider).  The
    // strips go down together, kRows rows at a time, so that a large image
    // is read in order (a strip going down the whole image alone would
    // fetch each of its rows from memory) while each strip's counts stay
    // in the level-1 cache for its kRows rows.
    std::size_t columns = 0;
    std::vector<Strip> strips = layStrips(xa, xb, w_, rx_, 12, columns);
    store_.resize(columns * kLanes + 64);
    std::uint8_t* const counts = aligned64(store_);
    if (MASKED) totals_.resize(columns + 64);
    const std::int32_t ya = out_.window().y() - src_.window().y(), yb = ya + out_.height();
    for (std::int32_t y0 = ya; y0 < yb; y0 += kRows)
      for (Strip& t : strips) {
        // A strip starts in the band centred on the median of its middle pel.
        if (y0 == ya)
          t.lo = bandStart(medianAt((t.xs + t.xe) / 2, ya, [](unsigned char v) { return v; }) - (kLanes - 2) / 2);
        for (std::int32_t y = y0; y < std::min(y0 + kRows, yb); ++y)
          if (!filterRow(t, counts + t.offset * kLanes, MASKED ? totals_.data() + t.offset : nullptr, y)) {
            // The histogram engine takes the rest of the image from this
            // block of rows on, in strips of its own, wider (strips left
            // here to the histogram engine one by one would each cost it
            // their overlap: up to 15 % more than the whole image).
            histogramRest(xa, xb, y0);
            return;
          }
      }
  }

private:
  // Output row y of strip t, whose counts are at counts (and set pels, with
  // MASKED, at totals).
  bool filterRow(Strip& t, std::uint8_t* counts, std::uint8_t* totals, std::int32_t y) {
    const std::int32_t ya = out_.window().y() - src_.window().y();
    Row r;
    r.xs = t.xs;
    r.xe = t.xe;
    r.first = t.first;
    r.w = w_;
    r.rx = rx_;
    r.k = k_;
    r.narrow = 2 * ry_ + 1 <= 127;
    r.counts = counts;
    r.out = out_.row(y - ya) - (out_.window().x() - src_.window().x());
    // The rows leaving and entering the window (none when both clamp to the same edge row).
    r.leaving = srcRow(y - ry_ - 1);
    r.entering = srcRow(y + ry_);
    r.leavingMask = maskRow(y - ry_ - 1);
    r.enteringMask = maskRow(y + ry_);
    r.totals = totals;
    if (MASKED) {
      extremes_.resize(2 * std::size_t(t.xe - t.xs));
      r.lowestAt = extremes_.data();
      r.highestAt = extremes_.data() + (t.xe - t.xs);
    }
    r.own = srcRow(y);
    r.low = p_.range.x();
    r.high = p_.range.y();
    r.average = p_.averageMiddles;
    bool update = !t.fresh && r.leaving != r.entering;
    for (int attempt = 0;; ++attempt) {
      if (t.fresh) {
        // Counts made afresh cost a row update per window row: where the
        // band moves so often that this outweighs the rows themselves (wide
        // spreads of medians over noise), the histogram engine is cheaper.
        // (The strip's first row, placed from one pel's median, is not counted.)
        // Counts held in a band that overlaps the new one keep the shared
        // levels (the first attempt's are the rows of row y - 1's window,
        // moved down below; a later attempt's row y's).
        const bool held = t.counted >= 0 && std::abs(t.lo - t.counted) < kLanes;
        const std::pair<int, int> lanes = held ? freshLanes(t.lo - t.counted) : std::pair<int, int>(0, kLanes);
        if (t.rows > 0) t.built += (2 * ry_ + 1) * (lanes.second - lanes.first) / kLanes;
        if (overBudget(t.built, t.rows, 2 * ry_ + 1)) return false;
        const std::int32_t rowsOf = held && attempt == 0 ? y - 1 : y;
        build(t, counts, totals, rowsOf, held ? t.lo - t.counted : kLanes, lanes);
        update = rowsOf != y && r.leaving != r.entering;
        t.counted = t.lo;
      }
      t.fresh = false;
      r.below = t.lo - 1;
      r.steps = steps(t.lo);
      // (Bounds in locals: the compiler cannot tell that t is not among the pels.)
      const std::int32_t xs = t.xs, xe = t.xe;
      int lowest = 255, highest = 0;
      if (MASKED) {
        // The lowest and highest count of band levels at most a rank, 0
        // a median below the band and 32 one above it (none: no set pels).
        if (update) updateMasked(r, t.last);
        const std::pair<int, int> range = r.narrow ? filterRowMasked<true>(r) : filterRowMasked<false>(r);
        if (range.first > range.second) {
          lowest = highest = t.lo + (kLanes - 2) / 2;
        } else {
          lowest = r.below + range.first;
          highest = r.below + range.second;
        }
      } else {
        update ? filterRow<true>(r) : filterRow<false>(r);
        // Medians outside lo .. lo + 30 are lo - 1 (below the band) or
        // lo + 31 (above it) in the row.
        const unsigned char* o = r.out;
        unsigned char least = 255, most = 0;
        for (std::int32_t x = xs; x < xe; ++x) {
          least = std::min(least, o[x]);
          most = std::max(most, o[x]);
        }
        lowest = least;
        highest = most;
      }
      update = false;
      const bool below = lowest < t.lo;
      const bool above = highest > t.lo + kLanes - 2;
      if (!below && !above) {
        const int to = followBand(t.lo, lowest, highest);
        t.fresh = to != t.lo;
        t.lo = to;
        ++t.rows;
        if (!MASKED) {  // (the masked row is clamped as it is made)
          const unsigned char low = (unsigned char)p_.range.x(), high = (unsigned char)p_.range.y();
          unsigned char* w = r.out;
          for (std::int32_t x = xs; x < xe; ++x) w[x] = std::min(std::max(w[x], low), high);
        }
        return true;
      }
      if ((below && above) || attempt == 8) return false;
      t.lo = refitBand(below, lowest, highest);
      t.fresh = true;
    }
  }

  // What value v adds to a column's counts in the band starting at lo:
  // ones in the lanes of the band's levels above v; row v of the result.
  // (Row 256: nothing, for pels the mask leaves out.)
  const std::uint8_t (*steps(int lo))[kLanes] {
    if (lo != stepsLo_) {
      for (int v = 0; v < 257; ++v)
        for (int i = 0; i < kLanes; ++i) steps_[v][i] = std::uint8_t(v < lo + i && v < 256 ? 1 : 0);
      stepsLo_ = lo;
    }
    return steps_;
  }

  // The lanes of band levels a move of the band by shift levels (under
  // kLanes either way) brings in, in groups of eight: the top ones going
  // up, the bottom ones going down.
  static std::pair<int, int> freshLanes(int shift) {
    return shift > 0 ? std::pair<int, int>((kLanes - shift) & ~7, kLanes) : std::pair<int, int>(0, (7 - shift) & ~7);
  }

  // Strip t's column counts in its band for the window of output row y:
  // those of band levels lanes.first .. lanes.second - 1 afresh, the others
  // (with shift under kLanes) those of the counts held in the band shift
  // levels below, for the same window rows.  32 columns at a time, how many
  // of each one's window values are at least each band level counted afresh
  // (one comparison of 32 values per level and window row, the levels eight
  // at a time in registers), and the held counts turned round beside them,
  // then all turned back into the columns' counts; the last columns one by
  // one, all afresh.  (Column by column, a window row cost a table read and
  // a read, add and write of the column's counts per value: 0.33 ns/pel at
  // 201 x 201 on 2048².  Keeping the held levels halves the counting of a
  // band following its medians, which moves about ten levels.)
  // With MASKED a pel the mask leaves out counts as 255 (at least every
  // level but 256), and totals has (held) or gets each column's set pels.
  void build(const Strip& t, std::uint8_t* counts, std::uint8_t* totals, std::int32_t y, int shift,
             std::pair<int, int> lanes) {
    const std::int32_t n = t.last - t.first + 1, nRows = 2 * ry_ + 1;
    const bool held = shift < kLanes;
    rows_.clear();
    masks_.clear();
    for (std::int32_t j = y - ry_; j <= y + ry_; ++j) {
      rows_.push_back(srcRow(j) + t.first);
      masks_.push_back(MASKED ? maskRow(j) + t.first : nullptr);
    }
    const __m256i zero = _mm256_setzero_si256();
    std::int32_t i = 0;
    for (; i + 32 <= n; i += 32) {
      alignas(32) std::uint8_t below[kLanes][32];  // [band level][column]
      __m256i all = _mm256_set1_epi8(char(nRows));  // below level 256: every value (set)
      if (held) {
        alignas(32) std::uint8_t before[kLanes][32];  // the held counts, [band level][column]
        for (int c = 0; c < 32; c += 16)
          for (int l = 0; l < kLanes; l += 16)
            transpose16(counts + std::ptrdiff_t(i + c) * kLanes + l, kLanes, &before[l][c]);
        for (int l = 0; l < kLanes; ++l)
          if (l < lanes.first || l >= lanes.second)
            _mm256_store_si256(reinterpret_cast<__m256i*>(below[l]), load(before[l + shift]));
        if (MASKED) all = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(totals + i));
      }
      for (int g = lanes.first; g < lanes.second; g += 8) {
        __m256i atLeast[8], level[8], out = zero;
        for (int q = 0; q < 8; ++q) {
          atLeast[q] = zero;
          level[q] = _mm256_set1_epi8(char(std::min(t.lo + g + q, 255)));
        }
        for (std::int32_t j = 0; j < nRows; ++j) {
          __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows_[std::size_t(j)] + i));
          if (MASKED) {
            const __m256i left = _mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(masks_[std::size_t(j)] + i)), zero);
            v = _mm256_or_si256(v, left);
            if (g == lanes.first && !held) out = _mm256_sub_epi8(out, left);  // the set pels, once
          }
          for (int q = 0; q < 8; ++q)
            atLeast[q] = _mm256_sub_epi8(atLeast[q], _mm256_cmpeq_epi8(_mm256_max_epu8(v, level[q]), v));
        }
        if (MASKED && g == lanes.first && !held) all = _mm256_sub_epi8(_mm256_set1_epi8(char(nRows)), out);
        for (int q = 0; q < 8; ++q)
          _mm256_store_si256(reinterpret_cast<__m256i*>(below[g + q]),
                             t.lo + g + q > 255 ? all : _mm256_sub_epi8(_mm256_set1_epi8(char(nRows)), atLeast[q]));
      }
      if (MASKED) _mm256_storeu_si256(reinterpret_cast<__m256i*>(totals + i), all);
      for (int c = 0; c < 32; c += 16)
        for (int l = 0; l < kLanes; l += 16) transpose16(&below[l][c], 32, counts + std::ptrdiff_t(i + c) * kLanes + l);
    }
    const std::uint8_t(*const step)[kLanes] = steps(t.lo);
    std::fill(counts + std::ptrdiff_t(i) * kLanes, counts + std::ptrdiff_t(n) * kLanes, std::uint8_t(0));
    if (MASKED) std::fill(totals + i, totals + n, std::uint8_t(0));
    for (std::int32_t j = 0; j < nRows; ++j) {
      const unsigned char* s = rows_[std::size_t(j)];
      const unsigned char* m = masks_[std::size_t(j)];
      std::uint8_t* c = counts + std::ptrdiff_t(i) * kLanes;
      for (std::int32_t x = i; x < n; ++x, c += kLanes) {
        __m256i* v = reinterpret_cast<__m256i*>(c);
        const bool set = !MASKED || m[x] != 0;
        _mm256_store_si256(v, _mm256_add_epi8(_mm256_load_si256(v), load(step[set ? s[x] : 256])));
        if (MASKED) totals[x] = std::uint8_t(totals[x] + set);
      }
    }
  }

  // The 16 x 16 bytes at in (rows stride bytes apart) turned round into
  // the 16 columns' counts at out (kLanes bytes apart): four rounds of
  // interleaving row k with row k + 8.
  static void transpose16(const std::uint8_t* in, std::ptrdiff_t stride, std::uint8_t* out) {
    __m128i r[16], s[16];
    for (int k = 0; k < 16; ++k) r[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(in + k * stride));
    for (int round = 0; round < 4; ++round) {
      for (int k = 0; k < 8; ++k) {
        s[2 * k] = _mm_unpacklo_epi8(r[k], r[k + 8]);
        s[2 * k + 1] = _mm_unpackhi_epi8(r[k], r[k + 8]);
      }
      for (int k = 0; k < 16; ++k) r[k] = s[k];
    }
    for (int k = 0; k < 16; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(out + k * kLanes), r[k]);
  }

  static __m256i load(const std::uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }

  // One output row of a strip: what filterRow needs, in one place.
  struct Row {
    std::int32_t xs, xe, first, w, rx, k;
    int below;             // lo - 1
    bool narrow;           // counts of at most 127
    std::uint8_t* counts;  // column c's at (c - first) * kLanes
    const std::uint8_t (*steps)[kLanes];
    const unsigned char* leaving;   // the source rows leaving and entering the
    const unsigned char* entering;  // window (column 0), when UPDATE
    unsigned char* out;             // the output row at source column 0
    // With MASKED: the masks of the leaving and entering rows, the columns'
    // set pels (as counts), the pels' own row, the range and averaging.
    const unsigned char *leavingMask, *enteringMask;
    std::uint8_t* totals;
    std::uint8_t *lowestAt, *highestAt;  // the row's pels' counts of band levels
    const unsigned char* own;
    int low, high;
    bool average;
  };

  // The medians of one output row over the strip, as the band gives them;
  // with UPDATE the columns' counts are first moved down a row, each just
  // before the window first takes it.  (A function of its own with its
  // state in locals, so that the compiler keeps the window in a register.)
  template <bool UPDATE>
  __attribute__((noinline)) static void filterRow(const Row& r) {
    const std::int32_t xs = r.xs, xe = r.xe, first = r.first, w = r.w, rx = r.rx;
    std::uint8_t* const counts = r.counts;
    const std::uint8_t(*const steps)[kLanes] = r.steps;
    const unsigned char* const l = r.leaving;
    const unsigned char* const e = r.entering;
    unsigned char* const o = r.out;
    const int below = r.below;
    // Column c's counts moved down a row; returned.
    auto update = [=](std::int32_t c) __attribute__((always_inline)) {
      __m256i* v = reinterpret_cast<__m256i*>(counts + std::ptrdiff_t(c - first) * kLanes);
      const __m256i n = _mm256_add_epi8(_mm256_sub_epi8(_mm256_load_si256(v), load(steps[l[c]])), load(steps[e[c]]));
      _mm256_store_si256(v, n);
      return n;
    };
    auto column = [=](std::int32_t c) {
      c = c < 0 ? 0 : (c > w - 1 ? w - 1 : c);
      return load(counts + std::ptrdiff_t(c - first) * kLanes);
    };
    const typename W::Window kk = W::splat(r.k);
    auto median = [&](std::int32_t x, const typename W::Window& window) __attribute__((always_inline)) {
      o[x] = (unsigned char)(below + W::atMost(window, kk));
    };
    // The columns of the first window, then its sum.
    const std::int32_t firstEnd = std::min(xs + rx, w - 1);
    if (UPDATE)
      for (std::int32_t c = first; c <= firstEnd; ++c) update(c);
    typename W::Window window = W::zero();
    for (std::int32_t c = xs - rx; c <= xs + rx; ++c) window = W::add(window, column(c));
    median(xs, window);
    // Pels whose entering and leaving columns both lie in the row step by
    // pointers; the others clamp (the entering column, when it lies in the
    // row, is moved down first).
    const std::int32_t interior = std::min(std::max(rx + 1, xs + 1), xe);
    const std::int32_t interiorEnd = std::min(std::max(w - rx, interior), xe);
    auto edge = [&](std::int32_t x) __attribute__((always_inline)) {
      const __m256i in = UPDATE && x + rx <= w - 1 ? update(x + rx) : column(x + rx);
      window = W::step(window, in, column(x - rx - 1));
      median(x, window);
    };
    std::int32_t x = xs + 1;
    for (; x < interior; ++x) edge(x);
    const std::ptrdiff_t span = std::ptrdiff_t(2 * rx + 1) * kLanes;
    const std::uint8_t* in = counts + (std::ptrdiff_t(x) + rx - first) * kLanes;
    if (r.narrow) {
      // Counts of at most 127: a column's change fits a signed byte, widened once.
      for (; x < interiorEnd; ++x, in += kLanes) {
        const __m256i enter = UPDATE ? update(x + rx) : load(in);
        window = W::stepNarrow(window, enter, load(in - span));
        median(x, window);
      }
    } else {
      for (; x < interiorEnd; ++x, in += kLanes) {
        const __m256i enter = UPDATE ? update(x + rx) : load(in);
        window = W::step(window, enter, load(in - span));
        median(x, window);
      }
    }
    for (; x < xe; ++x) edge(x);
  }

  // The masked row's columns first .. last moved down a row, in a pass of
  // their own: fused into the walk as without a mask, the walk's many
  // pointers and flags would not fit the registers.
  __attribute__((noinline)) static void updateMasked(const Row& r, std::int32_t last) {
    const std::int32_t first = r.first;
    std::uint8_t* const counts = r.counts;
    std::uint8_t* const totals = r.totals;
    const std::uint8_t(*const steps)[kLanes] = r.steps;
    const unsigned char* const l = r.leaving;
    const unsigned char* const e = r.entering;
    const unsigned char* const lm = r.leavingMask;
    const unsigned char* const em = r.enteringMask;
    for (std::int32_t c = first; c <= last; ++c) {
      const std::ptrdiff_t i = c - first;
      __m256i* v = reinterpret_cast<__m256i*>(counts + i * kLanes);
      // (Values read first, then chosen: a choice of loads is a branch,
      // which random masks mispredict.)
      const unsigned out = lm[c] != 0, in = em[c] != 0, lv = l[c], ev = e[c];
      _mm256_store_si256(v, _mm256_add_epi8(_mm256_sub_epi8(_mm256_load_si256(v), load(steps[out ? lv : 256u])),
                                            load(steps[in ? ev : 256u])));
      totals[i] = std::uint8_t(totals[i] - out + in);
    }
  }

  // The masked row (as filterRow, the pels clamped and middles averaged),
  // its columns moved down beforehand (updateMasked); returns the lowest
  // and highest count of band levels at most a set pel's rank (lowest
  // above highest when no window holds set pels).
  template <bool NARROW>
  __attribute__((noinline)) static std::pair<int, int> filterRowMasked(const Row& r) {
    const std::int32_t xs = r.xs, xe = r.xe, first = r.first, w = r.w, rx = r.rx;
    const std::uint8_t* const counts = r.counts;
    const std::uint8_t* const totals = r.totals;
    const unsigned char* const own = r.own;
    unsigned char* const o = r.out;
    const int below = r.below, low = r.low, high = r.high;
    auto clamp = [=](int v) { return v < low ? low : (v > high ? high : v); };
    auto at = [=](std::int32_t c) { return std::ptrdiff_t((c < 0 ? 0 : (c > w - 1 ? w - 1 : c)) - first); };
    // The walk keeps each pel's two middles' counts of band levels (255 and
    // 0 for a window without set pels); the pels are made from them after
    // the row (kept in registers the row's extremes would be spilled and
    // reloaded at every pel).  Both middles are taken without a branch (an
    // even count's comes and goes at random near the mask's edges); for an
    // odd count they are one.
    std::uint8_t* const lowestAt = r.lowestAt;
    std::uint8_t* const highestAt = r.highestAt;
    const std::uint32_t even = r.average ? 1u : 0u;
    auto median = [&](std::int32_t x, const typename W::Window& window, std::int32_t n) __attribute__((always_inline)) {
      const int a = W::atMost(window, W::splat((n - 1) >> 1));
      const int upper = W::atMost(window, W::splat(((n - 1) >> 1) + 1));
      const int b = (~std::uint32_t(n) & even) != 0 ? upper : a;
      lowestAt[x - xs] = std::uint8_t(n == 0 ? 255 : a);
      highestAt[x - xs] = std::uint8_t(n == 0 ? 0 : b);
    };
    typename W::Window window = W::zero();
    std::int32_t n = 0;
    for (std::int32_t c = xs - rx; c <= xs + rx; ++c) {
      window = W::add(window, load(counts + at(c) * kLanes));
      n += totals[at(c)];
    }
    median(xs, window, n);
    auto pel = [&](std::int32_t x, std::ptrdiff_t enter, std::ptrdiff_t leave) __attribute__((always_inline)) {
      const __m256i in = load(counts + enter * kLanes), out = load(counts + leave * kLanes);
      window = NARROW ? W::stepNarrow(window, in, out) : W::step(window, in, out);
      n += std::int32_t(totals[enter]) - std::int32_t(totals[leave]);
      median(x, window, n);
    };
    // As in filterRow: the pels whose columns lie in the row by index, the others clamped.
    const std::int32_t interior = std::min(std::max(rx + 1, xs + 1), xe);
    const std::int32_t interiorEnd = std::min(std::max(w - rx, interior), xe);
    std::int32_t x = xs + 1;
    for (; x < interior; ++x) pel(x, at(x + rx), at(x - rx - 1));
    for (; x < interiorEnd; ++x) pel(x, x + rx - first, x - rx - 1 - first);
    for (; x < xe; ++x) pel(x, at(x + rx), at(x - rx - 1));
    std::uint8_t lowest = 255, highest = 0;
    for (std::int32_t i = 0; i < xe - xs; ++i) {
      lowest = std::min(lowest, lowestAt[i]);
      highest = std::max(highest, highestAt[i]);
      // The pel: its own (clamped) without set pels, else the middles'
      // levels clamped and averaged upwards.
      const int ca = clamp(below + lowestAt[i]), cb = clamp(below + highestAt[i]);
      o[xs + i] = (unsigned char)(lowestAt[i] == 255 ? clamp(own[xs + i]) : (ca + cb + 1) >> 1);
    }
    return {lowest, highest};
  }

  // Output rows y .. over source columns xs .. xe - 1 by the histogram engine.
  void histogramRest(std::int32_t xs, std::int32_t xe, std::int32_t y) {
    const mxPelRect& s = src_.window();
    mxPelBuffer<unsigned char> rest = out_;
    rest.window(mxPelRect(s.x() + xs, s.y() + y, xe - xs, out_.window().y() + out_.height() - (s.y() + y)));
    runStrips<V, MASKED>(src_, mask_, p_, rest);
  }

  std::vector<std::uint8_t> store_;  // the strips' column counts
  std::vector<const unsigned char*> rows_, masks_;  // a build's window rows and their masks
  std::vector<std::uint8_t> totals_;                // the strips' columns' set pels, with MASKED
  std::vector<std::uint8_t> extremes_;              // a masked row's pels' counts of band levels
  int stepsLo_ = -1;                 // the band of steps_
  alignas(64) std::uint8_t steps_[257][kLanes];
};

// Runs a counting engine over src's window into out where it takes the
// window, Plain without a mask and Masked with one, else whatever
// fallback() does.
template <class Plain, class Masked, class T, class F>
void countOr(const mxPelBuffer_const<T>& src, const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& p,
             const mxPelBuffer<T>& out, F fallback) {
  if (!Plain::takes(p))
    fallback();
  else if (mask.isBound())
    Masked(src, mask, p, out).run();
  else
    Plain(src, mask, p, out).run();
}

// The filter over src's window into out (as filter): by counting where the
// counting engine takes the window (at most 255 rows), else by the
// histogram engine.
template <class W, class V>
void filterCounting(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                    const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& out) {
  countOr<BandMedian<W, V>, BandMedian<W, V, true>>(src, mask, p, out, [&] { filter<V>(src, mask, p, out); });
}

}  // namespace mxmedian

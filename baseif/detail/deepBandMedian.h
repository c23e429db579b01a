// The 16-bit median of 9 to 12 significant bits by counting in bands, written
// once over the 8-bit counting engine's window policy W (see
// baseif/detail/bandMedian.h; here also W::Lane, a lane's index as
// W::broadcast(w, W::lane(i)) takes it, which gives lane i of w in all 16
// lanes of a 256-bit register) and the
// 16-bit engine's counter policy V (see baseif/detail/deepMedianEngine.h),
// to which it hands over; compiled in the AVX2 and AVX-512 translation
// units, each with policies of its own.
//
// Internal to the library.  The includer includes <immintrin.h> and the
// standard headers used here and switches its target on before this header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "baseif/detail/bandMedian.h"
#include "baseif/detail/deepMedianEngine.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

namespace mxdeepmedian {

// The filter for value ranges of 256 to 4095 levels (after
// clamping) and windows of at most 255 rows.  A value v splits into its
// coarse level v >> s (0 .. 255, s = 1 .. 4 from the range's width) and its
// fine level v & (2^s - 1).  The median's coarse level is the median of the
// coarse levels, which the 8-bit counting engine finds in a band of 32
// coarse levels lo .. lo + 31 (see mxmedian::BandMedian): each source column
// keeps the counts of its window rows' coarse levels below each band level.
// Each column also keeps, for each of the band's coarse levels lo .. lo + 30,
// how many of its values at that coarse level have a fine level of at most
// i (i = 0 .. 15), in 16 bytes.  A pel whose median has coarse level
// lo + b then needs the window's sums of bin b alone: they step along with
// the window while the medians stay in the bin, and a bin taken up again is
// brought up from where it was left (or summed afresh over the window).
// With the count of values below the bin (lane b of the band's counts), one
// comparison of 16 lanes gives the fine level.  The band moves and the
// filter hands over to the 16-bit histogram engine as the 8-bit engine does;
// values outside the band's bins go to a 32nd bin that is never read.  The column
// store, about 544 bytes a column, stays in the level-2 cache over strips of
// about 8 window radii, where the histogram engine keeps 8.7 KB a column.
//
// With SCAN (value ranges of 4096 levels and more) a coarse level
// holds 32 to 256 fine levels, too many for a column's byte counts in each
// bin: each column keeps its window rows' coarse and fine levels instead
// (two bytes a row, the entering row in the leaving one's place), and the
// window's counts of the median's bin, level by level with the running sums
// of their 16 groups of 16 levels in a register, step by the values of the
// entering and leaving columns that lie in the bin, found by comparing 32
// rows' coarse levels at a time (values that also share one fine level, as
// in a coarsely quantised image, counted at once).  A bin taken up again is
// stepped from where the row left it, or from the nearest place where the
// row above took it up, moved down a row by the column update's values; only
// else is it counted afresh over the window.  Over differences with noise in
// every bit the 16-bit median at 101 x 101 took 81-84 ns/pel against 270-370
// for the histogram engine (2048 x 1024, AVX2); with MASKED, where pels left
// out are stored at a coarse level outside the band, which no bin takes,
// 81-111 against 280-342.
//
// With MASKED only the mask's set pels count, as in mxmedian::BandMedian:
// each column keeps its set pels too, each pel's rank comes from its
// window's total, an even count averages the two middles (the upper one
// from the next bin up when it lies there) and a window without set pels
// keeps the pel's own value.
template <class W, class V, bool MASKED = false, bool SCAN = false>
class DeepBandMedian : private mxmedian::BandSource<unsigned short> {
public:
  static constexpr int kLanes = 32;
  static constexpr int kBins = 32;  // the band's 31 bins, then one for the values outside them
  static constexpr std::int32_t kRows = 32;

  static bool takes(const mxPelMedianParams& p) {
    const std::int32_t span = p.range.y() - p.range.x();
    return p.size.y() <= 255 && span >= 256 && (SCAN ? span >= 4096 : span < 4096);
  }

  // mask, with MASKED, is a buffer whose window contains src's.
  DeepBandMedian(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                 const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out)
      : BandSource(src, mask, p, out),
        low_(std::uint32_t(p.range.x())),
        high_(std::uint32_t(p.range.y())),
        shift_(32 - __builtin_clz(std::uint32_t(p.range.y() - p.range.x())) - 8),
        ring_(2 * ry_ + 1 <= 63    ? 64
              : 2 * ry_ + 1 <= 127 ? 128
                                   : 256) {
    for (int f = 0; f < 16; ++f)
      for (int i = 0; i < 16; ++i) {
        fine_[f][i] = std::uint8_t(i >= f ? 1 : 0);
        groups_[f][i] = std::uint16_t(i >= f ? 1 : 0);
      }
  }

  void run() {
    if (w_ <= 0 || h_ <= 0) return;
    std::size_t columns = 0;
    // Strips of about 8 window radii: with 12 (as the 8-bit engine) the
    // 12-bit median at 201 x 201 on 2048² took 11.7 ns/pel against 9.9.
    std::vector<Strip> strips = mxmedian::layStrips(0, w_, w_, rx_, 8, columns);
    // Coarse counts, column by column; then each strip's bins, bin by bin
    // (so that a bin's columns lie side by side), 16 bytes a column, or
    // with SCAN each column's window rows, coarse levels then fine ones.
    store_.resize(columns * (kLanes + fineBytes()) + 64);
    std::int32_t widest = 0;
    for (const Strip& t : strips) widest = std::max(widest, t.last - t.first + 1);
    scratch_.resize(2 * std::size_t(widest));
    if (MASKED) totals_.resize(columns);
    if (SCAN) {
      snaps_.resize(strips.size());
      for (Snaps& s : snaps_) s.row[0] = s.row[1] = kNever;
    }
    std::uint8_t* const base = mxmedian::aligned64(store_);
    for (std::int32_t y0 = 0; y0 < h_; y0 += kRows)
      for (Strip& t : strips) {
        Snaps* snaps = SCAN ? &snaps_[std::size_t(&t - strips.data())] : nullptr;
        if (y0 == 0) {  // in the band centred on the coarse median of the strip's middle pel
          const int c = medianAt((t.xs + t.xe) / 2, 0, [this](unsigned short v) { return value(v) >> shift_; });
          t.lo = mxmedian::bandStart(c - (kLanes - 2) / 2);
        }
        std::uint8_t* coarse = base + t.offset * kLanes;
        std::uint8_t* bins = base + columns * kLanes + t.offset * fineBytes();
        std::uint8_t* totals = MASKED ? totals_.data() + t.offset : nullptr;
        for (std::int32_t y = y0; y < std::min(y0 + kRows, h_); ++y)
          if (!filterRow(t, coarse, bins, totals, snaps, y)) {
            deepFilter<V>(src_, mask_, p_, out_, y0);
            return;
          }
      }
  }

private:
  using Strip = mxmedian::Strip;

  static constexpr std::int32_t kNever = -(1 << 30);

  // With SCAN, a strip's bins' counts where a row took them up (up to
  // kAnchors a row), for the next row to start from: the bins a row's
  // medians pass through are mostly those of the row above, at about the
  // same pels.  Two rows' worth, by the rows' parity.
  static constexpr int kAnchors = 48;
  struct Anchor {
    alignas(32) std::uint16_t counts[256];
    alignas(32) std::uint16_t groups[16];
    std::int32_t x, bin;
  };
  struct Snaps {
    Anchor anchors[2][kAnchors];
    std::int32_t count[2] = {0, 0};
    std::int32_t row[2] = {kNever, kNever};  // the output row each half is for (kNever: none)
  };

  std::uint32_t value(std::uint32_t v) const { return (v < low_ ? low_ : (v > high_ ? high_ : v)) - low_; }

  // The band's tables for its first level lo: what a coarse level adds to
  // a column's coarse counts, and the bin it falls in (coarse level 256:
  // nothing, the last bin, for pels the mask leaves out).
  void tables(int lo) {
    if (lo == tablesLo_) return;
    for (int v = 0; v < 257; ++v) {
      for (int i = 0; i < kLanes; ++i) steps_[v][i] = std::uint8_t(v < lo + i && v < 256 ? 1 : 0);
      bin_[v] = v >= lo && v <= lo + kLanes - 2 ? v - lo : kBins - 1;
    }
    tablesLo_ = lo;
  }

  // A column's fine store: with SCAN its window rows' coarse levels, then
  // their fine levels, ring_ bytes each (row j at j mod the window's rows).
  std::size_t fineBytes() const { return SCAN ? 2 * std::size_t(ring_) : kBins * 16; }
  // With SCAN and MASKED, the coarse level stored for a pel the mask leaves
  // out: one the band's bins never take (they are made afresh whenever the
  // band moves).
  std::uint8_t sentinel() const { return std::uint8_t(tablesLo_ + kLanes - 1); }
  std::int32_t slot(std::int32_t j) const { return ((j % (2 * ry_ + 1)) + (2 * ry_ + 1)) % (2 * ry_ + 1); }

  // Value v of window row j into column i (of n) of the counts.
  void add(std::uint8_t* coarse, std::uint8_t* bins, std::int32_t n, std::int32_t i, std::uint32_t v,
           std::int32_t j) const {
    const std::uint32_t c = v >> shift_;
    __m256i* a = reinterpret_cast<__m256i*>(coarse + std::ptrdiff_t(i) * kLanes);
    _mm256_store_si256(a, _mm256_add_epi8(_mm256_load_si256(a), load32(steps_[c])));
    if (SCAN) {
      std::uint8_t* r = bins + std::ptrdiff_t(i) * 2 * ring_ + slot(j);
      r[0] = std::uint8_t(c);
      r[ring_] = std::uint8_t(v & mask());
      return;
    }
    __m128i* f = reinterpret_cast<__m128i*>(bins + (std::ptrdiff_t(bin_[c]) * n + i) * 16);
    _mm_store_si128(f, _mm_add_epi8(_mm_load_si128(f), load16(fine_[v & mask()])));
  }
  static __m256i load32(const std::uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
  static __m128i load16(const std::uint8_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
  std::uint32_t mask() const { return (1u << shift_) - 1; }

  // Strip t's counts for output row y, afresh.
  void build(const Strip& t, std::uint8_t* coarse, std::uint8_t* bins, std::uint8_t* totals, std::int32_t y) {
    const std::int32_t n = t.last - t.first + 1;
    std::fill(coarse, coarse + std::ptrdiff_t(n) * kLanes, std::uint8_t(0));
    std::fill(bins, bins + std::ptrdiff_t(n) * std::ptrdiff_t(fineBytes()), std::uint8_t(0));
    if (MASKED) std::fill(totals, totals + n, std::uint8_t(0));
    for (std::int32_t j = y - ry_; j <= y + ry_; ++j) {
      const unsigned short* s = srcRow(j) + t.first;
      const unsigned char* m = MASKED ? maskRow(j) + t.first : nullptr;
      for (std::int32_t i = 0; i < n; ++i)
        if (!MASKED || m[i] != 0) {
          add(coarse, bins, n, i, value(s[i]), j);
          if (MASKED) ++totals[i];
        } else if (SCAN) {
          bins[std::ptrdiff_t(i) * 2 * ring_ + slot(j)] = sentinel();
        }
    }
  }

  // Output row y of strip t, as BandMedian::filterRow.
  bool filterRow(Strip& t, std::uint8_t* coarse, std::uint8_t* bins, std::uint8_t* totals, Snaps* snaps,
                 std::int32_t y) {
    const unsigned short* leaving = srcRow(y - ry_ - 1);
    const unsigned short* entering = srcRow(y + ry_);
    const unsigned char* leavingMask = MASKED ? maskRow(y - ry_ - 1) + t.first : nullptr;
    const unsigned char* enteringMask = MASKED ? maskRow(y + ry_) + t.first : nullptr;
    bool update = !t.fresh && leaving != entering;
    const std::int32_t n = t.last - t.first + 1;
    for (int attempt = 0;; ++attempt) {
      tables(t.lo);
      if (t.fresh) {
        if (t.rows > 0) t.built += 2 * ry_ + 1;
        if (mxmedian::overBudget(t.built, t.rows, 2 * ry_ + 1)) return false;
        build(t, coarse, bins, totals, y);
        if (SCAN) snaps->row[0] = snaps->row[1] = kNever;
      } else if (update) {
        updateColumns({leaving + t.first, entering + t.first, leavingMask, enteringMask, coarse, bins, totals, n, low_,
                       high_, shift_, steps_, bin_, fine_, scratch_.data(), slot(y + ry_), ring_, sentinel()});
      }
      const bool moved = update;
      t.fresh = false;
      update = false;
      Row r{t.xs,
            t.xe,
            t.first,
            w_,
            rx_,
            k_,
            t.lo,
            shift_,
            low_,
            high_,
            n,
            coarse,
            bins,
            totals,
            srcRow(y),
            p_.averageMiddles,
            out_.row(y),
            ring_,
            2 * ry_ + 1,
            groups_,
            y,
            moved,
            scratch_.data(),
            snaps};
      // The lowest and highest count of band levels at most a rank: 0 is a
      // median below the band, 32 one above it (lowest above highest: no
      // window with set pels).
      const std::pair<int, int> range =
          SCAN ? filterRowScan(r) : (2 * ry_ + 1 <= 127 ? filterRow<true>(r) : filterRow<false>(r));
      const bool none = range.first > range.second;
      const int lowest = none ? t.lo + 15 : t.lo - 1 + range.first, highest = none ? lowest : t.lo - 1 + range.second;
      const bool below = !none && range.first == 0, above = !none && range.second == kLanes;
      if (!below && !above) {
        const int to = mxmedian::followBand(t.lo, lowest, highest);
        t.fresh = to != t.lo;
        t.lo = to;
        ++t.rows;
        return true;
      }
      if ((below && above) || attempt == 8) return false;
      t.lo = mxmedian::refitBand(below, lowest, highest);
      t.fresh = true;
    }
  }

  // What a row's column update needs, in one place.
  struct Update {
    const unsigned short *leaving, *entering;  // at the strip's first column
    const unsigned char *leavingMask, *enteringMask;  // the same, with MASKED
    std::uint8_t* coarse;
    std::uint8_t* bins;
    std::uint8_t* totals;  // with MASKED
    std::int32_t n;
    std::uint32_t low, high;
    int shift;
    const std::uint8_t (*steps)[kLanes];
    const int* bin;
    const std::uint8_t (*fine)[16];
    std::uint16_t* scratch;  // 2 n values
    std::int32_t slot, ring;  // with SCAN: the entering row's place in the columns' rows, and their length
    std::uint8_t sentinel;    // with SCAN and MASKED: the coarse level of pels left out
  };

  // Column i's coarse counts with a value of coarse level cl leaving and
  // one of ce entering (256: none).
  static void stepCoarse(std::uint8_t* coarse, const std::uint8_t (*steps)[kLanes], std::int32_t i, std::uint32_t cl,
                         std::uint32_t ce) {
    __m256i* a = reinterpret_cast<__m256i*>(coarse + std::ptrdiff_t(i) * kLanes);
    _mm256_store_si256(a, _mm256_add_epi8(_mm256_sub_epi8(_mm256_load_si256(a), load32(steps[cl])), load32(steps[ce])));
  }

  // The strip's columns moved down a row.  (A function of its own with its
  // state in locals: the compiler would otherwise reload the members after
  // every store to the counts.)
  __attribute__((noinline)) static void updateColumns(const Update& u) {
    const unsigned short* const l = u.leaving;
    const unsigned short* const e = u.entering;
    std::uint8_t* const coarse = u.coarse;
    std::uint8_t* const bins = u.bins;
    const std::int32_t n = u.n;
    const std::ptrdiff_t binStride = std::ptrdiff_t(n) * 16;
    const std::uint32_t low = u.low, high = u.high, m = (1u << u.shift) - 1;
    const int shift = u.shift;
    const std::uint8_t(*const steps)[kLanes] = u.steps;
    const int* const bin = u.bin;
    const std::uint8_t(*const fine)[16] = u.fine;
    // Both rows' values clamped first, 16 or 32 to an instruction; pels
    // the mask leaves out as coarse level 256 (nothing, the last bin).
    std::uint16_t* const cv = u.scratch;
    const std::uint16_t lo16 = std::uint16_t(low), hi16 = std::uint16_t(high), out16 = std::uint16_t(256u << shift);
    for (std::int32_t i = 0; i < n; ++i) cv[i] = std::uint16_t(std::min(std::max(l[i], lo16), hi16) - lo16);
    for (std::int32_t i = 0; i < n; ++i) cv[n + i] = std::uint16_t(std::min(std::max(e[i], lo16), hi16) - lo16);
    if (SCAN) {
      // Pels left out add nothing to the coarse counts and take the
      // sentinel's coarse level in the columns' rows and in cv (which
      // moving a bin down a row reads).
      const std::uint16_t none = std::uint16_t(u.sentinel << shift);
      for (std::int32_t i = 0; i < n; ++i) {
        const bool ol = !MASKED || u.leavingMask[i] != 0, oe = !MASKED || u.enteringMask[i] != 0;
        const std::uint32_t vl = cv[i], ve = cv[n + i];
        const std::uint32_t cl = ol ? vl >> shift : 256, ce = oe ? ve >> shift : 256;
        stepCoarse(coarse, steps, i, cl, ce);
        std::uint8_t* r =
            bins + std::ptrdiff_t(i) * 2 * u.ring + u.slot;  // the entering value in the leaving one's place
        r[0] = oe ? std::uint8_t(ce) : u.sentinel;
        r[u.ring] = std::uint8_t(ve & m);
        if (MASKED) {
          u.totals[i] = std::uint8_t(u.totals[i] + oe - ol);
          cv[i] = ol ? cv[i] : none;
          cv[n + i] = oe ? cv[n + i] : none;
        }
      }
      return;
    }
    if (MASKED) {
      const unsigned char* const lm = u.leavingMask;
      const unsigned char* const em = u.enteringMask;
      std::uint8_t* const totals = u.totals;
      for (std::int32_t i = 0; i < n; ++i) {
        cv[i] = lm[i] != 0 ? cv[i] : out16;
        cv[n + i] = em[i] != 0 ? cv[n + i] : out16;
        totals[i] = std::uint8_t(totals[i] + (em[i] != 0) - (lm[i] != 0));
      }
    }
    for (std::int32_t i = 0; i < n; ++i) {
      const std::uint32_t vl = cv[i], ve = cv[n + i];
      const std::uint32_t cl = vl >> shift, ce = ve >> shift;
      stepCoarse(coarse, steps, i, cl, ce);
      __m128i* fl = reinterpret_cast<__m128i*>(bins + bin[cl] * binStride + std::ptrdiff_t(i) * 16);
      _mm_store_si128(fl, _mm_sub_epi8(_mm_load_si128(fl), load16(fine[vl & m])));
      __m128i* fe = reinterpret_cast<__m128i*>(bins + bin[ce] * binStride + std::ptrdiff_t(i) * 16);
      _mm_store_si128(fe, _mm_add_epi8(_mm_load_si128(fe), load16(fine[ve & m])));
    }
  }

  struct Row {
    std::int32_t xs, xe, first, w, rx, k;
    int lo, shift;
    std::uint32_t low, high;
    std::int32_t n;  // columns of the strip
    const std::uint8_t* coarse;
    const std::uint8_t* bins;
    const std::uint8_t* totals;  // with MASKED: the columns' set pels
    const unsigned short* own;   // the pels' own row (source column 0)
    bool average;
    unsigned short* out;
    std::int32_t ring, rows;            // with SCAN: a column's window rows, as stored and in all
    const std::uint16_t (*groups)[16];  // with SCAN: what a fine level adds to a bin's group counts
    std::int32_t y;                     // with SCAN: the output row
    bool moved;                         // with SCAN: the row's leaving and entering values are in deltas
    const std::uint16_t* deltas;        // with SCAN: the column update's clamped values
    Snaps* snaps;                       // with SCAN: the strip's bins as the row above found them
  };

  // Column c's index in the strip, clamped to the image.
  static std::ptrdiff_t column(const Row& r, std::int32_t c) {
    return std::ptrdiff_t((c < 0 ? 0 : (c > r.w - 1 ? r.w - 1 : c)) - r.first);
  }
  // What the pels of a row share: the band's counts of the window, its set
  // pels (with MASKED), the rank, the lowest and highest count of band
  // levels at most it (see filterRow), and the bin in use.
  struct Sweep {
    typename W::Window window, kk;
    __m256i k16;
    std::int32_t n;
    int lowest, highest, cur;
    typename W::Lane binLane;
    std::uint32_t rowBase, binBase;
  };
  // The sweep at the row's first pel.
  static Sweep startSweep(const Row& r) {
    Sweep s{W::zero(), W::splat(r.k), _mm256_set1_epi16(short(r.k)), 0, kLanes, 0, -1, W::lane(0), 0, 0};
    for (std::int32_t c = r.xs - r.rx; c <= r.xs + r.rx; ++c) {
      s.window = W::add(s.window, load32(r.coarse + column(r, c) * kLanes));
      if (MASKED) s.n += r.totals[column(r, c)];
    }
    s.rowBase = s.binBase = (std::uint32_t(r.lo) << r.shift) + r.low;
    return s;
  }
  // The median of pel x, the window's entering and leaving columns at e
  // and l, with the bins' counts of the filter: step(e, l) steps the bin in
  // use, take(cur, b, x) parks it (cur: -1 none) and takes up bin b brought
  // to pel x, level(below, kk) is the fine level of rank kk in the bin in
  // use with below values below it, other(b, x, below, kk) the same in bin
  // b, brought to x and left there.
  template <bool NARROW, class Step, class Take, class Level, class Other>
  __attribute__((always_inline)) static void median(const Row& r, Sweep& s, std::int32_t x, std::ptrdiff_t e,
                                                    std::ptrdiff_t l, Step& step, Take& take, Level& level,
                                                    Other& other) {
    if (x > r.xs) {
      const __m256i in = load32(r.coarse + e * kLanes), out = load32(r.coarse + l * kLanes);
      s.window = NARROW ? W::stepNarrow(s.window, in, out) : W::step(s.window, in, out);
      if (MASKED) s.n += std::int32_t(r.totals[e]) - std::int32_t(r.totals[l]);
    }
    if (MASKED) {
      if (s.n == 0) {  // the pel's own (the bin in use steps along)
        if (s.cur >= 0) step(e, l);
        r.out[x] = own(r, x);
        return;
      }
      s.kk = W::splat((s.n - 1) >> 1);
      s.k16 = _mm256_set1_epi16(short((s.n - 1) >> 1));
    }
    const int a = W::atMost(s.window, s.kk);
    s.lowest = std::min(s.lowest, a);
    s.highest = std::max(s.highest, a);
    const int b = binOf(a);
    if (b == s.cur) {
      step(e, l);
    } else {
      take(s.cur, b, x);
      s.cur = b;
      s.binLane = W::lane(b);
      s.binBase = s.rowBase + (std::uint32_t(b) << r.shift);
    }
    const __m256i below = W::broadcast(s.window, s.binLane);
    const std::uint32_t v = s.binBase + level(below, s.k16);
    if (MASKED && r.average && (s.n & 1) == 0) {
      // The upper middle: in the same bin, or in a bin above.
      const std::int32_t k1 = ((s.n - 1) >> 1) + 1;
      const int a2 = W::atMost(s.window, W::splat(k1));
      s.highest = std::max(s.highest, a2);
      const int b2 = binOf(a2);
      const __m256i kk1 = _mm256_set1_epi16(short(k1));
      const std::uint32_t upper =
          b2 == b ? s.binBase + level(below, kk1)
                  : s.rowBase + (std::uint32_t(b2) << r.shift) + other(b2, x, W::broadcast(s.window, W::lane(b2)), kk1);
      r.out[x] = static_cast<unsigned short>((v + upper + 1) >> 1);
      return;
    }
    r.out[x] = static_cast<unsigned short>(v);
  }
  // The bin a pel's median lies in, from its count of band levels at most
  // the rank (0: below the band, 32: above it, where the row is filtered
  // again).
  static int binOf(int a) { return a < 1 ? 0 : (a > kLanes - 1 ? kLanes - 2 : a - 1); }
  // A pel's own value clamped to the range (a window without set pels).
  static unsigned short own(const Row& r, std::int32_t x) {
    const std::uint32_t v = r.own[x];
    return static_cast<unsigned short>(v < r.low ? r.low : (v > r.high ? r.high : v));
  }
  // The row's pels in turn, pel(x, e, l) with the indexes of the window's
  // entering and leaving columns in the strip: first those whose columns
  // both lie in the image, unclamped, then the others.
  template <class P>
  __attribute__((always_inline)) static void sweep(const Row& r, P& pel) {
    const std::int32_t xs = r.xs, xe = r.xe, first = r.first, last = r.w - 1, rx = r.rx;
    const std::int32_t interior = std::min(std::max(rx + 1, xs), xe);
    const std::int32_t interiorEnd = std::min(std::max(last + 1 - rx, interior), xe);
    std::int32_t x = xs;
    for (; x < interior; ++x) pel(x, column(r, x + rx), column(r, x - rx - 1));
    for (; x < interiorEnd; ++x) pel(x, x + rx - first, x - rx - 1 - first);
    for (; x < xe; ++x) pel(x, column(r, x + rx), column(r, x - rx - 1));
  }

  static __m256i widen(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
  }

  // The medians of one output row over the strip; returns the lowest and
  // highest count of band levels at most k.  (A function of its own with
  // its state in locals, so that the compiler keeps the window in registers.)
  template <bool NARROW>
  __attribute__((noinline)) static std::pair<int, int> filterRow(const Row& r) {
    const std::int32_t first = r.first, last = r.w - 1, rx = r.rx;
    const std::uint8_t* const bins = r.bins;
    const std::ptrdiff_t binStride = std::ptrdiff_t(r.n) * 16;
    auto at = [&r](std::int32_t c) { return column(r, c); };
    // The window's sums of the bins left, and the pel each was left at.
    alignas(32) std::uint16_t parked[kBins][16];
    std::int32_t synced[kBins];
    std::fill(synced, synced + kBins, -(1 << 30));
    // A bin's sums brought to pel x: stepped from where it was left, or
    // summed afresh over the window (four sums in turn, for the adds'
    // latency).
    auto sync = [&](int b, std::int32_t x) __attribute__((noinline)) {
      const std::uint8_t* bin = bins + b * binStride;
      const std::int32_t s = synced[b];
      if (x - s <= rx) {
        __m256i f = _mm256_load_si256(reinterpret_cast<const __m256i*>(parked[b]));
        for (std::int32_t c = s + 1; c <= x; ++c)
          f = _mm256_add_epi16(f, _mm256_sub_epi16(widen(bin + at(c + rx) * 16), widen(bin + at(c - rx - 1) * 16)));
        return f;
      }
      __m256i f[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
      std::int32_t c = x - rx;
      for (; c < 0; ++c) f[0] = _mm256_add_epi16(f[0], widen(bin + at(c) * 16));
      const std::int32_t end = std::min(x + rx, last);
      const std::uint8_t* p = bin + std::ptrdiff_t(c - first) * 16;
      for (; c + 3 <= end; c += 4, p += 64)
        for (int i = 0; i < 4; ++i) f[i] = _mm256_add_epi16(f[i], widen(p + 16 * i));
      for (; c <= x + rx; ++c) f[1] = _mm256_add_epi16(f[1], widen(bin + at(c) * 16));
      return _mm256_add_epi16(_mm256_add_epi16(f[0], f[1]), _mm256_add_epi16(f[2], f[3]));
    };
    __m256i f = _mm256_setzero_si256();
    const std::uint8_t* bin = bins;
    // The bin in use: its sums step along with the window, or are parked
    // for bin b brought to pel x; the level of rank kk from the sums with
    // the values below the bin.  (What depends on the bin is taken from the
    // variables set where it changed, so that the rest waits on the branch,
    // not on the window's comparison.)
    auto step = [&](std::ptrdiff_t e, std::ptrdiff_t l) __attribute__((always_inline)) {
      f = _mm256_add_epi16(f, _mm256_sub_epi16(widen(bin + e * 16), widen(bin + l * 16)));
    };
    auto take = [&](int cur, int b, std::int32_t x) __attribute__((always_inline)) {
      if (cur >= 0) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(parked[cur]), f);
        synced[cur] = x - 1;
      }
      f = sync(b, x);
      bin = bins + b * binStride;
    };
    auto level = [&](__m256i below, __m256i kk) __attribute__((always_inline)) {
      return std::uint32_t(V::firstAboveSplat(_mm256_add_epi16(f, below), kk));
    };
    // Bin b (not the one in use) brought to pel x, left there, and its level of rank kk.
    auto other = [&](int b, std::int32_t x, __m256i below, __m256i kk) {
      const __m256i f2 = sync(b, x);
      _mm256_store_si256(reinterpret_cast<__m256i*>(parked[b]), f2);
      synced[b] = x;
      return std::uint32_t(V::firstAboveSplat(_mm256_add_epi16(f2, below), kk));
    };
    Sweep w = startSweep(r);
    auto pel = [&](std::int32_t x, std::ptrdiff_t e, std::ptrdiff_t l) __attribute__((always_inline)) {
      median<NARROW>(r, w, x, e, l, step, take, level, other);
    };
    sweep(r, pel);
    return {w.lowest, w.highest};
  }

  // The medians of one output row over the strip with SCAN, as filterRow,
  // where a bin holds up to 256 fine levels: the window's counts of a bin
  // are kept level by level, with the running sums of its 16 groups of 16
  // levels in a register, and stepped by the values that the entering and
  // leaving columns' rows hold in the bin, found 32 coarse levels to a
  // comparison.
  static std::pair<int, int> filterRowScan(const Row& r) {
    return r.ring == 64 ? filterRowScan<2>(r) : r.ring == 128 ? filterRowScan<4>(r) : filterRowScan<8>(r);
  }
  // (BLOCKS: the columns' rows as stored, in 32s; windows of up to 127
  // rows, four blocks, step with the narrow counts.)
  template <int BLOCKS>
  __attribute__((noinline)) static std::pair<int, int> filterRowScan(const Row& r) {
    constexpr bool NARROW = BLOCKS <= 4;
    const std::int32_t first = r.first, last = r.w - 1, rx = r.rx;
    const int shift = r.shift;
    const std::uint8_t* const rows = r.bins;
    constexpr std::ptrdiff_t ring = 32 * BLOCKS, stride = 2 * ring;
    constexpr std::int32_t blocks = BLOCKS;
    // Each block's rows that hold values (the rest never match).
    unsigned valid[BLOCKS];
    for (std::int32_t b = 0; b < BLOCKS; ++b) {
      const std::int32_t held = std::min(std::max(r.rows - 32 * b, 0), 32);
      valid[b] = held == 32 ? ~0u : (1u << held) - 1;
    }
    const __m256i* const groups = reinterpret_cast<const __m256i*>(r.groups);
    auto at = [&r](std::int32_t c) { return column(r, c); };
    // Column c's rows at coarse level lv, into (PLUS) or out of the counts
    // h and group sums g.
    auto scan = [=](std::ptrdiff_t c, __m256i lv, std::uint16_t * h, __m256i & g, auto plus)
        __attribute__((always_inline)) {
      const std::uint8_t* p = rows + c * stride;
      std::uint64_t m[4] = {0, 0, 0, 0};
      for (std::int32_t b = 0; b < blocks; ++b) {
        std::uint64_t k = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(p + 32 * b), lv)));
        k &= valid[b];
        m[b >> 1] |= k << 32 * (b & 1);
      }
      if ((m[0] | m[1] | m[2] | m[3]) == 0) return;
      // Values that all share their fine level too (a coarsely quantised
      // image) are counted at once.
      int w = 0;
      while (m[w] == 0) ++w;
      const unsigned f0 = p[ring + 64 * w + __builtin_ctzll(m[w])];
      const __m256i fv = _mm256_set1_epi8(char(f0));
      std::uint64_t differ = 0;
      int n = 0;
      for (std::int32_t b = 0; b < blocks; ++b) {
        const std::uint64_t e = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(p + ring + 32 * b), fv)));
        differ |= (m[b >> 1] >> 32 * (b & 1)) & ~e & 0xFFFFFFFFu;
      }
      if (differ == 0) {
        for (std::int32_t i = 0; i < (blocks + 1) / 2; ++i) n += __builtin_popcountll(m[i]);
        const __m256i add = _mm256_mullo_epi16(_mm256_load_si256(groups + (f0 >> 4)), _mm256_set1_epi16(short(n)));
        if constexpr (decltype(plus)::value) {
          h[f0] = std::uint16_t(h[f0] + n);
          g = _mm256_add_epi16(g, add);
        } else {
          h[f0] = std::uint16_t(h[f0] - n);
          g = _mm256_sub_epi16(g, add);
        }
        return;
      }
      for (std::int32_t i = 0; i < (blocks + 1) / 2; ++i)
        for (std::uint64_t k = m[i]; k != 0; k &= k - 1) {
          const unsigned f = p[ring + 64 * i + __builtin_ctzll(k)];
          if constexpr (decltype(plus)::value) {
            ++h[f];
            g = _mm256_add_epi16(g, _mm256_load_si256(groups + (f >> 4)));
          } else {
            --h[f];
            g = _mm256_sub_epi16(g, _mm256_load_si256(groups + (f >> 4)));
          }
        }
    };
    // The same out of line, for bins catching up (so that the code holds
    // the scan twice, not at every place it is used).
    auto scanApart = [&](std::ptrdiff_t c, __m256i lv, std::uint16_t * h, __m256i & g, bool plus)
        __attribute__((noinline)) {
      if (plus)
        scan(c, lv, h, g, std::true_type());
      else
        scan(c, lv, h, g, std::false_type());
    };
    // The window's counts of the bins left, and the pel each was left at.
    alignas(32) std::uint16_t counts[kBins][256];
    alignas(32) std::uint16_t parked[kBins][16];
    std::int32_t synced[kBins];
    std::fill(synced, synced + kBins, -(1 << 30));
    Snaps& snaps = *r.snaps;
    const std::int32_t y = r.y;
    // Bin b's counts h (group sums g) of the window at pel s walked to pel x.
    auto walk = [&](std::uint16_t* h, __m256i& g, __m256i lv, std::int32_t s, std::int32_t x) {
      for (std::int32_t c = s + 1; c <= x; ++c) {
        scanApart(at(c + rx), lv, h, g, true);
        scanApart(at(c - rx - 1), lv, h, g, false);
      }
      for (std::int32_t c = s; c > x; --c) {
        scanApart(at(c - rx - 1), lv, h, g, true);
        scanApart(at(c + rx), lv, h, g, false);
      }
    };
    // The values of the column update (row y's leaving and entering) in
    // the window of pel t at coarse level, out of and into the counts h,
    // group sums g: the window's counts a row down.
    auto moveDown = [&](std::uint16_t* h, __m256i& g, std::uint32_t level, std::int32_t t) {
      const std::uint16_t* leaving = r.deltas;
      const std::uint16_t* entering = r.deltas + r.n;
      const std::uint32_t fine = (1u << shift) - 1;
      auto one = [&](std::ptrdiff_t i) {
        if (std::uint32_t(leaving[i] >> shift) == level) {
          --h[leaving[i] & fine];
          g = _mm256_sub_epi16(g, _mm256_load_si256(groups + ((leaving[i] & fine) >> 4)));
        }
        if (std::uint32_t(entering[i] >> shift) == level) {
          ++h[entering[i] & fine];
          g = _mm256_add_epi16(g, _mm256_load_si256(groups + ((entering[i] & fine) >> 4)));
        }
      };
      std::int32_t c = t - rx;
      const std::int32_t end = t + rx, inside = std::min(end, last);
      for (; c <= end && c < 0; ++c) one(at(c));
      const __m256i lv16 = _mm256_set1_epi16(short(level));
      auto matches = [&](const std::uint16_t* v) {
        return unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi16(
                   _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)), shift), lv16))) &
               0x55555555u;
      };
      for (; c + 15 <= inside; c += 16) {
        const std::ptrdiff_t i = c - first;
        for (unsigned k = matches(leaving + i); k != 0; k &= k - 1) {
          const unsigned f = leaving[i + __builtin_ctz(k) / 2] & fine;
          --h[f];
          g = _mm256_sub_epi16(g, _mm256_load_si256(groups + (f >> 4)));
        }
        for (unsigned k = matches(entering + i); k != 0; k &= k - 1) {
          const unsigned f = entering[i + __builtin_ctz(k) / 2] & fine;
          ++h[f];
          g = _mm256_add_epi16(g, _mm256_load_si256(groups + (f >> 4)));
        }
      }
      for (; c <= end; ++c) one(at(c));
    };
    // This row's and the row above's anchors (the latter none when the
    // column counts were made afresh for this row).
    const int now = y & 1;
    if (snaps.row[now] != y) snaps.count[now] = 0, snaps.row[now] = y;
    const Anchor* const above = snaps.anchors[now ^ 1];
    const std::int32_t aboveCount = snaps.row[now ^ 1] == y - 1 ? snaps.count[now ^ 1] : 0;
    // A bin's counts brought to pel x: stepped from where this row left
    // them, or from the nearest place where the row above took them up
    // (moved down a row), or counted afresh over the window; kept as an
    // anchor for the next row.
    auto sync = [&](int b, std::int32_t x) __attribute__((noinline)) {
      std::uint16_t* h = counts[b];
      const std::uint32_t level = std::uint32_t(r.lo + b);
      const __m256i lv = _mm256_set1_epi8(char(level));
      const std::int32_t s = synced[b];
      __m256i g;
      const Anchor* from = nullptr;
      std::int32_t distance = rx + 1;
      if (std::abs(x - s) > rx)
        for (std::int32_t i = 0; i < aboveCount; ++i)
          if (above[i].bin == b && std::abs(x - above[i].x) < distance) {
            from = &above[i];
            distance = std::abs(x - above[i].x);
          }
      if (std::abs(x - s) <= rx) {
        g = _mm256_load_si256(reinterpret_cast<const __m256i*>(parked[b]));
        walk(h, g, lv, s, x);
      } else if (from) {
        std::copy(from->counts, from->counts + 256, h);
        g = _mm256_load_si256(reinterpret_cast<const __m256i*>(from->groups));
        if (r.moved) moveDown(h, g, level, from->x);
        walk(h, g, lv, from->x, x);
      } else {
        std::fill(h, h + 256, std::uint16_t(0));
        g = _mm256_setzero_si256();
        for (std::int32_t c = x - rx; c <= x + rx; ++c) scanApart(at(c), lv, h, g, true);
      }
      if (snaps.count[now] < kAnchors) {
        Anchor& a = snaps.anchors[now][snaps.count[now]++];
        std::copy(h, h + 256, a.counts);
        _mm256_store_si256(reinterpret_cast<__m256i*>(a.groups), g);
        a.x = x;
        a.bin = b;
      }
      return g;
    };
    __m256i g = _mm256_setzero_si256(), lv = _mm256_setzero_si256();
    std::uint16_t* h = counts[0];
    // The level of rank kk (splat) within a bin of counts h, group sums g,
    // with below values below the bin (splat).
    auto find = [](const std::uint16_t* h, __m256i g, __m256i below, __m256i kk) __attribute__((always_inline)) {
      // The group holding the rank, then the level within it from the
      // group's counts summed lane by lane.
      const __m256i total = _mm256_add_epi16(g, below);
      const int grp = std::min(V::firstAboveSplat(total, kk), 15);
      alignas(32) std::uint16_t t[16];
      _mm256_store_si256(reinterpret_cast<__m256i*>(t), total);
      const int base = grp > 0 ? t[grp - 1] : _mm256_cvtsi256_si32(below) & 0xFFFF;
      __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(h + 16 * grp));
      c = _mm256_add_epi16(c, _mm256_slli_si256(c, 2));
      c = _mm256_add_epi16(c, _mm256_slli_si256(c, 4));
      c = _mm256_add_epi16(c, _mm256_slli_si256(c, 8));
      const __m256i carry =
          _mm256_shuffle_epi8(_mm256_permute2x128_si256(c, c, 0x08), _mm256_set1_epi16(short(0x0F0E)));
      c = _mm256_add_epi16(_mm256_add_epi16(c, carry), _mm256_set1_epi16(short(base)));
      return std::uint32_t(16 * grp + std::min(V::firstAboveSplat(c, kk), 15));
    };
    // The bin in use, as in filterRow.
    auto step = [&](std::ptrdiff_t e, std::ptrdiff_t l) __attribute__((always_inline)) {
      scan(e, lv, h, g, std::true_type());
      scan(l, lv, h, g, std::false_type());
    };
    auto take = [&](int cur, int b, std::int32_t x) __attribute__((always_inline)) {
      if (cur >= 0) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(parked[cur]), g);
        synced[cur] = x - 1;
      }
      g = sync(b, x);
      h = counts[b];
      lv = _mm256_set1_epi8(char(r.lo + b));
    };
    auto level = [&](__m256i below, __m256i kk) __attribute__((always_inline)) { return find(h, g, below, kk); };
    auto other = [&](int b, std::int32_t x, __m256i below, __m256i kk) {
      const __m256i g2 = sync(b, x);
      _mm256_store_si256(reinterpret_cast<__m256i*>(parked[b]), g2);
      synced[b] = x;
      return find(counts[b], g2, below, kk);
    };
    Sweep w = startSweep(r);
    auto pel = [&](std::int32_t x, std::ptrdiff_t e, std::ptrdiff_t l) __attribute__((always_inline)) {
      median<NARROW>(r, w, x, e, l, step, take, level, other);
    };
    sweep(r, pel);
    return {w.lowest, w.highest};
  }

  std::uint32_t low_, high_;
  int shift_;
  std::int32_t ring_;  // with SCAN: the window's rows rounded up to 64, 128 or 256
  std::vector<std::uint8_t> store_;
  std::vector<std::uint16_t> scratch_;  // a row update's clamped values
  std::vector<std::uint8_t> totals_;    // the strips' columns' set pels, with MASKED
  std::vector<Snaps> snaps_;            // with SCAN, each strip's
  int tablesLo_ = -1;
  alignas(64) std::uint8_t steps_[257][kLanes];
  alignas(16) std::uint8_t fine_[16][16];  // what a fine level adds to its bin: ones in lanes f .. 15
  alignas(32) std::uint16_t groups_[16][16];  // with SCAN, what a fine level's group g adds: ones in lanes g .. 15
  int bin_[257];                           // the bin of each coarse level
};

// The 16-bit filter (as deepFilter): by counting where it takes the window,
// else by the histogram engine.
template <class W, class V>
void deepFilterCounting(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                        const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out) {
  if (DeepBandMedian<W, V, false, true>::takes(p)) {
    if (mask.isBound())
      DeepBandMedian<W, V, true, true>(src, mask, p, out).run();
    else
      DeepBandMedian<W, V, false, true>(src, mask, p, out).run();
    return;
  }
  mxmedian::countOr<DeepBandMedian<W, V>, DeepBandMedian<W, V, true>>(src, mask, p, out,
                                                                      [&] { deepFilter<V>(src, mask, p, out); });
}

}  // namespace mxdeepmedian

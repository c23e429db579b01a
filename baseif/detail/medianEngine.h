// The constant-time median filter behind mfPelMedian, written once over a
// policy V that supplies sixteen 16-bit counters (one coarse histogram, or one
// fine group of a histogram) and their operations:
//   V::T                      the counters
//   V::zero(), V::load(p), V::store(p, c), V::add(a, b), V::sub(a, b)
//   V::firstAbove(c, k)       the first lane whose value exceeds k (the caller
//                             guarantees one does)
// Counts never exceed 32767 (the window area limit), so they also compare
// correctly as signed 16-bit values.
//
// Internal to the library.  It is compiled once with the baseline
// instruction set and once more in a translation unit of its own for each of
// AVX2 and AVX-512; each translation unit instantiates it with a policy of its
// own (internal linkage), so the builds never mix.  The includer includes the
// standard headers used here before this header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

namespace mxmedian {

// The filter, masked or not, with the policy's pair operations besides those above:
//   V::P                      32 counters: fine groups g and g + 1 of a column
//   V::loadPair(p), V::addPair(a, b), V::subPair(a, b), V::joinPair(lo, hi),
//   V::lowHalf(p), V::highHalf(p)
//   V::Sel, V::select(g)      what pairFirstAbove needs to know of pair g
//   V::pairFirstAbove(p, totals, sel, k)
//                             the first lane whose count plus the window's
//                             count below its group (lanes 0 .. 15: totals
//                             lane g - 1, or 0 for g = 0; lanes 16 .. 31:
//                             totals lane g) exceeds k (the caller
//                             guarantees one does)
//
// Without a mask every window holds the same odd number of values, so the
// rank of the median is fixed and only the lower middle is ever taken; with
// one (MASKED) the window holds its set pels only, their count (the coarse
// totals' last lane) sets the rank pel by pel, an even count takes the mean
// of the two middles when the parameters ask for it, and a window without
// set pels passes the source pel through (all within the value range).  The image is
// processed in vertical strips of output columns, each with histograms for
// its own source columns only (the strip and rx columns either side), so
// that the histograms of a strip stay in the processor's private caches
// whatever the image width; the overlap costs 2 rx column updates per row
// and strip.  A column's fine histogram is stored whole,
// fine[column * kFine + value], so that two neighbouring groups lie together.
// The window's fine running totals are kept for a pair of neighbouring
// groups, g and g + 1, holding the median; the pair moves only when the
// median leaves it, and then so that the group it left stays in the pair,
// so a median that wavers across a group boundary costs nothing.  The pair's
// groups wait in window_ for their next use, brought up to date then.
template <class V, bool MASKED>
class StripEngine {
public:
  using T = typename V::T;
  using P = typename V::P;

  // Output columns per strip, aimed at histograms of about kColumns source
  // columns (0.6 KB of coarse and fine counts each, 1.8 MB in all).  The
  // row loop walks the columns in order, so the histograms stream well from
  // the last-level cache; narrower strips, which fit the level-2 cache,
  // measured 10 % slower at every window size (1536 columns: two strips of a
  // 2048-wide image instead of one).
  static constexpr std::int32_t kColumns = 3072;
  // The distance of neighbouring columns' fine counts: 256 counts and 32
  // unused, so that the row loop's reads at one column stride spread over
  // every set of the level-1 data cache (with 512 bytes they would fall in
  // an eighth of them, and a window of 101 columns would not stay cached).
  static constexpr std::ptrdiff_t kFine = 256 + 32;
  static_assert(kFine * 2 % 64 == 0, "a store's rows of kFine counts lie exactly kFine apart");

  StripEngine(std::int32_t width, const mxPelMedianParams& p)
      : width_(width),
        rx_((p.size.x() - 1) / 2),
        low_(p.range.x()),
        high_(p.range.y()),
        average_(p.averageMiddles),
        k_((p.size.x() * p.size.y() - 1) / 2),
        stripWidth_(stripWidthFor(width, rx_)),
        // Pel stores, which the thread recycles from call to call: a row of
        // counts per column, rows starting on cache lines.
        fine_(mxPelRect(0, 0, std::int32_t(kFine), std::int32_t(columns())), 64, mxPelInit::eUnwritten),
        coarse_(mxPelRect(0, 0, 16, std::int32_t(columns())), 32, mxPelInit::eUnwritten) {
    fine0_ = fine_.pointToOffset();
    coarse0_ = coarse_.pointToOffset();
    for (int v = 0; v < 256; ++v)
      for (int j = 0; j < 16; ++j) {
        steps_[v][j] = std::uint16_t(j >= v / 16 ? 1 : 0);
        steps_[v][16 + j] = std::uint16_t(j >= v % 16 ? 1 : 0);
      }
  }

  std::int32_t stripWidth() const { return stripWidth_; }

  // Output columns per strip for rows of `width` and windows reaching rx
  // columns either side.  Strips pay off while the overlap stays small
  // against the strip; with wider windows the whole row is one strip.
  static std::int32_t stripWidthFor(std::int32_t width, std::int32_t rx) {
    const std::int32_t perStrip = kColumns - 2 * rx >= 4 * rx ? kColumns - 2 * rx : width;
    const std::int32_t strips = (width + perStrip - 1) / perStrip;
    return (width + strips - 1) / strips;
  }

  // Source columns of the widest strip.
  std::size_t columns() const { return std::size_t(std::min(width_, stripWidth_ + 2 * rx_)); }

  // Starts the strip of output columns xs .. xe - 1: empty histograms over
  // its source columns.
  void startStrip(std::int32_t xs, std::int32_t xe) {
    xs_ = xs;
    xe_ = xe;
    first_ = std::max(xs - rx_, 0);
    last_ = std::min(xe - 1 + rx_, width_ - 1);
    std::fill(fine0_, fine0_ + std::ptrdiff_t(last_ - first_ + 1) * kFine, std::uint16_t(0));
    std::fill(coarse0_, coarse0_ + std::ptrdiff_t(last_ - first_ + 1) * 16, std::uint16_t(0));
  }

  // The step that value v at mask value m adds (none where m is 0).
  const std::uint16_t* step(unsigned v, const unsigned char* m, std::int32_t c) const {
    return MASKED && m[c] == 0 ? noStep_ : steps_[v];
  }

  // Adds source row s (with its mask row m when MASKED; both point at
  // column 0) to the strip's column histograms.
  void addRow(const unsigned char* s, const unsigned char* m) {
    std::uint16_t* fine = fine0_;
    std::uint16_t* coarse = coarse0_;
    s += first_;
    if (MASKED) m += first_;
    for (std::int32_t c = 0; c <= last_ - first_; ++c) {
      const unsigned v = s[c];
      const std::uint16_t* step = this->step(v, m, c);
      std::uint16_t* f = fine + std::size_t(c) * kFine + (v & 0xF0);
      std::uint16_t* k = coarse + std::size_t(c) * 16;
      V::store(k, V::add(V::load(k), V::load(step)));
      V::store(f, V::add(V::load(f), V::load(step + 16)));
    }
  }

  // Replaces source row leaving by source row entering in the strip's
  // column histograms (lm, em: their mask rows when MASKED).
  void replaceRow(const unsigned char* leaving, const unsigned char* lm, const unsigned char* entering,
                  const unsigned char* em) {
    std::uint16_t* f = fine0_;
    std::uint16_t* k = coarse0_;
    leaving += first_;
    entering += first_;
    if (MASKED) {
      lm += first_;
      em += first_;
    }
    const std::int32_t n = last_ - first_ + 1;
    std::int32_t c = 0;
    // Two columns a round, so that the loop's own steps cost half as much.
    for (; c + 1 < n; c += 2, f += 2 * kFine, k += 32) {
      replaceValue(f, k, leaving[c], step(leaving[c], lm, c), entering[c], step(entering[c], em, c));
      replaceValue(f + kFine, k + 16, leaving[c + 1], step(leaving[c + 1], lm, c + 1), entering[c + 1],
                   step(entering[c + 1], em, c + 1));
    }
    if (c < n) replaceValue(f, k, leaving[c], step(leaving[c], lm, c), entering[c], step(entering[c], em, c));
  }

  // Replaces value l (whose step is sl) by value e (step se) in the column
  // histograms at f and k.
  static void replaceValue(std::uint16_t* f, std::uint16_t* k, std::size_t l, const std::uint16_t* sl, std::size_t e,
                           const std::uint16_t* se) {
    V::store(k, V::add(V::sub(V::load(k), V::load(sl)), V::load(se)));
    V::store(f + (l & 0xF0), V::sub(V::load(f + (l & 0xF0)), V::load(sl + 16)));
    V::store(f + (e & 0xF0), V::add(V::load(f + (e & 0xF0)), V::load(se + 16)));
  }

  // Filters the strip's part of one output row (out points at output
  // column 0) from the current column histograms.  Not inlined, so that the
  // compiler gives its loop registers of its own.
  __attribute__((noinline)) void filterRow(unsigned char* out) {
    for (int b = 0; b < 16; ++b) synced_[b] = kNever;
    const std::uint16_t* coarse = coarse0_;
    const std::uint16_t* fine = fine0_;
    // Members in locals: the stores to out may alias them.
    const std::int32_t k = k_, rx = rx_, last = width_ - 1, first = first_, xe = xe_;
    const auto kk = V::splat(k);
    T totals = windowSum(coarse, 16, xs_);
    int g = std::min(V::firstAbove(totals, k), 14);
    P pair = takePair(g, xs_);
    typename V::Sel sel = V::select(g);
    // The median of pel x from the window's totals.
    auto median = [&](std::int32_t x) {
      const int b = V::firstAboveSplat(totals, kk);
      if (unsigned(b - g) > 1u) {
        // The median left the pair: park it, and take the pair that holds
        // the median and the group next to it on the side it came from.
        park(pair, g, x);
        g = b > g ? b - 1 : std::min(b, 14);
        pair = takePair(g, x);
        sel = V::select(g);
      }
      out[x] = (unsigned char)(g * 16 + V::pairFirstAbove(pair, totals, sel, k));
    };
    auto moveTo = [&](std::int32_t x) { moveWindow(x, g, totals, pair); };
    median(xs_);
    // Pels xs + 1 .. xe - 1: those whose entering and leaving columns are
    // both unclamped, interior .. interiorEnd - 1, step by pointers, a fixed
    // distance apart; the others, near the row's ends, clamp.
    const std::int32_t interior = std::min(std::max(rx + 2, xs_ + 1), xe);
    const std::int32_t interiorEnd = std::min(std::max(last - rx + 1, interior), xe);
    std::int32_t x = xs_ + 1;
    for (; x < interior; ++x) {
      moveTo(x);
      median(x);
    }
    // (The median's steps written out again here, with the pair's fine
    // counts addressed by a pointer that includes the group, and the inner
    // loop left to move the pair, so that it holds no call and the compiler
    // can keep its state in registers.)
    const std::ptrdiff_t coarseSpan = (2 * rx + 1) * 16, fineSpan = (2 * rx + 1) * kFine;
    const std::uint16_t* ce = coarse + (std::ptrdiff_t(x) + rx - first) * 16;
    const std::uint16_t* fe = fine + (std::ptrdiff_t(x) + rx - first) * kFine + g * 16;
    while (x < interiorEnd) {
      int b = 0;
      for (;;) {
        totals = V::add(V::sub(totals, V::load(ce - coarseSpan)), V::load(ce));
        pair = V::addPair(V::subPair(pair, V::loadPair(fe - fineSpan)), V::loadPair(fe));
        b = V::firstAboveSplat(totals, kk);
        if (unsigned(b - g) > 1u) break;
        out[x] = (unsigned char)(g * 16 + V::pairFirstAbove(pair, totals, sel, k));
        ce += 16;
        fe += kFine;
        if (++x == interiorEnd) break;
      }
      if (x == interiorEnd) break;
      park(pair, g, x);
      const int to = b > g ? b - 1 : std::min(b, 14);
      fe += (to - g) * 16;
      g = to;
      pair = takePair(g, x);
      sel = V::select(g);
      out[x] = (unsigned char)(g * 16 + V::pairFirstAbove(pair, totals, sel, k));
      ce += 16;
      fe += kFine;
      ++x;
    }
    for (; x < xe; ++x) {
      moveTo(x);
      median(x);
    }
    const unsigned char low = (unsigned char)low_, high = (unsigned char)high_;
    for (std::int32_t i = xs_; i < xe; ++i) out[i] = std::min(std::max(out[i], low), high);
  }

  // The masked filter's part of one output row: own is the source row (for
  // windows without set pels), out the output row, both at column 0.
  __attribute__((noinline)) void filterRowMasked(const unsigned char* own, unsigned char* out) {
    for (int b = 0; b < 16; ++b) synced_[b] = kNever;
    const std::uint16_t* coarse = coarse0_;
    const std::uint16_t* fine = fine0_;
    // Members in locals: the stores to out may alias them.
    const std::int32_t rx = rx_, last = width_ - 1, first = first_, xs = xs_, xe = xe_;
    const int low = low_, high = high_;
    const bool average = average_;
    auto clamp = [&](int v) { return v < low ? low : (v > high ? high : v); };
    T totals = windowSum(coarse, 16, xs);
    int g = -1;  // no pair until a window holds a set pel
    P pair{};
    typename V::Sel sel{};
    // The median of pel x from the window's totals and the pair.
    // (Always inlined: called from three loops, the baseline build would
    // otherwise make it a call per pel with the row state in memory.)
    auto median = [&](std::int32_t x) __attribute__((always_inline)) {
      alignas(32) std::uint16_t t[16];
      V::store(t, totals);
      const std::int32_t n = t[15];
      if (n == 0) {
        out[x] = (unsigned char)clamp(own[x]);
        return;
      }
      const std::int32_t k = (n - 1) / 2;
      const int b = V::firstAbove(totals, k);
      if (g < 0 || unsigned(b - g) > 1u) {
        if (g >= 0) park(pair, g, x);
        g = g >= 0 && b > g ? b - 1 : std::min(b, 14);
        pair = takePair(g, x);
        sel = V::select(g);
      }
      const int lower = clamp(g * 16 + V::pairFirstAbove(pair, totals, sel, k));
      if (!average || (n & 1) != 0) {
        out[x] = (unsigned char)lower;
        return;
      }
      // The upper middle: in the pair, or (rarely) in the group above it.
      const int b2 = V::firstAbove(totals, k + 1);
      const int upper = unsigned(b2 - g) <= 1u ? g * 16 + V::pairFirstAbove(pair, totals, sel, k + 1)
                                               : b2 * 16 + V::firstAbove(syncFine(b2, x), k + 1 - t[b2 - 1]);
      out[x] = (unsigned char)((lower + clamp(upper) + 1) / 2);
    };
    auto moveTo = [&](std::int32_t x) { moveWindow(x, g, totals, pair); };
    median(xs);
    // As in filterRow: unclamped pels step by pointers.
    const std::int32_t interior = std::min(std::max(rx + 2, xs + 1), xe);
    const std::int32_t interiorEnd = std::min(std::max(last - rx + 1, interior), xe);
    std::int32_t x = xs + 1;
    for (; x < interior; ++x) {
      moveTo(x);
      median(x);
    }
    const std::ptrdiff_t coarseSpan = (2 * rx + 1) * 16, fineSpan = (2 * rx + 1) * kFine;
    const std::uint16_t* ce = coarse + (std::ptrdiff_t(x) + rx - first) * 16;
    const std::uint16_t* fe = fine + (std::ptrdiff_t(x) + rx - first) * kFine;
    for (; x < interiorEnd; ++x, ce += 16, fe += kFine) {
      totals = V::add(V::sub(totals, V::load(ce - coarseSpan)), V::load(ce));
      if (g >= 0) {
        const std::uint16_t* f = fe + g * 16;
        pair = V::addPair(V::subPair(pair, V::loadPair(f - fineSpan)), V::loadPair(f));
      }
      median(x);
    }
    for (; x < xe; ++x) {
      moveTo(x);
      median(x);
    }
  }

private:
  static constexpr std::int32_t kNever = -(1 << 30);

  // Moves the window to output pel x near the row's ends: column
  // max(x - 1 - rx, 0) left it and column min(x + rx, last) entered (the same
  // when both are clamped).  The pair of fine groups g moves with it, unless
  // there is none yet (g < 0, masked rows only).
  void moveWindow(std::int32_t x, int g, T& totals, P& pair) const {
    const std::ptrdiff_t enter = std::min(x + rx_, width_ - 1) - first_, leave = std::max(x - 1 - rx_, 0) - first_;
    const std::uint16_t* coarse = coarse0_;
    totals = V::add(V::sub(totals, V::load(coarse + leave * 16)), V::load(coarse + enter * 16));
    if (MASKED && g < 0) return;
    const std::uint16_t* f = fine0_ + g * 16;
    pair = V::addPair(V::subPair(pair, V::loadPair(f + leave * kFine)), V::loadPair(f + enter * kFine));
  }

  // The window's running totals of fine groups g and g + 1 for output pel
  // x.  Not inlined: it is rare, and inlined its loops would crowd the row
  // loop out of registers.
  __attribute__((noinline)) P takePair(int g, std::int32_t x) {
    return V::joinPair(syncFine(g, x), syncFine(g + 1, x));
  }

  // Keeps pair g, up to date for output pel x, for later use.
  void park(P pair, int g, std::int32_t x) {
    V::store(window_[g], V::lowHalf(pair));
    V::store(window_[g + 1], V::highHalf(pair));
    synced_[g] = synced_[g + 1] = x;
  }

  // c x the counters at p, by doubling.
  static T times(const std::uint16_t* p, std::int32_t c) {
    T sum = V::zero(), power = V::load(p);
    for (; c > 0; c >>= 1, power = V::add(power, power))
      if (c & 1) sum = V::add(sum, power);
    return sum;
  }

  // The sum over the window of output pel x (source columns x - rx ..
  // x + rx, clamped to the row) of the 16 counters at p of every column,
  // columns lying stride counters apart: edge columns are added once, times
  // their count, so a window much wider than the row costs no more than the
  // row.
  T windowSum(const std::uint16_t* p, std::ptrdiff_t stride, std::int32_t x) const {
    const std::int32_t lo = x - rx_, hi = x + rx_;
    auto column = [&](std::int32_t c) { return p + std::ptrdiff_t(c - first_) * stride; };
    if (width_ == 1) return times(column(0), hi - lo + 1);
    T sum = V::zero();
    if (lo <= 0) sum = times(column(0), std::min(hi, 0) - lo + 1);
    for (std::int32_t c = std::max(lo, 1); c <= std::min(hi, width_ - 2); ++c) sum = V::add(sum, V::load(column(c)));
    if (hi >= width_ - 1) sum = V::add(sum, times(column(width_ - 1), hi - std::max(lo, width_ - 1) + 1));
    return sum;
  }

  // Brings the window's running totals of fine group b up to output pel x.
  T syncFine(int b, std::int32_t x) {
    const std::uint16_t* group = fine0_ + b * 16;
    T f;
    if (x - synced_[b] <= rx_) {
      // Windows only move right: one column leaves and one enters per step.
      f = V::load(window_[b]);
      for (std::int32_t c = synced_[b] + 1; c <= x; ++c) {
        const std::ptrdiff_t enter = std::min(c + rx_, width_ - 1) - first_;
        const std::ptrdiff_t leave = std::max(c - 1 - rx_, 0) - first_;
        f = V::add(V::sub(f, V::load(group + leave * kFine)), V::load(group + enter * kFine));
      }
    } else {
      f = windowSum(group, kFine, x);
    }
    V::store(window_[b], f);
    synced_[b] = x;
    return f;
  }

  std::int32_t width_;
  std::int32_t rx_;
  int low_, high_;
  bool average_;    // an even count takes the mean of the two middles
  std::int32_t k_;  // the rank of the median among the window's values (no mask)
  std::int32_t stripWidth_;
  std::int32_t xs_ = 0, xe_ = 0;       // the strip's output columns
  std::int32_t first_ = 0, last_ = 0;  // its source columns
  // The columns' fine and coarse counts, column c at row c.
  mxPelBuffer<std::uint16_t> fine_, coarse_;
  std::uint16_t* fine0_ = nullptr;  // the first fine count, at a cache line's start
  std::uint16_t* coarse0_ = nullptr;
  alignas(32) std::uint16_t window_[16][16];
  // What one value v adds to running totals: steps_[v] ones in coarse lanes
  // v / 16 .. 15, then ones in fine lanes v % 16 .. 15 of its group.
  alignas(64) std::uint16_t steps_[256][32];
  // What an excluded pel adds: nothing.
  alignas(64) std::uint16_t noStep_[32] = {};
  std::int32_t synced_[16];
};

// The filter over src's window into out, strip by strip; out's window lies
// within src's and only its pels are made (the histograms still take in the
// source around them, so they are the pels of the whole window); mask, when
// MASKED, is a buffer whose window contains src's.
template <class V, bool MASKED>
void runStrips(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
               const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& out) {
  const std::int32_t w = src.width();
  const std::int32_t h = src.height();
  if (w <= 0 || h <= 0) return;
  const std::int32_t ry = (p.size.y() - 1) / 2;
  const std::int32_t x0 = src.window().x(), y0 = src.window().y();
  // The output columns xa .. xb - 1 and rows ya .. yb - 1, relative to src.
  const std::int32_t xa = out.window().x() - x0, xb = xa + out.width();
  const std::int32_t ya = out.window().y() - y0, yb = ya + out.height();
  // Rows beyond the top and bottom edges replicate the edge rows.
  auto rowAt = [&](std::int32_t j) { return j < 0 ? 0 : (j >= h ? h - 1 : j); };
  auto maskRow = [&](std::int32_t j) { return MASKED ? mask.pointToPel(x0, y0 + j) : nullptr; };
  StripEngine<V, MASKED> engine(w, p);
  // The engine writes a row at its source columns: straight into out when
  // out spans them, else into a row of its own, copied out.
  const bool spans = xa == 0 && xb == w;
  std::vector<unsigned char> row(spans ? 0 : std::size_t(w));
  for (std::int32_t xs = xa; xs < xb; xs += engine.stripWidth()) {
    const std::int32_t xe = std::min(xs + engine.stripWidth(), xb);
    engine.startStrip(xs, xe);
    for (std::int32_t j = ya - ry; j <= ya + ry; ++j) engine.addRow(src.row(rowAt(j)), maskRow(rowAt(j)));
    for (std::int32_t y = ya; y < yb; ++y) {
      if (y > ya) {
        const std::int32_t leaving = rowAt(y - ry - 1);
        const std::int32_t entering = rowAt(y + ry);
        if (leaving != entering)
          engine.replaceRow(src.row(leaving), maskRow(leaving), src.row(entering), maskRow(entering));
      }
      unsigned char* const o = spans ? out.row(y - ya) : row.data();
      if (MASKED)
        engine.filterRowMasked(src.row(y), o);
      else
        engine.filterRow(o);
      if (!spans) std::copy(o + xs, o + xe, out.row(y - ya) + (xs - xa));
    }
  }
}

// The filter over src's window into out; mask, when bound, is a buffer whose
// window contains src's.
template <class V>
void filter(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
            const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& out) {
  if (mask.isBound())
    runStrips<V, true>(src, mask, p, out);
  else
    runStrips<V, false>(src, mask, p, out);
}

}  // namespace mxmedian

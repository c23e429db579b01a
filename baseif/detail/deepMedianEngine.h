// The constant-time median filter of 16-bit pels behind mfPelMedian, written
// once over a policy V of sixteen 16-bit counters as the 8-bit engine (see
// baseif/detail/medianEngine.h): V::T, V::zero(), V::load(p), V::store(p, c),
// V::add(a, b), V::sub(a, b), V::firstAbove(c, k).
//
// Internal to the library; compiled with the baseline instruction set and
// again for AVX2, each translation unit with a policy of its own.  The
// includer includes the standard headers used here before this header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelMedian.h"

namespace mxdeepmedian {

// The constant-time filter again, over up to 65536 levels: the value range
// (after clamping, values 0 .. high - low) is split into L levels of 4 bits
// each (L = 1 .. 4, from the range's width), and every level is a set of
// 16-lane groups, group g of level j holding the counts of the 16 bins of
// level j + 1 below bin g of level j.  Each source column keeps all its
// groups (16 + 256 + ... + 16^L counts, cumulative within each group as in
// the 8-bit engine, so that a rank is found by one comparison per level),
// stored group by group with the columns side by side, so that both the row
// sweep and a row's column updates walk memory in order; a row moving down
// adds a step to one group per level for the entering value and takes one
// away for the leaving value.  The window's counts of a
// group are kept per group and brought up to date lazily, only when a
// median's search passes through that group: from the position where it was
// last used by one column in and one out per step, or afresh as a sum over
// the window's columns.  A median that stays in the same groups, as it
// does over smooth backgrounds, costs one step per level and pel whatever
// the window size.  Strips of output columns keep the column store to about
// kDeepColumns source columns, unless the window is so wide that a strip's
// overlap would outweigh it, and always within kDeepBudget bytes (a strip
// needs the window's width in columns at least: with four levels, 140 KB a
// column, windows wider than about 900 columns take more); the store is
// obtained zeroed and left zeroed (each strip ends by removing its last
// window's rows), so pages that no value reaches are never touched.  With
// three levels (8.7 KB a column) a whole row of 8192 pels would hold 72 MB
// of store, past the last-level cache: the 12-bit median at 101 x 101 took
// 22.1 ns/pel on 8192 x 1024 pels in one strip against 15.9 in strips of
// 1024 columns (16.4 with 2048, 17.3 with 512), and 17.4 against 15.4 at
// 2048 x 2048.
constexpr std::size_t kDeepBudget = std::size_t(128) << 20;
constexpr std::int64_t kDeepColumns = 1024;

template <class V, int L, bool MASKED>
class DeepEngine {
public:
  using T = typename V::T;
  // (Nested, so that each instruction-set build has its own.)
  struct FreeDeleter {
    void operator()(std::uint16_t* p) const { std::free(p); }
  };
  // Counts of a column: sum over levels of 16^(j + 1).
  static constexpr std::ptrdiff_t levelOffset(int j) { return j == 0 ? 0 : levelOffset(j - 1) + (16 << 4 * (j - 1)); }
  static constexpr std::ptrdiff_t kColumn = levelOffset(L);
  // Groups of the window: sum over levels of 16^j.
  static constexpr std::ptrdiff_t groupIndex(int j) { return j == 0 ? 0 : groupIndex(j - 1) + (1 << 4 * (j - 1)); }
  static constexpr std::ptrdiff_t kGroups = groupIndex(L);

  DeepEngine(std::int32_t width, std::int32_t rx, std::int32_t n, std::uint32_t low, std::uint32_t high,
             bool average)
      : width_(width), rx_(rx), k_((n - 1) / 2), low_(low), high_(high), average_(average) {
    const std::int64_t budget = std::int64_t(kDeepBudget / (sizeof(std::uint16_t) * std::size_t(kColumn)));
    const std::int64_t overlap = 2 * std::int64_t(rx);
    const std::int64_t columns = kDeepColumns - overlap >= 2 * overlap ? std::min(kDeepColumns, budget) : budget;
    std::int64_t perStrip = std::max<std::int64_t>({columns - overlap, overlap + 1, 64});
    perStrip = std::min<std::int64_t>(perStrip, width);
    const std::int64_t strips = (width + perStrip - 1) / perStrip;
    stripWidth_ = std::int32_t((width + strips - 1) / strips);
    columns_ = std::min<std::int64_t>(width, stripWidth_ + 2 * std::int64_t(rx));
    cols_.reset(static_cast<std::uint16_t*>(std::calloc(std::size_t(columns_ * kColumn), sizeof(std::uint16_t))));
    blocks_ = (columns_ + kBlock - 1) / kBlock;
    sums_.reset(static_cast<std::uint16_t*>(
        std::calloc(kBlocks ? std::size_t(blocks_ * kBottom * 16) : 16, sizeof(std::uint16_t))));
    if (!cols_ || !sums_) throw std::bad_alloc();
    window_.resize(std::size_t(kGroups) * 16);
    synced_.resize(std::size_t(kGroups));
    for (int i = 0; i < 17; ++i)
      for (int j = 0; j < 16; ++j) steps_[i][j] = std::uint16_t(i < 16 && j >= i ? 1 : 0);
  }

  std::int32_t stripWidth() const { return stripWidth_; }

  void startStrip(std::int32_t xs, std::int32_t xe) {
    xs_ = xs;
    xe_ = xe;
    first_ = std::max(xs - rx_, 0);
    last_ = std::min(xe - 1 + rx_, width_ - 1);
  }

  // Adds (sign > 0) or removes source row s (mask row m) in the columns.
  void changeRow(const std::uint16_t* s, const unsigned char* m, bool add) {
    std::uint16_t* col = cols_.get();
    const std::ptrdiff_t n = columns_;
    for (std::int32_t c = first_; c <= last_; ++c, col += 16) {
      if (MASKED && m[c] == 0) continue;
      const std::uint32_t v = value(s[c]);
      for (int j = 0; j < L; ++j) {
        std::uint16_t* f = col + (levelOffset(j) + std::ptrdiff_t(v >> 4 * (L - j)) * 16) * n;
        const T step = V::load(steps_[(v >> 4 * (L - 1 - j)) & 15]);
        V::store(f, add ? V::add(V::load(f), step) : V::sub(V::load(f), step));
        if (kBlocks && j == L - 1) {
          std::uint16_t* b = blockSum(v >> 4, c);
          V::store(b, add ? V::add(V::load(b), step) : V::sub(V::load(b), step));
        }
      }
    }
  }

  // Replaces source row l (mask row lm) by row e (mask row em) in the columns.
  void replaceRow(const std::uint16_t* l, const unsigned char* lm, const std::uint16_t* e,
                  const unsigned char* em) {
    std::uint16_t* col = cols_.get();
    const std::ptrdiff_t n = columns_;
    for (std::int32_t c = first_; c <= last_; ++c, col += 16) {
      const std::uint32_t vl = value(l[c]), ve = value(e[c]);
      const bool ol = !MASKED || lm[c] != 0, oe = !MASKED || em[c] != 0;
      for (int j = 0; j < L; ++j) {
        const int shift = 4 * (L - 1 - j);
        std::uint16_t* fl = col + (levelOffset(j) + std::ptrdiff_t(vl >> (shift + 4)) * 16) * n;
        std::uint16_t* fe = col + (levelOffset(j) + std::ptrdiff_t(ve >> (shift + 4)) * 16) * n;
        const T sl = V::load(steps_[ol ? (vl >> shift) & 15 : 16]), se = V::load(steps_[oe ? (ve >> shift) & 15 : 16]);
        if (j == 0) {  // one group
          V::store(fl, V::add(V::sub(V::load(fl), sl), se));
          continue;
        }
        V::store(fl, V::sub(V::load(fl), sl));
        V::store(fe, V::add(V::load(fe), se));
        if (kBlocks && j == L - 1) {
          std::uint16_t* bl = blockSum(vl >> 4, c);
          V::store(bl, V::sub(V::load(bl), sl));
          std::uint16_t* be = blockSum(ve >> 4, c);
          V::store(be, V::add(V::load(be), se));
        }
      }
    }
  }

  // One output row of the strip: own the source row, out the output row
  // (both at column 0).
  void filterRow(const std::uint16_t* own, std::uint16_t* out) {
    std::fill(synced_.begin(), synced_.end(), kNever);
    if (!MASKED) {
      // With four levels, each row takes the way that suits the row above:
      // the family where the median changed bottom group at more than one
      // pel in eight there (low bits of noise), else the path alone (a
      // median that keeps its bottom group, as over smooth or coarsely
      // quantised differences, where stepping sixteen groups per pel is
      // wasted).
      // (Compiled for four levels only: the family is the level above the
      // bottom one's children, which fewer levels do not have.)
      if constexpr (L < 4) {
        filterRowUnmasked(out);
      } else {
        const std::int32_t changes = family_ ? filterRowFamily(out) : filterRowUnmasked(out);
        family_ = std::int64_t(changes) * 8 > std::int64_t(xe_ - xs_);
      }
      return;
    }
    for (std::int32_t x = xs_; x < xe_; ++x) {
      const std::int32_t n = sync(0, 0, x)[15];
      std::uint32_t v;
      if (n == 0) {
        v = value(own[x]);
      } else {
        const std::int32_t k = (n - 1) / 2;
        v = select(k, x);
        if (average_ && (n & 1) == 0) v = (v + select(k + 1, x) + 1) / 2;
      }
      out[x] = static_cast<unsigned short>(v + low_);
    }
  }

private:
  // The row without a mask, where every window holds the same number of
  // values: the window's counts of the groups on the median's path (one per
  // level) stay in registers and step along with the window; only where the
  // path turns are the groups below the turn parked and the new ones
  // brought up to date.
  struct Path {
    T w[L];                  // the window's counts of the path's groups
    const std::uint16_t* group[L];  // those groups in the column store
    std::uint32_t g[L];             // their indexes within their levels
    int lane[L];                    // the lane the path takes in each
  };

  // Takes the path from level j down for output pel x, rank k within group
  // g[j] (whose counts are in w[j]); returns the value.  Not inlined, so
  // that the row loop's path stays in registers.
  __attribute__((noinline)) std::uint32_t descend(Path& p, int j, std::int32_t k, std::int32_t x) {
    alignas(32) std::uint16_t t[16];
    for (;; ++j) {
      if (j > 0) {
        p.g[j] = p.g[j - 1] * 16 + std::uint32_t(p.lane[j - 1]);
        p.group[j] = cols_.get() + (levelOffset(j) + std::ptrdiff_t(p.g[j]) * 16) * columns_;
        p.w[j] = V::load(sync(j, p.g[j], x));
      }
      p.lane[j] = V::firstAbove(p.w[j], k);
      if (j == L - 1) return p.g[j] * 16 + std::uint32_t(p.lane[j]);
      V::store(t, p.w[j]);
      if (p.lane[j] > 0) k -= t[p.lane[j] - 1];
    }
  }

  // Returns at how many pels the median's bottom group changed.
  __attribute__((noinline)) std::int32_t filterRowUnmasked(std::uint16_t* out) {
    Path p;
    p.g[0] = 0;
    p.group[0] = cols_.get();
    p.w[0] = V::load(sync(0, 0, xs_));
    out[xs_] = static_cast<unsigned short>(descend(p, 0, k_, xs_) + low_);
    // The path in locals (registers), copied to p only where it turns.
    T w[L];
    const std::uint16_t* group[L];
    int lane[L];
    for (int j = 0; j < L; ++j) w[j] = p.w[j], group[j] = p.group[j], lane[j] = p.lane[j];
    alignas(32) std::uint16_t t[16];
    const std::int32_t rx = rx_, last = width_ - 1, first = first_, k0 = k_;
    const std::uint32_t low = low_;
    std::int32_t changes = 0;
    for (std::int32_t x = xs_ + 1; x < xe_; ++x) {
      const std::ptrdiff_t enter = (std::min(x + rx, last) - first) * 16;
      const std::ptrdiff_t leave = (std::max(x - 1 - rx, 0) - first) * 16;
      for (int j = 0; j < L; ++j) w[j] = V::add(V::sub(w[j], V::load(group[j] + leave)), V::load(group[j] + enter));
      std::int32_t k = k0;
      int j = 0;
      for (; j < L - 1; ++j) {
        const int l = V::firstAbove(w[j], k);
        if (l != lane[j]) break;
        V::store(t, w[j]);
        if (l > 0) k -= t[l - 1];
      }
      const int l = V::firstAbove(w[j], k);
      std::uint32_t v;
      if (j == L - 1) {
        lane[j] = l;
        std::uint32_t g = 0;
        for (int i = 0; i < L - 1; ++i) g = g * 16 + std::uint32_t(lane[i]);
        v = g * 16 + std::uint32_t(l);
      } else {
        // The path turns at level j: park the groups below, take new ones.
        ++changes;
        for (int i = 0; i < L; ++i) p.w[i] = w[i], p.lane[i] = lane[i];
        for (int i = j + 1; i < L; ++i) park(i, p.g[i], w[i], x);
        v = descend(p, j, k, x);
        for (int i = 0; i < L; ++i) w[i] = p.w[i], group[i] = p.group[i], lane[i] = p.lane[i];
      }
      out[x] = static_cast<unsigned short>(v + low);
    }
    return changes;
  }

  // Takes the path from level j down to level L - 2 for output pel x, rank
  // k within group g[j] (counts in w[j]); returns the rank within group
  // g[L - 2].
  __attribute__((noinline)) std::int32_t descendUpper(Path& p, int j, std::int32_t k, std::int32_t x) {
    alignas(32) std::uint16_t t[16];
    for (; j < L - 2; ++j) {
      p.lane[j] = V::firstAbove(p.w[j], k);
      V::store(t, p.w[j]);
      if (p.lane[j] > 0) k -= t[p.lane[j] - 1];
      p.g[j + 1] = p.g[j] * 16 + std::uint32_t(p.lane[j]);
      p.group[j + 1] = cols_.get() + (levelOffset(j + 1) + std::ptrdiff_t(p.g[j + 1]) * 16) * columns_;
      p.w[j + 1] = V::load(sync(j + 1, p.g[j + 1], x));
    }
    return k;
  }

  // The unmasked row with four levels, where the median changes bottom
  // group about every other pel: all 16 bottom groups below the path's
  // group of level 2 (a family of 256 values) step along with the window,
  // so that only a change of that group, some 30 times rarer, costs syncs.
  // Returns at how many pels the median's bottom group changed.
  __attribute__((noinline)) std::int32_t filterRowFamily(std::uint16_t* out) {
    constexpr int F = L - 2;  // the level whose group's children form the family
    const std::ptrdiff_t stride = 16 * columns_;
    Path p;
    p.g[0] = 0;
    p.group[0] = cols_.get();
    p.w[0] = V::load(sync(0, 0, xs_));
    T fam[16];
    auto takeFamily = [&](std::int32_t x) {
      for (int i = 0; i < 16; ++i) fam[i] = V::load(sync(L - 1, p.g[F] * 16 + std::uint32_t(i), x));
    };
    std::int32_t k = descendUpper(p, 0, k_, xs_);
    takeFamily(xs_);
    alignas(32) std::uint16_t t[16];
    std::int32_t changes = 0;
    int lastLane = -1;
    auto bottom = [&](std::int32_t kk) {
      const int l = V::firstAbove(p.w[F], kk);
      changes += l != lastLane;
      lastLane = l;
      V::store(t, p.w[F]);
      if (l > 0) kk -= t[l - 1];
      return (p.g[F] * 16 + std::uint32_t(l)) * 16 + std::uint32_t(V::firstAbove(fam[l], kk));
    };
    out[xs_] = static_cast<unsigned short>(bottom(k) + low_);
    const std::int32_t rx = rx_, last = width_ - 1, first = first_, k0 = k_;
    for (std::int32_t x = xs_ + 1; x < xe_; ++x) {
      const std::ptrdiff_t enter = (std::min(x + rx, last) - first) * 16;
      const std::ptrdiff_t leave = (std::max(x - 1 - rx, 0) - first) * 16;
      for (int j = 0; j <= F; ++j)
        p.w[j] = V::add(V::sub(p.w[j], V::load(p.group[j] + leave)), V::load(p.group[j] + enter));
      const std::uint16_t* f = cols_.get() + (levelOffset(L - 1) + std::ptrdiff_t(p.g[F]) * 256) * columns_;
      for (int i = 0; i < 16; ++i, f += stride) fam[i] = V::add(V::sub(fam[i], V::load(f + leave)), V::load(f + enter));
      k = k0;
      int j = 0;
      for (; j < F; ++j) {
        const int l = V::firstAbove(p.w[j], k);
        if (l != p.lane[j]) break;
        V::store(t, p.w[j]);
        if (l > 0) k -= t[l - 1];
      }
      if (j < F) {
        // The path turns above the family: park the groups below the turn
        // and the family, take new ones.
        for (int i = j + 1; i <= F; ++i) park(i, p.g[i], p.w[i], x);
        for (int i = 0; i < 16; ++i) park(L - 1, p.g[F] * 16 + std::uint32_t(i), fam[i], x);
        k = descendUpper(p, j, k, x);
        takeFamily(x);
        lastLane = -1;
      }
      out[x] = static_cast<unsigned short>(bottom(k) + low_);
    }
    return changes - 1;
  }

  // Keeps the window's counts c of group g of level j, up to date for
  // output pel x, for a later sync.
  void park(int j, std::uint32_t g, const T& c, std::int32_t x) {
    const std::ptrdiff_t i = groupIndex(j) + std::ptrdiff_t(g);
    V::store(&window_[std::size_t(i) * 16], c);
    synced_[std::size_t(i)] = x;
  }

  static constexpr std::int32_t kNever = -(1 << 30);

  std::uint32_t value(std::uint32_t v) const { return (v < low_ ? low_ : (v > high_ ? high_ : v)) - low_; }

  // The value of rank k (0-based) in the window of output pel x.
  std::uint32_t select(std::int32_t k, std::int32_t x) {
    std::uint32_t g = 0;
    for (int j = 0; j < L; ++j) {
      const std::uint16_t* w = sync(j, g, x);
      const int lane = V::firstAbove(V::load(w), k);
      if (lane > 0) k -= w[lane - 1];
      g = g * 16 + std::uint32_t(lane);
    }
    return g;
  }

  // The window's counts of group g of level j, brought up to output pel x.
  const std::uint16_t* sync(int j, std::uint32_t g, std::int32_t x) {
    const std::ptrdiff_t i = groupIndex(j) + std::ptrdiff_t(g);
    std::uint16_t* w = &window_[std::size_t(i) * 16];
    const std::int32_t s = synced_[std::size_t(i)];
    if (s == x) return w;
    const std::uint16_t* group = cols_.get() + (levelOffset(j) + std::ptrdiff_t(g) * 16) * columns_;
    T f;
    if (x - s <= (kBlocks && j == L - 1 ? std::min(2 * rx_, kBlock + kBlock / 2) : 2 * rx_)) {
      // Windows only move right: one column leaves and one enters per step.
      f = V::load(w);
      for (std::int32_t c = s + 1; c <= x; ++c) {
        const std::ptrdiff_t enter = std::min(c + rx_, width_ - 1) - first_;
        const std::ptrdiff_t leave = std::max(c - 1 - rx_, 0) - first_;
        f = V::add(V::sub(f, V::load(group + leave * 16)), V::load(group + enter * 16));
      }
    } else {
      f = windowSum(group, x, kBlocks && j == L - 1 ? blockSum(g, first_) : nullptr);
    }
    V::store(w, f);
    synced_[std::size_t(i)] = x;
    return w;
  }

  // c x the counters at p, by doubling.
  static T times(const std::uint16_t* p, std::int32_t c) {
    T sum = V::zero(), power = V::load(p);
    for (; c > 0; c >>= 1, power = V::add(power, power))
      if (c & 1) sum = V::add(sum, power);
    return sum;
  }

  // The sum of the group at p over the window of output pel x, clamped
  // columns counted once times their count; with the group's block sums
  // (blocks, bottom level only) whole blocks are added as one.  (Sums of
  // blocks may wrap around 16 bits; the window's sum, at most its area,
  // comes out exact.)
  T windowSum(const std::uint16_t* p, std::int32_t x, const std::uint16_t* blocks) const {
    const std::int32_t lo = x - rx_, hi = x + rx_;
    auto column = [&](std::int32_t c) { return p + std::ptrdiff_t(c - first_) * 16; };
    if (width_ == 1) return times(column(0), hi - lo + 1);
    T sum = V::zero();
    if (lo <= 0) sum = times(column(0), std::min(hi, 0) - lo + 1);
    std::int32_t c = std::max(lo, 1);
    const std::int32_t end = std::min(hi, width_ - 2);
    if (blocks) {
      for (; c <= end && (c - first_) % kBlock != 0; ++c) sum = V::add(sum, V::load(column(c)));
      for (; c + kBlock - 1 <= end; c += kBlock) sum = V::add(sum, V::load(blocks + (c - first_) / kBlock * 16));
    }
    for (; c <= end; ++c) sum = V::add(sum, V::load(column(c)));
    if (hi >= width_ - 1) sum = V::add(sum, times(column(width_ - 1), hi - std::max(lo, width_ - 1) + 1));
    return sum;
  }

  std::int32_t width_, rx_, k_;
  std::uint32_t low_, high_;
  bool average_;
  std::int32_t stripWidth_ = 0;
  bool family_ = false;  // the next unmasked row of four levels steps the family
  std::ptrdiff_t columns_ = 0;  // source columns of the widest strip
  std::int32_t xs_ = 0, xe_ = 0, first_ = 0, last_ = 0;
  // Group after group, each a row of columns_ x 16 counts: column c of
  // group g of level j at ((levelOffset(j) + 16 g) columns_ + 16 (c - first_)).
  std::unique_ptr<std::uint16_t, FreeDeleter> cols_;
  // Sums of kBlock neighbouring columns' counts, bottom level: block b of
  // group g at (g blocks_ + b) 16.  Kept with four levels only, where the
  // bottom groups are narrow against the noise of deep pels and the median
  // changes group at nearly every other pel (at three levels, one pel in
  // thirty on the benchmark's images: not worth the updates).
  static constexpr bool kBlocks = L == 4;
  static constexpr std::int32_t kBlock = 16;
  static constexpr std::ptrdiff_t kBottom = std::ptrdiff_t(1) << 4 * (L - 1);  // groups of the bottom level
  std::ptrdiff_t blocks_ = 0;
  std::unique_ptr<std::uint16_t, FreeDeleter> sums_;
  std::uint16_t* blockSum(std::uint32_t g, std::int32_t c) const {
    return sums_.get() + (std::ptrdiff_t(g) * blocks_ + (c - first_) / kBlock) * 16;
  }
  std::vector<std::uint16_t> window_;                 // the window's counts, group by group
  std::vector<std::int32_t> synced_;                  // the output pel each group was last brought to
  // What one value adds to a group: ones in lanes i .. 15 (row 16: nothing,
  // for excluded pels).
  alignas(32) std::uint16_t steps_[17][16];
};

template <class V, int L, bool MASKED>
void deepFilter(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out, std::int32_t top) {
  const std::int32_t w = src.width(), h = src.height();
  const std::int32_t rx = p.size.x() / 2, ry = p.size.y() / 2;
  const std::int32_t x0 = src.window().x(), y0 = src.window().y();
  auto rowAt = [&](std::int32_t j) { return j < 0 ? 0 : (j >= h ? h - 1 : j); };
  auto maskRow = [&](std::int32_t j) { return MASKED ? mask.pointToPel(x0, y0 + rowAt(j)) : nullptr; };
  auto srcRow = [&](std::int32_t j) { return src.row(rowAt(j)); };
  DeepEngine<V, L, MASKED> engine(w, rx, p.size.x() * p.size.y(), std::uint32_t(p.range.x()), std::uint32_t(p.range.y()),
                               p.averageMiddles);
  for (std::int32_t xs = 0; xs < w; xs += engine.stripWidth()) {
    engine.startStrip(xs, std::min(xs + engine.stripWidth(), w));
    for (std::int32_t j = top - ry; j <= top + ry; ++j) engine.changeRow(srcRow(j), maskRow(j), true);
    for (std::int32_t y = top; y < h; ++y) {
      if (y > top && rowAt(y - ry - 1) != rowAt(y + ry))
        engine.replaceRow(srcRow(y - ry - 1), maskRow(y - ry - 1), srcRow(y + ry), maskRow(y + ry));
      engine.filterRow(src.row(y), out.row(y));
    }
    // Back to empty columns for the next strip (or the next call).
    for (std::int32_t j = h - 1 - ry; j <= h - 1 + ry; ++j) engine.changeRow(srcRow(j), maskRow(j), false);
  }
}

template <class V, int L>
void deepFilterLevels(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out, std::int32_t top) {
  if (mask.isBound())
    deepFilter<V, L, true>(src, mask, p, out, top);
  else
    deepFilter<V, L, false>(src, mask, p, out, top);
}

// The filter over src's window into out (a buffer over the same window, not
// sharing src's store), its rows from top (relative to the window) down;
// mask, when bound, is a buffer whose window contains src's.  Parameters
// already checked.
template <class V>
void deepFilter(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out, std::int32_t top = 0) {
  const std::uint32_t span = std::uint32_t(p.range.y() - p.range.x());
  if (span < 16)
    deepFilterLevels<V, 1>(src, mask, p, out, top);
  else if (span < 256)
    deepFilterLevels<V, 2>(src, mask, p, out, top);
  else if (span < 4096)
    deepFilterLevels<V, 3>(src, mask, p, out, top);
  else
    deepFilterLevels<V, 4>(src, mask, p, out, top);
}

}  // namespace mxdeepmedian

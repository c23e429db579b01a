#include "baseif/mxPelMedian.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/medianEngine.h"
#include "baseif/detail/pelMedian.h"
#include "baseif/mxPelOps.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

mxPelMedianParams::mxPelMedianParams(mxPair<std::int32_t> size_, mxPair<std::int32_t> range_, bool averageMiddles_)
    : size(size_), range(range_), averageMiddles(averageMiddles_) {}

namespace {

constexpr std::int32_t kMaxArea = 32767;

// Sixteen 16-bit counters for the baseline build of the median engine (see
// baseif/detail/medianEngine.h).  With SSE2 (on every x86-64 processor) a
// Counts16 lives in two registers; the arrays are the portable version.
#if defined(__SSE2__)
struct Counts16 {
  __m128i lo, hi;
};
inline Counts16 zero16() { return {_mm_setzero_si128(), _mm_setzero_si128()}; }
inline Counts16 load16(const std::uint16_t* p) {
  const __m128i* q = reinterpret_cast<const __m128i*>(p);
  return {_mm_loadu_si128(q), _mm_loadu_si128(q + 1)};
}
inline void store16(std::uint16_t* p, const Counts16& c) {
  __m128i* q = reinterpret_cast<__m128i*>(p);
  _mm_storeu_si128(q, c.lo);
  _mm_storeu_si128(q + 1, c.hi);
}
inline Counts16 operator+(const Counts16& a, const Counts16& b) {
  return {_mm_add_epi16(a.lo, b.lo), _mm_add_epi16(a.hi, b.hi)};
}
inline Counts16 operator-(const Counts16& a, const Counts16& b) {
  return {_mm_sub_epi16(a.lo, b.lo), _mm_sub_epi16(a.hi, b.hi)};
}
// The first lane whose value exceeds k (the caller guarantees one does).
inline int firstAbove16(const Counts16& c, std::int32_t k) {
  const __m128i kk = _mm_set1_epi16(short(k));
  const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(c.lo, kk))) |
                        (unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(c.hi, kk))) << 16);
  return __builtin_ctz(mask) / 2;
}
#else
struct Counts16 {
  std::uint16_t v[16];
};
inline Counts16 zero16() { return Counts16{}; }
inline Counts16 load16(const std::uint16_t* p) {
  Counts16 c;
  std::memcpy(c.v, p, sizeof c.v);
  return c;
}
inline void store16(std::uint16_t* p, const Counts16& c) { std::memcpy(p, c.v, sizeof c.v); }
inline Counts16 operator+(const Counts16& a, const Counts16& b) {
  Counts16 c;
  for (int i = 0; i < 16; ++i) c.v[i] = std::uint16_t(a.v[i] + b.v[i]);
  return c;
}
inline Counts16 operator-(const Counts16& a, const Counts16& b) {
  Counts16 c;
  for (int i = 0; i < 16; ++i) c.v[i] = std::uint16_t(a.v[i] - b.v[i]);
  return c;
}
inline int firstAbove16(const Counts16& c, std::int32_t k) {
  int i = 0;
  while (c.v[i] <= k) ++i;
  return i;
}
#endif

void checkParams(const mxPelMedianParams& p) {
  const std::int32_t sx = p.size.x();
  const std::int32_t sy = p.size.y();
  if (sx < 1 || sy < 1 || sx % 2 == 0 || sy % 2 == 0)
    throw mxPelFunc::BadParams(L"mfPelMedian: the window size must be odd and >= 1 on both axes");
  if (std::int64_t(sx) * sy > kMaxArea)
    throw mxPelFunc::BadParams(L"mfPelMedian: the window may hold at most 32767 pels");
  if (p.range.x() < 0 || p.range.x() > p.range.y() || p.range.y() > 255)
    throw mxPelFunc::BadParams(L"mfPelMedian: the range must satisfy 0 <= low <= high <= 255");
}

struct Counts16Ops {
  using T = Counts16;
  static T zero() { return zero16(); }
  static T load(const std::uint16_t* p) { return load16(p); }
  static void store(std::uint16_t* p, const T& c) { store16(p, c); }
  static T add(const T& a, const T& b) { return a + b; }
  static T sub(const T& a, const T& b) { return a - b; }
  static int firstAbove(const T& c, std::int32_t k) { return firstAbove16(c, k); }
  static std::int32_t splat(std::int32_t k) { return k; }
  static int firstAboveSplat(const T& c, std::int32_t k) { return firstAbove16(c, k); }

  struct P {
    Counts16 lo, hi;
  };
  static P loadPair(const std::uint16_t* p) { return {load16(p), load16(p + 16)}; }
  static P addPair(const P& a, const P& b) { return {a.lo + b.lo, a.hi + b.hi}; }
  static P subPair(const P& a, const P& b) { return {a.lo - b.lo, a.hi - b.hi}; }
  static P joinPair(const T& lo, const T& hi) { return {lo, hi}; }
  static T lowHalf(const P& p) { return p.lo; }
  static T highHalf(const P& p) { return p.hi; }
  // The totals lanes below the pair's groups (-1: none).
  struct Sel {
    int lo, hi;
  };
  static Sel select(int g) { return {g - 1, g}; }
  static int pairFirstAbove(const P& p, const T& totals, const Sel& s, std::int32_t k) {
    std::uint16_t t[16];
    store16(t, totals);
    const std::int32_t kLo = k - (s.lo < 0 ? 0 : t[s.lo]);
    if (t[s.hi] > k) return firstAbove16(p.lo, kLo);  // the lower group holds it
    return 16 + firstAbove16(p.hi, k - t[s.hi]);
  }
};

}  // namespace

void mxkernel::pelMedianPortable(const mxPelBuffer_const<unsigned char>& src,
                                 const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& params,
                                 const mxPelBuffer<unsigned char>& out) {
  mxmedian::filter<Counts16Ops>(src, mask, params, out);
}

void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                 const mxPelMedianParams& params, mxPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  checkParams(params);
  if (!dst.isBound()) {
    mxPelBuffer<unsigned char> fresh(src.window());
    fresh.copyXforms(src);
    dst = fresh;
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  // A mask whose window does not cover the source's is copied onto a zero
  // (unset) background over the source's window.
  mxPelBuffer_const<unsigned char> m = mask;
  if (mask.isBound() && !mask.window().contains(src.window())) {
    mxPelBuffer<unsigned char> full(src.window());
    mfPelCopy<unsigned char>(mask, full);
    m = full;
  }
  // The filter reads source rows below the row it writes, so it writes
  // straight into dst only when dst shows the source's window in a store of
  // its own.
  const bool direct = dst.window() == src.window() && dst.root() != src.root() && dst.root() != m.root();
  mxPelBuffer<unsigned char> out = direct ? dst : mxPelBuffer<unsigned char>(src.window());
  // The highest version the processor has, at most the dispatch level (the
  // tests and benchmarks cap it to run the lower ones).
  const mxcpu::Level level = mxcpu::level();
  const bool done = (level == mxcpu::Level::kAvx512 && mxkernel::pelMedianAvx512(src, m, params, out)) ||
                    (level >= mxcpu::Level::kAvx2 && mxkernel::pelMedianAvx2(src, m, params, out));
  if (!done) mxkernel::pelMedianPortable(src, m, params, out);
  if (!direct) mfPelCopy<unsigned char>(out, dst);
}

void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelMedianParams& params,
                 mxPelBuffer<unsigned char>& dst) {
  mfPelMedian(src, mxPelBuffer_const<unsigned char>(), params, dst);
}

// ---- 16-bit pels ----
//
// The constant-time filter again, over up to 65536 levels: the value range
// (after clamping, values 0 .. high - low) is split into L levels of 4 bits
// each (L = 1 .. 4, from the range's width), and every level is a set of
// 16-lane groups, group g of level j holding the counts of the 16 bins of
// level j + 1 below bin g of level j.  Each source column keeps all its
// groups (16 + 256 + ... + 16^L counts, cumulative within each group as in
// the 8-bit engine, so that a rank is found by one comparison per level),
// stored group by group with the columns side by side, so that both the row
// sweep and a row's column updates walk memory in order; a row moving down adds a step to one group per level for the entering
// value and takes one away for the leaving value.  The window's counts of a
// group are kept per group and brought up to date lazily, only when a
// median's search passes through that group: from the position where it was
// last used by one column in and one out per step, or afresh as a sum over
// the window's columns.  A median that stays in the same groups, as it
// does over smooth backgrounds, costs one step per level and pel whatever
// the window size.  Strips of output columns hold the column store within
// kDeepBudget bytes; the store is obtained zeroed and left zeroed (each strip
// ends by removing its last window's rows), so pages that no value reaches
// are never touched.
namespace {

constexpr std::size_t kDeepBudget = std::size_t(128) << 20;

struct FreeDeleter {
  void operator()(std::uint16_t* p) const { std::free(p); }
};

template <int L, bool MASKED>
class DeepEngine {
public:
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
    std::int64_t perStrip = std::max<std::int64_t>({budget - 2 * std::int64_t(rx), 2 * std::int64_t(rx) + 1, 64});
    perStrip = std::min<std::int64_t>(perStrip, width);
    const std::int64_t strips = (width + perStrip - 1) / perStrip;
    stripWidth_ = std::int32_t((width + strips - 1) / strips);
    columns_ = std::min<std::int64_t>(width, stripWidth_ + 2 * std::int64_t(rx));
    cols_.reset(static_cast<std::uint16_t*>(std::calloc(std::size_t(columns_ * kColumn), sizeof(std::uint16_t))));
    if (!cols_) throw std::bad_alloc();
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
        const Counts16 step = load16(steps_[(v >> 4 * (L - 1 - j)) & 15]);
        store16(f, add ? load16(f) + step : load16(f) - step);
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
        store16(fl, load16(fl) - load16(steps_[ol ? (vl >> shift) & 15 : 16]));
        store16(fe, load16(fe) + load16(steps_[oe ? (ve >> shift) & 15 : 16]));
      }
    }
  }

  // One output row of the strip: own the source row, out the output row
  // (both at column 0).
  void filterRow(const std::uint16_t* own, std::uint16_t* out) {
    std::fill(synced_.begin(), synced_.end(), kNever);
    for (std::int32_t x = xs_; x < xe_; ++x) {
      const std::int32_t n = sync(0, 0, x)[15];
      std::uint32_t v;
      if (MASKED && n == 0) {
        v = value(own[x]);
      } else {
        const std::int32_t k = MASKED ? (n - 1) / 2 : k_;
        v = select(k, x);
        if (MASKED && average_ && (n & 1) == 0) v = (v + select(k + 1, x) + 1) / 2;
      }
      out[x] = static_cast<unsigned short>(v + low_);
    }
  }

private:
  static constexpr std::int32_t kNever = -(1 << 30);

  std::uint32_t value(std::uint32_t v) const { return (v < low_ ? low_ : (v > high_ ? high_ : v)) - low_; }

  // The value of rank k (0-based) in the window of output pel x.
  std::uint32_t select(std::int32_t k, std::int32_t x) {
    std::uint32_t g = 0;
    for (int j = 0; j < L; ++j) {
      const std::uint16_t* w = sync(j, g, x);
      const int lane = firstAbove16(load16(w), k);
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
    Counts16 f;
    if (x - s <= 2 * rx_) {
      // Windows only move right: one column leaves and one enters per step.
      f = load16(w);
      for (std::int32_t c = s + 1; c <= x; ++c) {
        const std::ptrdiff_t enter = std::min(c + rx_, width_ - 1) - first_;
        const std::ptrdiff_t leave = std::max(c - 1 - rx_, 0) - first_;
        f = f - load16(group + leave * 16) + load16(group + enter * 16);
      }
    } else {
      f = windowSum(group, x);
    }
    store16(w, f);
    synced_[std::size_t(i)] = x;
    return w;
  }

  // c x the counters at p, by doubling.
  static Counts16 times(const std::uint16_t* p, std::int32_t c) {
    Counts16 sum = zero16(), power = load16(p);
    for (; c > 0; c >>= 1, power = power + power)
      if (c & 1) sum = sum + power;
    return sum;
  }

  // The sum of the group at p over the window of output pel x, clamped
  // columns counted once times their count.
  Counts16 windowSum(const std::uint16_t* p, std::int32_t x) const {
    const std::int32_t lo = x - rx_, hi = x + rx_;
    auto column = [&](std::int32_t c) { return p + std::ptrdiff_t(c - first_) * 16; };
    if (width_ == 1) return times(column(0), hi - lo + 1);
    Counts16 sum = zero16();
    if (lo <= 0) sum = times(column(0), std::min(hi, 0) - lo + 1);
    for (std::int32_t c = std::max(lo, 1); c <= std::min(hi, width_ - 2); ++c) sum = sum + load16(column(c));
    if (hi >= width_ - 1) sum = sum + times(column(width_ - 1), hi - std::max(lo, width_ - 1) + 1);
    return sum;
  }

  std::int32_t width_, rx_, k_;
  std::uint32_t low_, high_;
  bool average_;
  std::int32_t stripWidth_ = 0;
  std::ptrdiff_t columns_ = 0;  // source columns of the widest strip
  std::int32_t xs_ = 0, xe_ = 0, first_ = 0, last_ = 0;
  // Group after group, each a row of columns_ x 16 counts: column c of
  // group g of level j at ((levelOffset(j) + 16 g) columns_ + 16 (c - first_)).
  std::unique_ptr<std::uint16_t, FreeDeleter> cols_;
  std::vector<std::uint16_t> window_;                 // the window's counts, group by group
  std::vector<std::int32_t> synced_;                  // the output pel each group was last brought to
  // What one value adds to a group: ones in lanes i .. 15 (row 16: nothing,
  // for excluded pels).
  alignas(32) std::uint16_t steps_[17][16];
};

template <int L, bool MASKED>
void deepFilter(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out) {
  const std::int32_t w = src.width(), h = src.height();
  const std::int32_t rx = p.size.x() / 2, ry = p.size.y() / 2;
  const std::int32_t x0 = src.window().x(), y0 = src.window().y();
  auto rowAt = [&](std::int32_t j) { return j < 0 ? 0 : (j >= h ? h - 1 : j); };
  auto maskRow = [&](std::int32_t j) { return MASKED ? mask.pointToPel(x0, y0 + rowAt(j)) : nullptr; };
  auto srcRow = [&](std::int32_t j) { return src.row(rowAt(j)); };
  DeepEngine<L, MASKED> engine(w, rx, p.size.x() * p.size.y(), std::uint32_t(p.range.x()), std::uint32_t(p.range.y()),
                               p.averageMiddles);
  for (std::int32_t xs = 0; xs < w; xs += engine.stripWidth()) {
    engine.startStrip(xs, std::min(xs + engine.stripWidth(), w));
    for (std::int32_t j = -ry; j <= ry; ++j) engine.changeRow(srcRow(j), maskRow(j), true);
    for (std::int32_t y = 0; y < h; ++y) {
      if (y > 0 && rowAt(y - ry - 1) != rowAt(y + ry))
        engine.replaceRow(srcRow(y - ry - 1), maskRow(y - ry - 1), srcRow(y + ry), maskRow(y + ry));
      engine.filterRow(src.row(y), out.row(y));
    }
    // Back to empty columns for the next strip (or the next call).
    for (std::int32_t j = h - 1 - ry; j <= h - 1 + ry; ++j) engine.changeRow(srcRow(j), maskRow(j), false);
  }
}

template <int L>
void deepFilterLevels(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelMedianParams& p, const mxPelBuffer<unsigned short>& out) {
  if (mask.isBound())
    deepFilter<L, true>(src, mask, p, out);
  else
    deepFilter<L, false>(src, mask, p, out);
}

}  // namespace

void mfPelMedian(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& mask,
                 const mxPelMedianParams& params, mxPelBuffer<unsigned short>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const mxPair<std::int32_t> size = params.size, range = params.range;
  if (size.x() < 1 || size.y() < 1 || size.x() % 2 == 0 || size.y() % 2 == 0 ||
      std::int64_t(size.x()) * size.y() > kMaxArea)
    throw mxPelFunc::BadParams(L"mfPelMedian: the window must have odd sides of at most 32767 pels in all");
  if (range.x() < 0 || range.x() > range.y() || range.y() > 65535)
    throw mxPelFunc::BadParams(L"mfPelMedian: the 16-bit range must be 0 <= low <= high <= 65535");
  if (!dst.isBound()) {
    dst = mxPelBuffer<unsigned short>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  // As for 8-bit pels: a mask not covering the source's window goes onto an
  // unset background, and the result goes straight into dst only when dst
  // shows the source's window in a store of its own.
  mxPelBuffer_const<unsigned char> m = mask;
  if (mask.isBound() && !mask.window().contains(src.window())) {
    mxPelBuffer<unsigned char> full(src.window());
    mfPelCopy<unsigned char>(mask, full);
    m = full;
  }
  const bool direct = dst.window() == src.window() && dst.root() != src.root();
  mxPelBuffer<unsigned short> out = direct ? dst : mxPelBuffer<unsigned short>(src.window(), 32, mxPelInit::eUnwritten);
  const std::uint32_t span = std::uint32_t(range.y() - range.x());
  const int levels = span < 16 ? 1 : span < 256 ? 2 : span < 4096 ? 3 : 4;
  switch (levels) {
    case 1: deepFilterLevels<1>(src, m, params, out); break;
    case 2: deepFilterLevels<2>(src, m, params, out); break;
    case 3: deepFilterLevels<3>(src, m, params, out); break;
    default: deepFilterLevels<4>(src, m, params, out); break;
  }
  if (!direct) mfPelCopy<unsigned short>(out, dst);
}

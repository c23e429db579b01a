#include "baseif/mxPelMedian.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "baseif/mxPelOps.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

mxPelMedianParams::mxPelMedianParams(mxPair<std::int32_t> size_, mxPair<std::int32_t> range_, bool averageMiddles_)
    : size(size_), range(range_), averageMiddles(averageMiddles_) {}

namespace {

constexpr std::int32_t kMaxArea = 32767;

// Sixteen 16-bit counters: one coarse histogram, or one fine group of a
// histogram.  Counts never exceed 32767 (the window area limit), so they
// also compare correctly as signed 16-bit values.  With SSE2 (on every x86-64
// processor) a Counts16 lives in two registers; the arrays are the portable
// version.
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
// Running totals: lane i becomes c[0] + ... + c[i] (three shift-and-add
// steps per half, then the upper half gets the lower half's total).
inline Counts16 prefix16(const Counts16& c) {
  __m128i lo = c.lo, hi = c.hi;
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 2));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 2));
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 4));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 4));
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 8));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 8));
  const __m128i top = _mm_shufflehi_epi16(lo, 0xFF);
  return {lo, _mm_add_epi16(hi, _mm_unpackhi_epi64(top, top))};
}
inline std::int32_t lastLane(const Counts16& c) { return _mm_extract_epi16(c.hi, 7); }
// The first lane whose value exceeds k (the caller guarantees one does).
inline int firstAbove(const Counts16& c, std::int32_t k) {
  const __m128i kk = _mm_set1_epi16(short(k));
  const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(c.lo, kk))) |
                        (unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(c.hi, kk))) << 16);
  return __builtin_ctz(mask) / 2;
}
inline std::int32_t lane(const Counts16& c, int i) {
  alignas(16) std::uint16_t v[16];
  store16(v, c);
  return v[i];
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
inline Counts16 prefix16(const Counts16& a) {
  Counts16 c = a;
  for (int i = 1; i < 16; ++i) c.v[i] = std::uint16_t(c.v[i] + c.v[i - 1]);
  return c;
}
inline std::int32_t lastLane(const Counts16& c) { return c.v[15]; }
inline int firstAbove(const Counts16& c, std::int32_t k) {
  int i = 0;
  while (c.v[i] <= k) ++i;
  return i;
}
inline std::int32_t lane(const Counts16& c, int i) { return c.v[i]; }
#endif

// The sliding histograms of one filter run.
//
// Column histograms cover, for every source column, the rows of the current
// output row's window (clipped at the top and bottom): a coarse histogram of
// 16 bins per column (value >> 4) and a fine one of 256 bins stored per
// coarse group, fine[(group * width + column) * 16 + (value & 15)], so that
// the 16 fine bins of one group lie together and neighbouring columns follow
// each other.  The window histogram of the current pel is the sum of the
// column histograms of its (clipped) columns: its coarse part is kept up to
// date at every step, each fine group only when the search enters it (it then
// catches up on the columns that entered and left since its last use).  The
// search runs on running totals of the coarse bins, then of the fine group.
class MedianEngine {
public:
  MedianEngine(std::int32_t width, const mxPelMedianParams& p)
      : width_(width),
        rx_((p.size.x() - 1) / 2),
        low_(p.range.x()),
        high_(p.range.y()),
        average_(p.averageMiddles),
        fine_(std::size_t(width) * 256),
        coarse_(std::size_t(width) * 16) {}

  // Adds (delta 1) or removes (delta -1) one source row; mask null counts
  // every pel.
  template <bool MASKED>
  void updateColumns(const unsigned char* s, const unsigned char* m, int delta) {
    const std::uint16_t d = std::uint16_t(delta);
    std::uint16_t* fine = fine_.data();
    std::uint16_t* coarse = coarse_.data();
    const std::size_t groupStride = std::size_t(width_) * 16;
    for (std::int32_t c = 0; c < width_; ++c) {
      if (MASKED && m[c] == 0) continue;
      const unsigned v = s[c];
      fine[(v >> 4) * groupStride + std::size_t(c) * 16 + (v & 15)] += d;
      coarse[std::size_t(c) * 16 + (v >> 4)] += d;
    }
  }

  // Filters one output row from the current column histograms; own is the
  // source row (for empty windows), out the destination row.
  void filterRow(const unsigned char* own, unsigned char* out) {
    for (int b = 0; b < 16; ++b) {
      syncLo_[b] = 0;
      syncHi_[b] = -1;
    }
    const std::uint16_t* coarse = coarse_.data();
    Counts16 window = zero16();
    for (std::int32_t c = 0; c <= std::min(rx_, width_ - 1); ++c) window = window + load16(coarse + c * 16);
    for (std::int32_t x = 0; x < width_; ++x) {
      const Counts16 totals = prefix16(window);
      const std::int32_t n = lastLane(totals);
      out[x] = n == 0 ? clampValue(own[x]) : median(totals, n, std::max(0, x - rx_), std::min(width_ - 1, x + rx_));
      if (x - rx_ >= 0) window = window - load16(coarse + (x - rx_) * 16);
      if (x + rx_ + 1 < width_) window = window + load16(coarse + (x + rx_ + 1) * 16);
    }
  }

private:
  unsigned clampValue(unsigned v) const {
    return unsigned(int(v) < low_ ? low_ : (int(v) > high_ ? high_ : int(v)));
  }

  // Brings fine group b up to the window columns lo .. hi and returns its
  // running totals.
  Counts16 syncFine(int b, std::int32_t lo, std::int32_t hi) {
    std::int32_t& sLo = syncLo_[b];
    std::int32_t& sHi = syncHi_[b];
    const std::uint16_t* group = fine_.data() + std::size_t(b) * std::size_t(width_) * 16;
    Counts16 f;
    if (sHi < lo || sLo > hi) {
      f = zero16();
      for (std::int32_t c = lo; c <= hi; ++c) f = f + load16(group + c * 16);
    } else {
      // Windows only move right, so columns leave on the left and enter on
      // the right.
      f = load16(windowFine_[b]);
      for (std::int32_t c = sLo; c < lo; ++c) f = f - load16(group + c * 16);
      for (std::int32_t c = sHi + 1; c <= hi; ++c) f = f + load16(group + c * 16);
    }
    store16(windowFine_[b], f);
    sLo = lo;
    sHi = hi;
    return prefix16(f);
  }

  // The value of rank k (0 = smallest) in the window whose coarse running
  // totals are given.
  unsigned valueOfRank(const Counts16& totals, std::int32_t k, std::int32_t lo, std::int32_t hi) {
    const int b = firstAbove(totals, k);
    const std::int32_t below = b == 0 ? 0 : lane(totals, b - 1);
    return unsigned(b * 16 + firstAbove(syncFine(b, lo, hi), k - below));
  }

  unsigned char median(const Counts16& totals, std::int32_t n, std::int32_t lo, std::int32_t hi) {
    const std::int32_t k = (n - 1) / 2;  // rank of the lower middle value
    const unsigned lower = clampValue(valueOfRank(totals, k, lo, hi));
    if (!average_ || (n & 1) != 0) return (unsigned char)lower;
    return (unsigned char)((lower + clampValue(valueOfRank(totals, k + 1, lo, hi)) + 1) / 2);
  }

  std::int32_t width_;
  std::int32_t rx_;
  int low_, high_;
  bool average_;
  std::vector<std::uint16_t> fine_;
  std::vector<std::uint16_t> coarse_;
  std::uint16_t windowFine_[16][16];
  std::int32_t syncLo_[16];
  std::int32_t syncHi_[16];
};

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

// Runs the filter over src's window into out (a buffer over the same window);
// mask, when MASKED, is a buffer whose window contains src's.
template <bool MASKED>
void runMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
               const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& out) {
  const std::int32_t w = src.width();
  const std::int32_t h = src.height();
  if (w <= 0 || h <= 0) return;
  const std::int32_t ry = (p.size.y() - 1) / 2;
  const std::int32_t x0 = src.window().x();
  const std::int32_t y0 = src.window().y();
  auto maskRow = [&](std::int32_t j) { return MASKED ? mask.pointToPel(x0, y0 + j) : nullptr; };
  MedianEngine engine(w, p);
  for (std::int32_t j = 0; j <= std::min(ry, h - 1); ++j) engine.updateColumns<MASKED>(src.row(j), maskRow(j), 1);
  for (std::int32_t y = 0; y < h; ++y) {
    if (y > 0) {
      const std::int32_t leaving = y - ry - 1;
      const std::int32_t entering = y + ry;
      if (leaving >= 0) engine.updateColumns<MASKED>(src.row(leaving), maskRow(leaving), -1);
      if (entering < h) engine.updateColumns<MASKED>(src.row(entering), maskRow(entering), 1);
    }
    engine.filterRow(src.row(y), out.row(y));
  }
}

}  // namespace

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
  if (m.isBound())
    runMedian<true>(src, m, params, out);
  else
    runMedian<false>(src, m, params, out);
  if (!direct) mfPelCopy<unsigned char>(out, dst);
}

void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelMedianParams& params,
                 mxPelBuffer<unsigned char>& dst) {
  mfPelMedian(src, mxPelBuffer_const<unsigned char>(), params, dst);
}

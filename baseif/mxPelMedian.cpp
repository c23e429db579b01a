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

// Sixteen 16-bit counters: one coarse histogram, or one fine group.  The
// counts never exceed 32767 (the window area limit), so they also compare
// correctly as signed 16-bit values.  SSE2 (on every x86-64 processor) does
// each operation in a few instructions; the loops are the portable version.
inline void add16(std::uint16_t* acc, const std::uint16_t* h) {
#if defined(__SSE2__)
  __m128i* a = reinterpret_cast<__m128i*>(acc);
  const __m128i* b = reinterpret_cast<const __m128i*>(h);
  _mm_storeu_si128(a, _mm_add_epi16(_mm_loadu_si128(a), _mm_loadu_si128(b)));
  _mm_storeu_si128(a + 1, _mm_add_epi16(_mm_loadu_si128(a + 1), _mm_loadu_si128(b + 1)));
#else
  for (int i = 0; i < 16; ++i) acc[i] = std::uint16_t(acc[i] + h[i]);
#endif
}

inline void sub16(std::uint16_t* acc, const std::uint16_t* h) {
#if defined(__SSE2__)
  __m128i* a = reinterpret_cast<__m128i*>(acc);
  const __m128i* b = reinterpret_cast<const __m128i*>(h);
  _mm_storeu_si128(a, _mm_sub_epi16(_mm_loadu_si128(a), _mm_loadu_si128(b)));
  _mm_storeu_si128(a + 1, _mm_sub_epi16(_mm_loadu_si128(a + 1), _mm_loadu_si128(b + 1)));
#else
  for (int i = 0; i < 16; ++i) acc[i] = std::uint16_t(acc[i] - h[i]);
#endif
}

// The first bin i at which the running total h[0] + ... + h[i] exceeds k
// (the caller guarantees there is one); below receives the total before it.
inline int findRank(const std::uint16_t* h, std::int32_t k, std::int32_t& below) {
#if defined(__SSE2__)
  // Prefix sums of both halves in three shift-and-add steps, then the upper
  // half gets the lower half's total.
  __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
  __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h) + 1);
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 2));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 2));
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 4));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 4));
  lo = _mm_add_epi16(lo, _mm_slli_si128(lo, 8));
  hi = _mm_add_epi16(hi, _mm_slli_si128(hi, 8));
  const __m128i top = _mm_shufflehi_epi16(lo, 0xFF);
  hi = _mm_add_epi16(hi, _mm_unpackhi_epi64(top, top));
  const __m128i kk = _mm_set1_epi16(short(k));
  const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(lo, kk))) |
                        (unsigned(_mm_movemask_epi8(_mm_cmpgt_epi16(hi, kk))) << 16);
  const int i = __builtin_ctz(mask) / 2;
  alignas(16) std::uint16_t prefix[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(prefix), lo);
  _mm_store_si128(reinterpret_cast<__m128i*>(prefix) + 1, hi);
  below = i == 0 ? 0 : prefix[i - 1];
  return i;
#else
  std::int32_t total = 0;
  int i = 0;
  while (total + h[i] <= k) total += h[i++];
  below = total;
  return i;
#endif
}

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
// catches up on the columns that entered and left since its last use).
class MedianEngine {
public:
  MedianEngine(std::int32_t width, const mxPelMedianParams& p)
      : width_(width),
        rx_((p.size.x() - 1) / 2),
        low_(p.range.x()),
        high_(p.range.y()),
        average_(p.averageMiddles),
        fine_(std::size_t(width) * 256),
        coarse_(std::size_t(width) * 16),
        count_(std::size_t(width)) {}

  // Adds (delta 1) or removes (delta -1) one source row; mask null counts
  // every pel.
  template <bool MASKED>
  void updateColumns(const unsigned char* s, const unsigned char* m, int delta) {
    const std::uint16_t d = std::uint16_t(delta);
    for (std::int32_t c = 0; c < width_; ++c) {
      if (MASKED && m[c] == 0) continue;
      const unsigned v = s[c];
      fine_[((v >> 4) * std::size_t(width_) + std::size_t(c)) * 16 + (v & 15)] += d;
      coarse_[std::size_t(c) * 16 + (v >> 4)] += d;
      count_[std::size_t(c)] += d;
    }
  }

  // Filters one output row from the current column histograms; own is the
  // source row (for empty windows), out the destination row.
  void filterRow(const unsigned char* own, unsigned char* out) {
    std::memset(windowCoarse_, 0, sizeof windowCoarse_);
    for (int b = 0; b < 16; ++b) {
      syncLo_[b] = 0;
      syncHi_[b] = -1;
    }
    std::int32_t n = 0;
    const std::int32_t firstHi = std::min(rx_, width_ - 1);
    for (std::int32_t c = 0; c <= firstHi; ++c) {
      addCoarse(c, 1);
      n += count_[std::size_t(c)];
    }
    for (std::int32_t x = 0; x < width_; ++x) {
      lo_ = std::max(0, x - rx_);
      hi_ = std::min(width_ - 1, x + rx_);
      out[x] = n == 0 ? clampValue(own[x]) : median(n);
      if (x - rx_ >= 0) {
        addCoarse(x - rx_, -1);
        n -= count_[std::size_t(x - rx_)];
      }
      if (x + rx_ + 1 < width_) {
        addCoarse(x + rx_ + 1, 1);
        n += count_[std::size_t(x + rx_ + 1)];
      }
    }
  }

private:
  unsigned char clampValue(unsigned v) const {
    return (unsigned char)(int(v) < low_ ? low_ : (int(v) > high_ ? high_ : int(v)));
  }

  void addCoarse(std::int32_t c, int sign) {
    const std::uint16_t* h = &coarse_[std::size_t(c) * 16];
    if (sign > 0)
      add16(windowCoarse_, h);
    else
      sub16(windowCoarse_, h);
  }

  void addFine(int b, std::int32_t c, int sign) {
    const std::uint16_t* h = &fine_[(std::size_t(b) * std::size_t(width_) + std::size_t(c)) * 16];
    if (sign > 0)
      add16(windowFine_[b], h);
    else
      sub16(windowFine_[b], h);
  }

  // Brings fine group b up to the current window columns lo_ .. hi_.
  const std::uint16_t* syncFine(int b) {
    std::int32_t& sLo = syncLo_[b];
    std::int32_t& sHi = syncHi_[b];
    if (sHi < lo_ || sLo > hi_) {
      std::memset(windowFine_[b], 0, sizeof windowFine_[b]);
      for (std::int32_t c = lo_; c <= hi_; ++c) addFine(b, c, 1);
    } else {
      // Windows only move right, so columns leave on the left and enter on
      // the right.
      for (std::int32_t c = sLo; c < lo_; ++c) addFine(b, c, -1);
      for (std::int32_t c = sHi + 1; c <= hi_; ++c) addFine(b, c, 1);
    }
    sLo = lo_;
    sHi = hi_;
    return windowFine_[b];
  }

  // The value of rank k (0 = smallest) in the current window.
  unsigned valueOfRank(std::int32_t k) {
    std::int32_t below = 0;
    const int b = findRank(windowCoarse_, k, below);
    std::int32_t belowFine = 0;
    const int i = findRank(syncFine(b), k - below, belowFine);
    return unsigned(b * 16 + i);
  }

  unsigned char median(std::int32_t n) {
    const std::int32_t k = (n - 1) / 2;  // rank of the lower middle value
    const unsigned lower = clampValue(valueOfRank(k));
    if (!average_ || (n & 1) != 0) return (unsigned char)lower;
    return (unsigned char)((lower + clampValue(valueOfRank(k + 1)) + 1) / 2);
  }

  std::int32_t width_;
  std::int32_t rx_;
  int low_, high_;
  bool average_;
  std::vector<std::uint16_t> fine_;
  std::vector<std::uint16_t> coarse_;
  std::vector<std::uint16_t> count_;
  alignas(16) std::uint16_t windowCoarse_[16];
  alignas(16) std::uint16_t windowFine_[16][16];
  std::int32_t syncLo_[16];
  std::int32_t syncHi_[16];
  std::int32_t lo_ = 0, hi_ = 0;
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

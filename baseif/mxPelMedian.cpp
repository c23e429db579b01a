#include "baseif/mxPelMedian.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/deepMedianEngine.h"
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

namespace {
// The mask as the filters read it: one whose window does not cover the
// source's is copied onto a zero (unset) background over the source's window.
mxPelBuffer_const<unsigned char> maskOver(const mxPelBuffer_const<unsigned char>& mask, const mxPelRect& window) {
  if (!mask.isBound() || mask.window().contains(window)) return mask;
  mxPelBuffer<unsigned char> full(window);
  mfPelCopy<unsigned char>(mask, full);
  return full;
}

// The engines over src's window into out (a buffer over the window src
// shows, or part of it, not sharing src's store): the highest version the
// processor has, at most the dispatch level (the tests and benchmarks cap
// it to run the lower ones).
void median8(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& m,
             const mxPelMedianParams& params, const mxPelBuffer<unsigned char>& out) {
  const mxcpu::Level level = mxcpu::level();
  const bool done = (level == mxcpu::Level::kAvx512 && mxkernel::pelMedianAvx512(src, m, params, out)) ||
                    (level >= mxcpu::Level::kAvx2 && mxkernel::pelMedianAvx2(src, m, params, out));
  if (!done) mxkernel::pelMedianPortable(src, m, params, out);
}

void median16(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& m,
              const mxPelMedianParams& params, const mxPelBuffer<unsigned short>& out) {
  const mxcpu::Level level = mxcpu::level();
  const bool done = (level == mxcpu::Level::kAvx512 && mxkernel::deepMedianAvx512(src, m, params, out)) ||
                    (level >= mxcpu::Level::kAvx2 && mxkernel::deepMedianAvx2(src, m, params, out));
  if (!done) mxdeepmedian::deepFilter<Counts16Ops>(src, m, params, out);
}

// When all of src's values, clamped to the range, share their lowest bits
// (an image of multiples of 16, as a 12-bit camera's values stored in the
// top bits of 16-bit words, or differences of two such images), filters
// them with those bits shifted out into out (over src's window) and
// returns true.  Their order, and so each window's median (or its own pel
// for a window without set pels), is that of the values shifted down,
// whose narrower range takes a faster engine: the 8-bit one below 256
// levels.
bool medianWithoutCommonBits(const mxPelBuffer_const<unsigned short>& src, const mxPelBuffer_const<unsigned char>& m,
                             const mxPelMedianParams& params, const mxPelBuffer<unsigned short>& out) {
  const std::uint16_t low = std::uint16_t(params.range.x()), high = std::uint16_t(params.range.y());
  const std::int32_t w = src.width(), h = src.height();
  auto value = [=](unsigned short v) { return std::uint16_t(std::min(std::max(v, low), high) - low); };
  std::uint16_t all = 0xFFFF, any = 0;
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned short* p = src.row(j);
    std::uint16_t a = 0xFFFF, o = 0;
    for (std::int32_t i = 0; i < w; ++i) {
      a = std::uint16_t(a & value(p[i]));
      o = std::uint16_t(o | value(p[i]));
    }
    all = std::uint16_t(all & a);
    any = std::uint16_t(any | o);
    if ((all ^ any) & 1) return false;  // (most images: known after a row)
  }
  const unsigned differ = unsigned(all ^ any);
  if (differ == 0) {  // one value: every median is it
    for (std::int32_t j = 0; j < h; ++j) std::fill(out.row(j), out.row(j) + w, static_cast<unsigned short>(all + low));
    return true;
  }
  const int s = __builtin_ctz(differ);
  if (s == 0) return false;
  const std::uint32_t top = std::uint32_t(high - low) >> s, base = (all & ((1u << s) - 1)) + low;
  const mxPelMedianParams shifted(params.size, {0, std::int32_t(top)}, params.averageMiddles);
  auto run = [&](auto zero) {
    using T = decltype(zero);
    mxPelBuffer<T> in(src.window(), 32, mxPelInit::eUnwritten), result(src.window(), 32, mxPelInit::eUnwritten);
    for (std::int32_t j = 0; j < h; ++j) {
      const unsigned short* p = src.row(j);
      T* q = in.row(j);
      for (std::int32_t i = 0; i < w; ++i) q[i] = static_cast<T>(value(p[i]) >> s);
    }
    if constexpr (sizeof(T) == 1)
      median8(in, m, shifted, result);
    else
      median16(in, m, shifted, result);
    for (std::int32_t j = 0; j < h; ++j) {
      const T* q = result.row(j);
      unsigned short* o = out.row(j);
      for (std::int32_t i = 0; i < w; ++i) o[i] = static_cast<unsigned short>((std::uint32_t(q[i]) << s) + base);
    }
  };
  if (top <= 255)
    run(static_cast<unsigned char>(0));
  else
    run(static_cast<unsigned short>(0));
  return true;
}

}  // namespace

void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                 const mxPelMedianParams& params, mxPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  checkParams(params);
  if (!dst.isBound()) {
    mxPelBuffer<unsigned char> fresh(src.window(), 32, mxPelInit::eUnwritten);  // every pel is written
    fresh.copyXforms(src);
    dst = fresh;
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  const mxPelBuffer_const<unsigned char> m = maskOver(mask, src.window());
  // Only the overlap's pels are made (a block's, say, from a source holding
  // its surroundings too).  The filter reads source rows below the row it
  // writes, so it writes straight into dst only when dst has a store of its
  // own.
  const bool direct = dst.root() != src.root() && dst.root() != m.root();
  mxPelBuffer<unsigned char> out = dst;
  if (direct)
    out.window(r, false);
  else
    out = mxPelBuffer<unsigned char>(r, 32, mxPelInit::eUnwritten);
  median8(src, m, params, out);
  if (!direct) mfPelCopy<unsigned char>(out, dst);
}

void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelMedianParams& params,
                 mxPelBuffer<unsigned char>& dst) {
  mfPelMedian(src, mxPelBuffer_const<unsigned char>(), params, dst);
}

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
  // The result goes straight into dst only when dst shows the source's
  // window in a store of its own.
  const mxPelBuffer_const<unsigned char> m = maskOver(mask, src.window());
  const bool direct = dst.window() == src.window() && dst.root() != src.root();
  mxPelBuffer<unsigned short> out = direct ? dst : mxPelBuffer<unsigned short>(src.window(), 32, mxPelInit::eUnwritten);
  // An even count's average of two middles does not carry over to the
  // values shifted down.
  if ((m.isBound() && params.averageMiddles) || !medianWithoutCommonBits(src, m, params, out))
    median16(src, m, params, out);
  if (!direct) mfPelCopy<unsigned short>(out, dst);
}

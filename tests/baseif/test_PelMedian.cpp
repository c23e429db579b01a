#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "baseif/detail/pelMedian.h"
#include "baseif/mxCpuLevel.h"
#include "baseif/mxPelMedian.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

namespace {

// Brute force: sort the clamped values of the window's counted pels, pels
// beyond the source window's edges replicating the nearest edge pel.
template <class T>
int bruteMedian(const mxPelBuffer_const<T>& src, const mxPelBuffer_const<unsigned char>& mask,
                const mxPelMedianParams& p, int x, int y) {
  const mxPelRect w = src.window();
  auto clampToRange = [&](int v) { return std::min(std::max(v, p.range.x()), p.range.y()); };
  std::vector<int> values;
  for (int yy = y - p.size.y() / 2; yy <= y + p.size.y() / 2; ++yy)
    for (int xx = x - p.size.x() / 2; xx <= x + p.size.x() / 2; ++xx) {
      const int cx = std::min(std::max(xx, w.x()), w.x() + w.width() - 1);
      const int cy = std::min(std::max(yy, w.y()), w.y() + w.height() - 1);
      if (mask.isBound() && (!mask.window().contains(cx, cy) || mask.get(cx, cy) == 0)) continue;
      values.push_back(clampToRange(src.get(cx, cy)));
    }
  if (values.empty()) return clampToRange(src.get(x, y));
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const int lower = values[(n - 1) / 2];
  if (n % 2 == 1 || !p.averageMiddles) return lower;
  return (lower + values[n / 2] + 1) / 2;
}

// Every engine this processor runs gives the expected pels; true when the AVX2 one ran.
bool expectEveryEngine(const mxPelBuffer<unsigned char>& src, const mxPelBuffer<unsigned char>& mask,
                       const mxPelMedianParams& p, const mxPelBuffer<unsigned char>& expected) {
  const mxPelRect w = src.window();
  mxPelBuffer<unsigned char> portable(w), avx2(w), avx512(w);
  mxkernel::pelMedianPortable(src, mask, p, portable);
  EXPECT_TRUE(mfPelEqual<unsigned char>(portable, expected)) << "portable";
  const bool avx2Ran = mxkernel::pelMedianAvx2(src, mask, p, avx2),
             avx512Ran = mxkernel::pelMedianAvx512(src, mask, p, avx512);
  EXPECT_TRUE(!avx2Ran || mfPelEqual<unsigned char>(avx2, expected)) << "AVX2";
  EXPECT_TRUE(!avx512Ran || mfPelEqual<unsigned char>(avx512, expected)) << "AVX-512";
  return avx2Ran;
}

// Every engine: windows wider than the image, few or crowded levels, clamped ranges, masks
// sparse (empty windows occur), dense or over part of the window.
TEST(PelMedian, MatchesSortedWindowsOnRandomImages) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> pos(-6, 6), len(1, 40), half(0, 24), coin(0, 3), level(0, 255);
  bool avx2Ran = false;
  for (int trial = 0; trial < 300; ++trial) {
    const int spread = coin(rng) == 0 ? 3 : 255, base = coin(rng) == 0 ? 100 : 0;
    const mxPelBuffer<unsigned char> src =
        randomWindow(rng, pos(rng), pos(rng), len(rng), len(rng), base, std::min(base + spread, 255));
    int lo = level(rng), hi = level(rng);
    if (coin(rng) < 2) lo = 0, hi = 255;
    mxPelMedianParams p({2 * half(rng) + 1, 2 * half(rng) + 1}, {std::min(lo, hi), std::max(lo, hi)}, coin(rng) < 2);
    mxPelBuffer<unsigned char> mask;
    const int kind = coin(rng);
    const mxPelRect w = src.window();
    if (kind > 0) {
      const mxPelRect mr = kind == 3 ? w.trim(2, 1, -3, 3) : w;
      mask = randomWindow(rng, mr.x(), mr.y(), std::max(mr.width(), 1), std::max(mr.height(), 1));
      std::vector<unsigned char> table(256);
      for (int i = 0; i < 256; ++i)
        table[i] = i >= (kind == 1 ? 240 : 60) ? (kind == 2 ? 1 : 255) : 0;  // any non-zero pel counts
      mfPelMap(mask, table, mask);
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial << " size " << p.size.x() << "x" << p.size.y() << " mask "
                                    << kind);
    mxPelBuffer<unsigned char> expected(w), dst;
    for (int y = w.y(); y < w.y() + w.height(); ++y)
      for (int x = w.x(); x < w.x() + w.width(); ++x)
        expected.set(x, y, (unsigned char)bruteMedian<unsigned char>(src, mask, p, x, y));
    mfPelMedian(src, mask, p, dst);
    ASSERT_TRUE(mfPelEqual<unsigned char>(dst, expected));
    if (kind == 3) continue;  // the engines take masks covering the source window
    avx2Ran |= expectEveryEngine(src, mask, p, expected);
    if (HasFailure()) return;
  }
  if (!avx2Ran) GTEST_LOG_(INFO) << "no AVX2 on this processor: only the portable engine was checked";
}

// Rows wider than two strips (about 3072 columns plus rx each side), every engine, a mask with a band of no set pels
// (empty windows, even counts), windows up to a strip's width, a median wandering over every coarse group.
TEST(PelMedian, MatchesSortedWindowsAcrossStrips) {
  std::mt19937 rng(5);
  mxPelBuffer<unsigned char> src = randomWindow(rng, 3, -2, 6400, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6400; x += 2) src.row(y)[x] = (unsigned char)(x / 26 + y);  // a ramp under the noise
  const mxPelRect w = src.window();
  mxPelBuffer<unsigned char> mask = randomWindow(rng, w.x(), w.y(), w.width(), w.height());
  for (int y = 0; y < w.height(); ++y)
    for (int x = 0; x < w.width(); ++x) {
      unsigned char& m = mask.row(y)[x];
      m = (x >= 1500 && x < 1540) ? 0 : (unsigned char)(m & 1);
    }
  const mxPelMedianParams params[] = {
      {{3, 3}, {0, 255}, false}, {{31, 5}, {20, 230}, true}, {{1025, 1}, {0, 255}, true}};
  for (const mxPelBuffer<unsigned char>& m : {mxPelBuffer<unsigned char>(), mask})
    for (const mxPelMedianParams& p : params) {
      SCOPED_TRACE(testing::Message() << "size " << p.size.x() << "x" << p.size.y() << " masked " << m.isBound());
      mxPelBuffer<unsigned char> expected(w);
      for (int y = w.y(); y < w.y() + w.height(); ++y)
        for (int x = w.x(); x < w.x() + w.width(); ++x) expected.set(x, y, (unsigned char)bruteMedian<unsigned char>(src, m, p, x, y));
      expectEveryEngine(src, m, p, expected);
    }
}

// The 16-bit filter at every depth of its level tree (spans below 16, 256, 4096, 65536),
// clamped ranges, masks, windows wider than the image, rows wider than a strip.
TEST(PelMedian, DeepMatchesSortedWindows) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> len(1, 30), half(0, 20), coin(0, 3), any(0, 65535);
  for (int trial = 0; trial < 164; ++trial) {
    const bool wide = trial >= 160;
    const int span = wide ? (trial < 162 ? 65535 : 4095) : (16 << 4 * (trial % 4)) - 1;
    const int base = any(rng) % (65536 - span);
    const int narrow = coin(rng) == 0 ? 3 : span;
    std::uniform_int_distribution<int> level(base, base + narrow), mid(base, base + span);
    const mxPelRect w(2, -3, wide ? 2100 : len(rng), wide ? 3 : len(rng));
    mxPelBuffer<unsigned short> src(w);
    // One trial in four: values sharing their low 1 to 9 bits (filtered
    // with those bits shifted out), or all one, in a range that clamps none.
    const int common = trial % 4 == 2 ? 1 + trial / 4 % 10 : 0;
    for (int y = 0; y < w.height(); ++y)
      for (int x = 0; x < w.width(); ++x) {
        const int v = level(rng), low = (1 << common) - 1;
        src.row(y)[x] = (unsigned short)(common == 10 ? base : common ? (v & ~low) | (base & low) : v);
      }
    int lo = mid(rng), hi = mid(rng);
    if (coin(rng) < 2 || common) lo = common ? base / 2 : 0, hi = 65535;
    const mxPelMedianParams p({wide ? 1 + 200 * (trial % 2) : 2 * half(rng) + 1, 2 * (half(rng) % 3) + 1},
                              {std::min(lo, hi), std::max(lo, hi)}, coin(rng) < 2);
    mxPelBuffer<unsigned char> mask;
    if (const int kind = coin(rng)) {
      mask = randomWindow(rng, w.x(), w.y(), w.width() - (kind == 3), w.height());
      for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x) mask.row(y)[x] = mask.row(y)[x] < (kind == 1 ? 230 : 60) ? 0 : 7;
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial << " size " << p.size.x() << "x" << p.size.y());
    mxPelBuffer<unsigned short> dst[2];
    for (int level = 0; level < 2; ++level) {  // the baseline build, then the processor's best
      mxcpu::capLevel(level == 0 ? mxcpu::Level::kBaseline : mxcpu::Level::kAvx512);
      mfPelMedian(src, mask, p, dst[level]);
    }
    for (int y = w.y(); y < w.y() + w.height(); ++y)
      for (int x = w.x(); x < w.x() + w.width(); ++x) {
        const int want = bruteMedian<unsigned short>(src, mask, p, x, y);
        ASSERT_EQ(dst[0].get(x, y), want) << x << "," << y;
        ASSERT_EQ(dst[1].get(x, y), want) << x << "," << y;
      }
  }
}

// In place, and into parts of the window (beyond its corner, across the two
// strips of a row, whole rows), masked or not, at the lowest and best level.
TEST(PelMedian, WorksInPlaceAndIntoPartialDestinations) {
  std::mt19937 rng(2);
  const mxPelBuffer<unsigned char> src = randomWindow(rng, 0, 0, 3300, 19);
  mxPelBuffer<unsigned char> mask = randomWindow(rng, 0, 0, 3300, 19);
  std::vector<unsigned char> half(256, 255);  // about half of the pels set
  std::fill(half.begin(), half.begin() + 128, 0);
  mfPelMap(mask, half, mask);
  const mxPelMedianParams p({5, 3}, {0, 255}, true);
  for (const mxPelBuffer<unsigned char>& m : {mxPelBuffer<unsigned char>(), mask})
    for (mxcpu::Level level : {mxcpu::Level::kBaseline, mxcpu::detected()}) {
      SCOPED_TRACE(testing::Message() << "masked " << m.isBound() << " level " << int(level));
      mxcpu::capLevel(level);
      mxPelBuffer<unsigned char> expected;
      mfPelMedian(src, m, p, expected);
      mxPelBuffer<unsigned char> inPlace = mfPelCopy<unsigned char>(src);
      mfPelMedian(inPlace, m, p, inPlace);
      EXPECT_TRUE(mfPelEqual<unsigned char>(inPlace, expected));
      for (const mxPelRect& r : {mxPelRect(3295, 15, 10, 10), mxPelRect(1000, 3, 1500, 9), mxPelRect(0, 5, 3300, 4)}) {
        mxPelBuffer<unsigned char> part(r);
        mfPelSet_U8(part, 9);
        mfPelMedian(src, m, p, part);
        for (int y = r.y(); y < r.y() + r.height(); ++y)
          for (int x = r.x(); x < r.x() + r.width(); ++x)
            ASSERT_EQ(part.get(x, y), src.window().contains(x, y) ? expected.get(x, y) : 9) << x << "," << y;
      }
    }
  mxcpu::capLevel(mxcpu::detected());
}

// The counting engine's own paths (AVX2 and AVX-512, with and without a mask), against the portable engine:
// medians drifting over every level down the image (the band follows, with
// windows of up to 127 rows and of more), jumping by 200 levels between rows
// (the row is filtered again), and spread over a whole strip row from the
// start or from a row part way down (the histogram engine takes the rest).
TEST(PelMedian, CountingEngineFollowsTheMedians) {
  if (mxcpu::detected() == mxcpu::Level::kBaseline) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(8);
  auto image = [&](int w, int h, auto level) {
    mxPelBuffer<unsigned char> img(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        img.row(y)[x] = (unsigned char)std::min(255, std::max(0, level(x, y) + int(rng() % 13) - 6));
    return img;
  };
  const mxPelBuffer<unsigned char> drift = image(700, 900, [](int x, int y) { return y * 255 / 899 + x / 64; });
  const mxPelBuffer<unsigned char> jumps = image(600, 400, [](int, int y) { return (y / 80) % 2 ? 230 : 30; });
  const mxPelBuffer<unsigned char> spread = image(900, 300, [](int x, int y) { return y < 150 ? 128 : x * 255 / 899; });
  const struct {
    const mxPelBuffer<unsigned char>& src;
    mxPelMedianParams p;
  } cases[] = {{drift, {{31, 31}, {0, 255}, true}},   {drift, {{101, 161}, {10, 240}, true}},
               {jumps, {{21, 41}, {0, 255}, true}},   {spread, {{5, 5}, {0, 255}, true}},
               {spread, {{61, 131}, {0, 255}, true}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.p.size.x() << "x" << c.p.size.y());
    // Unmasked, then with three pels in ten left out at random and a block
    // left out whole (windows without set pels keep their own pels).
    mxPelBuffer<unsigned char> mask(c.src.window());
    for (int y = 0; y < mask.height(); ++y)
      for (int x = 0; x < mask.width(); ++x)
        mask.row(y)[x] = rng() % 10 < 3 || (x >= 100 && x < 160 && y >= 50 && y < 110) ? 0 : 1;
    for (const mxPelBuffer<unsigned char>& m : {mxPelBuffer<unsigned char>(), mask}) {
      mxPelBuffer<unsigned char> expected(c.src.window()), avx2(c.src.window()), avx512(c.src.window());
      mxkernel::pelMedianPortable(c.src, m, c.p, expected);
      EXPECT_TRUE(mxkernel::pelMedianAvx2(c.src, m, c.p, avx2) && mfPelEqual<unsigned char>(avx2, expected))
          << "masked " << m.isBound();
      EXPECT_TRUE(!mxkernel::pelMedianAvx512(c.src, m, c.p, avx512) || mfPelEqual<unsigned char>(avx512, expected))
          << "masked " << m.isBound();
    }
    // The same medians at 9 to 16 bits (the 8-bit levels shifted up, low
    // bits at random), the 16-bit engines of both builds against the baseline.
    for (const int bits : {16, 13, 12, 9}) {
      SCOPED_TRACE(testing::Message() << bits << " bits");
      mxPelBuffer<unsigned short> deep(c.src.window());
      const int s = bits - 8;
      for (int y = 0; y < deep.height(); ++y)
        for (int x = 0; x < deep.width(); ++x)
          deep.row(y)[x] = (unsigned short)(c.src.row(y)[x] << s | int(rng() % (1u << s)));
      const mxPelMedianParams p(c.p.size, {c.p.range.x() << s, (c.p.range.y() << s) + (1 << s) - 1}, true);
      for (const mxPelBuffer<unsigned char>& m : {mxPelBuffer<unsigned char>(), mask}) {
        mxPelBuffer<unsigned short> got[3];
        const mxcpu::Level levels[] = {mxcpu::Level::kBaseline, mxcpu::Level::kAvx2, mxcpu::Level::kAvx512};
        for (int i = 0; i < 3; ++i) {
          mxcpu::capLevel(levels[i]);
          mfPelMedian(deep, m, p, got[i]);
        }
        mxcpu::capLevel(mxcpu::detected());
        EXPECT_TRUE(mfPelEqual<unsigned short>(got[1], got[0])) << "AVX2, masked " << m.isBound();
        EXPECT_TRUE(mfPelEqual<unsigned short>(got[2], got[0])) << "AVX-512, masked " << m.isBound();
      }
    }
  }
}

TEST(PelMedian, LargeWindowOnSmoothImage) {
  // A ramp: the centre pel inside; near the edges replication keeps it nearer than clipping.
  mxPelBuffer<unsigned char> ramp(200, 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 200; ++x) ramp.row(y)[x] = (unsigned char)(x + y);
  mxPelBuffer<unsigned char> dst;
  mfPelMedian(ramp, mxPelMedianParams({181, 181}, {0, 255}, false), dst);
  for (int y = 0; y < 40; y += 7)
    for (int x = 0; x < 200; x += 13)
      ASSERT_EQ(dst.get(x, y), bruteMedian<unsigned char>(ramp, {}, {{181, 181}, {0, 255}, false}, x, y));
  mfPelMedian(ramp, mxPelMedianParams({31, 31}, {0, 255}, false), dst);
  EXPECT_EQ(dst.get(100, 20), 120);
}

TEST(PelMedian, RejectsBadParameters) {
  const mxPelBuffer<unsigned char> src(4, 4);
  mxPelBuffer<unsigned char> dst;
  const mxPelMedianParams bad[] = {{{2, 3}, {0, 255}, true},  {{3, 0}, {0, 255}, true}, {{255, 129}, {0, 255}, true},
                                   {{3, 3}, {-1, 255}, true}, {{3, 3}, {10, 9}, true},  {{3, 3}, {0, 256}, true}};
  for (const mxPelMedianParams& p : bad) EXPECT_THROW(mfPelMedian(src, p, dst), mxPelFunc::BadParams);
  EXPECT_NO_THROW(mfPelMedian(src, mxPelMedianParams({217, 151}, {0, 255}, true), dst));
  EXPECT_THROW(mfPelMedian(mxPelBuffer<unsigned char>(), mxPelMedianParams({3, 3}, {0, 255}, true), dst),
               mxPel::UnboundWindow);
}

}  // namespace

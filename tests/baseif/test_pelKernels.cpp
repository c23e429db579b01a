#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/pelKernels.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

// Every length and alignment, every level (those without packing write nothing).
TEST(PelKernels, MapSelectAndPackMatchThePlainLoops) {
  const mxcpu::Level top = mxcpu::detected();
  std::mt19937 rng(7);
  std::vector<unsigned char> lut(256), src(700), mask(700);
  for (auto& v : lut) v = static_cast<unsigned char>(rng());
  for (auto& v : src) v = static_cast<unsigned char>(rng());
  for (auto& v : mask) v = static_cast<unsigned char>(rng() % 3 == 0 ? 0 : rng());
  for (int offset : {0, 1, 5}) {
    for (int n : {0, 1, 63, 64, 65, 127, 128, 500, 600}) {
      std::vector<unsigned char> a(n + 8, 0xEE);
      mxkernel::pelMapRowPlain(src.data() + offset, a.data() + offset, n, lut.data());
      for (int l = 0; l <= int(top); ++l)
        for (const bool stream : {false, true}) {  // written around the caches from an unaligned start
          std::vector<unsigned char> b(n + 8, 0xEE);
          mxcpu::capLevel(mxcpu::Level(l));
          mxkernel::pelMapRow(src.data() + offset, b.data() + offset, n, lut.data(), stream);
          mxcpu::capLevel(top);
          ASSERT_EQ(a, b) << "level " << l << " length " << n << " stream " << stream;  // guard bytes untouched
        }

      std::vector<unsigned char> t(n + 1, 0xEE), u(n + 1, 0xEE);
      EXPECT_EQ(mxkernel::pelSelectRow(src.data() + offset, mask.data() + offset, t.data(), n),
                mxkernel::pelSelectRowPlain(src.data() + offset, mask.data() + offset, u.data(), n));
      ASSERT_EQ(t, u) << n;

      std::vector<unsigned char> packed(n + 63, 0xEE), plain(n + 63, 0xEE);
      const std::int32_t kept = mxkernel::pelPackRowPlain(src.data() + offset, mask.data() + offset, plain.data(), n);
      for (int l = 0; l <= int(top); ++l) {
        mxcpu::capLevel(mxcpu::Level(l));
        std::int32_t got = -1;
        const bool packs = mxkernel::pelPackRow(src.data() + offset, mask.data() + offset, packed.data(), n, got);
        mxcpu::capLevel(top);
        if (!packs) continue;
        ASSERT_EQ(got, kept) << "level " << l << " length " << n;
        ASSERT_TRUE(std::equal(plain.begin(), plain.begin() + kept, packed.begin())) << "level " << l << " length " << n;
      }
    }
  }
}

// Long rows cross the 32-bit partial-sum chunks.
TEST(PelKernels, MomentsEqualHistogramStatistics) {
  const mxPelBuffer<unsigned char> img = randomImage(9001, 3, 3, 200, 255, 4, 2);
  const mxPelBuffer<unsigned char> mask = randomImage(9001, 3, 4, 0, 2, 4, 2);
  std::vector<std::uint32_t> h(256, 0);
  for (int y = 2; y < 5; ++y)
    for (int x = 4; x < 9005; ++x)
      if (mask.get(x, y)) ++h[img.get(x, y)];
  const mxHistoStats fromHistogram(h);
  const mxHistoStats fromPels = mfPelMoments(img, mask);
  EXPECT_EQ(fromPels.samples(), fromHistogram.samples());
  EXPECT_EQ(fromPels.mean(), fromHistogram.mean());
  EXPECT_EQ(fromPels.sDev(), fromHistogram.sDev());
  EXPECT_EQ(fromPels.bins(), 256u);
  EXPECT_EQ(mfPelMoments(img, mxPelBuffer<unsigned char>()).samples(), 9001u * 3u);
}

// Every tail of the eight-pel step, a sub-window at an odd column; a flat
// image, and one flat but for every 16th pel, whose commonest pair comes far
// more often than a 16-bit pair counter holds.
TEST(PelKernels, HistogramCountsEveryPelOnce) {
  const mxPelRect windows[] = {{0, 0, 1024, 512}, {0, 0, 1031, 1100}, {3, 5, 1001, 700}, {7, 0, 1, 1100}, {1, 1, 9, 9}};
  const mxPelBuffer<unsigned char> flat = randomImage(1031, 1100, 6, 200, 200);
  mxPelBuffer<unsigned char> nearlyFlat = randomImage(1031, 1100, 6, 200, 200);
  for (std::int32_t y = 0; y < 1100; ++y)
    for (std::int32_t x = 5; x < 1031; x += 16) nearlyFlat.row(y)[x] = 201;
  for (const mxPelBuffer<unsigned char>& img : {randomImage(1031, 1100, 5), flat, nearlyFlat})
    for (const mxPelRect& r : windows) {
      mxPelBuffer_const<unsigned char> w(img);
      w.window(r);
      std::vector<std::uint32_t> expected(256, 0);
      for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y)
        for (std::int32_t x = r.x(); x < r.x() + r.width(); ++x) ++expected[img.get(x, y)];
      EXPECT_EQ(mfPelHistogram(w), expected) << r.width() << " x " << r.height() << " at " << r.x() << ", " << r.y();
    }
}

// Every tail and alignment; bright rows long enough to widen the 32-bit square sums often.
TEST(PelKernels, MomentsAtEveryLevelMatchThePlainLoop) {
  std::mt19937 rng(3);
  std::vector<unsigned char> src(700006), mask(src.size());
  for (std::size_t i = 0; i < src.size(); ++i) {
    src[i] = static_cast<unsigned char>(rng() % 8 == 0 ? rng() : 255);
    mask[i] = static_cast<unsigned char>(rng() % 3 == 0 ? 0 : 1 + rng() % 255);
  }
  const mxcpu::Level top = mxcpu::detected();
  for (bool masked : {false, true})
    for (int offset : {0, 1, 5})
      for (int n : {0, 1, 63, 64, 65, 127, 128, 500, 600, 700001}) {
        const unsigned char *s = src.data() + offset, *m = masked ? mask.data() + offset : nullptr;
        mxkernel::Moments plain;
        mxkernel::pelMomentsRowPlain(s, m, n, plain);
        for (int l = 0; l <= int(top); ++l) {
          mxcpu::capLevel(mxcpu::Level(l));
          mxkernel::Moments fast;
          mxkernel::pelMomentsRow(s, m, n, fast);
          mxcpu::capLevel(top);
          EXPECT_EQ(std::tie(fast.count, fast.sum, fast.sumOfSquares),
                    std::tie(plain.count, plain.sum, plain.sumOfSquares))
              << "level " << l << " length " << n << " offset " << offset << " masked " << masked;
        }
      }
}

// Every pel of a line's map, at every instruction-set level, against the
// line's entries, and those against the levels as the tables define them:
// truncation into 32 bits then a clamp, or rounding halves away from zero; a
// value that is not a number gives 0.
TEST(PelKernels, LineMapGivesTheTablesLevels) {
  const auto truncated = [](double x, std::int32_t top) {
    const std::int32_t t = std::isnan(x)                ? 0
                           : x >= 2147483647.0          ? 2147483647
                           : x <= -2147483648.0         ? -2147483647 - 1
                                                        : std::int32_t(x);
    return mfILimit(t, 0, top);
  };
  const auto rounded = [](double x, std::int32_t top) {
    if (std::isnan(x)) return 0;
    x = std::fmin(std::fmax(x, -1.0e9), 1.0e9);
    return mfILimit(x >= 0.0 ? std::int32_t(x + 0.5) : std::int32_t(x - 0.5), 0, top);
  };
  mxPelBuffer<unsigned short> all(mxPelRect(0, 0, 257, 255));  // 65535 pels, a tail after every vector width
  for (std::int32_t j = 0; j < all.height(); ++j)
    for (std::int32_t i = 0; i < all.width(); ++i) all.row(j)[i] = static_cast<unsigned short>(j * 257 + i);
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const std::vector<std::pair<double, double>> lines = {
      {1.0, 0.0},   {0.8137, 11.4999}, {1.0 / 3, -0.5}, {-0.37, 30000.5}, {7.25, -1e6}, {1e300, 1.0},
      {-inf, 0.0},  {inf, 0.0},        {nan, 1.0},      {0.5, nan},       {0.0, -0.5},  {1.0, 0.5}};
  const mxcpu::Level top = mxcpu::detected();
  for (int level = 0; level <= int(top); ++level) {
    mxcpu::capLevel(mxcpu::Level(level));
    for (const auto& [scale, offset] : lines)
      for (const std::int32_t last : {255, 4095, 65535})
        for (const bool roundHalves : {false, true})
          for (const bool single : {false, true}) {
            const mxLevelLine line{scale, offset, last, roundHalves, single};
            mxPelBuffer<unsigned short> out;
            mfPelMapLine(all, line, out);
            for (std::int32_t j = 0; j < all.height(); ++j)
              for (std::int32_t i = 0; i < all.width(); ++i) {
                const unsigned short v = all.row(j)[i];
                ASSERT_EQ(out.row(j)[i], line.entry(v)) << "level " << level << ", line " << scale << " x + " << offset;
                const double x = double(v) * scale + offset;
                const int want = roundHalves ? rounded(x, last) : truncated(x, last);
                // A single line's three float roundings may carry a value
                // across a level's boundary when it lies within 1/64 of it
                // (and 1e300 is infinite in float); elsewhere it agrees.
                const long double exact = (long double)v * scale + offset + (roundHalves ? 0.5L : 0.0L);
                const long double frac = exact - std::floor(exact);
                const bool loose = single && ((std::isfinite(exact) && (frac < 1.0L / 64 || frac > 1.0L - 1.0L / 64)) ||
                                              (std::isfinite(scale) && std::abs(scale) > 1e38));
                ASSERT_LE(std::abs(int(line.entry(v)) - want), loose ? 1 : 0)
                    << "line " << scale << " x + " << offset << ", pel " << v << (single ? ", single" : "");
              }
          }
  }
  mxcpu::capLevel(top);
}

// Outputs of 32 MiB and more are written around the caches from each row's
// first 64-byte boundary on; these rows of 8224 bytes start 32 bytes off one
// every other row.
TEST(PelKernels, LargeMapsGiveTheSameLevels) {
  mxPelBuffer<unsigned char> a(mxPelRect(0, 0, 8200, 4096));
  mxPelBuffer<unsigned short> b(mxPelRect(0, 0, 4100, 4096));
  for (std::int32_t j = 0; j < 4096; ++j) {
    for (std::int32_t i = 0; i < 8200; ++i) a.row(j)[i] = static_cast<unsigned char>(i * 7 + j * 13);
    for (std::int32_t i = 0; i < 4100; ++i) b.row(j)[i] = static_cast<unsigned short>(i * 16 + j * 3);
  }
  std::vector<unsigned char> table(256);
  for (int v = 0; v < 256; ++v) table[v] = static_cast<unsigned char>(255 - v);
  const mxLevelLine line{0.75, 100.25, 65535, true, true};
  mxPelBuffer<unsigned char> outA;
  mxPelBuffer<unsigned short> outB;
  mfPelMap(a, table, outA);
  mfPelMapLine(b, line, outB);
  for (std::int32_t j = 0; j < 4096; ++j) {
    for (std::int32_t i = 0; i < 8200; ++i) ASSERT_EQ(outA.row(j)[i], 255 - a.row(j)[i]) << i << ", " << j;
    for (std::int32_t i = 0; i < 4100; ++i) ASSERT_EQ(outB.row(j)[i], line.entry(b.row(j)[i])) << i << ", " << j;
  }
}

// The run test of 16-bit pel pairs against its definition, at depths 12 and
// 16 and every instruction-set level, with empty and full runs and tails
// after 32 and 64 pels.
TEST(PelKernels, PairsInRunsFollowTheirDefinition) {
  std::mt19937 rng(11);
  unsigned char lo[256], hi[256];
  for (int v = 0; v < 256; ++v) {
    const int a = int(rng() % 256), b = int(rng() % 256);
    lo[v] = (unsigned char)std::min(a, b), hi[v] = (unsigned char)std::max(a, b);
    if (v % 7 == 0) lo[v] = 255, hi[v] = 0;  // empty
    if (v % 11 == 0) lo[v] = 0, hi[v] = 255;  // every level
  }
  for (const int depth : {12, 16}) {
    const std::uint16_t scale = std::uint16_t(1u << (24 - depth));
    std::vector<unsigned short> t(300), r(300);
    for (std::size_t i = 0; i < t.size(); ++i)
      t[i] = (unsigned short)(rng() >> (32 - depth)), r[i] = (unsigned short)(rng() >> (32 - depth));
    const mxcpu::Level top = mxcpu::level();
    for (int l = 0; l <= int(top); ++l)
      for (const int n : {1, 31, 32, 33, 63, 64, 65, 200, 300}) {
        std::vector<std::uint16_t> got(301, 0x1234);
        mxcpu::capLevel(mxcpu::Level(l));
        const bool done = mxkernel::pelPairsInRuns(t.data(), r.data(), n, scale, lo, hi, got.data());
        mxcpu::capLevel(top);
        if (!done) continue;  // the baseline leaves it to its caller
        for (int i = 0; i < n; ++i) {
          const int tt = std::min(t[i] >> (depth - 8), 255), rr = std::min(r[i] >> (depth - 8), 255);
          ASSERT_EQ(got[i], rr >= lo[tt] && rr <= hi[tt] ? 0xFFFF : 0)
              << "depth " << depth << " pel " << i << " level " << l;
        }
        ASSERT_EQ(got[n], 0x1234) << "wrote past " << n;
      }
  }
}

// The 16-bit row kernels against their definitions at every instruction-set
// level, with the extremes in pairs (squares' sums of 2^31) and tails after
// 16 and 32 pels.
TEST(PelKernels, DeepRowKernelsFollowTheirDefinitions) {
  std::mt19937 rng(5);
  std::vector<unsigned short> s(100);
  for (auto& v : s) v = (unsigned short)(rng() >> 16);
  s[0] = s[1] = 65535, s[2] = s[3] = 0;
  const mxcpu::Level top = mxcpu::level();
  for (int l = 0; l <= int(top); ++l)
    for (const int n : {1, 15, 16, 17, 31, 32, 33, 100}) {
      std::uint64_t want[4] = {std::uint64_t(n), 0, 0, 0};
      for (int i = 0; i < n; ++i)
        want[1] += s[i], want[2] += std::uint64_t(s[i]) * s[i], want[3] = std::max<std::uint64_t>(want[3], s[i]);
      std::uint64_t got[4] = {};
      std::vector<unsigned char> bits(n + 1, 7);
      std::uint16_t most = 3;
      mxcpu::capLevel(mxcpu::Level(l));
      const bool moments = mxkernel::pelMomentsRow16(s.data(), n, got);
      const bool topBits = mxkernel::pelTopBitsRow16(s.data(), bits.data(), n, 5, &most);
      mxcpu::capLevel(top);
      if (!moments || !topBits) continue;  // the baseline leaves both to their callers
      EXPECT_EQ(std::vector<std::uint64_t>(got, got + 4), std::vector<std::uint64_t>(want, want + 4)) << l << " " << n;
      for (int i = 0; i < n; ++i) ASSERT_EQ(bits[i], std::min(s[i] >> 5, 255)) << l << " " << n << " " << i;
      EXPECT_EQ(bits[n], 7) << "wrote past " << n;
      EXPECT_EQ(most, want[3]) << l << " " << n;
    }
}

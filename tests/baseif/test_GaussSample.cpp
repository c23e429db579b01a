#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "baseif/detail/gaussRows.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

namespace {

// gain x the kernel's mean around the centre of cell [i g, (i+1) g) (or of its first pel
// when not centred), edges replicated.
double bruteForce(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& p, int ox, int oy) {
  const mxPelRect w = src.window();
  auto weights = [&](int o, int g, int s, int first, int size) {
    const bool even = p.centred && g % 2 == 0;
    const std::vector<double> k = threeBoxKernel(s, even);
    const double centre = p.centred ? o * double(g) + g / 2.0 : o * double(g) + 0.5;
    std::vector<double> wt(size, 0.0);
    for (size_t m = 0; m < k.size(); ++m) {
      // Tap m sits at the pel whose centre is centre + m - (size - 1) / 2.
      const double pelCentre = centre + double(m) - (k.size() - 1) / 2.0;
      const int pel = int(std::floor(pelCentre));
      const int idx = std::min(std::max(pel - first, 0), size - 1);
      wt[idx] += k[m];
    }
    return wt;
  };
  const std::vector<double> wx = weights(ox, p.sample.x(), p.smoothing.x(), w.x(), w.width());
  const std::vector<double> wy = weights(oy, p.sample.y(), p.smoothing.y(), w.y(), w.height());
  double sum = 0.0;
  for (int j = 0; j < w.height(); ++j)
    for (int i = 0; i < w.width(); ++i) sum += wx[i] * wy[j] * src.row(j)[i];
  return p.gain * sum;
}

int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Cells anchored at 0, one per cell holding a window pel; each output within five 1/256
// roundings of the intermediate values besides the final one.
template <class T>
void expectBruteForce(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& p,
                      const mxPelBuffer_const<T>& out) {
  const mxPelRect r = out.window(), w = src.window();
  const int gx = p.sample.x(), gy = p.sample.y();
  ASSERT_EQ(r, mxPelRect(floorDiv(w.x(), gx), floorDiv(w.y(), gy),
                         floorDiv(w.x() + w.width() - 1, gx) - floorDiv(w.x(), gx) + 1,
                         floorDiv(w.y() + w.height() - 1, gy) - floorDiv(w.y(), gy) + 1));
  for (int j = 0; j < r.height(); ++j)
    for (int i = 0; i < r.width(); ++i)
      ASSERT_NEAR(out.row(j)[i], bruteForce(src, p, r.x() + i, r.y() + j), 0.5 + p.gain * 5.0 / 512.0)
          << "at " << i << ", " << j;
}

// The last trials: kernels far longer than small images, where most line positions read a border row or column.
TEST(GaussSample, MatchesBruteForceOnRandomWindows) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pos(-9, 9), len(1, 23), shortLen(1, 7), step(1, 5), amount(0, 9),
      longAmount(0, 3000), coin(0, 1);
  for (int trial = 0; trial < 180; ++trial) {
    const bool longKernel = trial >= 150;
    const mxPelBuffer<unsigned char> src = longKernel
                                               ? randomWindow(rng, pos(rng), pos(rng), shortLen(rng), shortLen(rng))
                                               : randomWindow(rng, pos(rng), pos(rng), len(rng), len(rng));
    const int sx = trial == 150 ? 32767 : longKernel ? longAmount(rng) >> (trial % 3 * 5) : amount(rng);
    mxGaussSampleParams p({step(rng), step(rng)}, {sx, longKernel ? longAmount(rng) : amount(rng)}, 1.0,
                          coin(rng) == 1);
    const bool wide = coin(rng) == 1;  // the 16-bit form: no subsampling, gain 128
    if (wide) p.sample = {1, 1}, p.gain = 128.0;
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    if (wide) {
      mxPelBuffer<unsigned short> out16;
      mfGaussSample(src, p, out16);
      expectBruteForce<unsigned short>(src, p, out16);
    } else {
      expectBruteForce<unsigned char>(src, p, mfGaussSample(src, p));
    }
    if (HasFatalFailure()) return;
  }
}

// Factors above 32768 (kernels of neighbouring outputs apart), windows straddling cell
// boundaries, at once (not walking the factor's length).
TEST(GaussSample, FactorsBeyondTheKernelMatchBruteForce) {
  struct Case {
    int gx, gy, sx, sy;
  };
  const Case cases[] = {
      {40000, 1, 32767, 2}, {268435458, 2, 32767, 1}, {3, 100000, 1, 32767}, {1 << 30, 1 << 30, 5, 7}};
  std::mt19937 rng(11);
  for (const Case& c : cases)
    for (bool centred : {true, false}) {
      SCOPED_TRACE(testing::Message() << c.gx << " x " << c.gy << (centred ? " centred" : ""));
      // Two cells on each axis whose factor is large: the window starts 3 pels before a cell boundary.
      const int x0 = c.gx > 100 ? c.gx - 3 : -4, y0 = c.gy > 100 ? c.gy - 3 : -2;
      const mxPelBuffer<unsigned char> src = randomWindow(rng, x0, y0, 7, 6);
      const mxGaussSampleParams p({c.gx, c.gy}, {c.sx, c.sy}, 1.0, centred);
      expectBruteForce<unsigned char>(src, p, mfGaussSample(src, p));
    }
}

// Tall windows wrapping the ring many times, short ones it holds whole; each row made once, in order.
TEST(GaussSample, RowsMadeOnDemandEqualTheWholeSource) {
  struct Case {
    int x0, y0, w, h, g, s;
  };
  const Case cases[] = {{-3, 5, 37, 700, 1, 16}, {4, -7, 20, 431, 3, 9}, {0, 0, 64, 300, 1, 0},
                        {2, 1, 9, 1000, 1, 60},  {0, 0, 13, 40, 1, 12},  {-1, 3, 11, 90, 40000, 5},
                        {-1, 2, 7, 33, 40000000, 3}};
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " g " << c.g << " smoothing " << c.s);
    const mxPelBuffer<unsigned char> src = randomWindow(rng, c.x0, c.y0, c.w, c.h);
    const mxGaussSampleParams p({c.g, c.g}, {c.s, c.s}, 256.0, true);
    std::vector<std::uint16_t> whole, made;
    auto into = [](std::vector<std::uint16_t>& v) {
      return [&v](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t, std::int32_t count) {
        for (std::int32_t j = 0; j < count; ++j) v.insert(v.end(), rows + j * stride, rows + j * stride + stride);
      };
    };
    mxkernel::gaussSampleRows(src, p, into(whole));
    std::int32_t next = 0;
    mxkernel::gaussSampleRows(
        src.window(),
        [&](std::int32_t row, unsigned char* dst) {
          ASSERT_EQ(row, next++);
          std::copy(src.row(row), src.row(row) + c.w, dst);
        },
        p, into(made));
    EXPECT_EQ(next, c.h);
    ASSERT_EQ(made.size(), whole.size());
    EXPECT_TRUE(made == whole);
  }
}

// Wide images go in strips of columns: every output equals the one sampled
// from a narrower window holding its kernel (taken whole, or in strips cut
// elsewhere where a long vertical kernel narrows them to 64 columns).
TEST(GaussSample, ColumnStripsGiveTheValuesOfNarrowWindows) {
  struct Case {
    int w, h, g, sx, sy, sub;
    bool centred;
  };
  const Case cases[] = {{2600, 70, 1, 50, 50, 1000, true}, {2600, 70, 3, 12, 4, 1000, false},
                        {2600, 30, 2, 300, 2, 1000, true}, {300, 100, 1, 20, 3000, 64, true},
                        {1200, 40, 1, 100, 3000, 700, true}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << " wide, g " << c.g << ", smoothing " << c.sx << " x " << c.sy);
    const mxPelBuffer<unsigned char> src = randomWindow(rng, -5, 0, c.w, c.h);
    const mxGaussSampleParams p({c.g, c.g}, {c.sx, c.sy}, 128.0, c.centred);
    mxPelBuffer<unsigned short> whole;
    mfGaussSample(src, p, whole);
    const int margin = c.sx + c.g + 2, right = src.window().x() + c.w;
    for (int a = src.window().x(); a < right; a += c.sub - 2 * margin) {
      const int b = std::min(a + c.sub, right);
      mxPelBuffer<unsigned short> part;
      mfGaussSample(windowOf(src, mxPelRect(a, 0, b - a, c.h)), p, part);
      const mxPelRect pw = part.window();
      for (int i = pw.x(); i < pw.x() + pw.width(); ++i) {
        if ((a > src.window().x() && i * c.g < a + margin) || (b < right && (i + 1) * c.g > b - margin)) continue;
        for (int j = pw.y(); j < pw.y() + pw.height(); ++j)
          ASSERT_EQ(*part.pointToPel(i, j), *whole.pointToPel(i, j)) << "at " << i << ", " << j;
      }
      if (b == right) break;
    }
  }
}

// Constants stay exact (times the gain); bright images never exceed gain x 255.
TEST(GaussSample, ConstantImagesAreExactAndResultsStayInRange) {
  for (int v : {0, 1, 254, 255})
    for (int s : {0, 1, 2, 3, 52, 300}) {
      mxPelBuffer<unsigned char> src(mxPelRect(3, -2, 37, 21));
      mfPelSet_U8(src, (unsigned char)v);
      mxGaussSampleParams wide({1, 1}, {s, s / 2}, 128.0, true);
      wide.saturate = true;
      mxPelBuffer<unsigned short> b;
      mfGaussSample(src, wide, b);
      mxPelBuffer<unsigned short> want(b.window());
      mfPelSet<unsigned short>(want, std::uint16_t(128 * v));
      EXPECT_TRUE(mfPelEqual<unsigned short>(b, want)) << v << " " << s;
      const mxPelBuffer<unsigned char> sub = mfGaussSample(src, mxGaussSampleParams({4, 3}, {s, s}, 1.0, true));
      EXPECT_EQ(mfPelHistogram(sub)[v], std::uint32_t(sub.width() * sub.height()));  // all v
    }
  std::mt19937 rng(3);
  const mxPelBuffer<unsigned char> bright = randomWindow(rng, 0, 0, 64, 48, 250, 255);
  for (int s : {1, 6, 52}) {
    mxPelBuffer<unsigned short> b;
    mfGaussSample(bright, mxGaussSampleParams({1, 1}, {s, s}, 128.0, true), b);
    EXPECT_LE(mfPelMax<unsigned short>(b), 32640);
  }
}

TEST(GaussSample, BoundDestinationReceivesOnlyItsOverlap) {
  std::mt19937 rng(5);
  const mxPelBuffer<unsigned char> src = randomWindow(rng, 0, 0, 20, 20);
  const mxGaussSampleParams p({1, 1}, {4, 4}, 128.0, true);
  mxPelBuffer<unsigned short> full;
  mfGaussSample(src, p, full);
  mxPelBuffer<unsigned short> part(mxPelRect(10, 12, 20, 20));
  mfPelSet<unsigned short>(part, 7);
  mfGaussSample(src, p, part);
  for (int y = 12; y < 32; ++y)
    for (int x = 10; x < 30; ++x) EXPECT_EQ(part.get(x, y), (x < 20 && y < 20) ? full.get(x, y) : 7) << x << "," << y;
}

TEST(GaussSample, SampledTransformMapsCellsOntoTheSource) {
  mxPelBuffer<unsigned char> src(mxPelRect(0, 0, 16, 12));
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2.0, 0.0, 0.0, 3.0), mxVector<2>(5.0, 7.0)));
  for (bool centred : {true, false}) {
    const mxPelBuffer<unsigned char> sub = mfGaussSample(src, mxGaussSampleParams({4, 3}, {3, 2}, 1.0, centred));
    // Output pel (1, 2) is centred on cell (1, 2), or on its first pel.
    const mxVector<2> sourcePoint = centred ? mxVector<2>(6.0, 7.5) : mxVector<2>(4.5, 6.5);
    const mxVector<2> a = sub.clientFromImageXform() * mxVector<2>(1.5, 2.5);
    const mxVector<2> b = src.clientFromImageXform() * sourcePoint;
    EXPECT_NEAR(a.x(), b.x(), 1e-9);
    EXPECT_NEAR(a.y(), b.y(), 1e-9);
  }
}

TEST(GaussSample, RejectsBadInput) {
  const mxPelBuffer<unsigned char> src(8, 8);
  mxPelBuffer<unsigned short> b;
  const mxGaussSampleParams bad[] = {
      {{0, 1}, {0, 0}, 1.0, true},  {{1, 1}, {-1, 0}, 1.0, true}, {{1, 1}, {0, 40000}, 1.0, true},
      {{1, 1}, {0, 0}, -1.0, true}, {{1, 1}, {0, 0}, NAN, true},  {{1, 1}, {0, 0}, 2.0, true},
  };
  for (const mxGaussSampleParams& p : bad) EXPECT_THROW(mfGaussSample(src, p), mxPelFunc::BadParams);
  EXPECT_THROW(mfGaussSample(src, mxGaussSampleParams({1, 1}, {0, 0}, 300.0, true), b), mxPelFunc::BadParams);
  mxGaussSampleParams saturating({1, 1}, {0, 0}, 2.0, true);
  saturating.saturate = true;
  mxPelBuffer<unsigned char> bright(4, 4);
  mfPelSet_U8(bright, 200);
  EXPECT_EQ(mfPelMax<unsigned char>(mfGaussSample(bright, saturating)), 255);
  EXPECT_THROW(mfGaussSample(mxPelBuffer<unsigned char>(), saturating), mxPel::UnboundWindow);
}

}  // namespace

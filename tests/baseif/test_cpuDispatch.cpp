#include <gtest/gtest.h>

#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/pelKernels.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/localCorrection.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "support/testImages.h"

using namespace imgnorm::detail;

namespace {

// Everything the dispatched kernels compute for one input, at the current level.
struct Outputs {
  std::vector<mxPelBuffer<unsigned char>> u8;
  std::vector<mxPelBuffer<unsigned short>> u16;
  std::vector<std::uint64_t> sums;
};

Outputs computeAll() {
  Outputs o;
  // Odd sizes leave a tail after every vector width.
  const mxPelBuffer<unsigned char> a = randomImage(203, 37, 1), b = randomImage(203, 37, 2);
  for (int op = 0; op < 3; ++op) {
    mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(a);
    if (op == 0) mf_PelSubClamp(d, b, 40);
    if (op == 1) mf_PelSubClampSigned(d, b);
    if (op == 2) mf_PelAddClamp(d, b);
    o.u8.push_back(d);
  }
  for (auto [sample, smoothing] : {std::pair{1, 6}, std::pair{4, 20}, std::pair{3, 2}}) {
    const mxGaussSampleParams p({sample, sample}, {smoothing, smoothing}, 1.0, true);
    o.u8.push_back(mfGaussSample(a, p));
    mxPelBuffer<unsigned short> wide;
    mfGaussSample(a, p, wide);
    o.u16.push_back(wide);
    mxPelBuffer<unsigned char> shifted;
    pelShiftDown(wide, 3, shifted);
    o.u8.push_back(shifted);
  }
  for (std::int32_t j = 0; j < a.height(); ++j) {
    mxkernel::Moments plain, masked;
    mxkernel::pelMomentsRow(a.row(j), nullptr, a.width(), plain);
    mxkernel::pelMomentsRow(a.row(j), b.row(j), a.width(), masked);
    o.sums.insert(o.sums.end(),
                  {plain.count, plain.sum, plain.sumOfSquares, masked.count, masked.sum, masked.sumOfSquares});
  }
  // The local mean's corrections, plain and masked (at full resolution the
  // masked one divides by the coverage pel by pel).
  const mxPelBuffer<unsigned char> mask =
      makeImage(203, 37, [](int x, int y) { return (x * 7 + y * 13) % 5 ? 255 : 0; });
  for (int masked = 0; masked < 2; ++masked) {
    mxPelBuffer<unsigned char> corrected;
    runLocalCorrection(a, b, {masked ? mask : mxPelBuffer<unsigned char>(), {}, {}},
                       {mxImageNormalizerDefs::eLocalCorrection, {15, 9}, {1, 1}, {-40, 40}}, corrected);
    o.u8.push_back(corrected);
  }
  // The 16-bit linear fit (its band test and its line map), depth 12.
  mxPelBuffer<unsigned short> a16(a.window()), b16(a.window());
  for (std::int32_t j = 0; j < a.height(); ++j)
    for (std::int32_t i = 0; i < a.width(); ++i)
      a16.row(j)[i] = (unsigned short)(a.row(j)[i] * 16 + i % 16), b16.row(j)[i] = (unsigned short)(a.row(j)[i] * 13);
  std::vector<double> angles;
  buildFitAngles(angles);
  o.u16.push_back(linearFitImage(b16, a16, mxPelBuffer<unsigned char>(), angles, 12));
  std::vector<std::uint32_t> h;
  mf_MaskedPelHistogram(a, randomImage(203, 37, 3, 0, 2), h);  // a third of the pels excluded
  o.sums.insert(o.sums.end(), h.begin(), h.end());
  return o;
}

}  // namespace

// Every instruction-set version this processor can run gives exactly what the highest one gives.
TEST(CpuDispatch, EveryLevelGivesTheSameValues) {
  const mxcpu::Level top = mxcpu::detected();
  const Outputs expected = computeAll();
  for (int l = 0; l < int(top); ++l) {
    mxcpu::capLevel(mxcpu::Level(l));
    ASSERT_EQ(mxcpu::level(), mxcpu::Level(l));
    const Outputs got = computeAll();
    mxcpu::capLevel(top);
    ASSERT_EQ(got.u8.size(), expected.u8.size());
    for (std::size_t i = 0; i < got.u8.size(); ++i)
      EXPECT_TRUE(mfPelEqual<unsigned char>(got.u8[i], expected.u8[i])) << "level " << l << ", 8-bit output " << i;
    for (std::size_t i = 0; i < got.u16.size(); ++i)
      EXPECT_TRUE(mfPelEqual<unsigned short>(got.u16[i], expected.u16[i])) << "level " << l << ", 16-bit output " << i;
    EXPECT_EQ(got.sums, expected.sums) << "level " << l;
  }
  if (top == mxcpu::Level::kBaseline) GTEST_LOG_(INFO) << "only the baseline version runs on this processor";
}

// Pins the output of every method on fixed inputs.  Speed work must not change
// a single output pel: when one of these fingerprints changes, the change is
// in the results, not only in the timing.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <random>

#include "imgnorm/mxImageNormalizer.h"
#include "support/testImages.h"

using namespace mxImageNormalizerDefs;

namespace {
// FNV-1a over the window (x, y, width, height, 4 bytes each) and the pels.
std::uint64_t fingerprint(const mxPelBuffer_const<unsigned char>& b) {
  std::uint64_t h = 1469598103934665603ull;
  const auto mix = [&](std::uint32_t byte) { h = (h ^ (byte & 0xFF)) * 1099511628211ull; };
  for (std::int32_t v : {b.window().x(), b.window().y(), b.width(), b.height()})
    for (int k = 0; k < 4; ++k) mix(std::uint32_t(v) >> (8 * k));
  for (int j = 0; j < b.height(); ++j)
    for (int i = 0; i < b.width(); ++i) mix(b.row(j)[i]);
  return h;
}
}  // namespace

TEST(OutputPins, EveryMethodOnFixedInputs) {
  std::mt19937 rng(2024);
  std::normal_distribution<double> noise(0, 3);
  const mxPelBuffer<unsigned char> ref = makeImage(
      257, 193,
      [&](int x, int y) {
        return std::lround(
            std::fmin(250.0, std::fmax(5.0, 120 + 70 * std::sin(x * 0.09) * std::cos(y * 0.13) + noise(rng))));
      },
      3, 2);
  const mxPelBuffer<unsigned char> img = makeImage(
      250, 190,
      [&](int x, int y) {
        return std::lround(
            std::fmin(255.0, std::fmax(0.0, 0.8 * ref.get(x, y) + 15 + 0.1 * x - 0.08 * y + noise(rng))));
      },
      5, 4);
  const mxPelBuffer<unsigned char> mask = makeImage(
      257, 193, [](int x, int y) { return (x - 120) * (x - 120) + (y - 90) * (y - 90) < 900 ? 0 : 255; }, 3, 2);

  const struct {
    Method method;
    bool masked;
    int granularity;
    std::uint64_t expected;
  } pins[] = {
      {eMatchHistogram, false, 1, 0xc66139f9f45cbfd4ull},
      {eMatchMeanAndStddev, false, 1, 0xb8b40ebda58fd3c8ull},
      {eMatchHistogramTails, false, 1, 0x2b3f4641828267bfull},
      {eLinearlyFitGrayValues, false, 1, 0x2ec7b6e790eb9759ull},
      {eLocalCorrection, false, 1, 0x9fbd2ff3b450a291ull},
      {eLocalCorrectionEnhanced, false, 1, 0x2673b43b071d6d12ull},
      {eLocalCorrection, false, 3, 0xe7a4a6835eed8378ull},
      {eLocalCorrectionEnhanced, false, 3, 0x38ed691fbd2fac33ull},
      {eMatchHistogram, true, 1, 0xfddd6ac2846be5adull},
      {eMatchMeanAndStddev, true, 1, 0xb49dd2a4f184c320ull},
      {eMatchHistogramTails, true, 1, 0x1ed8173261bdbb1cull},
      {eLinearlyFitGrayValues, true, 1, 0x0fdcf7f848002200ull},
      {eLocalCorrection, true, 1, 0x9a3376c39a74c86cull},
      {eLocalCorrectionEnhanced, true, 1, 0xb0baa867b5fdf425ull},
      {eLocalCorrection, true, 3, 0x285d915cd7d57223ull},
      {eLocalCorrectionEnhanced, true, 3, 0xabeeedf54a2f92b7ull},
  };
  for (const auto& p : pins) {
    mxImageNormalizer n;
    n.referenceImage(ref, false);
    if (p.masked) n.maskImage(mask, false);
    n.neighborhoodSize({41, 31});
    n.granularity({p.granularity, p.granularity});
    n.tailFractions({0.02, 0.97});
    n.train(p.method);
    bool ok = false;
    std::wstring why;
    // On a change, the message holds the pin's new line.
    const std::uint64_t got = fingerprint(n.run(img, p.method, ok, why));
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, p.expected) << "{" << methodName(p.method) << ", " << std::boolalpha << p.masked << ", "
                               << p.granularity << ", 0x" << std::hex << std::setw(16) << std::setfill('0') << got
                               << "ull},";
  }
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "baseif/mxArchive.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "support/testImages.h"

using namespace mxImageNormalizerDefs;
using P = mxPair<std::int32_t>;

namespace {
std::vector<std::uint8_t> store(mxImageNormalizer& n) {
  mxArchive ar;
  ar || n;
  return ar.bytes();
}

mxImageNormalizer load(const std::vector<std::uint8_t>& bytes) {
  mxArchive ar(bytes);
  mxImageNormalizer n;
  ar || n;
  return n;
}

mxImageNormalizer trainedWithMask(Method methods) {
  mxImageNormalizer n;
  mxPelBuffer<unsigned char> ref = randomImage(30, 24, 1, 20, 230, 4, 5);
  ref.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(-1, 7)));
  n.referenceImage(ref, false);
  n.maskImage(makeImage(30, 24, [](int x, int y) { return (x + y) % 5 ? 200 : 0; }, 4, 5), false);
  n.neighborhoodSize(P(11, 9));
  n.granularity(P(2, 2));
  n.set(mxPair<double>(0.05, 0.95), P(-40, 60), true);
  n.train(methods);
  return n;
}

// Offset of the granularity pair's version byte: version, methods, then two
// pairs of one version byte and two values each.
constexpr std::size_t kGranularityVersion = 1 + 4 + (1 + 8 + 8) + (1 + 4 + 4);
}  // namespace

TEST(NormalizerArchive, RoundTripsRetrain) {
  mxImageNormalizer n = trainedWithMask(eMatchHistogram | eLocalCorrection | eLinearlyFitGrayValues);
  const mxImageNormalizer back = load(store(n));
  EXPECT_TRUE(back == n);
  EXPECT_EQ(back.trainedMethods(), n.trainedMethods());
  EXPECT_EQ(back.keepMaskedPixels(), true);
  EXPECT_EQ(back.intensityVariationRange(), P(-40, 60));
  EXPECT_TRUE(mfPelEqual<unsigned char>(back.binarizedMask(), n.binarizedMask()));
  EXPECT_TRUE(mfPelEqual<unsigned char>(back.sampledMask(), n.sampledMask()));
  EXPECT_TRUE(mfPelEqual<unsigned short>(back.maskCoverage(), n.maskCoverage()));
  EXPECT_EQ(back.referenceHistogram(), n.referenceHistogram());
  EXPECT_EQ(back.fitAngles(), n.fitAngles());
  EXPECT_EQ(back.referenceStats().mean(), n.referenceStats().mean());

  // Through a file, with no temporary left behind.
  const std::string path = ::testing::TempDir() + "imgnorm_tool.arc";
  mxArchive out;
  out || n;
  out.saveFile(path);
  mxArchive in = mxArchive::loadFile(path);
  mxImageNormalizer fromFile;
  in || fromFile;
  EXPECT_TRUE(fromFile == n);
  EXPECT_EQ(in.remaining(), 0u);
  EXPECT_EQ(std::fopen((path + ".tmp").c_str(), "rb"), nullptr);
  std::remove(path.c_str());
}

TEST(NormalizerArchive, LoadingResetsTheTarget) {
  mxImageNormalizer defaults;
  const std::vector<std::uint8_t> bytes = store(defaults);
  mxArchive ar(bytes);
  mxImageNormalizer target = trainedWithMask(Method(63));
  ar || target;
  EXPECT_TRUE(target == mxImageNormalizer());
  EXPECT_FALSE(target.referenceImage().isBound());

  // Parameters changed after training: stored and loaded untrained.
  mxImageNormalizer changed = trainedWithMask(eMatchHistogram);
  changed.neighborhoodSize(P(33, 35));
  const mxImageNormalizer back = load(store(changed));
  EXPECT_EQ(back.trainedMethods(), eIdentity);
  EXPECT_EQ(back.neighborhoodSize(), P(33, 35));
}

TEST(NormalizerArchive, VersionBytes) {
  mxImageNormalizer n = trainedWithMask(eMatchHistogram);
  std::vector<std::uint8_t> bytes = store(n);

  std::vector<std::uint8_t> bad = bytes;
  bad[0] = 1;
  mxImageNormalizer target = trainedWithMask(eLocalCorrection);
  const mxImageNormalizer before = target;
  try {
    mxArchive ar(bad);
    ar || target;
    ADD_FAILURE() << "no exception";
  } catch (const mxArchive::UnknownVersion& e) {
    EXPECT_EQ(e.file(), "imgnorm/imgnorm");
    EXPECT_EQ(e.line(), 1081);
  }
  EXPECT_TRUE(target == before);
  EXPECT_EQ(target.trainedMethods(), eLocalCorrection);

  bad = bytes;
  ASSERT_EQ(bad[kGranularityVersion], 0);
  bad[kGranularityVersion] = 1;
  try {
    mxArchive ar(bad);
    ar || target;
    ADD_FAILURE() << "no exception";
  } catch (const mxArchive::UnknownVersion& e) {
    EXPECT_EQ(e.file(), "");
    EXPECT_EQ(e.line(), 0);
  }
  EXPECT_EQ(target.trainedMethods(), eMatchHistogram);
  EXPECT_EQ(target.tailFractions(), mxPair<double>(0.05, 0.95));
  EXPECT_EQ(target.neighborhoodSize(), P(11, 9));
  EXPECT_EQ(target.granularity(), P(1, 1));
  EXPECT_FALSE(target.referenceImage().isBound());
}

TEST(NormalizerArchive, ValuesTheSettersRejectFailToTrainClearly) {
  mxImageNormalizer n = trainedWithMask(eLocalCorrection | eLocalCorrectionEnhanced);
  const std::vector<std::uint8_t> bytes = store(n);
  auto patchInt = [&](std::size_t at, std::int32_t v) {
    std::vector<std::uint8_t> b = bytes;
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(std::uint32_t(v) >> (8 * i));
    return b;
  };
  auto patchDouble = [&](std::size_t at, double v) {
    std::vector<std::uint8_t> b = bytes;
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    for (int i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(u >> (8 * i));
    return b;
  };
  const std::size_t tails = 1 + 4 + 1, nbh = tails + 16 + 1, gran = kGranularityVersion + 1, range = gran + 8 + 1;
  const std::vector<std::vector<std::uint8_t>> cases = {
      patchInt(gran, 0), patchInt(gran + 4, -3), patchInt(nbh, 0), patchInt(range, 5),
      patchDouble(tails, std::numeric_limits<double>::quiet_NaN()), patchDouble(tails + 8, 2.0)};
  for (const auto& b : cases) EXPECT_THROW(load(b), BadParams);

  // Huge but valid sizes train without trouble.
  mxImageNormalizer big = load(patchInt(nbh, 0x7fffffff));
  EXPECT_EQ(big.trainedMethods(), n.trainedMethods());
}

TEST(NormalizerArchive, SurvivesTruncationAndCorruption) {
  mxImageNormalizer n = trainedWithMask(Method(63));
  const std::vector<std::uint8_t> bytes = store(n);
  for (std::size_t len = 0; len < bytes.size(); ++len) {
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(len));
    EXPECT_THROW(load(cut), mxException) << "length " << len;
  }
  std::mt19937 rng(3);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<std::uint8_t> b = bytes;
    const int flips = 1 + trial % 3;
    for (int k = 0; k < flips; ++k) b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    try {
      const mxImageNormalizer m = load(b);
      (void)m;
    } catch (const mxException&) {
      // A clear error is the expected outcome for most corruptions.
    }
  }
}

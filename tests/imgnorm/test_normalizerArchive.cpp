#include "support/normalizerTest.h"

#include <cstring>

using namespace mxImageNormalizerDefs;

namespace {
Bytes store(mxImageNormalizer& n) {
  mxArchive ar;
  ar || n;
  return ar.bytes();
}

mxImageNormalizer load(const Bytes& bytes) {
  mxArchive ar(bytes);
  mxImageNormalizer n;
  ar || n;
  EXPECT_EQ(ar.remaining(), 0u);
  return n;
}

mxImageNormalizer trainedWithMask(Method methods) {
  mxImageNormalizer n;
  Image ref = randomImage(30, 24, 1, 20, 230, 4, 5);
  ref.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(-1, 7)));
  n.referenceImage(ref, false);
  n.maskImage(makeImage(
                  30, 24, [](int x, int y) { return (x + y) % 5 ? 200 : 0; }, 4, 5),
              false);
  n.neighborhoodSize(P(11, 9));
  n.granularity(P(2, 2));
  n.set(mxPair<double>(0.05, 0.95), P(-40, 60), true);
  n.train(methods);
  return n;
}

// Offsets: version, methods, tail fractions (a version byte and two doubles),
// neighbourhood and granularity (a version byte and two 32-bit values each).
constexpr std::size_t kTails = 1 + 4 + 1, kNbh = kTails + 16 + 1, kGranularityVersion = kNbh + 8,
                      kGran = kGranularityVersion + 1, kRange = kGran + 8 + 1;
}  // namespace

TEST(NormalizerArchive, RoundTripsRetrain) {
  mxImageNormalizer n = trainedWithMask(eMatchHistogram | eLocalCorrection | eLinearlyFitGrayValues);
  const mxImageNormalizer back = load(store(n));
  EXPECT_TRUE(back == n);  // every setting, both images, the trained methods
  EXPECT_TRUE(mfPelEqual<unsigned char>(back.sampledMask(), n.sampledMask()));
  EXPECT_TRUE(mfPelEqual<unsigned short>(back.maskCoverage(), n.maskCoverage()));
  EXPECT_EQ(back.referenceHistogram(), n.referenceHistogram());
  EXPECT_EQ(back.fitAngles(), n.fitAngles());

  // Loading replaces everything; parameters changed after training are
  // stored and loaded untrained.
  mxImageNormalizer defaults, target = trainedWithMask(Method(63));
  mxArchive ar(store(defaults));
  ar || target;
  EXPECT_TRUE(target == mxImageNormalizer());
  n.neighborhoodSize(P(33, 35));
  const mxImageNormalizer changed = load(store(n));
  EXPECT_EQ(changed.trainedMethods(), eIdentity);
  EXPECT_EQ(changed.neighborhoodSize(), P(33, 35));
}

TEST(NormalizerArchive, VersionBytes) {
  mxImageNormalizer n = trainedWithMask(eMatchHistogram);
  const Bytes bytes = store(n);
  mxImageNormalizer target = trainedWithMask(eLocalCorrection);
  const mxImageNormalizer before = target;
  const auto loadBad = [&](std::size_t at, const std::string& file, int line) {
    Bytes bad = bytes;
    ASSERT_EQ(bad[at], 0);
    bad[at] = 1;
    mxArchive ar(bad);
    expectUnknownVersion([&] { ar || target; }, file, line);
  };
  // The tool's own version: nothing changes.
  loadBad(0, "imgnorm/imgnorm", 1081);
  EXPECT_TRUE(target == before);
  EXPECT_EQ(target.trainedMethods(), eLocalCorrection);
  // A pair's version: what came before it is loaded, the rest is reset.
  loadBad(kGranularityVersion, "", 0);
  EXPECT_EQ(target.trainedMethods(), eMatchHistogram);
  EXPECT_EQ(target.tailFractions(), mxPair<double>(0.05, 0.95));
  EXPECT_EQ(target.neighborhoodSize(), P(11, 9));
  EXPECT_EQ(target.granularity(), P(1, 1));
  EXPECT_FALSE(target.referenceImage().isBound());
  // An archive that ends inside a pair: its x is loaded, its y is the default.
  mxArchive cut(Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(kNbh + 4)));
  EXPECT_THROW(cut || target, mxArchive::Truncated);
  EXPECT_EQ(target.neighborhoodSize(), P(11, 101));
}

TEST(NormalizerArchive, ValuesTheSettersRejectFailToLoadClearly) {
  mxImageNormalizer n = trainedWithMask(Method(63));
  const Bytes bytes = store(n);
  const auto patch = [&](std::size_t at, auto v) {
    Bytes b = bytes;
    b.at(at + sizeof v - 1);
    std::memcpy(b.data() + at, &v, sizeof v);  // a little-endian host, as the archive
    return b;
  };
  const Image img = randomImage(30, 24, 2, 0, 255, 4, 5);
  for (const Bytes& b : {patch(kGran, std::int32_t(0)), patch(kGran + 4, std::int32_t(-3)),
                         patch(kNbh, std::int32_t(0)), patch(kRange, std::int32_t(5)),
                         patch(kTails, std::numeric_limits<double>::quiet_NaN()), patch(kTails + 8, 2.0)}) {
    // The failed load keeps the stored set without the data behind it: no
    // method runs.
    mxImageNormalizer failed;
    mxArchive ar(b);
    EXPECT_THROW(ar || failed, BadParams);
    ASSERT_EQ(failed.trainedMethods(), Method(63));
    bool ok;
    std::wstring why;
    for (std::uint32_t m = 1; m <= 32; m <<= 1) EXPECT_THROW(failed.run(img, Method(m), ok, why), NotTrained) << m;
  }
  // Huge but valid sizes train without trouble.
  EXPECT_EQ(load(patch(kNbh, std::int32_t(0x7fffffff))).trainedMethods(), n.trainedMethods());
}

TEST(NormalizerArchive, SurvivesTruncationAndCorruption) {
  mxImageNormalizer n = trainedWithMask(Method(63));
  const Bytes bytes = store(n);
  for (std::size_t len = 0; len < bytes.size(); ++len)
    EXPECT_THROW(load(Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(len))), mxException) << "length " << len;
  // Corruptions load or fail with a clear error, never crash.
  std::mt19937 rng(3);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes b = bytes;
    for (int k = 0; k <= trial % 3; ++k) b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    try {
      mxArchive ar(b);
      mxImageNormalizer m;
      ar || m;
    } catch (const mxException&) {
    }
  }
}

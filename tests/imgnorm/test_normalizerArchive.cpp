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

// What a load of bytes into `into` that throws E leaves behind.
template <class E>
mxImageNormalizer loadThrowing(const Bytes& bytes, mxImageNormalizer into = {}) {
  mxArchive ar(bytes);
  EXPECT_THROW(ar || into, E);
  return into;
}

// bytes with the stored method set (after the version byte) replaced.
Bytes withMethods(Bytes bytes, std::uint32_t methods) {
  std::memcpy(bytes.data() + 1, &methods, 4);
  return bytes;
}

mxImageNormalizer trainedWithMask(Method methods) {
  Image ref = randomImage(30, 24, 1, 20, 230, 4, 5);
  ref.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(-1, 7)));
  const Image mask = makeImage(30, 24, [](int x, int y) { return (x + y) % 5 ? 200 : 0; }, 4, 5);
  mxImageNormalizer n = trainedTool(ref, eIdentity, P(11, 9), mask, P(2, 2));
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
  mxImageNormalizer n = trainedWithMask(eMatchHistogram | eLocalCorrection | eLinearlyFitGrayValues | eLocalLinear);
  const mxImageNormalizer back = load(store(n));
  EXPECT_TRUE(back == n);  // every setting, both images, the trained methods
  EXPECT_TRUE(mfPelEqual<unsigned char>(back.sampledMask(), n.sampledMask()));
  EXPECT_TRUE(mfPelEqual<unsigned short>(back.maskCoverage(), n.maskCoverage()));
  EXPECT_EQ(back.referenceHistogram(), n.referenceHistogram());
  EXPECT_EQ(back.fitAngles(), n.fitAngles());

  // Loading replaces everything; parameters changed after training load untrained.
  mxImageNormalizer defaults, target = trainedWithMask(Method(kAllMethods));
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
  const Bytes cut(bytes.begin(), bytes.begin() + std::ptrdiff_t(kNbh + 4));
  EXPECT_EQ(loadThrowing<mxArchive::Truncated>(cut, target).neighborhoodSize(), P(11, 101));
}

TEST(NormalizerArchive, ValuesTheSettersRejectFailToLoadClearly) {
  mxImageNormalizer n = trainedWithMask(Method(kAllMethods));
  const Bytes bytes = store(n);
  const auto patch = [&](std::size_t at, auto v) {
    Bytes b = bytes;
    b.at(at + sizeof v - 1);
    std::memcpy(b.data() + at, &v, sizeof v);  // a little-endian host, as the archive
    return b;
  };
  const Image img = randomImage(30, 24, 2, 0, 255, 4, 5);
  struct Case {
    Bytes bytes;
    std::uint32_t usesIt;  // the methods that read the bad value
  };
  for (const Case& c :
       {Case{patch(kGran, std::int32_t(0)), 48}, Case{patch(kGran + 4, std::int32_t(-3)), 48},
        Case{patch(kNbh, std::int32_t(0)), 48}, Case{patch(kRange, std::int32_t(5)), 48},
        Case{patch(kTails, std::numeric_limits<double>::quiet_NaN()), 4}, Case{patch(kTails + 8, 2.0), 4}}) {
    // The failed load keeps the stored set; only methods reading the bad value refuse to run.
    const mxImageNormalizer failed = loadThrowing<BadParams>(c.bytes);
    ASSERT_EQ(failed.trainedMethods(), Method(kAllMethods));
    bool ok;
    std::wstring why;
    for (std::uint32_t m = 1; m <= 32; m <<= 1) {
      if (m & c.usesIt) {
        EXPECT_THROW(failed.run(img, Method(m), ok, why), BadParams) << m;
      } else if (m != eLinearlyFitGrayValues) {
        EXPECT_NO_THROW(failed.run(img, Method(m), ok, why)) << m;
      }
    }
  }
  // Huge but valid sizes train without trouble.
  EXPECT_EQ(load(patch(kNbh, std::int32_t(0x7fffffff))).trainedMethods(), n.trainedMethods());
}

// Every prefix is refused (corrupted bytes: the archive fuzz target's).
TEST(NormalizerArchive, RefusesEveryTruncation) {
  mxImageNormalizer n = trainedWithMask(Method(kAllMethods));
  const Bytes bytes = store(n);
  for (std::size_t len = 0; len < bytes.size(); ++len)
    EXPECT_THROW(load(Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(len))), mxException) << "length " << len;
}

// Retraining stopped at its first check: the stored set with default trained members;
// run refuses only methods outside the set.
TEST(NormalizerArchive, RetrainingThatStoppedEarlyStillRuns) {
  const auto loadFor = [](mxImageNormalizer n, std::uint32_t methods) {
    const mxImageNormalizer loaded = loadThrowing<CanNotTrain>(withMethods(store(n), methods));
    EXPECT_EQ(loaded.trainedMethods(), Method(methods));
    return loaded;
  };
  const Image img = randomImage(30, 24, 2, 0, 255, 4, 5);
  bool ok = false;
  std::wstring why;

  // An unknown bit (256) beside histogram methods, with a reference.
  const mxImageNormalizer histo = loadFor(trainedWithMask(eMatchHistogram), 256 | 3);
  EXPECT_FALSE(histo.run(img, eMatchHistogram, ok, why).isBound());
  EXPECT_FALSE(ok);
  EXPECT_EQ(why, L"Cannot match histogram if either is empty.");
  EXPECT_TRUE(histo.run(img, eMatchMeanAndStddev, ok, why).isBound());
  EXPECT_TRUE(ok);
  EXPECT_THROW(histo.run(img, eMatchHistogramTails, ok, why), NotTrained);

  // A stored set without a reference: no overlap, nothing to do.
  const mxImageNormalizer noRef = loadFor(mxImageNormalizer(), 1);
  EXPECT_FALSE(noRef.run(img, eMatchHistogram, ok, why).isBound());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(why.empty());

  // Local methods with a stored mask run as if there were none.
  const mxImageNormalizer local = loadFor(trainedWithMask(eLocalCorrection), methodMask(MethodKind::eLocal) | 256);
  mxImageNormalizer unmasked = trainedWithMask(eIdentity);
  unmasked.maskImage(Image(), false);
  unmasked.train(Method(methodMask(MethodKind::eLocal)));
  for (const MethodInfo& row : kMethods) {
    if (row.kind != MethodKind::eLocal) continue;
    const Method m = row.method;
    EXPECT_TRUE(mfPelEqual<unsigned char>(runTool(local, img, m, &ok), runTool(unmasked, img, m))) << m;
    EXPECT_TRUE(ok);
  }

  // The linear fit's direction table is empty: guarded as not trained.
  const mxImageNormalizer fit = loadFor(trainedWithMask(eLinearlyFitGrayValues), 8 | 256);
  EXPECT_THROW(fit.run(img, eLinearlyFitGrayValues, ok, why), NotTrained);
}

// Without a stored transform the identity is loaded, so retraining (which maps the mask) works.
TEST(NormalizerArchive, ImageWithoutTransformLoadsWithTheIdentity) {
  mxImageNormalizer bare = trainedWithMask(eIdentity);
  Image ref = mfPelCopy<unsigned char>(bare.referenceImage()), mask = mfPelCopy<unsigned char>(bare.maskImage());
  ref.clientFromImageXformBase(nullptr);
  mask.clientFromImageXformBase(nullptr);
  bare.referenceImage(ref, false);
  bare.maskImage(mask, false);
  // (That each loads with the identity is Archive.PixelBufferEncodingIsPinned.)
  const std::uint32_t methods = eMatchHistogram | eLocalCorrection;
  EXPECT_EQ(load(withMethods(store(bare), methods)).trainedMethods(), Method(methods));
}

// 0 x (2^31 - 1) and (2^31 - 1) x 0 references load, train, run and store at no cost.
TEST(NormalizerArchive, EmptyReferenceOfHugeExtent) {
  constexpr std::int32_t kHuge = 0x7fffffff;
  for (const auto& [w, h] : {std::pair{0, kHuge}, std::pair{kHuge, 0}}) {
    mxImageNormalizer n;
    // The reference's unbound 0 byte becomes a bound 8-bit buffer at (0, 0) without transform.
    Bytes b = withMethods(store(n), kAllMethods);
    b.pop_back();
    for (std::uint8_t v : {1, 1}) b.push_back(v);
    for (std::int32_t v : {0, 0, w, h})
      for (int k = 0; k < 4; ++k) b.push_back(std::uint8_t(std::uint32_t(v) >> (8 * k)));
    b.push_back(0);
    mxImageNormalizer loaded = loadThrowing<CanNotTrain>(b);  // the histogram is empty
    EXPECT_EQ(loaded.referenceImage().width(), w);
    EXPECT_EQ(loaded.trainedMethods(), Method(kAllMethods & ~kHistogramMethods));
    // Stored again, now with the identity (six doubles).
    EXPECT_EQ(store(loaded).size(), b.size() + 48);
    bool ok = false;
    std::wstring why;
    const Image img = randomImage(30, 24, 2);
    for (const Method m : {eLinearlyFitGrayValues, eLocalCorrection, eLocalCorrectionEnhanced, eLocalGain, eLocalLinear}) {
      EXPECT_FALSE(loaded.run(img, m, ok, why).isBound());
      EXPECT_TRUE(ok);
    }
  }
}

// relativeCounts: a closing record (marker, version byte, 32 option bits) written only when
// set, so other tools keep their bytes; unknown versions or bits are refused.
TEST(NormalizerArchive, RelativeCountsExtensionRecord) {
  mxImageNormalizer n = trainedWithMask(eMatchHistogram);
  const Bytes plain = store(n);
  n.relativeCounts(true);
  EXPECT_EQ(n.trainedMethods(), eMatchHistogram);  // a run-time choice: the training stays
  const Bytes extended = store(n);
  ASSERT_EQ(extended.size(), plain.size() + 8 + 1 + 4);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), extended.begin()));
  EXPECT_FALSE(load(plain).relativeCounts());
  const mxImageNormalizer back = load(extended);
  EXPECT_TRUE(back.relativeCounts() && back == n && !(back == load(plain)));
  for (std::size_t at : {plain.size() + 8, plain.size() + 9}) {  // the version byte, the option bits
    Bytes bad = extended;
    bad[at] |= 2;
    loadThrowing<mxArchive::UnknownVersion>(bad);
  }
}

#include "imgnorm/checks.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;
using D = mxPair<double>;

TEST(NormalizerObject, SettersAcceptAndRejectWithoutChange) {
  const std::wstring tail = L"Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0";
  const std::wstring range = L"intensityVariationRange must be: x <= 0 and y >= 0";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  mxImageNormalizer n;
  n.neighborhoodSize(P(1, 1));
  for (P bad : {P(0, 5), P(5, 0), P(-3, 7)}) {
    expectError<BadParams>([&] { n.neighborhoodSize(bad); }, L"Both elements of neighborhoodSize must be >= 1",
                           0x10007A01);
    expectError<BadParams>([&] { n.granularity(bad); }, L"Both elements of granularity must be >= 1");
  }
  EXPECT_TRUE(n.neighborhoodSize() == P(1, 1) && n.granularity() == P(1, 1));
  for (D ok : {D(0.3, 0.3), D(0.0, 0.0), D(1.0, 1.0)}) EXPECT_NO_THROW(n.tailFractions(ok));
  for (D bad : {D(-0.01, 0.5), D(0.6, 0.5), D(0.2, 1.01), D(nan, 0.5)})
    expectError<BadParams>([&] { n.tailFractions(bad); }, tail);
  EXPECT_EQ(n.tailFractions(), D(1.0, 1.0));
  n.intensityVariationRange(P(0, 0));
  for (P bad : {P(1, 5), P(-5, -1)}) expectError<BadParams>([&] { n.intensityVariationRange(bad); }, range);
  EXPECT_EQ(n.intensityVariationRange(), P(0, 0));
}

TEST(NormalizerObject, SetKeepsTrainingUnlessTheRangeIsBad) {
  mxImageNormalizer n = trainedTool(randomImage(16, 16, 3), eMatchHistogram);
  n.set(D(0.1, 0.9), P(-10, 40), true);
  EXPECT_EQ(n.trainedMethods(), eMatchHistogram);
  EXPECT_TRUE(n.keepMaskedPixels());
  // A bad tail pair: nothing changes.
  EXPECT_THROW(n.set(D(0.5, 0.4), P(-1, 1), false), BadParams);
  EXPECT_EQ(n.trainedMethods(), eMatchHistogram);
  EXPECT_EQ(n.tailFractions(), D(0.1, 0.9));
  // A good tail pair and a bad range: the tails are stored, training lost, keepMaskedPixels untouched.
  EXPECT_THROW(n.set(D(0.2, 0.8), P(1, 1), false), BadParams);
  EXPECT_EQ(n.tailFractions(), D(0.2, 0.8));
  EXPECT_EQ(n.trainedMethods(), eIdentity);
  EXPECT_TRUE(n.keepMaskedPixels());
  EXPECT_EQ(n.intensityVariationRange(), P(-10, 40));
}

TEST(NormalizerObject, EverySetterClearsTraining) {
  const Image ref = randomImage(16, 16, 4);
  const std::function<void(mxImageNormalizer&)> setters[] = {
      [](mxImageNormalizer& n) { n.neighborhoodSize(n.neighborhoodSize()); },
      [](mxImageNormalizer& n) { n.granularity(n.granularity()); },
      [](mxImageNormalizer& n) { n.tailFractions(n.tailFractions()); },
      [](mxImageNormalizer& n) { n.intensityVariationRange(n.intensityVariationRange()); },
      [](mxImageNormalizer& n) { n.keepMaskedPixels(n.keepMaskedPixels()); },
      [](mxImageNormalizer& n) { n.maskImage(mxPelBuffer_const<unsigned char>(), true); },
      [&](mxImageNormalizer& n) { n.referenceImage(ref, false); },
  };
  for (const auto& setter : setters) {
    mxImageNormalizer n = trainedTool(ref, eMatchHistogram | eLocalCorrection);
    ASSERT_EQ(n.trainedMethods(), eMatchHistogram | eLocalCorrection);
    setter(n);
    EXPECT_EQ(n.trainedMethods(), eIdentity);
  }
}

TEST(NormalizerObject, ImagesSharedOrCopied) {
  Image img = randomImage(8, 6, 5, 0, 255, 10, 20);
  mxImageNormalizer shared, copied;
  shared.referenceImage(img, false);
  copied.referenceImage(img, true);
  copied.maskImage(img, true);
  EXPECT_EQ(copied.referenceImage().window(), img.window());
  const unsigned char before = img.get(12, 21), after = static_cast<unsigned char>(before + 1);
  img.set(12, 21, after);
  EXPECT_TRUE(shared.referenceImage().get(12, 21) == after && copied.referenceImage().get(12, 21) == before &&
              copied.maskImage().get(12, 21) == before);
}

TEST(NormalizerObject, EqualityComparesSettingsImagesAndTrainedMethodsAndUntrainRestoresTheDefaults) {
  const Image ref = randomImage(12, 12, 6);
  mxImageNormalizer a, b;
  a.referenceImage(ref, false);
  b.referenceImage(ref, true);  // equal pels in another store
  EXPECT_TRUE(a == b);
  a.train(eMatchHistogram | eLinearlyFitGrayValues);
  b.train(eMatchHistogram);
  EXPECT_FALSE(a == b);
  b.train(eMatchHistogram | eLinearlyFitGrayValues);
  EXPECT_TRUE(a == b);
  b.maskImage(ref, false);
  EXPECT_FALSE(a == b);
  mxImageNormalizer c = a;
  c.set(D(0.0, 0.5), a.intensityVariationRange(), a.keepMaskedPixels());
  EXPECT_FALSE(c == a);
  // untrain restores the defaults: every setting, both images, no methods.
  c.maskImage(ref, true);
  c.set(D(0.2, 0.3), P(-1, 1), true);
  c.neighborhoodSize(P(5, 7));
  c.granularity(P(2, 2));
  c.train(eMatchHistogram);
  c.untrain();
  EXPECT_TRUE(c == mxImageNormalizer());
  EXPECT_FALSE(c.referenceImage().isBound() || c.maskImage().isBound());
}

// Each row one distinct bit (identity 0), found by bit and name; "UnknownMethod" otherwise.
TEST(NormalizerObject, MethodTableRoundTrips) {
  std::uint32_t seen = 0;
  for (const MethodInfo& m : kMethods) {
    const std::uint32_t bit = m.method;
    EXPECT_EQ(bit & (bit - 1), 0u) << m.name;
    EXPECT_EQ(seen & bit, 0u) << m.name;
    seen |= bit;
    EXPECT_EQ(methodInfo(bit), &m);
    EXPECT_EQ(methodByName(m.name), &m);
    EXPECT_EQ(methodName(m.method), m.enumerator);
    EXPECT_EQ(isLocal(bit), m.kind == MethodKind::eLocal) << m.name;
  }
  EXPECT_EQ(seen, kAllMethods);
  EXPECT_EQ(methodByName("Histogram"), nullptr);
  for (std::uint32_t v = 0; v <= 2 * kAllMethods + 1; ++v) {
    if (methodInfo(v) == nullptr) {
      EXPECT_EQ(methodName(Method(v)), L"UnknownMethod") << v;
    }
  }
  EXPECT_EQ(methodName(Method(3)), L"UnknownMethod");
  EXPECT_EQ(methodName(eIdentity), L"eIdentity");
}

// Front ends tell a rule by its message: each message names one rule.
TEST(NormalizerObject, EveryRuleMessageNamesItsRule) {
  for (const RuleMessage& r : kRuleMessages) EXPECT_EQ(ruleOf(r.message), r.rule) << r.message;
  EXPECT_EQ(ruleOf(L"Both elements of neighborhoodSize must be >= 1 "), Rule::eNone);
  EXPECT_EQ(ruleOf(L""), Rule::eNone);
}

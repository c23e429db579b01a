#include "support/normalizerTest.h"

#include "imgnorm/localCorrection.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {
// A mask with a hole (0) and a mix of non-zero values elsewhere.
Image holeMask(int w, int h) {
  return makeImage(w, h, [&](int x, int y) {
    if (x > w / 4 && x < w / 2 && y > h / 3 && y < 2 * h / 3) return 0;
    return 1 + (x * 7 + y * 3) % 255;
  });
}

mxPelBuffer<unsigned short> coverageOf(const mxPelBuffer_const<unsigned char>& mask, P size) {
  Image copy = mfPelCopy(mask);
  mxPelBuffer<unsigned short> cov;
  scaledLocalMean(copy, size, cov);
  return cov;
}
}  // namespace

TEST(Training, RequestChecksLeaveTheToolUnchanged) {
  mxImageNormalizer n;
  expectError<CanNotTrain>([&] { n.train(Method(1)); }, L"referenceImage() must be bound for the specified methods.");
  n.train(eIdentity);  // no reference needed
  n.referenceImage(randomImage(40, 30, 1), false);
  n.train(eMatchHistogram);
  expectError<CanNotTrain>([&] { n.train(Method(kAllMethods + 1)); },
                           L"<methods> contains an unknown normalization method.");
  EXPECT_EQ(n.trainedMethods(), eMatchHistogram);
  n.train(eLocalCorrection);  // replaces, does not add
  EXPECT_EQ(n.trainedMethods(), eLocalCorrection);

  // An empty histogram fails the histogram methods but keeps the others.
  n.maskImage(Image(40, 30), true);
  expectError<CanNotTrain>([&] { n.train(eMatchHistogram | eLocalCorrection); },
                           L"Histogram must be non-empty for the specified methods.");
  EXPECT_EQ(n.trainedMethods(), eLocalCorrection);
}

TEST(Training, MaskDerivedMembers) {
  const Image ref = randomImage(64, 48, 3), mask = holeMask(64, 48);
  mxImageNormalizer n = trainedTool(ref, eLocalCorrection | eMatchHistogram | eLinearlyFitGrayValues);
  EXPECT_FALSE(n.binarizedMask().isBound() || n.maskCoverage().isBound());
  EXPECT_EQ(n.referenceHistogram(), mfPelHistogram(ref));

  // Granularity (1, 1): no sampled mask; coverage from the binarized mask with
  // the neighbourhood made odd; the histogram counts the selected pels.
  n.maskImage(mask, false);
  n.neighborhoodSize(P(20, 15));
  n.train(eLocalCorrection | eMatchHistogram);
  ASSERT_EQ(n.binarizedMask().window(), mask.window());
  std::vector<std::uint32_t> selected(256, 0);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      ASSERT_EQ(n.binarizedMask().get(x, y), mask.get(x, y) ? 255 : 0);
      selected[ref.get(x, y)] += mask.get(x, y) != 0;
    }
  EXPECT_EQ(n.referenceHistogram(), selected);
  EXPECT_FALSE(n.sampledMask().isBound());
  EXPECT_TRUE(mfPelEqual<unsigned short>(n.maskCoverage(), coverageOf(n.binarizedMask(), P(21, 15))));

  // Granularity (2, 3): sampled, binary mask; coverage on the sampled grid with
  // the reduced neighbourhood (101 / 2 | 1, 101 / 3 | 1) = (51, 33).
  n.neighborhoodSize(P(101, 101));
  n.granularity(P(2, 3));
  n.train(eLocalCorrection);
  ASSERT_TRUE(n.sampledMask().isBound());
  EXPECT_LT(n.sampledMask().width(), 40);
  const auto h = mfPelHistogram(n.sampledMask());
  EXPECT_EQ(h[0] + h[255], std::uint32_t(n.sampledMask().width() * n.sampledMask().height()));
  EXPECT_TRUE(mfPelEqual<unsigned short>(n.maskCoverage(), coverageOf(n.sampledMask(), P(51, 33))));
  n.train(eLocalCorrectionEnhanced);  // alone it needs no coverage
  EXPECT_FALSE(n.maskCoverage().isBound());
}

TEST(Training, ParametersRecord) {
  mxImageNormalizer n = trainedTool(randomImage(16, 16, 5), eIdentity);
  mxDiagObject diag;
  n.train(eMatchHistogram | eMatchHistogramTails, &diag, 0);
  n.train(eMatchHistogram | eMatchHistogramTails, nullptr, mxDiagObject::eAll);
  EXPECT_TRUE(diag.records().empty());

  n.train(eMatchHistogram | eMatchHistogramTails, &diag, mxDiagObject::eInputs);
  ASSERT_EQ(diag.records().size(), 2u);  // no mask, no mask record
  EXPECT_EQ(diag.records()[0].name, L"referenceImage");
  EXPECT_EQ(diag.records()[1].name, L"Parameters");
  EXPECT_EQ(diag.records()[1].text,
            L"trainedMethods=(1 | 4 | )\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
            L"neighborhoodSize=( 101 , 101 )\ngranularity=( 1 , 1 )\nintensityRange=( -127 , 127 )\n");

  diag.clear();
  n.maskImage(holeMask(16, 16), false);
  n.set(mxPair<double>(0.25, 0.5), P(-3, 0), true);
  n.train(eIdentity, &diag, mxDiagObject::eInputs);
  ASSERT_EQ(diag.records().size(), 3u);
  EXPECT_EQ(diag.records()[1].text,
            L"trainedMethods=()\nkeepMaskedPixels=true\ntailFractions=( 0.25 , 0.5 )\n"
            L"neighborhoodSize=( 101 , 101 )\ngranularity=( 1 , 1 )\nintensityRange=( -3 , 0 )\n");
  EXPECT_EQ(diag.records()[2].name, L"maskImage");
}

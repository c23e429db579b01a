#include "support/normalizerTest.h"

#include "imgnorm/globalMapping.h"
#include "pelfunc/mf_PelBufferEqual.h"

using namespace mxImageNormalizerDefs;

namespace {
const Method kRunnable[] = {eMatchHistogram,        eMatchMeanAndStddev, eMatchHistogramTails,
                            eLinearlyFitGrayValues, eLocalCorrection,    eLocalCorrectionEnhanced};

// f(x, y, pel) rounded and clamped, pel by pel.
template <class F>
Image transformed(const mxPelBuffer_const<unsigned char>& src, F f) {
  const mxPelRect r = src.window();
  return makeImage(
      r.width(), r.height(),
      [&](int x, int y) { return std::lround(std::fmin(255.0, std::fmax(0.0, f(x, y, src.get(x, y))))); }, r.x(),
      r.y());
}

// Runs m; ok and the message must agree.
Image run(const mxImageNormalizer& n, const mxPelBuffer_const<unsigned char>& img, Method m, bool expectOk = true,
          const std::wstring& message = L"") {
  bool ok = !expectOk;
  std::wstring why = L"stale";
  Image out = n.run(img, m, ok, why);
  EXPECT_EQ(ok, expectOk) << methodName(m).c_str();
  EXPECT_EQ(why, message);
  return out;
}

}  // namespace

TEST(Running, IdentityIsTheWholeInputWhateverTheSettings) {
  const Image img = randomImage(9, 7, 1, 0, 255, 5, 6);
  const mxImageNormalizer n = trainedTool(randomImage(3, 3, 2), eIdentity, P(101, 101), Image(3, 3), P(1, 1), true);
  const Image out = run(n, img, eIdentity);
  EXPECT_TRUE(mf_PelBufferEqual(out, img, 0.0));
  EXPECT_NE(out.root(), img.root());
  EXPECT_TRUE(mf_PelBufferEqual(run(mxImageNormalizer(), img, eIdentity), img, 0.0));
}

TEST(Running, ArgumentChecksInOrder) {
  const mxImageNormalizer n = trainedTool(randomImage(16, 16, 3), eMatchHistogram);
  const Image img = randomImage(16, 16, 4), unbound;
  const std::wstring notTrained = L"This tool was not trained for the specified  method.";
  const struct {
    const Image& image;
    Method method;
    std::int32_t number;
    std::wstring message;
  } cases[] = {
      {img, Method(kAllMethods + 1), 0x10007A01, L"Cannot specify an unknown normalization method."},
      {img, Method(3), 0x10007A01, L"Cannot run with more than one normalization method."},
      {img, eMatchHistogramTails, 0x10007A02, notTrained},
      {unbound, eMatchHistogramTails, 0x10007A02, notTrained},
      {unbound, eMatchHistogram, 0x10007A00, L"Image must be bound."},
  };
  for (const auto& c : cases) {
    bool ok;
    std::wstring why;
    expectError<Errors>([&] { n.run(c.image, c.method, ok, why); }, c.message, c.number);
  }
}

TEST(Running, OverlapDecidesTheResultWindow) {
  const Image ref = texturedImage(60, 50, 11, 10, 20);
  const mxImageNormalizer n = trainedTool(ref, Method(63), P(9, 9));
  // Wholly outside: unbound, success.  Larger than the reference: cut to it.
  // Partly outside with a client transform: the overlap, the image's transform.
  const Image outside = randomImage(20, 20, 5, 0, 255, 200, 200), big = randomImage(100, 100, 6, 40, 200);
  Image part = randomImage(40, 40, 7, 40, 200, 45, 50);
  const mxXform<2> x(mxMatrix<2>(0.5, 0, 0, 0.5), mxVector<2>(3, 4));
  part.clientFromImageXform(x);
  for (Method m : kRunnable) {
    EXPECT_FALSE(run(n, outside, m).isBound());
    EXPECT_EQ(run(n, big, m).window(), ref.window()) << methodName(m).c_str();
    const Image out = run(n, part, m);
    EXPECT_EQ(out.window(), mxPelRect(45, 50, 25, 20)) << methodName(m).c_str();
    EXPECT_TRUE(out.clientFromImageXform() == x);
  }
}

TEST(Running, KeepMaskedPixelsRestoresTheInput) {
  const Image ref = texturedImage(64, 48, 11);
  const Image mask = makeImage(64, 48, [](int x, int y) { return (x < 20 && y < 30) ? 0 : 9; });
  const Image img = transformed(ref, [](int, int, int v) { return 0.7 * v + 30; });
  const mxImageNormalizer n = trainedTool(ref, 63, P(15, 15), mask, P(1, 1), true);
  for (Method m : kRunnable) {
    const Image out = run(n, img, m);
    int changedOutside = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        ASSERT_TRUE(mask.get(x, y) || out.get(x, y) == img.get(x, y)) << methodName(m).c_str() << x << "," << y;
        changedOutside += mask.get(x, y) && out.get(x, y) != img.get(x, y);
      }
    EXPECT_GT(changedOutside, 100) << methodName(m).c_str();
  }
}

TEST(Running, HistogramMethodsSoftFailures) {
  mxImageNormalizer n =
      trainedTool(texturedImage(40, 40, 11), eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails, P(101, 101),
                  makeImage(40, 40, [](int x, int) { return x < 20 ? 255 : 0; }));
  // The run-time image covers only the masked-out half.
  const Image right = randomImage(20, 40, 8, 0, 255, 20, 0);
  for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails})
    EXPECT_FALSE(run(n, right, m, false, L"Cannot normalize since histogram is empty.").isBound());
  // A flat run-time image: the table builders' own messages.
  const Image flat = makeImage(40, 40, [](int, int) { return 77; });
  run(n, flat, eMatchMeanAndStddev, false, L"Cannot match when standard deviation is 0.");
  n.set(mxPair<double>(0.1, 0.9), n.intensityVariationRange(), false);
  run(n, flat, eMatchHistogramTails, false, L"Cannot match the specified tails for this image.");
}

// An upper fraction that is not a number passes the setter's checks;
// training accepts it, and the percentage it gives is 0.
TEST(Running, TailPercentagesRoundHalfAway) {
  const Image ref = texturedImage(50, 40, 11);
  const Image img = transformed(ref, [](int, int, int v) { return 0.6 * v + 50; });
  mxImageNormalizer n = trainedTool(ref, eIdentity);
  for (auto [fractions, percent] :
       {std::pair(mxPair<double>(0.125, 0.875), P(13, 88)), std::pair(mxPair<double>(0.2, std::nan("")), P(20, 0))}) {
    n.tailFractions(fractions);
    n.train(eMatchHistogramTails);
    std::vector<unsigned char> lut;
    std::wstring why;
    matchHistogramTailsLut(n.referenceStats(), mxHistoStats(mfPelHistogram(img)), percent, lut, why);
    ASSERT_EQ(lut.size(), 256u);
    EXPECT_TRUE(mfPelEqual<unsigned char>(run(n, img, eMatchHistogramTails), mfPelMap(img, lut)));
  }
}

TEST(Running, DiagnosticsRecords) {
  const mxImageNormalizer n = trainedTool(randomImage(16, 16, 9), eMatchHistogram);
  const Image img = randomImage(16, 16, 10);
  mxDiagObject diag;
  diag.level(3);
  bool ok = false;
  std::wstring why;
  n.run(img, eMatchHistogram, ok, why, &diag, mxDiagObject::eAll);
  const auto& r = diag.records();
  const std::pair<const wchar_t*, int> expected[] = {{L"Image Normalization", 3},
                                                     {L"Run-time parameters", 3},
                                                     {L"referenceImage", 4},
                                                     {L"maskImage", 4},
                                                     {L"Image Normalization Result", 4}};
  ASSERT_EQ(r.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(r[i].name == expected[i].first && r[i].level == expected[i].second) << i;
  EXPECT_EQ(r[1].text,
            L"method=eMatchHistogram\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
            L"neighborhoodSize=(101, 101)\ngranularity=(1, 1)\nintensityRange=(-127, 127)\n");
  EXPECT_TRUE(mf_PelBufferEqual(r[0].image, img, 0.0));
  EXPECT_NE(r[0].image.root(), img.root());

  // Results only; and input records survive a call that throws.
  diag.clear();
  n.run(img, eMatchHistogram, ok, why, &diag, mxDiagObject::eResults);
  ASSERT_EQ(diag.records().size(), 1u);
  EXPECT_EQ(diag.records()[0].name, L"Image Normalization Result");
  diag.clear();
  EXPECT_THROW(n.run(img, Method(3), ok, why, &diag, mxDiagObject::eInputs), BadParams);
  EXPECT_EQ(diag.records().size(), 4u);
}

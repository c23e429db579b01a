#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "baseif/mxDiag.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "support/testImages.h"

using namespace mxImageNormalizerDefs;
using P = mxPair<std::int32_t>;

namespace {
const Method kRunnable[] = {eMatchHistogram,   eMatchMeanAndStddev, eMatchHistogramTails,
                            eLinearlyFitGrayValues, eLocalCorrection, eLocalCorrectionEnhanced};

// Textured reference: smooth structure plus fine texture, grey levels 30..220.
mxPelBuffer<unsigned char> texturedReference(int w, int h, int x0 = 0, int y0 = 0) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> noise(-12, 12);
  return makeImage(w, h, [&](int x, int y) {
    const double v = 125 + 55 * std::sin(x * 0.21) * std::cos(y * 0.17) + 25 * std::sin((x - y) * 0.05) + noise(rng);
    return std::lround(std::fmin(220.0, std::fmax(30.0, v)));
  }, x0, y0);
}

template <class F>
mxPelBuffer<unsigned char> transformed(const mxPelBuffer_const<unsigned char>& src, F f) {
  mxPelBuffer<unsigned char> out = mfPelCopy(src);
  for (int y = src.window().y(); y < src.window().y() + src.height(); ++y)
    for (int x = src.window().x(); x < src.window().x() + src.width(); ++x)
      *out.pointToPel(x, y) =
          static_cast<unsigned char>(std::lround(std::fmin(255.0, std::fmax(0.0, f(x, y, *src.pointToPel(x, y))))));
  return out;
}

// Mean |a - b| over a's window, skipping a border of `border` pels and, when
// a mask is given, the pels it excludes.
double mae(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b, int border = 0,
           const mxPelBuffer_const<unsigned char>& mask = mxPelBuffer_const<unsigned char>()) {
  const mxPelRect r = a.window().trim(border, border, border, border);
  double s = 0;
  long n = 0;
  for (int y = r.y(); y < r.y() + r.height(); ++y)
    for (int x = r.x(); x < r.x() + r.width(); ++x) {
      if (mask.isBound() && mask.get(x, y) == 0) continue;
      s += std::abs(int(*a.pointToPel(x, y)) - int(b.get(x, y)));
      ++n;
    }
  return s / double(n);
}

mxPelBuffer<unsigned char> runOk(const mxImageNormalizer& n, const mxPelBuffer_const<unsigned char>& img, Method m) {
  bool ok = false;
  std::wstring why = L"stale";
  mxPelBuffer<unsigned char> out = n.run(img, m, ok, why);
  EXPECT_TRUE(ok) << methodName(m).c_str();
  EXPECT_TRUE(why.empty());
  return out;
}
}  // namespace

TEST(Running, IdentityNeedsNothing) {
  const mxPelBuffer<unsigned char> img = randomImage(9, 7, 1, 0, 255, 5, 6);
  mxImageNormalizer n;
  bool ok = false;
  std::wstring why = L"x";
  mxPelBuffer<unsigned char> out = n.run(img, eIdentity, ok, why);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(why.empty());
  EXPECT_TRUE(mf_PelBufferEqual(out, img, 0.0));
  EXPECT_NE(out.root(), img.root());

  // The whole input window, whatever the reference, mask and keep flag say.
  n.referenceImage(randomImage(3, 3, 2), false);
  n.maskImage(mxPelBuffer<unsigned char>(3, 3), false);
  n.keepMaskedPixels(true);
  EXPECT_TRUE(mf_PelBufferEqual(n.run(img, eIdentity, ok, why), img, 0.0));
}

TEST(Running, ArgumentChecksInOrder) {
  mxImageNormalizer n;
  n.referenceImage(randomImage(16, 16, 3), false);
  n.train(eMatchHistogram);
  const mxPelBuffer<unsigned char> img = randomImage(16, 16, 4);
  const mxPelBuffer_const<unsigned char> unbound;
  bool ok = true;
  std::wstring why;
  auto expect = [&](const std::function<void()>& f, std::int32_t number, const std::wstring& text) {
    try {
      f();
      ADD_FAILURE() << "no exception";
    } catch (const Errors& e) {
      EXPECT_EQ(e.errorNumber(), number);
      EXPECT_EQ(e.message(), text);
    }
  };
  expect([&] { n.run(img, Method(64), ok, why); }, 0x10007A01, L"Cannot specify an unknown normalization method.");
  expect([&] { n.run(img, Method(3), ok, why); }, 0x10007A01, L"Cannot run with more than one normalization method.");
  expect([&] { n.run(img, eMatchHistogramTails, ok, why); }, 0x10007A02,
         L"This tool was not trained for the specified  method.");
  expect([&] { n.run(unbound, eMatchHistogramTails, ok, why); }, 0x10007A02,
         L"This tool was not trained for the specified  method.");
  expect([&] { n.run(unbound, eMatchHistogram, ok, why); }, 0x10007A00, L"Image must be bound.");
}

TEST(Running, OverlapDecidesTheResultWindow) {
  const mxPelBuffer<unsigned char> ref = texturedReference(60, 50, 10, 20);
  mxImageNormalizer n;
  n.referenceImage(ref, false);
  n.neighborhoodSize(P(9, 9));
  n.train(Method(63));

  // Wholly outside: unbound, success, no message.
  for (Method m : kRunnable) {
    bool ok = false;
    std::wstring why;
    EXPECT_FALSE(n.run(randomImage(20, 20, 5, 0, 255, 200, 200), m, ok, why).isBound());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(why.empty());
  }
  // Larger than the reference: cut to the reference window.  Partly outside
  // and with a client transform: the overlap, and the image's transform.
  mxPelBuffer<unsigned char> big = randomImage(100, 100, 6, 40, 200);
  mxPelBuffer<unsigned char> part = randomImage(40, 40, 7, 40, 200, 45, 50);
  const mxXform<2> x(mxMatrix<2>(0.5, 0, 0, 0.5), mxVector<2>(3, 4));
  part.clientFromImageXform(x);
  for (Method m : kRunnable) {
    EXPECT_EQ(runOk(n, big, m).window(), ref.window()) << methodName(m).c_str();
    const mxPelBuffer<unsigned char> out = runOk(n, part, m);
    EXPECT_EQ(out.window(), mxPelRect(45, 50, 25, 20)) << methodName(m).c_str();
    EXPECT_TRUE(out.clientFromImageXform() == x);
  }
}

TEST(Running, KeepMaskedPixelsRestoresTheInput) {
  const mxPelBuffer<unsigned char> ref = texturedReference(64, 48);
  const mxPelBuffer<unsigned char> mask = makeImage(64, 48, [](int x, int y) { return (x < 20 && y < 30) ? 0 : 9; });
  const mxPelBuffer<unsigned char> img = transformed(ref, [](int, int, int v) { return 0.7 * v + 30; });
  mxImageNormalizer n;
  n.referenceImage(ref, false);
  n.maskImage(mask, false);
  n.neighborhoodSize(P(15, 15));
  n.keepMaskedPixels(true);
  n.train(Method(63));
  for (Method m : kRunnable) {
    const mxPelBuffer<unsigned char> out = runOk(n, img, m);
    int changedOutside = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        if (mask.get(x, y) == 0) ASSERT_EQ(out.get(x, y), img.get(x, y)) << methodName(m).c_str();
        else changedOutside += out.get(x, y) != img.get(x, y);
      }
    EXPECT_GT(changedOutside, 100) << methodName(m).c_str();
  }
}

TEST(Running, HistogramMethodsSoftFailures) {
  const mxPelBuffer<unsigned char> ref = texturedReference(40, 40);
  mxImageNormalizer n;
  n.referenceImage(ref, false);
  n.maskImage(makeImage(40, 40, [](int x, int) { return x < 20 ? 255 : 0; }), false);
  n.train(eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails);
  // The run-time image covers only the masked-out half.
  const mxPelBuffer<unsigned char> right = randomImage(20, 40, 8, 0, 255, 20, 0);
  for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails}) {
    bool ok = true;
    std::wstring why;
    EXPECT_FALSE(n.run(right, m, ok, why).isBound());
    EXPECT_FALSE(ok);
    EXPECT_EQ(why, L"Cannot normalize since histogram is empty.");
  }
  // A flat run-time image: the builders' own messages.
  const mxPelBuffer<unsigned char> flat = makeImage(40, 40, [](int, int) { return 77; });
  bool ok = true;
  std::wstring why;
  n.run(flat, eMatchMeanAndStddev, ok, why);
  EXPECT_FALSE(ok);
  EXPECT_EQ(why, L"Cannot match when standard deviation is 0.");
  n.set(mxPair<double>(0.1, 0.9), n.intensityVariationRange(), false);
  n.run(flat, eMatchHistogramTails, ok, why);
  EXPECT_FALSE(ok);
  EXPECT_EQ(why, L"Cannot match the specified tails for this image.");
}

TEST(Running, TailPercentagesRoundHalfAway) {
  const mxPelBuffer<unsigned char> ref = texturedReference(50, 40);
  const mxPelBuffer<unsigned char> img = transformed(ref, [](int, int, int v) { return 0.6 * v + 50; });
  mxImageNormalizer n;
  n.referenceImage(ref, false);
  n.tailFractions(mxPair<double>(0.125, 0.875));
  n.train(eMatchHistogramTails);
  std::vector<unsigned char> lut;
  std::wstring why;
  matchHistogramTailsLut(n.referenceStats(), mxHistoStats(mfPelHistogram(img)), P(13, 88), lut, why);
  ASSERT_EQ(lut.size(), 256u);
  EXPECT_TRUE(mfPelEqual<unsigned char>(runOk(n, img, eMatchHistogramTails), mfPelMap(img, lut)));
}

TEST(Running, MethodsUndoTheirDistortions) {
  const mxPelBuffer<unsigned char> ref = texturedReference(160, 120, 7, 3);
  mxPelBuffer<unsigned char> mask = makeImage(160, 120, [](int x, int y) { return (x > 60 && x < 80 && y > 40) ? 0 : 1; }, 7, 3);
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 1.5);
  const auto gainOffset = transformed(ref, [&](int, int, int v) { return 0.75 * v + 20 + noise(rng); });
  const auto shaded = transformed(ref, [&](int x, int y, int v) {
    return v + 25.0 * std::sin(x * 0.012) - 20.0 * std::cos(y * 0.015) + noise(rng);
  });
  for (bool masked : {false, true}) {
    mxImageNormalizer n;
    n.referenceImage(ref, false);
    if (masked) n.maskImage(mask, false);
    n.neighborhoodSize(P(31, 31));
    n.train(Method(63));
    const double before = mae(gainOffset, ref);
    ASSERT_GT(before, 10.0);
    for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues})
      EXPECT_LT(mae(runOk(n, gainOffset, m), ref), 3.0) << methodName(m).c_str() << " masked " << masked;
    ASSERT_GT(mae(shaded, ref, 15), 10.0);
    for (Method m : {eLocalCorrection, eLocalCorrectionEnhanced})
      EXPECT_LT(mae(runOk(n, shaded, m), ref, 15, masked ? mask : mxPelBuffer<unsigned char>()), 3.0)
          << methodName(m).c_str() << " masked " << masked;
  }
}

TEST(Running, DiagnosticsRecords) {
  mxImageNormalizer n;
  n.referenceImage(randomImage(16, 16, 9), false);
  n.train(eMatchHistogram);
  const mxPelBuffer<unsigned char> img = randomImage(16, 16, 10);
  mxDiagObject diag;
  diag.level(3);
  bool ok = false;
  std::wstring why;
  n.run(img, eMatchHistogram, ok, why, &diag, mxDiagObject::eAll);
  EXPECT_EQ(diag.level(), 3);
  const auto& r = diag.records();
  ASSERT_EQ(r.size(), 5u);
  const wchar_t* names[] = {L"Image Normalization", L"Run-time parameters", L"referenceImage", L"maskImage",
                            L"Image Normalization Result"};
  const int levels[] = {3, 3, 4, 4, 4};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(r[i].name, names[i]);
    EXPECT_EQ(r[i].level, levels[i]);
  }
  EXPECT_EQ(r[1].text, L"method=eMatchHistogram\nkeepMaskedPixels=false\ntailFractions=( 0 , 1 )\n"
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

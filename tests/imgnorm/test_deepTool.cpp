// The 16-bit tool: the scale property against the 8-bit one, brute-force oracles, files, refusals
// (its median filter: PelMedian.DeepMatchesSortedWindows).
#include "baseif/mxLineFit.h"
#include "imgnorm/checks.h"
#include "imgnorm/linearFit.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxToolFile.h"
#include "imgnorm/knownRelation.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;
using Deep = mxPelBuffer<unsigned short>;

namespace {

// The 8-bit image's pels times factor, at the same window.
Deep scaled(const mxPelBuffer_const<unsigned char>& img, int factor) {
  Deep d(img.window());
  for (std::int32_t j = 0; j < img.height(); ++j)
    for (std::int32_t i = 0; i < img.width(); ++i) d.row(j)[i] = static_cast<unsigned short>(img.row(j)[i] * factor);
  return d;
}

// Uniform random 16-bit pels in [0, top], fixed seed.
Deep randomDeep(std::int32_t w, std::int32_t h, unsigned seed, int top) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(0, top);
  Deep b(mxPelRect(3, 2, w, h));
  for (std::int32_t j = 0; j < h; ++j)
    for (std::int32_t i = 0; i < w; ++i) b.row(j)[i] = static_cast<unsigned short>(d(rng));
  return b;
}

mxImageNormalizer16 deepTool(const mxPelBuffer_const<unsigned short>& ref, std::int32_t depth, std::uint32_t methods,
                             const mxPelBuffer_const<unsigned char>& mask = {}, bool keep = false,
                             P neighborhood = P(101, 101)) {
  mxImageNormalizer16 n(depth);
  n.neighborhoodSize(neighborhood);
  n.referenceImage(ref, false);
  n.maskImage(mask, false);
  n.keepMaskedPixels(keep);
  n.tailFractions({0.05, 0.9});
  n.train(Method(methods));
  return n;
}

Deep runDeep(const mxImageNormalizer16& n, const mxPelBuffer_const<unsigned short>& img, std::uint32_t m) {
  bool ok = false;
  std::wstring why;
  Deep out = n.run(img, Method(m), ok, why);
  EXPECT_TRUE(ok) << m;
  return out;
}

}  // namespace

// An 8-bit image times f (257 at depth 16, 16 at depth 12) must give the 8-bit result times f: exactly for histogram
// matching (the deep cumulative counts step only at multiples of f); within f for the others: the same line scale
// with f x the offset and truncation within [f trunc(v), f trunc(v) + f) for mean-stddev and tails; the same ridge
// and band for the fit (rounding f v against f round(v): f / 2 + 1); a difference f x the 8-bit one for the local
// mean (with the clamp limit scaled; the 8-bit estimate is rounded to a level, the deep one within a few deep levels)
// and an increasing affine one for the median (exact at odd counts, one rounding at even ones).  At granularity 3 the
// cells' rounding adds at most half an 8-bit level on each side.
TEST(DeepTool, ScalePropertyAgainstTheEightBitTool) {
  const Image ref = knownRelation::image();
  const Image img = knownRelation::image(0.8, 30, 3, 250, 7);
  const Image mask = makeImage(256, 256, [](int x, int y) { return (x / 16 + y / 16) % 5 ? 255 : 0; });
  const struct {
    std::uint32_t method;
    bool exact;
  } methods[] = {{eMatchHistogram, true},
                 {eMatchMeanAndStddev, false},
                 {eMatchHistogramTails, false},
                 {eLinearlyFitGrayValues, false},
                 {eLocalCorrection, false},
                 {eLocalCorrectionEnhanced, false}};
  const struct {
    std::int32_t depth;
    int factor;
  } depths[] = {{16, 257}, {12, 16}};
  const std::uint32_t all =
      eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails | eLinearlyFitGrayValues | eLocalCorrection |
      eLocalCorrectionEnhanced;
  for (const P g : {P(1, 1), P(3, 3)}) {
    mxImageNormalizer eight = trainedTool(ref, all, P(31, 31), mask, g, true);
    eight.set({0.05, 0.9}, P(-100, 100), true);
    for (const auto& d : depths) {
      mxImageNormalizer16 deep = deepTool(scaled(ref, d.factor), d.depth, eIdentity, mask, true, P(31, 31));
      deep.granularity(g);
      deep.train(Method(all));
      deep.set({0.05, 0.9}, P(-100 * d.factor, 100 * d.factor), true);
      const Deep input = scaled(img, d.factor);
      for (const auto& m : methods) {
        if (g.x() > 1 && !isLocal(m.method)) continue;
        const Image want = runTool(eight, img, m.method);
        const Deep got = runDeep(deep, input, m.method);
        ASSERT_EQ(got.window(), want.window());
        int worst = 0;
        for (std::int32_t j = 0; j < got.height(); ++j)
          for (std::int32_t i = 0; i < got.width(); ++i)
            worst = std::max(worst, std::abs(int(got.row(j)[i]) - int(want.row(j)[i]) * d.factor));
        EXPECT_LE(worst, m.exact ? 0 : d.factor) << "depth " << d.depth << " method " << m.method << " g " << g.x();
      }
    }
  }
}

// The percentile histogram reads as the full one at its two percentages, on
// noise, on a flat image, on pels heaped at a group's edges, whose groups
// then hold all or most of the count, and on a ramp along the rows.
TEST(DeepTool, PercentileHistogramReadsAsTheFullOne) {
  for (const std::int32_t depth : {13, 16}) {  // up to 12 bits it is mfPelHistogram's
    const int top = (1 << depth) - 1, group = 1 << (depth - 8);
    Deep heaped = randomDeep(70, 9, 2, 3);
    for (std::int32_t j = 0; j < heaped.height(); ++j)
      for (std::int32_t i = 0; i < heaped.width(); ++i)
        heaped.row(j)[i] = static_cast<unsigned short>(5 * group - 2 + heaped.row(j)[i]);
    Deep ramp = randomDeep(1500, 3, 4, 0);  // blocks of 512 pels apart in level: most are passed over
    for (std::int32_t j = 0; j < ramp.height(); ++j)
      for (std::int32_t i = 0; i < ramp.width(); ++i) ramp.row(j)[i] = static_cast<unsigned short>(i * top / 1499);
    const Deep images[] = {randomDeep(67, 19, unsigned(depth), top), heaped, randomDeep(33, 5, 3, 0), ramp};
    for (const Deep& img : images)
      for (const auto& [lo, hi] : std::vector<std::pair<int, int>>{{0, 100}, {1, 99}, {5, 50}, {30, 30}, {-3, 140}}) {
        std::vector<std::uint32_t> h = mfPelHistogram(img, {}, std::uint32_t(1) << depth);
        const mxHistoStats full(h, false);
        unsigned short largest = 0;
        h = mfPelPercentileHistogram(img, {}, std::uint32_t(1) << depth, P(lo, hi), &largest);
        const mxHistoStats part(h, false);
        EXPECT_EQ(part.samples(), full.samples());
        EXPECT_EQ(largest, mfPelMax<unsigned short>(img));
        EXPECT_EQ(part.inverseCum(lo), full.inverseCum(lo)) << "depth " << depth << " percent " << lo;
        EXPECT_EQ(part.inverseCum(hi), full.inverseCum(hi)) << "depth " << depth << " percent " << hi;
      }
  }
}

// Histogram (mask, offsets, bins folded into the last), moments and table mapping.
TEST(DeepTool, HistogramAndMapAgainstBruteForce) {
  const Deep src = randomDeep(37, 23, 5, 4095);
  Deep full = randomDeep(37, 23, 6, 65535);  // and the extremes in pairs: squares' sums of 2^31 in a lane
  std::fill_n(full.row(0), 4, 0), std::fill_n(full.row(1) + 33, 4, 65535);
  const Image mask = makeImage(40, 30, [](int x, int y) { return (x * 7 + y * 3) % 4 ? 200 : 0; }, 1, 1);
  for (const std::uint32_t bins : {4096u, 1000u, 65536u}) {
    const Deep& in = bins == 65536u ? full : src;
    for (const bool masked : {false, true}) {
      std::vector<std::uint32_t> want(bins, 0);
      for (std::int32_t y = in.window().y(); y < in.window().y() + in.height(); ++y)
        for (std::int32_t x = in.window().x(); x < in.window().x() + in.width(); ++x)
          if (!masked || mask.get(x, y) != 0) ++want[std::min<std::uint32_t>(in.get(x, y), bins - 1)];
      const mxPelBuffer_const<unsigned char> m = masked ? mxPelBuffer_const<unsigned char>(mask) : mxPelBuffer_const<unsigned char>();
      unsigned short largest = 1;
      EXPECT_EQ(mfPelHistogram(in, m, bins, &largest), want) << bins << masked;
      EXPECT_EQ(largest, mfPelMax<unsigned short>(in)) << bins << masked;
      // The moments are the histogram's statistics bit for bit.
      if (bins != 1000) {
        const mxHistoStats fromPels = mfPelMoments(in, m, bins), fromHistogram(want);
        EXPECT_EQ(fromPels.samples(), fromHistogram.samples());
        EXPECT_EQ(fromPels.mean(), fromHistogram.mean());
        EXPECT_EQ(fromPels.sDev(), fromHistogram.sDev());
      }
    }
  }
  // A window of 2^20 pels or more is counted without the clamping pass; one
  // of 16 MiB or more (and its map through a large table) fetches ahead.
  const Deep big = randomDeep(4099, 2048, 7, 65535);
  std::vector<std::uint32_t> want(1000, 0);
  for (std::int32_t y = 0; y < big.height(); ++y)
    for (std::int32_t x = 0; x < big.width(); ++x) ++want[std::min<std::uint32_t>(big.row(y)[x], 999)];
  unsigned short largest = 1;
  EXPECT_EQ(mfPelHistogram(big, {}, 1000, &largest), want);
  EXPECT_EQ(largest, mfPelMax<unsigned short>(big));
  std::vector<unsigned short> wide(20000);
  for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<unsigned short>(i * 13 % 65536);
  const Deep bigMapped = mfPelMap(big, wide);
  for (std::int32_t y = 0; y < big.height(); ++y)
    for (std::int32_t x = 0; x < big.width(); ++x)
      ASSERT_EQ(bigMapped.row(y)[x], wide[std::min<std::size_t>(big.row(y)[x], wide.size() - 1)]);
  std::vector<unsigned short> table(4000);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<unsigned short>(i * 7 % 4096);
  const Deep mapped = mfPelMap(src, table);
  for (std::int32_t y = src.window().y(); y < src.window().y() + src.height(); ++y)
    for (std::int32_t x = src.window().x(); x < src.window().x() + src.width(); ++x)
      ASSERT_EQ(mapped.get(x, y), table[std::min<std::size_t>(src.get(x, y), table.size() - 1)]);
}

// The 8-bit ridge search on the top 8 bits gives the band; the line is the least-squares
// fit through every used deep pel whose top-bit cell is in it.
TEST(DeepTool, LinearFitAgainstBruteForce) {
  const std::int32_t depth = 14, shift = depth - 8;
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0, 40);
  const Deep run = randomDeep(48, 36, 9, 16383);
  Deep ref(run.window());
  for (std::int32_t j = 0; j < run.height(); ++j)
    for (std::int32_t i = 0; i < run.width(); ++i)
      ref.row(j)[i] = static_cast<unsigned short>(
          std::clamp<long>(std::lround(0.7 * run.row(j)[i] + 2000 + (i % 9 == 0 ? 3000 : noise(rng))), 0, 16383));
  const Image mask = makeImage(48, 36, [](int x, int) { return x % 5 ? 255 : 0; }, 3, 2);
  const auto top = [&](const Deep& d) {
    Image t(d.window());
    for (std::int32_t j = 0; j < d.height(); ++j)
      for (std::int32_t i = 0; i < d.width(); ++i) t.row(j)[i] = static_cast<unsigned char>(d.row(j)[i] >> shift);
    return t;
  };
  std::vector<double> angles;
  imgnorm::detail::buildFitAngles(angles);
  const Image histogram = imgnorm::detail::jointHistogramImage(top(ref), mask, top(run));
  const auto profiles = imgnorm::detail::directionProfiles(histogram, angles, 3, 59);
  double peak = 0;
  const std::int32_t selected = imgnorm::detail::selectPeakDirection(profiles, peak);
  const Image band = imgnorm::detail::peakBandMask(histogram, profiles[std::size_t(selected)], peak);
  mxLSLineFitter fitter;
  for (std::int32_t j = 0; j < run.height(); ++j)
    for (std::int32_t i = 0; i < run.width(); ++i) {
      const int r = run.row(j)[i], t = ref.row(j)[i];
      if (mask.row(j)[i] && band.row(((t >> shift) + 4) >> 3)[((r >> shift) + 4) >> 3])
        fitter.update(mxVector<2>(r, t));
    }
  const mxFLine line = fitter.fit();
  const double wantGain = std::tan(line.angle().toDouble() * 0.017453292519943295);
  const double wantOffset = line.point().y() - wantGain * line.point().x();
  double gain = 0, offset = 0;
  ASSERT_TRUE(imgnorm::detail::linearFitParameters(run, ref, mask, angles, depth, gain, offset));
  EXPECT_NEAR(gain, 0.7, 0.02);
  EXPECT_NEAR(gain, wantGain, 1e-9);
  EXPECT_NEAR(offset, wantOffset, 1e-6);
}

TEST(DeepTool, ArchiveAndToolFile) {
  const Deep ref = scaled(texturedImage(40, 30, 4), 16);
  const Image mask = makeImage(40, 30, [](int x, int) { return x < 30 ? 255 : 0; });
  mxImageNormalizer16 tool = deepTool(ref, 12, eMatchHistogram | eLinearlyFitGrayValues, mask);
  tool.neighborhoodSize(P(9, 7));
  tool.train(Method(eMatchHistogram | eLinearlyFitGrayValues));
  const Bytes file = mxToolFile::store(tool);
  EXPECT_EQ(mxToolFile::pelBits(file.data(), file.size()), 16);
  mxImageNormalizer16 loaded(9);
  mxToolFile::load(file.data(), file.size(), loaded);
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.bitDepth(), 12);
  EXPECT_TRUE(mfPelEqual<unsigned short>(runDeep(loaded, ref, eLinearlyFitGrayValues),
                                         runDeep(tool, ref, eLinearlyFitGrayValues)));
  const Bytes eightBit = mxToolFile::store(trainedTool(texturedImage(20, 10, 1), eMatchHistogram));
  EXPECT_EQ(mxToolFile::pelBits(eightBit.data(), eightBit.size()), 8);

  // Other kinds of tool file; archives of another pel type or depth (payload bytes 1, 2).
  const Bytes payload = mxToolFile::payload(file.data(), file.size());
  const auto withByte = [&](std::size_t at, std::uint8_t v) {
    Bytes p = payload;
    p[at] = v;
    return mxToolFile::frame(p, mxToolFile::kDeepFormatVersion);
  };
  const struct {
    Bytes bytes;
    bool intoDeep;
    std::wstring error;
  } bad[] = {
      {file, false, L"the tool file holds a 16-bit tool; load it into a 16-bit tool (mxImageNormalizer16)"},
      {eightBit, true, L"the tool file holds an 8-bit tool; load it into an 8-bit tool (mxImageNormalizer)"},
      {withByte(1, 32), true,
       L"damaged tool file: the archive holds a tool of an unknown pel type (32 bits per pel; this tool reads 16)"},
      {withByte(2, 17), true, L"damaged tool file: the archive holds a 16-bit tool of bit depth 17 (a depth is from 9 "
                              L"to 16)"},
  };
  for (const auto& b : bad) {
    mxImageNormalizer eightTool;
    mxImageNormalizer16 deepTool16;
    expectError<mxArchive::BadData>(
        [&] {
          if (b.intoDeep)
            mxToolFile::load(b.bytes.data(), b.bytes.size(), deepTool16);
          else
            mxToolFile::load(b.bytes.data(), b.bytes.size(), eightTool);
        },
        b.error);
  }
}

TEST(DeepTool, Refusals) {
  const Deep ref = scaled(texturedImage(40, 30, 4), 16);
  Deep hot = mfPelCopy<unsigned short>(ref);
  hot.row(3)[5] = 4096;
  const std::wstring depthRule = ruleMessage(Rule::eBitDepth);
  expectError<BadParams>([] { mxImageNormalizer16 n(8); }, depthRule);
  expectError<BadParams>([] { mxImageNormalizer16 n(17); }, depthRule);
  mxImageNormalizer16 n(12);
  expectError<BadParams>([&] { n.bitDepth(17); }, depthRule);
  EXPECT_EQ(n.bitDepth(), 12);
  EXPECT_EQ(n.intensityVariationRange(), P(-2047, 2047));
  n.bitDepth(16);
  EXPECT_EQ(n.intensityVariationRange(), P(-32767, 32767));

  const std::wstring pels = std::wstring(ruleMessage(Rule::ePelsWithinDepth));
  const mxImageNormalizer16 good = deepTool(ref, 12, eMatchHistogram);
  // The hot pel outside the mask is refused too: every pel of the image is.
  Image coldMask = constantImage(40, 30, 255);
  coldMask.row(3)[5] = 0;
  const mxImageNormalizer16 masked = deepTool(ref, 12, eMatchHistogram | eMatchMeanAndStddev, coldMask);
  const std::wstring hotImage = pels + L" The largest pel of the image is 4096, above 4095 (12 bits).";
  const struct {
    std::function<void()> call;
    std::wstring message;
  } badImages[] = {
      {[&] { deepTool(hot, 12, eMatchHistogram); },
       pels + L" The largest pel of referenceImage() is 4096, above 4095 (12 bits)."},
      {[&] { runDeep(good, hot, eMatchHistogram); }, hotImage},
      {[&] { runDeep(deepTool(ref, 12, eMatchMeanAndStddev), hot, eMatchMeanAndStddev); }, hotImage},
      {[&] { runDeep(masked, hot, eMatchHistogram); }, hotImage},
      {[&] { runDeep(masked, hot, eMatchMeanAndStddev); }, hotImage},
      {[&] { deepTool(ref, 12, eMatchHistogram, constantImage(40, 31, 255)); },
       std::wstring(ruleMessage(Rule::eMaskShape)) + L" The mask is 40 x 31, the reference 40 x 30."},
  };
  for (const auto& b : badImages) {
    expectError<BadImage>(b.call, b.message);
    EXPECT_EQ(ruleOf(b.message), b.message == badImages[5].message ? Rule::eMaskShape : Rule::ePelsWithinDepth);
  }
  mxImageNormalizer16 gain(12);
  gain.referenceImage(ref, false);
  expectError<NotImplemented>([&] { gain.train(eLocalGain); },
                              ruleMessage(Rule::eDeepMethod) + std::wstring(L" (eLocalGain)"));
}

// Option parsing, warnings, statistics, the demo's distortions, font and contact sheets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "../support/checks.h"
#include "../support/testImages.h"
#include "app/demo/contact_sheet.h"
#include "app/demo/distort.h"
#include "batch/batch.h"
#include "common/cli_error.h"
#include "common/options.h"
#include "common/warnings.h"
#include "imgnorm/mxImageNormalizer.h"
#include "report/stats.h"

using namespace imgnormcli;
using namespace mxImageNormalizerDefs;
using P = mxPair<std::int32_t>;

namespace {

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

// The program's list is the library's table: every row once, identity last.
TEST(Options, MethodNames) {
  std::uint32_t listed = 0;
  for (const MethodInfo& m : methodTable()) {
    EXPECT_EQ(parseMethod(m.name, "--method"), m.method);
    EXPECT_EQ(methodCliName(m.method), m.name);
    listed |= m.method;
  }
  EXPECT_EQ(methodTable().size(), std::size(mxImageNormalizerDefs::kMethods));
  EXPECT_EQ(methodTable().back().method, mxImageNormalizerDefs::eIdentity);
  EXPECT_EQ(listed, mxImageNormalizerDefs::kAllMethods);
  EXPECT_EQ(std::uint32_t(parseMethodList("all", "--methods")), mxImageNormalizerDefs::kAllMethods);
  EXPECT_EQ(std::uint32_t(parseMethodList("histogram,tails,histogram", "--methods")), 5u);
  EXPECT_EQ(std::uint32_t(parseMethodList("local-mean,all", "--methods")), mxImageNormalizerDefs::kAllMethods);
  EXPECT_EQ(methodSetText(5), "histogram, tails");
  EXPECT_EQ(methodSetText(0), "none");
  // The message lists the known names.
  for (const char* bad : {"Histogram", "eMatchHistogram", "", "local"})
    expectCodedError<CliError>([&] { parseMethod(bad, "--method"); }, kExitUsage,
                               {"--method: unknown method '" + std::string(bad) + "'", "local-median"});
  expectCodedError<CliError>([] { parseMethodList("tails,,histogram", "--methods"); }, kExitUsage,
                             {"--methods: empty method name in 'tails,,histogram'"});
}

TEST(Options, Pairs) {
  struct IntCase {
    const char* text;
    bool single;
    bool ok;
    std::int32_t x, y;
  };
  const IntCase ints[] = {
      {"5", true, true, 5, 5},      {"3,4", true, true, 3, 4},        {"3x4", true, true, 3, 4},
      {"3X4", true, true, 3, 4},    {"-40,40", false, true, -40, 40}, {"5", false, false, 0, 0},
      {"", true, false, 0, 0},      {"a", true, false, 0, 0},         {"1,", true, false, 0, 0},
      {"3x", true, false, 0, 0},    {"1.5", true, false, 0, 0},       {"99999999999", true, false, 0, 0},
      {"1,2,3", true, false, 0, 0},
  };
  for (const IntCase& c : ints) {
    SCOPED_TRACE(c.text);
    if (c.ok) {
      const auto p = parseIntPair(c.text, "--opt", c.single);
      EXPECT_EQ(p.x(), c.x);
      EXPECT_EQ(p.y(), c.y);
    } else {
      expectCodedError<CliError>([&] { parseIntPair(c.text, "--opt", c.single); }, kExitUsage, {"--opt"});
    }
  }
  const auto r = parseRealPair("0.05,0.95", "--tail-fractions");
  EXPECT_DOUBLE_EQ(r.x(), 0.05);
  EXPECT_DOUBLE_EQ(r.y(), 0.95);
  for (const char* bad : {"0.5", "nan,1", "0.1;0.2", "x,1", ",", "1e999,1"})
    expectCodedError<CliError>([&] { parseRealPair(bad, "--tail-fractions"); }, kExitUsage, {"--tail-fractions"});
}

// Parameter records shown as the option and value a command line takes.
TEST(Options, ParametersAsOptions) {
  const struct {
    const wchar_t *field, *value;
    const char *option, *shown;
  } cases[] = {{L"tailFractions", L"( 0.01 , 0.99 )", "--tail-fractions", "0.01,0.99"},
               {L"neighborhoodSize", L"(101, 51)", "--neighborhood", "101,51"},
               {L"intensityRange", L"(-127, 127)", "--intensity-range", "-127,127"},
               {L"keepMaskedPixels", L"true", "--keep-masked", "yes"},
               {L"trainedMethods", L"(1 | 4 | 16 | )", "--methods", "histogram, tails, local-mean"},
               {L"method", L"eLocalCorrection", "--method", "local-mean"},
               {L"somethingNew", L"7", "somethingNew", "7"}};
  for (const auto& c : cases) {
    const auto [option, shown] = parameterAsOption(c.field, c.value);
    EXPECT_EQ(option, c.option);
    EXPECT_EQ(shown, c.shown);
  }
}

// Warnings of a tool over a 200 x 100 reference (masked: x < 150) for a method set (no
// image) or a run whose result covers `covered`; each kind printed once.
TEST(Warnings, EachKindWhereItsCauseIs) {
  const auto tool = [](P nbh, bool masked = false, bool relative = false, double low = 0.0) {
    mxImageNormalizer t;
    t.referenceImage(constantImage(200, 100, 9), false);
    if (masked) t.maskImage(makeImage(200, 100, [](int x, int) { return x < 150; }), false);
    t.neighborhoodSize(nbh), t.relativeCounts(relative), t.tailFractions({low, 1.0 - low});
    return t;
  };
  const mxImageNormalizer n = tool({99, 99});
  const mxPelRect all(0, 0, 200, 100), half(0, 0, 100, 100), none;
  const struct {
    mxImageNormalizer t;
    std::uint32_t m;
    mxPelRect image, covered;
    const char* want;
  } cases[] = {
      {n, eMatchHistogramTails, none, none, "tails "},
      {tool({99, 99}, false, false, 0.01), eMatchHistogramTails, none, none, ""},
      {tool({100, 3}), eLocalCorrection | eMatchHistogram, none, none, "neighborhood "},
      {tool({3, 100}), eMatchHistogram | eLinearlyFitGrayValues, none, none, ""},
      {n, eLocalCorrectionEnhanced, none, none, ""},
      {tool({100, 100}), eMatchHistogramTails | eLocalCorrectionEnhanced, none, none, "tails neighborhood "},
      {n, eMatchHistogram, all, all, ""},
      {n, eMatchHistogram, {0, 0, 250, 100}, all, "overlap "},
      {n, eMatchMeanAndStddev, {0, -5, 200, 105}, all, "overlap "},
      {n, eIdentity, {0, 0, 250, 100}, all, ""},
      {n, eMatchHistogram, {0, 0, 199, 100}, {0, 0, 199, 100}, ""},  // counts within 1 %
      {n, eMatchHistogram, half, half, "histogram-count "},
      {tool({99, 99}, false, true), eMatchHistogram, half, half, ""},
      {n, eMatchMeanAndStddev, half, half, ""},
      {tool({99, 99}, true), eMatchHistogram, all, all, ""},  // the mask's 15000 pels both times
      {tool({99, 99}, true), eMatchHistogram, {50, 0, 150, 100}, {50, 0, 150, 100}, "histogram-count "},
      {n, eLocalCorrection, all, all, ""},
      {n, eLocalCorrectionEnhanced, {0, 0, 200, 99}, {0, 0, 200, 99}, "neighborhood "},
  };
  for (const auto& c : cases) {
    Warnings w;
    w.printer([](const std::string&) {});
    if (c.image.isNull())
      warnAboutMethods(c.t, c.m, w);
    else
      warnAboutRun(c.t, Method(c.m), "in.png", c.image, c.covered, w);
    std::string kinds;
    for (const auto& e : w.entries()) kinds += e.kind + " ";
    EXPECT_EQ(kinds, c.want) << &c - cases;
  }
  Warnings w;
  std::vector<std::string> printed;
  w.printer([&](const std::string& s) { printed.push_back(s); });
  for (const char* input : {"a.png", "b.png"}) warnAboutRun(n, eMatchHistogram, input, half, half, w);
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(w.entries().at(0).count, 2u);
  EXPECT_TRUE(has(printed[0],
                  "warning: a.png: histogram matching compares absolute pel counts, and the image's "
                  "region holds 10000 pels against the reference region's 20000 (ratio 0.5), so the "
                  "result leans dark"))
      << printed[0];
}

// Against a brute-force pass over the compared pels, with results made by a known line
// (the fit must find it) and a known background.
TEST(Stats, MeasuresTheComparedPels) {
  mxImageNormalizer tool;
  const auto ref = randomImage(40, 30, 1);
  const auto mask = makeImage(40, 30, [](int x, int y) { return (x + y) % 3 ? 255 : 0; });
  tool.referenceImage(ref, false);
  tool.maskImage(mask, false);
  const auto input = randomImage(50, 36, 2, 20, 200);
  for (const Method method : {eLinearlyFitGrayValues, eLocalCorrection}) {
    SCOPED_TRACE(methodCliName(method));
    const auto result = makeImage(
        36, 30,
        [&](int x, int y) {
          const int v = input.row(y)[x];
          const double line = 1.5 * v - 40, local = v - (x / 4 - 4);
          return int(std::lround(std::clamp(method == eLocalCorrection ? local : line, 0.0, 255.0)));
        },
        0, 0);
    const ImageStats st = measureRun(tool, method, input, result);
    double n = 0, in = 0, out = 0, out2 = 0, dIn = 0, dOut = 0;
    int lo = 999, hi = -999;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 36; ++x) {
        if (!mask.row(y)[x]) continue;
        const int a = input.row(y)[x], b = result.row(y)[x], r = ref.row(y)[x];
        n += 1, in += a, out += b, out2 += double(b) * b, dIn += std::abs(a - r), dOut += std::abs(b - r);
        lo = std::min(lo, a - b), hi = std::max(hi, a - b);
      }
    ASSERT_TRUE(st.measured);
    EXPECT_EQ(st.overlap, mxPelRect(0, 0, 36, 30));
    EXPECT_EQ(double(st.pels), n);
    EXPECT_NEAR(st.meanBefore, in / n, 1e-9);
    EXPECT_NEAR(st.meanAfter, out / n, 1e-9);
    EXPECT_NEAR(st.sdAfter, std::sqrt(out2 / n - (out / n) * (out / n)), 1e-9);
    EXPECT_NEAR(st.diffBefore, dIn / n, 1e-9);
    EXPECT_NEAR(st.diffAfter, dOut / n, 1e-9);
    EXPECT_EQ(st.hasFit, method == eLinearlyFitGrayValues);
    EXPECT_EQ(st.hasLocal, method == eLocalCorrection);
    if (st.hasFit) {
      EXPECT_NEAR(st.gain, 1.5, 0.01);
      EXPECT_NEAR(st.offset, -40, 1.0);
    } else {
      EXPECT_EQ(st.localMin, lo);
      EXPECT_EQ(st.localMax, hi);
      EXPECT_EQ(lo, -4);
    }
  }
  EXPECT_FALSE(measureRun(tool, eLocalCorrection, input, mxPelBuffer<unsigned char>()).measured);
}

// Special characters survive; absent numbers are empty (CSV) or null (JSON Lines).
TEST(Stats, QuotesAndMissingValues) {
  StatsRecord r;
  r.input = "a,\"b\".png";
  r.message = "line\nbreak \\ end";
  r.status = "input-error";
  const std::string csv = statsText({r}, false), json = statsText({r}, true);
  EXPECT_EQ(csv.substr(0, csv.find('\n')),
            "input,output,status,message,method,width,height,overlap_x,overlap_y,"
            "overlap_width,overlap_height,compared_pels,mean_before,sd_before,"
            "mean_after,sd_after,diff_before,diff_after,gain,offset,local_min,"
            "local_max,warnings");
  EXPECT_TRUE(has(csv, "\n\"a,\"\"b\"\".png\",,input-error,\"line\nbreak \\ end\",,,,,,,,,,,,,,,,,,,\n")) << csv;
  EXPECT_EQ(json,
            "{\"input\":\"a,\\\"b\\\".png\",\"output\":\"\",\"status\":\"input-error\",\"message\":"
            "\"line\\u000abreak \\\\ end\",\"method\":\"\",\"width\":null,\"height\":null,\"overlap_x\":null,"
            "\"overlap_y\":null,\"overlap_width\":null,\"overlap_height\":null,\"compared_pels\":null,"
            "\"mean_before\":null,\"sd_before\":null,\"mean_after\":null,\"sd_after\":null,\"diff_before\":null,"
            "\"diff_after\":null,\"gain\":null,\"offset\":null,\"local_min\":null,\"local_max\":null,"
            "\"warnings\":\"\"}\n");
}

// Gain 0.6 v + 70, gamma 255 sqrt(v / 255), a plane from -60 to +60 corner to corner, a
// vignette 1 - 0.6 r^2 on a 101 x 61 image; the noise seeded, with the asked spread.
TEST(Distortions, CurvesAndNoise) {
  using K = DistortionKind;
  struct Case {
    K kind;
    int v, x, y, want;
  };
  const Case cases[] = {{K::kGainOffset, 100, 50, 30, 130}, {K::kGamma, 64, 50, 30, 128},
                        {K::kPlane, 100, 0, 0, 41},         {K::kPlane, 100, 100, 60, 159},
                        {K::kPlane, 100, 50, 0, 70},        {K::kPlane, 100, 0, 30, 70},
                        {K::kPlane, 100, 50, 30, 100},      {K::kVignette, 100, 50, 30, 100},
                        {K::kVignette, 100, 0, 0, 42},      {K::kVignette, 100, 0, 30, 71},
                        {K::kVaryingGain, 100, 0, 30, 60},  {K::kVaryingGain, 100, 100, 0, 120}};
  for (const Case& c : cases)
    EXPECT_EQ(int(distort(constantImage(101, 61, c.v), c.kind, 0.0, 1).row(c.y)[c.x]), c.want)
        << int(c.kind) << " at " << c.x << "," << c.y;
  const auto grey = constantImage(200, 150, 128);
  for (const DistortionInfo& d : distortionTable()) {
    SCOPED_TRACE(d.name);
    const auto a = distort(grey, d.kind, 5.0, 42), b = distort(grey, d.kind, 5.0, 42),
               c = distort(grey, d.kind, 5.0, 43);
    EXPECT_EQ(meanAbsoluteError(a, b), 0.0);
    EXPECT_GT(meanAbsoluteError(a, c), 1.0);
  }
  // Noise alone: at the gain curve's fixed point, 0.6 v + 70 = v at v = 175.
  const auto im = distort(constantImage(300, 300, 175), DistortionKind::kGainOffset, 5.0, 7);
  double sum = 0, sum2 = 0;
  for (int y = 0; y < 300; ++y)
    for (int x = 0; x < 300; ++x) sum += im.row(y)[x], sum2 += double(im.row(y)[x]) * im.row(y)[x];
  const double mean = sum / 90000.0, sd = std::sqrt(sum2 / 90000.0 - mean * mean);
  EXPECT_NEAR(mean, 175.0, 0.1);
  EXPECT_NEAR(sd, std::sqrt(25.0 + 1.0 / 12.0), 0.1);  // noise plus rounding
  EXPECT_NE(seedFromText("camera/gamma"), seedFromText("camera/plane"));
}

TEST(Distortions, MeanAbsoluteErrorOverTheOverlap) {
  const auto a = randomImage(30, 20, 3), b = randomImage(30, 20, 4, 0, 255, 10, 5);
  double sum = 0;  // brute force over the overlap (10..30) x (5..20)
  for (int y = 5; y < 20; ++y)
    for (int x = 10; x < 30; ++x) sum += std::abs(int(a.get(x, y)) - int(b.get(x, y)));
  EXPECT_DOUBLE_EQ(meanAbsoluteError(a, b), sum / (20.0 * 15.0));
  EXPECT_LT(meanAbsoluteError(a, mxPelBuffer<unsigned char>(mxPelRect(100, 100, 5, 5))), 0.0);
  EXPECT_LT(meanAbsoluteError(a, mxPelBuffer<unsigned char>()), 0.0);
}

TEST(BitmapFont, TextReadsBackGlyphByGlyph) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -.,:=+()/_%^?";
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    for (std::size_t j = i + 1; j < alphabet.size(); ++j)
      EXPECT_NE(std::memcmp(glyphRows(alphabet[i]), glyphRows(alphabet[j]), 7), 0) << alphabet[i] << alphabet[j];
  EXPECT_EQ(glyphRows('q'), glyphRows('Q'));
  EXPECT_EQ(glyphRows('~'), glyphRows('?'));

  // Drawn at scale 2: every font pel a whole 2 x 2 square, glyphs 6 font pels apart.
  const std::string text = "mae 12.5 local-median";
  const int scale = 2;
  mxPelBuffer<unsigned char> im(textWidth(text, scale) + 10, 30);
  drawText(im, 5, 7, text, scale, 200);
  for (std::size_t k = 0; k < text.size(); ++k)
    for (int r = 0; r < 7 * scale; ++r)
      for (int c = 0; c < 6 * scale; ++c) {
        const bool on = c < 5 * scale && (glyphRows(text[k])[r / scale] & (0x10 >> (c / scale)));
        ASSERT_EQ(im.row(7 + r)[5 + int(k) * 6 * scale + c], on ? 200 : 0) << text[k] << " " << c << "," << r;
      }
  // Off the edges: clipped, not a crash.
  drawText(im, -7, -3, "clipped", 3, 255);
  drawText(im, im.width() - 2, im.height() - 2, "X", 4, 255);
}

TEST(ContactSheet, ShrinkIsABoxAverage) {
  const auto im = randomImage(10, 7, 11);
  for (int f : {1, 2, 3, 4, 11}) {
    const auto s = shrink(im, f);
    ASSERT_EQ(s.width(), (10 + f - 1) / f);
    ASSERT_EQ(s.height(), (7 + f - 1) / f);
    for (int oy = 0; oy < s.height(); ++oy)
      for (int ox = 0; ox < s.width(); ++ox) {
        double sum = 0;
        int n = 0;
        for (int y = oy * f; y < std::min(7, oy * f + f); ++y)
          for (int x = ox * f; x < std::min(10, ox * f + f); ++x) sum += im.row(y)[x], ++n;
        EXPECT_NEAR(s.row(oy)[ox], sum / n, 0.5) << f << " " << ox << "," << oy;
      }
  }
  EXPECT_EQ(shrinkFactor(512, 300, 256), 2);
  EXPECT_EQ(shrinkFactor(513, 300, 256), 3);
  EXPECT_EQ(shrinkFactor(100, 30, 256), 1);
}

TEST(ContactSheet, HoldsEveryThumbnailAndItsLabel) {
  std::vector<std::vector<SheetTile>> rows(2);
  std::vector<mxPelBuffer<unsigned char>> images;
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) {
      const auto im = randomImage(24 + c, 16 + r, unsigned(5 + 3 * r + c));
      images.push_back(im);
      rows[std::size_t(r)].push_back({im, {"tile", std::to_string(r) + std::to_string(c)}});
    }
  rows[1].push_back({mxPelBuffer<unsigned char>(), {"failed"}});
  const auto sheet = contactSheet("title", rows, 64);
  ASSERT_TRUE(sheet.isBound());
  // Each image appears unchanged somewhere (no shrinking at this size).
  for (const auto& im : images) {
    bool found = false;
    for (int y0 = 0; y0 + im.height() <= sheet.height() && !found; ++y0)
      for (int x0 = 0; x0 + im.width() <= sheet.width() && !found; ++x0) {
        bool same = true;
        for (int y = 0; y < im.height() && same; ++y)
          same = std::memcmp(sheet.row(y0 + y) + x0, im.row(y), std::size_t(im.width())) == 0;
        found = same;
      }
    EXPECT_TRUE(found);
  }
  // Wide enough for four columns, tall enough for the title and two rows with labels.
  EXPECT_GE(sheet.width(), 4 * 26);
  EXPECT_GE(sheet.height(), 2 * (17 + 2 * 8) + 8);
}

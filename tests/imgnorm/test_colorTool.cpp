// The colour tool against grey tools on its planes or luma, its files and refusals.
#include "baseif/mxStr.h"
#include "imgnorm/checks.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxToolFile.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;
using Mode = mxColorNormalizer::Mode;

namespace {

// An interleaved w x h image of c channels at pel origin o: channel k a
// textured image (seed + k) times factor, with a fine pattern in the bits below.
template <class T>
mxPelBuffer<T> colourImage(int w, int h, int c, unsigned seed, int factor, P o = P(0, 0)) {
  mxPelBuffer<T> img(mxPelRect(o.x() * c, o.y(), w * c, h));
  for (int k = 0; k < c; ++k) {
    const Image t = texturedImage(w, h, seed + unsigned(k));
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) img.row(j)[i * c + k] = T(t.row(j)[i] * factor + (i * 7 + j * 3 + k) % factor);
  }
  return img;
}

// Channel k of an interleaved image (k = -1: the BT.601 luma, rounded), in pel coordinates.
template <class T>
mxPelBuffer<T> plane(const mxPelBuffer_const<T>& img, int c, int k) {
  mxPelBuffer<T> p(mxPelRect(img.window().x() / c, img.window().y(), img.width() / c, img.height()));
  for (int j = 0; j < p.height(); ++j)
    for (int i = 0; i < p.width(); ++i) {
      const T* s = img.row(j) + i * c;
      p.row(j)[i] = k >= 0 ? s[k] : T((299 * s[0] + 587 * s[1] + 114 * s[2] + 500) / 1000);
    }
  return p;
}

template <class Tool>
void configure(Tool& t, const Image& mask, P granularity) {
  t.neighborhoodSize(P(9, 7));
  t.granularity(granularity);
  t.tailFractions({0.05, 0.9});
  t.keepMaskedPixels(true);
  t.maskImage(mask, false);
}

// t.run(img, m) of a grey tool, or t.run(img, c, m) of a colour tool, expected to succeed.
template <class Tool, class T, class... C>
mxPelBuffer<T> runOk(const Tool& t, const mxPelBuffer_const<T>& img, C... c) {
  bool ok = false;
  std::wstring why;
  mxPelBuffer<T> out = t.run(img, c..., ok, why);
  EXPECT_TRUE(ok);
  return out;
}

// Per channel: the grey runs exactly; luminance: the luma within half a level of the grey
// run on the luma, Cb and Cr kept where nothing saturated.  RGBA image, RGB reference.
template <class T, class Grey>
void againstGreyTools(std::int32_t depth, int factor, std::uint32_t methods, P granularity) {
  const mxPelBuffer<T> ref = colourImage<T>(40, 30, 3, 1, factor), img = colourImage<T>(36, 28, 4, 9, factor, P(5, 4));
  const Image mask = makeImage(40, 30, [](int x, int y) { return (x / 8 + y / 6) % 4 ? 255 : 0; });
  const int top = (1 << depth) - 1;
  for (const Mode mode : {Mode::ePerChannel, Mode::eLuminance}) {
    mxColorNormalizer colour(mode, depth);
    configure(colour, mask, granularity);
    colour.referenceImage(ref, 3, false);
    colour.train(Method(methods));
    std::vector<Grey> greys;
    for (const int k : mode == Mode::ePerChannel ? std::vector<int>{0, 1, 2} : std::vector<int>{-1}) {
      if constexpr (std::is_same_v<T, unsigned char>)
        greys.emplace_back();
      else
        greys.emplace_back(depth);
      configure(greys.back(), mask, granularity);
      greys.back().referenceImage(plane<T>(ref, 3, k), true);
      greys.back().train(Method(methods));
    }
    for (std::uint32_t m = 1; m <= methods; m <<= 1) {
      if (!(m & methods)) continue;
      const mxPelBuffer<T> out = runOk(colour, img, 4, Method(m));
      const auto scope = ::testing::Message() << "depth " << depth << " mode " << int(mode) << " method " << m;
      mxPelBuffer_const<T> alpha = plane<T>(img, 4, 3);
      alpha.window(plane<T>(out, 4, 3).window());
      EXPECT_TRUE(mfPelEqual<T>(plane<T>(out, 4, 3), alpha)) << scope;
      if (mode == Mode::ePerChannel) {
        for (int k = 0; k < 3; ++k)
          EXPECT_TRUE(mfPelEqual<T>(plane<T>(out, 4, k), runOk(greys[std::size_t(k)], plane<T>(img, 4, k), Method(m))))
              << scope << " channel " << k;
        continue;
      }
      const mxPelBuffer<T> want = runOk(greys[0], plane<T>(img, 4, -1), Method(m));
      ASSERT_EQ(want.window(), plane<T>(out, 4, 0).window()) << scope;
      int kept = 0;
      for (int y = want.window().y(); y < want.window().y() + want.height(); ++y)
        for (int x = want.window().x(); x < want.window().x() + want.width(); ++x) {
          const T* a = img.pointToPel(4 * x, y);
          const T* b = out.pointToPel(4 * x, y);
          if (std::max({b[0], b[1], b[2]}) == top || std::min({b[0], b[1], b[2]}) == 0) continue;
          const auto luma = [](const T* p) { return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]; };
          ASSERT_NEAR(luma(b), want.get(x, y), 0.5 + 1e-9) << scope << " at " << x << "," << y;
          ASSERT_NEAR((b[2] - luma(b)) / 1.772, (a[2] - luma(a)) / 1.772, 1e-6) << scope;
          ASSERT_NEAR((b[0] - luma(b)) / 1.402, (a[0] - luma(a)) / 1.402, 1e-6) << scope;
          ++kept;
        }
      EXPECT_GT(kept, want.width() * want.height() / 2) << scope;
    }
  }
}

}  // namespace

TEST(ColorTool, PerChannelAndLuminanceAgainstGreyTools) {
  againstGreyTools<unsigned char, mxImageNormalizer>(8, 1, kAllMethods, P(2, 3));
  againstGreyTools<unsigned short, mxImageNormalizer16>(12, 16, 63, P(1, 1));
}

TEST(ColorTool, ArchiveAndToolFile) {
  using Deep = mxPelBuffer<unsigned short>;
  const Deep ref = colourImage<unsigned short>(30, 20, 4, 3, 16, P(2, 1));
  mxColorNormalizer tool(Mode::eLuminance, 12);
  configure(tool, constantImage(30, 20, 255, 2, 1), P(1, 1));
  tool.referenceImage(ref, 4, false);
  tool.train(Method(eMatchHistogram | eLocalCorrection));
  const Bytes file = mxToolFile::store(tool);
  EXPECT_TRUE(mxToolFile::isColorTool(file.data(), file.size()));
  EXPECT_EQ(mxToolFile::pelBits(file.data(), file.size()), 16);
  mxColorNormalizer loaded;
  mxToolFile::load(file.data(), file.size(), loaded);
  EXPECT_TRUE(loaded == tool);  // trained set included
  EXPECT_TRUE(
      mfPelEqual<unsigned short>(runOk(loaded, ref, 4, eLocalCorrection), runOk(tool, ref, 4, eLocalCorrection)));

  // Kinds of tool file given to the wrong tool, and archives with a bad mode,
  // channel count, pel type or depth (payload bytes 1 to 4), re-framed.
  const Bytes grey = mxToolFile::store(trainedTool(texturedImage(20, 10, 1), eMatchHistogram));
  const Bytes payload = mxToolFile::payload(file.data(), file.size());
  const auto withByte = [&](std::size_t at, std::uint8_t v) {
    Bytes p = payload;
    p[at] = v;
    return mxToolFile::frame(p, mxToolFile::kColorFormatVersion);
  };
  const std::wstring held = L"the tool file holds a colour tool (mxColorNormalizer); load it into that, not into ",
                     archive = L"damaged tool file: the archive holds a colour tool of ";
  const struct {
    Bytes bytes;
    int into;  // 0 colour, 8 or 16 grey
    std::wstring error;
  } bad[] = {
      {file, 8, held + L"an 8-bit grey tool (mxImageNormalizer)"},
      {file, 16, held + L"a 16-bit grey tool (mxImageNormalizer16)"},
      {grey, 0,
       L"the tool file holds an 8-bit grey tool (mxImageNormalizer); load it into that, not into a colour "
       L"tool (mxColorNormalizer)"},
      {withByte(1, 2), 0, archive + L"an unknown mode (2)"},
      {withByte(2, 5), 0, archive + L"5 channels (a colour tool has 3 or 4)"},
      {withByte(3, 32), 0, archive + L"an unknown pel type (32 bits per pel; a colour tool reads 8 and 16)"},
      {withByte(4, 8), 0, archive + L"16-bit pels and bit depth 8 (8-bit pels have depth 8, 16-bit pels 9 to 16)"},
      {withByte(2, 3), 0,
       L"damaged tool file: the archive holds a colour reference that does not match its channel count (3)"},
  };
  for (const auto& b : bad)
    expectError<mxArchive::BadData>(
        [&] {
          mxColorNormalizer c;
          mxImageNormalizer g8;
          mxImageNormalizer16 g16;
          b.into == 0   ? mxToolFile::load(b.bytes.data(), b.bytes.size(), c)
          : b.into == 8 ? mxToolFile::load(b.bytes.data(), b.bytes.size(), g8)
                        : mxToolFile::load(b.bytes.data(), b.bytes.size(), g16);
        },
        b.error);
}

// Each refusal: its class and rule, and the tool as it was.
TEST(ColorTool, BadInputRefusedWithNothingChanged) {
  const Image ref = colourImage<unsigned char>(20, 10, 3, 2, 1), grey = texturedImage(20, 10, 2);
  mxColorNormalizer tool;
  tool.referenceImage(ref, 3, false);
  tool.train(eMatchHistogram);
  mxColorNormalizer deep(Mode::eLuminance, 10);
  mxPelBuffer<unsigned short> hot = colourImage<unsigned short>(20, 10, 3, 2, 4);
  hot.row(2)[7] = 1024;
  mxColorNormalizer masked = tool, hotDeep = deep;
  masked.maskImage(constantImage(60, 10, 255), false);
  hotDeep.referenceImage(hot, 3, false);
  const mxColorNormalizer before[] = {tool, masked, deep, hotDeep};
  Image offset = ref;
  offset.window(mxPelRect(1, 0, 57, 10));
  const std::int32_t image = BadImage().errorNumber(), params = BadParams().errorNumber();
  const struct {
    std::function<void()> call;
    std::int32_t error;
    Rule rule;
  } bad[] = {
      {[&] { tool.referenceImage(grey, 1, false); }, image, Rule::eColorAgainstGrey},
      {[&] { runOk(tool, grey, 1, eMatchHistogram); }, image, Rule::eColorAgainstGrey},
      {[&] { runOk(tool, ref, 2, eMatchHistogram); }, image, Rule::eColorChannels},
      {[&] { tool.referenceImage(constantImage(50, 10, 9), 5, false); }, image, Rule::eColorChannels},
      {[&] { runOk(tool, offset, 3, eMatchHistogram); }, image, Rule::eColorLayout},
      {[&] { runOk(tool, hot, 3, eMatchHistogram); }, image, Rule::ePelType},
      {[&] { masked.train(eMatchHistogram); }, image, Rule::eMaskShape},
      {[&] { hotDeep.train(eMatchHistogram); }, image, Rule::ePelsWithinDepth},
      {[&] { deep.relativeCounts(true); }, NotImplemented().errorNumber(), Rule::eDeepMethod},
      {[&] { mxColorNormalizer(Mode(2)); }, params, Rule::eColorMode},
      {[&] { mxColorNormalizer(Mode::ePerChannel, 7); }, params, Rule::eColorBitDepth},
  };
  for (const auto& b : bad) {
    try {
      b.call();
      ADD_FAILURE() << "accepted: rule " << int(b.rule);
    } catch (const Errors& e) {
      EXPECT_EQ(e.errorNumber(), b.error) << int(b.rule);
      EXPECT_EQ(ruleOf(e.message()), b.rule) << mfToUtf8(e.message());
    }
    EXPECT_TRUE(tool == before[0] && masked == before[1] && deep == before[2] && hotDeep == before[3]) << int(b.rule);
  }
}

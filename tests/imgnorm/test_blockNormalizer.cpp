#include "imgnorm/mxBlockNormalizer.h"

#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

namespace {

struct Case {
  Method method;
  P block;
  bool masked;
  mxPelRect imageWindow;  // the run-time image's window (the reference is 150 x 110 at (0, 0))
  P granularity = P(1, 1);
  P neighborhood = P(21, 21);
  bool keep = false;
};

mxImageNormalizer configured(const Case& c, const Image& ref, const Image& mask) {
  mxImageNormalizer n = trainedTool(ref, eIdentity, c.neighborhood, c.masked ? mask : Image(), c.granularity, c.keep);
  n.tailFractions({0.05, 0.95});
  return n;
}

// The block engine's result (through a reading source and an assembling
// sink) must equal the whole-image run pel for pel, with the same success
// and message, whether the tool holds its images or reads them in pieces.
void expectSameAsWholeImage(const Case& c) {
  const Image ref = texturedImage(150, 110, 1);
  const Image mask =
      makeImage(150, 110, [](int x, int y) { return (x - 70) * (x - 70) + (y - 50) * (y - 50) < 1600 ? 0 : 200; });
  const Image img =
      texturedImage(c.imageWindow.width(), c.imageWindow.height(), 7, c.imageWindow.x(), c.imageWindow.y());
  mxImageNormalizer tool = configured(c, ref, mask);
  tool.train(c.method);
  bool ok = false;
  std::wstring why;
  const Image whole = runTool(tool, img, c.method, &ok, &why);

  mxBufferPelSource source(img), refSource(ref), maskSource(mask);
  mxImageNormalizer parameters = configured(c, Image(), Image());
  const mxBlockNormalizer engines[] = {
      mxBlockNormalizer(tool, c.block),
      mxBlockNormalizer(parameters, refSource, c.masked ? &maskSource : nullptr, c.block)};
  for (const mxBlockNormalizer& engine : engines) {
    mxBufferPelSink sink;
    std::wstring message = L"stale";
    EXPECT_EQ(engine.run(source, c.method, sink, message), ok);
    EXPECT_EQ(message, why);
    ASSERT_TRUE(mfPelEqual<unsigned char>(sink.image(), whole))
        << methodName(c.method).c_str() << " block " << c.block.x() << "x" << c.block.y()
        << (&engine == engines ? " (tool)" : " (pieces)");
  }
}

const mxPelRect kSame(0, 0, 150, 110);
const mxPelRect kInside(13, 9, 120, 90);     // covers part of the reference
const mxPelRect kBeyond(-20, 30, 200, 100);  // reaches past it

TEST(BlockNormalizer, GlobalMethodsEqualWholeImage) {
  for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues})
    for (P block : {P(37, 23), P(64, 200), P(1000, 1000)})
      for (bool masked : {false, true})
        for (mxPelRect w : {kSame, kInside, kBeyond})
          expectSameAsWholeImage({m, block, masked, w, P(1, 1), P(21, 21), masked});
}

TEST(BlockNormalizer, LocalMethodsEqualWholeImage) {
  // Blocks of 45 x 33 are rounded up to the granularity; with neighbourhood
  // (21, 15) the halo is up to (3 x 4 + 3) x 4 = 60 by (3 x 2 + 3) x 4 = 36
  // pels (eLocalGain at granularity 4); blocks smaller than it are refused.
  // Blocks of 32 make rows of 5 to 7 blocks, more than one group of them.
  for (const MethodInfo& row : kMethods)
    for (P g : {P(1, 1), P(4, 4), P(3, 2)})
      for (P block : {P(32, 32), P(61, 97), P(45, 33)})
        for (bool masked : {false, true})
          if (const P h = mxBlockNormalizer(trainedTool(Image(), eIdentity, P(21, 15), Image(), g), block)
                              .halo(row.method);
              row.kind == MethodKind::eLocal && block.x() >= h.x() && block.y() >= h.y())
          for (mxPelRect w : {kSame, kInside, kBeyond})
            expectSameAsWholeImage({row.method, block, masked, w, g, P(21, 15), masked});
}

TEST(BlockNormalizer, SoftFailureWritesNothing) {
  // A uniform image has no spread to match: the run fails before any block.
  const mxImageNormalizer tool = trainedTool(texturedImage(60, 40, 1), eMatchMeanAndStddev);
  const Image flat = constantImage(60, 40, 90);
  mxBufferPelSource source(flat);
  mxBufferPelSink sink;
  std::wstring message;
  EXPECT_FALSE(mxBlockNormalizer(tool, P(16, 16)).run(source, eMatchMeanAndStddev, sink, message));
  EXPECT_EQ(message, L"Cannot match when standard deviation is 0.");
  EXPECT_FALSE(sink.image().isBound());
}

TEST(BlockNormalizer, BadInputIsRefused) {
  const Image ref = texturedImage(300, 200, 1);
  const mxImageNormalizer tool = trainedTool(ref, eLocalCorrection | eMatchHistogram);
  mxBufferPelSource source(ref);
  mxBufferPelSink sink;
  std::wstring message;
  expectError<BadParams>([&] { mxBlockNormalizer(tool, P(0, 8)); }, L"Both elements of the block size must be >= 1");
  // Neighbourhood 101: smoothing 52, so the mean needs 52 pels around a block.
  const mxBlockNormalizer small(tool, P(51, 512));
  EXPECT_EQ(small.halo(eLocalCorrection), P(52, 52));
  expectError<BadParams>([&] { small.run(source, eLocalCorrection, sink, message); },
                         L"The block size (51, 512) is smaller than the halo (52, 52) this method needs around "
                         L"each block");
  expectError<NotTrained>([&] { small.run(source, eMatchMeanAndStddev, sink, message); },
                          L"This tool was not trained for the specified  method.");
  expectError<BadParams>([&] { small.run(source, eMatchHistogram | eLocalCorrection, sink, message); },
                         L"Cannot run with more than one normalization method.");
  EXPECT_FALSE(sink.image().isBound());
  // Reference pieces that hold no counted pel cannot train a histogram method.
  const Image nothing = constantImage(300, 200, 0);
  mxBufferPelSource refSource(ref), maskSource(nothing);
  expectError<CanNotTrain>(
      [&] { mxBlockNormalizer(tool, refSource, &maskSource, P(64, 64)).run(source, eMatchHistogram, sink, message); },
      L"Histogram must be non-empty for the specified methods.");
}

TEST(BlockNormalizer, BlocksFollowTheGranularityGrid) {
  mxImageNormalizer tool;
  tool.granularity(P(4, 3));
  const mxBlockNormalizer engine(tool, P(511, 512));
  EXPECT_EQ(engine.blockSize(eLocalCorrectionEnhanced), P(512, 513));
  EXPECT_EQ(engine.blockSize(eMatchHistogram), P(511, 512));
}

}  // namespace

// The 16-bit tool's runParallel and the 16-bit block engine (the tool's own
// images, and reference and mask read in pieces) against its run(): window,
// pels, success and message for every method it runs, masked (keeping the
// masked pels) or not, at granularity 1 and 3, on threads made for the call
// and kept ones, in blocks of 37 x 23 (or the halo); a flat image is the
// soft failure.  The height (101) divides into no whole number of grid
// cells, bands or blocks.
TEST(BlockNormalizer, DeepRunsSplitOverThreadsAndBlocksEqualRun) {
  using Deep = mxPelBuffer<unsigned short>;
  const auto deep = [](const Image& im) {  // 12 bits: the 8-bit levels with low bits of the position
    Deep d(im.window());
    for (std::int32_t j = 0; j < im.height(); ++j)
      for (std::int32_t i = 0; i < im.width(); ++i)
        d.row(j)[i] = static_cast<unsigned short>(im.row(j)[i] * 16 + (i * 7 + j * 3) % 16);
    return d;
  };
  const Deep ref = deep(texturedImage(150, 113, 1)), img = deep(texturedImage(140, 101, 7, 5, 4));
  const Deep flat = deep(makeImage(
      140, 101, [](int, int) { return 77; }, 5, 4));
  const Image mask =
      makeImage(150, 113, [](int x, int y) { return (x - 70) * (x - 70) + (y - 50) * (y - 50) < 900 ? 0 : 9; });
  mxTaskThreads kept(3);
  for (bool masked : {false, true})
    for (P g : {P(1, 1), P(3, 3)}) {
      mxImageNormalizer16 tool(12);
      tool.referenceImage(ref, false);
      tool.maskImage(masked ? mxPelBuffer_const<unsigned char>(mask) : mxPelBuffer_const<unsigned char>(), false);
      tool.keepMaskedPixels(masked);
      tool.neighborhoodSize(P(21, 15));
      tool.granularity(g);
      tool.tailFractions({0.05, 0.95});
      tool.train(Method(63));
      for (std::uint32_t m = 1; m <= 32; m <<= 1)
        for (const Deep* in : {&img, &flat}) {
          bool ok = false, pok = false;
          std::wstring why, pwhy = L"stale";
          const Deep whole = tool.run(*in, Method(m), ok, why);
          for (int threads : {2, 3}) {
            const Deep got = threads == 2
                                 ? mxBlockNormalizer::runParallel(tool, *in, Method(m), 2, pok, pwhy)
                                 : mxBlockNormalizer::runParallel(tool, *in, Method(m), kept.runner(), 3, pok, pwhy);
            const std::string where = std::to_string(m) + (masked ? " masked g" : " g") + std::to_string(g.x()) +
                                      (in == &flat ? " flat" : "") + " threads " + std::to_string(threads);
            ASSERT_EQ(pok, ok) << where;
            EXPECT_EQ(pwhy, why) << where;
            EXPECT_TRUE(mfPelEqual<unsigned short>(got, whole)) << where;
          }
          mxBufferPelSource16 source(*in), refSource(ref);
          mxBufferPelSource maskSource(mask);
          const P h = mxBlockNormalizer16(tool, P(1, 1)).halo(Method(m)), block(std::max(37, h.x()), std::max(23, h.y()));
          const mxBlockNormalizer16 engines[] = {
              mxBlockNormalizer16(tool, block), mxBlockNormalizer16(tool, refSource, masked ? &maskSource : nullptr, block)};
          for (const mxBlockNormalizer16& engine : engines) {
            const std::string where = std::to_string(m) + (masked ? " masked g" : " g") + std::to_string(g.x()) +
                                      (in == &flat ? " flat" : "") + (&engine == engines ? " tool" : " pieces");
            mxBufferPelSink16 sink;
            pwhy = L"stale";
            ASSERT_EQ(engine.run(source, Method(m), sink, pwhy), ok) << where;
            EXPECT_EQ(pwhy, why) << where;
            EXPECT_TRUE(mfPelEqual<unsigned short>(sink.image(), whole)) << where;
          }
        }
    }
  // Three flat steps and a line of them: each cell's sums pass 2^32 within
  // one block, so the fit's line needs every limb of the block totals.
  Deep steps(mxPelRect(0, 0, 192, 128)), line(steps.window());
  for (std::int32_t j = 0; j < 128; ++j)
    for (std::int32_t i = 0; i < 192; ++i)
      steps.row(j)[i] = static_cast<unsigned short>(600 + 1200 * (i / 64)), line.row(j)[i] = steps.row(j)[i] * 3 / 4 + 200;
  mxImageNormalizer16 fit(12);
  fit.referenceImage(steps, false);
  fit.train(eLinearlyFitGrayValues);
  bool fitted = false;
  std::wstring message;
  mxBufferPelSource16 lineSource(line);
  mxBufferPelSink16 fitSink;
  ASSERT_TRUE(mxBlockNormalizer16(fit, P(64, 64)).run(lineSource, eLinearlyFitGrayValues, fitSink, message));
  EXPECT_TRUE(mfPelEqual<unsigned short>(fitSink.image(), fit.run(line, eLinearlyFitGrayValues, fitted, message)));
  EXPECT_EQ(fitSink.image().row(0)[0], 600);
  // What the 16-bit run refuses: a pel above the depth, a method it does not run.
  mxImageNormalizer16 tool(12);
  tool.referenceImage(ref, false);
  tool.train(eMatchHistogram);
  Deep high = mfPelCopy<unsigned short>(img);
  high.row(50)[70] = 4096;
  mxBufferPelSource16 source(high);
  mxBufferPelSink16 sink;
  std::wstring why;
  EXPECT_THROW(mxBlockNormalizer16(tool, P(32, 32)).run(source, eMatchHistogram, sink, why), BadImage);
  EXPECT_THROW(mxBlockNormalizer16(tool, P(32, 32)).run(source, eLocalGain, sink, why), NotImplemented);
  EXPECT_FALSE(sink.image().isBound());
}

namespace {
// The colour block engine against the colour tool's run(): window, pels,
// success and message for every method the 16-bit tool runs, masked with the
// masked pels kept, at granularity (3, 2), in blocks of 29 x 19 (rounded up
// to the granularity: rows of 6 blocks); the image reaches beyond the
// reference in y and falls short of it in x.
template <class Pel>
void expectColorBlocksEqualRun(mxColorNormalizer::Mode mode, std::int32_t depth, std::int32_t channels) {
  const auto colour = [&](std::int32_t w, std::int32_t h, int seed) {
    mxPelBuffer<Pel> b(mxPelRect(0, 0, w * channels, h));
    for (std::int32_t c = 0; c < channels; ++c) {
      const Image plane = texturedImage(w, h, seed + c);
      for (std::int32_t j = 0; j < h; ++j)
        for (std::int32_t i = 0; i < w; ++i) b.row(j)[i * channels + c] = static_cast<Pel>(plane.row(j)[i] << (depth - 8));
    }
    return b;
  };
  const mxPelBuffer<Pel> ref = colour(170, 50, 1), img = colour(164, 56, 7);
  mxColorNormalizer tool(mode, depth);
  tool.referenceImage(ref, channels, false);
  tool.maskImage(
      makeImage(170, 50, [](int x, int y) { return (x - 30) * (x - 30) + (y - 20) * (y - 20) < 200 ? 0 : 1; }), true);
  tool.keepMaskedPixels(true);
  tool.neighborhoodSize(P(15, 11));
  tool.granularity(P(3, 2));
  tool.tailFractions({0.05, 0.95});
  tool.train(Method(63));
  for (std::uint32_t m = 1; m <= 32; m <<= 1) {
    bool ok = false;
    std::wstring why, got = L"stale";
    const mxPelBuffer<Pel> whole = tool.run(img, channels, Method(m), ok, why);
    mxBufferPelSourceOf<Pel> source(img);
    mxBufferPelSinkOf<Pel> sink;
    ASSERT_EQ(mxColorBlockNormalizerOf<Pel>(tool, P(29, 19)).run(source, channels, Method(m), sink, got), ok) << m;
    EXPECT_EQ(got, why) << m;
    EXPECT_TRUE(mfPelEqual<Pel>(sink.image(), whole)) << m << " depth " << depth;
  }
}
}  // namespace

TEST(BlockNormalizer, ColorRunsInBlocksEqualRun) {
  expectColorBlocksEqualRun<unsigned char>(mxColorNormalizer::Mode::ePerChannel, 8, 4);
  expectColorBlocksEqualRun<unsigned char>(mxColorNormalizer::Mode::eLuminance, 8, 3);
  expectColorBlocksEqualRun<unsigned short>(mxColorNormalizer::Mode::ePerChannel, 12, 3);
  expectColorBlocksEqualRun<unsigned short>(mxColorNormalizer::Mode::eLuminance, 12, 4);
}

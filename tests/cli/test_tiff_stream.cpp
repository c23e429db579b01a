// The streaming TIFF path against the in-memory one, and decoding only the part a tool uses.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "../support/checks.h"
#include "../support/testImages.h"
#include "app/commands.h"
#include "baseif/mxPelOps.h"
#include "batch/batch.h"
#include "batch/streamed.h"
#include "fixtures.h"
#include "imgnorm/mxImageNormalizer.h"
#include "io/image_io.h"
#include "io/tiff_stream.h"

using namespace imgnormcli;
namespace fs = std::filesystem;

namespace {

// The pels of im as fixture samples, written as a TIFF file.
void writeTiff(const std::string& path, const mxPelBuffer_const<unsigned char>& im,
               clifixtures::TiffLayout layout = {}) {
  clifixtures::Samples s{im.width(), im.height(), 1, 8, {}};
  for (std::int32_t y = 0; y < im.height(); ++y) s.v.insert(s.v.end(), im.row(y), im.row(y) + im.width());
  if (!layout.tile) layout.rowsPerStrip = 16;
  ASSERT_TRUE(clifixtures::writeTiff(path, {s}, layout));
}

clifixtures::TiffLayout layout(const char* mode, std::uint32_t tile, std::uint16_t compression) {
  clifixtures::TiffLayout l;
  l.mode = mode, l.tile = tile, l.compression = compression;
  return l;
}

class TiffStream : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("imgnorm_stream_" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string at(const std::string& name) const { return (dir / name).string(); }

  // normalize with and without streaming; the two outputs must agree, both in the compression asked for.
  void expectSameAsInMemory(const std::string& ref, const std::string& mask, const std::string& input,
                            const std::string& method, int block, const std::string& extra = "",
                            TiffCompression compression = TiffCompression::kNone) {
    RunArgs a;
    a.tool.reference = ref;
    a.tool.mask = mask;
    a.tool.neighborhood = extra;
    a.tool.keepMasked = !mask.empty();
    a.method = method;
    a.inputs = {input};
    a.quiet = true;
    a.write.compression = compression;
    a.output = at("memory.tif");
    ASSERT_EQ(cmdNormalize(a), kExitOk);
    a.output = at("streamed.tif");
    a.blockSize = block;
    ASSERT_EQ(cmdNormalize(a), kExitOk);
    const auto memory = readImage(at("memory.tif"), false), streamed = readImage(at("streamed.tif"), false);
    ASSERT_TRUE(mfPelEqual<unsigned char>(memory, streamed)) << method << " block " << block << " of " << input;
    for (const char* name : {"memory.tif", "streamed.tif"}) {
      TIFF* t = TIFFOpen(at(name).c_str(), "r");
      std::uint16_t code = 0;
      TIFFGetField(t, TIFFTAG_COMPRESSION, &code);
      TIFFClose(t);
      EXPECT_EQ(code, tiffCompressionCode(compression)) << name << " of " << method;
    }
  }
  fs::path dir;
};

TEST_F(TiffStream, EqualsInMemoryPath) {
  const auto ref = texturedImage(3000, 2000, 1), img = texturedImage(3000, 2000, 5);
  writeTiff(at("ref.tif"), ref, layout("w", 0, COMPRESSION_LZW));
  writeTiff(at("img.tif"), img, layout("w", 0, COMPRESSION_LZW));
  writeTiff(at("tiled.tif"), img, layout("w", 256, COMPRESSION_NONE));
  writeTiff(at("big.tif"), img, layout("w8", 0, COMPRESSION_ADOBE_DEFLATE));
  writeTiff(at("mask.tif"), makeImage(3000, 2000, [](int x, int y) { return (x / 300 + y / 200) % 3 == 0 ? 0 : 255; }));
  expectSameAsInMemory(at("ref.tif"), "", at("img.tif"), "histogram", 512);  // an LZW input gives no compression
  expectSameAsInMemory(at("ref.tif"), at("mask.tif"), at("tiled.tif"), "tails", 333, "", TiffCompression::kDeflate);
  expectSameAsInMemory(at("ref.tif"), at("mask.tif"), at("big.tif"), "linear-fit", 700);
  expectSameAsInMemory(at("ref.tif"), "", at("tiled.tif"), "local-mean", 512, "101");
  expectSameAsInMemory(at("ref.tif"), at("mask.tif"), at("big.tif"), "local-mean", 257, "31");
  expectSameAsInMemory(at("ref.tif"), "", at("img.tif"), "local-median", 401, "31", TiffCompression::kLzw);
}

// A grey TIFF in strips (or tiles) of 16 rows with its directory first, cut
// after keepBytes: the directory reads, the pels do not.
void writeCutTiff(const std::string& path, int w, int h, std::size_t keepBytes, bool tiles = false) {
  const auto f = clifixtures::headerFirstTiff(std::uint32_t(w), std::uint32_t(h), 8, 1, PHOTOMETRIC_MINISBLACK,
                                              std::vector<std::uint8_t>(std::size_t(w) * h, 77), 16, tiles);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(f.data()), std::streamsize(std::min(f.size(), keepBytes)));
}

TEST_F(TiffStream, BadInputGivesAClearErrorAndNoOutput) {
  writeTiff(at("ref.tif"), texturedImage(200, 100, 1));
  writeCutTiff(at("whole.tif"), 200, 100, 1u << 20);
  writeCutTiff(at("cut.tif"), 200, 100, 200 * 100 / 2 + 1000);
  writeCutTiff(at("cut_tiles.tif"), 32, 96, 32 * 96 / 2 + 100, true);
  RunArgs a;
  a.tool.reference = at("ref.tif");
  a.method = "histogram";
  a.blockSize = 64;
  a.quiet = true;
  a.inputs = {at("whole.tif")};
  a.output = at("out.tif");
  EXPECT_EQ(cmdNormalize(a), kExitOk);  // the hand-made file itself is sound
  a.inputs = {at("cut.tif")};
  a.output = at("cut_out.tif");
  struct Bad {
    std::function<void(RunArgs&)> change;
    ExitCode code;
    std::string text;
  };
  const Bad cases[] = {
      {[](RunArgs&) {}, kExitInput, "cut.tif: truncated: strip 3 of 7 ends at byte "},
      {[&](RunArgs& r) { r.inputs = {at("cut_tiles.tif")}; }, kExitInput, "cut_tiles.tif: truncated: tile 2 of 6 ends at byte "},
      {[](RunArgs& r) {
         r.tool.neighborhood = "201";
         r.blockSize = 101;
         r.method = "local-mean";
         r.inputs = {r.tool.reference};
       },
       kExitUsage, "is smaller than the halo (102, 102)"},
      {[](RunArgs& r) { r.output = r.output + ".png"; }, kExitUsage, "streams one TIFF file to a TIFF file"},
  };
  for (const Bad& c : cases) {
    RunArgs r = a;
    c.change(r);
    expectCodedError<CliError>([&] { cmdNormalize(r); }, c.code, {c.text});
  }
  // Nothing under the output's name, no temporary left behind.
  for (const auto& entry : fs::directory_iterator(dir))
    EXPECT_TRUE(entry.path().filename() != "cut_out.tif" && entry.path().filename().string()[0] != '.') << entry.path();
}

// Only the part the tool uses (offset reference, smaller mask) is decoded, yet the result is
// the library's on the whole image: every method, PNG, striped and tiled TIFF.
TEST_F(TiffStream, ARunOnThePartOfAnImageItUsesEqualsTheWholeImagesRun) {
  using namespace mxImageNormalizerDefs;
  mxImageNormalizer tool;
  tool.referenceImage(texturedImage(90, 70, 1, 30, 20), true);
  tool.maskImage(makeImage(80, 60, [](int x, int y) { return (x / 9 + y / 7) % 4 ? 255 : 0; }, 30, 20), true);
  tool.neighborhoodSize({15, 15});
  tool.keepMaskedPixels(true);
  tool.train(Method(63));
  const auto image = texturedImage(200, 150, 5);
  writeImage(at("in.png"), image);
  writeTiff(at("in.tif"), image);  // strips of 16 rows
  writeTiff(at("tiles.tif"), image, layout("w", 32, COMPRESSION_ADOBE_DEFLATE));
  Warnings warnings;
  for (const char* input : {"in.png", "in.tif", "tiles.tif"})
    for (Method m : {eIdentity, eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues,
                     eLocalCorrection, eLocalCorrectionEnhanced}) {
      BatchPlan plan;
      plan.items = {{at(input), at("out.tif"), ""}};
      BatchOptions options;
      options.method = m;
      options.quiet = true;
      options.warnings = &warnings;
      std::ostringstream summary;
      ASSERT_EQ(runBatch(tool, plan, options, summary), kExitOk);
      bool success = false;
      std::wstring message;
      const auto want = tool.run(image, m, success, message, nullptr, 0);
      const auto got = readImage(at("out.tif"), false);
      ASSERT_TRUE(got.width() == want.width() && got.height() == want.height()) << input << " " << m;
      for (std::int32_t y = 0; y < got.height(); ++y)
        ASSERT_EQ(std::memcmp(got.row(y), want.row(y), std::size_t(got.width())), 0) << input << " " << m << " " << y;
    }
  // The output smaller than the input: one warning for the 18 normalized images.
  const auto met = warnings.entries();
  ASSERT_EQ(met.size(), 1u);
  EXPECT_TRUE(met[0].kind == "overlap" && met[0].count == 18);
}

}  // namespace

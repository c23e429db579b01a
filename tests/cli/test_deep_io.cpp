// 16-bit greyscale images through the program: each 16-bit format run by
// `imgnorm run` against the library's 16-bit tool on the same pels, --depth 8
// against the 8-bit tool on v >> 4, JPEG outputs against their input through
// libjpeg, and the refusals (one error, its exit code, nothing written).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/commands.h"
#include "common/options.h"
#include "fixtures.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "io/codecs.h"
#include "io/tool_file.h"

namespace fs = std::filesystem;
using namespace imgnormcli;
using namespace mxImageNormalizerDefs;

namespace {

// 12-bit pels: a tilted ramp under a gain and offset, with noise.
mxPelBuffer<unsigned short> image12(unsigned seed, double gain, int offset) {
  std::mt19937 rng(seed);
  mxPelBuffer<unsigned short> b(mxPelRect(0, 0, 90, 70));
  for (std::int32_t y = 0; y < 70; ++y)
    for (std::int32_t x = 0; x < 90; ++x)
      b.row(y)[x] = static_cast<unsigned short>(std::min(4095.0, (x * 35 + y * 9 + int(rng() % 300)) * gain + offset));
  return b;
}

template <class Pel>
std::vector<Pel> pelsOf(const mxPelBuffer_const<Pel>& b) {
  std::vector<Pel> v;
  for (std::int32_t y = 0; y < b.height(); ++y) v.insert(v.end(), b.row(y), b.row(y) + b.width());
  return v;
}

mxPelBuffer<unsigned char> makeShifted(const mxPelBuffer_const<unsigned short>& b) {
  mxPelBuffer<unsigned char> out(b.window());
  for (std::int32_t y = 0; y < b.height(); ++y)
    for (std::int32_t x = 0; x < b.width(); ++x) out.row(y)[x] = static_cast<unsigned char>(b.row(y)[x] >> 4);
  return out;
}

std::vector<std::uint16_t> fileSamples(const std::string& path, int bits) {
  ImageInfo info;
  const RawImage raw = readRaw(path, {}, info);
  EXPECT_EQ(raw.bits, bits) << path;
  return bits == 16 ? std::vector<std::uint16_t>(raw.row16(0), raw.row16(0) + raw.sampleCount())
                    : std::vector<std::uint16_t>(raw.row8(0), raw.row8(0) + raw.sampleCount());
}

class DeepIo : public ::testing::Test {
protected:
  void SetUp() override {
    installCodecHandlers();
    dir_ = fs::path(::testing::TempDir()) / ("imgnorm_deep_" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "in");
    tool_.referenceImage(image12(1, 1.0, 0), true);
    tool_.train(Method(eMatchHistogram | eLocalCorrection));
    saveTool(path("t16.imn"), tool_);
    // The same image as a 16-bit PNG, a 12-bit TIFF and a PGM of maximum 4095.
    const std::vector<unsigned short> v = pelsOf<unsigned short>(image_);
    const clifixtures::Samples s{90, 70, 1, 16, std::vector<std::uint16_t>(v.begin(), v.end())};
    ASSERT_TRUE(clifixtures::writePng(path("in/a.png"), s));
    clifixtures::TiffLayout twelve;
    twelve.bits = 12;
    ASSERT_TRUE(clifixtures::writeTiff(path("in/b.tif"), {s}, twelve));
    clifixtures::TiffLayout tiled;
    tiled.tile = 16;
    ASSERT_TRUE(clifixtures::writeTiff(path("in/d.tif"), {s}, tiled));
    const std::vector<unsigned short> r = pelsOf<unsigned short>(tool_.referenceImage());
    ASSERT_TRUE(clifixtures::writeTiff(path("ref.tif"), {{90, 70, 1, 16, std::vector<std::uint16_t>(r.begin(), r.end())}}));
    std::ofstream(path("in/c.pgm"), std::ios::binary)
        .write(reinterpret_cast<const char*>(encodePgmOf(image_).data()), std::streamsize(encodePgmOf(image_).size()));
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static std::vector<std::uint8_t> encodePgmOf(const mxPelBuffer_const<unsigned short>& b) {
    WriteOptions o;
    o.depth = 12;
    return codecForName("x.pgm")->encode16(b, o, "x.pgm");
  }
  RunArgs runArgs(const std::string& tool, const std::string& method, const std::string& output) const {
    RunArgs a;
    a.toolFile = path(tool), a.method = method, a.inputs = {path("in")}, a.output = path(output), a.quiet = true;
    return a;
  }
  // The exit code of a run, returned or thrown.
  static int exitOf(const RunArgs& a) {
    try {
      return cmdRun(a);
    } catch (const CliError& e) {
      return e.code();
    }
  }

  fs::path dir_;
  mxImageNormalizer16 tool_{12};
  mxPelBuffer<unsigned short> image_ = image12(2, 0.7, 300);
};

TEST_F(DeepIo, EachFormatKeepsTheToolsResult) {
  for (const char* method : {"histogram", "local-mean"}) {
    ASSERT_EQ(cmdRun(runArgs("t16.imn", method, std::string("out-") + method)), kExitOk) << method;
    bool ok = false;
    std::wstring message;
    const auto want = pelsOf<unsigned short>(tool_.run(image_, parseMethod(method, ""), ok, message));
    for (const char* name : {"a.png", "b.tif", "c.pgm", "d.tif"}) {
      const auto got = fileSamples(path(std::string("out-") + method + "/" + name), 16);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end())) << method << " " << name;
    }
    // Streamed in blocks of 64 x 64 (2 x 2 blocks, the halo of local-mean 52), read from tiles of 16.
    RunArgs streamed = runArgs("t16.imn", method, std::string("s-") + method + ".tif");
    streamed.inputs = {path("in/d.tif")}, streamed.blockSize = 64;
    ASSERT_EQ(cmdRun(streamed), kExitOk) << method;
    // normalize: the 16-bit reference TIFF streamed too, its depth declared.
    RunArgs pieces = streamed;
    pieces.toolFile.clear(), pieces.output = path(std::string("p-") + method + ".tif");
    pieces.tool.reference = path("ref.tif"), pieces.tool.read.bitDepth = 12;
    ASSERT_EQ(cmdNormalize(pieces), kExitOk) << method;
    for (const std::string& out : {streamed.output, pieces.output}) {
      const auto got = fileSamples(out, 16);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end())) << method << " " << out;
    }
  }
}

// run --block-size with a 16-bit luminance colour tool: an RGBA TIFF (tiles
// of 16) streamed in blocks of 32 equals the colour tool's run.
TEST_F(DeepIo, ColourTiffStreamsAsTheToolRuns) {
  const clifixtures::Samples ref = clifixtures::pattern(90, 70, 3, 12), img = clifixtures::pattern(90, 70, 4, 12);
  mxColorNormalizer colour(mxColorNormalizer::Mode::eLuminance, 12);
  const auto buffer = [](const clifixtures::Samples& x) {
    const std::size_t row = std::size_t(x.width * x.channels);
    mxPelBuffer<unsigned short> b(mxPelRect(0, 0, x.width * x.channels, x.height));
    for (std::int32_t y = 0; y < x.height; ++y) std::copy_n(x.v.begin() + std::ptrdiff_t(y * row), row, b.row(y));
    return b;
  };
  colour.neighborhoodSize({15, 15});
  colour.referenceImage(buffer(ref), 3, true);
  colour.train(eLocalCorrection);
  saveTool(path("c16.imn"), colour);
  clifixtures::TiffLayout tiled;
  tiled.tile = 16, tiled.bits = 16;
  ASSERT_TRUE(clifixtures::writeTiff(path("rgba.tif"), {img}, tiled));
  RunArgs a = runArgs("c16.imn", "local-mean", "rgba-out.tif");
  a.inputs = {path("rgba.tif")}, a.blockSize = 32;
  ASSERT_EQ(cmdRun(a), kExitOk);
  bool ok = false;
  std::wstring message;
  const auto want = pelsOf<unsigned short>(colour.run(buffer(img), 4, eLocalCorrection, ok, message));
  const auto got = fileSamples(a.output, 16);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end()));
}

// --depth 8 is v >> (depth - 8) for every image, the depth declared
// (--bit-depth 12) or the file's own (the PGM's 4095, the TIFF's 12 bits).
TEST_F(DeepIo, Depth8ShiftsFromTheDeclaredDepth) {
  mxImageNormalizer eight;
  eight.referenceImage(makeShifted(tool_.referenceImage()), true);
  eight.train(eMatchMeanAndStddev);
  saveTool(path("t8.imn"), eight);
  bool ok = false;
  std::wstring message;
  const auto want = pelsOf<unsigned char>(eight.run(makeShifted(image_), eMatchMeanAndStddev, ok, message));
  for (std::int32_t declared : {12, 0}) {
    RunArgs a = runArgs("t8.imn", "mean-stddev", "o8-" + std::to_string(declared));
    a.read.toDepth8 = true, a.read.bitDepth = declared;
    ASSERT_EQ(cmdRun(a), kExitOk);
    for (const char* name : {"b.tif", "c.pgm"}) {
      const auto got = fileSamples(a.output + "/" + name, 8);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end())) << declared << " " << name;
    }
  }
}

// The JPEG encoder honours the quality: read back by libjpeg, the PSNR at 95
// is high, and higher than at 30.
TEST_F(DeepIo, JpegOutputIsCloseToItsInput) {
  const mxPelBuffer<unsigned char> im = makeShifted(image_);
  auto psnr = [&](int quality) {
    WriteOptions o;
    o.quality = quality;
    const std::vector<std::uint8_t> bytes = codecForName("a.jpg")->encode(im, o, "a.jpg");
    const RawImage back = decodeImage(bytes.data(), bytes.size(), "a.jpg", {});
    double se = 0;
    for (std::int32_t y = 0; y < im.height(); ++y)
      for (std::int32_t x = 0; x < im.width(); ++x) se += std::pow(double(back.row8(y)[x]) - im.row(y)[x], 2);
    return 10 * std::log10(255.0 * 255.0 / (se / (double(im.width()) * im.height()) + 1e-12));
  };
  const double high = psnr(95), low = psnr(30);
  EXPECT_GT(high, 38.0);
  EXPECT_GT(high, low + 3.0);
}

TEST_F(DeepIo, RefusalsWriteNothing) {
  mxImageNormalizer eight;
  eight.referenceImage(makeShifted(tool_.referenceImage()), true);
  eight.train(eMatchHistogram);
  saveTool(path("t8.imn"), eight);
  const struct {
    const char* tool;
    const char* output;
    bool depth8;
    unsigned short pel;  // written into the PNG's first pel when not 0
    int code;
    std::int32_t bitDepth = 0;
  } cases[] = {
      {"t16.imn", "o.jpg", false, 0, kExitUsage},  // a 16-bit result into JPEG
      {"t16.imn", "o1", true, 0, kExitUsage},      // --depth 8 with a 16-bit tool file
      {"t8.imn", "o2", false, 0, kExitInput},      // a 16-bit image for an 8-bit tool
      {"t16.imn", "o3", false, 5000, kExitInput},  // a pel beyond the depth of 12
      {"t8.imn", "o4", false, 0, kExitUsage, 12},  // --bit-depth with an 8-bit tool, no --depth 8
  };
  for (const auto& c : cases) {
    fs::remove_all(path("in"));
    fs::create_directories(path("in"));
    const std::vector<unsigned short> pels = pelsOf<unsigned short>(image_);
    std::vector<std::uint16_t> v(pels.begin(), pels.end());
    if (c.pel) v[0] = c.pel;
    ASSERT_TRUE(clifixtures::writePng(path("in/a.png"), {90, 70, 1, 16, v}));
    RunArgs a = runArgs(c.tool, "histogram", c.output);
    a.inputs = {path("in/a.png")}, a.read.toDepth8 = c.depth8, a.read.bitDepth = c.bitDepth;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(exitOf(a), c.code) << c.output;
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(a.output + (fs::path(c.output).has_extension() ? "" : "/a.png"))) << c.output;
  }
}

}  // namespace

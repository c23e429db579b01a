// Colour images through the program: `imgnorm train --color` then `run`
// against the library's colour tool on the same pels (both modes, 8 and 16
// bits, --depth 8, PNG and PPM outputs, alpha passed through), and the
// refusals (exit code, nothing written).
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "app/commands.h"
#include "common/options.h"
#include "fixtures.h"
#include "imgnorm/mxColorNormalizer.h"
#include "io/tool_file.h"

namespace fs = std::filesystem;
using namespace imgnormcli;

namespace {

constexpr int kW = 60, kH = 40;

// The reference: a pattern over the depth; an image: the same scene under
// another gain and offset per channel, alpha a ramp.
clifixtures::Samples scene(int channels, int bits, bool distorted) {
  clifixtures::Samples s = clifixtures::pattern(kW, kH, channels, bits);
  const double top = bits == 16 ? 65535 : 255;
  for (std::size_t i = 0; i < s.v.size(); ++i) {
    const int c = int(i % std::size_t(channels));
    if (c == 3)
      s.v[i] = std::uint16_t(i * 7 % std::size_t(top));
    else if (distorted)
      s.v[i] = std::uint16_t(std::min(top, s.v[i] * (0.5 + 0.1 * c) + top * 0.2));
  }
  return s;
}

template <class Pel>
mxPelBuffer<Pel> pelsOf(const clifixtures::Samples& s) {
  mxPelBuffer<Pel> b(mxPelRect(0, 0, s.width * s.channels, s.height));
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width * s.channels; ++x) b.row(y)[x] = Pel(s.v[std::size_t(y) * s.width * s.channels + x]);
  return b;
}

// The library's colour tool on the same pels, its result's samples in order.
template <class Pel>
std::vector<std::uint16_t> libraryRun(const char* mode, int bits, mxImageNormalizerDefs::Method m,
                                      const clifixtures::Samples& ref, const clifixtures::Samples& im) {
  mxColorNormalizer lib(parseColorMode(mode, ""), bits);
  lib.referenceImage(pelsOf<Pel>(ref), 3, true);
  lib.train(m);
  bool ok = false;
  std::wstring message;
  const mxPelBuffer<Pel> r = lib.run(pelsOf<Pel>(im), im.channels, m, ok, message);
  std::vector<std::uint16_t> v;
  for (std::int32_t y = 0; y < r.height(); ++y) v.insert(v.end(), r.row(y), r.row(y) + r.width());
  return v;
}

class ColorIo : public ::testing::Test {
protected:
  void SetUp() override {
    installCodecHandlers();
    dir_ = fs::path(::testing::TempDir()) / ("imgnorm_colour_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // Trains by `imgnorm train`; returns the exit code.
  int train(const std::string& color, const std::string& tool, const std::string& reference = "ref.png",
            const ReadOptions& read = {}) {
    TrainArgs t;
    t.tool.reference = path(reference), t.tool.color = color, t.output = path(tool), t.tool.read = read;
    t.methods = {"histogram,local-mean"};
    return exitOf([&] { return cmdTrain(t); });
  }
  RunArgs runArgs(const std::string& tool, const std::string& input, const std::string& output) const {
    RunArgs a;
    a.toolFile = path(tool), a.method = "histogram", a.inputs = {path(input)}, a.output = path(output), a.quiet = true;
    return a;
  }
  template <class F>
  static int exitOf(F&& f) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int code;
    try {
      code = f();
    } catch (const CliError& e) {
      code = e.code();
    }
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    return code;
  }
  fs::path dir_;
};

// Rows: the files' bits, --depth 8 (12-bit colour and 16-bit alpha in the
// files, through an 8-bit colour tool: colour v >> 4, alpha v >> 8), the
// output (PPM holds no alpha: RGB images).
TEST_F(ColorIo, RunEqualsTheLibrarysColourTool) {
  for (const auto& [fileBits, depth8, output] : {std::tuple{8, false, "out.png"},
                                                 {16, false, "out.png"},
                                                 {8, false, "out.ppm"},
                                                 {16, false, "out.ppm"},
                                                 {16, true, "out.png"}})
    for (const char* mode : {"per-channel", "luminance"}) {
      SCOPED_TRACE(std::to_string(fileBits) + " " + std::to_string(depth8) + " " + output + " " + mode);
      const int bits = depth8 ? 8 : fileBits, channels = fs::path(output).extension() == ".ppm" ? 3 : 4;
      clifixtures::Samples ref = scene(3, fileBits, false), im = scene(channels, fileBits, true);
      auto shift = [&](int colour, int alpha) {
        for (clifixtures::Samples* s : {&ref, &im})
          for (std::size_t i = 0; i < s->v.size(); ++i) s->v[i] >>= i % std::size_t(s->channels) == 3 ? alpha : colour;
      };
      if (depth8) shift(4, 0);
      ASSERT_TRUE(clifixtures::writePng(path("ref.png"), ref) && clifixtures::writePng(path("im.png"), im));
      if (depth8) shift(4, 8);
      ReadOptions read;
      read.toDepth8 = depth8, read.bitDepth = depth8 ? 12 : 0;
      ASSERT_EQ(train(mode, "c.imn", "ref.png", read), kExitOk);
      for (const char* method : {"histogram", "local-mean"}) {
        RunArgs a = runArgs("c.imn", "im.png", output);
        a.method = method, a.read = read;
        ASSERT_EQ(exitOf([&] { return cmdRun(a); }), kExitOk) << method;
        ImageInfo info;
        const RawImage got = readRaw(a.output, {}, info);
        ASSERT_EQ(got.bits, bits);
        const auto m = parseMethod(method, "");
        const std::vector<std::uint16_t> out =
            bits == 8 ? std::vector<std::uint16_t>(got.row8(0), got.row8(0) + got.sampleCount())
                      : std::vector<std::uint16_t>(got.row16(0), got.row16(0) + got.sampleCount());
        EXPECT_EQ(out, bits == 8 ? libraryRun<unsigned char>(mode, 8, m, ref, im)
                                 : libraryRun<unsigned short>(mode, 16, m, ref, im))
            << method;
        for (std::size_t i = 3; i < out.size() && channels == 4; i += 4) ASSERT_EQ(out[i], im.v[i]) << "alpha";
      }
    }
}

// Each refusal: its exit code, and no output file.
TEST_F(ColorIo, RefusalsWriteNothing) {
  ASSERT_TRUE(clifixtures::writePng(path("ref.png"), scene(3, 8, false)));
  ASSERT_EQ(train("per-channel", "c8.imn"), kExitOk);
  ASSERT_EQ(train("", "g8.imn"), kExitInput);  // a colour reference without --color or --to-gray
  for (const auto& [name, channels, bits] :
       {std::tuple{"grey.png", 1, 8}, {"ga.png", 2, 8}, {"rgb.png", 3, 8}, {"rgba.png", 4, 8}, {"rgb16.png", 3, 16}})
    ASSERT_TRUE(clifixtures::writePng(path(name), scene(channels, bits, true)));
  ASSERT_TRUE(clifixtures::writeTiff(path("five.tif"), {scene(5, 8, true)}));
  ASSERT_EQ(train("luminance", "g8.imn", "grey.png"), kExitUsage);  // --color, a grey reference
  ASSERT_EQ(train("", "g8.imn", "grey.png"), kExitOk);
  ASSERT_EQ(train("per-channel", "c16.imn", "rgb16.png"), kExitOk);
  const struct {
    const char *tool, *input, *output, *color, *read;
    int code;
  } cases[] = {
      {"c8.imn", "grey.png", "o1.png", "", "", kExitInput},                 // grey image, colour tool
      {"c8.imn", "ga.png", "o2.png", "", "", kExitInput},                   // grey + alpha (2 channels)
      {"c8.imn", "rgb16.png", "o3.png", "", "", kExitInput},                // 16-bit colour, 8-bit colour tool
      {"c8.imn", "five.tif", "o3.tif", "", "", kExitInput},                 // 5 samples a pel
      {"g8.imn", "rgb.png", "o4.png", "", "", kExitInput},                  // colour image, grey tool
      {"c8.imn", "rgb.png", "o5.pgm", "", "", kExitUsage},                  // colour into PGM
      {"c8.imn", "rgba.png", "o6.jpg", "", "", kExitInput},                 // alpha into JPEG
      {"c8.imn", "rgba.png", "o6.ppm", "", "", kExitInput},                 // alpha into PPM
      {"g8.imn", "grey.png", "o7.png", "luminance", "", kExitUsage},        // --color, grey tool
      {"c8.imn", "rgb.png", "o8.png", "luminance", "", kExitUsage},         // another mode
      {"c8.imn", "rgb.png", "o9.png", "", "to-gray", kExitUsage},           // --to-gray, colour tool
      {"c16.imn", "rgb16.png", "o10.png", "", "depth8", kExitUsage},        // --depth 8, 16-bit colour tool
      {"c8.imn", "rgb16.png", "o11.png", "", "depth8 bits12", kExitInput},  // pels above the declared 12 bits
  };
  for (const auto& c : cases) {
    RunArgs a = runArgs(c.tool, c.input, c.output);
    const std::string read = c.read;
    a.tool.color = c.color, a.read.toGray = read == "to-gray", a.read.toDepth8 = read.rfind("depth8", 0) == 0;
    a.read.bitDepth = read.find("bits12") != std::string::npos ? 12 : 0;
    EXPECT_EQ(exitOf([&] { return cmdRun(a); }), c.code) << c.output;
    EXPECT_FALSE(fs::exists(a.output)) << c.output;
  }
}

}  // namespace

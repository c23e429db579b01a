// Colour images through the program: `imgnorm train --color` then `run`
// against the library's colour tool on the same pels (both modes, 8 and 16
// bits, alpha passed through), and the refusals (exit code, nothing written).
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
  int train(const std::string& color, const std::string& tool, const std::string& reference = "ref.png") {
    TrainArgs t;
    t.tool.reference = path(reference), t.tool.color = color, t.output = path(tool);
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

TEST_F(ColorIo, RunEqualsTheLibrarysColourTool) {
  for (int bits : {8, 16})
    for (const char* mode : {"per-channel", "luminance"}) {
      SCOPED_TRACE(std::to_string(bits) + " " + mode);
      const clifixtures::Samples ref = scene(3, bits, false), im = scene(4, bits, true);
      ASSERT_TRUE(clifixtures::writePng(path("ref.png"), ref) && clifixtures::writePng(path("im.png"), im));
      ASSERT_EQ(train(mode, "c.imn"), kExitOk);
      for (const char* method : {"histogram", "local-mean"}) {
        RunArgs a = runArgs("c.imn", "im.png", "out.png");
        a.method = method;
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
        for (std::size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], im.v[i]) << "alpha";
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
  const struct {
    const char *tool, *input, *output, *color;
    bool toGray;
    int code;
  } cases[] = {
      {"c8.imn", "grey.png", "o1.png", "", false, kExitInput},           // grey image, colour tool
      {"c8.imn", "ga.png", "o2.png", "", false, kExitInput},             // grey + alpha (2 channels)
      {"c8.imn", "rgb16.png", "o3.png", "", false, kExitInput},          // 16-bit colour, 8-bit colour tool
      {"c8.imn", "five.tif", "o3.tif", "", false, kExitInput},           // 5 samples a pel
      {"g8.imn", "rgb.png", "o4.png", "", false, kExitInput},            // colour image, grey tool
      {"c8.imn", "rgb.png", "o5.pgm", "", false, kExitUsage},            // colour into PGM
      {"c8.imn", "rgba.png", "o6.jpg", "", false, kExitInput},           // alpha into JPEG
      {"g8.imn", "grey.png", "o7.png", "luminance", false, kExitUsage},  // --color, grey tool
      {"c8.imn", "rgb.png", "o8.png", "luminance", false, kExitUsage},   // another mode
      {"c8.imn", "rgb.png", "o9.png", "", true, kExitUsage},             // --to-gray, colour tool
  };
  for (const auto& c : cases) {
    RunArgs a = runArgs(c.tool, c.input, c.output);
    a.tool.color = c.color, a.read.toGray = c.toGray;
    EXPECT_EQ(exitOf([&] { return cmdRun(a); }), c.code) << c.output;
    EXPECT_FALSE(fs::exists(a.output)) << c.output;
  }
}

}  // namespace

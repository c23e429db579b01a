// Colour images through the program: `imgnorm train --color` then `run`
// against the library's colour tool on the same pels (both modes, 8 and 16
// bits, alpha passed through), and the refusals (exit code, nothing written).
#include <gtest/gtest.h>

#include <filesystem>

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

class ColorIo : public ::testing::Test {
protected:
  void SetUp() override {
    installCodecHandlers();
    dir_ = fs::path(::testing::TempDir()) / ("imgnorm_colour_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  // Trains by `imgnorm train` (reference ref.png); returns the exit code.
  int train(const std::string& color, const std::string& tool) {
    TrainArgs t;
    t.tool.reference = path("ref.png"), t.tool.color = color, t.output = path(tool);
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
      const std::string what = std::to_string(bits) + " " + mode;
      const clifixtures::Samples ref = scene(3, bits, false), im = scene(4, bits, true);
      ASSERT_TRUE(clifixtures::writePng(path("ref.png"), ref));
      ASSERT_TRUE(clifixtures::writePng(path("im.png"), im));
      ASSERT_EQ(train(mode, "c.imn"), kExitOk) << what;
      mxColorNormalizer lib(parseColorMode(mode, ""), bits);
      for (const char* method : {"histogram", "local-mean"}) {
        RunArgs a = runArgs("c.imn", "im.png", "out.png");
        a.method = method;
        ASSERT_EQ(exitOf([&] { return cmdRun(a); }), kExitOk) << what << " " << method;
        ImageInfo info;
        const RawImage got = readRaw(a.output, {}, info);
        ASSERT_EQ(got.channels, 4) << what;
        ASSERT_EQ(got.bits, bits) << what;
        bool ok = false;
        std::wstring message;
        std::vector<std::uint16_t> want;
        const auto m = parseMethod(method, "");
        auto flatten = [&](const auto& b) {
          for (std::int32_t y = 0; y < b.height(); ++y) want.insert(want.end(), b.row(y), b.row(y) + b.width());
        };
        if (bits == 8) {
          lib.referenceImage(pelsOf<unsigned char>(ref), 3, true);
          lib.train(m);
          flatten(lib.run(pelsOf<unsigned char>(im), 4, m, ok, message));
        } else {
          lib.referenceImage(pelsOf<unsigned short>(ref), 3, true);
          lib.train(m);
          flatten(lib.run(pelsOf<unsigned short>(im), 4, m, ok, message));
        }
        const std::vector<std::uint16_t> out =
            bits == 8 ? std::vector<std::uint16_t>(got.row8(0), got.row8(0) + got.sampleCount())
                      : std::vector<std::uint16_t>(got.row16(0), got.row16(0) + got.sampleCount());
        EXPECT_EQ(out, want) << what << " " << method;
        for (std::size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], im.v[i]) << "alpha " << what;
      }
    }
}

// Each refusal: its exit code, and no output file.
TEST_F(ColorIo, RefusalsWriteNothing) {
  ASSERT_TRUE(clifixtures::writePng(path("ref.png"), scene(3, 8, false)));
  ASSERT_EQ(train("per-channel", "c8.imn"), kExitOk);
  ASSERT_EQ(train("", "g8.imn"), kExitInput);  // a colour reference without --color or --to-gray
  ASSERT_TRUE(clifixtures::writePng(path("grey.png"), scene(1, 8, false)));
  ASSERT_TRUE(clifixtures::writePng(path("ga.png"), scene(2, 8, true)));
  ASSERT_TRUE(clifixtures::writePng(path("rgb.png"), scene(3, 8, true)));
  ASSERT_TRUE(clifixtures::writePng(path("rgba.png"), scene(4, 8, true)));
  ASSERT_TRUE(clifixtures::writePng(path("rgb16.png"), scene(3, 16, true)));
  ASSERT_TRUE(clifixtures::writeTiff(path("five.tif"), {scene(5, 8, true)}));
  {
    TrainArgs t;
    t.tool.reference = path("grey.png"), t.output = path("g8.imn");
    ASSERT_EQ(exitOf([&] { return cmdTrain(t); }), kExitOk);
  }
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

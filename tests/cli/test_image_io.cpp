// Image codecs of the imgnorm program: round trips, refusal and conversion of
// colour / alpha / 16-bit files, and corrupt or truncated files.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "../support/testImages.h"
#include "baseif/mxPelOps.h"
#include "cli_error.h"
#include "fixtures.h"
#include "image_io.h"
#include "tool_file.h"

namespace fs = std::filesystem;
using namespace imgnormcli;

namespace {

class ImageIo : public ::testing::Test {
protected:
  void SetUp() override {
    installCodecHandlers();
    dir_ = fs::path(::testing::TempDir()) / ("imgnorm_io_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// Expects f() to throw CliError with the given code and a message holding every fragment.
template <class F>
void expectCliError(F&& f, ExitCode code, std::initializer_list<std::string> fragments) {
  try {
    f();
    FAIL() << "no error";
  } catch (const CliError& e) {
    EXPECT_EQ(e.code(), code) << e.what();
    for (const std::string& s : fragments) EXPECT_NE(std::string(e.what()).find(s), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
  }
}

std::size_t filesIn(const fs::path& d) {
  return std::size_t(std::distance(fs::directory_iterator(d), fs::directory_iterator()));
}

}  // namespace

TEST_F(ImageIo, RoundTripsEveryFormatAndSize) {
  const char* exts[] = {"png", "tif", "tiff", "pgm", "PNG"};
  const std::pair<int, int> sizes[] = {{1, 1}, {7, 3}, {33, 17}, {300, 2}};
  unsigned seed = 1;
  for (const char* ext : exts)
    for (auto [w, h] : sizes) {
      const auto im = randomImage(w, h, seed++);
      const std::string p = path("im_" + std::to_string(w) + "x" + std::to_string(h) + "." + ext);
      writeImage(p, im);
      EXPECT_TRUE(mfPelEqual<unsigned char>(readImage(p, false), im)) << p;
    }
  // Only the images remain: no temporary files.
  EXPECT_EQ(filesIn(dir_), std::size(exts) * std::size(sizes));
}

TEST_F(ImageIo, WritesOnlyTheWindow) {
  const auto big = randomImage(20, 10, 7);
  mxPelBuffer<unsigned char> win = big;
  win.window(mxPelRect(3, 2, 9, 5));
  writeImage(path("w.png"), win);
  win.offset(mxPairL(0, 0));
  EXPECT_TRUE(mfPelEqual<unsigned char>(readImage(path("w.png"), false), win));
}

// Colour, alpha and 16-bit files: refused without --to-gray, converted to
// luma (0.299 R + 0.587 G + 0.114 B), alpha dropped and 16 bits scaled with it.
// Tiled TIFF files, grey ones read as they are.
TEST_F(ImageIo, ColourAlphaAnd16BitRefusedOrConverted) {
  using clifixtures::Samples;
  struct Case {
    const char* name;
    int channels, bits;
    bool tiff, tiled;
    const char* said;
  };
  const Case cases[] = {
      {"rgb8.png", 3, 8, false, false, "colour"},   {"rgba8.png", 4, 8, false, false, "alpha"},
      {"ga8.png", 2, 8, false, false, "alpha"},     {"g16.png", 1, 16, false, false, "16-bit"},
      {"rgb16.png", 3, 16, false, false, "16-bit"}, {"rgb8.tif", 3, 8, true, false, "colour"},
      {"g16.tif", 1, 16, true, false, "16-bit"},    {"rgb8_tiled.tif", 3, 8, true, true, "colour"},
      {"g8_tiled.tif", 1, 8, true, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Samples s = clifixtures::pattern(23, 11, c.channels, c.bits);
    const std::string p = path(c.name);
    ASSERT_TRUE(c.tiff ? clifixtures::writeTiff(p, s, c.tiled) : clifixtures::writePng(p, s));
    if (c.said) expectCliError([&] { readImage(p, false); }, kExitInput, {p, c.said, "--to-gray"});
    ReadOptions o;
    o.toGray = c.said != nullptr;
    o.scaling.mode = GrayScaling::kFull;
    const auto grey = readImage(p, o);
    ASSERT_EQ(grey.width(), 23);
    ASSERT_EQ(grey.height(), 11);
    const double maxv = c.bits == 16 ? 65535.0 : 255.0;
    int worst = 0;
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 23; ++x) {
        double v = s.at(x, y, 0);
        if (c.channels >= 3) v = 0.299 * s.at(x, y, 0) + 0.587 * s.at(x, y, 1) + 0.114 * s.at(x, y, 2);
        const int want = int(std::floor(v * 255.0 / maxv + 0.5));
        worst = std::max(worst, std::abs(want - int(grey.row(y)[x])));
      }
    // One rounding step in the program against one here: 8-bit cases agree
    // exactly; a 16-bit colour pel may differ by one level.
    EXPECT_LE(worst, c.bits == 16 && c.channels >= 3 ? 1 : 0);
  }
}

TEST_F(ImageIo, CorruptAndTruncatedFilesNameTheFile) {
  for (const char* ext : {"png", "tif", "pgm"}) {
    const std::string good = path(std::string("good.") + ext);
    writeImage(good, randomImage(64, 64, 3));
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (double frac : {0.0, 0.1, 0.5, 0.9}) {
      const std::string p = path("cut" + std::to_string(int(frac * 100)) + "." + ext);
      std::ofstream(p, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() * frac));
      SCOPED_TRACE(p);
      expectCliError([&] { readImage(p, false); }, kExitInput, {p});
    }
    const std::string garbage = path(std::string("garbage.") + ext);
    std::ofstream(garbage, std::ios::binary) << std::string(500, 'z');
    expectCliError([&] { readImage(garbage, false); }, kExitInput, {garbage});
  }
  expectCliError([&] { readImage(path("missing.png"), false); }, kExitInput, {"missing.png", "No such file"});
  fs::create_directory(path("folder.png"));
  expectCliError([&] { readImage(path("folder.png"), false); }, kExitInput, {"folder.png", "folder"});
  std::ofstream(path("x.gif"), std::ios::binary) << "GIF89a";
  expectCliError([&] { readImage(path("x.gif"), false); }, kExitInput, {"x.gif", "not an image file"});
}

// A header that claims far more pels than the file could hold is refused
// before anything is allocated for them.
TEST_F(ImageIo, AbsurdSizesAreRefusedBeforeAllocation) {
  // A PNG signature, an IHDR chunk for 60000 x 60000 grey pels and an empty IDAT chunk.
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  const auto chunk = [&](std::vector<std::uint8_t> typeAndData) {
    const std::uint32_t n = std::uint32_t(typeAndData.size() - 4), crc = crc32(typeAndData.data(), typeAndData.size());
    for (int i = 3; i >= 0; --i) png.push_back(std::uint8_t(n >> (8 * i)));
    png.insert(png.end(), typeAndData.begin(), typeAndData.end());
    for (int i = 3; i >= 0; --i) png.push_back(std::uint8_t(crc >> (8 * i)));
  };
  chunk({'I', 'H', 'D', 'R', 0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60, 8, 0, 0, 0, 0});
  chunk({'I', 'D', 'A', 'T'});
  std::ofstream(path("huge.png"), std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  expectCliError([&] { readImage(path("huge.png"), false); }, kExitInput, {"huge.png", "60000 x 60000"});

  std::ofstream(path("huge.pgm"), std::ios::binary) << "P5\n60000 60000\n255\n" << std::string(100, '\0');
  expectCliError([&] { readImage(path("huge.pgm"), false); }, kExitInput, {"huge.pgm", "60000 x 60000"});
  std::ofstream(path("zero.pgm"), std::ios::binary) << "P5\n0 5\n255\n";
  expectCliError([&] { readImage(path("zero.pgm"), false); }, kExitInput, {"zero.pgm"});
}

TEST_F(ImageIo, PgmVariants) {
  // Comments in the header, a maximum value below 255 (scaled), 16-bit samples.
  std::ofstream(path("c.pgm"), std::ios::binary) << "P5\n# made by hand\n3 1\n# max\n15\n" << '\0' << '\x07' << '\x0f';
  const auto im = readImage(path("c.pgm"), false);
  EXPECT_EQ(im.row(0)[0], 0);
  EXPECT_EQ(im.row(0)[1], 119);  // 7 * 255 / 15
  EXPECT_EQ(im.row(0)[2], 255);
  std::ofstream(path("w.pgm"), std::ios::binary) << "P5 2 1 65535\n" << '\x80' << '\x00' << '\xff' << '\xff';
  expectCliError([&] { readImage(path("w.pgm"), false); }, kExitInput, {"16-bit"});
  ReadOptions full;
  full.toGray = true;
  full.scaling.mode = GrayScaling::kFull;
  const auto w = readImage(path("w.pgm"), full);
  EXPECT_EQ(w.row(0)[0], 128);  // 32768 * 255 / 65535 = 127.5 -> 128
  EXPECT_EQ(w.row(0)[1], 255);
}

TEST_F(ImageIo, WriteFailuresLeaveNothingBehind) {
  const auto im = randomImage(8, 8, 5);
  expectCliError([&] { writeImage(path("no/such/folder/x.png"), im); }, kExitOutput, {"x.png"});
  expectCliError([&] { writeImage(path("x.jpg"), im); }, kExitUsage, {"x.jpg", "unknown image format"});
  // Replacing an existing file goes through a temporary that is renamed away.
  writeImage(path("x.png"), im);
  writeImage(path("x.png"), randomImage(8, 8, 6));
  EXPECT_EQ(filesIn(dir_), 1u);
  EXPECT_TRUE(mfPelEqual<unsigned char>(readImage(path("x.png"), false), randomImage(8, 8, 6)));
}

// Image codecs, file replacement, the batch planner and the report's own files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "../support/checks.h"
#include "../support/testImages.h"
#include "baseif/mxPelOps.h"
#include "batch/batch.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "fixtures.h"
#include "imgnorm/mxToolFile.h"
#include "io/codecs.h"
#include "io/deflate_huffman.h"
#include "io/image_io.h"
#include "io/png_writer.h"
#include "io/tool_file.h"
#include "report/report.h"

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

template <class F>
void expectCliError(F&& f, ExitCode code, std::initializer_list<std::string> fragments) {
  expectCodedError<CliError>(f, code, fragments);
}

std::size_t filesIn(const fs::path& d) {
  return std::size_t(std::distance(fs::directory_iterator(d), fs::directory_iterator()));
}

}  // namespace

TEST_F(ImageIo, RoundTripsEveryFormatSettingAndSize) {
  struct Setting {
    const char* ext;
    WriteOptions options;
  };
  const Setting settings[] = {{"png", {}},
                              {"PNG", {0, TiffCompression::kNone}},
                              {"png", {9, TiffCompression::kNone}},
                              {"tif", {}},
                              {"tiff", {-1, TiffCompression::kLzw}},
                              {"tif", {-1, TiffCompression::kDeflate}},
                              {"tif", {-1, TiffCompression::kZstd}},
                              {"pgm", {}}};
  // Odd sizes, and one that spans several blocks of the fast PNG encoder.
  const std::pair<int, int> sizes[] = {{1, 1}, {7, 3}, {300, 2}, {700, 500}};
  int n = 0;
  for (const Setting& st : settings) {
    if (st.options.compression == TiffCompression::kZstd && !tiffCompressionAvailable(TiffCompression::kZstd)) continue;
    for (auto [w, h] : sizes)
      for (bool constant : {false, true}) {  // a constant image gives a one-symbol Huffman code
        // Random images are windows of a larger store: only the window is written.
        auto im = randomImage(w + 5, h + 3, unsigned(n + 1), 0, 255, -3, -2);
        im.window(mxPelRect(0, 0, w, h));
        if (constant) mfPelSet(im, (unsigned char)(77));
        const std::string p = path("im" + std::to_string(n++) + "." + st.ext);
        writeImage(p, im, st.options);
        EXPECT_TRUE(mfPelEqual<unsigned char>(readImage(p, false), im)) << p;
      }
  }
  // Only the images remain: no temporary files.
  EXPECT_EQ(filesIn(dir_), std::size_t(n));
}

// At the edges of its blocks and of zlib's 64 KiB window; random and one-symbol data.
TEST(HuffmanDeflate, InflatesBackThroughZlib) {
  std::mt19937 rng(7);
  for (std::size_t n : {0, 1, 65535, 65536, 65537, 256 * 1024 + 1})
    for (bool constant : {false, true}) {
      std::vector<std::uint8_t> data(n, 200);
      if (!constant)
        for (auto& b : data) b = std::uint8_t(rng());
      const std::vector<std::uint8_t> z = huffmanOnlyZlib(data.data(), n);
      std::vector<std::uint8_t> back(n + 1);
      uLongf got = back.size();
      ASSERT_EQ(uncompress(back.data(), &got, z.data(), z.size()), Z_OK) << n << (constant ? " constant" : " random");
      back.resize(got);
      EXPECT_EQ(back, data) << n;
    }
}

// The filters reach a whole pel (three bytes) back.
TEST_F(ImageIo, PngWriterKeepsRgbRows) {
  const auto im = randomImage(3 * 37, 11, 9);
  for (int level : {-1, 0, 1, 9}) {
    const auto bytes = encodePngRows(
        37, 11, 3, [&](std::int32_t y) { return im.row(y); }, level, "rgb.png");
    const RawImage raw = decodeImage(bytes.data(), bytes.size(), "rgb.png", ReadOptions());
    ASSERT_EQ(raw.channels, 3);
    for (std::int32_t y = 0; y < 11; ++y)
      EXPECT_EQ(std::memcmp(raw.row8(y), im.row(y), 3 * 37), 0) << "level " << level << " row " << y;
  }
}

// Every extension (any case) and magic leads back to its row; what a row writes, it reads.
TEST_F(ImageIo, CodecTableRowsAgree) {
  const auto im = randomImage(9, 4, 3);
  std::set<std::string> keys;
  for (const Codec& c : codecs()) {
    EXPECT_TRUE(keys.insert(c.key).second) << c.key;
    EXPECT_EQ(c.encode != nullptr, !c.writes.empty()) << c.key;
    for (const char* e : c.extensions) {
      std::string upper = e;
      for (char& ch : upper) ch = char(std::toupper(ch));
      EXPECT_EQ(codecForName(std::string("a.") + e), &c) << e;
      EXPECT_EQ(codecForName("dir.x/A." + upper), &c) << upper;
    }
    for (std::string_view m : c.magic)
      EXPECT_EQ(codecForBytes(reinterpret_cast<const std::uint8_t*>(m.data()), m.size()), &c) << c.key;
    for (const char* e : c.writes) {
      EXPECT_EQ(codecForName(std::string("a.") + e), &c) << e;
      const std::vector<std::uint8_t> bytes = c.encode(im, {}, e);
      EXPECT_EQ(codecForBytes(bytes.data(), bytes.size()), &c) << e;
    }
  }
  EXPECT_EQ(codecForName("a.gif"), nullptr);
  EXPECT_EQ(codecForName("png"), nullptr);
}

TEST_F(ImageIo, WriteFailuresLeaveNothingBehind) {
  const auto im = randomImage(8, 8, 5);
  expectCliError([&] { writeImage(path("no/such/folder/x.png"), im); }, kExitOutput, {"x.png"});
  expectCliError([&] { writeImage(path("x.gif"), im); }, kExitUsage, {"x.gif", "unknown image format"});
  // A full device: the write fails with the system's reason.
  const int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::vector<std::uint8_t> bytes(100000, 7);
  EXPECT_FALSE(writeAll(fd, bytes.data(), bytes.size()));
  const int err = errno;
  ::close(fd);
  EXPECT_EQ(err, ENOSPC);
  EXPECT_EQ(errnoText(err), "No space left on device");
}

// Grey palettes, sub-byte depths, min-is-white, planes, tiles; colour, alpha and 16-bit
// files refused without --to-gray and converted to luma (0.299 R + 0.587 G + 0.114 B).
TEST_F(ImageIo, EveryInputFormatGivesTheStoredGreys) {
  using namespace clifixtures;
  const int W = 37, H = 21;
  const Samples grey = pattern(W, H, 1, 8);
  Samples rgb{W, H, 3, 8, {}}, bit{W, H, 1, 8, {}}, nibble{W, H, 1, 8, {}};
  for (std::uint16_t v : grey.v) {
    rgb.v.insert(rgb.v.end(), {v, v, v});
    bit.v.push_back(v >= 128);
    nibble.v.push_back(v >> 4);
  }
  const auto g = [&](int x, int y) { return int(grey.at(x, y, 0)); };
  const Samples rgb8 = pattern(W, H, 3, 8), rgba8 = pattern(W, H, 4, 8), ga8 = pattern(W, H, 2, 8),
                g16 = pattern(W, H, 1, 16), rgb16 = pattern(W, H, 3, 16);
  const auto luma = [](const Samples& s) {
    return [&s](int x, int y) {
      const double v =
          s.channels < 3 ? s.at(x, y, 0) : 0.299 * s.at(x, y, 0) + 0.587 * s.at(x, y, 1) + 0.114 * s.at(x, y, 2);
      return int(std::floor(v * 255.0 / (s.bits == 16 ? 65535.0 : 255.0) + 0.5));
    };
  };
  const auto lay = [](int bits, int photometric, bool separate = false, std::uint32_t tile = 0) {
    TiffLayout l;
    l.bits = bits, l.photometric = photometric, l.separate = separate, l.tile = tile;
    return l;
  };
  TiffLayout palette = lay(0, PHOTOMETRIC_PALETTE), tiles = lay(0, -1, false, 16);
  for (int i = 0; i < 3 * 256; ++i) palette.colormap.push_back(std::uint16_t(i % 256 * 256));
  const auto png = [](const Samples& s, Palette p = Palette::kNone) {
    return [&s, p](const std::string& f) { return writePng(f, s, p); };
  };
  const auto tif = [](const Samples& s, TiffLayout l = {}) {
    return [&s, l](const std::string& f) { return writeTiff(f, {s}, l); };
  };
  const auto jpg = [](const Samples& s, bool progressive) {
    return [&s, progressive](const std::string& f) { return writeJpeg(f, s, 100, progressive); };
  };
  const auto bytesTo = [](const std::vector<std::uint8_t>& b) {
    return [b](const std::string& p) {
      return bool(std::ofstream(p, std::ios::binary).write((const char*)b.data(), std::streamsize(b.size())));
    };
  };
  // Header comments; a maximum below 255 (scaled and rounded, samples above it clamped).
  const auto pgm14 = [&](const std::string& p) {
    std::ofstream f(p, std::ios::binary);
    f << "P5\n# made by hand\n" << W << " " << H << "\n# max\n14\n";
    for (std::uint16_t v : nibble.v) f.put(char(std::min<std::uint16_t>(v, 14)));  // 15 would be beyond the maximum
    return bool(f);
  };
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> write;
    bool toGray;
    int tolerance;  // JPEG is lossy; a 16-bit colour pel: one rounding here against one in the program
    std::function<int(int, int)> want;
    const char* refusedWithout = nullptr;  // the reason without --to-gray
  };
  const Case cases[] = {
      {"palette_grey.png", png(grey, Palette::kGrey), false, 0, g},
      {"palette_grey.tif", tif(grey, palette), false, 0,
       [&](int x, int y) { return (g(x, y) * 65280 + 32767) / 65535; }},
      {"grey.jpg", jpg(grey, false), false, 3, g},
      {"progressive.jpg", jpg(grey, true), false, 3, g},
      {"rgb.jpg", jpg(rgb, false), true, 4, g},
      {"grey8.bmp", bytesTo(bmpBytes(grey, 8, false)), false, 0, g},
      {"topdown.bmp", bytesTo(bmpBytes(grey, 8, true)), false, 0, g},
      {"rgb24.bmp", bytesTo(bmpBytes(rgb, 24, false)), true, 0, g},
      {"bits1.bmp", bytesTo(bmpBytes(grey, 1, false)), false, 0,
       [&](int x, int y) { return g(x, y) >= 128 ? 255 : 0; }},
      {"bits1.tif", tif(bit, lay(1, -1)), false, 0, [&](int x, int y) { return g(x, y) >= 128 ? 255 : 0; }},
      {"bits4.tif", tif(nibble, lay(4, -1)), false, 0, [&](int x, int y) { return (g(x, y) >> 4) * 17; }},
      {"maxval14.pgm", pgm14, false, 0,
       [&](int x, int y) { return int(std::lround(std::min(g(x, y) >> 4, 14) * 255 / 14.0)); }},
      {"white.tif", tif(grey, lay(0, PHOTOMETRIC_MINISWHITE)), false, 0, [&](int x, int y) { return 255 - g(x, y); }},
      {"planes.tif", tif(rgb, lay(0, PHOTOMETRIC_RGB, true)), true, 0, g},
      {"g8_tiled.tif", tif(grey, tiles), false, 0, g},
      {"rgb8.png", png(rgb8), true, 0, luma(rgb8), "colour"},
      {"rgba8.png", png(rgba8), true, 0, luma(rgba8), "alpha"},
      {"ga8.png", png(ga8), true, 0, luma(ga8), "alpha"},
      {"g16.png", png(g16), true, 0, luma(g16), "16-bit"},
      {"rgb16.png", png(rgb16), true, 1, luma(rgb16), "16-bit"},
      {"rgb8.tif", tif(rgb8), true, 0, luma(rgb8), "colour"},
      {"g16.tif", tif(g16), true, 0, luma(g16), "16-bit"},
      {"rgb8_tiled.tif", tif(rgb8, tiles), true, 0, luma(rgb8), "colour"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = path(c.name);
    ASSERT_TRUE(c.write(p));
    if (c.refusedWithout) expectCliError([&] { readImage(p, false); }, kExitInput, {p, c.refusedWithout, "--to-gray"});
    ReadOptions o;
    o.toGray = c.toGray;
    o.scaling.mode = GrayScaling::kFull;
    // The whole image, and a part reaching past the bottom edge.
    for (const mxPelRect keep : {mxPelRect(), mxPelRect(5, 3, 20, 40)}) {
      o.keep = keep;
      ImageInfo info;
      const auto im = readImage(p, o, &info);
      const mxPelRect want = keep.isNull() ? mxPelRect(0, 0, W, H) : mxPelRect(5, 3, 20, H - 3);
      ASSERT_TRUE(im.window() == want && info.width == W && info.height == H);
      int worst = 0;
      for (int y = want.y(); y < H; ++y)
        for (int x = want.x(); x < want.x() + want.width(); ++x)
          worst = std::max(worst, std::abs(int(*im.pointToPel(x, y)) - c.want(x, y)));
      EXPECT_LE(worst, c.tolerance);
      EXPECT_TRUE(info.warnings.empty());
    }
  }
}

// One line naming the file and the reason, exit code 3.
TEST_F(ImageIo, BadInputIsRefusedWithTheReason) {
  using namespace clifixtures;
  const auto text = [](const std::string& bytes) {
    return [bytes](const std::string& p) { std::ofstream(p, std::ios::binary) << bytes; };
  };
  const auto writeBytes = [](const std::string& p, const std::vector<std::uint8_t>& b, double frac) {
    std::ofstream(p, std::ios::binary).write((const char*)b.data(), std::streamsize(double(b.size()) * frac));
  };
  const auto cut = [&](const std::string& p, double frac) { writeBytes(p, readFileBytes(p), frac); };
  const auto poke = [&](const std::string& p, std::size_t at, const std::string& bytes) {
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(at));
    f.write(bytes.data(), std::streamsize(bytes.size()));
  };
  const Samples big = pattern(400, 300, 1, 8);
  const Samples constant16{20, 10, 1, 16, std::vector<std::uint16_t>(200, 1000)};
  const auto stripOf = [](std::size_t n) { return std::vector<std::uint8_t>(n, 0x5A); };
  // A PNG signature, an IHDR chunk for 60000 x 60000 grey pels and an empty IDAT chunk.
  std::vector<std::uint8_t> hugePng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const std::vector<std::uint8_t>& c :
       {std::vector<std::uint8_t>{'I', 'H', 'D', 'R', 0, 0, 0xEA, 0x60, 0, 0, 0xEA, 0x60, 8, 0, 0, 0, 0},
        std::vector<std::uint8_t>{'I', 'D', 'A', 'T'}}) {
    const std::uint32_t n = std::uint32_t(c.size() - 4), crc = mxToolFile::crc32(c.data(), c.size());
    for (int i = 3; i >= 0; --i) hugePng.push_back(std::uint8_t(n >> (8 * i)));
    hugePng.insert(hugePng.end(), c.begin(), c.end());
    for (int i = 3; i >= 0; --i) hugePng.push_back(std::uint8_t(crc >> (8 * i)));
  }
  ReadOptions plain, toGray, page3, page2, small;
  toGray.toGray = true;
  page3.page = 3;
  page2.page = 2;
  small.maxPixels = 1000;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    const ReadOptions& options;
    const char* said;
  };
  const Case cases[] = {
      {"cmyk.jpg", [&](const std::string& p) { writeJpeg(p, pattern(16, 16, 4, 8), 90, false); }, toGray, "CMYK JPEG"},
      {"cut.jpg", [&](const std::string& p) { writeJpeg(p, big, 90, false), cut(p, 0.6); }, plain,
       "corrupt or truncated JPEG"},
      {"cut_progressive.jpg", [&](const std::string& p) { writeJpeg(p, big, 90, true), cut(p, 0.6); }, plain,
       "corrupt or truncated JPEG"},
      {"corrupt.jpg", [&](const std::string& p) { writeJpeg(p, big, 90, false), poke(p, 2000, "\xff\xd9\xff\xd0"); },
       plain, "corrupt or truncated JPEG"},
      {"colour_palette.png", [&](const std::string& p) { writePng(p, big, Palette::kColour); }, plain,
       "palette colour image"},
      {"pages.tif",
       [&](const std::string& p) {
         writeTiff(p, {big, big});
       },
       page3, "page 3 asked for, but the file has 2 pages"},
      {"page2.png", [&](const std::string& p) { writePng(p, big); }, page2, "the file has 1 page"},
      {"constant16.png", [&](const std::string& p) { writePng(p, constant16); }, toGray, "one value only (1000)"},
      // Libtiff's RGBA reader, told not to stop at errors, used to repeat earlier rows here.
      {"cut_bits1.tif",
       [&](const std::string& p) { writeBytes(p, headerFirstTiff(400, 300, 1, 1, 1, stripOf(400 * 300 / 8)), 0.3); },
       plain, "truncated"},
      {"cut_cmyk.tif",
       [&](const std::string& p) { writeBytes(p, headerFirstTiff(400, 300, 8, 4, 5, stripOf(400 * 300 * 4)), 0.5); },
       toGray, "truncated"},
      {"cut.bmp", [&](const std::string& p) { writeBytes(p, bmpBytes(big, 8, false), 0.5); }, plain, "truncated"},
      {"rle.bmp",
       [&](const std::string& p) {
         auto b = bmpBytes(big, 8, false);
         b[30] = 1, writeBytes(p, b, 1);
       },
       plain, "RLE"},
      {"limit.png", [&](const std::string& p) { writePng(p, big); }, small, "raise it with --max-pixels"},
      {"garbage.png", text(std::string(500, 'z')), plain, "not a PNG file"},
      {"garbage.tif", text(std::string(500, 'z')), plain, ""},
      {"garbage.pgm", text(std::string(500, 'z')), plain, ""},
      {"x.gif", text("GIF89a"), plain, "not an image file"},
      {"missing.png", [](const std::string&) {}, plain, "No such file"},
      {"folder.png", [](const std::string& p) { fs::create_directory(p); }, plain, "folder"},
      // A FIFO would block a reader: it is not read.
      {"fifo.pgm", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }, plain, "FIFO, not a regular file"},
      {"huge.png", [&](const std::string& p) { writeBytes(p, hugePng, 1); }, plain, "60000 x 60000"},
      // 512 MiB of 16-bit RGBA claimed by a few KB of ZSTD (no bound on its ratio).
      {"bomb.tif",
       [&](const std::string& p) {
         writeBytes(p, headerFirstTiff(8192, 8192, 16, 4, 2, stripOf(4096)), 1), poke(p, 54, "\x50\xC3");
       },
       plain, "likely decompression bomb (accept it with --max-pixels 536870912)"},
      // Sizes beyond what the file could hold are refused before allocation.
      {"huge.pgm", text("P5\n60000 60000\n255\n" + std::string(100, '\0')), plain, "60000 x 60000"},
      {"zero.pgm", text("P5\n0 5\n255\n"), plain, ""},
      {"above.pgm", text(std::string("P5\n2 2\n100\n\0\x32\x64\xc8", 15)), plain, "value 200, above its maximum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string p = path(c.name);
    c.make(p);
    expectCliError([&] { readImage(p, c.options); }, kExitInput, {p, c.said});
  }
  // Every format the program writes, cut anywhere; and /dev/zero, which never ends.
  for (const char* ext : {"png", "tif", "pgm"})
    for (double frac : {0.0, 0.1, 0.5, 0.9}) {
      const std::string p = path("cut" + std::to_string(int(frac * 100)) + "." + ext);
      SCOPED_TRACE(p);
      writeImage(p, randomImage(64, 64, 3));
      cut(p, frac);
      expectCliError([&] { readImage(p, plain); }, kExitInput, {p});
    }
  expectCliError([&] { readImage("/dev/zero", plain); }, kExitInput, {"/dev/zero", "character device"});
  expectCliError([&] { readFileBytes("/dev/zero"); }, kExitInput, {"not a regular file"});
}

TEST_F(ImageIo, PagesOfATiffFile) {
  using namespace clifixtures;
  const Samples a = pattern(20, 10, 1, 8);
  Samples inverse = a;
  for (auto& v : inverse.v) v = std::uint16_t(255 - v);
  ASSERT_TRUE(writeTiff(path("two.tif"), {a, inverse}));
  for (int page : {1, 2}) {
    ReadOptions o;
    o.page = page;
    ImageInfo info;
    const auto im = readImage(path("two.tif"), o, &info);
    EXPECT_EQ(int(im.row(3)[5]), page == 1 ? a.at(5, 3, 0) : inverse.at(5, 3, 0));
    ASSERT_EQ(info.warnings.size(), 1u);
    EXPECT_NE(info.warnings[0].find("has 2 pages; page " + std::to_string(page) + " is used"), std::string::npos)
        << info.warnings[0];
  }
}

// Each scaling's values, the conversion recorded, the few-levels warning.
TEST_F(ImageIo, DeepSamplesScaleAsAsked) {
  struct Case {
    const char* scaling;
    std::vector<std::uint16_t> in;
    std::vector<int> want;
  };
  const Case cases[] = {
      {"full", {0, 257, 32768, 65535}, {0, 1, 128, 255}},
      {"shift:4", {0, 15, 16, 4095, 8000}, {0, 0, 1, 255, 255}},
      {"range:100,1100", {0, 100, 600, 1100, 5000}, {0, 0, 128, 255, 255}},
      {"auto", {100, 200, 300, 400}, {0, 85, 170, 255}},  // the image's own range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scaling);
    std::ofstream f(path("deep.pgm"), std::ios::binary);
    f << "P5\n" << c.in.size() << " 1\n65535\n";
    for (std::uint16_t v : c.in) f.put(char(v >> 8)).put(char(v & 0xFF));
    f.close();
    ReadOptions o;
    o.toGray = true;
    o.scaling = parseGrayScaling(c.scaling, "--to-gray");
    EXPECT_EQ(grayScalingText(o.scaling), c.scaling);
    ImageInfo info;
    const auto im = readImage(path("deep.pgm"), o, &info);
    for (std::size_t i = 0; i < c.in.size(); ++i) EXPECT_EQ(int(im.row(0)[i]), c.want[i]) << i;
    EXPECT_NE(info.conversion.find(c.scaling), std::string::npos) << info.conversion;
    ASSERT_EQ(info.warnings.size(), 1u);  // a handful of values: few grey levels
    EXPECT_NE(info.warnings[0].find("grey levels"), std::string::npos);
  }
  // A 12-bit ramp under auto keeps its 256 levels; a few hot pels do not set the scale.
  clifixtures::Samples ramp{256, 64, 1, 16, {}};
  for (int i = 0; i < 256 * 64; ++i) ramp.v.push_back(std::uint16_t((i % 256) * 16));
  ramp.v[0] = 65535;
  ASSERT_TRUE(clifixtures::writePng(path("ramp.png"), ramp));
  ReadOptions o;
  o.toGray = true;
  ImageInfo info;
  const auto im = readImage(path("ramp.png"), o, &info);
  EXPECT_TRUE(info.warnings.empty());
  EXPECT_EQ(int(im.row(1)[255]), 255);
  EXPECT_EQ(int(im.row(1)[128]), 128);
  for (const char* bad : {"", "Auto", "shift:16", "shift:", "range:5,5", "range:7", "range:a,9", "full:1"})
    expectCliError([&] { parseGrayScaling(bad, "--to-gray"); }, kExitUsage, {"--to-gray"});
}

namespace {

std::string contentOf(const std::string& p) {
  std::ifstream f(p);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// What a command's check throws: its exit code (kExitOk when none) and message.
std::pair<int, std::string> outcomeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const CliError& e) {
    return {e.code(), e.what()};
  }
  return {kExitOk, ""};
}

}  // namespace

// Only old regular temporaries no writer holds (in any process) go; folders and links stay.
TEST_F(ImageIo, SweepRemovesOnlyOldTemporaryFilesNoWriterHolds) {
  enum Kind { kFile, kFolder, kLink, kHeldByChild };
  const struct {
    const char* name;
    Kind kind;
    bool old, removed;
  } cases[] = {{".imgnorm-tmp-Killed", kFile, true, true},         {".imgnorm-tmp-Fresh1", kFile, false, false},
               {".imgnorm-tmp-Child1", kHeldByChild, true, false}, {".imgnorm-tmp-folder", kFolder, true, false},
               {".imgnorm-tmp-link01", kLink, true, false},        {".imgnorm-tmp-toolong", kFile, true, false}};
  const std::time_t then = std::time(nullptr) - 2 * kStaleTemporaryAgeSeconds;
  const struct timespec old[2] = {{then, 0}, {then, 0}};
  std::ofstream(path("victim")) << "keep";
  ::utimensat(AT_FDCWD, path("victim").c_str(), old, 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = -1;
  for (const auto& c : cases) {
    const std::string p = path(c.name);
    if (c.kind == kFolder) fs::create_directories(p + "/sub");
    if (c.kind == kLink) fs::create_symlink(path("victim"), p);
    if (c.kind == kFile || c.kind == kHeldByChild) std::ofstream(p) << "partial";
    if (c.kind == kHeldByChild && (child = ::fork()) == 0) {  // a writer in another process
      const int fd = ::open(p.c_str(), O_RDONLY);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(ready[1], "x", 1) != 1) ::_exit(1);
      ::pause();
    }
    if (c.old) ::utimensat(AT_FDCWD, p.c_str(), old, AT_SYMLINK_NOFOLLOW);
  }
  ::close(ready[1]);  // a child that fails closes its end: no wait
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  PendingFile live(path("out.png"));  // a writer of this process
  ::futimens(live.fd(), old);
  EXPECT_EQ(removeStaleTemporaries(dir_.string()), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(fs::symlink_status(path(c.name))), !c.removed) << c.name;
  EXPECT_TRUE(fs::exists(path(".imgnorm-tmp-folder/sub")) && fs::exists(path("victim")));
  live.commit();
  EXPECT_TRUE(fs::is_regular_file(path("out.png")));
}

// An interrupted program removes the temporaries being written (one written to, one
// empty, one already committed: its output stays) and ends by the signal; an ignored
// signal stays ignored.
TEST_F(ImageIo, AnInterruptionLeavesNoTemporary) {
  for (const int sig : {SIGINT, SIGTERM}) {
    const pid_t child = ::fork();
    if (child == 0) {
      removeTemporariesOnInterrupt();
      PendingFile done(path("done.png")), written(path("a.png")), empty(path("b.png"));
      if (!writeAll(done.fd(), "x", 1) || !writeAll(written.fd(), "partial", 7)) ::_exit(1);
      done.commit();
      ::raise(sig);
      ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"done.png"}) << sig;
    fs::remove(path("done.png"));
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGHUP, SIG_IGN);
    removeTemporariesOnInterrupt();
    struct sigaction now {};
    ::_exit(::sigaction(SIGHUP, nullptr, &now) == 0 && now.sa_handler == SIG_IGN ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Mode and owner kept, links written through, umask for new files, hard links split,
// the longest names, never a non-regular file.
TEST_F(ImageIo, ReplacingAFileKeepsWhatTheUserHad) {
  const auto mode = [&](const std::string& name) {
    struct stat st;
    return ::stat(path(name).c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  const auto put = [&](const std::string& name, int perms) {
    std::ofstream(path(name)) << "old";
    ::chmod(path(name).c_str(), mode_t(perms));
  };
  const auto write = [&](const std::string& name, PendingFile::Links links = PendingFile::Links::kFollow) {
    writeFileAtomically(path(name), {'n', 'e', 'w'}, links);
  };
  const mode_t saved = ::umask(077);
  write("private.png");
  ::umask(022);
  write("public.png");
  put("kept.png", 0640);
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::chown(path("kept.png").c_str(), 1234, 5678) == 0, root);
  write("kept.png");
  struct stat st;
  ASSERT_EQ(::stat(path("kept.png").c_str(), &st), 0);
  EXPECT_TRUE(!root || (st.st_uid == 1234 && st.st_gid == 5678));
  // A relative link into another folder, a dangling link; kReplace replaces the link.
  fs::create_directories(path("sub"));
  put("sub/real.png", 0600);
  put("target.png", 0644);
  fs::create_symlink("sub/real.png", path("link.png"));
  fs::create_symlink("made.png", path("dangling.png"));
  fs::create_symlink("target.png", path("own.png"));
  put("a.png", 0644);
  fs::create_hard_link(path("a.png"), path("b.png"));
  const std::string longest(255 - 4, 'n');
  for (const char* name : {"link.png", "dangling.png", "a.png"}) write(name);
  write(longest + ".png");
  write("own.png", PendingFile::Links::kReplace);
  ::umask(saved);
  EXPECT_EQ(std::vector<int>({mode("private.png"), mode("public.png"), mode("kept.png"), mode("sub/real.png")}),
            std::vector<int>({0600, 0644, 0640, 0600}));
  EXPECT_TRUE(fs::is_symlink(path("link.png")) && fs::is_symlink(path("dangling.png")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path("own.png"))));
  std::string all;
  for (const char* name : {"sub/real.png", "made.png", "own.png", "target.png", "a.png", "b.png"})
    all += contentOf(path(name)) + " ";
  EXPECT_EQ(all, "new new new old new old ");  // a hard link is split: b.png keeps the old content
  EXPECT_EQ(contentOf(path(longest + ".png")), "new");
  ASSERT_EQ(::mkfifo(path("fifo.png").c_str(), 0644), 0);
  fs::create_symlink("fifo.png", path("to-fifo.png"));
  for (const char* name : {"fifo.png", "to-fifo.png"})
    expectCliError([&] { write(name); }, kExitOutput, {name, "is a FIFO, not a regular file"});
  EXPECT_EQ(fs::status(path("fifo.png")).type(), fs::file_type::fifo);
  for (const auto& e : fs::recursive_directory_iterator(dir_))
    EXPECT_FALSE(isTemporaryName(e.path().filename().string())) << e.path();
}

// Plans as "in>out" ("in!why" for an unlistable input), "|", the skipped entries; or
// the refusal (exit 2): output over an input in any spelling, two inputs onto one output.
TEST_F(ImageIo, BatchPlanner) {
  const fs::path home = fs::current_path();
  fs::current_path(dir_);
  const clifixtures::Samples page = clifixtures::pattern(8, 8, 1, 8);
  ASSERT_TRUE(clifixtures::writeTiff("two.tif", {page, page}) && clifixtures::writeTiff("one.tif", {page}));
  fs::create_directories("a/sub"), fs::create_directories("b"), fs::create_directories("e");
  for (const char* f :
       {"a/x.png", "a/y.tif", "a/z.jpg", "a/notes.txt", "a/.h.png", "b/x.png", "c.png", "c.jpg", "r.png"})
    std::ofstream(f) << "x";
  ::mkfifo("a/fifo.png", 0600);
  fs::create_symlink("c.png", "link.png"), fs::create_hard_link("c.png", "hard.png");
  const std::vector<NamedInput> ref = {{"r.png", "the reference image"}}, cRef = {{"c.png", "the reference image"}};
  const std::string skipped = " | a/.h.png a/fifo.png a/notes.txt a/sub";
  const struct {
    std::vector<std::string> in;
    std::string out, format;
    bool inPlace;
    std::string want;  // the plan, or the refusal's text
  } cases[] = {
      {{"a"}, "o", "", false, "a/x.png>o/x.png a/y.tif>o/y.tif a/z.jpg>o/z.png" + skipped},
      {{"a", "c.png"}, "o", "pgm", false, "a/x.png>o/x.pgm a/y.tif>o/y.pgm a/z.jpg>o/z.pgm c.png>o/c.pgm" + skipped},
      {{"c.jpg"}, "o.tif", "", false, "c.jpg>o.tif"},
      {{"c.jpg", "e", "none"}, "o", "", false, "c.jpg>o/c.png e!e: folder holds no image files none>o/none.png"},
      {{"c.png", "c.jpg"}, "o.png", "", false, "names one image file, but there are several inputs"},
      {{"c.png"}, "o.png", "tif", false, "--format: not used when -o names a file"},
      {{"c.png"}, "o", "gif", false, "--format: unknown format 'gif'"},
      {{"c.png"}, "o.gif", "", false, "-o o.gif: unknown image format for output"},
      {{"a/x.png", "b/x.png"}, "o", "", false, "o/x.png: both a/x.png and b/x.png would be written there"},
      {{"a"}, "./a/", "", false, "a/x.png: the output would overwrite an input image (a/x.png)"},
      {{"a/x.png"}, "a", "", true, "a/x.png>a/x.png"},
      {{"link.png"}, "c.png", "", false, "would overwrite an input image (link.png)"},
      {{"hard.png"}, "a/../c.png", "", false, "would overwrite an input image (hard.png)"},
      {{"b/x.png"}, "./r.png", "", false, "would overwrite the reference image (r.png)"},
      {{"two.tif"}, ".", "", true, "--in-place: two.tif (an input image) is a TIFF file of 2 pages"},
      {{"one.tif"}, ".", "", true, "one.tif>./one.tif"},
      {{"two.tif"}, "o", "", false, "two.tif>o/two.tif"},
  };
  for (const auto& c : cases) {
    std::string got;
    try {
      const BatchPlan plan = planBatch(c.in, c.out, c.format, ref, c.inPlace);
      for (const BatchItem& it : plan.items)
        got += (got.empty() ? "" : " ") + it.input + (it.error.empty() ? ">" + it.output : "!" + it.error);
      if (!plan.skipped.empty()) got += " |";
      for (const SkippedFile& f : plan.skipped) got += " " + f.path;
    } catch (const CliError& e) {
      got = e.what();
      EXPECT_EQ(e.code(), kExitUsage) << got;
    }
    EXPECT_NE(got.find(c.want), std::string::npos) << c.in[0] << " -> " << c.out << ": " << got;
  }
  // A train or normalize output against the tool's inputs alone.
  for (const char* out : {"c.png", "a/../c.png", "link.png", "hard.png"})
    EXPECT_EQ(outcomeOf([&] { refuseOverwrite("-o", out, cRef, false); }),
              std::make_pair(2, "-o " + std::string(out) +
                                    ": is the reference image (c.png); choose another output, "
                                    "or give --in-place to overwrite it"));
  EXPECT_EQ(outcomeOf([&] { refuseOverwrite("-o", "c.png", cRef, true); }).first, kExitOk);
  EXPECT_EQ(outcomeOf([&] { refuseOverwrite("-o", "c.jpg", cRef, false); }).first, kExitOk);
  fs::current_path(home);
}

// Special files, and outputs where the report writes.
TEST_F(ImageIo, OutputsThatWouldLoseWhatTheUserHadAreRefused) {
  ASSERT_EQ(::mkfifo(path("fifo.png").c_str(), 0644), 0);
  const std::string report = path("rep"), files = report + "/" + kDiagFilesFolder;
  const DiagFolder diag(report);
  const auto clash = [&](const std::string& out) { return [=, &diag] { diag.refuseClash(out); }; };
  const struct {
    std::function<void()> act;
    int code;  // kExitOk: accepted
    std::string part;
  } cases[] = {
      {[&] { prepareFolderOf(path("fifo.png")); }, kExitOutput, "fifo.png: is a FIFO, not a regular file"},
      {[] { prepareFolderOf("/dev/null"); }, kExitOutput, "/dev/null: is a character device, not a regular file"},
      {[] { prepareOutputFolder("/dev/null"); }, kExitOutput, "/dev/null: is a character device, not a folder"},
      {clash(report + "/index.html"), kExitUsage, "index.html: the diagnostics report (--diag " + report + ") writes"},
      {clash(report + "/./sub/../index.txt"), kExitUsage, "index.txt"},
      {clash(report + "/" + kDiagListName), kExitUsage, kDiagListName},
      {clash(report), kExitUsage, "rep"},
      {clash(files + "/i0001-diff.png"), kExitUsage, "i0001-diff.png"},
      {clash(files + "/deeper/x.png"), kExitUsage, "x.png"},
      {clash(report + "/reference.png"), kExitOk, ""},  // the report's pictures are in their sub-folder
      {clash(path("index.html")), kExitOk, ""},
  };
  for (const auto& c : cases) {
    const auto [code, what] = outcomeOf(c.act);
    EXPECT_EQ(code, c.code) << what;
    EXPECT_NE(what.find(c.part), std::string::npos) << what;
  }
}

// A crafted list removes only regular files of the pictures' names in the sub-folder.
TEST_F(ImageIo, ReportRemovesOnlyItsOwnPictures) {
  for (const char* name :
       {"reference.png", "mask-t.png", "train-record12.png", "i0001-diff-t.png", "i12345-record3.png", "i0001.html"})
    EXPECT_TRUE(isReportFile(name)) << name;
  for (const char* name :
       {"notes.txt", "index.html", "reference.png.bak", "i001-diff.png", "i0001-.png", "i0001-Diff.png",
        "iabcd-diff.png", "../mask.png", "sub/mask.png", "train-record.png", "i001.html", "i0001-x.html", "x0001.html"})
    EXPECT_FALSE(isReportFile(name)) << name;
  const std::string rep = path("rep"), sub = std::string(kDiagFilesFolder) + "/", files = rep + "/" + sub;
  fs::create_directories(files);
  for (const std::string& f : {rep + "/notes.txt", files + "notes.txt", files + "i0002-diff.png", path("victim.png")})
    std::ofstream(f) << "x";
  fs::create_symlink(path("victim.png"), files + "i0003-diff.png");
  std::ofstream(rep + "/" + kDiagListName) << "notes.txt\n../victim.png\n" + sub + "notes.txt\n" + sub +
                                                  "../notes.txt\n" + sub + "i0002-diff.png\n" + sub +
                                                  "i0003-diff.png\n";
  {
    DiagFolder diag(rep);
    diag.writeGrey(sub + "i0001-diff.png", randomImage(4, 4, 1));
    EXPECT_EQ(outcomeOf([&] { diag.writeText("notes.txt", "x"); }).first, kExitInternal);
    diag.commit();
  }
  for (const std::string& kept : {rep + "/notes.txt", files + "notes.txt", path("victim.png"), files + "i0003-diff.png",
                                  files + "i0001-diff.png"})
    EXPECT_TRUE(fs::exists(fs::symlink_status(kept))) << kept;
  EXPECT_FALSE(fs::exists(files + "i0002-diff.png"));
  fs::remove_all(files);
  fs::create_directory_symlink(dir_, rep + "/" + kDiagFilesFolder);
  expectCliError([&] { DiagFolder again(rep); }, kExitUsage, {kDiagFilesFolder, "not a folder imgnorm wrote"});
}

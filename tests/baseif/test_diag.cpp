#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "baseif/mxDiag.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "support/testImages.h"

namespace {
std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TEST(Diag, RecordsKeepOrderLevelAndSharing) {
  mxDiagObject d;
  mxPelBuffer<unsigned char> img = randomImage(5, 4, 1);
  mf_AddImage(&d, img, L"shared", false);
  d.level(2);
  mf_AddImage(&d, img, L"copied", true);
  mf_AddText(&d, L"a=1\n", L"params");
  mf_AddImage(&d, mxPelBuffer_const<unsigned char>(), L"none", false);
  ASSERT_EQ(d.records().size(), 4u);
  EXPECT_EQ(d.records()[0].level, 0);
  EXPECT_EQ(d.records()[1].level, 2);
  EXPECT_EQ(d.records()[0].image.root(), img.root());
  EXPECT_NE(d.records()[1].image.root(), img.root());
  EXPECT_EQ(d.records()[2].type, mxDiagObject::Record::eText);
  EXPECT_FALSE(d.records()[3].image.isBound());
  EXPECT_THROW(mf_AddText(nullptr, L"x", L"y"), mxBadPointer);
  // (Which records a run makes at each setting is Running.DiagnosticsRecords'.)
}

TEST(Diag, WritesABrowsableFolder) {
  mxDiagObject d;
  const mxPelBuffer<unsigned char> img = makeImage(3, 2, [](int x, int y) { return 10 * x + y; }, 7, 8);
  mf_AddImage(&d, img, L"first <image>", false);
  d.level(1);
  mf_AddText(&d, L"k=v\n", L"text");
  const std::string dir = ::testing::TempDir() + "imgnorm_diag_test";
  d.writeFolder(dir);

  EXPECT_EQ(slurp(dir + "/001.pgm"), std::string("P5\n3 2\n255\n") + std::string("\x4e\x58\x62\x4f\x59\x63"));
  EXPECT_EQ(slurp(dir + "/002.txt"), "k=v\n");
  const std::string index = slurp(dir + "/index.txt");
  EXPECT_NE(index.find("1 image \"first <image>\" 3x2 at (7, 8) -> 001.pgm"), std::string::npos);
  EXPECT_NE(index.find("  2 text \"text\" -> 002.txt"), std::string::npos);
  const std::string html = slurp(dir + "/index.html");
  EXPECT_NE(html.find("first &lt;image&gt;"), std::string::npos);
  EXPECT_LT(html.find("001.pgm"), html.find("002"));

  // A custom image writer decides the file type.
  d.writeFolder(dir, [](const std::string& base, const mxPelBuffer_const<unsigned char>&) {
    std::ofstream(base + ".raw") << "x";
    return std::string("raw");
  });
  EXPECT_EQ(slurp(dir + "/001.raw"), "x");

  // The recorder's own I/O error, naming what could not be written: a folder
  // under a file, and an index file that is a folder.
  std::filesystem::remove(dir + "/index.html");
  std::filesystem::create_directory(dir + "/index.html");
  for (const auto& [folder, named] : {std::pair<std::string, std::string>{dir + "/001.raw/sub", "001.raw/sub"},
                                      {dir, "index.html"}}) {
    try {
      d.writeFolder(folder);
      ADD_FAILURE() << folder << " was written";
    } catch (const mxDiagObject::IOError& e) {
      EXPECT_NE(mfToUtf8(e.message()).find(named), std::string::npos) << mfToUtf8(e.message());
    }
  }
  std::filesystem::remove_all(dir);
}

// The tool file: its header against every kind of damage, and the
// normalizer through it.
#include "imgnorm/mxToolFile.h"

#include <cstring>

#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

namespace {
// The message of the mxArchive error f throws, "Truncated: ..." or "BadData: ...".
template <class F>
std::string failure(F&& f) {
  try {
    f();
  } catch (const mxArchive::Truncated& e) {
    return "Truncated: " + std::string(e.what());
  } catch (const mxArchive::BadData& e) {
    return "BadData: " + std::string(e.what());
  }
  return "";
}

bool has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }
}  // namespace

TEST(ToolFile, HeaderRoundTripAndEveryDamageIsRecognised) {
  const std::string check = "123456789";  // the CRC-32 standard check value
  EXPECT_EQ(mxToolFile::crc32(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  Bytes payload(300);
  std::mt19937 rng(9);
  for (auto& b : payload) b = std::uint8_t(rng());
  const Bytes file = mxToolFile::frame(payload);
  ASSERT_EQ(file.size(), mxToolFile::kHeaderSize + payload.size());
  EXPECT_EQ(mxToolFile::payload(file.data(), file.size()), payload);
  const auto of = [](const Bytes& b) { return failure([&] { mxToolFile::payload(b.data(), b.size()); }); };

  // Every shorter prefix: truncated (or, for nothing at all, not a tool file).
  for (std::size_t n = 0; n < file.size(); ++n) {
    const std::string e = of(Bytes(file.begin(), file.begin() + std::ptrdiff_t(n)));
    ASSERT_TRUE(n == 0 ? e == "BadData: not an imgnorm tool file" : has(e, "Truncated: truncated tool file")) << n << e;
  }
  // Any changed payload byte: checksum.  Any changed magic byte: not a tool file.
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (i >= 8 && i < mxToolFile::kHeaderSize) continue;  // version, length and CRC: below
    Bytes bad = file;
    bad[i] ^= 0x20;
    ASSERT_EQ(of(bad), i < 8 ? "BadData: not an imgnorm tool file" : "BadData: damaged tool file (checksum mismatch)")
        << i;
  }
  Bytes newer = file, longer = file, badCrc = file, badLength = file;
  newer[8] = 2;
  longer.push_back(0);
  badCrc[20] ^= 1;
  badLength[19] = 0xFF;  // the length's top byte: a field no file can satisfy, not a size worth quoting
  EXPECT_EQ(of(badLength), "BadData: damaged tool file (its header's payload length is invalid)");
  EXPECT_TRUE(has(of(newer), "BadData: tool file format version 2 is not supported")) << of(newer);
  EXPECT_EQ(of(longer), "BadData: damaged tool file (1 unexpected bytes after the payload)");
  EXPECT_EQ(of(badCrc), "BadData: damaged tool file (checksum mismatch)");
  EXPECT_EQ(of({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0}), "BadData: not an imgnorm tool file");
}

TEST(ToolFile, NormalizerRoundTripAndDamagedContents) {
  const Image ref = randomImage(40, 30, 3, 20, 230);
  const Image mask = makeImage(40, 30, [](int x, int) { return x < 30 ? 255 : 0; });
  const mxImageNormalizer tool = trainedTool(ref, eMatchHistogram | eLocalCorrection, P(9, 7), mask, P(2, 2));
  const Bytes file = mxToolFile::store(tool);
  mxImageNormalizer loaded;
  mxToolFile::load(file.data(), file.size(), loaded);
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.trainedMethods(), tool.trainedMethods());
  EXPECT_TRUE(mfPelEqual(runTool(loaded, ref, eLocalCorrection), runTool(tool, ref, eLocalCorrection)));

  // A well-framed payload that is not a whole archive of one tool.
  const Bytes archive = mxToolFile::payload(file.data(), file.size());
  Bytes cut(archive.begin(), archive.end() - 5), extra = archive;
  extra.push_back(7);
  const auto loadFramed = [](const Bytes& payload) {
    const Bytes f = mxToolFile::frame(payload);
    mxImageNormalizer n;
    mxToolFile::load(f.data(), f.size(), n);
  };
  EXPECT_TRUE(has(failure([&] { loadFramed(cut); }), "BadData: damaged tool file: "));
  EXPECT_EQ(failure([&] { loadFramed(extra); }), "BadData: damaged tool file (1 bytes left after the tool)");
  EXPECT_EQ(failure([&] { mxToolFile::load(nullptr, 0, loaded); }), "BadData: not an imgnorm tool file");

  // A stored histogram method over a mask that selects nothing: read whole,
  // then refused by training with the tool's own error.
  mxImageNormalizer empty;
  empty.referenceImage(ref, false);
  empty.maskImage(makeImage(40, 30, [](int, int) { return 0; }), false);
  const Bytes stored = mxToolFile::store(empty);
  Bytes untrainable = mxToolFile::payload(stored.data(), stored.size());
  const std::uint32_t histogram = eMatchHistogram;
  std::memcpy(untrainable.data() + 1, &histogram, 4);  // the method set, after the version byte
  EXPECT_THROW(loadFramed(untrainable), CanNotTrain);
}

// The tool file: its header against every kind of damage, and the normalizer through it.
#include "imgnorm/mxToolFile.h"

#include <cstring>

#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

namespace {
// "Truncated: message" or "BadData: message" for the archive error f throws.
template <class F>
std::string failure(F&& f) {
  try {
    f();
  } catch (const mxArchive::Truncated& e) {
    return std::string("Truncated: ") + e.what();
  } catch (const mxArchive::BadData& e) {
    return std::string("BadData: ") + e.what();
  }
  return "";
}
std::string headerFailure(const Bytes& b) {
  return failure([&] { mxToolFile::payload(b.data(), b.size()); });
}
void loadFramed(const Bytes& payload) {
  const Bytes f = mxToolFile::frame(payload);
  mxImageNormalizer n;
  mxToolFile::load(f.data(), f.size(), n);
}
const std::string kNotTool = "BadData: not an imgnorm tool file",
                  kChecksum = "BadData: damaged tool file (checksum mismatch)";
}  // namespace

TEST(ToolFile, HeaderRoundTripAndEveryDamageIsRecognised) {
  const std::string check = "123456789";  // the CRC-32 standard check value
  EXPECT_EQ(mxToolFile::crc32(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0xCBF43926u);
  const Image noise = randomImage(300, 1, 9);
  const Bytes payload(noise.row(0), noise.row(0) + 300), file = mxToolFile::frame(payload);
  ASSERT_EQ(file.size(), mxToolFile::kHeaderSize + payload.size());
  EXPECT_EQ(mxToolFile::payload(file.data(), file.size()), payload);
  // Every shorter prefix: truncated (or, for nothing at all, not a tool file).
  for (std::size_t n = 0; n < file.size(); ++n) {
    const std::string e = headerFailure(Bytes(file.begin(), file.begin() + std::ptrdiff_t(n)));
    ASSERT_TRUE(n == 0 ? e == "BadData: the file is empty (0 bytes), not an imgnorm tool file" : e.rfind("Truncated: truncated tool file (", 0) == 0) << n << e;
  }
  // Any changed magic byte: not a tool file; any changed payload byte: checksum.
  for (std::size_t i = 0; i < file.size(); ++i) {
    Bytes bad = file;
    bad[i] ^= 0x20;
    const std::string e = headerFailure(bad);  // (version, length and CRC: the table below)
    ASSERT_TRUE((i >= 8 && i < mxToolFile::kHeaderSize) || e == (i < 8 ? kNotTool : kChecksum)) << i << e;
  }
  const struct {
    std::size_t at;  // byte changed (file.size(): one appended)
    std::uint8_t value;
    std::string error;
  } damages[] = {
      {8, 4, "BadData: tool file format version 4 is not supported (this release reads versions 1 to 3)"},
      {19, 0xFF, "BadData: damaged tool file (its header's payload length is invalid)"},  // not a size to quote
      {20, std::uint8_t(file[20] ^ 1), kChecksum},
      {file.size(), 0, "BadData: damaged tool file (1 unexpected bytes after the payload)"},
  };
  for (const auto& d : damages) {
    Bytes bad = file;
    bad.resize(std::max(bad.size(), d.at + 1));
    bad[d.at] = d.value;
    EXPECT_EQ(headerFailure(bad), d.error) << d.at;
  }
  EXPECT_EQ(headerFailure({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0}), kNotTool);
}

TEST(ToolFile, NormalizerRoundTripAndDamagedContents) {
  const Image ref = randomImage(40, 30, 3, 20, 230);
  const Image mask = makeImage(40, 30, [](int x, int) { return x < 30 ? 255 : 0; });
  const mxImageNormalizer tool = trainedTool(ref, eMatchHistogram | eLocalCorrection, P(9, 7), mask, P(2, 2));
  const Bytes file = mxToolFile::store(tool), archive = mxToolFile::payload(file.data(), file.size());
  mxImageNormalizer loaded;
  mxToolFile::load(file.data(), file.size(), loaded);
  EXPECT_TRUE(loaded == tool);
  EXPECT_EQ(loaded.trainedMethods(), tool.trainedMethods());

  // A well-framed payload that is not one whole archive of a tool.
  Bytes extra = archive;
  extra.push_back(7);
  const Bytes cut(archive.begin(), archive.end() - 5);
  EXPECT_EQ(failure([&] { loadFramed(cut); }).rfind("BadData: damaged tool file: ", 0), 0u);
  EXPECT_EQ(failure([&] { loadFramed(extra); }), "BadData: damaged tool file (1 bytes left after the tool)");
  // A stored histogram method over a mask that selects nothing: read whole,
  // then refused by training with the tool's own error.
  mxImageNormalizer empty;
  empty.referenceImage(ref, false);
  empty.maskImage(constantImage(40, 30, 0), false);
  const Bytes stored = mxToolFile::store(empty);
  Bytes untrainable = mxToolFile::payload(stored.data(), stored.size());
  const std::uint32_t histogram = eMatchHistogram;
  std::memcpy(untrainable.data() + 1, &histogram, 4);  // the method set, after the version byte
  EXPECT_THROW(loadFramed(untrainable), CanNotTrain);
}

#include "imgnorm/mxToolFile.h"

#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"
#include "imgnorm/mxColorNormalizer.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace mxToolFile {

namespace {

std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}

void putLE(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

std::uint64_t getLE(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::wstring num(std::uint64_t v) { return mfFromUtf8(std::to_string(v)); }

// The checked payload, in place.
std::pair<const std::uint8_t*, std::size_t> checkedPayload(const std::uint8_t* data, std::size_t size) {
  // A prefix of the magic word is a truncated tool file; anything else is not one.
  const std::size_t cmp = size < sizeof kMagic ? size : sizeof kMagic;
  if (size == 0) throw mxArchive::BadData(L"the file is empty (0 bytes), not an imgnorm tool file");
  if (std::memcmp(data, kMagic, cmp) != 0) throw mxArchive::BadData(L"not an imgnorm tool file");
  if (size < kHeaderSize)
    throw mxArchive::Truncated(L"truncated tool file (" + num(size) + L" bytes, shorter than its header)");
  const std::uint64_t version = getLE(data + 8, 4);
  if (version == 0 || version > kColorFormatVersion)
    throw mxArchive::BadData(L"tool file format version " + num(version) +
                             L" is not supported (this release reads versions " + num(kFormatVersion) + L" to " +
                             num(kColorFormatVersion) + L")");
  const std::uint64_t length = getLE(data + 12, 8);
  const std::uint64_t present = size - kHeaderSize;
  // A length beyond any file a tool makes is a damaged field, not a
  // truncation worth quoting (a flipped high bit would read as 2^63 bytes).
  if (length > (std::uint64_t(1) << 40))
    throw mxArchive::BadData(L"damaged tool file (its header's payload length is invalid)");
  if (present < length)
    throw mxArchive::Truncated(L"truncated tool file (" + num(present) + L" of " + num(length) +
                               L" payload bytes present)");
  if (present > length)
    throw mxArchive::BadData(L"damaged tool file (" + num(present - length) + L" unexpected bytes after the payload)");
  if (crc32(data + kHeaderSize, std::size_t(length)) != std::uint32_t(getLE(data + 20, 4)))
    throw mxArchive::BadData(L"damaged tool file (checksum mismatch)");
  return {data + kHeaderSize, std::size_t(length)};
}

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t n) {
  static const std::array<std::uint32_t, 256> table = makeCrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> frame(const std::vector<std::uint8_t>& payload, std::uint32_t version) {
  std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
  putLE(out, version, 4);
  putLE(out, payload.size(), 8);
  putLE(out, crc32(payload.data(), payload.size()), 4);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> payload(const std::uint8_t* data, std::size_t size) {
  const auto [p, n] = checkedPayload(data, size);
  return std::vector<std::uint8_t>(p, p + n);
}

std::vector<std::uint8_t> store(const mxImageNormalizer& tool) {
  mxArchive ar;
  ar || const_cast<mxImageNormalizer&>(tool);  // storing only reads the tool
  return frame(ar.bytes());
}

std::int32_t pelBits(const std::uint8_t* data, std::size_t size) {
  const auto [p, n] = checkedPayload(data, size);
  const std::uint64_t version = getLE(data + 8, 4);
  if (version != kColorFormatVersion) return version == kDeepFormatVersion ? 16 : 8;
  // The colour archive's fourth byte (after version, mode and channel count).
  if (n < 4 || (p[3] != 8 && p[3] != 16))
    throw mxArchive::BadData(L"damaged tool file (its colour tool's pel type is invalid)");
  return p[3];
}

bool isColorTool(const std::uint8_t* data, std::size_t size) {
  checkedPayload(data, size);
  return getLE(data + 8, 4) == kColorFormatVersion;
}

namespace {

// What a tool file holds, named for messages.
const wchar_t* heldTool(const std::uint8_t* data, std::size_t size) {
  if (isColorTool(data, size)) return L"a colour tool (mxColorNormalizer)";
  return pelBits(data, size) == 16 ? L"a 16-bit grey tool (mxImageNormalizer16)"
                                   : L"an 8-bit grey tool (mxImageNormalizer)";
}

// Loads a checked payload into a tool of any kind.
template <class Tool>
void loadPayload(const std::uint8_t* p, std::size_t n, Tool& tool) {
  mxArchive ar(p, n);
  try {
    ar || tool;
  } catch (const mxImageNormalizerDefs::Errors&) {
    throw;  // read whole, but the stored images and parameters cannot be trained again
  } catch (const mxException& e) {
    throw mxArchive::BadData(L"damaged tool file: " + e.message());
  }
  if (ar.remaining() != 0)
    throw mxArchive::BadData(L"damaged tool file (" + num(ar.remaining()) + L" bytes left after the tool)");
}

// A grey tool of `bits` bits per pel (`self` names it) from a tool file,
// refusing a colour tool's file and the other depth's (`other` names what
// the file holds and where it goes).
template <class Tool>
void loadGrey(const std::uint8_t* data, std::size_t size, Tool& tool, std::int32_t bits, const wchar_t* self,
              const wchar_t* other) {
  const auto [p, n] = checkedPayload(data, size);
  if (isColorTool(data, size))
    throw mxArchive::BadData(std::wstring(L"the tool file holds ") + heldTool(data, size) +
                             L"; load it into that, not into " + self);
  if (pelBits(data, size) != bits) throw mxArchive::BadData(std::wstring(L"the tool file holds ") + other);
  loadPayload(p, n, tool);
}

}  // namespace

void load(const std::uint8_t* data, std::size_t size, mxImageNormalizer& tool) {
  loadGrey(data, size, tool, 8, L"an 8-bit grey tool (mxImageNormalizer)",
           L"a 16-bit tool; load it into a 16-bit tool (mxImageNormalizer16)");
}

std::vector<std::uint8_t> store(const mxImageNormalizer16& tool) {
  mxArchive ar;
  ar || const_cast<mxImageNormalizer16&>(tool);  // storing only reads the tool
  return frame(ar.bytes(), kDeepFormatVersion);
}

void load(const std::uint8_t* data, std::size_t size, mxImageNormalizer16& tool) {
  loadGrey(data, size, tool, 16, L"a 16-bit grey tool (mxImageNormalizer16)",
           L"an 8-bit tool; load it into an 8-bit tool (mxImageNormalizer)");
}

std::vector<std::uint8_t> store(const mxColorNormalizer& tool) {
  mxArchive ar;
  ar || const_cast<mxColorNormalizer&>(tool);  // storing only reads the tool
  return frame(ar.bytes(), kColorFormatVersion);
}

void load(const std::uint8_t* data, std::size_t size, mxColorNormalizer& tool) {
  const auto [p, n] = checkedPayload(data, size);
  if (!isColorTool(data, size))
    throw mxArchive::BadData(std::wstring(L"the tool file holds ") + heldTool(data, size) +
                             L"; load it into that, not into a colour tool (mxColorNormalizer)");
  loadPayload(p, n, tool);
}

}  // namespace mxToolFile

// The tool file's header; kept apart from tool_file.cpp so that it can be
// tested without the normalizer.
#include <array>
#include <cstring>

#include "cli_error.h"
#include "tool_file.h"

namespace imgnormcli {

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

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t n) {
  static const std::array<std::uint32_t, 256> table = makeCrcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> frameToolPayload(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> out(kToolMagic, kToolMagic + sizeof kToolMagic);
  putLE(out, kToolFormatVersion, 4);
  putLE(out, payload.size(), 8);
  putLE(out, crc32(payload.data(), payload.size()), 4);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> toolPayload(const std::vector<std::uint8_t>& file, const std::string& path) {
  const std::size_t magicLen = sizeof kToolMagic;
  // A prefix of the magic word is a truncated tool file; anything else is not one.
  const std::size_t cmp = file.size() < magicLen ? file.size() : magicLen;
  if (file.empty()) throw CliError(kExitInput, path + ": the file is empty (0 bytes), not an imgnorm tool file");
  if (std::memcmp(file.data(), kToolMagic, cmp) != 0) throw CliError(kExitInput, path + ": not an imgnorm tool file");
  if (file.size() < kToolHeaderSize)
    throw CliError(kExitInput,
                   path + ": truncated tool file (" + std::to_string(file.size()) + " bytes, shorter than its header)");
  const std::uint64_t version = getLE(file.data() + 8, 4);
  if (version == 0 || version > kToolFormatVersion)
    throw CliError(kExitInput, path + ": tool file format version " + std::to_string(version) +
                                   " is not supported (this program reads version " +
                                   std::to_string(kToolFormatVersion) + ")");
  const std::uint64_t length = getLE(file.data() + 12, 8);
  const std::uint64_t present = file.size() - kToolHeaderSize;
  // A length beyond any file this program writes is a damaged field, not a
  // truncation worth quoting (a flipped high bit would read as 2^63 bytes).
  if (length > (std::uint64_t(1) << 40))
    throw CliError(kExitInput, path + ": damaged tool file (its header's payload length is invalid)");
  if (present < length)
    throw CliError(kExitInput, path + ": truncated tool file (" + std::to_string(present) + " of " +
                                   std::to_string(length) + " payload bytes present)");
  if (present > length)
    throw CliError(kExitInput, path + ": damaged tool file (" + std::to_string(present - length) +
                                   " unexpected bytes after the payload)");
  const std::uint32_t crc = std::uint32_t(getLE(file.data() + 20, 4));
  if (crc32(file.data() + kToolHeaderSize, std::size_t(length)) != crc)
    throw CliError(kExitInput, path + ": damaged tool file (checksum mismatch)");
  return std::vector<std::uint8_t>(file.begin() + kToolHeaderSize, file.end());
}

}  // namespace imgnormcli

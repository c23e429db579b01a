// Tool files: a trained mxImageNormalizer saved by `imgnorm train` and read
// by `imgnorm run` and `imgnorm info`.
//
// Layout (all numbers little-endian):
//   bytes  0..7   magic "IMGNTOOL"
//   bytes  8..11  format version (uint32), currently 1
//   bytes 12..19  payload length in bytes (uint64)
//   bytes 20..23  CRC-32 of the payload (uint32, the zlib/PNG polynomial)
//   bytes 24..    payload: the normalizer's mxArchive form
// The header lets a wrong file, a truncated file or a damaged one be told
// apart at once, before the archive is parsed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class mxImageNormalizer;

namespace imgnormcli {

constexpr char kToolMagic[8] = {'I', 'M', 'G', 'N', 'T', 'O', 'O', 'L'};
constexpr std::uint32_t kToolFormatVersion = 1;
constexpr std::size_t kToolHeaderSize = 24;

// CRC-32 (polynomial 0xEDB88320, as zlib and PNG).
std::uint32_t crc32(const std::uint8_t* data, std::size_t n);

// The header followed by the payload.
std::vector<std::uint8_t> frameToolPayload(const std::vector<std::uint8_t>& payload);
// The payload of a tool file's bytes.  Throws CliError (kExitInput) naming
// path: "not an imgnorm tool file", a newer format version, truncated, or
// damaged (checksum mismatch).
std::vector<std::uint8_t> toolPayload(const std::vector<std::uint8_t>& file, const std::string& path);

// Saves a normalizer as a tool file (temporary name, then renamed).  Throws
// CliError (kExitOutput).
void saveTool(const std::string& path, mxImageNormalizer& tool);
// Loads a tool file; the normalizer is trained again for the stored methods.
// Throws CliError (kExitInput) naming path.
void loadTool(const std::string& path, mxImageNormalizer& tool);

}  // namespace imgnormcli

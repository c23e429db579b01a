// Tool files: a trained mxImageNormalizer as one self-checking file, the
// form in which the command-line program (`imgnorm train -o`, `imgnorm run`,
// `imgnorm info`) and the Python package (Normalizer.save, Normalizer.load)
// hand tools to each other.
//
// Layout (all numbers little-endian):
//   bytes  0..7   magic "IMGNTOOL"
//   bytes  8..11  format version (uint32), currently 1
//   bytes 12..19  payload length in bytes (uint64)
//   bytes 20..23  CRC-32 of the payload (uint32, the zlib/PNG polynomial)
//   bytes 24..    payload: the normalizer's mxArchive form
// The header lets a wrong file, a truncated file or a damaged one be told
// apart at once, before the archive is parsed.  Reading and writing the
// file itself (and replacing it safely) is the caller's: these functions
// work on bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"

class mxImageNormalizer;

namespace mxToolFile {

constexpr char kMagic[8] = {'I', 'M', 'G', 'N', 'T', 'O', 'O', 'L'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderSize = 24;

// CRC-32 (polynomial 0xEDB88320, as zlib and PNG).
IMGNORM_API std::uint32_t crc32(const std::uint8_t* data, std::size_t n);

// The header followed by the payload.
IMGNORM_API std::vector<std::uint8_t> frame(const std::vector<std::uint8_t>& payload);
// The payload of a tool file's bytes.  Throws mxArchive::BadData ("not an
// imgnorm tool file", an unsupported format version, "damaged tool file
// (...)") or mxArchive::Truncated ("truncated tool file (...)").
IMGNORM_API std::vector<std::uint8_t> payload(const std::uint8_t* data, std::size_t size);

// The tool file of a normalizer: its archive form, framed.
IMGNORM_API std::vector<std::uint8_t> store(const mxImageNormalizer& tool);
// Loads a tool file's bytes into tool, which is trained again for the
// stored methods.  Throws what payload() throws; mxArchive::BadData
// ("damaged tool file: ...") when the archive inside cannot be read or is
// followed by more bytes; the tool's own errors (mxImageNormalizerDefs::
// CanNotTrain) when the stored images and parameters cannot be trained
// again.  After a throw the tool holds whatever was loaded before the fault.
IMGNORM_API void load(const std::uint8_t* data, std::size_t size, mxImageNormalizer& tool);

}  // namespace mxToolFile

// Tool files: a trained normalizer as one self-checking file, the
// form in which the command-line program (`imgnorm train -o`, `imgnorm run`,
// `imgnorm info`) and the Python package (Normalizer.save, Normalizer.load)
// hand tools to each other.
//
// Layout (all numbers little-endian):
//   bytes  0..7   magic "IMGNTOOL"
//   bytes  8..11  format version (uint32): 1 for an 8-bit tool
//                 (mxImageNormalizer), 2 for a 16-bit tool
//                 (mxImageNormalizer16, whose archive records its pel type
//                 and bit depth), 3 for a colour tool (mxColorNormalizer,
//                 8- or 16-bit: its archive records mode, channel count,
//                 pel type and depth)
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
class mxImageNormalizer16;
class mxColorNormalizer;

namespace mxToolFile {

constexpr char kMagic[8] = {'I', 'M', 'G', 'N', 'T', 'O', 'O', 'L'};
constexpr std::uint32_t kFormatVersion = 1;       // an 8-bit tool
constexpr std::uint32_t kDeepFormatVersion = 2;   // a 16-bit tool
constexpr std::uint32_t kColorFormatVersion = 3;  // a colour tool
constexpr std::size_t kHeaderSize = 24;

// CRC-32 (polynomial 0xEDB88320, as zlib and PNG).
IMGNORM_API std::uint32_t crc32(const std::uint8_t* data, std::size_t n);

// The header (of the given format version) followed by the payload.
IMGNORM_API std::vector<std::uint8_t> frame(const std::vector<std::uint8_t>& payload,
                                            std::uint32_t version = kFormatVersion);
// The bits per pel of the tool a tool file's bytes hold: 8 or 16 (for a
// colour tool, as its archive records it).  Throws what payload() throws.
IMGNORM_API std::int32_t pelBits(const std::uint8_t* data, std::size_t size);
// Whether a tool file's bytes hold a colour tool (else a grey one).  Throws
// what payload() throws.
IMGNORM_API bool isColorTool(const std::uint8_t* data, std::size_t size);
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
// A 16-bit or a colour tool file throws mxArchive::BadData naming the tool
// it holds and the one it was given to.
IMGNORM_API void load(const std::uint8_t* data, std::size_t size, mxImageNormalizer& tool);

// The same for a 16-bit tool (format version 2).  An 8-bit or a colour tool
// file throws mxArchive::BadData naming both tools; the archive's own pel
// type and depth are checked on loading (mxArchive::BadData).
IMGNORM_API std::vector<std::uint8_t> store(const mxImageNormalizer16& tool);
IMGNORM_API void load(const std::uint8_t* data, std::size_t size, mxImageNormalizer16& tool);

// The same for a colour tool (format version 3).  A grey tool file throws
// mxArchive::BadData naming both tools; the archive's mode, channel count,
// pel type and depth are checked on loading (mxArchive::BadData).
IMGNORM_API std::vector<std::uint8_t> store(const mxColorNormalizer& tool);
IMGNORM_API void load(const std::uint8_t* data, std::size_t size, mxColorNormalizer& tool);

}  // namespace mxToolFile

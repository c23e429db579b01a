// The program's one PNG writer, used for image outputs and the report's
// pictures alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace imgnormcli {

// The PNG file of an 8-bit grey (channels 1) or RGB (channels 3) image whose
// rows row(y) gives for y = 0 .. height - 1, each width * channels bytes.
// level as WriteOptions::pngLevel: -1 the fast default (the Sub filter and
// Huffman-only deflate: about as small as zlib level 6 on camera images at
// a fraction of the time), 0 stored, 1..9 adaptive filters and libdeflate
// at that level.  bits 16: each sample two bytes, big-endian, as PNG stores
// them.  Throws CliError (kExitOutput) naming name.
std::vector<std::uint8_t> encodePngRows(std::int32_t width, std::int32_t height, int channels,
                                        const std::function<const std::uint8_t*(std::int32_t)>& row, int level,
                                        const std::string& name, int bits = 8);

}  // namespace imgnormcli

// Huffman-only deflate: the compressor of the fast PNG default.
//
// After the Sub filter, camera images hold few repeated strings: string
// matching (what zlib spends its time on) saves little, while a Huffman code
// fitted to each block's bytes takes most of the gain.  This encoder writes
// deflate blocks of literals only with a code per block of 256 KiB; it is
// many times faster than zlib at level 1 and its output is about as small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imgnormcli {

// A zlib stream (RFC 1950) of data in deflate blocks of literals only, one
// Huffman code fitted to each block of 256 KiB; any n, 0 included.
std::vector<std::uint8_t> huffmanOnlyZlib(const std::uint8_t* data, std::size_t n);

}  // namespace imgnormcli

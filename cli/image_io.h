// Image files of the imgnorm program: 8-bit greyscale PNG (libpng), TIFF
// (libtiff) and binary PGM; the format follows the file name's extension.
//
// The tool works on 8-bit grey levels only.  A colour, grey-with-alpha or
// 16-bit file is refused with a message naming the file, unless the caller
// asks for conversion (toGray): colour then becomes luma
// Y' = 0.299 R' + 0.587 G' + 0.114 B' on the stored (gamma-encoded) values,
// alpha is dropped, and 16-bit values are scaled to 8 bits with rounding.
//
// Every error is a CliError naming the file: kExitInput for reading,
// kExitOutput for writing, kExitUsage for an unknown extension of an output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"

namespace imgnormcli {

enum class ImageFormat { kPng, kTiff, kPgm };

// The format named by the file's extension (.png, .tif, .tiff, .pgm; any
// case); false when the extension is none of these.
bool formatFromName(const std::string& path, ImageFormat& format);
// Whether the file name has one of the extensions above.
inline bool isImageName(const std::string& path) {
  ImageFormat f;
  return formatFromName(path, f);
}
// The usual extension of a format, without the dot.
const char* formatExtension(ImageFormat format);

// A decoded file before it is accepted as 8-bit grey: rows of interleaved
// samples, 8 bits (one byte) or 16 bits (host-order uint16) each.
struct RawImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  int channels = 0;                      // 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
  int bits = 8;                          // 8 or 16
  std::uint32_t maxval = 255;            // the value that means full white (PGM may use less)
  bool palette = false;                  // the colours came from a palette
  std::vector<std::uint8_t> bytes8;      // bits == 8
  std::vector<std::uint16_t> samples16;  // bits == 16
};

// Decoders (exposed for the tests).  Throw CliError (kExitInput).
RawImage decodePng(const std::string& path);
RawImage decodeTiff(const std::string& path);
RawImage decodePgm(const std::string& path);

// Accepts a decoded image as 8-bit grey, or converts it when toGray is set;
// otherwise throws CliError (kExitInput) that names path and says what the
// file holds.
mxPelBuffer<unsigned char> toGray8(const RawImage& raw, const std::string& path, bool toGray);

// Reads an image file as 8-bit grey, window at (0, 0).
mxPelBuffer<unsigned char> readImage(const std::string& path, bool toGray);

// Writes the window of an 8-bit image in the format the name asks for: to a
// temporary name in the same folder, renamed into place when complete.
void writeImage(const std::string& path, const mxPelBuffer_const<unsigned char>& image);

// Installs libtiff's error and warning handlers (once, before any thread
// starts): errors are kept per thread for the messages, warnings dropped.
void installCodecHandlers();

// Largest image accepted, in pels: protects against absurd sizes in a
// corrupt header before anything is allocated.
constexpr std::uint64_t kMaxImagePels = std::uint64_t(1) << 30;

}  // namespace imgnormcli

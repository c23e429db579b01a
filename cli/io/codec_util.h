// Helpers shared by the image decoders and encoders of the imgnorm program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/cli_error.h"
#include "io/image_io.h"

namespace imgnormcli {

[[noreturn]] inline void inputError(const std::string& name, const std::string& what) {
  throw CliError(kExitInput, name + ": " + what);
}

// Refuses a claimed size before anything is allocated for it: no pels, or
// more pels than options.maxPixels (at most 2^40, so that products of the
// size with a few bytes per pel fit in 64 bits after this check).
void checkClaimedSize(const std::string& name, std::uint64_t width, std::uint64_t height, const ReadOptions& options);
// Refuses a claimed size that the file cannot hold: minStoredBytes is the
// least number of file bytes that can encode the pels under the file's
// compression; fileBytes is what the file holds.
void checkStoredBytes(const std::string& name, std::uint64_t width, std::uint64_t height, std::uint64_t minStoredBytes,
                      std::uint64_t fileBytes);

// Refuses a file whose decoded samples (width x height x samples x bytes per
// sample) exceed both 1024 times the file's size and the larger of 2^28
// bytes and options.maxPixels: a ratio beyond what ordinary compressed images
// reach, the mark of a decompression bomb.  8-bit grey within --max-pixels
// never meets it; raising --max-pixels accepts the file.
void checkDecodedSize(const std::string& name, std::uint64_t width, std::uint64_t height, std::uint64_t bytesPerPel,
                      std::uint64_t fileBytes, const ReadOptions& options);

// The part of a width x height image a decoder keeps (see ReadOptions::keep),
// bits the stored sample depth (8 or 16).
mxPelRect keptPart(std::int32_t width, std::int32_t height, int bits, const ReadOptions& options);
// Makes raw, stored whole, hold only part of it (in place).
void cropRaw(RawImage& raw, const mxPelRect& part);

// Refuses a page other than the first for the single-page formats.
void checkSinglePage(const std::string& name, const ReadOptions& options);

// The text of "N page(s)".
std::string pagesText(std::uint64_t n);

}  // namespace imgnormcli

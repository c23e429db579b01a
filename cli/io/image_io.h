// Image files of the imgnorm program.  The formats are the rows of the codec
// table (io/codecs.h).
//
// Reading: PNG (libpng), TIFF (libtiff; strips or tiles, any page), JPEG
// (libjpeg-turbo), BMP and binary PGM/PPM.  The format is recognised from the
// file's first bytes; the extension only decides which files a folder scan
// takes.  Every decoder works on bytes in memory (decodeImage), so that a
// fuzz target or a test can call it on a buffer; readImage reads the file
// first, regular files only and no more than the file's size.
//
// readImage gives 8-bit grey levels; readRaw and toGray16 give the 16-bit
// grey levels of the 16-bit tool, refusing pels beyond the declared depth.
// For 8 bits, a colour, alpha, palette-colour or deeper-than-8-bit file is
// refused with a message naming the file unless the caller asks for
// conversion (ReadOptions::toGray, or toDepth8 for deep grey): colour becomes luma
// Y' = 0.299 R' + 0.587 G' + 0.114 B' on the stored (gamma-encoded) values,
// alpha is dropped, and deeper samples are scaled to 8 bits as
// ReadOptions::scaling says.  A palette whose entries are all grey is read as
// grey without conversion.
//
// Before anything is allocated for the pels, the size the header claims is
// checked against ReadOptions::maxPixels and against what the file's size
// can hold under its compression.  Missing or corrupt data is an error in
// every decoder: no row is ever made up.
//
// toColor8 and toColor16 give the interleaved RGB or RGBA pels of the colour
// tool; shiftToDepth8 makes 16-bit grey or colour 8-bit (--depth 8).
//
// Writing: 8-bit grey PNG, TIFF, PGM or JPEG, 16-bit grey PNG, TIFF or PGM,
// colour (RGB, RGBA) PNG and TIFF of 8 or 16 bits, RGB PPM of 8 or 16 bits
// and RGB JPEG, encoded in memory and written under a temporary name that is
// renamed into place.
//
// Every error is a CliError naming the file: kExitInput for reading,
// kExitOutput for writing, kExitUsage for an output name of no writable
// format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"

namespace imgnormcli {

// Whether the file name has the extension of a format the program reads
// (the files a folder scan takes; any case), or of one it writes (PNG, TIFF,
// JPEG, PGM, PPM).  The formats and their extensions are the table in
// io/codecs.h.
bool isImageName(const std::string& path);
bool isWritableName(const std::string& path);

// How samples deeper than 8 bits become 8-bit grey levels under --to-gray.
struct GrayScaling {
  enum Mode {
    kAuto,   // the image's own value range, cut at the 0.01 % and 99.99 % quantiles
    kShift,  // v >> shift, saturated at 255
    kRange,  // lo -> 0, hi -> 255, linear between, saturated outside
    kFull    // 0 -> 0, the file's maximum (65535 for 16 bits) -> 255
  };
  Mode mode = kAuto;
  int shift = 0;
  std::uint32_t lo = 0, hi = 65535;
};
// "auto", "shift:N" (0..15), "range:LO,HI" (0 <= LO < HI <= 65535) or
// "full".  Throws CliError (kExitUsage) naming the option.
GrayScaling parseGrayScaling(const std::string& text, const std::string& option);
// The text form parseGrayScaling reads.
std::string grayScalingText(const GrayScaling& scaling);

// Largest image accepted by default, in pels (16384 x 16384); --max-pixels
// raises or lowers it.
constexpr std::uint64_t kDefaultMaxPixels = std::uint64_t(1) << 28;
// The highest limit --max-pixels accepts (2^40 pels).
constexpr std::uint64_t kMaxPixelsLimit = std::uint64_t(1) << 40;

struct ReadOptions {
  bool toGray = false;    // convert colour, alpha and deep samples (else refuse them)
  GrayScaling scaling;    // for samples deeper than 8 bits
  std::int32_t page = 1;  // page of a multi-page TIFF, from 1
  std::uint64_t maxPixels = kDefaultMaxPixels;
  // The part of the image the caller uses, in the image's coordinates (a
  // run: the reference's window, cut by the mask's).  Only its pels are
  // kept: PNG and TIFF rows above it are decoded and dropped row by row,
  // rows below it are not decoded, columns beside it are dropped as each row
  // is read, and the image comes back with that part as its window.  A null
  // rectangle, one that misses the image, or deep samples scaled by their
  // own range (--to-gray=auto, which needs every pel) keep the whole image.
  mxPelRect keep;
  // Samples deeper than 8 bits: their declared depth, 9..16 (0: the file's
  // own, see declaredDepth), and whether they become 8 bits as
  // v >> (depth - 8) (--depth 8, the same shift for every image of a batch;
  // grey, and colour for the colour tool: shiftToDepth8).
  std::int32_t bitDepth = 0;
  bool toDepth8 = false;
};

// A decoded file before it is accepted as 8-bit grey: rows of interleaved
// samples, 8 bits (one byte) or 16 bits (host-order uint16) each.  The
// storage is left uninitialised when allocated, so a header that claims a
// large image costs no memory until its pels are decoded.
struct RawImage {
  std::int32_t width = 0;   // the stored samples: a part of the image when
  std::int32_t height = 0;  // ReadOptions::keep cut it,
  std::int32_t x0 = 0;      // at (x0, y0) in the image,
  std::int32_t y0 = 0;
  std::int32_t imageWidth = 0;  // whose size is this (0: width x height)
  std::int32_t imageHeight = 0;
  int channels = 0;                            // 1 grey, 2 grey+alpha, 3 RGB, 4 RGBA
  int bits = 8;                                // 8 or 16
  std::uint32_t maxval = 255;                  // the value that means full white
  bool palette = false;                        // the colours came from a palette
  int fileSamples = 0;                         // samples a pel in the file when more than channels (a TIFF's extras)
  int pages = 1;                               // pages in the file (TIFF directories)
  int page = 1;                                // the page decoded
  std::unique_ptr<std::uint8_t[]> bytes8;      // bits == 8
  std::unique_ptr<std::uint16_t[]> samples16;  // bits == 16

  std::size_t rowSamples() const { return std::size_t(width) * std::size_t(channels); }
  std::size_t sampleCount() const { return rowSamples() * std::size_t(height); }
  std::uint8_t* row8(std::int32_t y) const { return bytes8.get() + rowSamples() * std::size_t(y); }
  std::uint16_t* row16(std::int32_t y) const { return samples16.get() + rowSamples() * std::size_t(y); }
  // Allocates the storage for width x height x channels samples of bits.
  void allocate();
};

// What reading did beyond decoding, for messages, diagnostics and summaries.
struct ImageInfo {
  std::string conversion;             // empty for plain 8-bit grey, else e.g. "16-bit grey, auto 1021..3980 -> 0..255"
  std::vector<std::string> warnings;  // one line each, naming the file
  int pages = 1;
  int page = 1;
  std::int32_t width = 0, height = 0;  // the whole image's size (its window may be a part)
};

// The declared depth of a decoded 16-bit image: options.bitDepth when given,
// else the file's own (the bits a PGM's maximum value or a TIFF's bits per
// sample need, at least 9; 16 for PNG, whose sBIT chunk describes samples
// scaled up to 16 bits, not the low-bit words cameras write).
std::int32_t declaredDepth(const RawImage& raw, const ReadOptions& options);
// What a decoded image holds, for messages: "greyscale image, 16-bit".
std::string describeRaw(const RawImage& raw);

// Decodes bytes in memory, recognising the format from the first bytes;
// name is used in messages only.  Throws CliError (kExitInput) naming it.
RawImage decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options);

// Accepts a decoded image as 8-bit grey, or converts it when options.toGray
// is set; otherwise throws CliError (kExitInput) that names the file and says
// what it holds.  info (when given) receives the conversion and warnings.
mxPelBuffer<unsigned char> toGray8(const RawImage& raw, const std::string& name, const ReadOptions& options,
                                   ImageInfo* info = nullptr);

// --depth 8: the 16-bit samples of raw (grey or colour, alpha or not) as
// 8-bit ones, v >> (depth - 8) from the declared depth (declaredDepth: the
// same shift for every image of a batch, never the image's own range); an
// alpha sample, which spans 16 bits whatever the depth, as v >> 8.  A grey or
// colour sample above 2^depth - 1 is a CliError (kExitInput) naming the
// file.  info (when given) receives the conversion and the warning when
// fewer than 32 levels remain; without it the warning goes to standard error.
RawImage shiftToDepth8(const RawImage& raw, const std::string& name, const ReadOptions& options,
                       ImageInfo* info = nullptr);

// Accepts a decoded 16-bit greyscale image for a tool of the given depth:
// CliError (kExitInput) naming the file for anything else and for a pel
// above 2^depth - 1 (never clamped or wrapped).
mxPelBuffer<unsigned short> toGray16(const RawImage& raw, const std::string& name, std::int32_t depth);

// Accepts a decoded colour image (RGB or RGBA, palette colour too) of
// 8-bit samples, or of 16-bit samples within depth (red, green and blue at
// most 2^depth - 1; alpha is passed through): one interleaved buffer of
// channels x width samples a row, its window (x0 x channels, y0).  Anything
// else is a CliError (kExitInput) naming the file; the caller names the tool.
mxPelBuffer<unsigned char> toColor8(const RawImage& raw, const std::string& name);
mxPelBuffer<unsigned short> toColor16(const RawImage& raw, const std::string& name, std::int32_t depth);

// The BT.601 luma (299 R + 587 G + 114 B + 500) / 1000 of an interleaved
// colour image, as the colour tool computes it: one grey pel per colour pel,
// in pel coordinates.
template <class Pel>
mxPelBuffer<Pel> lumaOf(const mxPelBuffer_const<Pel>& image, int channels);

// Reads and decodes an image file, cut to options.keep; info receives the
// page and size and the multi-page warning.
RawImage readRaw(const std::string& path, const ReadOptions& options, ImageInfo& info);

// Reads an image file as 8-bit grey, window at (0, 0) or the part
// options.keep selects.  Without info, the
// warnings go to standard error as "imgnorm: warning: ..." lines.
mxPelBuffer<unsigned char> readImage(const std::string& path, const ReadOptions& options, ImageInfo* info = nullptr);
inline mxPelBuffer<unsigned char> readImage(const std::string& path, bool toGray) {
  ReadOptions o;
  o.toGray = toGray;
  return readImage(path, o);
}

// Output settings.  PNG: zlib level 0..9, or -1 for the fast default (level
// 1, run-length matching, the Sub filter: about as small as level 6 on
// camera images at a fraction of the time).  TIFF: no compression by default.
enum class TiffCompression { kNone, kLzw, kDeflate, kZstd };
struct WriteOptions {
  int pngLevel = -1;
  TiffCompression compression = TiffCompression::kNone;
  int quality = 95;         // JPEG, 1..100
  std::int32_t depth = 16;  // 16-bit images: their depth (a PGM's maximum value is 2^depth - 1)
  int channels = 1;         // 1 grey; 3 RGB or 4 RGBA, interleaved (an image's width is channels x its pels')
};
// "none", "lzw", "deflate" or "zstd"; zstd only when this libtiff has it.
// Throws CliError (kExitUsage) naming the option.
TiffCompression parseTiffCompression(const std::string& text, const std::string& option);
// Whether this libtiff can write the compression.
bool tiffCompressionAvailable(TiffCompression compression);
// Checks a PNG level (-1 or 0..9).  Throws CliError (kExitUsage).
void checkPngLevel(int level, const std::string& option);

// Writes the window of an 8-bit image in the format the name asks for: to a
// temporary name in the same folder, renamed into place when complete.
void writeImage(const std::string& path, const mxPelBuffer_const<unsigned char>& image,
                const WriteOptions& options = {});
// The same for a 16-bit image (PNG and TIFF of 16 bits a sample, PGM up to
// 2^options.depth - 1); a format that holds 8 bits only (JPEG) is refused
// with CliError (kExitUsage).
void writeImage(const std::string& path, const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options);
// The refusal writeImage gives for a 16-bit image into a format of 8 bits;
// empty when the name's format holds 16 bits (or is no format).
std::string deepOutputRefusal(const std::string& path, const std::string& toolFile = "");

// The refusal writeImage gives for a colour image of channels (3 or 4) into
// a format that holds no colour (PGM) or no alpha (JPEG, PPM); empty when it
// holds them (or is no format).
std::string colourOutputRefusal(const std::string& path, int channels);

// Silences libtiff's process-wide error and warning handlers (once, before
// any thread starts); each file's messages are collected per handle.
void installCodecHandlers();

}  // namespace imgnormcli

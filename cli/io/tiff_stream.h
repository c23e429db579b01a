// Streaming TIFF input and output of the imgnorm program: an 8-bit or 16-bit
// grey TIFF (striped or tiled, classic or BigTIFF) read a band of rows at a time
// through libtiff's scanline and tile interface, and a result written strip
// by strip, so that memory depends on the band (block size and halo), not on
// the image's size.  Used by `run` and `normalize` with --block-size, and for
// TIFF files larger than the in-memory limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/file_util.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "io/image_io.h"

typedef struct tiff TIFF;

namespace imgnormcli {

// A one-sample, min-is-black TIFF of 8 * sizeof(Pel) bits per sample as a
// source of pels (TiffPelSource: 8 bits, TiffPelSource16: 16).  Opening
// checks that the file is a regular file, that it holds such an image, and
// that every strip or tile lies within the file (a file cut short is refused
// before any work).  Reads decode the rows asked for once and keep them for
// the following requests of the same rows.  Errors are CliError (kExitInput)
// naming the file.
template <class Pel>
class TiffPelSourceOf : public mxPelSourceOf<Pel> {
public:
  // color: an RGB or RGBA file (interleaved samples, windows in samples as
  // the colour tool takes them) instead of a grey one.
  explicit TiffPelSourceOf(const std::string& path, bool color = false);
  ~TiffPelSourceOf() override;
  TiffPelSourceOf(const TiffPelSourceOf&) = delete;
  TiffPelSourceOf& operator=(const TiffPelSourceOf&) = delete;

  mxPelRect window() const override { return mxPelRect(0, 0, width_, height_); }
  mxPelBuffer_const<Pel> read(const mxPelRect& rect) override;

  bool bigTiff() const { return bigTiff_; }
  // Samples per pel: 1, or 3 or 4 for a colour file.
  std::int32_t channels() const { return channels_; }
  std::uint16_t compression() const { return compression_; }
  const std::string& path() const { return path_; }
  // The libtiff message of the last error on this file.
  std::string lastError;

private:
  [[noreturn]] void fail(const std::string& what) const;
  void checkLayout(std::uint64_t fileBytes);
  void decodeRows(std::int32_t y0, std::int32_t y1);

  std::string path_;
  TIFF* tif_ = nullptr;
  std::int32_t width_ = 0, height_ = 0;  // width in samples
  std::int32_t channels_ = 1;
  bool color_ = false;
  bool tiled_ = false, bigTiff_ = false;
  std::uint16_t compression_ = 1;
  std::uint32_t tileWidth_ = 0, tileHeight_ = 0;
  std::int32_t rowsPerStrip_ = 1, nextRow_ = 0;
  std::vector<unsigned char> tile_;
  mxPelBuffer<Pel> rows_;  // decoded rows, whole width
};
using TiffPelSource = TiffPelSourceOf<unsigned char>;
using TiffPelSource16 = TiffPelSourceOf<unsigned short>;

// Writes a result to a grey striped TIFF of 8 * sizeof(Pel) bits per sample
// (TiffStripSink: 8, TiffStripSink16: 16): blocks are gathered into a
// band of rows, written as scanlines when the band's last block arrives.
// The file is written under a temporary name and only commit() gives it its
// final name; a sink destroyed without commit() removes the temporary.
// Errors are CliError (kExitOutput) naming the file.
template <class Pel>
class TiffStripSinkOf : public mxPelSinkOf<Pel> {
public:
  // bigTiff: write BigTIFF (also chosen when the image needs more than
  // classic TIFF's 4 GiB); compression: as --compression says, the same as
  // for the in-memory path's TIFF outputs.
  // channels: samples per pel (1; 3 or 4 for RGB and RGBA, windows in samples).
  TiffStripSinkOf(const std::string& path, bool bigTiff, TiffCompression compression, std::int32_t channels = 1);
  ~TiffStripSinkOf() override;
  TiffStripSinkOf(const TiffStripSinkOf&) = delete;
  TiffStripSinkOf& operator=(const TiffStripSinkOf&) = delete;

  void begin(const mxPelRect& window) override;
  void write(const mxPelBuffer_const<Pel>& block) override;
  // Closes the file and renames it into place; every row must have been
  // written.
  void commit();
  std::string lastError;

private:
  // error: the errno value of a failed write, 0 when there is none.
  [[noreturn]] void fail(const std::string& what, int error = 0);
  void close();

  std::string path_;
  PendingFile pending_;
  bool bigTiff_;
  std::uint16_t compression_;
  std::int32_t channels_;
  TIFF* tif_ = nullptr;
  mxPelRect window_;
  mxPelBuffer<Pel> band_;
  std::int32_t rowsWritten_ = 0;
};
using TiffStripSink = TiffStripSinkOf<unsigned char>;
using TiffStripSink16 = TiffStripSinkOf<unsigned short>;

// The libtiff code of a compression the program writes.
std::uint16_t tiffCompressionCode(TiffCompression compression);

// Sets the tags of an 8-bit, one-sample, min-is-black striped image of the
// given size and libtiff compression code on a TIFF opened for writing.
void setGreyStripLayout(TIFF* tif, std::uint32_t width, std::uint32_t height, std::uint16_t compression);

// Width and height claimed by a TIFF's header, without decoding; false when
// the file cannot be opened as TIFF.
bool tiffSize(const std::string& path, std::int32_t& width, std::int32_t& height);
// The bits per sample of a TIFF file's first image; 0 when it is not a
// readable TIFF.
int tiffBitsPerSample(const std::string& path);
// The pages (directories) of a TIFF file; 0 when it is not a readable TIFF.
int tiffPageCount(const std::string& path);
// Whether path is a TIFF file whose header claims more pels than
// read.maxPixels: such a file is normalized block by block, never loaded.
bool tiffBeyondLimit(const std::string& path, const ReadOptions& read);

}  // namespace imgnormcli

// Streaming TIFF input and output of the imgnorm program: an 8-bit grey TIFF
// (striped or tiled, classic or BigTIFF) read a band of rows at a time
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

// An 8-bit, one-sample, min-is-black TIFF as a source of pels.  Opening
// checks that the file is a regular file, that it holds such an image, and
// that every strip or tile lies within the file (a file cut short is refused
// before any work).  Reads decode the rows asked for once and keep them for
// the following requests of the same rows.  Errors are CliError (kExitInput)
// naming the file.
class TiffPelSource : public mxPelSource {
public:
  explicit TiffPelSource(const std::string& path);
  ~TiffPelSource() override;
  TiffPelSource(const TiffPelSource&) = delete;
  TiffPelSource& operator=(const TiffPelSource&) = delete;

  mxPelRect window() const override { return mxPelRect(0, 0, width_, height_); }
  mxPelBuffer_const<unsigned char> read(const mxPelRect& rect) override;

  bool bigTiff() const { return bigTiff_; }
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
  std::int32_t width_ = 0, height_ = 0;
  bool tiled_ = false, bigTiff_ = false;
  std::uint16_t compression_ = 1;
  std::uint32_t tileWidth_ = 0, tileHeight_ = 0;
  std::int32_t rowsPerStrip_ = 1, nextRow_ = 0;
  std::vector<unsigned char> tile_;
  mxPelBuffer<unsigned char> rows_;  // decoded rows, whole width
};

// Writes a result to an 8-bit grey striped TIFF: blocks are gathered into a
// band of rows, written as scanlines when the band's last block arrives.
// The file is written under a temporary name and only commit() gives it its
// final name; a sink destroyed without commit() removes the temporary.
// Errors are CliError (kExitOutput) naming the file.
class TiffStripSink : public mxPelSink {
public:
  // bigTiff: write BigTIFF (also chosen when the image needs more than
  // classic TIFF's 4 GiB); compression: as --compression says, the same as
  // for the in-memory path's TIFF outputs.
  TiffStripSink(const std::string& path, bool bigTiff, TiffCompression compression);
  ~TiffStripSink() override;
  TiffStripSink(const TiffStripSink&) = delete;
  TiffStripSink& operator=(const TiffStripSink&) = delete;

  void begin(const mxPelRect& window) override;
  void write(const mxPelBuffer_const<unsigned char>& block) override;
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
  TIFF* tif_ = nullptr;
  mxPelRect window_;
  mxPelBuffer<unsigned char> band_;
  std::int32_t rowsWritten_ = 0;
};

// The libtiff code of a compression the program writes.
std::uint16_t tiffCompressionCode(TiffCompression compression);

// Sets the tags of an 8-bit, one-sample, min-is-black striped image of the
// given size and libtiff compression code on a TIFF opened for writing.
void setGreyStripLayout(TIFF* tif, std::uint32_t width, std::uint32_t height, std::uint16_t compression);

// Width and height claimed by a TIFF's header, without decoding; false when
// the file cannot be opened as TIFF.
bool tiffSize(const std::string& path, std::int32_t& width, std::int32_t& height);
// The pages (directories) of a TIFF file; 0 when it is not a readable TIFF.
int tiffPageCount(const std::string& path);
// Whether path is a TIFF file whose header claims more pels than
// read.maxPixels: such a file is normalized block by block, never loaded.
bool tiffBeyondLimit(const std::string& path, const ReadOptions& read);

}  // namespace imgnormcli

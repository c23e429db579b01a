#include "io/tiff_stream.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "baseif/mxPelOps.h"
#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "common/file_util.h"
#include "common/options.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "io/image_io.h"

namespace imgnormcli {

namespace {

// libtiff's per-file error handler: the message goes to the owner's
// lastError (user data), and the global handlers are not called.
int keepError(TIFF*, void* userData, const char* module, const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  std::string* target = static_cast<std::string*>(userData);
  *target = (module && *module ? std::string(module) + ": " : std::string()) + text;
  return 1;
}
int dropWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Opens a TIFF with errors kept in *error.  "m" keeps libtiff from mapping
// the file: mapped pels would count as resident memory.
TIFF* openTiff(const std::string& path, const char* mode, std::string* error) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, error);
  TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
  TIFF* tif = TIFFOpenExt(path.c_str(), mode, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

std::uint64_t regularFileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw CliError(kExitInput, path + ": cannot open: " + errnoText(errno));
  if (!S_ISREG(st.st_mode)) throw CliError(kExitInput, path + ": not a regular file");
  return std::uint64_t(st.st_size);
}

}  // namespace

void setGreyStripLayout(TIFF* tif, std::uint32_t width, std::uint32_t height, std::uint16_t compression) {
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
  // The compressed forms go with the horizontal predictor (smaller files of
  // camera images at little cost).
  if (compression != COMPRESSION_NONE) TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
}

bool tiffSize(const std::string& path, std::int32_t& width, std::int32_t& height) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string error;
  TIFF* tif = openTiff(path, "rm", &error);
  if (!tif) return false;
  std::uint32_t w = 0, h = 0;
  const bool ok = TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) && TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFClose(tif);
  if (!ok || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu) return false;
  width = std::int32_t(w);
  height = std::int32_t(h);
  return true;
}

int tiffBitsPerSample(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::string error;
  TIFF* tif = openTiff(path, "rm", &error);
  if (!tif) return 0;
  std::uint16_t bits = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFClose(tif);
  return bits;
}

int tiffPageCount(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::string error;
  TIFF* tif = openTiff(path, "rm", &error);
  if (!tif) return 0;
  const tdir_t pages = TIFFNumberOfDirectories(tif);
  TIFFClose(tif);
  return int(pages);
}

bool tiffBeyondLimit(const std::string& path, const ReadOptions& read) {
  std::int32_t w = 0, h = 0;
  return tiffSize(path, w, h) && std::uint64_t(w) * std::uint64_t(h) > read.maxPixels;
}

// ---- reading ----

template <class Pel>
TiffPelSourceOf<Pel>::TiffPelSourceOf(const std::string& path, bool color) : path_(path), color_(color) {
  const std::uint64_t fileBytes = regularFileSize(path);
  tif_ = openTiff(path, "rm", &lastError);
  if (!tif_) fail("not a readable TIFF file");
  // The destructor does not run for a constructor that throws: close the
  // file here when the checks below refuse it.
  try {
    checkLayout(fileBytes);
  } catch (...) {
    TIFFClose(tif_);
    tif_ = nullptr;
    throw;
  }
}

template <class Pel>
void TiffPelSourceOf<Pel>::checkLayout(std::uint64_t fileBytes) {
  std::uint32_t w = 0, h = 0;
  std::uint16_t spp = 1, bits = 1, photometric = 0, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression_);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
  if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = PHOTOMETRIC_MINISBLACK;
  if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu) fail("the image size is missing or out of range");
  const bool layout = color_ ? (spp == 3 || spp == 4) && photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG
                             : spp == 1 && photometric == PHOTOMETRIC_MINISBLACK;
  if (!layout || bits != 8 * sizeof(Pel) || format != SAMPLEFORMAT_UINT)
    fail("block-wise processing with this tool reads " + std::to_string(8 * sizeof(Pel)) +
         (color_ ? "-bit RGB or RGBA (interleaved) TIFF only" : "-bit grey (min-is-black) TIFF only") +
         "; this file has " + std::to_string(spp) + " sample(s) of " + std::to_string(bits) + " bits, photometric " +
         std::to_string(photometric));
  if (std::uint64_t(w) * spp > 0x7FFFFFFFu) fail("the image is too wide");
  channels_ = spp;
  w *= spp;
  width_ = std::int32_t(w);
  height_ = std::int32_t(h);
  tiled_ = TIFFIsTiled(tif_) != 0;
  bigTiff_ = TIFFIsBigTIFF(tif_) != 0;
  if (tiled_) {
    TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tileWidth_);
    TIFFGetField(tif_, TIFFTAG_TILELENGTH, &tileHeight_);
    if (tileWidth_ == 0 || tileHeight_ == 0 || std::uint64_t(tileWidth_) * tileHeight_ > (std::uint64_t(1) << 28))
      fail("bad tile size");
    tile_.resize(std::size_t(TIFFTileSize(tif_)));
  } else {
    std::uint32_t rows = 0;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
    rowsPerStrip_ = std::int32_t(std::min<std::uint32_t>(std::max<std::uint32_t>(rows, 1), std::uint32_t(height_)));
    tile_.resize(std::size_t(width_) * sizeof(Pel));  // a row skipped on the way to the first one asked for
  }
  // Every strip or tile must lie within the file: one that reaches past its
  // end means the file was cut short.
  // (TIFFNumberOfStrips counts by RowsPerStrip, which a tiled file lacks.)
  const std::uint32_t pieces = tiled_ ? TIFFNumberOfTiles(tif_) : TIFFNumberOfStrips(tif_);
  for (std::uint32_t i = 0; i < pieces; ++i) {
    const std::uint64_t end = TIFFGetStrileOffset(tif_, i) + TIFFGetStrileByteCount(tif_, i);
    if (end > fileBytes)
      fail("truncated: " + std::string(tiled_ ? "tile " : "strip ") + std::to_string(i) + " of " +
           std::to_string(pieces) + " ends at byte " + std::to_string(end) + " but the file has " +
           std::to_string(fileBytes) + " bytes");
  }
}

template <class Pel>
TiffPelSourceOf<Pel>::~TiffPelSourceOf() {
  if (tif_) TIFFClose(tif_);
}

template <class Pel>
void TiffPelSourceOf<Pel>::fail(const std::string& what) const {
  throw CliError(kExitInput, path_ + ": " + what + (lastError.empty() ? "" : " (" + lastError + ")"));
}

template <class Pel>
mxPelBuffer_const<Pel> TiffPelSourceOf<Pel>::read(const mxPelRect& rect) {
  const mxPelRect rows = rows_.isBound() ? rows_.window() : mxPelRect();
  if (!rows.contains(rect)) decodeRows(rect.y(), rect.y() + rect.height());
  mxPelBuffer_const<Pel> view = rows_;
  view.window(rect, false);
  return view;
}

template <class Pel>
void TiffPelSourceOf<Pel>::decodeRows(std::int32_t y0, std::int32_t y1) {
  // A new store each time: views handed out earlier keep the old one.
  rows_.setUnbound();
  rows_ = mxPelBuffer<Pel>(mxPelRect(0, y0, width_, y1 - y0), 32, mxPelInit::eUnwritten);
  if (!tiled_) {
    // Compressed strips decode only forward: rows are read in order from the
    // start of y0's strip, or from where the last read stopped when that
    // lies between.
    std::int32_t y = y0 / rowsPerStrip_ * rowsPerStrip_;
    if (nextRow_ > y && nextRow_ <= y0) y = nextRow_;
    for (; y < y1; ++y) {
      void* dst = y >= y0 ? static_cast<void*>(rows_.row(y - y0)) : tile_.data();
      if (TIFFReadScanline(tif_, dst, std::uint32_t(y), 0) < 0) fail("cannot decode row " + std::to_string(y));
    }
    nextRow_ = y1;
    return;
  }
  // (Tile widths count pels, rows samples.)
  const std::int32_t th = std::int32_t(tileHeight_), tw = std::int32_t(tileWidth_) * channels_;
  for (std::int32_t ty = y0 / th * th; ty < y1; ty += th)
    for (std::int32_t tx = 0; tx < width_; tx += tw) {
      if (TIFFReadTile(tif_, tile_.data(), std::uint32_t(tx / channels_), std::uint32_t(ty), 0, 0) < 0)
        fail("cannot decode the tile at (" + std::to_string(tx / channels_) + ", " + std::to_string(ty) + ")");
      const std::int32_t from = std::max(ty, y0), to = std::min(ty + th, y1);
      const std::int32_t n = std::min(tw, width_ - tx);
      for (std::int32_t y = from; y < to; ++y)
        std::copy_n(reinterpret_cast<const Pel*>(tile_.data()) + std::size_t(y - ty) * std::size_t(tw), n,
                    rows_.row(y - y0) + tx);
    }
}

// ---- writing ----

template <class Pel>
TiffStripSinkOf<Pel>::TiffStripSinkOf(const std::string& path, bool bigTiff, TiffCompression compression,
                                      std::int32_t channels)
    : path_(path), bigTiff_(bigTiff), compression_(tiffCompressionCode(compression)), channels_(channels) {}

template <class Pel>
TiffStripSinkOf<Pel>::~TiffStripSinkOf() {
  if (tif_) close();  // the pending file removes the temporary
}

template <class Pel>
void TiffStripSinkOf<Pel>::close() {
  TIFF* tif = tif_;
  tif_ = nullptr;
  TIFFClose(tif);
}

template <class Pel>
void TiffStripSinkOf<Pel>::fail(const std::string& what, int error) {
  // The system's reason (a full disk, a file size limit) first, then libtiff's.
  std::string reason = error ? ": " + errnoText(error) : "";
  if (!lastError.empty()) reason += " (" + lastError + ")";
  if (tif_) close();
  pending_.discard();
  throw CliError(kExitOutput, path_ + ": " + what + reason);
}

template <class Pel>
void TiffStripSinkOf<Pel>::begin(const mxPelRect& window) {
  window_ = window;
  // Classic TIFF addresses 4 GiB; leave room for the directory and strip
  // tables of an uncompressed image.
  const bool big = bigTiff_ || double(window.width()) * double(window.height()) > 3.9e9;
  pending_ = PendingFile(path_);
  errno = 0;
  tif_ = openTiff(pending_.path(), big ? "w8" : "w", &lastError);
  if (!tif_) fail("cannot create " + pending_.path(), errno);
  setGreyStripLayout(tif_, std::uint32_t(window.width() / channels_), std::uint32_t(window.height()), compression_);
  // As the in-memory writer sets them.
  TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, int(8 * sizeof(Pel)));
  if (channels_ >= 3) {
    TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, channels_);
    TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    if (channels_ == 4) TIFFSetField(tif_, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif_, 0));
  }
  rowsWritten_ = 0;
}

template <class Pel>
void TiffStripSinkOf<Pel>::write(const mxPelBuffer_const<Pel>& block) {
  const mxPelRect b = block.window();
  if (!band_.isBound() || band_.window().y() != b.y() || band_.height() != b.height())
    band_ = mxPelBuffer<Pel>(mxPelRect(window_.x(), b.y(), window_.width(), b.height()), 32,
                                       mxPelInit::eUnwritten);
  mxPelBuffer<Pel> dst = band_;
  dst.window(b, false);
  mfPelCopy<Pel>(block, dst);
  if (b.x() + b.width() < window_.x() + window_.width()) return;
  // The band's last block: its rows go out in order.
  if (b.y() - window_.y() != rowsWritten_) fail("blocks arrived out of order");
  for (std::int32_t j = 0; j < band_.height(); ++j, ++rowsWritten_) {
    errno = 0;
    if (TIFFWriteScanline(tif_, band_.row(j), std::uint32_t(rowsWritten_), 0) < 0)
      fail("cannot write row " + std::to_string(rowsWritten_), errno);
  }
}

template <class Pel>
void TiffStripSinkOf<Pel>::commit() {
  if (!tif_) fail("nothing was written");
  if (rowsWritten_ != window_.height()) fail("only " + std::to_string(rowsWritten_) + " rows were written");
  errno = 0;
  if (!TIFFFlush(tif_)) fail("cannot write", errno);
  errno = 0;
  close();
  if (!lastError.empty()) {
    const int error = errno;
    pending_.discard();
    throw CliError(kExitOutput,
                   path_ + ": cannot write" + (error ? ": " + errnoText(error) : "") + " (" + lastError + ")");
  }
  pending_.commit();
}

template class TiffPelSourceOf<unsigned char>;
template class TiffPelSourceOf<unsigned short>;
template class TiffStripSinkOf<unsigned char>;
template class TiffStripSinkOf<unsigned short>;

}  // namespace imgnormcli

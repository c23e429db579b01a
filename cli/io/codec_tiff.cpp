// TIFF reading and writing through libtiff, from and to memory.
//
// Grey, RGB and palette images with 1 to 16 bits per sample, in strips or
// tiles, interleaved or in separate planes, are decoded block by block here;
// every block must decode in full.  Other photometric kinds (CMYK, YCbCr
// without JPEG, Lab, ...) go through libtiff's RGBA reader, told to stop at
// the first error.  Any error libtiff reports fails the read: no block is
// ever left out or repeated.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include <tiffio.h>

#include "io/codec_util.h"
#include "io/tiff_stream.h"

namespace imgnormcli {

namespace {

// libtiff's messages for one handle: the first error is kept.
struct TiffMessages {
  std::string error;
};

extern "C" int tiffHandleError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* m = static_cast<TiffMessages*>(user);
  if (m && m->error.empty()) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    m->error = buf;
  }
  (void)module;
  return 1;
}
extern "C" int tiffHandleWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
extern "C" void tiffSilent(const char*, const char*, va_list) {}

// A file in memory, read-only, or a growing byte vector for writing.
struct TiffStream {
  const std::uint8_t* data = nullptr;
  std::vector<std::uint8_t>* out = nullptr;
  std::uint64_t size = 0;
  std::uint64_t pos = 0;
};

extern "C" tmsize_t tiffRead(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<TiffStream*>(h);
  const std::uint8_t* base = s->out ? s->out->data() : s->data;
  if (n < 0 || s->pos >= s->size) return 0;
  const std::uint64_t k = std::min<std::uint64_t>(std::uint64_t(n), s->size - s->pos);
  std::memcpy(buf, base + s->pos, std::size_t(k));
  s->pos += k;
  return tmsize_t(k);
}

extern "C" tmsize_t tiffWrite(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<TiffStream*>(h);
  if (!s->out || n < 0) return -1;
  const std::uint64_t end = s->pos + std::uint64_t(n);
  if (end > s->out->size()) s->out->resize(std::size_t(end));
  std::memcpy(s->out->data() + s->pos, buf, std::size_t(n));
  s->pos = end;
  s->size = s->out->size();
  return n;
}

extern "C" toff_t tiffSeek(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<TiffStream*>(h);
  std::uint64_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0;
  s->pos = base + off;
  return s->pos;
}

extern "C" int tiffClose(thandle_t) { return 0; }
extern "C" toff_t tiffSize(thandle_t h) { return static_cast<TiffStream*>(h)->size; }
extern "C" int tiffMap(thandle_t h, void** base, toff_t* size) {
  auto* s = static_cast<TiffStream*>(h);
  if (s->out) return 0;
  *base = const_cast<std::uint8_t*>(s->data);
  *size = s->size;
  return 1;
}
extern "C" void tiffUnmap(thandle_t, void*, toff_t) {}

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t) TIFFClose(t);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TIFF* openTiff(const std::string& name, const char* mode, TiffStream& stream, TiffMessages& messages,
               tmsize_t maxAlloc) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(opts, tiffHandleError, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, tiffHandleWarning, nullptr);
  if (maxAlloc > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(opts, maxAlloc);
  TIFF* t = TIFFClientOpenExt(name.c_str(), mode, &stream, tiffRead, tiffWrite, tiffSeek, tiffClose, tiffSize, tiffMap,
                              tiffUnmap, opts);
  TIFFOpenOptionsFree(opts);
  return t;
}

// The least ratio of decoded to stored bytes that each compression cannot
// exceed; 0 where the format has no useful bound (fax, JPEG, ZSTD, ...).
std::uint64_t maxExpansion(std::uint16_t compression) {
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_PACKBITS:
      return 64;
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      return 2100;
    default:
      return 0;
  }
}

// One sample of bps bits (1..16) at sample index i of a packed row, MSB first.
inline std::uint32_t packedSample(const std::uint8_t* row, std::uint64_t i, int bps) {
  std::uint64_t bit = i * std::uint64_t(bps);
  std::uint32_t v = 0;
  for (int k = 0; k < bps; ++k, ++bit) v = (v << 1) | ((row[bit >> 3] >> (7 - (bit & 7))) & 1u);
  return v;
}

struct Layout {
  std::uint32_t width = 0, height = 0;
  int bps = 8;
  int spp = 1;
  bool separate = false;
  bool tiled = false;
  std::uint32_t blockWidth = 0, blockHeight = 0;
  bool minIsWhite = false;
};

// Copies decoded block rows into raw's stored part (raw.x0, raw.y0,
// raw.width x raw.height): channels kept from the first raw.channels samples,
// values of L.bps bits into 8-bit storage for bps <= 8, 16-bit above.
struct BlockCopy {
  BlockCopy(const Layout& layout, RawImage& image)
      : L(layout),
        raw(image),
        blockSamples(layout.separate ? 1 : layout.spp),
        keep(layout.separate ? 1 : image.channels),
        px(std::uint32_t(image.x0)),
        py(std::uint32_t(image.y0)),
        pr(px + std::uint32_t(image.width)) {}

  // One decoded block row src, holding image columns from bx on, into the
  // stored row of image row y (plane p): only the columns of the part.
  void row(const std::uint8_t* src, std::uint32_t y, std::uint32_t bx, std::uint32_t cols, int p) const {
    const int ch = raw.channels;
    const std::uint32_t x0 = std::max(bx, px), x1 = std::min(bx + cols, pr);
    if (x0 >= x1) return;
    const std::uint32_t n = x1 - x0, skip = x0 - bx;
    const std::size_t first = std::size_t(x0 - px) * std::size_t(ch) + std::size_t(p);
    const std::int32_t r = std::int32_t(y - py);
    if (L.bps == 8 && blockSamples == ch) {
      std::memcpy(raw.row8(r) + first, src + std::size_t(skip) * ch, std::size_t(n) * std::size_t(keep));
    } else if (L.bps == 16 && blockSamples == ch) {
      std::memcpy(raw.row16(r) + first, src + 2 * std::size_t(skip) * ch, std::size_t(n) * std::size_t(keep) * 2);
    } else if (L.bps == 8) {
      std::uint8_t* d = raw.row8(r) + first;
      src += std::size_t(skip) * blockSamples;
      for (std::uint32_t x = 0; x < n; ++x)
        for (int c = 0; c < keep; ++c) d[std::size_t(x) * ch + c] = src[std::size_t(x) * blockSamples + c];
    } else if (L.bps == 16) {
      std::uint16_t* d = raw.row16(r) + first;
      src += 2 * std::size_t(skip) * blockSamples;
      for (std::uint32_t x = 0; x < n; ++x)
        for (int c = 0; c < keep; ++c)
          std::memcpy(d + std::size_t(x) * ch + c, src + 2 * (std::size_t(x) * blockSamples + c), 2);
    } else {
      for (std::uint32_t x = 0; x < n; ++x)
        for (int c = 0; c < keep; ++c) {
          const std::uint32_t v = packedSample(src, std::uint64_t(x + skip) * blockSamples + c, L.bps);
          const std::size_t d = raw.rowSamples() * std::size_t(r) + first + std::size_t(x) * ch + std::size_t(c);
          if (raw.bits == 16)
            raw.samples16[d] = std::uint16_t(v);
          else
            raw.bytes8[d] = std::uint8_t(v);
        }
    }
  }

  const Layout& L;
  RawImage& raw;
  const int blockSamples, keep;
  const std::uint32_t px, py, pr;
};

[[noreturn]] void corruptTiff(const std::string& name, const TiffMessages& messages) {
  inputError(name, "corrupt or truncated TIFF: " +
                       (messages.error.empty() ? std::string("a block is shorter than its pels") : messages.error));
}

// A part of an image in interleaved strips: rows are decoded one at a time
// (a strip of any size costs one row) from the part's first row to its last.
void readPartByRows(TIFF* tif, const BlockCopy& copy, std::size_t blockRowBytes, TiffMessages& messages,
                    const std::string& name) {
  const tmsize_t lineSize = TIFFScanlineSize(tif);
  if (lineSize <= 0 || std::uint64_t(lineSize) < blockRowBytes) corruptTiff(name, messages);
  std::unique_ptr<std::uint8_t[]> line(new std::uint8_t[std::size_t(lineSize)]);
  const std::uint32_t pb = copy.py + std::uint32_t(copy.raw.height);
  for (std::uint32_t y = copy.py; y < pb; ++y) {
    if (TIFFReadScanline(tif, line.get(), y, 0) < 0 || !messages.error.empty()) corruptTiff(name, messages);
    copy.row(line.get(), y, 0, copy.L.width, 0);
  }
}

// The bytes of one decoded block.  A strip is read only as far as the image
// reaches (rows per strip may be any number above the height); a tile is read
// whole, so its claimed size is checked before it is allocated: at most 64
// MiB or four times the image's own bytes, whichever is more, and never above
// 1 GiB (a small image in one 256 x 256 tile passes, a claimed tile of
// gigabytes does not).
std::size_t checkedBlockBytes(TIFF* tif, const Layout& L, std::size_t blockRowBytes, int blockSamples,
                              const TiffMessages& messages, const std::string& name) {
  const std::uint64_t blockRows = L.tiled ? L.blockHeight : std::min(L.blockHeight, L.height);
  const std::uint64_t imageBytes =
      (std::uint64_t(L.width) * std::uint64_t(blockSamples) * std::uint64_t(L.bps) + 7) / 8 * L.height;
  const std::uint64_t blockLimit =
      std::min(std::uint64_t(1) << 30, std::max<std::uint64_t>(std::uint64_t(64) << 20, 4 * imageBytes));
  if (std::uint64_t(blockRowBytes) * blockRows > blockLimit)
    inputError(name, "corrupt TIFF: a " + std::to_string(L.blockWidth) + " x " + std::to_string(L.blockHeight) +
                         " block is far larger than the image");
  const tmsize_t libSize = L.tiled ? TIFFTileSize(tif) : TIFFStripSize(tif);
  if (libSize <= 0 || std::uint64_t(libSize) > blockLimit)
    inputError(name, "corrupt TIFF: " + (messages.error.empty() ? "bad block size" : messages.error));
  return std::max(blockRowBytes * std::size_t(blockRows), std::size_t(libSize));
}

// Reads the blocks of the page that meet raw's stored part (allocated);
// values are not scaled here.
void readBlocks(TIFF* tif, const Layout& L, RawImage& raw, TiffMessages& messages, const std::string& name) {
  const BlockCopy copy(L, raw);
  const std::uint64_t rowBits = std::uint64_t(L.blockWidth) * std::uint64_t(copy.blockSamples) * std::uint64_t(L.bps);
  const std::size_t blockRowBytes = std::size_t((rowBits + 7) / 8);
  const bool part = raw.width != std::int32_t(L.width) || raw.height != std::int32_t(L.height);
  if (part && !L.tiled && !L.separate) return readPartByRows(tif, copy, blockRowBytes, messages, name);
  const std::size_t bufferBytes = checkedBlockBytes(tif, L, blockRowBytes, copy.blockSamples, messages, name);
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bufferBytes]);
  const int planes = L.separate ? std::min(L.spp, raw.channels) : 1;
  const std::uint32_t pb = copy.py + std::uint32_t(raw.height);
  // Only the blocks that meet the part are decoded.
  for (int p = 0; p < planes; ++p)
    for (std::uint32_t by = copy.py / L.blockHeight * L.blockHeight; by < pb; by += L.blockHeight)
      for (std::uint32_t bx = copy.px / L.blockWidth * L.blockWidth; bx < copy.pr; bx += L.blockWidth) {
        const std::uint32_t rows = std::min(L.blockHeight, L.height - by);
        const std::uint32_t cols = std::min(L.blockWidth, L.width - bx);
        tmsize_t got;
        std::size_t need;
        if (L.tiled) {
          need = blockRowBytes * L.blockHeight;
          got =
              TIFFReadEncodedTile(tif, TIFFComputeTile(tif, bx, by, 0, std::uint16_t(p)), block.get(), tmsize_t(need));
        } else {
          need = blockRowBytes * rows;
          got = TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, by, std::uint16_t(p)), block.get(), tmsize_t(need));
        }
        if (got < 0 || std::size_t(got) < need || !messages.error.empty()) corruptTiff(name, messages);
        for (std::uint32_t y = std::max(by, copy.py); y < std::min(by + rows, pb); ++y)
          copy.row(block.get() + blockRowBytes * (y - by), y, bx, cols, p);
      }
}

}  // namespace

void installCodecHandlers() {
  TIFFSetErrorHandler(tiffSilent);
  TIFFSetWarningHandler(tiffSilent);
}

bool tiffCompressionAvailable(TiffCompression compression) {
  switch (compression) {
    case TiffCompression::kNone:
      return true;
    case TiffCompression::kLzw:
      return TIFFIsCODECConfigured(COMPRESSION_LZW);
    case TiffCompression::kDeflate:
      return TIFFIsCODECConfigured(COMPRESSION_ADOBE_DEFLATE);
    case TiffCompression::kZstd:
#ifdef COMPRESSION_ZSTD
      return TIFFIsCODECConfigured(COMPRESSION_ZSTD);
#else
      return false;
#endif
  }
  return false;
}

std::uint16_t tiffCompressionCode(TiffCompression compression) {
  switch (compression) {
    case TiffCompression::kNone:
      break;
    case TiffCompression::kLzw:
      return COMPRESSION_LZW;
    case TiffCompression::kDeflate:
      return COMPRESSION_ADOBE_DEFLATE;
    case TiffCompression::kZstd:
#ifdef COMPRESSION_ZSTD
      return COMPRESSION_ZSTD;
#endif
      break;
  }
  return COMPRESSION_NONE;
}

namespace {

// Makes the page options asks for the current directory.
void selectPage(TIFF* t, RawImage& raw, const ReadOptions& options, TiffMessages& messages, const std::string& name) {
  const tdir_t pages = TIFFNumberOfDirectories(t);
  raw.pages = pages > 0 ? int(pages) : 1;
  raw.page = options.page;
  if (options.page < 1 || std::uint64_t(options.page) > std::uint64_t(raw.pages))
    inputError(name, "page " + std::to_string(options.page) + " asked for, but the file has " +
                         pagesText(std::uint64_t(raw.pages)));
  if (options.page != 1 && !TIFFSetDirectory(t, tdir_t(options.page - 1)))
    inputError(name, "corrupt TIFF: cannot read page " + std::to_string(options.page) + ": " + messages.error);
  messages.error.clear();
}

// The tags of the current page that decide how it is decoded.
struct PageTags {
  std::uint32_t w = 0, h = 0;
  std::uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
  std::uint16_t sampleFormat = SAMPLEFORMAT_UINT, extraCount = 0, compression = COMPRESSION_NONE;
};

PageTags readPageTags(TIFF* t, const std::string& name) {
  PageTags g;
  std::uint16_t* extraTypes = nullptr;
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &g.w) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &g.h))
    inputError(name, "corrupt TIFF: no image size");
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &g.bps);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &g.spp);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &g.planar);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &g.sampleFormat);
  TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &g.extraCount, &extraTypes);
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &g.compression);
  if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &g.photometric)) g.photometric = PHOTOMETRIC_MINISBLACK;
  if (g.sampleFormat != SAMPLEFORMAT_UINT && g.sampleFormat != SAMPLEFORMAT_VOID)
    inputError(name, "TIFF with signed or floating-point samples is not supported");
  if (g.spp == 0 || g.bps == 0 || g.bps > 16)
    inputError(name, "TIFF with " + std::to_string(g.bps) + "-bit samples is not supported");
  if (g.photometric == PHOTOMETRIC_YCBCR && g.compression == COMPRESSION_JPEG) {
    // Let the JPEG codec give RGB.
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    g.photometric = PHOTOMETRIC_RGB;
  }
  return g;
}

// A layout the block reader does not take (YCbCr, CMYK, ...): libtiff's RGBA
// reader, whole image, into 8-bit RGB or RGBA.
void readThroughRgba(TIFF* t, const PageTags& g, RawImage& raw, std::size_t size, const ReadOptions& options,
                     const TiffMessages& messages, const std::string& name) {
  char emsg[1024] = "";
  if (!TIFFRGBAImageOK(t, emsg)) inputError(name, std::string("unsupported TIFF layout: ") + emsg);
  checkDecodedSize(name, g.w, g.h, 4, size, options);
  std::unique_ptr<std::uint32_t[]> rgba(new std::uint32_t[std::size_t(g.w) * g.h]);
  // stop on the first error: a missing block fails the read.
  if (!TIFFReadRGBAImageOriented(t, g.w, g.h, rgba.get(), ORIENTATION_TOPLEFT, 1) || !messages.error.empty())
    inputError(name, "corrupt or truncated TIFF: " + (messages.error.empty() ? "unreadable pels" : messages.error));
  raw.channels = g.extraCount > 0 ? 4 : 3;
  raw.allocate();
  for (std::size_t i = 0, n = std::size_t(g.w) * g.h; i < n; ++i) {
    const std::uint32_t p = rgba[i];
    std::uint8_t* d = raw.bytes8.get() + i * std::size_t(raw.channels);
    d[0] = std::uint8_t(TIFFGetR(p));
    d[1] = std::uint8_t(TIFFGetG(p));
    d[2] = std::uint8_t(TIFFGetB(p));
    if (raw.channels == 4) d[3] = std::uint8_t(TIFFGetA(p));
  }
}

// The size of the page's strips or tiles, refused when far larger than the
// image (a corrupt header, not a reason to allocate).
void readBlockSize(TIFF* t, Layout& L, const std::string& name) {
  const std::uint32_t w = L.width, h = L.height;
  if (L.tiled) {
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &L.blockWidth);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &L.blockHeight);
  } else {
    std::uint32_t rps = h;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    L.blockWidth = w;
    L.blockHeight = std::min(std::max(rps, 1u), h);
  }
  if (L.blockWidth == 0 || L.blockHeight == 0 || L.blockWidth > w + 65536 || L.blockHeight > h + 65536 ||
      std::uint64_t(L.blockWidth) * L.blockHeight > std::max<std::uint64_t>(std::uint64_t(w) * h * 4, 1u << 20))
    inputError(name, "corrupt TIFF: block of " + std::to_string(L.blockWidth) + " x " + std::to_string(L.blockHeight) +
                         " pels for an image of " + std::to_string(w) + " x " + std::to_string(h));
}

// Palette indices of bps bits through the page's colour map: grey levels
// when every entry is grey, else RGB.
RawImage applyPalette(TIFF* t, RawImage raw, int bps, const std::string& name) {
  std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (!TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b)) inputError(name, "corrupt TIFF: palette image without palette");
  const std::size_t entries = std::size_t(1) << bps;
  // Some writers store 8-bit palette values; libtiff's RGBA reader guesses the same way.
  bool eightBit = true;
  for (std::size_t i = 0; i < entries && eightBit; ++i) eightBit = r[i] < 256 && g[i] < 256 && b[i] < 256;
  auto to8 = [eightBit](std::uint16_t v) { return std::uint8_t(eightBit ? v : (v * 255u + 32767u) / 65535u); };
  bool greyPalette = true;
  for (std::size_t i = 0; i < entries && greyPalette; ++i) greyPalette = r[i] == g[i] && g[i] == b[i];
  raw.maxval = 255;
  if (greyPalette) {
    std::uint8_t map[256] = {};
    for (std::size_t i = 0; i < entries; ++i) map[i] = to8(r[i]);
    for (std::size_t i = 0, n = raw.sampleCount(); i < n; ++i) raw.bytes8[i] = map[raw.bytes8[i]];
    return raw;
  }
  RawImage colour;
  colour.width = raw.width;
  colour.height = raw.height;
  colour.x0 = raw.x0;
  colour.y0 = raw.y0;
  colour.imageWidth = raw.imageWidth;
  colour.imageHeight = raw.imageHeight;
  colour.channels = 3;
  colour.palette = true;
  colour.pages = raw.pages;
  colour.page = raw.page;
  colour.allocate();
  for (std::size_t i = 0, n = raw.sampleCount(); i < n; ++i) {
    const std::uint8_t k = raw.bytes8[i];
    colour.bytes8[3 * i] = to8(r[k]);
    colour.bytes8[3 * i + 1] = to8(g[k]);
    colour.bytes8[3 * i + 2] = to8(b[k]);
  }
  return colour;
}

// Sub-byte grey or colour samples stretched to 8 bits (1 bit: 0 and 255);
// min-is-white grey inverted.
void normalizeSamples(RawImage& raw, int bps, bool minIsWhite) {
  const std::uint32_t maxv = raw.maxval;
  if (bps < 8) {
    std::uint8_t map[256] = {};
    for (std::uint32_t v = 0; v <= maxv; ++v) map[v] = std::uint8_t((v * 255u + maxv / 2) / maxv);
    for (std::size_t i = 0, n = raw.sampleCount(); i < n; ++i) raw.bytes8[i] = map[raw.bytes8[i]];
    raw.maxval = 255;
  }
  if (minIsWhite) {
    const std::size_t n = raw.sampleCount(), step = std::size_t(raw.channels);
    if (raw.bits == 8)
      for (std::size_t i = 0; i < n; i += step) raw.bytes8[i] = std::uint8_t(255 - raw.bytes8[i]);
    else
      for (std::size_t i = 0; i < n; i += step)
        raw.samples16[i] = std::uint16_t(maxv - std::min<std::uint32_t>(raw.samples16[i], maxv));
  }
}

}  // namespace

RawImage decodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  TiffStream stream;
  stream.data = data;
  stream.size = size;
  TiffMessages messages;
  // libtiff's own allocations stay within what an image of the limit needs.
  const tmsize_t maxAlloc = tmsize_t(std::min<std::uint64_t>(options.maxPixels * 8 + (64u << 20), INT64_MAX / 2));
  TiffPtr tif(openTiff(name, "r", stream, messages, maxAlloc));
  if (!tif) inputError(name, "not a readable TIFF file: " + (messages.error.empty() ? "bad header" : messages.error));
  TIFF* t = tif.get();
  RawImage raw;
  selectPage(t, raw, options, messages, name);
  const PageTags g = readPageTags(t, name);

  Layout L;
  L.width = g.w;
  L.height = g.h;
  L.bps = g.bps;
  L.spp = g.spp;
  L.separate = g.planar == PLANARCONFIG_SEPARATE && g.spp > 1;
  L.tiled = TIFFIsTiled(t) != 0;
  L.minIsWhite = g.photometric == PHOTOMETRIC_MINISWHITE;
  const bool grey = g.photometric == PHOTOMETRIC_MINISBLACK || g.photometric == PHOTOMETRIC_MINISWHITE;
  const bool rgb = g.photometric == PHOTOMETRIC_RGB && g.spp >= 3;
  const bool palette = g.photometric == PHOTOMETRIC_PALETTE && g.spp == 1 && g.bps <= 8;

  checkClaimedSize(name, g.w, g.h, options);
  const std::uint64_t ratio = maxExpansion(g.compression);
  const std::uint64_t rawBytes = (std::uint64_t(g.w) * g.spp * g.bps + 7) / 8 * g.h;
  if (ratio) checkStoredBytes(name, g.w, g.h, rawBytes / ratio, size);
  raw.width = std::int32_t(g.w);
  raw.height = std::int32_t(g.h);
  if (!grey && !rgb && !palette) {
    readThroughRgba(t, g, raw, size, options, messages, name);
    return raw;
  }
  readBlockSize(t, L, name);

  const bool alpha = grey ? g.spp >= 2 : rgb && g.spp >= 4;
  raw.channels = palette ? 1 : (grey ? 1 : 3) + (alpha ? 1 : 0);
  if (g.spp > raw.channels && !palette) raw.fileSamples = g.spp;
  raw.bits = g.bps > 8 ? 16 : 8;
  raw.maxval = (1u << g.bps) - 1;
  checkDecodedSize(name, g.w, g.h, std::uint64_t(raw.channels) * std::uint64_t(raw.bits / 8), size, options);
  raw.imageWidth = raw.width;
  raw.imageHeight = raw.height;
  const mxPelRect part = keptPart(raw.width, raw.height, raw.bits, options);
  raw.x0 = part.x();
  raw.y0 = part.y();
  raw.width = part.width();
  raw.height = part.height();
  raw.allocate();
  readBlocks(t, L, raw, messages, name);
  if (palette) return applyPalette(t, std::move(raw), g.bps, name);
  normalizeSamples(raw, g.bps, L.minIsWhite);
  return raw;
}

namespace {

// One grey, RGB or RGBA (options.channels, interleaved) strip-layout TIFF of
// 8 or 16 bits a sample (host order: libtiff writes its own byte order and
// says so in the header).
template <class Pel>
std::vector<std::uint8_t> encodeGreyTiff(const mxPelBuffer_const<Pel>& image, const WriteOptions& options,
                                         const std::string& name) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(std::size_t(image.width()) * std::size_t(image.height()) * sizeof(Pel) + 4096);
  TiffStream stream;
  stream.out = &bytes;
  TiffMessages messages;
  TiffPtr tif(openTiff(name, "w", stream, messages, 0));
  if (!tif) throw CliError(kExitOutput, name + ": cannot encode TIFF: " + messages.error);
  TIFF* t = tif.get();
  const std::uint16_t code = tiffCompressionCode(options.compression);
  const int ch = options.channels;
  setGreyStripLayout(t, std::uint32_t(image.width() / ch), std::uint32_t(image.height()), code);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, int(8 * sizeof(Pel)));
  if (ch >= 3) {
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, ch);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    if (ch == 4) TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  }
  // The predictor works in place on the row it is given: hand it a copy.
  std::vector<Pel> line(std::size_t(image.width()));
  bool ok = messages.error.empty();
  for (std::int32_t j = 0; j < image.height() && ok; ++j) {
    std::memcpy(line.data(), image.row(j), line.size() * sizeof(Pel));
    ok = TIFFWriteScanline(t, line.data(), std::uint32_t(j), 0) >= 0;
  }
  if (ok) ok = TIFFWriteDirectory(t) != 0;
  tif.reset();
  if (!ok || !messages.error.empty())
    throw CliError(kExitOutput,
                   name + ": cannot encode TIFF: " + (messages.error.empty() ? "libtiff failed" : messages.error));
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> encodeTiff(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                     const std::string& name) {
  return encodeGreyTiff(image, options, name);
}

std::vector<std::uint8_t> encodeTiff16(const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options,
                                       const std::string& name) {
  return encodeGreyTiff(image, options, name);
}

}  // namespace imgnormcli

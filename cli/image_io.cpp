#include "image_io.h"

#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include <png.h>
#include <tiffio.h>

#include "cli_error.h"
#include "file_util.h"

namespace imgnormcli {

bool formatFromName(const std::string& path, ImageFormat& format) {
  const std::string ext = lowerExtension(path);
  if (ext == "png")
    format = ImageFormat::kPng;
  else if (ext == "tif" || ext == "tiff")
    format = ImageFormat::kTiff;
  else if (ext == "pgm")
    format = ImageFormat::kPgm;
  else
    return false;
  return true;
}

const char* formatExtension(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPng:
      return "png";
    case ImageFormat::kTiff:
      return "tif";
    case ImageFormat::kPgm:
      return "pgm";
  }
  return "png";
}

namespace {

[[noreturn]] void inputError(const std::string& path, const std::string& what) {
  throw CliError(kExitInput, path + ": " + what);
}

std::uint64_t fileSize(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fclose(f);
  return n < 0 ? 0 : std::uint64_t(n);
}

// Rejects sizes no real file of that size can hold before allocating for
// them.  maxRatio bounds the decoded bytes per file byte of the format's
// compression (deflate cannot exceed about 1032:1).
void checkClaimedSize(const std::string& path, std::uint64_t width, std::uint64_t height, std::uint64_t bytesPerPel,
                      std::uint64_t fileBytes, std::uint64_t maxRatio) {
  if (width == 0 || height == 0)
    inputError(path, "image has no pels (" + std::to_string(width) + " x " + std::to_string(height) + ")");
  if (width > 0x7fffffff || height > 0x7fffffff || width * height > kMaxImagePels)
    inputError(path, "image of " + std::to_string(width) + " x " + std::to_string(height) +
                         " pels is larger than imgnorm accepts");
  if (width * height * bytesPerPel > fileBytes * maxRatio + 65536)
    inputError(path, "corrupt image: header claims " + std::to_string(width) + " x " + std::to_string(height) +
                         " pels, far more than the file holds");
}

// ---------------------------------------------------------------- PNG ----

struct PngErrorState {
  char message[256] = "";
};

extern "C" void pngError(png_structp png, png_const_charp msg) {
  auto* st = static_cast<PngErrorState*>(png_get_error_ptr(png));
  std::snprintf(st->message, sizeof st->message, "%s", msg);
  png_longjmp(png, 1);
}
extern "C" void pngWarning(png_structp, png_const_charp) {}

// Everything decodePng needs that outlives the longjmp of a libpng error:
// kept outside the function that calls setjmp, so no local changes between
// setjmp and longjmp.
struct PngReadJob {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngErrorState error;
  std::string path;
  std::uint64_t fileBytes = 0;
  RawImage* out = nullptr;
  std::vector<png_bytep> rows;
  std::string sizeError;  // set when the header's size is refused
};

// Returns false on a libpng error (message in job->error) or a refused size.
bool runPngRead(PngReadJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_init_io(job->png, job->file);
  png_set_sig_bytes(job->png, 8);
  png_set_user_limits(job->png, 0x7fffffff, 0x7fffffff);
  png_read_info(job->png, job->info);
  png_uint_32 w = 0, h = 0;
  int depth = 0, colorType = 0;
  png_get_IHDR(job->png, job->info, &w, &h, &depth, &colorType, nullptr, nullptr, nullptr);
  RawImage& out = *job->out;
  out.palette = colorType == PNG_COLOR_TYPE_PALETTE;
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(job->png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(job->png);
  png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  out.channels = png_get_channels(job->png, job->info);
  out.bits = png_get_bit_depth(job->png, job->info) == 16 ? 16 : 8;
  out.maxval = out.bits == 16 ? 65535 : 255;
  const std::size_t rowBytes = png_get_rowbytes(job->png, job->info);
  try {
    checkClaimedSize(job->path, w, h, std::uint64_t(out.channels) * (out.bits / 8), job->fileBytes, 1100);
  } catch (const CliError& e) {
    job->sizeError = e.what();
    return false;
  }
  out.width = std::int32_t(w);
  out.height = std::int32_t(h);
  out.bytes8.resize(rowBytes * h);
  job->rows.resize(h);
  for (png_uint_32 j = 0; j < h; ++j) job->rows[j] = out.bytes8.data() + rowBytes * j;
  png_read_image(job->png, job->rows.data());
  png_read_end(job->png, nullptr);
  return true;
}

// ---------------------------------------------------------------- TIFF ---

thread_local std::string tTiffError;

extern "C" void tiffError(const char* module, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  tTiffError = buf;
  (void)module;
}

std::string takeTiffError() {
  std::string m = tTiffError.empty() ? std::string("unreadable TIFF data") : tTiffError;
  tTiffError.clear();
  return m;
}

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t) TIFFClose(t);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// ---------------------------------------------------------------- PGM ----

// Reads one header number of a PNM file, skipping white space and comments.
bool pnmNumber(const std::vector<std::uint8_t>& b, std::size_t& pos, std::uint32_t& value) {
  for (;;) {
    while (pos < b.size() && std::isspace(b[pos])) ++pos;
    if (pos < b.size() && b[pos] == '#') {
      while (pos < b.size() && b[pos] != '\n' && b[pos] != '\r') ++pos;
      continue;
    }
    break;
  }
  if (pos >= b.size() || !std::isdigit(b[pos])) return false;
  std::uint64_t v = 0;
  while (pos < b.size() && std::isdigit(b[pos])) {
    v = v * 10 + (b[pos++] - '0');
    if (v > 0xffffffffu) return false;
  }
  value = std::uint32_t(v);
  return true;
}

std::string describe(const RawImage& raw) {
  std::string kind = raw.channels >= 3 ? (raw.palette ? "palette colour" : "colour") : "greyscale";
  if (raw.channels == 2 || raw.channels == 4) kind += " with alpha";
  return kind + " image, " + std::to_string(raw.bits) + "-bit";
}

}  // namespace

void installCodecHandlers() {
  TIFFSetErrorHandler(tiffError);
  TIFFSetWarningHandler(nullptr);
}

RawImage decodePng(const std::string& path) {
  RawImage raw;
  PngReadJob job;
  job.path = path;
  job.out = &raw;
  job.fileBytes = fileSize(path);
  job.file = std::fopen(path.c_str(), "rb");
  if (!job.file) {
    (void)readFileBytes(path);  // throws with the precise reason (missing, folder, permission)
    inputError(path, "cannot open");
  }
  unsigned char sig[8];
  if (std::fread(sig, 1, 8, job.file) != 8 || png_sig_cmp(sig, 0, 8) != 0) {
    std::fclose(job.file);
    inputError(path, "not a PNG file");
  }
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job.error, pngError, pngWarning);
  job.info = job.png ? png_create_info_struct(job.png) : nullptr;
  const bool ok = job.info && runPngRead(&job);
  png_destroy_read_struct(job.png ? &job.png : nullptr, job.info ? &job.info : nullptr, nullptr);
  std::fclose(job.file);
  if (!job.sizeError.empty()) throw CliError(kExitInput, job.sizeError);
  if (!ok) inputError(path, std::string("corrupt or truncated PNG: ") + job.error.message);
  if (raw.bits == 16) {
    // libpng delivers 16-bit samples big-endian; keep them as numbers.
    const std::size_t n = raw.bytes8.size() / 2;
    raw.samples16.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      raw.samples16[i] = std::uint16_t((raw.bytes8[2 * i] << 8) | raw.bytes8[2 * i + 1]);
    raw.bytes8.clear();
    raw.bytes8.shrink_to_fit();
  }
  return raw;
}

RawImage decodeTiff(const std::string& path) {
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) {
    (void)readFileBytes(path);
    inputError(path, "cannot open");
  }
  std::fclose(probe);
  tTiffError.clear();
  TiffPtr tif(TIFFOpen(path.c_str(), "r"));
  if (!tif) inputError(path, "not a readable TIFF file: " + takeTiffError());

  std::uint32_t w = 0, h = 0;
  std::uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK, planar = PLANARCONFIG_CONTIG;
  std::uint16_t sampleFormat = SAMPLEFORMAT_UINT, extraCount = 0;
  std::uint16_t* extraTypes = nullptr;
  if (!TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h))
    inputError(path, "corrupt TIFF: no image size");
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &sampleFormat);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes);
  if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric)) photometric = PHOTOMETRIC_MINISBLACK;
  if (sampleFormat != SAMPLEFORMAT_UINT)
    inputError(path, "TIFF with signed or floating-point samples is not supported");
  if (spp == 0 || bps == 0 || bps > 16)
    inputError(path, "TIFF with " + std::to_string(bps) + "-bit samples is not supported");

  RawImage raw;
  const bool grey = (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) && spp >= 1 &&
                    spp - extraCount == 1;
  const bool rgb = photometric == PHOTOMETRIC_RGB && spp >= 3;
  const bool direct =
      !TIFFIsTiled(tif.get()) && planar == PLANARCONFIG_CONTIG && (bps == 8 || bps == 16) && (grey || rgb);
  checkClaimedSize(path, w, h, std::uint64_t(direct ? spp : 4) * (bps > 8 ? 2 : 1), fileSize(path), 4200);
  raw.width = std::int32_t(w);
  raw.height = std::int32_t(h);
  raw.palette = photometric == PHOTOMETRIC_PALETTE;

  if (direct) {
    // Strips of interleaved 8- or 16-bit samples: read scanline by scanline
    // and keep at most grey (+alpha) or RGB (+alpha).
    raw.bits = bps;
    raw.maxval = bps == 16 ? 65535 : 255;
    raw.channels = grey ? (spp >= 2 ? 2 : 1) : (spp >= 4 ? 4 : 3);
    const std::size_t pels = std::size_t(w) * h * raw.channels;
    if (bps == 8)
      raw.bytes8.resize(pels);
    else
      raw.samples16.resize(pels);
    std::vector<std::uint8_t> line(std::size_t(TIFFScanlineSize(tif.get())));
    if (line.size() < std::size_t(w) * spp * (bps / 8)) inputError(path, "corrupt TIFF: bad scanline size");
    const std::uint32_t maxv = raw.maxval;
    for (std::uint32_t y = 0; y < h; ++y) {
      if (TIFFReadScanline(tif.get(), line.data(), y, 0) < 0)
        inputError(path, "corrupt or truncated TIFF: " + takeTiffError());
      for (std::uint32_t x = 0; x < w; ++x) {
        for (int c = 0; c < raw.channels; ++c) {
          const std::size_t s = std::size_t(x) * spp + c;
          std::uint32_t v;
          if (bps == 8)
            v = line[s];
          else {
            std::uint16_t t;  // libtiff gives 16-bit samples in host order
            std::memcpy(&t, line.data() + 2 * s, 2);
            v = t;
          }
          if (photometric == PHOTOMETRIC_MINISWHITE && c == 0) v = maxv - v;
          const std::size_t d = (std::size_t(y) * w + x) * raw.channels + c;
          if (bps == 8)
            raw.bytes8[d] = std::uint8_t(v);
          else
            raw.samples16[d] = std::uint16_t(v);
        }
      }
    }
    return raw;
  }

  // Any other layout (tiles, planes, 1-bit, palettes, YCbCr, ...): libtiff's
  // RGBA reader, which gives 8-bit samples.
  char emsg[1024] = "";
  if (!TIFFRGBAImageOK(tif.get(), emsg)) inputError(path, std::string("unsupported TIFF layout: ") + emsg);
  std::vector<std::uint32_t> rgba(std::size_t(w) * h);
  if (!TIFFReadRGBAImageOriented(tif.get(), w, h, rgba.data(), ORIENTATION_TOPLEFT, 0))
    inputError(path, "corrupt or truncated TIFF: " + takeTiffError());
  raw.bits = bps > 8 ? 16 : 8;  // what the file holds, for the refusal message
  raw.maxval = 255;
  raw.channels = grey ? 1 : 3;
  raw.bytes8.resize(std::size_t(w) * h * raw.channels);
  for (std::size_t i = 0; i < rgba.size(); ++i) {
    const std::uint32_t p = rgba[i];
    if (grey) {
      raw.bytes8[i] = std::uint8_t(TIFFGetR(p));
    } else {
      raw.bytes8[3 * i] = std::uint8_t(TIFFGetR(p));
      raw.bytes8[3 * i + 1] = std::uint8_t(TIFFGetG(p));
      raw.bytes8[3 * i + 2] = std::uint8_t(TIFFGetB(p));
    }
  }
  if (raw.bits == 16) {
    // The samples are already reduced to 8 bits; keep the file's depth in the
    // description but let the conversion copy them as they are.
    raw.samples16.assign(raw.bytes8.begin(), raw.bytes8.end());
    for (auto& s : raw.samples16) s = std::uint16_t(s * 257);
    raw.bytes8.clear();
    raw.maxval = 65535;
  }
  return raw;
}

RawImage decodePgm(const std::string& path) {
  const std::vector<std::uint8_t> b = readFileBytes(path);
  if (b.size() < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6'))
    inputError(path, "not a binary PGM (P5) or PPM (P6) file");
  std::size_t pos = 2;
  std::uint32_t w = 0, h = 0, maxval = 0;
  if (!pnmNumber(b, pos, w) || !pnmNumber(b, pos, h) || !pnmNumber(b, pos, maxval) || pos >= b.size() ||
      !std::isspace(b[pos]))
    inputError(path, "corrupt PGM header");
  ++pos;  // the single white-space character before the pels
  if (maxval == 0 || maxval > 65535) inputError(path, "corrupt PGM header: maximum value " + std::to_string(maxval));
  RawImage raw;
  raw.channels = b[1] == '6' ? 3 : 1;
  raw.bits = maxval > 255 ? 16 : 8;
  raw.maxval = maxval;
  const std::uint64_t bytesPerPel = std::uint64_t(raw.channels) * (raw.bits / 8);
  checkClaimedSize(path, w, h, bytesPerPel, b.size(), 1);
  const std::uint64_t need = std::uint64_t(w) * h * bytesPerPel;
  if (b.size() - pos < need)
    inputError(path, "truncated PGM: " + std::to_string(b.size() - pos) + " of " + std::to_string(need) +
                         " pel bytes present");
  raw.width = std::int32_t(w);
  raw.height = std::int32_t(h);
  const std::size_t n = std::size_t(w) * h * raw.channels;
  if (raw.bits == 8) {
    raw.bytes8.assign(b.begin() + std::ptrdiff_t(pos), b.begin() + std::ptrdiff_t(pos + n));
  } else {
    raw.samples16.resize(n);
    for (std::size_t i = 0; i < n; ++i) raw.samples16[i] = std::uint16_t((b[pos + 2 * i] << 8) | b[pos + 2 * i + 1]);
  }
  return raw;
}

mxPelBuffer<unsigned char> toGray8(const RawImage& raw, const std::string& path, bool toGray) {
  const bool plainGrey = raw.channels == 1 && raw.bits == 8;
  if (!plainGrey && !toGray) {
    std::string advice = raw.channels >= 3   ? "use --to-gray to convert it to luma"
                         : raw.channels == 2 ? "use --to-gray to drop the alpha channel"
                                             : "use --to-gray to reduce it to 8 bits";
    inputError(path, describe(raw) + "; imgnorm needs 8-bit greyscale (" + advice + ")");
  }
  mxPelBuffer<unsigned char> out(raw.width, raw.height);
  const std::uint32_t maxval = raw.maxval;
  const bool colour = raw.channels >= 3;
  const int ch = raw.channels;
  for (std::int32_t y = 0; y < raw.height; ++y) {
    unsigned char* d = out.row(y);
    const std::size_t base = std::size_t(y) * raw.width * ch;
    for (std::int32_t x = 0; x < raw.width; ++x) {
      const std::size_t s = base + std::size_t(x) * ch;
      std::uint32_t v;
      if (raw.bits == 8) {
        v = colour ? (299u * raw.bytes8[s] + 587u * raw.bytes8[s + 1] + 114u * raw.bytes8[s + 2] + 500u) / 1000u
                   : raw.bytes8[s];
      } else {
        v = colour ? std::uint32_t((299ull * raw.samples16[s] + 587ull * raw.samples16[s + 1] +
                                    114ull * raw.samples16[s + 2] + 500ull) /
                                   1000ull)
                   : raw.samples16[s];
      }
      if (v > maxval) v = maxval;
      // Scale to 0..255 with rounding; the common 8-bit case is the identity.
      d[x] = maxval == 255 ? static_cast<unsigned char>(v)
                           : static_cast<unsigned char>((std::uint64_t(v) * 510 + maxval) / (2ull * maxval));
    }
  }
  return out;
}

mxPelBuffer<unsigned char> readImage(const std::string& path, bool toGray) {
  ImageFormat format;
  if (!formatFromName(path, format)) inputError(path, "unknown image format (use .png, .tif, .tiff or .pgm)");
  switch (format) {
    case ImageFormat::kPng:
      return toGray8(decodePng(path), path, toGray);
    case ImageFormat::kTiff:
      return toGray8(decodeTiff(path), path, toGray);
    case ImageFormat::kPgm:
      return toGray8(decodePgm(path), path, toGray);
  }
  return {};
}

// ---------------------------------------------------------------- writing

namespace {

struct PngWriteJob {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngErrorState error;
  const mxPelBuffer_const<unsigned char>* image = nullptr;
};

bool runPngWrite(PngWriteJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_init_io(job->png, job->file);
  const auto& im = *job->image;
  png_set_IHDR(job->png, job->info, png_uint_32(im.width()), png_uint_32(im.height()), 8, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(job->png, job->info);
  for (std::int32_t j = 0; j < im.height(); ++j) png_write_row(job->png, im.row(j));
  png_write_end(job->png, nullptr);
  return true;
}

void writePng(const std::string& tmp, const std::string& path, const mxPelBuffer_const<unsigned char>& image) {
  PngWriteJob job;
  job.image = &image;
  job.file = std::fopen(tmp.c_str(), "wb");
  if (!job.file) throw CliError(kExitOutput, path + ": cannot write: " + errnoText(errno));
  job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job.error, pngError, pngWarning);
  job.info = job.png ? png_create_info_struct(job.png) : nullptr;
  bool ok = job.info && runPngWrite(&job);
  png_destroy_write_struct(job.png ? &job.png : nullptr, job.info ? &job.info : nullptr);
  const int err = errno;
  if (std::fclose(job.file) != 0) ok = false;
  if (!ok) {
    std::remove(tmp.c_str());
    throw CliError(kExitOutput, path + ": cannot write PNG: " +
                                    (job.error.message[0] ? std::string(job.error.message) : errnoText(err)));
  }
}

void writeTiff(const std::string& tmp, const std::string& path, const mxPelBuffer_const<unsigned char>& image) {
  tTiffError.clear();
  TIFF* tif = TIFFOpen(tmp.c_str(), "w");
  if (!tif) throw CliError(kExitOutput, path + ": cannot write: " + errnoText(errno));
  bool ok = true;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, std::uint32_t(image.width()));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, std::uint32_t(image.height()));
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  // Lossless compression when this libtiff has it.
  if (TIFFIsCODECConfigured(COMPRESSION_ADOBE_DEFLATE)) {
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  }
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<std::uint8_t> line(std::size_t(image.width()));
  for (std::int32_t j = 0; j < image.height() && ok; ++j) {
    std::memcpy(line.data(), image.row(j), line.size());
    ok = TIFFWriteScanline(tif, line.data(), std::uint32_t(j), 0) >= 0;
  }
  if (ok) ok = TIFFFlush(tif) != 0;
  TIFFClose(tif);
  if (!ok) {
    std::remove(tmp.c_str());
    throw CliError(kExitOutput, path + ": cannot write TIFF: " + takeTiffError());
  }
}

void writePgm(const std::string& tmp, const std::string& path, const mxPelBuffer_const<unsigned char>& image) {
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) throw CliError(kExitOutput, path + ": cannot write: " + errnoText(errno));
  bool ok = std::fprintf(f, "P5\n%d %d\n255\n", int(image.width()), int(image.height())) > 0;
  for (std::int32_t j = 0; j < image.height() && ok; ++j)
    ok = std::fwrite(image.row(j), 1, std::size_t(image.width()), f) == std::size_t(image.width());
  const int err = errno;
  if (std::fclose(f) != 0) ok = false;
  if (!ok) {
    std::remove(tmp.c_str());
    throw CliError(kExitOutput, path + ": cannot write: " + errnoText(err));
  }
}

}  // namespace

void writeImage(const std::string& path, const mxPelBuffer_const<unsigned char>& image) {
  ImageFormat format;
  if (!formatFromName(path, format))
    throw CliError(kExitUsage, path + ": unknown image format (use .png, .tif, .tiff or .pgm)");
  if (!image.isBound() || image.width() <= 0 || image.height() <= 0)
    throw CliError(kExitOutput, path + ": no image to write");
  const std::string tmp = temporaryNameFor(path);
  switch (format) {
    case ImageFormat::kPng:
      writePng(tmp, path, image);
      break;
    case ImageFormat::kTiff:
      writeTiff(tmp, path, image);
      break;
    case ImageFormat::kPgm:
      writePgm(tmp, path, image);
      break;
  }
  commitTemporary(tmp, path);
}

}  // namespace imgnormcli

// PNG reading through libpng, from memory; the program's PNG writer.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include <libdeflate.h>
#include <png.h>

#include "io/codec_util.h"
#include "io/deflate_huffman.h"
#include "io/png_writer.h"

namespace imgnormcli {

namespace {

struct PngErrorState {
  char message[256] = "";
};

extern "C" void pngError(png_structp png, png_const_charp msg) {
  auto* st = static_cast<PngErrorState*>(png_get_error_ptr(png));
  std::snprintf(st->message, sizeof st->message, "%s", msg);
  png_longjmp(png, 1);
}
extern "C" void pngWarning(png_structp, png_const_charp) {}

struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

extern "C" void pngReadMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (n > r->size - r->pos) png_error(png, "file ends before the image does");
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
}

// Everything a decode needs that outlives a libpng longjmp, kept outside the
// function that calls setjmp so that no local changes between setjmp and
// longjmp.
struct PngReadJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngErrorState error;
  MemoryReader reader{nullptr, 0, 0};
  const std::string* name = nullptr;
  const ReadOptions* options = nullptr;
  RawImage* out = nullptr;
  std::vector<png_bytep> rows;
  std::vector<std::uint8_t> row;  // one decoded row, when only a part is kept
  std::string refusal;  // set when the header or palette is refused
};

// Deflate expands at most about 1032 times; a little more allowed for the
// filter bytes and headers.
constexpr std::uint64_t kDeflateMaxRatio = 1040;

bool runPngRead(PngReadJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_set_read_fn(job->png, &job->reader, pngReadMemory);
  png_set_user_limits(job->png, 0x7fffffff, 0x7fffffff);
  png_read_info(job->png, job->info);
  png_uint_32 w = 0, h = 0;
  int depth = 0, colorType = 0;
  png_get_IHDR(job->png, job->info, &w, &h, &depth, &colorType, nullptr, nullptr, nullptr);
  RawImage& out = *job->out;
  const bool palette = colorType == PNG_COLOR_TYPE_PALETTE;
  bool greyPalette = false;
  if (palette) {
    // A palette whose entries are all grey gives a grey image.
    png_colorp entries = nullptr;
    int count = 0;
    png_get_PLTE(job->png, job->info, &entries, &count);
    greyPalette = count > 0 && !png_get_valid(job->png, job->info, PNG_INFO_tRNS);
    for (int i = 0; i < count && greyPalette; ++i)
      greyPalette = entries[i].red == entries[i].green && entries[i].green == entries[i].blue;
    png_set_palette_to_rgb(job->png);
  }
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(job->png);
  if (greyPalette) png_set_rgb_to_gray_fixed(job->png, 1, -1, -1);  // exact: r == g == b
  if (depth == 16) png_set_swap(job->png);                          // host-order samples
  png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  out.channels = png_get_channels(job->png, job->info);
  out.bits = png_get_bit_depth(job->png, job->info) == 16 ? 16 : 8;
  out.maxval = out.bits == 16 ? 65535 : 255;
  out.palette = palette && !greyPalette;
  try {
    checkClaimedSize(*job->name, w, h, *job->options);
    const std::uint64_t rawBytes =
        (std::uint64_t(w) * std::uint64_t(depth) * std::uint64_t(png_get_channels(job->png, job->info)) + 7) / 8 * h;
    checkStoredBytes(*job->name, w, h, rawBytes / kDeflateMaxRatio, job->reader.size);
    checkDecodedSize(*job->name, w, h, std::uint64_t(out.channels) * std::uint64_t(out.bits / 8), job->reader.size,
                     *job->options);
  } catch (const CliError& e) {
    job->refusal = e.what();
    return false;
  }
  out.width = out.imageWidth = std::int32_t(w);
  out.height = out.imageHeight = std::int32_t(h);
  const std::size_t rowBytes = out.rowSamples() * std::size_t(out.bits / 8);
  if (png_get_rowbytes(job->png, job->info) != rowBytes) {
    job->refusal = *job->name + ": corrupt PNG: unexpected row size";
    return false;
  }
  const mxPelRect part = keptPart(out.width, out.height, out.bits, *job->options);
  if (part.area() < std::int64_t(w) * std::int64_t(h) &&
      png_get_interlace_type(job->png, job->info) == PNG_INTERLACE_NONE) {
    // Only part of the image is kept: rows are decoded one at a time into
    // one row buffer, the kept columns copied out; the rows below the part
    // are not decoded at all.  (An interlaced image is decoded whole: its
    // passes fill every row several times.)
    const std::size_t pel = std::size_t(out.channels) * std::size_t(out.bits / 8);
    job->row.resize(rowBytes);
    out.x0 = part.x();
    out.y0 = part.y();
    out.width = part.width();
    out.height = part.height();
    out.allocate();
    std::uint8_t* const base = out.bits == 16 ? reinterpret_cast<std::uint8_t*>(out.samples16.get()) : out.bytes8.get();
    const std::size_t keptBytes = std::size_t(out.width) * pel;
    for (std::int32_t j = 0; j < part.y() + part.height(); ++j) {
      png_read_row(job->png, job->row.data(), nullptr);
      if (j >= part.y())
        std::memcpy(base + keptBytes * std::size_t(j - part.y()), job->row.data() + std::size_t(part.x()) * pel,
                    keptBytes);
    }
    return true;
  }
  out.allocate();
  job->rows.resize(h);
  for (png_uint_32 j = 0; j < h; ++j)
    job->rows[j] = out.bits == 16 ? reinterpret_cast<png_bytep>(out.row16(std::int32_t(j))) : out.row8(std::int32_t(j));
  png_read_image(job->png, job->rows.data());
  png_read_end(job->png, nullptr);
  return true;
}

// PNG row filters (filter type byte before each row): the Sub filter
// for the fast default, and the choice by least sum of absolute values among
// all five otherwise (the heuristic libpng uses).
// bpp: bytes per pel (1 grey, 3 RGB); the left neighbour is bpp bytes back.
void filterSub(const std::uint8_t* row, std::size_t n, std::size_t bpp, std::uint8_t* out) {
  std::memcpy(out, row, std::min(bpp, n));
  for (std::size_t x = bpp; x < n; ++x) out[x] = std::uint8_t(row[x] - row[x - bpp]);
}

std::uint64_t filterCost(const std::uint8_t* f, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t x = 0; x < n; ++x) sum += std::uint64_t(f[x] < 128 ? f[x] : 256 - f[x]);
  return sum;
}

// Writes the best of the five filters into out[0] (type) and out[1..n].
void filterAdaptive(const std::uint8_t* row, const std::uint8_t* prev, std::size_t n, std::size_t bpp,
                    std::uint8_t* scratch, std::uint8_t* out) {
  std::uint8_t* cand[5];
  for (int k = 0; k < 5; ++k) cand[k] = scratch + std::size_t(k) * n;
  std::memcpy(cand[0], row, n);
  filterSub(row, n, bpp, cand[1]);
  for (std::size_t x = 0; x < n; ++x) {
    const bool left = x >= bpp;
    const int a = left ? row[x - bpp] : 0, b = prev ? prev[x] : 0, c = left && prev ? prev[x - bpp] : 0;
    cand[2][x] = std::uint8_t(row[x] - b);
    cand[3][x] = std::uint8_t(row[x] - ((a + b) >> 1));
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    cand[4][x] = std::uint8_t(row[x] - (pa <= pb && pa <= pc ? a : pb <= pc ? b : c));
  }
  int best = 0;
  std::uint64_t bestCost = filterCost(cand[0], n);
  for (int k = 1; k < 5; ++k) {
    const std::uint64_t cost = filterCost(cand[k], n);
    if (cost < bestCost) best = k, bestCost = cost;
  }
  out[0] = std::uint8_t(best);
  std::memcpy(out + 1, cand[best], n);
}

void putBE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(std::uint8_t(v >> (8 * i)));
}

void putChunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data, std::size_t n) {
  putBE32(out, std::uint32_t(n));
  const std::size_t at = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data, data + n);
  putBE32(out, libdeflate_crc32(0, out.data() + at, n + 4));
}

struct CompressorCloser {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

RawImage decodePng(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  checkSinglePage(name, options);
  if (size < 8 || png_sig_cmp(data, 0, 8) != 0) inputError(name, "not a PNG file");
  RawImage raw;
  PngReadJob job;
  job.reader = {data, size, 0};
  job.name = &name;
  job.options = &options;
  job.out = &raw;
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job.error, pngError, pngWarning);
  job.info = job.png ? png_create_info_struct(job.png) : nullptr;
  const bool ok = job.info && runPngRead(&job);
  png_destroy_read_struct(job.png ? &job.png : nullptr, job.info ? &job.info : nullptr, nullptr);
  if (!job.refusal.empty()) throw CliError(kExitInput, job.refusal);
  if (!ok) inputError(name, std::string("corrupt or truncated PNG: ") + job.error.message);
  return raw;
}

std::vector<std::uint8_t> encodePngRows(std::int32_t width, std::int32_t height, int channels,
                                        const std::function<const std::uint8_t*(std::int32_t)>& row, int level,
                                        const std::string& name, int bits) {
  // Filtered rows, compressed in one call (several times faster than zlib
  // at the same ratio), in IDAT chunks of at most 1 GiB.
  const std::size_t bpp = std::size_t(channels) * std::size_t(bits / 8), w = std::size_t(width) * bpp,
                    h = std::size_t(height);
  std::unique_ptr<std::uint8_t[]> filtered(new std::uint8_t[(w + 1) * h]);
  std::unique_ptr<std::uint8_t[]> scratch(level > 0 ? new std::uint8_t[5 * w] : nullptr);
  const std::uint8_t* prev = nullptr;
  for (std::size_t y = 0; y < h; ++y) {
    const std::uint8_t* in = row(std::int32_t(y));
    std::uint8_t* out = filtered.get() + (w + 1) * y;
    if (level < 0) {
      out[0] = 1;  // Sub
      filterSub(in, w, bpp, out + 1);
    } else if (level == 0) {
      out[0] = 0;  // None
      std::memcpy(out + 1, in, w);
    } else {
      filterAdaptive(in, prev, w, bpp, scratch.get(), out);
    }
    prev = in;
  }
  scratch.reset();
  const std::size_t n = (w + 1) * h;
  std::vector<std::uint8_t> z;
  if (level < 0) {
    z = huffmanOnlyZlib(filtered.get(), n);
  } else {
    std::unique_ptr<libdeflate_compressor, CompressorCloser> c(libdeflate_alloc_compressor(level));
    if (!c) throw CliError(kExitOutput, name + ": cannot encode PNG: out of memory");
    z.resize(libdeflate_zlib_compress_bound(c.get(), n));
    z.resize(libdeflate_zlib_compress(c.get(), filtered.get(), n, z.data(), z.size()));
    if (z.empty()) throw CliError(kExitOutput, name + ": cannot encode PNG: compression failed");
  }
  filtered.reset();

  std::vector<std::uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  bytes.reserve(z.size() + 64 + z.size() / (1u << 30) * 12);
  std::vector<std::uint8_t> ihdr;
  putBE32(ihdr, std::uint32_t(width));
  putBE32(ihdr, std::uint32_t(height));
  // 8 or 16 bits, grey, RGB or RGBA, deflate, adaptive filters, no interlace
  const std::uint8_t colourType = channels == 4 ? 6 : channels == 3 ? 2 : 0;
  ihdr.insert(ihdr.end(), {std::uint8_t(bits), colourType, 0, 0, 0});
  putChunk(bytes, "IHDR", ihdr.data(), ihdr.size());
  const std::size_t chunk = std::size_t(1) << 30;
  for (std::size_t at = 0; at < z.size(); at += chunk)
    putChunk(bytes, "IDAT", z.data() + at, std::min(chunk, z.size() - at));
  putChunk(bytes, "IEND", nullptr, 0);
  return bytes;
}

std::vector<std::uint8_t> encodePng(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                    const std::string& name) {
  return encodePngRows(
      image.width() / options.channels, image.height(), options.channels, [&](std::int32_t y) { return image.row(y); },
      options.pngLevel, name);
}

std::vector<std::uint8_t> encodePng16(const mxPelBuffer_const<unsigned short>& image, const WriteOptions& options,
                                      const std::string& name) {
  // Big-endian rows; two buffers, since the adaptive filters read the row
  // before the current one.
  std::vector<std::uint8_t> rows[2] = {std::vector<std::uint8_t>(std::size_t(image.width()) * 2),
                                       std::vector<std::uint8_t>(std::size_t(image.width()) * 2)};
  return encodePngRows(
      image.width() / options.channels, image.height(), options.channels,
      [&](std::int32_t y) {
        std::uint8_t* out = rows[y & 1].data();
        const unsigned short* in = image.row(y);
        for (std::int32_t x = 0; x < image.width(); ++x) {
          out[2 * x] = std::uint8_t(in[x] >> 8);
          out[2 * x + 1] = std::uint8_t(in[x]);
        }
        return static_cast<const std::uint8_t*>(out);
      },
      options.pngLevel, name, 16);
}

}  // namespace imgnormcli

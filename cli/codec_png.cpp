// PNG reading and writing through libpng, from and to memory.
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <png.h>
#include <zlib.h>

#include "codec_util.h"

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
  } catch (const CliError& e) {
    job->refusal = e.what();
    return false;
  }
  out.width = std::int32_t(w);
  out.height = std::int32_t(h);
  if (png_get_rowbytes(job->png, job->info) != out.rowSamples() * std::size_t(out.bits / 8)) {
    job->refusal = *job->name + ": corrupt PNG: unexpected row size";
    return false;
  }
  out.allocate();
  job->rows.resize(h);
  for (png_uint_32 j = 0; j < h; ++j)
    job->rows[j] = out.bits == 16 ? reinterpret_cast<png_bytep>(out.row16(std::int32_t(j))) : out.row8(std::int32_t(j));
  png_read_image(job->png, job->rows.data());
  png_read_end(job->png, nullptr);
  return true;
}

struct PngWriteJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngErrorState error;
  const mxPelBuffer_const<unsigned char>* image = nullptr;
  std::vector<std::uint8_t>* bytes = nullptr;
  int level = -1;
};

extern "C" void pngWriteMemory(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
extern "C" void pngFlushMemory(png_structp) {}

bool runPngWrite(PngWriteJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_set_write_fn(job->png, job->bytes, pngWriteMemory, pngFlushMemory);
  const auto& im = *job->image;
  png_set_IHDR(job->png, job->info, png_uint_32(im.width()), png_uint_32(im.height()), 8, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (job->level < 0) {
    // Fast: the Sub filter and run-length matching at level 1 compress
    // camera images about as well as the slow default at a fraction of the
    // time (the normalization itself takes well under a millisecond).
    png_set_filter(job->png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(job->png, 1);
    png_set_compression_strategy(job->png, Z_RLE);
  } else {
    png_set_compression_level(job->png, job->level);
  }
  png_write_info(job->png, job->info);
  for (std::int32_t j = 0; j < im.height(); ++j) png_write_row(job->png, im.row(j));
  png_write_end(job->png, nullptr);
  return true;
}

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

std::vector<std::uint8_t> encodePng(const mxPelBuffer_const<unsigned char>& image, int level, const std::string& name) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(std::size_t(image.width()) * std::size_t(image.height()) / 2 + 1024);
  PngWriteJob job;
  job.image = &image;
  job.bytes = &bytes;
  job.level = level;
  job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &job.error, pngError, pngWarning);
  job.info = job.png ? png_create_info_struct(job.png) : nullptr;
  const bool ok = job.info && runPngWrite(&job);
  png_destroy_write_struct(job.png ? &job.png : nullptr, job.info ? &job.info : nullptr);
  if (!ok) throw CliError(kExitOutput, name + ": cannot encode PNG: " + job.error.message);
  return bytes;
}

}  // namespace imgnormcli

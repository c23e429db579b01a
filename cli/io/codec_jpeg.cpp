// JPEG reading and writing through libjpeg(-turbo), in memory.  Grey JPEGs give grey
// images, YCbCr and RGB ones colour (luma under --to-gray); CMYK and YCCK are
// refused.  Baseline, progressive and arithmetic-coded files are read; the
// warnings libjpeg gives for missing or damaged data are errors here, since
// libjpeg would otherwise fill the missing part with grey.  Written files are
// 8-bit grey baseline JPEGs at WriteOptions::quality (libjpeg's scale: 95 by
// default, with optimized Huffman codes).
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first, and jerror.h the
// configuration jpeglib.h reads (arithmetic coding).
#include <jpeglib.h>
// clang-format off
#include <jerror.h>
// clang-format on

#include "io/codec_util.h"

namespace imgnormcli {

namespace {

// More scans than any real progressive file uses; a crafted file with
// thousands of tiny scans would otherwise take minutes.
constexpr int kMaxScans = 1000;

struct JpegErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX] = "";
};

extern "C" void jpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

extern "C" void jpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  switch (cinfo->err->msg_code) {
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
      jpegErrorExit(cinfo);  // damaged or missing data
      break;
    default:
      break;  // harmless: extra bytes, unknown JFIF version, ...
  }
}

extern "C" void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
      auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
      std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxScans);
      std::longjmp(err->jump, 1);
    }
  }
}

struct JpegJob {
  jpeg_decompress_struct cinfo;
  JpegErrorManager err;
  jpeg_progress_mgr progress;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  const std::string* name = nullptr;
  const ReadOptions* options = nullptr;
  RawImage* out = nullptr;
  std::string refusal;
};

bool runJpegRead(JpegJob* job) {
  if (setjmp(job->err.jump)) return false;
  jpeg_decompress_struct& c = job->cinfo;
  jpeg_create_decompress(&c);
  c.progress = &job->progress;
  jpeg_mem_src(&c, job->data, static_cast<unsigned long>(job->size));
  jpeg_read_header(&c, TRUE);
  if (c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK) {
    job->refusal = *job->name + ": CMYK JPEG is not supported (convert it to RGB or grey first)";
    return false;
  }
  c.out_color_space = c.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  // Huffman-coded sequential data spends at least two bits on every 8 x 8
  // block (its DC code and the end of its AC codes); progressive and
  // arithmetic coding have no such bound.
  const std::uint64_t blocks = (std::uint64_t(c.image_width) + 7) / 8 * ((std::uint64_t(c.image_height) + 7) / 8);
  const bool bounded = !c.progressive_mode && !c.arith_code;
  try {
    checkClaimedSize(*job->name, c.image_width, c.image_height, *job->options);
    if (bounded) checkStoredBytes(*job->name, c.image_width, c.image_height, blocks / 4, job->size);
  } catch (const CliError& e) {
    job->refusal = e.what();
    return false;
  }
  jpeg_start_decompress(&c);
  RawImage& out = *job->out;
  out.width = std::int32_t(c.output_width);
  out.height = std::int32_t(c.output_height);
  out.channels = c.output_components;
  out.bits = 8;
  out.maxval = 255;
  if (out.channels != 1 && out.channels != 3) {
    job->refusal = *job->name + ": JPEG with " + std::to_string(out.channels) + " components is not supported";
    return false;
  }
  out.allocate();
  while (c.output_scanline < c.output_height) {
    JSAMPROW row = out.row8(std::int32_t(c.output_scanline));
    if (jpeg_read_scanlines(&c, &row, 1) != 1) {
      std::snprintf(job->err.message, sizeof job->err.message, "no data for row %u", c.output_scanline);
      return false;
    }
  }
  jpeg_finish_decompress(&c);
  return true;
}

}  // namespace

RawImage decodeJpeg(const std::uint8_t* data, std::size_t size, const std::string& name, const ReadOptions& options) {
  checkSinglePage(name, options);
  if (size < 3 || data[0] != 0xFF || data[1] != 0xD8) inputError(name, "not a JPEG file");
  RawImage raw;
  JpegJob job;
  job.cinfo.err = jpeg_std_error(&job.err.pub);
  job.err.pub.error_exit = jpegErrorExit;
  job.err.pub.emit_message = jpegEmitMessage;
  job.progress.progress_monitor = jpegProgress;
  job.data = data;
  job.size = size;
  job.name = &name;
  job.options = &options;
  job.out = &raw;
  const bool ok = runJpegRead(&job);
  jpeg_destroy_decompress(&job.cinfo);
  if (!job.refusal.empty()) throw CliError(kExitInput, job.refusal);
  if (!ok) inputError(name, std::string("corrupt or truncated JPEG: ") + job.err.message);
  return raw;
}

namespace {

struct JpegWriteJob {
  jpeg_compress_struct cinfo;
  JpegErrorManager err;
  const mxPelBuffer_const<unsigned char>* image = nullptr;
  int quality = 95;
  int channels = 1;                 // 1 grey, 3 RGB
  unsigned char* buffer = nullptr;  // libjpeg's, freed by the caller
  unsigned long size = 0;
};

bool runJpegWrite(JpegWriteJob* job) {
  if (setjmp(job->err.jump)) return false;
  jpeg_compress_struct& c = job->cinfo;
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &job->buffer, &job->size);
  c.image_width = JDIMENSION(job->image->width() / job->channels);
  c.image_height = JDIMENSION(job->image->height());
  c.input_components = job->channels;
  c.in_color_space = job->channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, job->quality, TRUE);
  c.optimize_coding = TRUE;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    // libjpeg reads the row only; its interface wants a mutable pointer.
    JSAMPROW row = const_cast<JSAMPROW>(job->image->row(std::int32_t(c.next_scanline)));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  return true;
}

}  // namespace

std::vector<std::uint8_t> encodeJpeg(const mxPelBuffer_const<unsigned char>& image, const WriteOptions& options,
                                     const std::string& name) {
  if (image.width() / options.channels > 65500 || image.height() > 65500)
    throw CliError(kExitOutput, name + ": JPEG holds at most 65500 x 65500 pels; write PNG or TIFF");
  JpegWriteJob job;
  job.cinfo.err = jpeg_std_error(&job.err.pub);
  job.err.pub.error_exit = jpegErrorExit;
  job.image = &image;
  job.quality = options.quality;
  job.channels = options.channels;
  const bool ok = runJpegWrite(&job);
  jpeg_destroy_compress(&job.cinfo);
  std::vector<std::uint8_t> bytes;
  if (ok) bytes.assign(job.buffer, job.buffer + job.size);
  std::free(job.buffer);
  if (!ok) throw CliError(kExitOutput, name + ": cannot encode JPEG: " + job.err.message);
  return bytes;
}

}  // namespace imgnormcli

// libFuzzer target: the decoder IMGNORM_FUZZ_CODEC names, then the grey conversion, may
// fail only with the program's input error.
#include <cstdint>
#include <string>

#include "common/cli_error.h"
#include "fuzz_common.h"
#include "io/codecs.h"
#include "io/image_io.h"

#ifndef IMGNORM_FUZZ_CODEC
#error "IMGNORM_FUZZ_CODEC must name the codec to fuzz"
#endif

namespace {
const imgnormcli::Codec& codec = *imgnormcli::codecByKey(IMGNORM_FUZZ_CODEC);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  imgnormcli::installCodecHandlers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  imgnormcli::ReadOptions options;
  options.toGray = true;
  // 16 Mpels: every decoder's largest buffer (4 channels of 16 bits) stays
  // well under the 1 GiB allocation limit of the fuzz runs.
  options.maxPixels = std::uint64_t(1) << 24;
  // Half of the inputs keep only a part of the image (chosen from the size),
  // so that the decoders' cutting of rows and columns is fuzzed too.
  if (size % 2) options.keep = mxPelRect(std::int32_t(size % 7), std::int32_t(size % 5), std::int32_t(3 + size % 11),
                                         std::int32_t(2 + size % 13));
  try {
    const imgnormcli::RawImage raw = codec.decode(data, size, "fuzz-input", options);
    imgnormcli::toGray8(raw, "fuzz-input", options);
    // The 16-bit tool's reading of deep grey: its depth check at the file's own depth.
    if (raw.bits == 16 && raw.channels == 1)
      imgnormcli::toGray16(raw, "fuzz-input", imgnormcli::declaredDepth(raw, options));
    // --depth 8 on any 16-bit image, colour and alpha too.
    if (raw.bits == 16) imgnormcli::shiftToDepth8(raw, "fuzz-input", options);
  } catch (const imgnormcli::CliError& e) {
    if (e.code() != imgnormcli::kExitInput) fuzzcommon::fail(std::string("unexpected exit code: ") + e.what());
  }
  return 0;
}

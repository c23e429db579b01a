// Helpers shared by the libFuzzer targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "baseif/mxException.h"
#include "baseif/mxStr.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"

namespace fuzzcommon {

// Reports a finding: libFuzzer saves the input that led here.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

// Runs each method of the tool's trained set on a small textured image at
// the reference's origin, so that it overlaps whatever the tool holds.
inline void runEveryTrainedMethod(const mxImageNormalizer& tool) {
  const mxPelRect ref = tool.referenceImage().isBound() ? tool.referenceImage().window() : mxPelRect(0, 0, 1, 1);
  mxPelBuffer<unsigned char> image(mxPelRect(ref.x(), ref.y(), 24, 17));
  for (std::int32_t j = 0; j < image.height(); ++j)
    for (std::int32_t i = 0; i < image.width(); ++i) image.row(j)[i] = static_cast<unsigned char>(i * 11 + j * 7);
  for (std::uint32_t m = 1; m <= 32; m <<= 1) {
    if ((tool.trainedMethods() & m) == 0) continue;
    bool ok = false;
    std::wstring message;
    try {
      tool.run(image, mxImageNormalizerDefs::Method(m), ok, message);
    } catch (const mxImageNormalizerDefs::Errors&) {
    } catch (const mxException& e) {
      fail("run(" + std::to_string(m) + ") threw an undocumented error: " + mfToUtf8(e.message()));
    }
  }
}

}  // namespace fuzzcommon

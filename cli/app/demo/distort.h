// Known distortions of a reference image, for the demonstration: run-time
// images whose grey levels differ from the reference in a controlled way.
// Every distortion adds Gaussian noise from a seeded generator of our own, so
// the images are the same on every platform and every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "baseif/mxPelBuffer.h"

namespace imgnormcli {

enum class DistortionKind {
  kGainOffset,  // v' = 0.6 v + 70: lower contrast, brighter
  kGamma,       // v' = 255 (v / 255)^0.5: a brightening gamma curve
  kPlane,       // v' = v + s, s a tilted plane from -60 (top left) to +60 (bottom right)
  kVignette,    // v' = v (1 - 0.6 r^2), r the distance from the centre, 1 at the corners
  kVaryingGain  // v' = v g, g from 0.6 (left edge) to 1.2 (right edge), uneven lighting
};

struct DistortionInfo {
  DistortionKind kind;
  const char* name;     // short name, used in file names and tables
  const char* summary;  // one line for the README and the help
};

const std::vector<DistortionInfo>& distortionTable();

// The noise-free grey level (before rounding and clamping) that a distortion
// gives reference value v at (x, y) of a width x height image.
double distortedValue(DistortionKind kind, double v, std::int32_t x, std::int32_t y, std::int32_t width,
                      std::int32_t height);

// A new image: the distortion of ref's window plus Gaussian noise of the given
// standard deviation, rounded and clamped to 0..255.  The same seed gives the
// same image.
mxPelBuffer<unsigned char> distort(const mxPelBuffer_const<unsigned char>& ref, DistortionKind kind, double noiseSigma,
                                   std::uint32_t seed);

// A seed from a text (FNV-1a), so that each sample and distortion has its own
// fixed noise independent of the order of processing.
std::uint32_t seedFromText(const std::string& text);

// Mean absolute difference of two images over the overlap of their windows;
// a negative value when they do not overlap.
double meanAbsoluteError(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b);

}  // namespace imgnormcli

// Random test images for the filter tests.
#pragma once

#include <cstdint>
#include <random>

#include "baseif/mxPelBuffer.h"

// A window of size w x h at image coordinates (x, y) inside a larger store
// whose pels around the window hold different random values, so that a
// filter reading beyond its window shows up.
inline mxPelBuffer<unsigned char> randomWindow(std::mt19937& rng, std::int32_t x, std::int32_t y, std::int32_t w,
                                               std::int32_t h, int lo = 0, int hi = 255) {
  std::uniform_int_distribution<int> margin(0, 3);
  const std::int32_t l = margin(rng), t = margin(rng), r = margin(rng), b = margin(rng);
  mxPelBuffer<unsigned char> buf(mxPelRect(x - l, y - t, w + l + r, h + t + b));
  std::uniform_int_distribution<int> value(lo, hi);
  for (std::int32_t j = 0; j < buf.height(); ++j)
    for (std::int32_t i = 0; i < buf.width(); ++i) buf.row(j)[i] = (unsigned char)value(rng);
  buf.window(mxPelRect(x, y, w, h));
  return buf;
}

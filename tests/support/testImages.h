// Small helpers shared by the tests: deterministic images.
#pragma once

#include <cstdint>
#include <random>

#include "baseif/mxPelBuffer.h"

// A w x h 8-bit image at (x0, y0) filled by f(x, y) (image coordinates).
template <class F>
mxPelBuffer<unsigned char> makeImage(std::int32_t w, std::int32_t h, F f, std::int32_t x0 = 0, std::int32_t y0 = 0) {
  mxPelBuffer<unsigned char> img(mxPelRect(x0, y0, w, h));
  for (std::int32_t j = 0; j < h; ++j)
    for (std::int32_t i = 0; i < w; ++i) img.row(j)[i] = static_cast<unsigned char>(f(x0 + i, y0 + j));
  return img;
}

// Uniform random pels in [lo, hi], fixed seed.
inline mxPelBuffer<unsigned char> randomImage(std::int32_t w, std::int32_t h, unsigned seed, int lo = 0, int hi = 255,
                                              std::int32_t x0 = 0, std::int32_t y0 = 0) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  return makeImage(
      w, h, [&](int, int) { return d(rng); }, x0, y0);
}

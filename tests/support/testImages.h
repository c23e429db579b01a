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

// A pel value that differs for every position (and for every type width).
template <class T>
T pattern(std::int32_t x, std::int32_t y) {
  return static_cast<T>(std::uint32_t(x) * 2654435761u ^ std::uint32_t(y) * 40503u);
}

// A buffer of window r holding pattern<T>(x, y) at every image position.
template <class T>
mxPelBuffer<T> patterned(const mxPelRect& r) {
  mxPelBuffer<T> b(r);
  for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y)
    for (std::int32_t x = r.x(); x < r.x() + r.width(); ++x) b.set(x, y, pattern<T>(x, y));
  return b;
}

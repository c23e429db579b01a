// Small helpers shared by the tests: deterministic images, views of a
// window, and the smoothing kernel the filters are checked against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

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
  return makeImage(w, h, [&](int, int) { return d(rng); }, x0, y0);
}

// A width x height image at (x, y) of values drawn from `values` (or 0..255 when empty).
inline mxPelBuffer<unsigned char> randomImage(std::mt19937& rng, std::int32_t w, std::int32_t h, std::int32_t x = 0,
                                              std::int32_t y = 0, std::vector<int> values = {}) {
  mxPelBuffer<unsigned char> b(mxPelRect(x, y, w, h));
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, values.empty() ? 0 : values.size() - 1);
  for (std::int32_t j = 0; j < h; ++j)
    for (std::int32_t i = 0; i < w; ++i)
      b.row(j)[i] = static_cast<unsigned char>(values.empty() ? any(rng) : values[pick(rng)]);
  return b;
}

// A w x h window at (x, y) in a larger random store: reading beyond the window shows.
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

// A view of b's store with the window r (b itself keeps its window).
template <class T>
mxPelBuffer<T> windowOf(const mxPelBuffer<T>& b, const mxPelRect& r) {
  mxPelBuffer<T> v = b;
  v.window(r, false);
  return v;
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

// A w x h image at (x0, y0) of the one value v.
inline mxPelBuffer<unsigned char> constantImage(std::int32_t w, std::int32_t h, int v, std::int32_t x0 = 0,
                                                std::int32_t y0 = 0) {
  return makeImage(w, h, [v](int, int) { return v; }, x0, y0);
}

// Smooth structure, a gentle gradient and fine noise: every method has work.
inline mxPelBuffer<unsigned char> texturedImage(std::int32_t w, std::int32_t h, unsigned seed, std::int32_t x0 = 0,
                                                std::int32_t y0 = 0) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-9, 9);
  return makeImage(
      w, h,
      [&](int x, int y) {
        const double v = 120 + 60 * std::sin(x * 0.13 + seed) * std::cos(y * 0.09) + 0.2 * (x - y) + noise(rng);
        return std::lround(std::fmin(255.0, std::fmax(0.0, v)));
      },
      x0, y0);
}

// Amount s: three boxes (widths summing to support + 2, within one of each other)
// convolved; support 2s + 1, or 2s + 2 for a centred even cell; weights sum to 1.
inline std::vector<double> threeBoxKernel(int s, bool evenSupport = false) {
  const int support = 2 * s + 1 + (evenSupport ? 1 : 0);
  std::vector<double> k{1.0};
  for (int b = 0; b < 3; ++b) {
    const int w = (support + 2) / 3 + (b < (support + 2) % 3 ? 1 : 0);
    std::vector<double> prefix(k.size() + 1, 0.0), next(k.size() + w - 1);
    for (size_t i = 0; i < k.size(); ++i) prefix[i + 1] = prefix[i] + k[i];
    for (size_t i = 0; i < next.size(); ++i)  // the mean of k[i - w + 1 .. i]
      next[i] = (prefix[std::min(i + 1, k.size())] - prefix[i + 1 >= size_t(w) ? i + 1 - w : 0]) / w;
    k = next;
  }
  return k;
}

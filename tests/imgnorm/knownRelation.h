// Image pairs with a known grey-level relation, for the global mappings'
// tests: a reference with a broad spread of grey levels, and a run-time image
// that is the reference under gain and offset, with noise and an optional
// pasted defect.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "baseif/mxPelBuffer.h"

namespace knownRelation {

constexpr int kSize = 256;

// A smooth ramp with ripples: grey levels from about 10 to 220.
inline mxPelBuffer<unsigned char> reference() {
  mxPelBuffer<unsigned char> b(kSize, kSize);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x)
      b.row(y)[x] =
          static_cast<unsigned char>(std::lround(25 + 0.4 * x + 0.35 * y + 15 * std::sin(x / 7.0) * std::sin(y / 11.0)));
  return b;
}

// The square the defect covers: 51 x 51 pels, 4 % of the image.
inline bool inDefect(int x, int y) { return x >= 150 && x < 201 && y >= 40 && y < 91; }

// run = gain * ref + offset + N(0, sigma), rounded and clamped; the defect
// square (when asked) holds defectGrey.
inline mxPelBuffer<unsigned char> runTime(const mxPelBuffer_const<unsigned char>& ref, double gain, double offset,
                                          double sigma, bool defect, int defectGrey = 240, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  mxPelBuffer<unsigned char> b(ref.width(), ref.height());
  for (int y = 0; y < ref.height(); ++y)
    for (int x = 0; x < ref.width(); ++x) {
      double v = gain * ref.row(y)[x] + offset + noise(rng);
      if (defect && inDefect(x, y)) v = defectGrey;
      b.row(y)[x] = static_cast<unsigned char>(std::lround(std::fmin(std::fmax(v, 0.0), 255.0)));
    }
  return b;
}

// 0 on the defect square, 255 elsewhere.
inline mxPelBuffer<unsigned char> maskOutDefect() {
  mxPelBuffer<unsigned char> m(kSize, kSize);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) m.row(y)[x] = inDefect(x, y) ? 0 : 255;
  return m;
}

// Histogram of the pels the mask selects (all pels when it is unbound).
inline std::vector<std::uint32_t> histogram(const mxPelBuffer_const<unsigned char>& img,
                                            const mxPelBuffer_const<unsigned char>& mask) {
  std::vector<std::uint32_t> h(256, 0);
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (!mask.isBound() || mask.row(y)[x] != 0) ++h[img.row(y)[x]];
  return h;
}

}  // namespace knownRelation

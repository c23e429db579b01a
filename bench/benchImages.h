// Synthetic images shared by the tool benchmarks: a textured reference and a
// run-time image that is the reference under a gain, an offset and a smooth
// shading.  Fixed seeds, so every run times the same pels.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

#include "baseif/mxPelBuffer.h"

namespace bench {

inline unsigned char clampByte(double v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

inline mxPelBuffer<unsigned char> texturedReference(int width, int height) {
  mxPelBuffer<unsigned char> img(width, height);
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> noise(-20, 20);
  for (int y = 0; y < height; ++y) {
    unsigned char* row = img.row(y);
    for (int x = 0; x < width; ++x) {
      const double v = 128 + 50 * std::sin(x * 0.05) * std::cos(y * 0.043) + 30 * std::sin((x + y) * 0.011);
      row[x] = clampByte(v + noise(rng));
    }
  }
  return img;
}

inline mxPelBuffer<unsigned char> texturedReference(int size) { return texturedReference(size, size); }

inline mxPelBuffer<unsigned char> shadedRuntime(const mxPelBuffer_const<unsigned char>& ref) {
  const int w = ref.width(), h = ref.height();
  mxPelBuffer<unsigned char> img(w, h);
  for (int y = 0; y < h; ++y) {
    const unsigned char* s = ref.row(y);
    unsigned char* d = img.row(y);
    for (int x = 0; x < w; ++x) {
      const double shade = 40.0 * (double(x) / w - 0.5) + 25.0 * (double(y) / h - 0.5);
      d[x] = clampByte(0.85 * s[x] + 12 + shade);
    }
  }
  return img;
}

// A mask excluding a centred rectangle and a border stripe (about 15 %).
inline mxPelBuffer<unsigned char> benchMask(int width, int height) {
  mxPelBuffer<unsigned char> m(width, height);
  for (int y = 0; y < height; ++y) {
    unsigned char* row = m.row(y);
    for (int x = 0; x < width; ++x) {
      const bool hole =
          (x > width * 3 / 8 && x < width * 5 / 8 && y > height * 3 / 8 && y < height * 5 / 8) || x < width / 32;
      row[x] = hole ? 0 : 255;
    }
  }
  return m;
}

inline mxPelBuffer<unsigned char> benchMask(int size) { return benchMask(size, size); }

}  // namespace bench

// Synthetic images shared by the tool benchmarks: a textured reference and a
// run-time image that is the reference under a gain, an offset and a smooth
// shading.  Fixed seeds, so every run times the same pels.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
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

// An 8-bit image spread over a depth: each pel v becomes v << (depth - 8),
// its low bits filled from a hash of the position, so that deep histograms
// and tables are used over their whole range.  Images deepened with
// different salts have independent low bits, as two exposures' noise is
// (with the same salt a difference of the two would be the 8-bit difference
// shifted up, its low bits all equal).
inline mxPelBuffer<unsigned short> deepened(const mxPelBuffer_const<unsigned char>& img, int depth,
                                            std::uint32_t salt = 0) {
  mxPelBuffer<unsigned short> d(img.window());
  const int shift = depth - 8;
  for (std::int32_t j = 0; j < img.height(); ++j)
    for (std::int32_t i = 0; i < img.width(); ++i) {
      std::uint32_t low;
      if (salt == 0) {
        low = (std::uint32_t(i) * 2654435761u ^ std::uint32_t(j) * 40503u) >> 7;
      } else {  // a finalising mix of position and salt
        low = (std::uint32_t(i) * 0x9E3779B1u) ^ (std::uint32_t(j) * 0x85EBCA77u) ^ (salt * 0xC2B2AE3Du);
        low ^= low >> 15;
        low *= 0x2C1B3C6Du;
        low ^= low >> 12;
        low *= 0x297A2D39u;
        low ^= low >> 15;
      }
      d.row(j)[i] = static_cast<unsigned short>((img.row(j)[i] << shift) | (low & ((1u << shift) - 1)));
    }
  return d;
}

// The textured reference, its shaded run-time image and the mask of one
// square size, made once per process (the largest take seconds).
struct RunImages {
  mxPelBuffer<unsigned char> ref, run, mask;
};

inline const RunImages& runImages(int size) {
  static std::map<int, std::unique_ptr<RunImages>> cache;
  auto& slot = cache[size];
  if (!slot) {
    slot = std::make_unique<RunImages>();
    slot->ref = texturedReference(size);
    slot->run = shadedRuntime(slot->ref);
    slot->mask = benchMask(size);
  }
  return *slot;
}

}  // namespace bench

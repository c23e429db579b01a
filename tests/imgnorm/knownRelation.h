// A 256 x 256 reference (levels about 10 to 220) and run-time images under a known relation.
#pragma once

#include <cmath>
#include <random>

#include "baseif/mxPelBuffer.h"

namespace knownRelation {

// The defect: a 51 x 51 square, 4 % of the image.
inline bool inDefect(int x, int y) { return x >= 150 && x < 201 && y >= 40 && y < 91; }

// gain * reference + offset + N(0, sigma), clamped, the defect square defectGrey (gain 0: the reference).
inline mxPelBuffer<unsigned char> image(double gain = 0, double offset = 0, double sigma = 2, int defectGrey = 240,
                                        unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  mxPelBuffer<unsigned char> b(256, 256);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const double t = std::lround(25 + 0.4 * x + 0.35 * y + 15 * std::sin(x / 7.0) * std::sin(y / 11.0));
      double v = gain == 0 ? t : (inDefect(x, y) ? defectGrey : gain * t + offset + noise(rng));
      b.row(y)[x] = static_cast<unsigned char>(std::lround(std::fmin(std::fmax(v, 0.0), 255.0)));
    }
  return b;
}

}  // namespace knownRelation

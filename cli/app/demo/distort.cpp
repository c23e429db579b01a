#include "app/demo/distort.h"

#include <cmath>
#include <random>

namespace imgnormcli {

const std::vector<DistortionInfo>& distortionTable() {
  static const std::vector<DistortionInfo> table = {
      {DistortionKind::kGainOffset, "gain-offset", "0.6 v + 70: lower contrast, brighter"},
      {DistortionKind::kGamma, "gamma", "255 (v/255)^0.5: brightening gamma curve"},
      {DistortionKind::kPlane, "plane", "v + tilted plane from -60 (top left) to +60 (bottom right)"},
      {DistortionKind::kVignette, "vignette", "v (1 - 0.6 r^2): darkening towards the corners"},
      {DistortionKind::kVaryingGain, "varying-gain", "v (0.9 + 0.3 x): gain from 0.6 (left) to 1.2 (right)"},
  };
  return table;
}

double distortedValue(DistortionKind kind, double v, std::int32_t x, std::int32_t y, std::int32_t width,
                      std::int32_t height) {
  // Positions in -1..1 across the image, pel centres.
  const double u = width > 1 ? 2.0 * (x + 0.5) / width - 1.0 : 0.0;
  const double w = height > 1 ? 2.0 * (y + 0.5) / height - 1.0 : 0.0;
  switch (kind) {
    case DistortionKind::kGainOffset:
      return 0.6 * v + 70.0;
    case DistortionKind::kGamma:
      return 255.0 * std::sqrt(v / 255.0);
    case DistortionKind::kPlane:
      return v + 30.0 * (u + w);
    case DistortionKind::kVignette:
      return v * (1.0 - 0.6 * (u * u + w * w) / 2.0);
    case DistortionKind::kVaryingGain:
      return v * (0.9 + 0.3 * u);
  }
  return v;
}

namespace {

// Standard normal deviates by the Box-Muller transform on mt19937 output;
// std::normal_distribution differs between standard libraries.
class Gaussian {
public:
  explicit Gaussian(std::uint32_t seed) : rng_(seed) {}
  double next() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    const double u1 = (double(rng_()) + 0.5) / 4294967296.0;
    const double u2 = (double(rng_()) + 0.5) / 4294967296.0;
    const double r = std::sqrt(-2.0 * std::log(u1));
    spare_ = r * std::sin(2.0 * M_PI * u2);
    haveSpare_ = true;
    return r * std::cos(2.0 * M_PI * u2);
  }

private:
  std::mt19937 rng_;
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

}  // namespace

mxPelBuffer<unsigned char> distort(const mxPelBuffer_const<unsigned char>& ref, DistortionKind kind, double noiseSigma,
                                   std::uint32_t seed) {
  mxPelBuffer<unsigned char> out(ref.window());
  Gaussian noise(seed);
  const std::int32_t w = ref.width(), h = ref.height();
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned char* s = ref.row(j);
    unsigned char* d = out.row(j);
    for (std::int32_t i = 0; i < w; ++i) {
      const double v = distortedValue(kind, s[i], i, j, w, h) + noiseSigma * noise.next();
      const double r = std::floor(v + 0.5);
      d[i] = static_cast<unsigned char>(r < 0.0 ? 0.0 : (r > 255.0 ? 255.0 : r));
    }
  }
  return out;
}

std::uint32_t seedFromText(const std::string& text) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : text) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

double meanAbsoluteError(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b) {
  if (!a.isBound() || !b.isBound()) return -1.0;
  const mxPelRect r = a.window().intersect(b.window());
  if (r.isNull()) return -1.0;
  std::uint64_t sum = 0;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* p = a.pointToPel(r.x(), r.y() + j);
    const unsigned char* q = b.pointToPel(r.x(), r.y() + j);
    std::uint64_t rowSum = 0;
    for (std::int32_t i = 0; i < r.width(); ++i) rowSum += std::uint64_t(std::abs(int(p[i]) - int(q[i])));
    sum += rowSum;
  }
  return double(sum) / (double(r.width()) * double(r.height()));
}

}  // namespace imgnormcli

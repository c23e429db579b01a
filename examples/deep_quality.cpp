// Measures what the 16-bit tool gains on 12-bit data: the demonstration's
// distortions made at 12 bits, each normalized by mxImageNormalizer16 at
// depth 12 and by the 8-bit tool on the same images converted down
// (v >> 4, the reference too), whose result is brought back up to 12 bits
// (v * 16 + 8, the middle of the 16 levels it stands for).  Both are given
// as the mean absolute error to the 12-bit reference, in 12-bit levels, over
// the three sample images.
//
// The 12-bit references are the samples smoothed by a 3 x 3 binomial filter
// and scaled by 16, so they hold levels between the 8-bit ones as a 12-bit
// camera's image does.  A distortion is the demo's, on the 8-bit scale
// (v' = 16 f(v / 16)), plus Gaussian noise; the noise is given in 12-bit
// levels (default 8, half an 8-bit level: a quiet 12-bit camera).
//   deep_quality DATA_FOLDER [NOISE_SIGMA]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/demo/distort.h"
#include "io/image_io.h"
#include "imgnorm.h"
#include "imgnorm/mxImageNormalizer16.h"

using namespace mxImageNormalizerDefs;
using Image8 = mxPelBuffer<unsigned char>;
using Image16 = mxPelBuffer<unsigned short>;

namespace {

constexpr int kDepth = 12, kTop = (1 << kDepth) - 1;

unsigned short clampDeep(double v) {
  const double r = std::floor(v + 0.5);
  return static_cast<unsigned short>(r < 0 ? 0 : r > kTop ? kTop : r);
}

Image16 deepReference(const Image8& img) {
  const int w = img.width(), h = img.height();
  Image16 out(w, h);
  auto at = [&](int x, int y) {
    return double(img.row(std::min(h - 1, std::max(0, y)))[std::min(w - 1, std::max(0, x))]);
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double s = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) s += (dx ? 1 : 2) * (dy ? 1 : 2) * at(x + dx, y + dy);
      out.row(y)[x] = clampDeep(s);  // 16 x (weights sum to 16) / 16
    }
  return out;
}

Image16 distortDeep(const Image16& ref, imgnormcli::DistortionKind kind, double sigma, std::uint32_t seed) {
  const int w = ref.width(), h = ref.height();
  Image16 out(w, h);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      out.row(y)[x] = clampDeep(16.0 * imgnormcli::distortedValue(kind, ref.row(y)[x] / 16.0, x, y, w, h) +
                                noise(rng));
  return out;
}

Image8 down(const Image16& img) {
  Image8 out(img.width(), img.height());
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) out.row(y)[x] = static_cast<unsigned char>(img.row(y)[x] >> 4);
  return out;
}

// Mean |a - ref| in 12-bit levels; an 8-bit a is taken at the middle of its
// 16 levels.  -1 when the run failed.
template <class T>
double error(const mxPelBuffer<T>& a, const Image16& ref) {
  if (!a.isBound()) return -1;
  double sum = 0;
  for (int y = 0; y < ref.height(); ++y)
    for (int x = 0; x < ref.width(); ++x) {
      const double v = sizeof(T) == 1 ? a.row(y)[x] * 16.0 + 8.0 : double(a.row(y)[x]);
      sum += std::fabs(v - ref.row(y)[x]);
    }
  return sum / (double(ref.width()) * ref.height());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: deep_quality DATA_FOLDER [NOISE_SIGMA]\n");
    return 2;
  }
  const double sigma = argc > 2 ? std::atof(argv[2]) : 8.0;
  std::vector<Image16> refs;
  for (const char* name : {"camera", "coins", "text"})
    refs.push_back(deepReference(
        imgnormcli::readImage((std::filesystem::path(argv[1]) / (std::string(name) + ".png")).string(), true)));
  // The methods both tools run at the default parameters.
  std::vector<MethodInfo> methods;
  for (const MethodInfo& m : kMethods)
    if (m.method != eIdentity && m.method != eLocalGain && m.method != eLocalLinear) methods.push_back(m);
  const Method all = Method(eMatchHistogram | eMatchMeanAndStddev | eMatchHistogramTails | eLinearlyFitGrayValues |
                            eLocalCorrection | eLocalCorrectionEnhanced);
  std::printf("mean absolute error in 12-bit levels, noise sigma %.1f: 16-bit tool at depth 12 / 8-bit tool\n%-13s",
              sigma, "");
  for (const MethodInfo& m : methods) std::printf(" %17s", m.name);
  std::printf("\n");
  for (const imgnormcli::DistortionInfo& d : imgnormcli::distortionTable()) {
    std::vector<double> deep(methods.size()), shallow(methods.size());
    for (std::size_t s = 0; s < refs.size(); ++s) {
      const Image16 img = distortDeep(refs[s], d.kind, sigma, imgnormcli::seedFromText(std::to_string(s) + d.name));
      mxImageNormalizer16 tool16(kDepth);
      tool16.referenceImage(refs[s], false);
      tool16.train(all);
      const Image8 ref8 = down(refs[s]), img8 = down(img);
      mxImageNormalizer tool8;
      tool8.referenceImage(ref8, false);
      tool8.train(all);
      for (std::size_t m = 0; m < methods.size(); ++m) {
        bool ok = false;
        std::wstring why;
        deep[m] += error(tool16.run(img, methods[m].method, ok, why), refs[s]) / double(refs.size());
        shallow[m] += error(tool8.run(img8, methods[m].method, ok, why), refs[s]) / double(refs.size());
      }
    }
    std::printf("%-13s", d.name);
    for (std::size_t m = 0; m < methods.size(); ++m) std::printf(" %8.2f /%7.2f", deep[m], shallow[m]);
    std::printf("\n");
  }
  return 0;
}

// Measures the local methods on the demonstration's distortions: the mean
// absolute error to the reference (mean over the sample images, as the demo
// reports it) for every local method and the best global one, plus a gain
// that varies across the image (0.6 at the left edge to 1.2 at the right),
// each with the demo's Gaussian noise (sigma 3).  A held-out set of
// generated scenes (not used while choosing the defaults) is measured the
// same way, without and with a mask, and with a scratch that must survive.
//   local_gain_quality DATA_FOLDER [GRANULARITY [NEIGHBOURHOOD]]
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "distort.h"
#include "image_io.h"
#include "imgnorm.h"

using namespace mxImageNormalizerDefs;
using imgnormcli::DistortionKind;
using Image = mxPelBuffer<unsigned char>;

namespace {

struct Method_ {
  const char* name;
  Method method;
};
const Method_ kMethods[] = {{"histogram", eMatchHistogram},   {"mean-std", eMatchMeanAndStddev},
                            {"tails", eMatchHistogramTails},  {"linear-fit", eLinearlyFitGrayValues},
                            {"local-mean", eLocalCorrection}, {"local-median", eLocalCorrectionEnhanced},
                            {"local-gain", eLocalGain},       {"local-linear", eLocalLinear}};
constexpr int kMethodCount = 8;

// The demo's distortions and the varying gain (index 4).
Image distorted(const Image& ref, int d, std::uint32_t seed) {
  if (d < 4) return imgnormcli::distort(ref, DistortionKind(d), 3.0, seed);
  // Varying gain, with Gaussian noise of sigma 3 (Box-Muller on mt19937).
  std::mt19937 rng(seed);
  auto normal = [&] {
    const double u1 = (double(rng()) + 0.5) / 4294967296.0, u2 = (double(rng()) + 0.5) / 4294967296.0;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
  };
  Image out(ref.window());
  const int w = ref.width(), h = ref.height();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double val = std::floor(ref.row(y)[x] * (0.6 + 0.6 * (x + 0.5) / w) + 3.0 * normal() + 0.5);
      out.row(y)[x] = (unsigned char)(val < 0 ? 0 : val > 255 ? 255 : val);
    }
  return out;
}
const char* kDistortions[] = {"gain-offset", "gamma", "plane", "vignette", "varying-gain"};

double run(const mxImageNormalizer& tool, const Image& img, Method m) {
  bool ok = false;
  std::wstring why;
  const Image out = tool.run(img, m, ok, why);
  return ok && out.isBound() ? imgnormcli::meanAbsoluteError(out, tool.referenceImage()) : -1.0;
}

void table(const char* title, const std::vector<Image>& refs, const Image& mask, int gran, int nbh) {
  std::printf("\n%s\n%-14s", title, "");
  for (const Method_& m : kMethods) std::printf(" %12s", m.name);
  std::printf(" %12s\n", "exact-gain");
  std::vector<mxImageNormalizer> tools(refs.size());
  for (std::size_t s = 0; s < refs.size(); ++s) {
    tools[s].referenceImage(refs[s], false);
    tools[s].maskImage(mask, false);
    tools[s].granularity({gran, gran});
    tools[s].neighborhoodSize({nbh, nbh});
    tools[s].train(Method(kAllMethods));
  }
  for (int d = 0; d < 5; ++d) {
    double sum[kMethodCount] = {};
    for (std::size_t s = 0; s < refs.size(); ++s) {
      const Image img = distorted(refs[s], d, imgnormcli::seedFromText(std::to_string(s) + kDistortions[d]));
      for (int m = 0; m < kMethodCount; ++m) sum[m] += run(tools[s], img, kMethods[m].method);
    }
    std::printf("%-14s", kDistortions[d]);
    for (int m = 0; m < kMethodCount; ++m) std::printf(" %12.2f", sum[m] / double(refs.size()));
    // The floor of any flat field: the image divided by the true gain
    // (the noise is amplified with it).
    double exact = 0.0;
    for (std::size_t s = 0; d >= 3 && s < refs.size(); ++s) {
      Image img = distorted(refs[s], d, imgnormcli::seedFromText(std::to_string(s) + kDistortions[d]));
      const int w = img.width(), h = img.height();
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const double gain = d == 3 ? imgnormcli::distortedValue(DistortionKind::kVignette, 1.0, x, y, w, h)
                                     : 0.6 + 0.6 * (x + 0.5) / w;
          img.row(y)[x] = (unsigned char)std::min(255.0, std::floor(img.row(y)[x] / gain + 0.5));
        }
      exact += imgnormcli::meanAbsoluteError(img, refs[s]) / double(refs.size());
    }
    if (d >= 3) std::printf(" %12.2f", exact);
    std::printf("\n");
  }
}

// Generated scenes: blobs, stripes and a ramp, none of them tuned on.
Image scene(int which, int w, int h) {
  Image img(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 0;
      switch (which) {
        case 0:
          v = 128 + 70 * std::sin(x * 0.05) * std::cos(y * 0.07) + 20 * std::sin(x * 0.9 + y * 0.4);
          break;
        case 1:
          v = ((x / 24 + y / 24) % 2 ? 190 : 60) + 15 * std::sin(x * 0.3);
          break;
        default:
          v = 40 + 170.0 * x / w + 25 * std::cos(0.2 * x + 0.13 * y);
          break;
      }
      img.row(y)[x] = (unsigned char)std::lround(std::min(255.0, std::max(0.0, v)));
    }
  return img;
}

// Scratch: a 3-pel line of +80 through the run-time image; the corrected
// image must keep most of it (mean of result - reference on the line, in
// grey levels).
void scratch(const std::vector<Image>& refs) {
  std::printf("\nscratch of +80 through the vignetted image: mean contrast kept on the line\n");
  for (int m : {4, 6, 7}) {
    double sum = 0;
    for (const Image& ref : refs) {
      mxImageNormalizer tool;
      tool.referenceImage(ref, false);
      tool.train(kMethods[m].method);
      Image img = distorted(ref, 3, 7);
      const int y0 = ref.height() / 3;
      for (int y = y0; y < y0 + 3; ++y)
        for (int x = 0; x < ref.width(); ++x) img.row(y)[x] = (unsigned char)std::min(255, img.row(y)[x] + 80);
      bool ok = false;
      std::wstring why;
      const Image out = tool.run(img, kMethods[m].method, ok, why);
      double c = 0;
      for (int y = y0; y < y0 + 3; ++y)
        for (int x = 0; x < ref.width(); ++x) c += double(out.row(y)[x]) - ref.row(y)[x];
      sum += c / (3.0 * ref.width());
    }
    std::printf("%-14s %.1f\n", kMethods[m].name, sum / double(refs.size()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: local_gain_quality DATA_FOLDER [GRANULARITY [NEIGHBOURHOOD]]\n");
    return 2;
  }
  const int gran = argc > 2 ? std::atoi(argv[2]) : 1, nbh = argc > 3 ? std::atoi(argv[3]) : 101;
  std::vector<Image> samples;
  for (const char* name : {"camera", "coins", "text"})
    samples.push_back(
        imgnormcli::readImage((std::filesystem::path(argv[1]) / (std::string(name) + ".png")).string(), true));
  table("demo samples (mean absolute error)", samples, Image(), gran, nbh);
  std::vector<Image> held;
  for (int i = 0; i < 3; ++i) held.push_back(scene(i, 320, 240));
  table("held-out generated scenes", held, Image(), gran, nbh);
  Image mask(320, 240);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) mask.row(y)[x] = (x > 140 && x < 180) ? 0 : 255;
  table("held-out generated scenes, mask excluding a band", held, mask, gran, nbh);
  scratch(samples);
  return 0;
}

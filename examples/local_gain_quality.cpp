// Measures the local methods on the demonstration's distortions: the mean
// absolute error to the reference (mean over the sample images, as the demo
// reports it) for every method, each with the demo's Gaussian noise (sigma
// 3), and for the pure gains (vignette, varying gain) the image divided by
// the exact gain, the floor of any flat field.  A held-out set of
// generated scenes (not used while choosing the defaults) is measured the
// same way, without and with a mask, and with a scratch that must survive.
//   local_gain_quality DATA_FOLDER [GRANULARITY [NEIGHBOURHOOD]]
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/demo/distort.h"
#include "io/image_io.h"
#include "imgnorm.h"

using namespace mxImageNormalizerDefs;
using imgnormcli::DistortionKind;
using Image = mxPelBuffer<unsigned char>;

namespace {

// Every method but eIdentity, from the method table.
std::vector<MethodInfo> methods() {
  std::vector<MethodInfo> m;
  for (const MethodInfo& info : kMethods)
    if (info.method != eIdentity) m.push_back(info);
  return m;
}

// The demo's distortions with its noise (sigma 3).
Image distorted(const Image& ref, const imgnormcli::DistortionInfo& d, std::uint32_t seed) {
  return imgnormcli::distort(ref, d.kind, 3.0, seed);
}

// The mean absolute error over the pels the mask selects (all without a
// mask): at full resolution the local mean leaves excluded pels without an
// estimate (they come out as the image + 128, saturated), so they would
// measure that rule rather than the correction.
double run(const mxImageNormalizer& tool, const Image& img, Method m) {
  bool ok = false;
  std::wstring why;
  const Image out = tool.run(img, m, ok, why);
  if (!ok || !out.isBound()) return -1.0;
  const mxPelBuffer_const<unsigned char>& mask = tool.maskImage();
  if (!mask.isBound()) return imgnormcli::meanAbsoluteError(out, tool.referenceImage());
  double sum = 0, n = 0;
  for (int y = 0; y < out.height(); ++y)
    for (int x = 0; x < out.width(); ++x)
      if (mask.row(y)[x]) {
        sum += std::abs(int(out.row(y)[x]) - int(tool.referenceImage().row(y)[x]));
        n += 1;
      }
  return sum / n;
}

void table(const char* title, const std::vector<Image>& refs, const Image& mask, int gran, int nbh) {
  const std::vector<MethodInfo> ms = methods();
  std::printf("\n%s\n%-14s", title, "");
  for (const MethodInfo& m : ms) std::printf(" %12s", m.name);
  std::printf(" %12s\n", "exact-gain");
  std::vector<mxImageNormalizer> tools(refs.size());
  for (std::size_t s = 0; s < refs.size(); ++s) {
    tools[s].referenceImage(refs[s], false);
    tools[s].maskImage(mask, false);
    tools[s].granularity({gran, gran});
    tools[s].neighborhoodSize({nbh, nbh});
    tools[s].train(Method(kAllMethods));
  }
  for (const imgnormcli::DistortionInfo& d : imgnormcli::distortionTable()) {
    std::vector<double> sum(ms.size());
    for (std::size_t s = 0; s < refs.size(); ++s) {
      const Image img = distorted(refs[s], d, imgnormcli::seedFromText(std::to_string(s) + d.name));
      for (std::size_t m = 0; m < ms.size(); ++m) sum[m] += run(tools[s], img, ms[m].method);
    }
    std::printf("%-14s", d.name);
    for (double v : sum) std::printf(" %12.2f", v / double(refs.size()));
    // The floor of any flat field: the image divided by the true gain
    // (the noise is amplified with it).
    const bool gainOnly = d.kind == DistortionKind::kVignette || d.kind == DistortionKind::kVaryingGain;
    double exact = 0.0;
    for (std::size_t s = 0; gainOnly && s < refs.size(); ++s) {
      Image img = distorted(refs[s], d, imgnormcli::seedFromText(std::to_string(s) + d.name));
      const int w = img.width(), h = img.height();
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const double gain = imgnormcli::distortedValue(d.kind, 1.0, x, y, w, h);
          img.row(y)[x] = (unsigned char)std::min(255.0, std::floor(img.row(y)[x] / gain + 0.5));
        }
      exact += imgnormcli::meanAbsoluteError(img, refs[s]) / double(refs.size());
    }
    if (gainOnly) std::printf(" %12.2f", exact);
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
  const imgnormcli::DistortionInfo& vignette = imgnormcli::distortionTable()[3];
  for (const MethodInfo& m : kMethods) {
    if (m.kind != MethodKind::eLocal) continue;
    double sum = 0;
    for (const Image& ref : refs) {
      mxImageNormalizer tool;
      tool.referenceImage(ref, false);
      tool.train(m.method);
      Image img = distorted(ref, vignette, 7);
      const int y0 = ref.height() / 3;
      for (int y = y0; y < y0 + 3; ++y)
        for (int x = 0; x < ref.width(); ++x) img.row(y)[x] = (unsigned char)std::min(255, img.row(y)[x] + 80);
      bool ok = false;
      std::wstring why;
      const Image out = tool.run(img, m.method, ok, why);
      double c = 0;
      for (int y = y0; y < y0 + 3; ++y)
        for (int x = 0; x < ref.width(); ++x) c += double(out.row(y)[x]) - ref.row(y)[x];
      sum += c / (3.0 * ref.width());
    }
    std::printf("%-14s %.1f\n", m.name, sum / double(refs.size()));
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

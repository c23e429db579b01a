// Trains a normalizer on a reference image and corrects a run-time image that
// has a different gain, offset and a smooth shading.  Prints the mean absolute
// difference to the reference before and after, per method.
#include <imgnorm.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace mxImageNormalizerDefs;

namespace {
// A textured reference: a few blobs and stripes, deterministic.
mxPelBuffer<unsigned char> makeReference(int w, int h) {
  mxPelBuffer<unsigned char> img(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double v = 128 + 60 * std::sin(x * 0.11) * std::cos(y * 0.07) + 30 * std::sin((x + 2 * y) * 0.031);
      img.row(y)[x] = static_cast<unsigned char>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
    }
  return img;
}

// The same scene seen darker, with less contrast and uneven lighting.
mxPelBuffer<unsigned char> distort(const mxPelBuffer_const<unsigned char>& ref) {
  mxPelBuffer<unsigned char> img(ref.width(), ref.height());
  for (int y = 0; y < ref.height(); ++y)
    for (int x = 0; x < ref.width(); ++x) {
      const double shade = 30.0 * (double(x) / ref.width() - 0.5) + 20.0 * (double(y) / ref.height() - 0.5);
      const double v = 0.8 * ref.row(y)[x] + 10 + shade;
      img.row(y)[x] = static_cast<unsigned char>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
    }
  return img;
}

double meanAbsDiff(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b) {
  const mxPelRect r = a.window().intersect(b.window());
  double sum = 0;
  for (int y = r.y(); y < r.y() + r.height(); ++y)
    for (int x = r.x(); x < r.x() + r.width(); ++x)
      sum += std::abs(int(*a.pointToPel(x, y)) - int(*b.pointToPel(x, y)));
  return r.area() ? sum / double(r.area()) : 0.0;
}
}  // namespace

int main() {
  const mxPelBuffer<unsigned char> reference = makeReference(640, 480);
  const mxPelBuffer<unsigned char> runtime = distort(reference);

  mxImageNormalizer tool;
  tool.referenceImage(reference, /*copy=*/true);
  tool.neighborhoodSize({51, 51});
  tool.train(eMatchHistogram | eMatchMeanAndStddev | eLocalCorrection);

  std::printf("before: mean |difference| to the reference %.2f\n", meanAbsDiff(runtime, reference));
  for (Method m : {eMatchHistogram, eMatchMeanAndStddev, eLocalCorrection}) {
    bool ok = false;
    std::wstring why;
    const mxPelBuffer<unsigned char> out = tool.run(runtime, m, ok, why);
    if (!ok) {
      std::printf("%ls failed: %ls\n", methodName(m).c_str(), why.c_str());
      return EXIT_FAILURE;
    }
    std::printf("%-22ls mean |difference| to the reference %.2f\n", methodName(m).c_str(), meanAbsDiff(out, reference));
  }
  return EXIT_SUCCESS;
}

// The README's usage example, compiled as it stands there.
#include <imgnorm.h>

#include <cstdio>
#include <stdexcept>

using namespace mxImageNormalizerDefs;

// [usage]
mxPelBuffer<unsigned char> normalize(const mxPelBuffer_const<unsigned char>& reference,
                                     const mxPelBuffer_const<unsigned char>& image) {
  mxImageNormalizer tool;
  tool.referenceImage(reference, /*copy=*/true);
  tool.neighborhoodSize({51, 51});
  tool.train(eMatchHistogram | eLocalCorrection);  // throws CanNotTrain if it can't

  bool ok = false;
  std::wstring why;
  mxPelBuffer<unsigned char> out = tool.run(image, eLocalCorrection, ok, why);
  if (!ok) throw std::runtime_error("normalization failed");
  return out;  // covers the overlap of image and reference, with the image's client transforms
}
// [usage]

int main() {
  mxPelBuffer<unsigned char> reference(200, 150), image(200, 150);
  for (int y = 0; y < 150; ++y)
    for (int x = 0; x < 200; ++x) {
      reference.row(y)[x] = static_cast<unsigned char>((x * 7 + y * 3) % 200 + 20);
      image.row(y)[x] = static_cast<unsigned char>(reference.row(y)[x] / 2 + x / 8 + 10);
    }
  const mxPelBuffer<unsigned char> out = normalize(reference, image);
  std::printf("normalized a %d x %d image\n", out.width(), out.height());
  return 0;
}

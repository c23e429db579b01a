// A client of the installed library: builds a normalizer through the umbrella
// header alone, checks a default and a rejected setter, and prints "ok".
#include <imgnorm.h>

#include <iostream>

int main() {
  mxImageNormalizer normalizer;
  if (normalizer.neighborhoodSize() != mxPair<std::int32_t>(101, 101)) {
    std::cerr << "unexpected default neighborhoodSize\n";
    return 1;
  }
  try {
    normalizer.granularity(mxPair<std::int32_t>(0, 1));
    std::cerr << "granularity (0, 1) was accepted\n";
    return 1;
  } catch (const mxImageNormalizerDefs::BadParams& e) {
    if (e.errorNumber() != 0x10007A01 || normalizer.granularity() != mxPair<std::int32_t>(1, 1)) {
      std::cerr << "wrong error or the setter changed the normalizer: " << e.what() << "\n";
      return 1;
    }
  }
  std::cout << "ok\n";
  return 0;
}

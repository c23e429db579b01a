// A client of the installed library through the umbrella header alone; prints "ok".
#include <imgnorm.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

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
  // Mean and standard deviation matching from 10 / 2 to 100 / 20: level 12 maps to 100 + (12 - 10) * 10 = 120.
  std::vector<std::uint32_t> ref(256, 0), run(256, 0);
  ref[80] = ref[120] = 1;
  run[8] = run[12] = 1;
  std::vector<unsigned char> lut;
  std::wstring message;
  matchMeanAndStddevLut(mxHistoStats(ref, false), mxHistoStats(run, false), lut, message);
  if (lut.size() != 256 || lut[12] != 120) {
    std::cerr << "the exported table builder gave a wrong table\n";
    return 1;
  }
  std::cout << "ok\n";
  return 0;
}

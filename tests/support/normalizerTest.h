// Common ground of the normalizer tests: the tool and its errors, pel
// operations, test images and shared checks, and two short names.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxDiag.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizerErrors.h"
#include "support/checks.h"
#include "support/testImages.h"

using Image = mxPelBuffer<unsigned char>;
using P = mxPair<std::int32_t>;
using Bytes = std::vector<std::uint8_t>;

// Expects f to throw an unknown-version error naming this file and line.
template <class F>
void expectUnknownVersion(F&& f, const std::string& file, int line = 0) {
  try {
    f();
    ADD_FAILURE() << "version accepted";
  } catch (const mxArchive::UnknownVersion& e) {
    EXPECT_EQ(e.file(), file);
    EXPECT_EQ(e.line(), line);
  }
}

// A tool over ref (and mask, when bound) with these settings, trained for methods.
inline mxImageNormalizer trainedTool(const mxPelBuffer_const<unsigned char>& ref, std::uint32_t methods,
                                     P neighborhood = P(101, 101),
                                     const mxPelBuffer_const<unsigned char>& mask = mxPelBuffer_const<unsigned char>(),
                                     P granularity = P(1, 1), bool keepMaskedPixels = false) {
  mxImageNormalizer n;
  n.keepMaskedPixels(keepMaskedPixels);
  n.referenceImage(ref, false);
  n.maskImage(mask, false);
  n.neighborhoodSize(neighborhood);
  n.granularity(granularity);
  n.train(mxImageNormalizerDefs::Method(methods));
  return n;
}

// n.run(img, m), its success flag and message given back through ok and why when asked.
inline Image runTool(const mxImageNormalizer& n, const mxPelBuffer_const<unsigned char>& img, std::uint32_t m,
                     bool* ok = nullptr, std::wstring* why = nullptr) {
  bool success = false;
  std::wstring message;
  Image out = n.run(img, mxImageNormalizerDefs::Method(m), success, message);
  if (ok) *ok = success;
  if (why) *why = message;
  return out;
}

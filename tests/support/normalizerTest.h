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

// Small helpers shared by the pel function tests: images from literal rows, and reading a window back as rows.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelOps.h"
#include "support/checks.h"
#include "support/testImages.h"

namespace pelTest {

using Rows = std::vector<std::vector<int>>;
using Image = mxPelBuffer<unsigned char>;

// An image at image coordinates (x, y) holding the given rows.
template <class T = unsigned char>
mxPelBuffer<T> image(const Rows& rows, std::int32_t x = 0, std::int32_t y = 0) {
  const std::int32_t h = std::int32_t(rows.size());
  const std::int32_t w = h ? std::int32_t(rows[0].size()) : 0;
  mxPelBuffer<T> b(mxPelRect(x, y, w, h));
  for (std::int32_t j = 0; j < h; ++j)
    for (std::int32_t i = 0; i < w; ++i) b.set(x + i, y + j, T(rows[j][i]));
  return b;
}

// The window's pels as rows.
template <class T>
Rows rows(const mxPelBuffer_const<T>& b) {
  Rows out(b.height(), std::vector<int>(b.width()));
  for (std::int32_t j = 0; j < b.height(); ++j)
    for (std::int32_t i = 0; i < b.width(); ++i) out[j][i] = b.row(j)[i];
  return out;
}

}  // namespace pelTest

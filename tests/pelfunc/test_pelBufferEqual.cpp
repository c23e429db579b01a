#include <gtest/gtest.h>

#include "baseif/mxPelOps.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "support/checks.h"
#include "support/testImages.h"

TEST(PelBufferEqual, BindingWindowsAndPels) {
  const mxPelBuffer<unsigned char> a = randomImage(7, 5, 1);
  mxPelBuffer<unsigned char> shallow = a;
  const mxPelBuffer<unsigned char> deep = mfPelCopy(a);
  mxPelBuffer_const<unsigned char> unbound;

  EXPECT_TRUE(mf_PelBufferEqual(unbound, unbound, 0.0));
  EXPECT_FALSE(mf_PelBufferEqual(a, unbound, 0.0));
  EXPECT_FALSE(mf_PelBufferEqual(unbound, a, 0.0));
  EXPECT_TRUE(mf_PelBufferEqual(a, shallow, 0.0));
  EXPECT_TRUE(mf_PelBufferEqual(a, deep, 0.0));

  // One pel off by one grey level is unequal at any tolerance.
  deep.row(4)[6] ^= 1;
  EXPECT_FALSE(mf_PelBufferEqual(a, deep, 1e9));

  // Same pels, window relabelled to another offset.
  mxPelBuffer<unsigned char> moved = mfPelCopy(a);
  moved.offset(mxPair<std::int32_t>(3, 0));
  EXPECT_FALSE(mf_PelBufferEqual(a, moved, 1e9));

  // Smaller window over the same store.
  shallow.window(mxPelRect(0, 0, 6, 5));
  EXPECT_FALSE(mf_PelBufferEqual(a, shallow, 0.0));
}

TEST(PelBufferEqual, ClientPlacementUsesTolerance) {
  const mxPelBuffer<unsigned char> a = randomImage(4, 4, 2);
  mxPelBuffer<unsigned char> b = mfPelCopy(a);
  b.clientFromImageXform(mxXform<2>(mxMatrix<2>(), mxVector<2>(0.25, 0.0)));
  EXPECT_FALSE(mf_PelBufferEqual(a, b, 0.0));
  EXPECT_FALSE(mf_PelBufferEqual(a, b, 0.2));
  EXPECT_TRUE(mf_PelBufferEqual(a, b, 0.25));

  // A scale about the origin moves only the far corners.
  b.clientFromImageXform(mxXform<2>(mxMatrix<2>(1.01, 0, 0, 1.0), mxVector<2>()));
  EXPECT_FALSE(mf_PelBufferEqual(a, b, 0.0));
  EXPECT_TRUE(mf_PelBufferEqual(a, b, 0.05));

  // The base library's own error, default-constructed.
  b.clientFromImageXformBase(nullptr);
  expectError<mxBadPointer>([&] { mf_PelBufferEqual(a, b, 0.0); }, mxBadPointer().message());
}

TEST(PelBufferEqual, ThirtyTwoBitPels) {
  mxPelBuffer<std::uint32_t> a(3, 2), b(3, 2);
  mfPelSet<std::uint32_t>(a, 0x12345678u);
  mfPelSet<std::uint32_t>(b, 0x12345678u);
  EXPECT_TRUE(mf_PelBufferEqual(a, b, 0.0));
  b.row(1)[2] = 0x12345679u;
  EXPECT_FALSE(mf_PelBufferEqual(a, b, 0.0));
}

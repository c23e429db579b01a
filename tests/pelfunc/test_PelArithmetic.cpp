#include "pelTestUtil.h"
#include "pelfunc/mf_PelArithmetic.h"

namespace {

using namespace pelTest;

enum Fn { kSub, kSubSigned, kAdd };

void apply(Fn f, const Image& d, const mxPelBuffer_const<unsigned char>& s, int amount) {
  if (f == kSub) mf_PelSubClamp(d, s, std::uint8_t(amount));
  if (f == kSubSigned) mf_PelSubClampSigned(d, s);
  if (f == kAdd) mf_PelAddClamp(d, s);
}

// Every value pair, an odd width, a partial overlap: only the overlap changes, by the formula.
TEST(PelArithmetic, AllValuePairsOnAPartialOverlap) {
  const Image src = makeImage(259, 256, [](int, int y) { return y; });
  for (Fn f : {kSub, kSubSigned, kAdd})
    for (int amount : {0, 1, 20, 127, 200}) {
      Image d = makeImage(270, 260, [](int x, int y) { return x + 5 + 3 * y; }, -5, 0);
      const Image before = mfPelCopy<unsigned char>(d);
      apply(f, d, src, amount);
      EXPECT_EQ(d.window(), mxPelRect(-5, 0, 270, 260));
      const int c = std::min(amount, 127);
      for (int y = 0; y < 260; ++y)
        for (int x = -5; x < 265; ++x) {
          const int a = before.get(x, y), b = src.window().contains(x, y) ? src.get(x, y) : -1;
          const int expected = b < 0       ? a
                               : f == kSub ? 128 + std::clamp(a - b, -c, c)
                                           : std::clamp(f == kAdd ? a + b - 128 : a - b + 128, 0, 255);
          ASSERT_EQ(d.get(x, y), expected) << "fn " << f << " at " << x << "," << y;
        }
    }
}

TEST(PelArithmetic, UnboundAndDisjoint) {
  Image bound = image({{1, 2}, {3, 4}}), unbound;
  for (Fn f : {kSub, kSubSigned, kAdd}) {
    EXPECT_THROW(apply(f, unbound, bound, 3), mxPel::UnboundWindow);
    EXPECT_THROW(apply(f, bound, unbound, 3), mxPel::UnboundWindow);
    apply(f, bound, image({{200}}, 2, 0), 3);  // disjoint: silent
    EXPECT_EQ(rows(bound), (Rows{{1, 2}, {3, 4}}));
  }
}

// An unbound destination becomes the common window, with the numerator's transform.
TEST(MaskedPelDivide, NewDestinationAndFailures) {
  mxPelBuffer<unsigned short> num = image<unsigned short>({{100, 2, 1}, {40, 50, 60}}, 3, 4), unb;
  num.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(1, 1)));
  Image noMask, dst;
  mf_MaskedPelDivide(num, image<unsigned short>(Rows(3, std::vector<int>(4, 1)), 3, 4), noMask, dst, 255);
  EXPECT_EQ(dst.window(), mxPelRect(3, 4, 3, 2));
  EXPECT_EQ(dst.clientFromImageXform(), num.clientFromImageXform());
  const mxPelBuffer<unsigned short> one = image<unsigned short>({{1, 2}});
  dst = Image();
  for (int k : {0, 1})
    EXPECT_THROW(mf_MaskedPelDivide(k ? one : unb, k ? unb : one, noMask, dst, 1), mxPel::UnboundWindow);
  EXPECT_FALSE(dst.isBound());
  // Disjoint windows: dst is still created (empty), nothing else happens.
  mf_MaskedPelDivide(one, image<unsigned short>({{1}}, 9, 9), noMask, dst, 1);
  EXPECT_TRUE(dst.isBound() && dst.window().isNull());
  Image small = image({{0}});  // store misses the common window
  EXPECT_THROW(mf_MaskedPelDivide(one, one, noMask, small, 1), mxPel::BadWindow);
}

// The integer formula with its 32-bit wrap-around: every divisor, numerators at the range's
// top and either side of quotient steps, scales around every limit, masks, tails.
TEST(MaskedPelDivide, EqualsIntegerDivisionForEveryDivisor) {
  constexpr std::int32_t kW = 257, kH = 256;
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> any16(0, 65535), coin(0, 2);
  mxPelBuffer<unsigned short> den(kW, kH), num(kW, kH);
  Image mask(kW, kH), start(kW, kH);
  for (std::int32_t j = 0; j < kH; ++j)
    for (std::int32_t i = 0; i < kW; ++i) {
      den.row(j)[i] = static_cast<unsigned short>(1 + (j * kW + i) % 65535);
      mask.row(j)[i] = static_cast<unsigned char>(coin(rng) == 0 ? 0 : 1 + any16(rng) % 255);
      start.row(j)[i] = static_cast<unsigned char>(any16(rng));
    }
  for (std::uint32_t scale : {0u, 1u, 2u, 255u, 256u, 4097u, 32767u, 32768u, 100000u})
    for (int pattern = 0; pattern < 3; ++pattern) {
      for (std::int32_t j = 0; j < kH; ++j)
        for (std::int32_t i = 0; i < kW; ++i) {
          const std::uint32_t d = den.row(j)[i];
          std::uint32_t n = pattern == 0 ? any16(rng) : 65535;
          if (pattern == 2 && scale > 0) {
            // n * scale + d / 2 just below or on a multiple of d.
            const std::uint64_t target = std::uint64_t(any16(rng) % 300 + 1) * d - coin(rng) % 2;
            if (target >= d / 2 && (target - d / 2) / scale <= 65535) n = std::uint32_t((target - d / 2) / scale);
          }
          num.row(j)[i] = static_cast<unsigned short>(n);
        }
      for (bool masked : {false, true}) {
        Image out = mfPelCopy<unsigned char>(start);
        mf_MaskedPelDivide(num, den, masked ? mask : Image(), out, scale);
        for (std::int32_t j = 0; j < kH; ++j)
          for (std::int32_t i = 0; i < kW; ++i) {
            const std::uint32_t d = den.row(j)[i];
            const int expected = masked && mask.row(j)[i] == 0
                                     ? start.row(j)[i]
                                     : static_cast<unsigned char>((num.row(j)[i] * scale + d / 2u) / d);
            ASSERT_EQ(out.row(j)[i], expected) << "scale " << scale << " pattern " << pattern << " at " << i << "," << j
                                               << " n " << num.row(j)[i] << " d " << d;
          }
      }
    }
  // A zero divisor is found anywhere in a long row, and refused before any write, unless masked out.
  mxPelBuffer<unsigned short> zeroAt = mfPelCopy<unsigned short>(den);
  zeroAt.row(100)[200] = 0;
  Image out = mfPelCopy<unsigned char>(start), sel(kW, kH);
  EXPECT_THROW(mf_MaskedPelDivide(num, zeroAt, Image(), out, 255), mxPelFunc::BadParams);
  EXPECT_TRUE(mfPelEqual<unsigned char>(out, start));
  mfPelSet_U8(sel, 1);
  EXPECT_THROW(mf_MaskedPelDivide(num, zeroAt, sel, out, 255), mxPelFunc::BadParams);
  sel.row(100)[200] = 0;
  EXPECT_NO_THROW(mf_MaskedPelDivide(num, zeroAt, sel, out, 255));
}

}  // namespace

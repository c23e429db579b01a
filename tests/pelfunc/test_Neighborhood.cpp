#include "baseif/mxAffine.h"
#include "pelTestUtil.h"
#include "pelfunc/detail/borderPixels.h"
#include "pelfunc/mf_Neighborhood.h"

using imgnorm::detail::duplicateBorderPixels;

namespace {

using namespace pelTest;

const int kDx[4] = {-1, 1, 0, 0}, kDy[4] = {0, 0, -1, 1};

// Brute-force diamond smoothing of a window given as rows.
Rows smoothReference(const Rows& in) {
  const int h = int(in.size()), w = h ? int(in[0].size()) : 0;
  Rows out = in;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int sum = 4 * in[y][x], k = 0;
      for (int n = 0; n < 4; ++n) {
        const int nx = x + kDx[n], ny = y + kDy[n];
        if (nx >= 0 && ny >= 0 && nx < w && ny < h) sum += in[ny][nx], ++k;
      }
      out[y][x] = sum / (4 + k);
    }
  return out;
}

// Brute-force diamond morphology over region r of src (image coordinates).
int morphReference(const mxPelBuffer_const<unsigned char>& src, const mxPelRect& r, bool dilate, int x, int y) {
  int v = src.get(x, y);
  for (int n = 0; n < 4; ++n)
    if (r.contains(x + kDx[n], y + kDy[n]))
      v = dilate ? (v | src.get(x + kDx[n], y + kDy[n])) : (v & src.get(x + kDx[n], y + kDy[n]));
  return v;
}

// Empty, single row or column, 2 x 2, wide rows; the store around the window untouched.
TEST(PelSmooth3x3Diamond, MatchesBruteForceInsideALargerStore) {
  std::mt19937 rng(9);
  const std::pair<int, int> shapes[] = {{0, 1}, {3, 0}, {1, 1}, {1, 7},  {7, 1}, {2, 2},
                                        {2, 5}, {5, 2}, {3, 3}, {37, 9}, {70, 4}};
  for (auto [w, h] : shapes) {
    Image store = randomImage(rng, w + 4, h + 4, 10, 20);
    const Image before = mfPelCopy<unsigned char>(store);
    Image win = windowOf(store, mxPelRect(12, 22, w, h));
    const Rows expected = smoothReference(rows(win));
    mf_PelSmooth3x3Diamond(win);
    ASSERT_EQ(rows(win), expected) << w << " x " << h;
    expectUntouchedOutside(store, before, win.window());
  }
  Image unbound;
  mf_PelSmooth3x3Diamond(unbound);  // nothing to do, no failure
  EXPECT_FALSE(unbound.isBound());
}

// Bound destinations over part of the source: only the overlap written, nothing beyond it read.
TEST(BinaryMorph3x3Diamond, MatchesBruteForceOnPartialOverlaps) {
  std::mt19937 rng(21);
  const mxPelRect srcWindows[] = {{3, 4, 1, 1}, {3, 4, 1, 9}, {3, 4, 9, 1}, {3, 4, 2, 2}, {3, 4, 40, 13}};
  for (const mxPelRect& sw : srcWindows)
    for (bool dilate : {true, false})
      for (bool boundDst : {false, true}) {
        Image store = randomImage(rng, sw.width() + 6, sw.height() + 6, sw.x() - 3, sw.y() - 3, {0, 255});
        Image src = windowOf(store, sw);
        Image dst;
        mxPelRect region = sw;
        if (boundDst) {
          dst = randomImage(rng, sw.width() + 2, sw.height(), sw.x() + sw.width() / 2, sw.y() + 1);
          region = sw.intersect(dst.window());
        }
        const Image before = boundDst ? mfPelCopy<unsigned char>(dst) : dst;
        mfBinaryMorph3x3Diamond(src, dilate, dst);
        ASSERT_EQ(dst.window(), boundDst ? before.window() : sw);
        for (int y = dst.window().y(); y < dst.window().y() + dst.height(); ++y)
          for (int x = dst.window().x(); x < dst.window().x() + dst.width(); ++x) {
            const int expected = region.contains(x, y) ? morphReference(src, region, dilate, x, y) : before.get(x, y);
            ASSERT_EQ(dst.get(x, y), expected) << x << "," << y << " dilate " << dilate;
          }
      }
}

TEST(BinaryMorph3x3Diamond, Failures) {
  Image src = image({{0, 255, 0, 0}}), unbound, dst;
  // Both failures throw a default-constructed BadWindow (standard message).
  const std::wstring badWindow = mxPel::BadWindow().message();
  expectError<mxPel::BadWindow>([&] { mfBinaryMorph3x3Diamond(unbound, true, dst); }, badWindow);
  // A second view on the source's store is refused even without overlap.
  Image a(src), b(src);
  a.window(mxPelRect(0, 0, 2, 1));
  b.window(mxPelRect(2, 0, 2, 1));
  expectError<mxPel::BadWindow>([&] { mfBinaryMorph3x3Diamond(a, true, b); }, badWindow);
  EXPECT_EQ(rows(src), (Rows{{0, 255, 0, 0}}));
  Image far = image({{7}}, 50, 50);
  mfBinaryMorph3x3Diamond(src, true, far);  // disjoint: nothing written
  EXPECT_EQ(far.get(50, 50), 7);
}

TEST(ExpandByDuplicatingBorderPixels, TwoByTwo) {
  Image src = image({{10, 20}, {30, 40}}, 5, 6);
  src.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(1, 0)));
  const Image big = mf_ExpandByDuplicatingBorderPixels(src);
  EXPECT_TRUE(big.window() == mxPelRect(4, 5, 4, 4) && big.clientFromImageXform() == src.clientFromImageXform());
  EXPECT_EQ(rows(big), (Rows{{10, 10, 20, 20}, {10, 10, 20, 20}, {30, 30, 40, 40}, {30, 30, 40, 40}}));
  EXPECT_THROW(mf_ExpandByDuplicatingBorderPixels(Image()), mxPel::UnboundWindow);
}

// Every frame pel equals the interior pel nearest to it (coordinates clamped
// into the interior); the interior is untouched.
TEST(DuplicateBorderPixels, FrameIsNearestInteriorPel) {
  std::mt19937 rng(13);
  for (int b : {1, 2, 3})
    for (auto [w, h] : {std::pair<int, int>{1, 1}, {1, 4}, {5, 1}, {6, 3}}) {
      Image buf = randomImage(rng, w + 2 * b, h + 2 * b, -2, 7);
      const Image before = mfPelCopy<unsigned char>(buf);
      duplicateBorderPixels(buf, b);
      for (int y = 0; y < h + 2 * b; ++y)
        for (int x = 0; x < w + 2 * b; ++x) {
          const int ix = std::clamp(x, b, b + w - 1), iy = std::clamp(y, b, b + h - 1);
          ASSERT_EQ(buf.get(x - 2, y + 7), before.get(ix - 2, iy + 7)) << "border " << b << " at " << x << "," << y;
        }
    }
  Image small = image({{1, 2}, {3, 4}});
  EXPECT_THROW(duplicateBorderPixels(small, 1), mxPel::BadWindow);
  EXPECT_THROW(duplicateBorderPixels(small, -1), mxPelFunc::BadParams);
}

// A constant window in a store of 255 samples to the constant everywhere, spanning its corners.
TEST(PaddedAffineSample, ReadsOnlyThePaddedWindow) {
  Image store(mxPelRect(0, 0, 12, 10));
  mfPelSet_U8(store, 255);
  store.clientFromImageXform(mxXform<2>(mxMatrix<2>(0, -1, 1, 0), mxVector<2>(5, 5)));
  Image flat = windowOf(store, mxPelRect(3, 2, 4, 3));
  mfPelSet_U8(flat, 40);
  const Image before = mfPelCopy<unsigned char>(store);
  for (bool highOrder : {false, true})
    for (auto [w, h] : {std::pair<int, int>{1, 1}, {13, 7}, {3, 17}}) {
      const Image out = mf_PaddedAffineSample(flat, w, h, highOrder);
      EXPECT_EQ(rows(out), Rows(h, std::vector<int>(w, 40))) << w << " x " << h;
      for (auto corner : {&mxPelRect::origin, &mxPelRect::lr})
        EXPECT_TRUE(mfRealEq(out.clientFromImageXform() * (out.window().*corner)(),
                             store.clientFromImageXform() * (flat.window().*corner)(), 1e-9));
    }
  EXPECT_TRUE(mfPelEqual<unsigned char>(store, before));
  // As sampling a stand-alone copy does (interpolation 2, or 3 with highOrder), within 1.
  Image tex(store), alone = randomImage(5, 6, 4, 0, 255, 2, 1);
  tex.window(mxPelRect(2, 1, 5, 6));
  mfPelCopy<unsigned char>(alone, tex);
  alone.copyXforms(tex);
  const mxPelRect& tw = tex.window();
  const mxAffineRectangle rect(tex.clientFromImageXform() * tw.origin(), tex.clientFromImageXform() * tw.ur(),
                               tex.clientFromImageXform() * tw.ll());
  auto maxDiff = [](const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b) {
    int d = 0;
    for (int j = 0; j < a.height(); ++j)
      for (int i = 0; i < a.width(); ++i) d = std::max(d, std::abs(a.row(j)[i] - b.row(j)[i]));
    return d;
  };
  for (bool hi : {false, true})
    for (int value : {2, 3}) {
      const int d = maxDiff(mf_PaddedAffineSample(tex, 11, 9, hi),
                            mfAffineTransformImage(alone, mxAffineSamplingParams(rect, 11, 9, value)));
      EXPECT_TRUE((value == 3) == hi ? d <= 1 : d >= 5) << "highOrder " << hi << " value " << value << ": " << d;
    }
  EXPECT_THROW(mf_PaddedAffineSample(Image(), 2, 2, false), mxPel::UnboundWindow);
  EXPECT_THROW(mf_PaddedAffineSample(flat, 0, 2, false), mxPelFunc::BadParams);
  EXPECT_THROW(mf_PaddedAffineSample(flat, 2, 32768, true), mxPelFunc::BadParams);
  flat.clientFromImageXformBase(nullptr);
  expectError<mxBadPointer>([&] { mf_PaddedAffineSample(flat, 2, 2, false); }, mxBadPointer().message());
}

TEST(AdjustWindow, ReusesLargeEnoughStore) {
  Image buf(mxPelRect(0, 0, 100, 100));
  buf.set(0, 0, 9);
  buf.window(mxPelRect(50, 50, 10, 10));
  const void* store = buf.root();
  mf_AdjustWindow(buf, mxPelRect(-7, 3, 40, 30));
  // Same store, its first pel relabelled.
  EXPECT_TRUE(buf.root() == store && buf.window() == mxPelRect(-7, 3, 40, 30) && buf.get(-7, 3) == 9);
  mf_AdjustWindow(buf, mxPelRect(0, 0, 120, 30));  // too wide for the store
  EXPECT_TRUE(buf.root() != store && buf.window() == mxPelRect(0, 0, 120, 30));
}

}  // namespace

// Pixel buffers and client transforms.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

namespace {

template <class T>
class PelBufferTyped : public ::testing::Test {};
using PelTypes = ::testing::Types<unsigned char, unsigned short, std::uint32_t>;
TYPED_TEST_SUITE(PelBufferTyped, PelTypes);

// Large stores are recycled within a thread: a reused store must still start zero-filled, and rows stay aligned.
TYPED_TEST(PelBufferTyped, NewBuffersAreZeroFilledWithEveryRowStart32ByteAligned) {
  using T = TypeParam;
  for (std::int32_t w : {1, 7, 8, 9, 31, 33, 65, 1500, 1500, 1500}) {
    const mxPelRect r(-3, 11, w, w > 100 ? 1000 : 4);
    mxPelBuffer<T> b(r);
    EXPECT_EQ(b.window(), r);
    EXPECT_GE(b.rowStride(), w);
    for (std::int32_t j = 0; j < r.height(); ++j) {
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b.row(j)) % 32, 0u) << "width " << w << " row " << j;
      for (std::int32_t i = 0; i < w; ++i) ASSERT_EQ(b.row(j)[i], T(0)) << "width " << w;
    }
    mfPelSet<T>(b, T(0xBEEF));
  }
}

TYPED_TEST(PelBufferTyped, WindowAddressesThePelsOfTheStoreAtImageCoordinates) {
  using T = TypeParam;
  mxPelBuffer<T> b = patterned<T>(mxPelRect(-4, 2, 20, 10));
  b.window(mxPelRect(1, 5, 6, 3));
  EXPECT_EQ(b.offset(), mxPairL(1, 5));
  EXPECT_EQ(b.pointToOffset(), b.pointToPel(1, 5));
  for (std::int32_t j = 0; j < 3; ++j)
    for (std::int32_t i = 0; i < 6; ++i) {
      EXPECT_EQ(b.row(j)[i], pattern<T>(1 + i, 5 + j));
      EXPECT_EQ(b.get(1 + i, 5 + j), pattern<T>(1 + i, 5 + j));
    }
  // Pels of the store outside the window are not reachable through get/set.
  for (const mxPairL p : {mxPairL(0, 5), mxPairL(7, 5), mxPairL(1, 8), mxPairL(1, 4)}) {
    EXPECT_THROW(b.get(p.x(), p.y()), mxPel::BadWindow);
    EXPECT_THROW(b.set(p.x(), p.y(), T(1)), mxPel::BadWindow);
  }
  b.setEntire();
  EXPECT_EQ(b.window(), mxPelRect(-4, 2, 20, 10));
  EXPECT_EQ(b.get(15, 11), pattern<T>(15, 11));
}

TEST(PelBuffer, WindowOutsideTheStoreThrowsAndKeepsTheWindow) {
  mxPelBuffer<unsigned char> b(mxPelRect(10, 20, 8, 6));
  b.window(mxPelRect(11, 21, 2, 2));
  const mxPelRect bad[] = {
      {9, 20, 2, 2},   {10, 19, 2, 2}, {17, 20, 2, 2},  // left, above, one past the right edge
      {10, 25, 2, 2},  {10, 20, 9, 6},                  // one past the bottom, one too wide
      {10, 20, -1, 2}, {30, 30, 0, 0},                  // negative size, empty but far away
  };
  for (const mxPelRect& r : bad) {
    EXPECT_THROW(b.window(r), mxPel::BadWindow) << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
    EXPECT_EQ(b.window(), mxPelRect(11, 21, 2, 2));
  }
  // The largest window and an empty one on the far corner are fine.
  b.window(mxPelRect(10, 20, 8, 6));
  b.window(mxPelRect(18, 26, 0, 0));
  // Clipping keeps the part inside the store; nothing inside throws.
  b.window(mxPair<std::int32_t>(5, 22), mxPair<std::int32_t>(8, 100), true);
  EXPECT_EQ(b.window(), mxPelRect(10, 22, 3, 4));
  EXPECT_THROW(b.window(mxPelRect(0, 0, 10, 10), true), mxPel::BadWindow);
}

TYPED_TEST(PelBufferTyped, CopiesSharePelsButNotWindowsOffsetsOrTransforms) {
  using T = TypeParam;
  mxPelBuffer<T> a(mxPelRect(0, 0, 9, 7));
  mxPelBuffer<T> b = a, c;
  c = a;
  b.set(4, 3, T(200));
  EXPECT_EQ(c.get(4, 3), T(200));

  b.window(mxPelRect(2, 2, 3, 3));
  c.offset(100, 50);
  c.clientFromImageXform(mxXform<2>(mxMatrix<2>(2, 0, 0, 2), mxVector<2>(1, 1)));
  EXPECT_EQ(a.window(), mxPelRect(0, 0, 9, 7));
  EXPECT_EQ(c.window(), mxPelRect(100, 50, 9, 7));
  EXPECT_TRUE(a.clientFromImageXform().isIdentity());
  EXPECT_EQ(c.get(104, 53), T(200));  // the same pel under its new labels
  c.set(100, 50, T(7));
  EXPECT_EQ(b.pointToPel(0, 0)[0], T(7));

  // Releasing copies keeps the store alive for the others; a const buffer
  // made from a writable one shares the store too.
  a.setUnbound();
  b = mxPelBuffer<T>();
  EXPECT_FALSE(b.isBound());
  mxPelBuffer_const<T> ro = c;
  EXPECT_EQ(ro.root(), c.root());
  EXPECT_EQ(ro.get(104, 53), T(200));
}

TEST(PelBuffer, OffsetRelabelsTheWholeStoreWithin32Bits) {
  mxPelBuffer<unsigned short> b = patterned<unsigned short>(mxPelRect(3, 4, 10, 8));
  b.window(mxPelRect(5, 6, 4, 3));
  const unsigned short* first = b.pointToOffset();
  b.offset(mxPairL(-20, 40));  // window origin now (-20, 40)
  EXPECT_EQ(b.window(), mxPelRect(-20, 40, 4, 3));
  EXPECT_EQ(b.pointToOffset(), first);
  EXPECT_EQ(b.get(-17, 42), pattern<unsigned short>(8, 8));
  EXPECT_EQ(b.storeRect(), mxPelRect(3 - 25, 4 + 34, 10, 8));  // the store moved with it

  const std::int32_t big = std::numeric_limits<std::int32_t>::max() - 5;
  const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  EXPECT_THROW((mxPelBuffer<unsigned char>(mxPelRect(big, 0, 10, 1))), mxPel::BadWindow);
  EXPECT_THROW((mxPelBuffer<unsigned char>(-5, 2)), mxPel::BadWindow);
  mxPelBuffer<unsigned char> c(mxPelRect(0, 0, 10, 10));
  c.window(mxPelRect(5, 5, 2, 2));
  // Relabelling checks the whole store, not only the window.
  EXPECT_THROW(c.offset(big - 2, 0), mxPel::BadWindow);
  EXPECT_THROW(c.offset(mxPairL(lowest + 4, 0)), mxPel::BadWindow);
  EXPECT_EQ(c.window(), mxPelRect(5, 5, 2, 2));
  // Moves whose difference does not fit 32 bits but whose result does.
  c.offset(mxPairL(lowest + 5, 5));
  EXPECT_EQ(c.storeRect(), mxPelRect(lowest, 0, 10, 10));
  c.offset(mxPairL(big - 5, lowest + 5));
  EXPECT_EQ(c.storeRect(), mxPelRect(big - 10, lowest, 10, 10));
}

TEST(PelBuffer, UnboundBuffers) {
  mxPelBuffer<std::uint32_t> u;
  EXPECT_TRUE(u.window().isNull());
  EXPECT_EQ(u.pointToOffset(), nullptr);
  EXPECT_EQ(u.rowStride(), 0);
  EXPECT_THROW(u.get(0, 0), mxPel::UnboundWindow);
  EXPECT_THROW(u.set(0, 0, 1u), mxPel::UnboundWindow);
  EXPECT_THROW(u.window(mxPelRect(0, 0, 0, 0)), mxPel::UnboundWindow);
  EXPECT_THROW(u.window(mxPelRect(0, 0, 1, 1), true), mxPel::UnboundWindow);
  EXPECT_THROW(u.setEntire(), mxPel::UnboundWindow);
  EXPECT_THROW(u.offset(1, 1), mxPel::UnboundWindow);

  mxPelBuffer<std::uint32_t> b(4, 4);
  b.clientFromImageXform(mxXform<2>(mxMatrix<2>(), mxVector<2>(3, 0)));
  b.setUnbound();
  EXPECT_TRUE(b.window().isNull());
  EXPECT_TRUE(b.clientFromImageXform().isIdentity());
}

void expectNear(const mxXform<2>& a, const mxXform<2>& b) {
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) EXPECT_NEAR(a.matrix().element(r, c), b.matrix().element(r, c), 1e-12);
  EXPECT_NEAR((a.trans() - b.trans()).length(), 0.0, 1e-12);
}

TEST(PelBuffer, SettingOneTransformDirectionGivesTheOtherAsItsInverse) {
  const mxXform<2> x(mxMatrix<2>(mxRadian(0.3), mxRadian(0.3), 2.0, 0.5), mxVector<2>(10, -4));
  mxPelBuffer<unsigned char> b(5, 5), c(5, 5), d(2, 2);
  b.clientFromImageXform(x);
  expectNear(b.imageFromClientXform() * x, mxXform<2>());
  c.imageFromClientXformBase(std::make_shared<mx2XformLinear>(x));
  expectNear(c.clientFromImageXform() * x, mxXform<2>());

  // copyXforms shares both handles; the source's later changes stay its own.
  d.copyXforms(b);
  EXPECT_EQ(d.imageFromClientXformBase(), b.imageFromClientXformBase());
  b.clientFromImageXform(mxXform<2>());
  expectNear(d.clientFromImageXform(), x);
  // A null handle is allowed; the affine getters then throw.
  d.clientFromImageXformBase(nullptr);
  EXPECT_EQ(d.imageFromClientXformBase(), nullptr);
  EXPECT_THROW(d.clientFromImageXform(), mxBadPointer);
  EXPECT_THROW(d.imageFromClientXform(), mxBadPointer);
}

TEST(PelBuffer, CopyBetweenRelabelledViewsOfOneStore) {
  // Shifting an image within its own store: pels pair by image coordinates,
  // and every source pel is read before it is overwritten.
  for (const mxPairL shift : {mxPairL(0, -1), mxPairL(0, 1), mxPairL(-2, -1), mxPairL(1, 2)}) {
    mxPelBuffer<unsigned char> a = patterned<unsigned char>(mxPelRect(0, 0, 6, 5)), b = a;
    b.offset(shift.x(), shift.y());  // a's pel (x, y) is b's pel (x + dx, y + dy)
    mfPelCopy(a, b);
    for (std::int32_t y = 0; y < 5; ++y)
      for (std::int32_t x = 0; x < 6; ++x) {
        const std::int32_t sx = x + shift.x(), sy = y + shift.y();  // the pel that lands here
        const bool copied = sx >= 0 && sx < 6 && sy >= 0 && sy < 5;
        EXPECT_EQ(a.get(x, y), copied ? pattern<unsigned char>(sx, sy) : pattern<unsigned char>(x, y))
            << "shift " << shift.x() << "," << shift.y() << " at " << x << "," << y;
      }
  }
}

TYPED_TEST(PelBufferTyped, CallerMemoryIsSharedNotCopiedAndKeptAliveByItsHandle) {
  using T = TypeParam;
  // Rows 5 pels apart, showing 3 pels each.
  auto pels = std::make_shared<std::vector<T>>(5 * 4);
  for (std::size_t i = 0; i < pels->size(); ++i) (*pels)[i] = static_cast<T>(i);
  std::weak_ptr<std::vector<T>> alive = pels;
  mxPelBuffer<T> b = mxPelBuffer<T>::wrap(pels->data() + 1, 3, 4, 5 * sizeof(T), pels, {10, 20});
  pels.reset();
  mxPelBuffer_const<T> copy = b;
  b.setUnbound();
  ASSERT_FALSE(alive.expired());
  EXPECT_EQ(copy.window(), mxPelRect(10, 20, 3, 4));
  EXPECT_EQ(copy.rowStride(), 5);
  EXPECT_EQ(copy.get(10, 20), T(1));
  EXPECT_EQ(copy.get(12, 23), T(3 * 5 + 3));
  EXPECT_EQ(copy.pointToOffset(), alive.lock()->data() + 1);
  copy.setUnbound();
  EXPECT_TRUE(alive.expired());
}

TEST(PelBuffer, CallerMemoryOfUnusableShapeIsRefused) {
  alignas(8) unsigned char mem[64] = {};
  auto u16 = reinterpret_cast<unsigned short*>(mem);
  EXPECT_THROW(mxPelBuffer<unsigned char>::wrap(mem, 8, 2, 7), mxPel::BadWindow);   // stride < row
  EXPECT_THROW(mxPelBuffer<unsigned char>::wrap(mem, -1, 2, 8), mxPel::BadWindow);  // negative size
  EXPECT_THROW(mxPelBuffer<unsigned char>::wrap(mem, 8, -1, 8), mxPel::BadWindow);
  EXPECT_THROW(mxPelBuffer<unsigned char>::wrap(nullptr, 1, 1, 1), mxBadPointer);   // no pels
  EXPECT_THROW(mxPelBuffer<unsigned short>::wrap(u16, 3, 2, 7), mxPel::BadWindow);  // half-pel stride
  EXPECT_THROW(mxPelBuffer<unsigned short>::wrap(reinterpret_cast<unsigned short*>(mem + 1), 3, 2, 8),
               mxPel::BadWindow);                                       // half-pel start
  EXPECT_NO_THROW(mxPelBuffer<unsigned char>::wrap(mem + 1, 8, 2, 9));  // any start and stride
  EXPECT_THROW(mxPelBuffer<unsigned char>::wrap(mem, 8, 2, 8, nullptr, {std::numeric_limits<std::int32_t>::max(), 0}),
               mxPel::BadWindow);  // beyond 32-bit coordinates
}
// Pel stores from 64 KiB go back to a per-thread cache of blocks when
// released.  Sizes of a heap block and of a mapping.
constexpr std::int32_t kHeapSide = 300, kMappedSide = 1100;

// Fills the calling thread's block cache: more stores at once than it keeps, then all released (the cache is full).
void fillBlockCache() {
  std::vector<mxPelBuffer<unsigned char>> many;
  for (int i = 0; i < 12; ++i) many.emplace_back(kHeapSide + i, kHeapSide);
}

// A worker's store outlives it intact; the last releasing thread caches its block.
TEST(PelStoreCache, AWorkerResultOutlivesItsThread) {
  fillBlockCache();
  std::vector<mxPelBuffer<unsigned char>> results;
  std::thread([&] {
    fillBlockCache();
    for (std::int32_t side : {kHeapSide, kMappedSide}) results.push_back(patterned<unsigned char>({0, 0, side, side}));
  }).join();
  for (const mxPelBuffer<unsigned char>& b : results) {
    ASSERT_EQ(b.get(b.width() - 1, b.height() - 1), pattern<unsigned char>(b.width() - 1, b.height() - 1));
    ASSERT_EQ(b.get(7, 3), pattern<unsigned char>(7, 3));
  }
  const unsigned char* block = results[0].pointToOffset();
  results.erase(results.begin());
  EXPECT_EQ(mxPelBuffer<unsigned char>(kHeapSide, kHeapSide).pointToOffset(), block);
  std::thread([&] {
    fillBlockCache();
    results.clear();
  }).join();
}

// A static result at exit and a worker's thread-local made before its cache: the child process must exit cleanly.
mxPelBuffer<unsigned char> gKeptPastExit[2];

TEST(PelStoreCache, StoresReleasedAfterTheirThreadsCacheIsGoneAreFreed) {
  if (std::getenv("IMGNORM_TEST_EXIT_CHILD")) {
    std::thread([] {
      static thread_local mxPelBuffer<unsigned char> held;  // made before the cache
      held = mxPelBuffer<unsigned char>(kHeapSide, kHeapSide);
      gKeptPastExit[1] = mxPelBuffer<unsigned char>(kMappedSide, kMappedSide);
      fillBlockCache();
    }).join();
    gKeptPastExit[0] = mxPelBuffer<unsigned char>(kHeapSide, kHeapSide);
    fillBlockCache();
    return;
  }
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  const std::string command = std::string("IMGNORM_TEST_EXIT_CHILD=1 '") + self +
                              "' --gtest_filter=PelStoreCache.StoresReleasedAfterTheirThreadsCacheIsGoneAreFreed >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
}
}  // namespace

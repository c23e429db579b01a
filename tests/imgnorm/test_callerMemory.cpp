// Caller memory at odd strides and unaligned starts gives the aligned stores' pels; const
// views are read-only memory, so a write would fault.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "pelfunc/mf_PelBufferEqual.h"
#include "pelfunc/mf_Region.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;

namespace {

// Where an image lies in caller memory: start offset (pels) and extra pels per row beyond the width.
struct Layout {
  std::size_t start;
  std::ptrdiff_t pad;
};
// Unaligned starts, odd strides, and one stride far from any 32-byte multiple.
const Layout kLayouts[] = {{0, 0}, {1, 0}, {3, 1}, {7, 5}, {1, 33}, {13, 97}};

std::string describe(const Layout& l) { return "start " + std::to_string(l.start) + " pad " + std::to_string(l.pad); }

// A copy of src in page-backed caller memory at layout l, made read-only
// unless asked otherwise (a write through the view would fault).
template <class T>
class CallerCopy {
public:
  CallerCopy(const mxPelBuffer_const<T>& src, const Layout& l, bool readOnly = true)
      : size_(((l.start + std::size_t(src.height()) * (src.width() + l.pad)) * sizeof(T) + 4095) / 4096 * 4096) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<unsigned char*>(p);
    const std::ptrdiff_t stride = (std::ptrdiff_t(src.width()) + l.pad) * std::ptrdiff_t(sizeof(T));
    for (std::int32_t j = 0; j < src.height(); ++j)
      std::memcpy(base_ + l.start * sizeof(T) + j * stride, src.row(j), src.width() * sizeof(T));
    view = mxPelBuffer<T>::wrap(reinterpret_cast<T*>(base_ + l.start * sizeof(T)), src.width(), src.height(), stride);
    if (readOnly && ::mprotect(base_, size_, PROT_READ) != 0) throw std::runtime_error("mprotect failed");
  }
  ~CallerCopy() { ::munmap(base_, size_); }
  CallerCopy(const CallerCopy&) = delete;
  CallerCopy& operator=(const CallerCopy&) = delete;
  mxPelBuffer<T> view;

private:
  std::size_t size_;
  unsigned char* base_;
};

void expectSame(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
                const std::string& what) {
  ASSERT_EQ(a.isBound(), b.isBound()) << what;
  if (a.isBound()) {
    EXPECT_TRUE(mfPelEqual(a, b)) << what;
  }
}

// The reference, run-time image and mask, in the library's own stores.
struct Inputs {
  Image ref = randomImage(67, 45, 1, 20, 230), run = randomImage(67, 45, 2, 0, 180),
        mask = makeImage(67, 45, [](int x, int y) { return (x * 7 + y * 3) % 11 < 8 ? 255 : 0; });
};
const Inputs& in() {
  static const Inputs inputs;
  return inputs;
}

TEST(CallerMemory, EveryMethodMatchesTheCopiedPathAndWritesNothing) {
  for (const Layout& l : kLayouts) {
    for (bool masked : {false, true}) {
      const CallerCopy<unsigned char> ref(in().ref, l), img(in().run, l), msk(in().mask, l);
      const mxPelBuffer_const<unsigned char>&r = ref.view, &i = img.view, &m = msk.view;

      for (P gran : {P(1, 1), P(3, 2)}) {
        using Const = mxPelBuffer_const<unsigned char>;
        const mxImageNormalizer viewed = trainedTool(r, kAllMethods, {15, 11}, masked ? m : Const(), gran, masked);
        const mxImageNormalizer copied =
            trainedTool(in().ref, kAllMethods, {15, 11}, masked ? Const(in().mask) : Const(), gran, masked);
        for (std::uint32_t method = 0; method <= 32; method = method ? method * 2 : 1) {
          bool ok1 = false, ok2 = false;
          const Image a = runTool(viewed, i, method, &ok1), b = runTool(copied, in().run, method, &ok2);
          const std::string what = describe(l) + " method " + std::to_string(method) + (masked ? " masked" : "");
          EXPECT_EQ(ok1, ok2) << what;
          expectSame(a, b, what);
        }
      }
    }
  }
}

TEST(CallerMemory, PelReadersAndInPlaceWritersMatchTheCopiedPath) {
  for (const Layout& l : kLayouts) {
    const CallerCopy<unsigned char> a(in().ref, l), b(in().run, l), m(in().mask, l);
    const mxPelBuffer_const<unsigned char>&va = a.view, &vb = b.view, &vm = m.view;
    const Image &ca = in().ref, &cb = in().run, &cm = in().mask;
    const std::string what = describe(l);

    std::vector<std::uint32_t> h1, h2;
    mf_MaskedPelHistogram(va, vm, h1);
    mf_MaskedPelHistogram(ca, cm, h2);
    EXPECT_EQ(h1, h2) << what;
    EXPECT_EQ(mfPelHistogram(va), mfPelHistogram(ca)) << what;
    EXPECT_EQ(mfPelMoments(va, vm).samples(), mfPelMoments(ca, cm).samples()) << what;
    EXPECT_EQ(mfPelMoments(va, vm).mean(), mfPelMoments(ca, cm).mean()) << what;
    std::vector<unsigned char> lut(256);
    for (int v = 0; v < 256; ++v) lut[v] = static_cast<unsigned char>(255 - v / 2);
    expectSame(mfPelMap(va, lut), mfPelMap(ca, lut), what);
    expectSame(mf_PelThreshold(va), mf_PelThreshold(ca), what);
    expectSame(mf_ExpandByDuplicatingBorderPixels(va), mf_ExpandByDuplicatingBorderPixels(ca), what);
    Image d1, d2, e1, e2;
    mfBinaryMorph3x3Diamond(vm, true, d1);
    mfBinaryMorph3x3Diamond(cm, true, d2);
    expectSame(d1, d2, what);
    mf_MaskedPelThreshold(va, vm, 100, e1);
    mf_MaskedPelThreshold(ca, cm, 100, e2);
    expectSame(e1, e2, what);
    EXPECT_TRUE(mf_PelBufferEqual(va, ca, 0.0)) << what;
    P p1, p2;
    EXPECT_EQ(mf_FindFirstPel(vb, 7, p1), mf_FindFirstPel(cb, 7, p2)) << what;
    EXPECT_EQ(p1, p2) << what;

    // Writable caller memory as a destination, in place.
    CallerCopy<unsigned char> w(in().run, l, false);
    Image& vw = w.view;
    Image cw = mfPelCopy(in().run);
    mf_PelSubClamp(vw, va, 60);
    mf_PelSubClamp(cw, ca, 60);
    mf_PelSmooth3x3Diamond(vw);
    mf_PelSmooth3x3Diamond(cw);
    expectSame(vw, cw, what);
  }
}

TEST(CallerMemory, WiderPelsAtOddPelStridesMatchTheCopiedPath) {
  const mxPelBuffer<unsigned short> num = patterned<unsigned short>(mxPelRect(0, 0, 31, 9));
  mxPelBuffer<unsigned short> den(31, 9);
  for (int j = 0; j < 9; ++j)
    for (int i = 0; i < 31; ++i) den.row(j)[i] = static_cast<unsigned short>(1 + i + 3 * j);
  for (const Layout& l : kLayouts) {
    const CallerCopy<unsigned short> vn(num, l), vd(den, l);
    Image q1, q2;
    mf_MaskedPelDivide(vn.view, vd.view, Image(), q1, 40);
    mf_MaskedPelDivide(num, den, Image(), q2, 40);
    expectSame(q1, q2, describe(l));
  }
}

}  // namespace

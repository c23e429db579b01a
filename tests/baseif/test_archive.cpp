// mxArchive: byte encodings, exact round trips, files, malformed archives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "baseif/mxArchive.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelOps.h"
#include "support/testImages.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class V>
Bytes storedValue(V v) {
  mxArchive ar;
  ar || v;
  return ar.bytes();
}

Bytes le32(std::uint32_t v) {
  return {Bytes::value_type(v), Bytes::value_type(v >> 8), Bytes::value_type(v >> 16), Bytes::value_type(v >> 24)};
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kZero(8, 0), kOne = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, kNan = {0, 0, 0, 0, 0, 0, 0xF8, 0x7F};

TEST(Archive, FixedLittleEndianEncoding) {
  EXPECT_EQ(storedValue<unsigned char>(0xAB), Bytes({0xAB}));
  EXPECT_EQ(storedValue(true), Bytes({1}));
  EXPECT_EQ(storedValue(false), Bytes({0}));
  EXPECT_EQ(storedValue<std::int32_t>(0x12345678), Bytes({0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(storedValue<std::int32_t>(-2), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(storedValue<std::uint32_t>(0xDEADBEEFu), Bytes({0xEF, 0xBE, 0xAD, 0xDE}));
  EXPECT_EQ(storedValue(1.0), kOne);
  EXPECT_EQ(storedValue(-2.5), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0xC0}));
  // Wide strings: a 32-bit count of UTF-8 bytes, then the bytes.
  EXPECT_EQ(storedValue(std::wstring(L"A\u00e9\u20ac")), Bytes({6, 0, 0, 0, 'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
  EXPECT_EQ(storedValue(std::wstring()), Bytes({0, 0, 0, 0}));

  mxArchive storing;
  std::uint8_t b = 0;
  EXPECT_THROW(storing.read(&b, 1), mxArchive::BadData);
  mxArchive loading(Bytes{1, 2});
  EXPECT_TRUE(loading.isLoading());
  EXPECT_THROW(loading.write(&b, 1), mxArchive::BadData);
}

// Signed zero, NaN payloads, characters beyond the basic plane, embedded NULs.
TEST(Archive, DoublesAndStringsRoundTripExactly) {
  const std::uint64_t payloadNanBits = 0x7FF8000000000123ull;
  double payloadNan;
  std::memcpy(&payloadNan, &payloadNanBits, sizeof payloadNan);
  for (double v : {-0.0, -1e-300, std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                   -std::numeric_limits<double>::infinity(), payloadNan}) {
    mxArchive in(storedValue(v));
    double r = 1;
    in || r;
    EXPECT_EQ(std::memcmp(&r, &v, sizeof v), 0) << v;
  }
  for (const std::wstring& s :
       {std::wstring(L"Gr\u00fc\u00dfe \u65e5\u672c"), std::wstring(L"\U0001F600 smile"), std::wstring(L"a\0b", 3)}) {
    mxArchive in(storedValue(s));
    std::wstring r = L"old";
    in || r;
    EXPECT_EQ(r, s);
    EXPECT_EQ(in.remaining(), 0u);
  }
}

template <class T>
class ArchivePelsTyped : public ::testing::Test {};
using PelTypes = ::testing::Types<unsigned char, unsigned short, std::uint32_t>;
TYPED_TEST_SUITE(ArchivePelsTyped, PelTypes);

TYPED_TEST(ArchivePelsTyped, WindowOffsetAndTransformRoundTrip) {
  using T = TypeParam;
  mxPelBuffer<T> src = patterned<T>(mxPelRect(-7, 4, 23, 9));
  src.window(mxPelRect(-3, 6, 11, 5));
  src.offset(mxPairL(100, -50));
  const mxXform<2> x(mxMatrix<2>(mxRadian(0.7), mxRadian(0.2), 1.5, 0.25), mxVector<2>(-3.125, 1e6));
  src.clientFromImageXform(x);
  const Bytes bytes = storedValue(src);

  mxPelBuffer<T> dst = patterned<T>(mxPelRect(0, 0, 3, 3));
  mxArchive in(bytes);
  in || dst;
  EXPECT_EQ(in.remaining(), 0u);
  EXPECT_NE(dst.root(), src.root());
  EXPECT_EQ(dst.window(), mxPelRect(100, -50, 11, 5));
  EXPECT_EQ(dst.storeRect(), dst.window());  // a new store holding just the window
  for (std::int32_t y = -50; y < -45; ++y) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dst.row(y + 50)) % 32, 0u);
    for (std::int32_t x0 = 100; x0 < 111; ++x0) EXPECT_EQ(dst.get(x0, y), src.get(x0, y)) << x0 << "," << y;
  }
  EXPECT_TRUE(dst.clientFromImageXform() == x);          // doubles travel exactly
  EXPECT_EQ(storedValue(mxPelBuffer<T>()), Bytes({0}));  // unbound: a single 0 byte
}

TEST(Archive, PixelBufferEncodingIsPinned) {
  mxPelBuffer<unsigned short> b(mxPelRect(3, -1, 2, 1));
  b.set(3, -1, 0x1234);
  b.set(4, -1, 0xABCD);
  const Bytes window = cat({le32(3), le32(0xFFFFFFFFu), le32(2), le32(1)}), pels = {0x34, 0x12, 0xCD, 0xAB};
  const Bytes identity = cat({{1}, kOne, kZero, kZero, kOne, kZero, kZero});
  EXPECT_EQ(storedValue(b), cat({{1, 2}, window, identity, pels}));
  // Without a transform: flag 0, and the buffer loads with the identity.
  b.clientFromImageXformBase(nullptr);
  EXPECT_EQ(storedValue(b), cat({{1, 2}, window, {0}, pels}));
  mxPelBuffer<unsigned short> back;
  mxArchive in(storedValue(b));
  in || back;
  ASSERT_TRUE(back.clientFromImageXformBase() && back.imageFromClientXformBase());
  EXPECT_TRUE(back.clientFromImageXform() == mxXform<2>());
  EXPECT_TRUE(mfPelEqual<unsigned short>(back, b));
  mxPelBuffer<std::uint32_t> w(1, 1);
  w.set(0, 0, 0x01020304u);
  const Bytes wb = storedValue(w);
  EXPECT_EQ(Bytes(wb.end() - 4, wb.end()), Bytes({4, 3, 2, 1}));
}

TEST(ArchiveFile, SaveReplacesWholeFilesWithoutTemporariesAndErrorsThrowIOError) {
  std::string t = (std::filesystem::temp_directory_path() / "imgnorm_archive_XXXXXX").string();
  ASSERT_NE(::mkdtemp(t.data()), nullptr);
  const std::filesystem::path dir = t, path = dir / "a.arc";
  mxArchive out, nine;
  std::wstring name = L"r\u00e9f\u00e9rence";
  mxPelBuffer<unsigned char> img = patterned<unsigned char>(mxPelRect(2, 3, 17, 4));
  unsigned char v = 9;
  out || name || img;
  nine || v;
  out.saveFile(path.string());
  EXPECT_EQ(mxArchive::loadFile(path.string()).bytes(), out.bytes());
  nine.saveFile(path.string());  // a shorter archive replaces the file completely
  EXPECT_EQ(mxArchive::loadFile(path.string()).bytes(), Bytes({9}));
  EXPECT_THROW(out.saveFile((dir / "missing" / "a.arc").string()), mxArchive::IOError);
  EXPECT_THROW(mxArchive::loadFile((dir / "none.arc").string()), mxArchive::IOError);
  EXPECT_THROW(mxArchive::loadFile(dir.string()), mxArchive::IOError);  // a folder is not an archive
  // No temporaries, nothing left by the failures.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  std::filesystem::remove_all(dir);
}

// Every kind of value; among the buffers an empty one without a transform and an unbound one.
struct Record {
  unsigned char c = 3;
  bool f = true;
  std::int32_t i = -77;
  std::uint32_t u = 0x80000001u;
  double d = 0.1;
  std::wstring s = L"\u00c4rger";
  mxPelBuffer<unsigned short> p;
  mxPelBuffer<unsigned char> q;
  mxPelBuffer<std::uint32_t> e = mxPelBuffer<std::uint32_t>(2, 2), none = mxPelBuffer<std::uint32_t>(1, 1);
  void exchange(mxArchive& ar) { ar || c || f || i || u || d || s || p || q || e || none; }
  Bytes bytes() {
    mxArchive ar;
    exchange(ar);
    return ar.bytes();
  }
};

Record sampleRecord() {
  Record r;
  r.p = patterned<unsigned short>(mxPelRect(-2, 5, 6, 4));
  r.p.window(mxPelRect(-1, 6, 3, 2));
  r.p.clientFromImageXform(mxXform<2>(mxMatrix<2>(0, 1, -1, 0), mxVector<2>(4, 4)));
  r.q = patterned<unsigned char>(mxPelRect(0, 0, 5, 3));
  r.e = mxPelBuffer<std::uint32_t>(mxPelRect(5, 6, 3, 2));
  r.e.window(mxPelRect(6, 6, 0, 2));
  r.none = {};
  return r;
}

// Every prefix (read in place, a view of exactly its bytes), and any byte flipped.
TEST(ArchiveMalformed, TruncatedOrFlippedBytesAreRejectedOrReadFaithfully) {
  Record ref = sampleRecord();
  const Bytes full = ref.bytes();
  // Every value read back as stored, e and none loaded over bound buffers.
  Record whole{0, false, 0, 0, 0, L"", {}, {}};
  mxArchive all(full.data(), full.size());
  whole.exchange(all);
  EXPECT_EQ(all.remaining(), 0u);
  EXPECT_EQ(whole.bytes(), full);

  // Where the 16-bit buffer ends: everything stored before q.
  const std::size_t pEnd = 1 + 1 + 4 + 4 + 8 + storedValue(ref.s).size() + storedValue(ref.p).size();
  const mxPelBuffer<unsigned short> before(mxPelRect(40, 40, 2, 2));
  for (std::size_t n = 0; n < full.size(); ++n) {
    Record r;
    r.p = before;
    const Bytes prefix(full.begin(), full.begin() + std::ptrdiff_t(n));
    mxArchive in(prefix.data(), prefix.size());
    try {
      r.exchange(in);
      ADD_FAILURE() << "no error for an archive truncated to " << n << " bytes";
    } catch (const mxArchive::Truncated&) {
    } catch (const mxArchive::BadData&) {
    }
    // A pixel buffer whose load failed keeps its old store and window.
    if (n < pEnd) {
      EXPECT_EQ(r.p.root(), before.root()) << n;
      EXPECT_EQ(r.p.window(), before.window()) << n;
    }
  }

  // A flip in the string may make invalid UTF-8, which loads as U+FFFD (other bytes stored).
  const std::size_t sBegin = 1 + 1 + 4 + 4 + 8, sEnd = sBegin + storedValue(ref.s).size();
  // Transform flags of p, q and e: cleared, the buffer loads with the identity (six doubles).
  const std::size_t pFlag = sEnd + 18, qFlag = sEnd + storedValue(ref.p).size() + 18,
                    eFlag = qFlag - 18 + storedValue(ref.q).size() + 18;
  int rejected = 0;
  for (std::size_t k = 0; k < full.size(); ++k)
    for (std::uint8_t mask : {0x01, 0x40, 0x80, 0xFF}) {
      Bytes bad = full;
      bad[k] ^= mask;
      Record r;
      mxArchive in(bad);
      try {
        r.exchange(in);
      } catch (const mxException&) {  // an archive error is fine; std::bad_alloc or a crash is not
        ++rejected;
        continue;
      }
      const bool flagCleared = (k == pFlag || k == qFlag || k == eFlag) && bad[k] == 0;
      if (flagCleared) {
        EXPECT_TRUE(r.p.clientFromImageXformBase() && r.q.clientFromImageXformBase() && r.e.clientFromImageXformBase());
      } else if (k < sBegin || k >= sEnd) {
        EXPECT_EQ(r.bytes(), Bytes(bad.begin(), bad.begin() + std::ptrdiff_t(in.position())))
            << "byte " << k << " ^ " << int(mask);
      }
    }
  EXPECT_GT(rejected, 0);
}

// A pixel-buffer header: bound flag, pel size, x, y, width, height, no transform.
Bytes pelHeader(std::uint8_t pelSize, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  const Bytes rect =
      cat({le32(std::uint32_t(x)), le32(std::uint32_t(y)), le32(std::uint32_t(w)), le32(std::uint32_t(h))});
  return cat({{1, pelSize}, rect, {0}});
}

// The error's name ("" for none) of a load into an unbound buffer, which must stay unbound.
template <class T>
std::string loadError(const Bytes& bytes) {
  mxPelBuffer<T> b;
  mxArchive in(bytes);
  std::string what;
  try {
    in || b;
  } catch (const mxArchive::Truncated&) {
    what = "Truncated";
  } catch (const mxArchive::BadData&) {
    what = "BadData";
  }
  EXPECT_FALSE(b.isBound());
  return what;
}

TEST(ArchiveMalformed, ImpossiblePixelBufferHeaders) {
  const Bytes pels(64, 0x55);
  const std::int32_t big = 0x7fffffff;
  Bytes flag2 = pelHeader(1, 0, 0, 1, 1), xform = flag2;
  flag2.back() = 2;
  xform.back() = 1;
  const struct {
    int pelSize;  // of the loading buffer
    Bytes bytes;
    const char* error;
  } cases[] = {
      {1, pelHeader(1, 0, 0, -1, 2), "BadData"},
      {1, pelHeader(1, 0, 0, 2, -5), "BadData"},
      {1, pelHeader(1, big - 4, 0, 8, 1), "BadData"},  // far edge beyond 32 bits
      {1, pelHeader(1, 0, big, 1, 1), "BadData"},
      // Pel counts beyond the bytes left: rejected before any allocation.
      {1, pelHeader(1, 0, 0, big, big), "Truncated"},
      {4, pelHeader(4, 0, 0, big, big), "Truncated"},
      {2, pelHeader(2, 0, 0, 0x10000, 0x10000), "Truncated"},
      {1, pelHeader(1, 0, 0, 9, 8), "Truncated"},
      // The pel size must match the buffer's type.
      {1, pelHeader(2, 0, 0, 2, 2), "BadData"},
      {4, pelHeader(2, 0, 0, 2, 2), "BadData"},
      {1, pelHeader(3, 0, 0, 2, 2), "BadData"},
      // Flags other than 0 and 1; singular and non-finite transforms.
      {1, Bytes{2}, "BadData"},
      {1, flag2, "BadData"},
      {1, cat({xform, kOne, kOne, kOne, kOne, kZero, kZero}), "BadData"},
      {1, cat({xform, kNan, kZero, kZero, kOne, kZero, kZero}), "BadData"},
  };
  for (const auto& c : cases) {
    const Bytes bytes = cat({c.bytes, pels});
    const std::string e = c.pelSize == 1   ? loadError<unsigned char>(bytes)
                          : c.pelSize == 2 ? loadError<unsigned short>(bytes)
                                           : loadError<std::uint32_t>(bytes);
    EXPECT_EQ(e, c.error) << &c - cases;
  }
}

TEST(ArchiveMalformed, BadValuesOfOtherTypes) {
  bool f = false;
  mxArchive bool2(Bytes{2});
  EXPECT_THROW(bool2 || f, mxArchive::BadData);
  std::wstring s = L"kept";  // a string count beyond the bytes left
  mxArchive longString(cat({le32(0xFFFFFFF0u), {'a', 'b'}}));
  EXPECT_THROW(longString || s, mxArchive::Truncated);
  EXPECT_EQ(s, L"kept");
  // Objects: an absurd class-name length, and an unknown class.
  mxArchive longName(cat({le32(0x7FFFFFFFu), {'x'}}));
  EXPECT_THROW(longName.loadObject(), mxArchive::BadData);
  mxArchive unknown(cat({le32(7), {'N', 'o', 'S', 'u', 'c', 'h', 'X'}, {0, 0, 0, 0}}));
  EXPECT_THROW(unknown.loadObject(), mxArchive::BadData);
}

}  // namespace

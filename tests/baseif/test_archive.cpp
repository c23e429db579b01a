// mxArchive: byte encoding, round trips in memory and through files, pixel
// buffers, and malformed archives.
#include <gtest/gtest.h>

#include <chrono>
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

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class F>
Bytes stored(F exchange) {
  mxArchive ar;
  exchange(ar);
  return ar.bytes();
}

template <class V>
Bytes storedValue(V v) {
  return stored([&](mxArchive& ar) { ar || v; });
}

template <class V>
V roundTrip(V v) {
  mxArchive in(storedValue(v));
  V out{};
  in || out;
  EXPECT_EQ(in.remaining(), 0u);
  return out;
}

Bytes le32(std::uint32_t v) {
  return {Bytes::value_type(v), Bytes::value_type(v >> 8), Bytes::value_type(v >> 16), Bytes::value_type(v >> 24)};
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- encoding and round trips of plain values ----

TEST(Archive, FixedLittleEndianEncoding) {
  EXPECT_EQ(storedValue<unsigned char>(0xAB), Bytes({0xAB}));
  EXPECT_EQ(storedValue(true), Bytes({1}));
  EXPECT_EQ(storedValue(false), Bytes({0}));
  EXPECT_EQ(storedValue<std::int32_t>(0x12345678), Bytes({0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(storedValue<std::int32_t>(-2), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(storedValue<std::uint32_t>(0xDEADBEEFu), Bytes({0xEF, 0xBE, 0xAD, 0xDE}));
  EXPECT_EQ(storedValue(1.0), Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(storedValue(-2.5), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0xC0}));
  // Wide strings: a 32-bit count of UTF-8 bytes, then the bytes.
  EXPECT_EQ(storedValue(std::wstring(L"A\u00e9\u20ac")), Bytes({6, 0, 0, 0, 'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
  EXPECT_EQ(storedValue(std::wstring()), Bytes({0, 0, 0, 0}));
  // A sequence is the concatenation of its values.
  EXPECT_EQ(stored([](mxArchive& ar) {
              unsigned char v = 0;
              std::int32_t n = 1;
              bool b = true;
              ar || v || n || b;
            }),
            Bytes({0, 1, 0, 0, 0, 1}));
}

TEST(Archive, RoundTripsOfEveryType) {
  for (unsigned c : {0u, 1u, 127u, 128u, 255u}) EXPECT_EQ(roundTrip<unsigned char>(c), c);
  EXPECT_TRUE(roundTrip(true));
  EXPECT_FALSE(roundTrip(false));
  const std::int32_t lo = std::numeric_limits<std::int32_t>::min(), hi = std::numeric_limits<std::int32_t>::max();
  for (std::int32_t v : {0, 1, -1, lo, hi, 0x12345678}) EXPECT_EQ(roundTrip(v), v);
  for (std::uint32_t v : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(roundTrip(v), v);

  std::uint64_t payloadNanBits = 0x7FF8000000000123ull;
  double payloadNan;
  std::memcpy(&payloadNan, &payloadNanBits, sizeof payloadNan);
  for (double v : {0.0, -0.0, 1.5, -1e-300, std::numeric_limits<double>::denorm_min(),
                   std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), payloadNan}) {
    const double r = roundTrip(v);
    EXPECT_EQ(std::memcmp(&r, &v, sizeof v), 0) << v;  // bit for bit: sign of zero and NaN payload kept
  }

  for (const std::wstring& s : {std::wstring(), std::wstring(L"abc"), std::wstring(L"Gr\u00fc\u00dfe \u65e5\u672c"),
                                std::wstring(L"\U0001F600 smile"), std::wstring(L"a\0b", 3)})
    EXPECT_EQ(roundTrip(s), s);
}

TEST(Archive, ArchiveDirectionIsEnforced) {
  mxArchive storing;
  std::uint8_t b = 0;
  EXPECT_TRUE(storing.isStoring());
  EXPECT_THROW(storing.read(&b, 1), mxArchive::BadData);
  mxArchive loading(Bytes{1, 2});
  EXPECT_TRUE(loading.isLoading());
  EXPECT_THROW(loading.write(&b, 1), mxArchive::BadData);
}

// ---- pixel buffers ----

template <class T>
class ArchivePelsTyped : public ::testing::Test {};
using PelTypes = ::testing::Types<unsigned char, unsigned short, std::uint32_t>;
TYPED_TEST_SUITE(ArchivePelsTyped, PelTypes);

template <class T>
mxPelBuffer<T> patterned(const mxPelRect& r) {
  mxPelBuffer<T> b(r);
  for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y)
    for (std::int32_t x = r.x(); x < r.x() + r.width(); ++x)
      b.set(x, y, static_cast<T>(std::uint32_t(x * 7919 + y * 104729) * 2246822519u));
  return b;
}

TYPED_TEST(ArchivePelsTyped, BoundBufferWithWindowOffsetAndTransformRoundTrips) {
  using T = TypeParam;
  mxPelBuffer<T> src = patterned<T>(mxPelRect(-7, 4, 23, 9));
  src.window(mxPelRect(-3, 6, 11, 5));
  src.offset(mxPairL(100, -50));
  const mxXform<2> x(mxMatrix<2>(mxRadian(0.7), mxRadian(0.2), 1.5, 0.25), mxVector<2>(-3.125, 1e6));
  src.clientFromImageXform(x);

  const Bytes bytes = storedValue(src);
  // Flag, pel size, window (4 x 32 bits), transform flag and six doubles, pels.
  EXPECT_EQ(bytes.size(), 1 + 1 + 16 + 1 + 48 + 11 * 5 * sizeof(T));

  mxPelBuffer<T> dst = patterned<T>(mxPelRect(0, 0, 3, 3));
  mxArchive in(bytes);
  in || dst;
  EXPECT_EQ(in.remaining(), 0u);
  ASSERT_TRUE(dst.isBound());
  EXPECT_NE(dst.root(), src.root());
  EXPECT_EQ(dst.window(), mxPelRect(100, -50, 11, 5));
  EXPECT_EQ(dst.storeRect(), dst.window());  // a new store holding just the window
  for (std::int32_t y = -50; y < -45; ++y) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dst.row(y + 50)) % 32, 0u);
    for (std::int32_t x0 = 100; x0 < 111; ++x0) EXPECT_EQ(dst.get(x0, y), src.get(x0, y)) << x0 << "," << y;
  }
  EXPECT_TRUE(dst.clientFromImageXform() == x);  // doubles travel exactly
  EXPECT_EQ(storedValue(dst), bytes);
}

TYPED_TEST(ArchivePelsTyped, UnboundEmptyAndUntransformedBuffersRoundTrip) {
  using T = TypeParam;
  mxPelBuffer<T> unbound;
  EXPECT_EQ(storedValue(unbound), Bytes({0}));
  mxPelBuffer<T> dst(4, 4);
  mxArchive in(Bytes{0});
  in || dst;
  EXPECT_FALSE(dst.isBound());

  mxPelBuffer<T> empty(mxPelRect(5, 6, 3, 2));
  empty.window(mxPelRect(6, 6, 0, 2));
  empty.clientFromImageXformBase(nullptr);
  mxArchive in2(storedValue(empty));
  in2 || dst;
  ASSERT_TRUE(dst.isBound());
  EXPECT_EQ(dst.window(), mxPelRect(6, 6, 0, 2));
  EXPECT_EQ(dst.clientFromImageXformBase(), nullptr);
}

TEST(Archive, PixelBufferEncodingIsPinned) {
  mxPelBuffer<unsigned short> b(mxPelRect(3, -1, 2, 1));
  b.set(3, -1, 0x1234);
  b.set(4, -1, 0xABCD);
  const Bytes one = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, zero(8, 0);
  EXPECT_EQ(storedValue(b), cat({{1, 2},
                                 le32(3),
                                 le32(0xFFFFFFFFu),
                                 le32(2),
                                 le32(1),
                                 {1},
                                 one,
                                 zero,
                                 zero,
                                 one,
                                 zero,
                                 zero,
                                 {0x34, 0x12, 0xCD, 0xAB}}));
  mxPelBuffer<std::uint32_t> w(1, 1);
  w.set(0, 0, 0x01020304u);
  const Bytes wb = storedValue(w);
  EXPECT_EQ(Bytes(wb.end() - 4, wb.end()), Bytes({4, 3, 2, 1}));
}

// ---- files ----

class ArchiveFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (std::filesystem::temp_directory_path() / "imgnorm_archive_XXXXXX").string();
    ASSERT_NE(::mkdtemp(t.data()), nullptr);
    dir_ = t;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
  }
  std::filesystem::path dir_;
};

TEST_F(ArchiveFile, SaveAndLoadRoundTripLeavingNoTemporary) {
  mxPelBuffer<unsigned char> img = patterned<unsigned char>(mxPelRect(2, 3, 17, 4));
  std::wstring name = L"r\u00e9f\u00e9rence";
  double d = -0.0;
  mxArchive out;
  out || name || img || d;
  const std::string path = (dir_ / "a.arc").string();
  out.saveFile(path);
  EXPECT_EQ(entries(), std::vector<std::string>({"a.arc"}));

  mxArchive in = mxArchive::loadFile(path);
  EXPECT_EQ(in.bytes(), out.bytes());
  std::wstring name2;
  mxPelBuffer<unsigned char> img2;
  double d2 = 1;
  in || name2 || img2 || d2;
  EXPECT_EQ(name2, name);
  EXPECT_EQ(img2.window(), img.window());
  EXPECT_EQ(img2.get(18, 6), img.get(18, 6));
  EXPECT_TRUE(std::signbit(d2) && d2 == 0.0);

  // Overwriting with a shorter archive replaces the file completely.
  mxArchive shorter;
  unsigned char v = 9;
  shorter || v;
  shorter.saveFile(path);
  EXPECT_EQ(mxArchive::loadFile(path).bytes(), Bytes({9}));
  EXPECT_EQ(entries(), std::vector<std::string>({"a.arc"}));
}

TEST_F(ArchiveFile, FileErrorsThrowIOError) {
  mxArchive out;
  EXPECT_THROW(out.saveFile((dir_ / "missing" / "a.arc").string()), mxArchive::IOError);
  EXPECT_TRUE(entries().empty());
  EXPECT_THROW(mxArchive::loadFile((dir_ / "none.arc").string()), mxArchive::IOError);
  EXPECT_THROW(mxArchive::loadFile(dir_.string()), mxArchive::IOError);  // a folder is not an archive
}

// ---- malformed archives ----

// One record with every kind of value, exchanged in both directions.
struct Record {
  unsigned char c = 0;
  bool f = false;
  std::int32_t i = 0;
  std::uint32_t u = 0;
  double d = 0;
  std::wstring s;
  mxPelBuffer<unsigned short> p;
  mxPelBuffer<unsigned char> q;
  void exchange(mxArchive& ar) { ar || c || f || i || u || d || s || p || q; }
};

Record sampleRecord() {
  Record r;
  r.c = 3;
  r.f = true;
  r.i = -77;
  r.u = 0x80000001u;
  r.d = 0.1;
  r.s = L"\u00c4rger";
  r.p = patterned<unsigned short>(mxPelRect(-2, 5, 6, 4));
  r.p.window(mxPelRect(-1, 6, 3, 2));
  r.p.clientFromImageXform(mxXform<2>(mxMatrix<2>(0, 1, -1, 0), mxVector<2>(4, 4)));
  r.q = patterned<unsigned char>(mxPelRect(0, 0, 5, 3));
  return r;
}

Bytes sampleBytes() {
  Record r = sampleRecord();
  mxArchive ar;
  r.exchange(ar);
  return ar.bytes();
}

TEST(ArchiveMalformed, TruncatedAtEveryOffsetThrowsAndKeepsTheTarget) {
  const Bytes full = sampleBytes();
  Record ref = sampleRecord();
  {
    Record r;
    mxArchive in(full);
    r.exchange(in);
    EXPECT_EQ(in.remaining(), 0u);
    EXPECT_EQ(r.s, ref.s);
    EXPECT_EQ(r.p.window(), mxPelRect(-1, 6, 3, 2));
    EXPECT_EQ(r.q.get(4, 2), ref.q.get(4, 2));
  }
  // Where the 16-bit buffer ends: everything stored before q.
  const std::size_t pEnd = full.size() - storedValue(ref.q).size();
  const mxPelBuffer<unsigned short> before(mxPelRect(40, 40, 2, 2));
  for (std::size_t n = 0; n < full.size(); ++n) {
    Record r;
    r.p = before;
    mxArchive in(Bytes(full.begin(), full.begin() + std::ptrdiff_t(n)));
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
}

TEST(ArchiveMalformed, FlippedBytesAreRejectedOrReadFaithfully) {
  const Bytes full = sampleBytes();
  const Record ref = sampleRecord();
  // The string's bytes: a flip there may make invalid UTF-8, which loads as
  // U+FFFD and so does not store back to the same bytes.
  const std::size_t sBegin = 1 + 1 + 4 + 4 + 8, sEnd = sBegin + storedValue(ref.s).size();
  int rejected = 0;
  for (std::size_t k = 0; k < full.size(); ++k)
    for (std::uint8_t mask : {0x01, 0x40, 0x80, 0xFF}) {
      Bytes bad = full;
      bad[k] ^= mask;
      Record r;
      mxArchive in(bad);
      try {
        r.exchange(in);
      } catch (const mxException&) {
        // An archive error is fine; std::bad_alloc or a crash is not.
        ++rejected;
        continue;
      }
      // Accepted: every value was read as it stands, so it stores back to the
      // same bytes.
      if (k < sBegin || k >= sEnd) {
        mxArchive out;
        r.exchange(out);
        EXPECT_EQ(out.bytes(), Bytes(bad.begin(), bad.begin() + std::ptrdiff_t(in.position())))
            << "byte " << k << " ^ " << int(mask);
      }
    }
  EXPECT_GT(rejected, 0);
}

// A pixel-buffer header: bound flag, pel size, x, y, width, height, no transform.
Bytes pelHeader(std::uint8_t pelSize, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) {
  return cat({{1, pelSize},
              le32(std::uint32_t(x)),
              le32(std::uint32_t(y)),
              le32(std::uint32_t(w)),
              le32(std::uint32_t(h)),
              {0}});
}

template <class T, class E>
void expectLoadThrows(const Bytes& bytes) {
  mxPelBuffer<T> b;
  mxArchive in(bytes);
  EXPECT_THROW(in || b, E);
  EXPECT_FALSE(b.isBound());
}

TEST(ArchiveMalformed, ImpossiblePixelBufferHeaders) {
  const Bytes pels(64, 0x55);
  const std::int32_t big = 0x7fffffff;
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(1, 0, 0, -1, 2), pels}));
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(1, 0, 0, 2, -5), pels}));
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(1, big - 4, 0, 8, 1), pels}));
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(1, 0, big, 1, 1), pels}));
  // Pel counts far beyond the bytes left: rejected before any allocation.
  expectLoadThrows<unsigned char, mxArchive::Truncated>(cat({pelHeader(1, 0, 0, big, big), pels}));
  expectLoadThrows<std::uint32_t, mxArchive::Truncated>(cat({pelHeader(4, 0, 0, big, big), pels}));
  expectLoadThrows<unsigned short, mxArchive::Truncated>(cat({pelHeader(2, 0, 0, 0x10000, 0x10000), pels}));
  expectLoadThrows<unsigned char, mxArchive::Truncated>(cat({pelHeader(1, 0, 0, 9, 8), pels}));
  // Pel size must match the buffer's type.
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(2, 0, 0, 2, 2), pels}));
  expectLoadThrows<std::uint32_t, mxArchive::BadData>(cat({pelHeader(2, 0, 0, 2, 2), pels}));
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({pelHeader(3, 0, 0, 2, 2), pels}));
  {
    mxPelBuffer<unsigned short> s(2, 2);
    expectLoadThrows<unsigned char, mxArchive::BadData>(storedValue(s));
  }
  // Flags other than 0 and 1, and singular or non-finite transforms.
  expectLoadThrows<unsigned char, mxArchive::BadData>(Bytes{2});
  Bytes flag2 = cat({pelHeader(1, 0, 0, 1, 1), pels});
  flag2[18] = 2;
  expectLoadThrows<unsigned char, mxArchive::BadData>(flag2);
  const Bytes zero(8, 0), one = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, nan = {0, 0, 0, 0, 0, 0, 0xF8, 0x7F};
  Bytes head = pelHeader(1, 0, 0, 1, 1);
  head.back() = 1;
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({head, one, one, one, one, zero, zero, pels}));
  expectLoadThrows<unsigned char, mxArchive::BadData>(cat({head, nan, zero, zero, one, zero, zero, pels}));
}

TEST(ArchiveMalformed, EmptyWindowOfHugeHeightLoadsQuickly) {
  // No pels to read, so nothing to check against the bytes left; the loader
  // must not walk two billion empty rows either.
  const auto t0 = std::chrono::steady_clock::now();
  mxPelBuffer<unsigned char> b;
  mxArchive in(pelHeader(1, 0, 0, 0, 0x7fffffff));
  in || b;
  EXPECT_EQ(b.height(), 0x7fffffff);
  EXPECT_EQ(b.width(), 0);
  mxArchive out;
  out || b;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST(ArchiveMalformed, BadValuesOfOtherTypes) {
  bool f = false;
  mxArchive bool2(Bytes{2});
  EXPECT_THROW(bool2 || f, mxArchive::BadData);
  // A string count beyond the bytes left.
  std::wstring s = L"kept";
  mxArchive longString(cat({le32(0xFFFFFFF0u), {'a', 'b'}}));
  EXPECT_THROW(longString || s, mxArchive::Truncated);
  EXPECT_EQ(s, L"kept");
  // Objects: an absurd class-name length, and an unknown class.
  mxArchive longName(cat({le32(0x7FFFFFFFu), {'x'}}));
  EXPECT_THROW(longName.loadObject(), mxArchive::BadData);
  mxArchive unknown(cat({le32(7), {'N', 'o', 'S', 'u', 'c', 'h', 'X'}, {0, 0, 0, 0}}));
  EXPECT_THROW(unknown.loadObject(), mxArchive::BadData);
  std::int32_t i = 5;
  mxArchive three(Bytes{1, 2, 3});
  EXPECT_THROW(three || i, mxArchive::Truncated);
}

}  // namespace

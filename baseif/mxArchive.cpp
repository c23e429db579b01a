#include "baseif/mxArchive.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxStr.h"

namespace {
// Class names of persistent objects are short; a longer count is corrupt.
constexpr std::uint32_t kMaxClassName = 1024;

template <class U>
void putLE(mxArchive& ar, U v) {
  unsigned char b[sizeof(U)];
  for (std::size_t i = 0; i < sizeof(U); ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  ar.write(b, sizeof(U));
}

template <class U>
U getLE(mxArchive& ar) {
  unsigned char b[sizeof(U)];
  ar.read(b, sizeof(U));
  U v = 0;
  for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(U(b[i]) << (8 * i));
  return v;
}

template <class U>
void exchangeLE(mxArchive& ar, U& v) {
  if (ar.isStoring())
    putLE<U>(ar, v);
  else
    v = getLE<U>(ar);
}
}  // namespace

mxArchive::mxArchive() = default;

mxArchive::mxArchive(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)), loading_(true) {}

// An empty view still reads as an archive with no bytes (view_ stays null).
mxArchive::mxArchive(const std::uint8_t* data, std::size_t size)
    : view_(size ? data : nullptr), viewSize_(size), loading_(true) {}

mxArchive mxArchive::loadFile(const std::string& path) {
  // A folder opens as a stream on Linux and reports an absurd size, so only
  // regular files are read.
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
    throw IOError(L"archive path \"" + mfFromUtf8(path) + L"\" is not a regular file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IOError(L"cannot open archive file \"" + mfFromUtf8(path) + L"\" for reading");
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) throw IOError(L"cannot read archive file \"" + mfFromUtf8(path) + L"\"");
  in.seekg(0, std::ios::beg);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size))
    throw IOError(L"cannot read archive file \"" + mfFromUtf8(path) + L"\"");
  return mxArchive(std::move(bytes));
}

void mxArchive::saveFile(const std::string& path) const { writeFile(path, bytes_.data(), bytes_.size()); }

void mxArchive::writeFile(const std::string& path, const void* data, std::size_t size) {
  // The temporary's name is unique per process and call, so that concurrent
  // writers of one target never write into each other's temporary.
  static std::atomic<unsigned> counter{0};
  const std::string tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw IOError(L"cannot open \"" + mfFromUtf8(tmp) + L"\" for writing");
    out.write(static_cast<const char*>(data), std::streamsize(size));
    out.flush();
    if (!out) {
      out.close();
      std::remove(tmp.c_str());
      throw IOError(L"cannot write \"" + mfFromUtf8(tmp) + L"\"");
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw IOError(L"cannot rename \"" + mfFromUtf8(tmp) + L"\" to \"" + mfFromUtf8(path) + L"\"");
  }
}

void mxArchive::write(const void* data, std::size_t n) {
  if (loading_) throw BadData(L"cannot write to a loading archive");
  const auto* p = static_cast<const std::uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + n);
}

void mxArchive::read(void* data, std::size_t n) {
  if (!loading_) throw BadData(L"cannot read from a storing archive");
  require(n);
  if (n) std::memcpy(data, in().first + pos_, n);
  pos_ += n;
}

bool mxArchive::nextBytesAre(const void* data, std::size_t n) const {
  return loading_ && n <= remaining() && (n == 0 || std::memcmp(in().first + pos_, data, n) == 0);
}

void mxArchive::require(std::uint64_t n) const {
  if (loading_ && n > remaining())
    throw Truncated(L"archive is truncated: " + mfStr(static_cast<unsigned long>(n)) + L" bytes needed at offset " +
                    mfStr(static_cast<unsigned long>(pos_)) + L", " + mfStr(static_cast<unsigned long>(remaining())) +
                    L" left");
}

// Clears the visited marks when the outermost object exchange begins and
// ends (also when it throws).
class mxArchiveObjectScope {
public:
  explicit mxArchiveObjectScope(mxArchive& ar) : ar_(ar) {
    if (ar_.objectDepth_++ == 0) ar_.visited_.clear();
  }
  ~mxArchiveObjectScope() {
    if (--ar_.objectDepth_ == 0) ar_.visited_.clear();
  }
  mxArchiveObjectScope(const mxArchiveObjectScope&) = delete;
  mxArchiveObjectScope& operator=(const mxArchiveObjectScope&) = delete;

private:
  mxArchive& ar_;
};

void mxArchive::storeObject(mxPersistent& object) {
  if (loading_) throw BadData(L"cannot store an object into a loading archive");
  mxArchiveObjectScope scope(*this);
  std::wstring name = mfFromUtf8(mx_Instantiator::typeName(typeid(object)));
  *this || name;
  object.dispatchSerialize(*this);
}

std::unique_ptr<mxPersistent> mxArchive::loadObject() {
  mxArchiveObjectScope scope(*this);
  std::uint32_t n = getLE<std::uint32_t>(*this);
  if (n > kMaxClassName) throw BadData(L"archive holds an impossible class name length");
  require(n);
  std::string name(reinterpret_cast<const char*>(in().first + pos_), n);
  pos_ += n;
  const mx_Instantiator::Factory make = mx_Instantiator::find(name);
  if (!make) throw BadData(L"archive holds an object of unknown class \"" + mfFromUtf8(name) + L"\"");
  std::unique_ptr<mxPersistent> obj(make());
  obj->loadSimple(*this);
  return obj;
}

bool mxArchive::visited(const void* object, std::size_t classSize) const {
  return visited_.count({object, classSize}) != 0;
}

void mxArchive::markVisited(const void* object, std::size_t classSize) { visited_.insert({object, classSize}); }

// ---- exceptions ----

namespace {
std::wstring versionText(const char* file, int line) {
  std::wstring t = L"archive holds an unknown version";
  if (file)
    t += L" (" + mfFromUtf8(file) + (line ? L", line " + mfStr(line) : std::wstring()) + L")";
  else if (line)
    t += L" (line " + mfStr(line) + L")";
  return t;
}
}  // namespace

mxArchive::UnknownVersion::UnknownVersion(const char* file, int line)
    : mxExceptionWithString(versionText(file, line)), file_(file ? file : ""), line_(line) {}
mxArchive::UnknownVersion::~UnknownVersion() = default;
std::int32_t mxArchive::UnknownVersion::errorNumber() const { return 0x10000201; }
void mxArchive::UnknownVersion::suicideAndRethrow() {
  UnknownVersion copy(*this);
  delete this;
  throw copy;
}

#define MX_ARCHIVE_ERROR(Name, Number)                                       \
  mxArchive::Name::Name(const std::wstring& m) : mxExceptionWithString(m) {} \
  mxArchive::Name::~Name() = default;                                        \
  std::int32_t mxArchive::Name::errorNumber() const { return Number; }       \
  void mxArchive::Name::suicideAndRethrow() {                                \
    Name copy(*this);                                                        \
    delete this;                                                             \
    throw copy;                                                              \
  }
MX_ARCHIVE_ERROR(Truncated, 0x10000202)
MX_ARCHIVE_ERROR(BadData, 0x10000203)
MX_ARCHIVE_ERROR(IOError, 0x10000204)

// ---- value exchange ----

mxArchive& operator||(mxArchive& ar, unsigned char& v) {
  exchangeLE<std::uint8_t>(ar, v);
  return ar;
}

mxArchive& operator||(mxArchive& ar, bool& v) {
  std::uint8_t b = v ? 1 : 0;
  exchangeLE<std::uint8_t>(ar, b);
  if (ar.isLoading()) {
    if (b > 1) throw mxArchive::BadData(L"archive holds an invalid bool");
    v = b != 0;
  }
  return ar;
}

mxArchive& operator||(mxArchive& ar, std::int32_t& v) {
  std::uint32_t u = static_cast<std::uint32_t>(v);
  exchangeLE<std::uint32_t>(ar, u);
  if (ar.isLoading()) v = static_cast<std::int32_t>(u);
  return ar;
}

mxArchive& operator||(mxArchive& ar, std::uint32_t& v) {
  exchangeLE<std::uint32_t>(ar, v);
  return ar;
}

mxArchive& operator||(mxArchive& ar, double& v) {
  std::uint64_t u;
  static_assert(sizeof u == sizeof v && std::numeric_limits<double>::is_iec559, "IEEE doubles");
  std::memcpy(&u, &v, sizeof u);
  exchangeLE<std::uint64_t>(ar, u);
  if (ar.isLoading()) std::memcpy(&v, &u, sizeof u);
  return ar;
}

mxArchive& operator||(mxArchive& ar, std::wstring& v) {
  if (ar.isStoring()) {
    const std::string u = mfToUtf8(v);
    if (u.size() > 0xFFFFFFFFu) throw mxArchive::BadData(L"string too long for an archive");
    putLE<std::uint32_t>(ar, static_cast<std::uint32_t>(u.size()));
    ar.write(u.data(), u.size());
  } else {
    const std::uint32_t n = getLE<std::uint32_t>(ar);
    ar.require(n);
    std::string u(n, '\0');
    ar.read(u.data(), n);
    v = mfFromUtf8(u);
  }
  return ar;
}

mxArchive& operator||(mxArchive& ar, mx_PelBuffer& b) {
  if (ar.isStoring()) {
    unsigned char bound = b.isBound() ? 1 : 0;
    ar || bound;
    if (!bound) return ar;
    unsigned char ps = static_cast<unsigned char>(b.pelSize());
    ar || ps;
    std::int32_t x = b.window().x(), y = b.window().y(), w = b.width(), h = b.height();
    ar || x || y || w || h;
    const auto& cfi = b.clientFromImageXformBase();
    unsigned char hasX = (cfi && cfi->isLinear()) ? 1 : 0;
    ar || hasX;
    if (hasX) {
      const mxXform<2> xf = cfi->linear();
      double e[6] = {xf.matrix().element(0, 0),
                     xf.matrix().element(0, 1),
                     xf.matrix().element(1, 0),
                     xf.matrix().element(1, 1),
                     xf.trans().x(),
                     xf.trans().y()};
      for (double& d : e) ar || d;
    }
    const std::size_t rowBytes = std::size_t(w) * b.pelSize();
    // An empty window stores no pels, however many (empty) rows or wide its
    // rows are: the row buffer is set up only when there is a pel to store.
    std::vector<std::uint8_t> rowBuf(h > 0 ? rowBytes : 0);
    for (std::int32_t j = 0; rowBytes != 0 && j < h; ++j) {
      const unsigned char* src = b.pelBytes(x, y + j);
      // Pels are stored little-endian whatever the host.
      for (std::size_t k = 0; k < rowBytes; k += b.pelSize())
        for (std::size_t q = 0; q < b.pelSize(); ++q) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
          rowBuf[k + q] = src[k + b.pelSize() - 1 - q];
#else
          rowBuf[k + q] = src[k + q];
#endif
        }
      ar.write(rowBuf.data(), rowBytes);
    }
    return ar;
  }

  unsigned char bound = 0;
  ar || bound;
  if (bound > 1) throw mxArchive::BadData(L"archive holds an invalid pixel buffer flag");
  if (!bound) {
    b.setUnbound();
    return ar;
  }
  unsigned char ps = 0;
  ar || ps;
  if (ps != b.pelSize())
    throw mxArchive::BadData(L"archive holds a pixel buffer of " + mfStr(int(ps)) + L"-byte pels where " +
                             mfStr(int(b.pelSize())) + L"-byte pels are expected");
  std::int32_t x = 0, y = 0, w = 0, h = 0;
  ar || x || y || w || h;
  if (w < 0 || h < 0) throw mxArchive::BadData(L"archive holds a pixel buffer with a negative size");
  if (std::int64_t(x) + w > std::numeric_limits<std::int32_t>::max() ||
      std::int64_t(y) + h > std::numeric_limits<std::int32_t>::max())
    throw mxArchive::BadData(L"archive holds a pixel buffer window beyond the coordinate range");
  unsigned char hasX = 0;
  ar || hasX;
  if (hasX > 1) throw mxArchive::BadData(L"archive holds an invalid transform flag");
  double e[6] = {1, 0, 0, 1, 0, 0};
  if (hasX)
    for (double& d : e) ar || d;
  // Check the pel bytes are there before allocating anything for them.
  const std::uint64_t bytes = std::uint64_t(w) * std::uint64_t(h) * ps;
  ar.require(bytes);
  mx_PelBuffer nb(ps, mxPelRect(x, y, w, h), 32);
  if (hasX) {
    const mxXform<2> xf(mxMatrix<2>(e[0], e[1], e[2], e[3]), mxVector<2>(e[4], e[5]));
    if (xf.matrix().determinant() == 0.0 || !std::isfinite(xf.matrix().determinant()))
      throw mxArchive::BadData(L"archive holds a singular client transform");
    nb.clientFromImageXform(xf);
  }
  // A buffer stored without a transform (it had none, or one that is not
  // linear) keeps the new buffer's identity: every buffer the library hands
  // out can map between client and image coordinates.
  const std::size_t rowBytes = std::size_t(w) * ps;
  for (std::int32_t j = 0; rowBytes != 0 && j < h; ++j) {
    unsigned char* dst = nb.pelBytes(x, y + j);
    ar.read(dst, rowBytes);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (std::size_t k = 0; k < rowBytes; k += ps) std::reverse(dst + k, dst + k + ps);
#endif
  }
  b = std::move(nb);
  return ar;
}

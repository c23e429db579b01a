// mxArchive: a byte stream that stores and loads values through one operator||
// per type, so that a single exchange function serves both directions.
//
// Encoding (fixed, independent of the host): little-endian; unsigned char and
// bool one byte (bool 0 or 1); 32-bit integers ("long" in the toolkit) four
// bytes; double eight bytes (IEEE 754); wide strings as a 32-bit count of
// UTF-8 bytes followed by the bytes; pixel buffers as described at their
// operator below.  Loading checks every count against the bytes that remain
// before allocating, so a malformed or truncated archive throws
// mxArchive::Truncated or mxArchive::BadData and never allocates more than the
// archive's own size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "baseif/mxException.h"
#include "baseif/mxExport.h"

class mx_PelBuffer;

class IMGNORM_API mxArchive {
public:
  // A storing archive in memory.
  mxArchive();
  // A loading archive over the given bytes.
  explicit mxArchive(std::vector<std::uint8_t> bytes);
  // A loading archive that reads the caller's bytes in place, without a
  // copy; they must outlive the archive.  bytes() is empty for it.
  mxArchive(const std::uint8_t* data, std::size_t size);
  // A loading archive over a file's contents.  Throws mxArchive::IOError when
  // the file cannot be read.
  static mxArchive loadFile(const std::string& path);
  // Writes the stored bytes to a file: to a temporary beside it, then renamed
  // over the target, so a failure never leaves a half-written file.  Throws
  // mxArchive::IOError.
  void saveFile(const std::string& path) const;
  // Writes bytes to a file the same way (temporary beside it, unique per
  // process and call, then renamed over the target).  Throws IOError.
  static void writeFile(const std::string& path, const void* data, std::size_t size);

  bool isLoading() const { return loading_; }
  bool isStoring() const { return !loading_; }
  // The stored bytes (storing), or all bytes of a loading archive that owns
  // them.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // Loading: bytes not yet read.
  std::size_t remaining() const { return in().second - pos_; }
  std::size_t position() const { return pos_; }

  // Raw exchange.  read() throws Truncated when fewer than n bytes remain.
  void write(const void* data, std::size_t n);
  void read(void* data, std::size_t n);
  // Throws Truncated unless at least n bytes remain (loading).
  void require(std::uint64_t n) const;
  // Loading: whether the next n bytes are these, without reading them (false
  // when fewer remain or the archive is storing).
  bool nextBytesAre(const void* data, std::size_t n) const;

  // Persistent objects by type: the registered class name, then the object.
  void storeObject(mxPersistent& object);
  // Re-creates an object of the stored class through its registered factory
  // and loads it.  Throws BadData for an unknown class name.
  std::unique_ptr<mxPersistent> loadObject();

  // Visited marks (see mxPersistent::haveVisited).  They last for one
  // outermost storeObject() or loadObject(): marks are keyed by address, and
  // a later object may live where an earlier one did.
  bool visited(const void* object, std::size_t classSize) const;
  void markVisited(const void* object, std::size_t classSize);

  // A version byte that this release does not know.
  class IMGNORM_API UnknownVersion : public mxExceptionWithString {
  public:
    // file may be null; line 0 means no line.
    UnknownVersion(const char* file = nullptr, int line = 0);
    ~UnknownVersion() override;
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    std::int32_t errorNumber() const override;
    void suicideAndRethrow() override;

  private:
    std::string file_;
    int line_;
  };
  // The archive ended before the value being read.
  class IMGNORM_API Truncated : public mxExceptionWithString {
  public:
    explicit Truncated(const std::wstring& message = L"archive is truncated");
    ~Truncated() override;
    std::int32_t errorNumber() const override;
    void suicideAndRethrow() override;
  };
  // A value in the archive is impossible (a negative size, a pel count larger
  // than the bytes left, an unknown class name, a pel size that does not match).
  class IMGNORM_API BadData : public mxExceptionWithString {
  public:
    explicit BadData(const std::wstring& message = L"archive holds invalid data");
    ~BadData() override;
    std::int32_t errorNumber() const override;
    void suicideAndRethrow() override;
  };
  // A file could not be read or written.
  class IMGNORM_API IOError : public mxExceptionWithString {
  public:
    explicit IOError(const std::wstring& message = L"archive file error");
    ~IOError() override;
    std::int32_t errorNumber() const override;
    void suicideAndRethrow() override;
  };

private:
  // The bytes a loading archive reads: its own, or the caller's.
  std::pair<const std::uint8_t*, std::size_t> in() const {
    return view_ ? std::make_pair(view_, viewSize_) : std::make_pair(bytes_.data(), bytes_.size());
  }

  std::vector<std::uint8_t> bytes_;
  const std::uint8_t* view_ = nullptr;
  std::size_t viewSize_ = 0;
  std::size_t pos_ = 0;
  bool loading_ = false;
  int objectDepth_ = 0;  // nesting of storeObject()/loadObject()
  std::set<std::pair<const void*, std::size_t>> visited_;

  friend class mxArchiveObjectScope;
};

IMGNORM_API mxArchive& operator||(mxArchive& ar, unsigned char& v);
IMGNORM_API mxArchive& operator||(mxArchive& ar, bool& v);
IMGNORM_API mxArchive& operator||(mxArchive& ar, std::int32_t& v);
IMGNORM_API mxArchive& operator||(mxArchive& ar, std::uint32_t& v);
IMGNORM_API mxArchive& operator||(mxArchive& ar, double& v);
IMGNORM_API mxArchive& operator||(mxArchive& ar, std::wstring& v);
// Pixel buffers of any pel type: a byte 1 (bound) or 0 (unbound); when bound
// the pel size in bytes (one byte), the window's origin x, y (its offset) and
// width, height (32-bit each), the client-from-image transform (a byte 0 for
// none, 1 followed by the six doubles of an affine transform: matrix a b c d,
// translation x y), then the window's pels row by row, little-endian.
// Loading gives a new store holding just the window.
IMGNORM_API mxArchive& operator||(mxArchive& ar, mx_PelBuffer& buffer);

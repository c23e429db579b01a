// The toolkit's exception bases.  Every exception is an mxPersistent (so it
// can travel through an archive) and a std::exception whose what() gives the
// message in UTF-8, so ordinary C++ handlers see it too.
#pragma once

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>

#include "baseif/mxExport.h"
#include "baseif/mxPersistent.h"

class IMGNORM_API mxException : public mxPersistent, public std::exception {
public:
  ~mxException() override;
  void dispatchSerialize(mxArchive& ar) override;
  // The error number that identifies the class.
  virtual std::int32_t errorNumber() const = 0;
  // For an exception held on the heap: deletes it and throws a copy by value.
  virtual void suicideAndRethrow() = 0;
  // Writes the message.
  virtual void message_(std::wostream& os) const;

  std::wstring message() const;
  const char* what() const noexcept override;

protected:
  mxException() = default;
  mxException(const mxException&) = default;
  mxException& operator=(const mxException&) = default;

private:
  mutable std::string what_;
};

// An exception that carries a wide-character message.
class IMGNORM_API mxExceptionWithString : public mxException {
public:
  ~mxExceptionWithString() override;
  void dispatchSerialize(mxArchive& ar) override;
  void message_(std::wostream& os) const override;
  const std::wstring& text() const { return text_; }

protected:
  explicit mxExceptionWithString(const std::wstring& message = std::wstring()) : text_(message) {}
  mxExceptionWithString(const mxExceptionWithString&) = default;
  mxExceptionWithString& operator=(const mxExceptionWithString&) = default;

private:
  std::wstring text_;
};

// Declares a concrete base-library exception with a fixed descriptive message.
#define MX_DECLARE_BASE_EXCEPTION(Name)                   \
  class IMGNORM_API Name : public mxExceptionWithString { \
  public:                                                 \
    Name();                                               \
    explicit Name(const std::wstring& message);           \
    ~Name() override;                                     \
    std::int32_t errorNumber() const override;            \
    void suicideAndRethrow() override;                    \
  }

// A required pointer or transform handle is null.
MX_DECLARE_BASE_EXCEPTION(mxBadPointer);

namespace mxPel {
// A window is empty, lies outside its store, or buffers may not be combined.
MX_DECLARE_BASE_EXCEPTION(BadWindow);
// A pixel buffer that must be bound is not.
MX_DECLARE_BASE_EXCEPTION(UnboundWindow);
}  // namespace mxPel

namespace mxPelFunc {
// A pixel function was given a parameter outside its domain.
MX_DECLARE_BASE_EXCEPTION(BadParams);
}  // namespace mxPelFunc

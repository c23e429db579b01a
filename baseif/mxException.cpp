#include "baseif/mxException.h"

#include <sstream>

#include "baseif/mxArchive.h"
#include "baseif/mxStr.h"

mxException::~mxException() = default;

// The base part carries no data of its own; only a version byte travels.
void mxException::dispatchSerialize(mxArchive& ar) {
  unsigned char version = 0;
  ar || version;
  if (version != 0) throw mxArchive::UnknownVersion("mxException", 0);
}

void mxException::message_(std::wostream&) const {}

std::wstring mxException::message() const {
  std::wostringstream os;
  message_(os);
  return os.str();
}

const char* mxException::what() const noexcept {
  try {
    what_ = mfToUtf8(message());
    if (what_.empty()) what_ = typeid(*this).name();
  } catch (...) {
    return "mxException";
  }
  return what_.c_str();
}

mxExceptionWithString::~mxExceptionWithString() = default;

void mxExceptionWithString::dispatchSerialize(mxArchive& ar) {
  mxException::dispatchSerialize(ar);
  unsigned char version = 0;
  ar || version;
  if (version != 0) throw mxArchive::UnknownVersion("mxExceptionWithString", 0);
  std::wstring t = text_;
  ar || t;
  if (ar.isLoading()) text_ = t;
}

void mxExceptionWithString::message_(std::wostream& os) const { os << text_; }

#define MX_DEFINE_BASE_EXCEPTION(Name, Short, Default, Number)     \
  Name::Short() : mxExceptionWithString(Default) {}                \
  Name::Short(const std::wstring& m) : mxExceptionWithString(m) {} \
  Name::~Short() = default;                                        \
  std::int32_t Name::errorNumber() const { return Number; }        \
  void Name::suicideAndRethrow() {                                 \
    Name copy(*this);                                              \
    delete this;                                                   \
    throw copy;                                                    \
  }

MX_DEFINE_BASE_EXCEPTION(mxBadPointer, mxBadPointer, L"mxBadPointer: a required pointer or transform is null",
                         0x10000101)
MX_DEFINE_BASE_EXCEPTION(mxPel::BadWindow, BadWindow, L"mxPel::BadWindow: bad or empty pixel buffer window", 0x10000102)
MX_DEFINE_BASE_EXCEPTION(mxPel::UnboundWindow, UnboundWindow, L"mxPel::UnboundWindow: pixel buffer is not bound",
                         0x10000103)
MX_DEFINE_BASE_EXCEPTION(mxPelFunc::BadParams, BadParams, L"mxPelFunc::BadParams: bad parameter to a pixel function",
                         0x10000104)

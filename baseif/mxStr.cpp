#include "baseif/mxStr.h"

#include <charconv>
#include <cmath>

namespace {
std::wstring widen(const char* b, const char* e) { return std::wstring(b, e); }
template <class I>
std::wstring intText(I v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return widen(buf, r.ptr);
}
}  // namespace

std::wstring mfStr(int v) { return intText(v); }
std::wstring mfStr(long v) { return intText(v); }
std::wstring mfStr(long long v) { return intText(v); }
std::wstring mfStr(unsigned v) { return intText(v); }
std::wstring mfStr(unsigned long v) { return intText(v); }

std::wstring mfStr(double v) {
  if (std::isnan(v)) return L"nan";
  if (std::isinf(v)) return v > 0 ? L"inf" : L"-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest round-trip form
  return widen(buf, r.ptr);
}

std::wstring mfStr(bool v) { return v ? L"true" : L"false"; }

std::string mfToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring mfFromUtf8(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::uint32_t c;
    std::size_t len;
    std::uint32_t min;
    if (b0 < 0x80) {
      c = b0;
      len = 1;
      min = 0;
    } else if ((b0 & 0xE0) == 0xC0) {
      c = b0 & 0x1F;
      len = 2;
      min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      c = b0 & 0x0F;
      len = 3;
      min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      c = b0 & 0x07;
      len = 4;
      min = 0x10000;
    } else {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    if (i + len > n) {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    bool ok = true;
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (b & 0x3F);
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += wchar_t(0xFFFD);
      ++i;
      continue;
    }
    out += wchar_t(c);
    i += len;
  }
  return out;
}

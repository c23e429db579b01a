// Text helpers: mfStr renders numbers and flags as wide text; the UTF-8
// conversions connect the toolkit's wide messages with std::exception::what().
#pragma once

#include <cstdint>
#include <string>

#include "baseif/mxExport.h"

IMGNORM_API std::wstring mfStr(int value);
IMGNORM_API std::wstring mfStr(long value);
IMGNORM_API std::wstring mfStr(long long value);
IMGNORM_API std::wstring mfStr(unsigned value);
IMGNORM_API std::wstring mfStr(unsigned long value);
// Shortest text that reads back as the same double ("0.25", "1e-07", "nan").
IMGNORM_API std::wstring mfStr(double value);
// "true" or "false".
IMGNORM_API std::wstring mfStr(bool value);

IMGNORM_API std::string mfToUtf8(const std::wstring& text);
// Invalid UTF-8 sequences become U+FFFD.
IMGNORM_API std::wstring mfFromUtf8(const std::string& text);

// Shared checks: exact error messages, and pels a function must not touch.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "baseif/mxPelBuffer.h"

// Expects f to throw an E with exactly this message (and, when given, this error number).
template <class E, class F>
void expectError(F&& f, const std::wstring& message, std::int32_t number = 0) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const E& e) {
    EXPECT_EQ(e.message(), message);
    if (number != 0) {
      EXPECT_EQ(e.errorNumber(), number);
    }
  }
}

// Expects every pel of store's window outside `written` to be as in before.
inline void expectUntouchedOutside(const mxPelBuffer_const<unsigned char>& store,
                                   const mxPelBuffer_const<unsigned char>& before, const mxPelRect& written) {
  const mxPelRect r = store.window();
  for (std::int32_t y = r.y(); y < r.y() + r.height(); ++y)
    for (std::int32_t x = r.x(); x < r.x() + r.width(); ++x)
      if (!written.contains(x, y)) {
        ASSERT_EQ(store.get(x, y), before.get(x, y)) << x << "," << y;
      }
}

// Expects f to throw an E with this code() and a one-line message holding every fragment.
template <class E, class F, class Code>
void expectCodedError(F&& f, Code code, std::initializer_list<std::string> fragments) {
  try {
    f();
    ADD_FAILURE() << "no error";
  } catch (const E& e) {
    const std::string what = e.what();
    EXPECT_EQ(e.code(), code) << what;
    for (const std::string& s : fragments) EXPECT_NE(what.find(s), std::string::npos) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << "one line: " << what;
  }
}

// Expects f to throw an E with exactly this message (and, when given, this
// error number).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

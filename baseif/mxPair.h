// mxPair<T>: an (x, y) pair of numbers.  The toolkit's integer pairs are
// 32-bit: use mxPair<std::int32_t> where it says "long".
#pragma once

#include <cstdint>

template <class T>
class mxPair {
public:
  constexpr mxPair() : x_(), y_() {}
  constexpr mxPair(T x, T y) : x_(x), y_(y) {}

  constexpr T x() const { return x_; }
  constexpr T y() const { return y_; }
  void x(T v) { x_ = v; }
  void y(T v) { y_ = v; }

  friend constexpr bool operator==(const mxPair& a, const mxPair& b) { return a.x_ == b.x_ && a.y_ == b.y_; }
  friend constexpr bool operator!=(const mxPair& a, const mxPair& b) { return !(a == b); }
  friend constexpr mxPair operator+(const mxPair& a, const mxPair& b) { return {T(a.x_ + b.x_), T(a.y_ + b.y_)}; }
  friend constexpr mxPair operator-(const mxPair& a, const mxPair& b) { return {T(a.x_ - b.x_), T(a.y_ - b.y_)}; }

private:
  T x_;
  T y_;
};

using mxPairL = mxPair<std::int32_t>;

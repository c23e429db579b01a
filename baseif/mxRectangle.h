// mxRectangle<T>: an axis-aligned rectangle of pels in image coordinates.
//
// A rectangle is its origin (the image coordinates of its first pel) and its
// width and height.  The far edges are exclusive: a W x H rectangle at (x, y)
// holds the pels x .. x+W-1 and y .. y+H-1.  The corners are points on the
// pel grid's boundary: origin() = (x, y), ur() = (x+W, y) (reached from the
// origin along x), ll() = (x, y+H) (reached along y) and lr() = (x+W, y+H).
// A rectangle with a width or height of 0 or less is null (holds no pel).
#pragma once

#include <algorithm>
#include <cstdint>

#include "baseif/mxPair.h"
#include "baseif/mxVector.h"

template <class T>
class mxRectangle {
public:
  constexpr mxRectangle() : x_(0), y_(0), w_(0), h_(0) {}
  constexpr mxRectangle(T x, T y, T width, T height) : x_(x), y_(y), w_(width), h_(height) {}
  constexpr mxRectangle(const mxPair<T>& origin, const mxPair<T>& size)
      : x_(origin.x()), y_(origin.y()), w_(size.x()), h_(size.y()) {}

  constexpr T x() const { return x_; }
  constexpr T y() const { return y_; }
  constexpr T width() const { return w_; }
  constexpr T height() const { return h_; }
  constexpr mxPair<T> offset() const { return {x_, y_}; }
  constexpr mxPair<T> size() const { return {w_, h_}; }
  constexpr bool isNull() const { return w_ <= 0 || h_ <= 0; }
  // Pel count; 0 for a null rectangle.
  constexpr std::int64_t area() const { return isNull() ? 0 : std::int64_t(w_) * std::int64_t(h_); }

  mxVector<2> origin() const { return {double(x_), double(y_)}; }
  mxVector<2> ur() const { return {double(x_) + double(w_), double(y_)}; }
  mxVector<2> ll() const { return {double(x_), double(y_) + double(h_)}; }
  mxVector<2> lr() const { return {double(x_) + double(w_), double(y_) + double(h_)}; }

  // The common part of two rectangles; a null rectangle when they do not
  // overlap.  The flag is accepted for the toolkit's signature: false asks for
  // a plain intersection (the only form this library uses).
  mxRectangle intersect(const mxRectangle& o, bool = false) const {
    if (isNull() || o.isNull()) return mxRectangle(x_, y_, 0, 0);
    const std::int64_t x0 = std::max<std::int64_t>(x_, o.x_);
    const std::int64_t y0 = std::max<std::int64_t>(y_, o.y_);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t(x_) + w_, std::int64_t(o.x_) + o.w_);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t(y_) + h_, std::int64_t(o.y_) + o.h_);
    if (x1 <= x0 || y1 <= y0) return mxRectangle(T(x0), T(y0), 0, 0);
    return mxRectangle(T(x0), T(y0), T(x1 - x0), T(y1 - y0));
  }
  mxRectangle& operator&=(const mxRectangle& o) { return *this = intersect(o); }

  // Moves each edge inwards by the given number of pels (a negative amount
  // grows the rectangle): trim(-p, -p, -p, -p) grows it by p on every side.
  mxRectangle trim(T left, T top, T right, T bottom, bool = false) const {
    return mxRectangle(T(x_ + left), T(y_ + top), T(w_ - left - right), T(h_ - top - bottom));
  }

  constexpr bool contains(T px, T py) const {
    return !isNull() && px >= x_ && py >= y_ && std::int64_t(px) < std::int64_t(x_) + w_ &&
           std::int64_t(py) < std::int64_t(y_) + h_;
  }
  constexpr bool contains(const mxPair<T>& p) const { return contains(p.x(), p.y()); }
  // True when every pel of r lies in this rectangle (a null r is contained).
  constexpr bool contains(const mxRectangle& r) const {
    return r.isNull() || (!isNull() && r.x_ >= x_ && r.y_ >= y_ && std::int64_t(r.x_) + r.w_ <= std::int64_t(x_) + w_ &&
                          std::int64_t(r.y_) + r.h_ <= std::int64_t(y_) + h_);
  }

  friend constexpr bool operator==(const mxRectangle& a, const mxRectangle& b) {
    return a.x_ == b.x_ && a.y_ == b.y_ && a.w_ == b.w_ && a.h_ == b.h_;
  }
  friend constexpr bool operator!=(const mxRectangle& a, const mxRectangle& b) { return !(a == b); }

private:
  T x_, y_, w_, h_;
};

using mxPelRect = mxRectangle<std::int32_t>;

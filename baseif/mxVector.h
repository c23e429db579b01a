// Small fixed-size geometry: mxVector<2> (a point or direction in the plane),
// mxMatrix<2> (a 2x2 linear map) and mxXform<2> (linear map plus translation).
#pragma once

#include <cmath>
#include <cstddef>

template <std::size_t N>
class mxVector;

template <>
class mxVector<2> {
public:
  constexpr mxVector() : v_{0.0, 0.0} {}
  constexpr mxVector(double x, double y) : v_{x, y} {}

  constexpr double x() const { return v_[0]; }
  constexpr double y() const { return v_[1]; }
  void x(double v) { v_[0] = v; }
  void y(double v) { v_[1] = v; }
  double& operator[](std::size_t i) { return v_[i]; }
  constexpr double operator[](std::size_t i) const { return v_[i]; }

  friend constexpr mxVector operator+(const mxVector& a, const mxVector& b) {
    return {a.v_[0] + b.v_[0], a.v_[1] + b.v_[1]};
  }
  friend constexpr mxVector operator-(const mxVector& a, const mxVector& b) {
    return {a.v_[0] - b.v_[0], a.v_[1] - b.v_[1]};
  }
  friend constexpr mxVector operator*(double s, const mxVector& a) { return {s * a.v_[0], s * a.v_[1]}; }
  friend constexpr bool operator==(const mxVector& a, const mxVector& b) {
    return a.v_[0] == b.v_[0] && a.v_[1] == b.v_[1];
  }
  friend constexpr bool operator!=(const mxVector& a, const mxVector& b) { return !(a == b); }
  double length() const { return std::hypot(v_[0], v_[1]); }

private:
  double v_[2];
};

// Angles.  mxRadian and mxDegree convert into each other explicitly.
class mxDegree;
class mxRadian {
public:
  constexpr explicit mxRadian(double r = 0.0) : r_(r) {}
  inline mxRadian(const mxDegree& d);
  constexpr double toDouble() const { return r_; }

private:
  double r_;
};

class mxDegree {
public:
  constexpr explicit mxDegree(double d = 0.0) : d_(d) {}
  mxDegree(const mxRadian& r) : d_(r.toDouble() * 57.29577951308232) {}
  constexpr double toDouble() const { return d_; }

private:
  double d_;
};

inline mxRadian::mxRadian(const mxDegree& d) : r_(d.toDouble() * 0.017453292519943295) {}

template <std::size_t N>
class mxMatrix;

// A 2x2 matrix, row-major: | a b |
//                          | c d |
template <>
class mxMatrix<2> {
public:
  constexpr mxMatrix() : a_(1.0), b_(0.0), c_(0.0), d_(1.0) {}
  constexpr mxMatrix(double a, double b, double c, double d) : a_(a), b_(b), c_(c), d_(d) {}
  // The toolkit's rotation/scale form: the x axis of the image is rotated by
  // xRot and scaled by xScale, the y axis rotated by yRot and scaled by
  // yScale.  With xRot == yRot == t and unit scales this is the rotation by t:
  // (x, y) -> (x cos t - y sin t, x sin t + y cos t).
  mxMatrix(mxRadian xRot, mxRadian yRot, double xScale, double yScale)
      : a_(xScale * std::cos(xRot.toDouble())),
        b_(-yScale * std::sin(yRot.toDouble())),
        c_(xScale * std::sin(xRot.toDouble())),
        d_(yScale * std::cos(yRot.toDouble())) {}

  constexpr double element(int r, int c) const { return r == 0 ? (c == 0 ? a_ : b_) : (c == 0 ? c_ : d_); }
  constexpr double determinant() const { return a_ * d_ - b_ * c_; }
  // Inverse; a singular matrix gives non-finite elements.
  mxMatrix inverse() const {
    const double det = determinant();
    return {d_ / det, -b_ / det, -c_ / det, a_ / det};
  }
  friend constexpr mxVector<2> operator*(const mxMatrix& m, const mxVector<2>& v) {
    return {m.a_ * v.x() + m.b_ * v.y(), m.c_ * v.x() + m.d_ * v.y()};
  }
  friend constexpr mxMatrix operator*(const mxMatrix& m, const mxMatrix& n) {
    return {m.a_ * n.a_ + m.b_ * n.c_, m.a_ * n.b_ + m.b_ * n.d_, m.c_ * n.a_ + m.d_ * n.c_, m.c_ * n.b_ + m.d_ * n.d_};
  }
  friend constexpr bool operator==(const mxMatrix& m, const mxMatrix& n) {
    return m.a_ == n.a_ && m.b_ == n.b_ && m.c_ == n.c_ && m.d_ == n.d_;
  }

private:
  double a_, b_, c_, d_;
};

template <std::size_t N>
class mxXform;

// An affine map of the plane: p -> M p + t.
template <>
class mxXform<2> {
public:
  constexpr mxXform() : m_(), t_() {}
  constexpr mxXform(const mxMatrix<2>& m, const mxVector<2>& t) : m_(m), t_(t) {}

  constexpr const mxMatrix<2>& matrix() const { return m_; }
  constexpr const mxVector<2>& trans() const { return t_; }
  mxXform inverse() const {
    const mxMatrix<2> mi = m_.inverse();
    return {mi, -1.0 * (mi * t_)};
  }
  bool isIdentity() const { return m_ == mxMatrix<2>() && t_ == mxVector<2>(); }
  friend constexpr mxVector<2> operator*(const mxXform& x, const mxVector<2>& p) { return x.m_ * p + x.t_; }
  // Composition: (x * y)(p) = x(y(p)).
  friend constexpr mxXform operator*(const mxXform& x, const mxXform& y) { return {x.m_ * y.m_, x.m_ * y.t_ + x.t_}; }
  friend constexpr bool operator==(const mxXform& x, const mxXform& y) { return x.m_ == y.m_ && x.t_ == y.t_; }

private:
  mxMatrix<2> m_;
  mxVector<2> t_;
};

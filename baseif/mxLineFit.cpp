#include "baseif/mxLineFit.h"

#include <cmath>
#include <limits>

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Lines whose directions differ by less than this sine are taken as parallel:
// their crossing would lie some 1e12 line lengths away and carry no useful
// digits.
constexpr double kParallelSine = 1e-12;
}  // namespace

// ---- mxFLine ----

mxFLine::mxFLine() : angle_(kNaN), point_(kNaN, kNaN) {}

mxFLine::mxFLine(const mxDegree& angle, const mxVector<2>& point) : angle_(angle), point_(point) {}

mxVector<2> mxFLine::direction() const {
  const double a = mxRadian(angle_).toDouble();
  return {std::cos(a), std::sin(a)};
}

bool mxFLine::isValid() const {
  return std::isfinite(angle_.toDouble()) && std::isfinite(point_.x()) && std::isfinite(point_.y());
}

std::vector<mxVector<2>> mxFLine::intersection(const mxFLine& other) const {
  std::vector<mxVector<2>> points;
  if (!isValid() || !other.isValid()) return points;
  // Solve point_ + s d1 = other.point_ + u d2 for s.
  const mxVector<2> d1 = direction();
  const mxVector<2> d2 = other.direction();
  const double cross = d1.x() * d2.y() - d1.y() * d2.x();
  if (!(std::fabs(cross) > kParallelSine)) return points;
  const mxVector<2> w = other.point_ - point_;
  const double s = (w.x() * d2.y() - w.y() * d2.x()) / cross;
  points.push_back(point_ + s * d1);
  return points;
}

// ---- mxLSLineFitter ----

void mxLSLineFitter::update(const mxVector<2>& p) {
  // Welford's update of the centroid and the centred moments.
  ++n_;
  const double dx = p.x() - mx_;
  const double dy = p.y() - my_;
  mx_ += dx / double(n_);
  my_ += dy / double(n_);
  const double ex = p.x() - mx_;
  const double ey = p.y() - my_;
  cxx_ += dx * ex;
  cxy_ += dx * ey;
  cyy_ += dy * ey;
}

void mxLSLineFitter::update(std::uint64_t count, double sx, double sy, double sxx, double sxy, double syy) {
  if (count == 0) return;
  const double n = double(count);
  const double mx = sx / n;
  const double my = sy / n;
  // Centred moments of the set.  With exact integer sums (as an image pass
  // gives) the only rounding is in the products below; a variance that comes
  // out a hair below zero is zero.
  const double cxx = std::fmax(sxx - sx * mx, 0.0);
  const double cyy = std::fmax(syy - sy * my, 0.0);
  const double cxy = sxy - sx * my;
  if (n_ == 0) {
    n_ = count;
    mx_ = mx;
    my_ = my;
    cxx_ = cxx;
    cxy_ = cxy;
    cyy_ = cyy;
    return;
  }
  merge(n, mx, my, cxx, cxy, cyy);
  n_ += count;
}

void mxLSLineFitter::merge(double nb, double mbx, double mby, double cbxx, double cbxy, double cbyy) {
  // Combination of two sets' moments (Chan, Golub and LeVeque).
  const double na = double(n_);
  const double n = na + nb;
  const double dx = mbx - mx_;
  const double dy = mby - my_;
  const double f = na * nb / n;
  cxx_ += cbxx + dx * dx * f;
  cxy_ += cbxy + dx * dy * f;
  cyy_ += cbyy + dy * dy * f;
  mx_ += dx * nb / n;
  my_ += dy * nb / n;
}

mxFLine mxLSLineFitter::fit() const {
  if (n_ == 0) return mxFLine();
  // The principal axis of the scatter matrix [cxx cxy; cxy cyy] has the
  // angle phi with tan(2 phi) = 2 cxy / (cxx - cyy); atan2 picks the axis of
  // the larger eigenvalue, which is the direction of least orthogonal
  // residual.  atan2(0, 0) is 0: an undetermined direction gives a
  // horizontal line.
  double phi = 0.5 * std::atan2(2.0 * cxy_, cxx_ - cyy_);
  // atan2 returns -pi for (-0, negative); keep the range (-90, 90].
  if (phi <= -0.25 * 6.283185307179586) phi += 0.5 * 6.283185307179586;
  return mxFLine(mxDegree(mxRadian(phi)), mxVector<2>(mx_, my_));
}

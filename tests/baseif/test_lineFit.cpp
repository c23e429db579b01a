#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "baseif/mxLineFit.h"

namespace {

constexpr double kPi = 3.141592653589793;

// Difference of two line angles in degrees, modulo 180 (a line has no sense).
double angleDiff(double a, double b) {
  double d = std::fmod(a - b, 180.0);
  if (d > 90.0) d -= 180.0;
  if (d < -90.0) d += 180.0;
  return std::fabs(d);
}

// Orthogonal distance of p from a line.
double distance(const mxFLine& l, const mxVector<2>& p) {
  const mxVector<2> d = l.direction();
  const mxVector<2> w = p - l.point();
  return std::fabs(w.x() * d.y() - w.y() * d.x());
}

double sse(const std::vector<mxVector<2>>& pts, const mxFLine& l) {
  double s = 0.0;
  for (const auto& p : pts) s += distance(l, p) * distance(l, p);
  return s;
}

TEST(LineFitter, RecoversLinesInEveryDirection) {
  // Points along the line with symmetric orthogonal offsets: the fitted line
  // is the line itself, whatever its direction (vertical included).
  const struct {
    double angle, px, py;
  } lines[] = {{0.0, 3, 4}, {30.0, -2, 7}, {-60.0, 100, -50}, {90.0, 12, 0}, {89.99, 0, 0}, {-45.0, 1e6, 1e6}};
  for (const auto& c : lines) {
    const double a = c.angle * kPi / 180.0;
    const mxVector<2> d(std::cos(a), std::sin(a)), nrm(-std::sin(a), std::cos(a));
    mxLSLineFitter f;
    for (int k = -20; k <= 20; ++k)
      for (double off : {-0.5, 0.5}) f.update(mxVector<2>(c.px, c.py) + double(k) * d + off * nrm);
    const mxFLine l = f.fit();
    ASSERT_TRUE(l.isValid());
    EXPECT_LT(angleDiff(l.angle().toDouble(), c.angle), 1e-7) << c.angle;
    EXPECT_GT(l.angle().toDouble(), -90.0);
    EXPECT_LE(l.angle().toDouble(), 90.0);
    EXPECT_LT(distance(mxFLine(mxDegree(c.angle), {c.px, c.py}), l.point()), 1e-6 * (1 + std::fabs(c.px)));
  }
}

TEST(LineFitter, MinimizesOrthogonalErrorAgainstBruteForceScan) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 4.0);
  for (double slope : {0.3, 1.0, 4.0, -2.0}) {
    std::vector<mxVector<2>> pts;
    mxLSLineFitter f;
    for (int i = 0; i < 200; ++i) {
      const double x = i * 0.5 + noise(rng);
      const mxVector<2> p(x, slope * i * 0.5 + 10 + noise(rng));
      pts.push_back(p);
      f.update(p);
    }
    const mxFLine best = f.fit();
    // Every direction through the centroid (the optimum passes through it).
    for (double deg = -90.0; deg < 90.0; deg += 0.05)
      ASSERT_LE(sse(pts, best), sse(pts, mxFLine(mxDegree(deg), f.centroid())) + 1e-6) << slope << " " << deg;
  }
}

TEST(LineFitter, SumsBatchEqualsPointByPoint) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> g(0, 255);
  mxLSLineFitter single, batched;
  mxVector<2> first(g(rng), g(rng));
  single.update(first);
  batched.update(first);  // a batch merged into a fitter that already has a point
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
  for (int i = 0; i < 1000; ++i) {
    const double x = g(rng), y = 0.7 * x + g(rng) / 8.0;
    single.update({x, y});
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y, syy += y * y;
  }
  batched.update(std::uint64_t(n), sx, sy, sxx, sxy, syy);
  batched.update(0, 0, 0, 0, 0, 0);  // nothing
  EXPECT_EQ(batched.count(), single.count());
  EXPECT_NEAR(batched.fit().angle().toDouble(), single.fit().angle().toDouble(), 1e-9);
  EXPECT_NEAR(batched.centroid().x(), single.centroid().x(), 1e-9);
  EXPECT_NEAR(batched.centroid().y(), single.centroid().y(), 1e-9);
}

TEST(LineFitter, DegenerateInputs) {
  mxLSLineFitter f;
  EXPECT_FALSE(f.fit().isValid());
  EXPECT_TRUE(f.fit().intersection(mxFLine(mxDegree(90.0), {0, 0})).empty());

  f.update({5, 7});  // one point: horizontal through it
  EXPECT_EQ(f.fit().angle().toDouble(), 0.0);
  EXPECT_EQ(f.fit().point(), mxVector<2>(5, 7));
  f.update({5, 7});
  EXPECT_EQ(f.fit().angle().toDouble(), 0.0);

  f.reset();
  for (int y = 0; y < 5; ++y) f.update({2, double(y)});  // vertical
  EXPECT_EQ(f.fit().angle().toDouble(), 90.0);
  EXPECT_TRUE(f.fit().intersection(mxFLine(mxDegree(90.0), {0, 0})).empty());
}

TEST(Line, Intersection) {
  const struct {
    double a1, x1, y1, a2, x2, y2;
    bool meets;
    double x, y;
  } cases[] = {
      {0, 0, 5, 90, 3, 0, true, 3, 5},          {45, 0, 0, 135, 2, 0, true, 1, 1},
      {30, 1, 1, -60, 1, 1, true, 1, 1},        {10, 0, 0, 10, 0, 1, false, 0, 0},
      {10, 0, 0, 10, 10, 1.7632698, false, 0, 0}, {90, 0, 0, -90, 5, 0, false, 0, 0},
      {0, 0, 0, 180, 0, 3, false, 0, 0},
  };
  for (const auto& c : cases) {
    const mxFLine l1(mxDegree(c.a1), {c.x1, c.y1}), l2(mxDegree(c.a2), {c.x2, c.y2});
    const auto p = l1.intersection(l2);
    ASSERT_EQ(p.size(), c.meets ? 1u : 0u) << c.a1 << " " << c.a2;
    if (c.meets) {
      EXPECT_NEAR(p[0].x(), c.x, 1e-12);
      EXPECT_NEAR(p[0].y(), c.y, 1e-12);
    }
  }
  EXPECT_TRUE(mxFLine().intersection(mxFLine(mxDegree(0), {0, 0})).empty());
  EXPECT_TRUE(mxFLine(mxDegree(0), {0, 0}).intersection(mxFLine()).empty());
}

}  // namespace

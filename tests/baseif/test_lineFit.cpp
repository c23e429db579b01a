#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "baseif/mxLineFit.h"

namespace {

double distance(const mxFLine& l, const mxVector<2>& p) {
  const mxVector<2> d = l.direction(), w = p - l.point();
  return std::fabs(w.x() * d.y() - w.y() * d.x());
}

TEST(LineFitter, ExactLinesInEveryDirection) {
  // Points along a line with symmetric orthogonal offsets fit the line itself.
  for (double angle : {0.0, 30.0, -60.0, 90.0, 89.99}) {
    const double a = angle * 3.141592653589793 / 180;
    const mxVector<2> d(std::cos(a), std::sin(a)), nrm(-d.y(), d.x()), p0(1e5, -7);
    mxLSLineFitter f;
    for (int k = -20; k <= 20; ++k) f.update(p0 + double(k) * d + 0.5 * nrm), f.update(p0 + double(k) * d - 0.5 * nrm);
    const double diff = std::remainder(f.fit().angle().toDouble() - angle, 180.0);  // a line has no sense
    EXPECT_NEAR(diff, 0.0, 1e-7) << angle;
    EXPECT_LT(distance(mxFLine(mxDegree(angle), p0), f.fit().point()), 1e-6);
  }
}

TEST(LineFitter, MinimizesOrthogonalErrorAndBatchesAgree) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 4.0);
  for (double slope : {0.3, 4.0, -2.0}) {
    std::vector<mxVector<2>> pts;
    mxLSLineFitter f, batched;
    double s[5] = {};
    for (int i = 0; i < 200; ++i) {
      const mxVector<2> p(std::round(i + noise(rng)), std::round(slope * i + noise(rng)));
      pts.push_back(p);
      f.update(p);
      s[0] += p.x(), s[1] += p.y(), s[2] += p.x() * p.x(), s[3] += p.x() * p.y(), s[4] += p.y() * p.y();
    }
    batched.update(200, s[0], s[1], s[2], s[3], s[4]);
    EXPECT_NEAR(batched.fit().angle().toDouble(), f.fit().angle().toDouble(), 1e-9);
    const auto sse = [&](const mxFLine& l) {
      double e = 0;
      for (const auto& p : pts) e += distance(l, p) * distance(l, p);
      return e;
    };
    for (double deg = -90.0; deg < 90.0; deg += 0.05)  // the optimum passes through the centroid
      ASSERT_LE(sse(f.fit()), sse(mxFLine(mxDegree(deg), f.centroid())) + 1e-6) << slope << " " << deg;
  }
}

TEST(LineFitter, DegenerateInputsAndIntersections) {
  mxLSLineFitter f;
  EXPECT_FALSE(f.fit().isValid());  // no point: meets nothing
  EXPECT_TRUE(f.fit().intersection(mxFLine(mxDegree(90.0), {0, 0})).empty());
  f.update({5, 7});
  EXPECT_EQ(f.fit().angle().toDouble(), 0.0);  // one point: horizontal through it
  f.reset();
  for (int y = 0; y < 5; ++y) f.update({2, double(y)});
  EXPECT_EQ(f.fit().angle().toDouble(), 90.0);

  const struct {
    double a1, x1, y1, a2, x2, y2;
    int n;
    double x, y;
  } cases[] = {{0, 0, 5, 90, 3, 0, 1, 3, 5},
               {45, 0, 0, 135, 2, 0, 1, 1, 1},
               {10, 0, 0, 10, 0, 1, 0, 0, 0},
               {10, 0, 0, 10, 10, 1.7632698, 0, 0, 0},
               {90, 0, 0, -90, 5, 0, 0, 0, 0}};
  for (const auto& c : cases) {
    const auto p = mxFLine(mxDegree(c.a1), {c.x1, c.y1}).intersection(mxFLine(mxDegree(c.a2), {c.x2, c.y2}));
    ASSERT_EQ(int(p.size()), c.n) << c.a1 << " " << c.a2;
    for (const auto& q : p) EXPECT_LT((q - mxVector<2>(c.x, c.y)).length(), 1e-12);
  }
}

}  // namespace

// Straight lines in the plane (mxFLine) and a least-squares line fitter
// (mxLSLineFitter).
//
// The fitter minimizes the sum of squared orthogonal distances from the
// points to the line (total least squares), so every direction, vertical
// included, is fitted alike; a fit that minimized vertical distances could
// not represent a vertical line.
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxVector.h"

// An infinite line: a point on it and its direction angle, measured from the
// x axis towards the y axis.  A line whose angle or point is not finite is
// invalid; it meets no other line.
class IMGNORM_API mxFLine {
public:
  // An invalid line (angle and point are not numbers).
  mxFLine();
  mxFLine(const mxDegree& angle, const mxVector<2>& point);

  mxDegree angle() const { return angle_; }
  const mxVector<2>& point() const { return point_; }
  // Unit vector along the line: (cos angle, sin angle).
  mxVector<2> direction() const;
  bool isValid() const;

  // The points where the two lines meet: one point, or none when either line
  // is invalid or the lines are parallel.  Parallel means that the sine of
  // the angle between the directions is at most 1e-12 in magnitude; lines that
  // coincide are parallel too, so they give no point either.
  std::vector<mxVector<2>> intersection(const mxFLine& other) const;

private:
  mxDegree angle_;
  mxVector<2> point_;
};

// Accumulates points and fits the line of least orthogonal squared distance:
// the line through the centroid along the principal axis of the points.
//
// The fitter keeps the point count, the centroid and the centred second
// moments, updated incrementally, so that adding points far from the origin
// loses no precision.
class IMGNORM_API mxLSLineFitter {
public:
  mxLSLineFitter() = default;

  // Adds one point.
  void update(const mxVector<2>& p);
  // Adds a set of count points given by their sums: sx = sum x, sy = sum y,
  // sxx = sum x*x, sxy = sum x*y, syy = sum y*y.  Equivalent to adding the
  // points one by one; meant for callers that accumulate exact integer sums
  // over images.  A count of 0 adds nothing.
  void update(std::uint64_t count, double sx, double sy, double sxx, double sxy, double syy);
  // Forgets every point.
  void reset() { *this = mxLSLineFitter(); }

  // Number of points added.
  std::uint64_t count() const { return n_; }
  // Centroid of the points ((0, 0) when there are none).
  mxVector<2> centroid() const { return {mx_, my_}; }

  // The fitted line, through the centroid, with an angle in (-90, 90]
  // degrees.  With no point the result is invalid (mxFLine()).  When the
  // direction is undetermined -- a single point, all points equal, or a cloud
  // spread equally in every direction -- the line is horizontal through the
  // centroid.
  mxFLine fit() const;

private:
  // Merges a set with its own count, centroid and centred moments.
  void merge(double n, double mx, double my, double cxx, double cxy, double cyy);

  std::uint64_t n_ = 0;
  double mx_ = 0.0, my_ = 0.0;
  double cxx_ = 0.0, cxy_ = 0.0, cyy_ = 0.0;
};

// The linear grey-value fit: maps a run-time image onto the reference image
// through one line, reference grey = gain * run-time grey + offset.
//
// The line is fitted by least squares to the pels whose pair of grey levels
// (run-time, reference) lies in a narrow band around the strongest straight
// ridge of the two images' joint grey-level histogram.  The ridge is found on
// a 33 x 33 reduction of that histogram: it is projected across each
// direction of a table (buildFitAngles), and the direction whose smoothed
// projection has the highest peak wins.  The cost per run is two passes over
// the run-time window (joint histogram, fit) and one table mapping; the
// direction search does not grow with the image.
//
// Pel pairing: the pel in row j, column i of the run-time window goes with
// the pel in row j, column i of the reference window and of the mask window.
// Grey level g falls into bin (g + 4) >> 3 (bins 0..32).
//
// Internal functions of the tool; the steps are exposed for testing.
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxPelBuffer.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxVector.h"

namespace imgnorm::detail {

// Number of grey-level bins per axis of the joint histogram.
constexpr std::int32_t kFitBins = 33;

// The 63 directions (degrees) of the ridge search: atan2(k, 33) for k = 1 to
// 32, then atan2(33, k) for k = 31 down to 1.  Ascending from 1.74 to 88.26
// degrees; 45 degrees is not among them.  The vector is resized to 63.
void buildFitAngles(std::vector<double>& angles);

// Normalizes image by the linear grey-value fit and returns a new image of
// the image window's size.  mask may be unbound (every pel used); fitAngles is
// the direction table (at least 7 entries; indices 3 to n - 4 are searched).
// When no line could be fitted (no pel in the band, or a vertical line) the
// table and so the result are all 0; the overload with fitted reports that
// case as false.
// Throws mxImageNormalizerDefs::BadImage "Both template image and run-time
// image must be bound." for an unbound image or reference,
// mxImageNormalizerDefs::BadParams for a table of fewer than 7 entries, and
// mxPel::BadWindow for a reference or mask window smaller than the image's.
mxPelBuffer<unsigned char> linearFitImage(const mxPelBuffer_const<unsigned char>& image,
                                          const mxPelBuffer_const<unsigned char>& reference,
                                          const mxPelBuffer_const<unsigned char>& mask,
                                          const std::vector<double>& fitAngles);
mxPelBuffer<unsigned char> linearFitImage(const mxPelBuffer_const<unsigned char>& image,
                                          const mxPelBuffer_const<unsigned char>& reference,
                                          const mxPelBuffer_const<unsigned char>& mask,
                                          const std::vector<double>& fitAngles, bool& fitted);

// Steps 1 to 5 of linearFitImage: sets gain and offset to 0, then to the
// fitted line.  Returns false (gain and offset left 0) when no line met the
// line x = 0.  Throws as linearFitImage.
bool linearFitParameters(const mxPelBuffer_const<unsigned char>& image,
                         const mxPelBuffer_const<unsigned char>& reference,
                         const mxPelBuffer_const<unsigned char>& mask, const std::vector<double>& fitAngles,
                         double& gain, double& offset);

// What one pass over paired pels gathers for both the direction search and
// the fit; exact integer totals, so counts gathered over the blocks of an
// image and added up equal the counts of the whole image:
//   pairs: per grey pair (reference t, run-time r), at (t << 8) | r, the
//     number of used pels (mask non-zero, or every pel without a mask);
//   cells: per 33 x 33 cell of the bin plane (row-major), the joint
//     histogram's sum: the mask value of each pel (0 .. 255), or 1 per pel
//     without a mask.
struct FitPairCounts {
  std::vector<std::uint64_t> pairs = std::vector<std::uint64_t>(65536, 0);
  std::vector<std::uint64_t> cells = std::vector<std::uint64_t>(std::size_t(kFitBins * kFitBins), 0);
  FitPairCounts& operator+=(const FitPairCounts& other);
};

// Adds the counts of image's window, paired by position with the reference
// and mask windows (as linearFitImage pairs them), to counts.  Throws as
// linearFitImage.
void addFitPairCounts(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& reference,
                      const mxPelBuffer_const<unsigned char>& mask, FitPairCounts& counts);

// Steps 2 to 5 of linearFitImage from gathered counts: the direction search,
// the band and the least-squares line.  As linearFitParameters.
bool linearFitFromCounts(const FitPairCounts& counts, const std::vector<double>& fitAngles, double& gain,
                         double& offset);

// The 33 x 33 joint histogram of the image window and the paired reference
// window, compressed into 8 bits: row = bin of the reference grey, column =
// bin of the run-time grey.  Each pel adds the mask pel's value (0..255) to
// its cell, or 1 when the mask is unbound.  With a largest count m below 256
// the counts are copied; otherwise a count k > 0 becomes
// trunc(ln k * 255 / ln m + 0.5) (so 1 becomes 0 and m becomes 255).
// Counts are kept in 64 bits while summing and stored saturated at 2^32 - 1.
// Throws mxPel::UnboundWindow for an unbound image or reference and
// mxPel::BadWindow when the reference or the mask window is smaller.
mxPelBuffer<unsigned char> jointHistogramImage(const mxPelBuffer_const<unsigned char>& reference,
                                               const mxPelBuffer_const<unsigned char>& mask,
                                               const mxPelBuffer_const<unsigned char>& image);

// One profile per direction angles[first] .. angles[last], in table order,
// each the projectAlongAngle of the histogram image.  first > last gives no
// profile; indices outside the table throw mxPelFunc::BadParams.
std::vector<mxPelBuffer<std::uint32_t>> directionProfiles(const mxPelBuffer_const<unsigned char>& histogramImage,
                                                          const std::vector<double>& angles, std::int32_t first,
                                                          std::int32_t last);

// Projection of the histogram image (pel and client coordinates equal, window
// at (0, 0)) across direction theta: one row of sums along lines of direction
// theta, taken over the smallest rectangle that holds the image and whose x
// axis points along theta + 90 degrees.  The grid is trunc(ex + 0.5) + 1
// columns by trunc(ey - 0.5) - 1 rows, where ex and ey are the rectangle's
// extents; the profile's imageFromClientXform() maps histogram points to
// profile columns.
mxPelBuffer<std::uint32_t> projectAlongAngle(const mxPelBuffer_const<unsigned char>& source, mxDegree theta);

// The profile whose smoothed values (smoothProfile, half-width 1) have the
// highest peak: returns its index (-1 for no profile) and sets peak to the
// column of its first maximum.  Ties go to the earlier profile; an all-zero
// set selects profile 0 with peak 0.
std::int32_t selectPeakDirection(const std::vector<mxPelBuffer<std::uint32_t>>& profiles, double& peak);

// Box sum of half-width r over a profile mirrored about its end pels (the end
// pels not repeated): s[i] = p[m(i - r)] + ... + p[m(i + r)] with m(k) = -k
// below 0 and 2(L - 1) - k above L - 1.  Unsigned 32-bit arithmetic.  Throws
// mxPelFunc::BadParams when the length L is below 2r + 1.
std::vector<std::uint32_t> smoothProfile(const std::vector<std::uint32_t>& p, std::int32_t r);

// 255 for the histogram cells (x, y) whose point (x, y) the profile's
// imageFromClientXform() takes to a column q with peak - 1 <= q < peak + 2,
// else 0: the band of profile columns from one before the peak to one after.
mxPelBuffer<unsigned char> peakBandMask(const mxPelBuffer_const<unsigned char>& histogramImage,
                                        const mx_PelBuffer& profile, double peak);

// Least-squares line through the points (run-time grey, reference grey) of the
// image window's pels that the mask uses (non-zero, or every pel when
// unbound) and whose cell of the joint histogram is set in the band mask
// (33 x 33).  Each used pel counts once.  When the line meets x = 0 sets gain
// to its slope and offset to its height at x = 0 and returns true; otherwise
// leaves both untouched and returns false.  Throws as jointHistogramImage,
// and mxPelFunc::BadParams for a band mask that is unbound or smaller than
// 33 x 33.
bool fitGainAndOffset(const mxPelBuffer_const<unsigned char>& reference, const mxPelBuffer_const<unsigned char>& mask,
                      const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& bandMask,
                      double& gain, double& offset);

// The table of the line: entry i is offset + i * gain, accumulated by
// repeated addition, rounded half away from zero and clamped to 0..255.  A
// value that is not a number gives 0.
std::vector<unsigned char> linearLut(double gain, double offset);

// ---- 16-bit images of a declared bit depth (9 to 16) ----
//
// The joint histogram of 16-bit pels cannot be kept per grey pair (65536^2
// cells), so the direction search runs on the 33 x 33 plane of the pels'
// top 8 bits (g >> (depth - 8), then the 8-bit bins): the same histogram
// image, profiles, ridge and band as the 8-bit fit of the images reduced to
// their top 8 bits.  The line is then fitted to the exact 16-bit pels
// (exact 128-bit sums, in a second pass over the pels) of every used pel
// whose cell lies in the band.  Bound on the fitted line: it is the exact
// least-squares line of the selected pels; only the selection is coarse,
// in cells 2^(depth - 5) grey levels wide (8 top-bit levels), so pels of a
// ridge y = a x + b lie on the fitted line to the precision of the double
// sums whatever the binning, and a pel off the ridge is excluded or
// included exactly as the 8-bit fit of the top 8 bits would exclude or
// include it.  Pels above 2^depth - 1 are
// counted in the top cell; the tool refuses them before.

// As linearFitParameters above, on 16-bit pels; mxImageNormalizerDefs::
// BadParams for a depth outside 9..16.
bool linearFitParameters(const mxPelBuffer_const<unsigned short>& image,
                         const mxPelBuffer_const<unsigned short>& reference,
                         const mxPelBuffer_const<unsigned char>& mask, const std::vector<double>& fitAngles,
                         std::int32_t depth, double& gain, double& offset);

// What one pass over paired 16-bit pels gathers for the fit, as
// FitPairCounts for 8-bit pels: exact integer totals that add up over the
// blocks of an image to the whole image's.
//   cells: per 33 x 33 cell of the bin plane (top 8 bits, row-major), the
//     joint histogram's sum (mask value per pel, 1 without a mask);
//   sums: per cell, the six exact sums of its used pels (count, r, t, r r,
//     r t, t t; r run-time, t reference), each as four 32-bit limbs, least
//     significant first, at sums[(cell * 6 + k) * 4 + limb].  Each limb is
//     held in a 64-bit counter, so totals of up to 2^32 blocks add up
//     element by element with no carry between limbs, and still give the
//     exact 128-bit sums.
struct DeepFitCounts {
  std::vector<std::uint64_t> cells = std::vector<std::uint64_t>(std::size_t(kFitBins * kFitBins), 0);
  std::vector<std::uint64_t> sums = std::vector<std::uint64_t>(std::size_t(kFitBins * kFitBins) * 24, 0);
};

// Adds the counts of image's window, paired by position with the reference
// and mask windows, to counts.  Throws as linearFitParameters.
void addDeepFitCounts(const mxPelBuffer_const<unsigned short>& image,
                      const mxPelBuffer_const<unsigned short>& reference,
                      const mxPelBuffer_const<unsigned char>& mask, std::int32_t depth, DeepFitCounts& counts);

// The line of linearFitParameters (16-bit) from gathered counts.
bool linearFitFromDeepCounts(const DeepFitCounts& counts, const std::vector<double>& fitAngles, double& gain,
                             double& offset);

// The line over 2^depth levels: entry i = i * gain + offset rounded, halves
// away from zero, into 0 .. 2^depth - 1, in single precision.  Each entry is
// computed from i directly (the 8-bit table adds gain entry by entry), so a
// 16-bit run computes it per pel with mfPelMapLine and gets its table's
// entries.
mxLevelLine deepFitLine(double gain, double offset, std::int32_t depth);

// The table of deepFitLine, 2^depth entries.
std::vector<unsigned short> linearLut(double gain, double offset, std::int32_t depth);

// As linearFitImage above, on 16-bit pels.
mxPelBuffer<unsigned short> linearFitImage(const mxPelBuffer_const<unsigned short>& image,
                                           const mxPelBuffer_const<unsigned short>& reference,
                                           const mxPelBuffer_const<unsigned char>& mask,
                                           const std::vector<double>& fitAngles, std::int32_t depth);

}  // namespace imgnorm::detail

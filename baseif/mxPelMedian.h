// Median filtering of 8-bit images (the image-processing library's median).
//
// Every pel of the source window gets the median of the pels in the
// size.x x size.y window centred on it.  Pels beyond the source window's
// edges take the value of the nearest edge pel (replicated edges, as in the
// Gaussian sampler), so every window holds size.x x size.y values and a
// border pel's median is not pulled toward the image's inside the way a
// clipped window's is: on a vignette-shaded difference with a 101-pel window
// this halves the error along the border.  No pel outside the window is
// read.  The masked form counts only pels whose mask pel is non-zero (pels
// outside the mask's window count as unset; beyond the source window's edges
// the edge pels' mask values replicate with them); the pel itself need not
// be set.
//
// Median of n values: with n odd the middle value of the sorted values; with
// n even (masked windows) the lower of the two middle values, or
// their mean rounded half up when averageMiddles is set.
//
// Range: values below range.x count as range.x and values above range.y as
// range.y before the median is taken, so every result lies within the range
// (for the lower median this is the same as clamping the result).
//
// Empty windows: a pel whose window holds no set mask pel gets its own
// source value, brought into the range in the same way; it is the median of
// the smallest neighbourhood there is, the pel alone.
//
// Cost: a constant number of operations per pel on average, whatever the
// window size (the constant-time median of Perreault and Hebert: one
// 256-bin histogram per column, slid down the image, summed into a window
// histogram that slides along each row; histograms are kept as running
// totals in 16 coarse bins and 16 fine 16-value groups, the window's fine
// groups refreshed lazily).  Memory: about 608 bytes per source column, in
// vertical strips of about 3072 source columns, so that the histograms
// stream from the caches however wide the image is.  Without a mask, for
// windows of at most 255 rows and on processors with AVX2, the median is
// found by counting instead where that pays: each source column keeps its
// window rows' counts below 32 consecutive levels shared by a strip of
// output columns, about a third of the histogram's work per pel while a
// strip's medians stay within such a band, as over the smooth differences
// the local median corrects (the histogram takes over where they do not).
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"

class IMGNORM_API mxPelMedianParams {
public:
  // size: odd window width and height, each >= 1, with size.x x size.y at
  // most 32767 (the window histograms count in 16 bits); range: the lowest
  // and highest result, 0 <= range.x <= range.y <= 255.  Checked by
  // mfPelMedian.
  mxPelMedianParams(mxPair<std::int32_t> size, mxPair<std::int32_t> range, bool averageMiddles);

  mxPair<std::int32_t> size;
  mxPair<std::int32_t> range;
  // With an even count of values: true takes the mean of the two middle
  // values (rounded half up), false the lower one.
  bool averageMiddles;
};

// Median filter of src's window into dst.  An unbound dst becomes a new
// buffer over src's window with src's transforms; a bound dst receives the
// result over the overlap of its window and src's (it may share src's
// store).  Throws mxPel::UnboundWindow for an unbound src and
// mxPelFunc::BadParams for parameters outside their ranges.
IMGNORM_API void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelMedianParams& params,
                             mxPelBuffer<unsigned char>& dst);

// The same over set mask pels only.  An unbound mask counts every pel (the
// unmasked form).
IMGNORM_API void mfPelMedian(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                             const mxPelMedianParams& params, mxPelBuffer<unsigned char>& dst);

// The masked median of 16-bit pels (an unbound mask counts every pel), with
// the same window, edges, range (here 0 <= range.x <= range.y <= 65535),
// empty-window and averageMiddles rules as the 8-bit forms, and dst as
// there.  The engine is the constant-time one of the 8-bit forms over a tree
// of 16-lane count groups, one level per 4 bits of the range's width
// (range.y - range.x: below 4096, three levels; up to 65535, four), the
// window's groups kept up to date lazily along the median's path.  Its cost
// per pel does not grow with the window, but with how far the median moves
// from pel to pel: on a 12-bit difference of 101 x 101 windows it runs about
// 3 times the 8-bit median's instructions (217 a pel against 70, AVX2); on
// a 16-bit one whose low bits are noise, where the median moves about 9
// levels a pel, about 8 times (590).  Memory: at most about 128 MiB of
// column counts (four levels; more for windows wider than about 900 pels,
// 140 KB a column), of which only the pages that values reach are used.
IMGNORM_API void mfPelMedian(const mxPelBuffer_const<unsigned short>& src,
                             const mxPelBuffer_const<unsigned char>& mask, const mxPelMedianParams& params,
                             mxPelBuffer<unsigned short>& dst);

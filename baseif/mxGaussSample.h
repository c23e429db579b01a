// Gaussian smoothing and sub-sampling of 8-bit images (the image-processing
// library's sampler).
//
// Kernel.  Per axis, a smoothing amount s >= 0 selects a bell-shaped kernel
// made of three box filters applied one after the other (a close, compact
// approximation of a Gaussian).  The kernel spans L = 2 s + 1 pels around a
// pel centre; when the output pel stands for an even-sized cell and the
// kernel is centred on that cell (see below) it spans 2 s + 2 pels around the
// boundary between the cell's two middle pels.  The three box widths add up
// to L + 2 and differ by at most one, so the standard deviation is about
// L / sqrt(12), roughly s / 1.7; s = 52 (the amount for a 101-pel
// neighbourhood) gives widths 36, 36, 35 and a standard deviation of 17.8
// pels.  This serves both kinds of caller:
//   - a local mean over a neighbourhood of k pels uses s of about k / 2: the
//     kernel's support is then about k pels and its weights fall off
//     smoothly to zero at its ends;
//   - sub-sampling by a factor g uses s = g - 1: the support, 2 g - 1 or 2 g
//     pels, covers the output pel's whole g-pel cell, so every source pel of
//     the cell contributes (no bare decimation) and its neighbours damp
//     aliasing.
// s = 0 with an odd cell is the identity.
//
// Sampling grid.  With sampling factors (gx, gy), output pel (i, j) stands
// for the source cell [i gx, (i+1) gx) x [j gy, (j+1) gy) in image
// coordinates: the grid is anchored at image coordinate 0, not at the
// window, so the result's image coordinates are the source's divided by the
// factors.  The result covers every cell that holds a source window pel:
// x from floor(x0 / gx) to floor((x0 + w - 1) / gx), likewise in y.  Two
// images sub-sampled with equal factors therefore pair cell by cell wherever
// their windows overlap, and sub-sampling equal windows gives equal result
// windows.  With factors (1, 1) the result covers the source's window.
// The result's client-from-image transform is the source's composed with the
// scaling by the factors, so both map corresponding points to the same
// client coordinates.
//
// Borders.  Pels beyond the source window's edge take the value of the
// nearest edge pel (replicated edges).  Every output is thus a weighted mean
// of window pels with non-negative weights summing to 1, and no pel outside
// the window is ever read.
//
// Exactness.  The box filters keep integer running sums; between passes the
// values are rounded to 1/256 of a grey level (8 fraction bits), and the
// output is gain x the weighted mean rounded to the nearest integer.  So a
// constant image v gives exactly gain x v whenever that is a whole number
// (128 v in the 16-bit form with gain 128, v in the 8-bit form with gain 1),
// no output exceeds gain x (the window's largest pel) rounded, and a pel-wise
// larger source never gives a smaller result (the filter is monotone).
//
// Cost.  Each box filter is a running sum: a constant number of operations
// per pel whatever the smoothing, streamed along whole rows (or transposed
// blocks of 64 rows) so that the compiler vectorises it.  Only when the
// kernel is longer than the image does the replicated padding add work in
// proportion to the kernel length.  The two stages run interleaved, 64
// output rows at a time, so the intermediate rows are used while they are in
// cache; the cost per pel does not grow with the image.  Scratch memory:
// about 400 bytes per source column for the vertical sums and rings plus
// three blocks of 64 16-bit rows, kept by each thread for its next call.
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"

class IMGNORM_API mxGaussSampleParams {
public:
  // sample: sampling factors (>= 1); smoothing: the amounts s per axis
  // (0 .. 32767); gain: the factor on the weighted mean (0 .. 65535);
  // centred: see below.  The values are checked by mfGaussSample.
  mxGaussSampleParams(mxPair<std::int32_t> sample, mxPair<std::int32_t> smoothing, double gain, bool centred);

  mxPair<std::int32_t> sample;
  mxPair<std::int32_t> smoothing;
  double gain;
  // true: each output pel's kernel is centred on the centre of its cell, so
  // the sub-sampled image is not shifted against its source.  false: it is
  // centred on the cell's first pel (pyramid-style decimation at pels
  // i gx, j gy); the result's client transform then includes that shift of
  // (g - 1) / 2 source pels.  No effect with factor 1 on an axis.
  bool centred;
  // What happens when gain x 255 exceeds the output type's largest value:
  // false (the default) rejects such a gain with mxPelFunc::BadParams before
  // anything is written; true accepts it and clamps results to the largest
  // value.
  bool saturate = false;
};

// Smooths src's window and samples it on the grid above into a new 8-bit
// image with src's transforms composed with the sampling.  Outputs above 255
// clamp (with saturate) to 255.  Throws mxPel::UnboundWindow for an unbound
// src, mxPelFunc::BadParams for parameters outside their ranges, and
// mxBadPointer when sampling (a factor above 1) a src without a
// client-from-image transform.
IMGNORM_API mxPelBuffer<unsigned char> mfGaussSample(const mxPelBuffer_const<unsigned char>& src,
                                                     const mxGaussSampleParams& params);

// The same into a 16-bit destination.  An unbound dst becomes a new buffer
// over the result's window with src's transforms (composed with the
// sampling); a bound dst keeps its window and transforms and receives the
// part of the result that falls within its window.  With factors (1, 1) and
// gain 128 each pel is 128 x the weighted local mean, at most 32640.
IMGNORM_API void mfGaussSample(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& params,
                               mxPelBuffer<unsigned short>& dst);

// The same smoothing of 16-bit pels of a declared bit depth (9 to 16, else
// mxPelFunc::BadParams; pels above it are the caller's to refuse), into a
// 16-bit destination as above.  The values carried between the stages are
// 2^(16 - depth) times the levels, rounded at each of the six boxes, so at
// depth 16 a pel's weighted local mean (gain 1) is within a few levels of the
// unrounded one.  gain x (2^depth - 1) must fit 16 bits unless saturate is set.
IMGNORM_API void mfGaussSample(const mxPelBuffer_const<unsigned short>& src, std::int32_t depth,
                               const mxGaussSampleParams& params, mxPelBuffer<unsigned short>& dst);

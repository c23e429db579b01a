// Local background correction: the run path of eLocalCorrection and
// eLocalCorrectionEnhanced, and the mask products training prepares for it.
// Internal to the library (not exported).
//
// The correction forms the clamped difference D = 128 + clamp(image -
// reference) (offset-128 form), estimates its slowly varying part around
// every pel -- a Gaussian-weighted mean (eLocalCorrection) or a median
// (eLocalCorrectionEnhanced) over the neighbourhood, over set mask pels only
// when there is a mask -- and subtracts that estimate from the image.  With a
// granularity above 1 the estimate is computed on a grid sub-sampled by the
// granularity (see mxGaussSample.h for the grid: its pels stand for
// granularity-sized cells anchored at image coordinate 0) and stretched back
// to full size: grid pel i stands for the cell [i g, (i + 1) g) and its value
// is placed at the cell's centre, and full-resolution pels are interpolated
// linearly between the cell centres around them (the grid's edge cells
// replicated).  The sub-sampled difference, sampledMask and maskCoverage all
// lie on that grid.  The sub-sampled mean carries 8 fraction bits from the
// cells to the interpolation, and with a mask it is a normalised convolution
// through both stages (cell sums of the differences of set pels and cell
// coverages, both smoothed, then divided), so it stays as exact as the
// full-resolution mean; it uses neither sampledMask nor maskCoverage.
//
// Edges.  Every filter here (the sampler, the Gaussian mean, the median)
// replicates the edge pels of the overlap R it works on, and the masked
// mean divides by a coverage smoothed over the same window with the same
// edges (the trained maskCoverage when R is the mask's whole window, else
// one computed over R), so a partial overlap gives the weighted mean over set
// mask pels inside R.  Together with the grid anchored at image coordinate
// 0, the result at a pel depends only on the pels of R within a fixed reach
// of it and on where R's edges are, never on R's size.
//
// Blocks.  A block-wise engine that corrects a block B by running on the
// overlap R' = (B grown by a halo on every side) intersected with R gets, at
// every pel of B, exactly the pel of the whole-R run when the halo is at
// least localCorrectionHalo(method, neighborhoodSize, granularity), per axis
// with K the working-grid neighbourhood (sampledNeighborhood) and g the
// granularity:
//   reach rho on the working grid:
//     mean:   the smoothing amount s(K) (smoothingForNeighborhood, at most
//             32767): the Gaussian kernel spans 2 s + 1 grid pels;
//     median: (K' - 1) / 2 with K' = limitedMedianSize(K) (0 when K is 1 x 1);
//   halo = rho                 without sub-sampling (g 1, or neighbourhood 1 x 1),
//   halo = (rho + 3) x g       with sub-sampling: a pel reads the two cells
//                              around it (1.5 g), each cell's estimate reads
//                              rho cells on either side, and each cell's
//                              sampler kernel reaches g / 2 beyond the cell.
// Where B touches an edge of R the edge is R's own, so no halo is needed
// there.  The sampled mask (of the median) and a trained coverage are the
// tool's, not the block's, and need no halo; the sub-sampled mean samples
// the mask over R with the same kernels as the difference.
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxGaussSample.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "imgnorm/mxImageNormalizerDefs.h"

namespace imgnorm::detail {

struct LocalGainFields;  // localGain.h

// What training stores for the local methods (localCorrectionMasks); all
// unbound without a mask.
struct LocalMasks {
  mxPelBuffer_const<unsigned char> binarized;  // the mask as 0 and 255
  mxPelBuffer_const<unsigned char> sampled;    // on the sub-sampled grid
  mxPelBuffer_const<unsigned short> coverage;  // the mean's mask coverage
};

// The parameters of one local correction.
struct LocalParams {
  mxImageNormalizerDefs::Method method;
  mxPair<std::int32_t> neighborhoodSize;
  mxPair<std::int32_t> granularity;
  mxPair<std::int32_t> intensityVariationRange;
  bool keep = false;  // put the image's own pels back where the mask is 0
  // eLocalGain and eLocalLinear: when set, given the fields the run divided
  // out (localGain.h), for display.
  LocalGainFields* fields = nullptr;
  // When bound over the part of R that only asks for (8-bit pels), the
  // full-resolution mean and median write their result there and result
  // shares its store: a run split over threads writes each band straight
  // into the image's result.  The other paths make a store of their own.
  mxPelBuffer<unsigned char> into{};
};

// Corrects image (already cut by the caller to its overlap with the
// reference and the mask) into result, which is replaced by a new buffer over
// R, the common window of image, reference and (when bound) masks.binarized,
// carrying image's transforms.  params.method is one local method of the
// table (any other value builds no estimate, and the subtraction then throws
// mxPel::UnboundWindow); eLocalGain and eLocalLinear are runLocalGain's.  With params.keep and a
// mask, the image's own pels are put back where the mask is 0.  Records no
// diagnostics.  Errors of the functions it calls pass through (for example
// mxPelFunc::BadParams for a granularity below 1).  Any granularity and
// image size is accepted: a granularity beyond R on an axis is taken as R's
// size there (R at image coordinate 0 is then one cell), and smoothing amounts beyond the sampler's largest
// (32767) are clamped to it.  With only, the result covers just only's part
// of R (the pels a whole-R run gives there): the full-resolution mean and
// median and the interpolation back from the sub-sampled grid then make no
// other pel, the other paths cut their result to it.
void runLocalCorrection(const mxPelBuffer_const<unsigned char>& image,
                        const mxPelBuffer_const<unsigned char>& reference, const LocalMasks& masks,
                        const LocalParams& params, mxPelBuffer<unsigned char>& result, const mxPelRect* only = nullptr);

// dst = 128 x the Gaussian-weighted local mean of src over a neighbourhood
// of size pels (smoothing from smoothingForNeighborhood), over src's window,
// with src's transforms.  A constant image v gives 128 v; no pel exceeds
// 32640.  src's pels are not changed and its transforms are the same on
// return (a non-linear image-from-client transform is replaced by the
// identity during the call).  Throws mxBadPointer when src has no
// image-from-client transform.
void scaledLocalMean(mxPelBuffer<unsigned char>& src, const mxPair<std::int32_t>& size,
                     mxPelBuffer<unsigned short>& dst);

// The Gaussian smoothing amount per axis for a neighbourhood length k:
// sqrt(k^2 / 4 - 2) (0 when negative) rounded up, then up to the next even
// number.  1 -> 0, 3 -> 2, 7 -> 4, 101 -> 52, 201 -> 102.
mxPair<std::int32_t> smoothingForNeighborhood(const mxPair<std::int32_t>& size);

// dst = the low 8 bits of src >> shift over the overlap of the windows
// (shift 0 .. 15, else mxPelFunc::BadParams); dst gets src's transforms and
// is created over src's window when unbound.  An unbound src makes dst
// unbound.
void pelShiftDown(const mxPelBuffer_const<unsigned short>& src, std::uint32_t shift, mxPelBuffer<unsigned char>& dst);

// What training stores for the local methods, from binarizedMask (0 and
// 255; unbound when there is no mask):
//   sampledMask: when the mask is bound and granularity exceeds 1 on some
//     axis, the mask sub-sampled by the same Gaussian sampler the run uses,
//     re-binarized (below 128 to 0, else 255) and dilated by the 3x3
//     diamond; otherwise unbound.
//   maskCoverage: when the mask is bound and withCoverage (eLocalCorrection
//     is trained), scaledLocalMean of a copy of sampledMask (when bound, else
//     of binarizedMask) with the neighbourhood reduced to the sampled grid,
//     ((neighborhoodSize / granularity) | 1 per axis); otherwise unbound.
// Throws mxPelFunc::BadParams for a granularity element below 1.
void localCorrectionMasks(const mxPelBuffer_const<unsigned char>& binarizedMask,
                          const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                          bool withCoverage, mxPelBuffer<unsigned char>& sampledMask,
                          mxPelBuffer<unsigned short>& maskCoverage);

// The neighbourhood on the working grid: ((size / granularity) | 1) per axis
// (odd).  Throws mxPelFunc::BadParams for a granularity element below 1.
mxPair<std::int32_t> sampledNeighborhood(const mxPair<std::int32_t>& size, const mxPair<std::int32_t>& granularity);

// The halo per axis that a block needs for results identical to the whole
// run (see Blocks above).  Throws mxPelFunc::BadParams for a granularity
// element below 1.
mxPair<std::int32_t> localCorrectionHalo(mxImageNormalizerDefs::Method method,
                                         const mxPair<std::int32_t>& neighborhoodSize,
                                         const mxPair<std::int32_t>& granularity);

// The median window of eLocalCorrectionEnhanced: size shrunk two pels at a
// time, the longer side first and the y side on a tie, until it holds at
// most 32767 pels.  Both sides stay odd.
mxPair<std::int32_t> limitedMedianSize(const mxPair<std::int32_t>& size);

// Parts shared with the local gain methods (localGain.h), which work on the
// same grid with the same kernels.
// The sub-sampler of the working grid: factors granularity, smoothing one
// less (clamped to the sampler's largest), centred cells, the given gain.
mxGaussSampleParams gridSamplerParams(const mxPair<std::int32_t>& granularity, double gain);
// The local mean over the working-grid neighbourhood k: factors (1, 1),
// smoothingForNeighborhood(k) clamped, the given gain.
mxGaussSampleParams localMeanParams(const mxPair<std::int32_t>& k, double gain);
// How a full-resolution pel is interpolated from the working grid (see the
// top of this file): pel origin + i of an axis with granularity g lies
// between grid pels lo and hi (indices relative to the grid window, which
// starts at grid coordinate first and holds cells pels; edge cells
// replicated), with weight w / 256 on hi.
struct GridTap {
  std::int32_t lo, hi;
  std::uint32_t w;  // 0 .. 256
};
std::vector<GridTap> gridTaps(std::int32_t origin, std::int32_t count, std::int32_t g, std::int32_t first,
                              std::int32_t cells);

// The local methods on 16-bit images of a declared bit depth (9 to 16, else
// mxPelFunc::BadParams), as runLocalCorrection above (the same window R, the
// same grid, granularity clamp and edges, so the same halo serves the block
// engine; params.keep and params.fields are not used).  The difference is
// taken in offset-2^(depth - 1) form and clamped to min(max(-range.x,
// range.y), 2^(depth - 1) - 1).
//   eLocalCorrection: its Gaussian-weighted mean comes from the same sampler
//     as the 8-bit mean, run on the difference's high and low bytes (the
//     mean is linear), so it is within about one deep level of the exact
//     mean; with a mask it is the normalised convolution over set pels.  At
//     full resolution excluded pels get the estimate 0 (as the 8-bit
//     correction has it); on the sub-sampled grid the 8-bit grid estimate of
//     each byte is used.
//   eLocalCorrectionEnhanced: the median (16-bit mfPelMedian) over the
//     8-bit method's limited window and set mask pels (the sampled mask on
//     the grid), within the range of differences (range + 2^(depth - 1),
//     held to 0 .. 2^depth - 1), middles averaged.
// result = clamp(image - estimate + 2^(depth - 1), 0, 2^depth - 1) over R
// (only's part of it when given: on the sub-sampled grid, the only part
// interpolated), with image's transforms; unbound when R is empty.  Any other method throws mxPel::UnboundWindow.
void runLocalCorrection(const mxPelBuffer_const<unsigned short>& image,
                        const mxPelBuffer_const<unsigned short>& reference, const LocalMasks& masks,
                        const LocalParams& params, std::int32_t depth, mxPelBuffer<unsigned short>& result,
                        const mxPelRect* only = nullptr);

}  // namespace imgnorm::detail

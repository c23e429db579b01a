#include "imgnorm/localCorrection.h"
#include "imgnorm/localGain.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/gaussRows.h"
#include "baseif/detail/pelKernels.h"
#include "baseif/mx2Xform.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxPelMedian.h"
#include "baseif/mxPelOps.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"

using mxImageNormalizerDefs::Method;

namespace imgnorm::detail {

namespace {

constexpr std::int64_t kMedianArea = 32767;

void checkGranularity(const mxPair<std::int32_t>& granularity) {
  if (granularity.x() < 1 || granularity.y() < 1)
    throw mxPelFunc::BadParams(L"local correction: both elements of granularity must be >= 1");
}

// The largest smoothing amount the Gaussian sampler takes.  Larger amounts
// (from neighbourhoods or granularities far larger than any image) are
// clamped to it wherever the sampler is called: the result is then as flat
// over the image as it can get, and training and running still work.
constexpr std::int32_t kMaxSmoothing = 32767;

mxPair<std::int32_t> clampedSmoothing(const mxPair<std::int32_t>& amount) {
  return {std::min(amount.x(), kMaxSmoothing), std::min(amount.y(), kMaxSmoothing)};
}

// The sub-sampler of the working grid (gridSamplerParams), gain 1 unless said.
mxGaussSampleParams gridSampler(const mxPair<std::int32_t>& granularity, double gain = 1.0) {
  return gridSamplerParams(granularity, gain);
}

// A granularity larger than the overlap R on an axis is taken as R's size
// there: a coarser grid has no more cells over R (one cell when R starts on
// the grid, as an image at coordinate 0 does), only kernels reaching further
// into R's replicated edges, whose weights would end up on R's last row and
// column alone.  Granularities within R are used as they are.  The block
// engine's contexts, at least three cells beyond their block (or the whole
// of R), keep R's clamp.
mxPair<std::int32_t> effectiveGranularity(const mxPair<std::int32_t>& granularity, const mxPelRect& r) {
  return {std::max(1, std::min(granularity.x(), r.width())), std::max(1, std::min(granularity.y(), r.height()))};
}

// The mask sub-sampled onto the working grid, re-binarized (a cell at least
// half covered is set) and dilated by the 3x3 diamond.
mxPelBuffer<unsigned char> sampleMask(const mxPelBuffer_const<unsigned char>& mask,
                                      const mxPair<std::int32_t>& granularity) {
  mxPelBuffer<unsigned char> sampled = mfGaussSample(mask, gridSampler(granularity));
  std::vector<unsigned char> table(256, 255);
  std::fill(table.begin(), table.begin() + 128, 0);
  mfPelMap(sampled, table, sampled);
  const mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(sampled);
  mfBinaryMorph3x3Diamond(copy, true, sampled);
  return sampled;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The coverage that divides a masked local sum: the trained one when the
// caller has it for this window (bound), else the mask window smoothed here
// with the same kernel and edges.
mxPelBuffer_const<unsigned short> coverageOver(const mxPelBuffer_const<unsigned short>& trained,
                                               const mxPelBuffer_const<unsigned char>& mw,
                                               const mxPair<std::int32_t>& k) {
  if (trained.isBound()) return trained;
  mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(mw);
  mxPelBuffer<unsigned short> fresh;
  scaledLocalMean(copy, k, fresh);
  return fresh;
}

// The grid rows of the sub-sampled mean, built for each instruction set:
// splitBytes takes a row of cells (values x 256) apart into its high and low
// bytes; addLowBytes and divideByCoverage turn o, 256 x the grid mean of the
// high bytes, into the estimate (values x 256) once the low bytes' mean l
// (also x 256) is known, without and with the coverage c.
void splitBytes(const std::uint16_t* v, unsigned char* h, unsigned char* l, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* v, unsigned char* h, unsigned char* l, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) h[i] = (unsigned char)(v[i] >> 8), l[i] = (unsigned char)v[i];
      },
      v, h, l, w);
}

void addLowBytes(std::uint16_t* o, const std::uint16_t* l, std::int32_t w) {
  mxcpu::dispatch(
      [](std::uint16_t* o, const std::uint16_t* l, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::uint32_t v = (std::uint32_t(o[i]) * 256u + l[i] + 128u) >> 8;
          o[i] = std::uint16_t(v < 65280u ? v : 65280u);
        }
      },
      o, l, w);
}

// num: 65536 x the weighted mean of the centred differences (0 at excluded
// pels); c: 65280 x the weighted coverage; the estimate is
// 256 x (128 + (num / 65536) / (c / 65280)), 128 where c is 0.  num x 255
// lies below 2^31 and the quotient is clamped, so it never wraps.
void divideByCoverage(std::uint16_t* o, const std::uint16_t* l, const std::uint16_t* c, std::int32_t w) {
  mxcpu::dispatch(
      [](std::uint16_t* o, const std::uint16_t* l, const std::uint16_t* c, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::int32_t num = std::int32_t(o[i]) * 256 + l[i] - 128 * 65536;
          const float den = float(c[i] > 0 ? c[i] : 1);
          float q = c[i] > 0 ? 32768.0f + float(num) * 255.0f / den : 32768.0f;
          q = q < 0.0f ? 0.0f : (q > 65280.0f ? 65280.0f : q);
          o[i] = std::uint16_t(std::int32_t(q + 0.5f));
        }
      },
      o, l, c, w);
}

// 128 + (x - y) clamped to -c .. c (c at most 127), in byte arithmetic
// (saturating differences and minima) so that it runs a whole register of
// pels per instruction.
MX_KERNEL_INLINE inline unsigned char clampedByte(unsigned char x, unsigned char y, std::int32_t c) {
  const unsigned char cc = (unsigned char)c;
  const unsigned char up = x > y ? (unsigned char)(x - y) : 0;
  const unsigned char down = y > x ? (unsigned char)(y - x) : 0;
  return (unsigned char)(128 + (up < cc ? up : cc) - (down < cc ? down : cc));
}

// D = 128 + clamp(img - ref, -c, +c) with c = min(amount, 127) over img's
// window (ref covers it): the clamped difference in offset-128 form, a row
// at a time.  With a mask (covering the window) and eNeutral, pels where it
// is 0 get 128, the offset-128 zero, so that they add nothing to a sum of
// centred differences; with eFloor each pel is the smaller of D and the
// mask, the masked mean's dividend (0 where the mask is 0).
class ClampedDifference {
public:
  enum Excluded { eNeutral, eFloor };

  ClampedDifference(const mxPelBuffer_const<unsigned char>& img, const mxPelBuffer_const<unsigned char>& ref,
                    unsigned char amount, const mxPelBuffer_const<unsigned char>& mask = {}, Excluded how = eNeutral)
      : img_(img), ref_(ref), mask_(mask), how_(how), c_(std::min<std::int32_t>(amount, 127)) {}

  // The clamp of the difference, 0 .. 127.
  std::int32_t clamp() const { return c_; }
  // Row j of the reference under the window (0 = the window's top).
  const unsigned char* referenceRow(std::int32_t j) const {
    return ref_.pointToPel(img_.window().x(), img_.window().y() + j);
  }
  // The same difference floored by mask (eFloor).
  ClampedDifference floored(const mxPelBuffer_const<unsigned char>& mask) const {
    ClampedDifference d = *this;
    d.mask_ = mask;
    d.how_ = eFloor;
    return d;
  }

  // Row j of D (0 = the window's top) into o.
  void row(std::int32_t j, unsigned char* o) const {
    const mxPelRect& r = img_.window();
    const unsigned char* a = img_.row(j);
    const unsigned char* b = ref_.pointToPel(r.x(), r.y() + j);
    // The next row's pels, asked for now when rows lie apart (a block's).
    if (j + 1 < r.height() && mxkernel::rowsApart(r.width(), img_.rowStrideBytes())) {
      mxkernel::prefetchBytes(img_.row(j + 1), r.width());
      mxkernel::prefetchBytes(ref_.pointToPel(r.x(), r.y() + j + 1), r.width());
    }
    if (mask_.isBound() && how_ == eNeutral)
      mxcpu::dispatch(
          [](const unsigned char* a, const unsigned char* b, const unsigned char* m, unsigned char* o, std::int32_t w,
             std::int32_t c) MX_KERNEL_INLINE {
            for (std::int32_t i = 0; i < w; ++i) {
              const unsigned char v = clampedByte(a[i], b[i], c);
              o[i] = m[i] == 0 ? (unsigned char)128 : v;
            }
          },
          a, b, mask_.pointToPel(r.x(), r.y() + j), o, r.width(), c_);
    else if (mask_.isBound())
      mxcpu::dispatch(
          [](const unsigned char* a, const unsigned char* b, const unsigned char* m, unsigned char* o, std::int32_t w,
             std::int32_t c) MX_KERNEL_INLINE {
            for (std::int32_t i = 0; i < w; ++i) {
              const unsigned char v = clampedByte(a[i], b[i], c);
              o[i] = v < m[i] ? v : m[i];
            }
          },
          a, b, mask_.pointToPel(r.x(), r.y() + j), o, r.width(), c_);
    else
      mxcpu::dispatch(
          [](const unsigned char* a, const unsigned char* b, unsigned char* o, std::int32_t w, std::int32_t c)
              MX_KERNEL_INLINE {
                for (std::int32_t i = 0; i < w; ++i) o[i] = clampedByte(a[i], b[i], c);
              },
          a, b, o, r.width(), c_);
  }

  // D made whole, in a new buffer with img's transforms.
  mxPelBuffer<unsigned char> whole() const {
    mxPelBuffer<unsigned char> d(img_.window(), 32, mxPelInit::eUnwritten);
    d.copyXforms(img_);
    for (std::int32_t j = 0; j < img_.window().height(); ++j) row(j, d.row(j));
    return d;
  }

  // Makes D's rows on demand for the sampler (see gaussSampleRows).
  mxkernel::GaussRowMaker maker() const {
    return [this](std::int32_t j, unsigned char* o) { row(j, o); };
  }

private:
  mxPelBuffer_const<unsigned char> img_, ref_, mask_;
  Excluded how_;
  std::int32_t c_;
};

// The mean estimate (eLocalCorrection) on the sub-sampled grid, as values x
// 256 (8 fraction bits), so that the interpolation back to full size starts
// from the estimate itself, not from one rounded to a whole grey level per
// cell.  d makes the clamped difference over R (window r) with excluded pels
// already 128 (a zero difference); m is the full-resolution mask over R, or
// unbound.  With coverage, the smoothed coverage (0: no set pel within
// reach) is handed out too.
//
// The cells of d are sampled with 8 fraction bits too (gain 256): rounding
// each cell to a whole grey level biases the mean of a slope by up to a
// tenth of a grey level.  The sampler takes 8-bit sources and the mean is
// linear, so the grid mean smooths the cells' high and low bytes separately
// and adds them.
//
// With a mask it is a normalised convolution through both stages: each cell
// holds the weighted sum of the centred differences (d - 128) of its set
// pels, the mask sampled the same way gives its coverage (the weighted
// fraction of set pels), the grid mean smooths both, and their quotient is
// the weighted mean of the differences over set pels only.  A cell the mask
// covers in part thus counts by its coverage instead of mixing the excluded
// pels' zero difference into the estimate.  Where no set pel lies within
// reach the estimate is 128 (no correction).  Both come from R alone, so the
// estimate depends on R's pels within a fixed reach only.
mxPelBuffer<unsigned short> sampledMeanEstimate(const mxkernel::GaussRowMaker& d, const mxPelRect& r,
                                                const mxPelBuffer_const<unsigned char>& m,
                                                const mxPair<std::int32_t>& k, const mxPair<std::int32_t>& granularity,
                                                mxPelBuffer<unsigned short>* coverage = nullptr) {
  const mxPelRect gw = mxkernel::gaussSampleWindow(r, granularity);
  const std::int32_t w = gw.width(), h = gw.height();
  // One store for every grid plane (a large one is recycled, not faulted in
  // again): the estimate e, the coverage c, and the cells' high and low
  // bytes side by side in the rows below.
  const int planes = m.isBound() ? 3 : 2;
  const auto store = std::make_shared<mxPelBuffer<unsigned short>>(
      mxPelRect(0, 0, std::max(w, 1), std::max(h, 1) * planes), 32, mxPelInit::eUnwritten);
  const std::ptrdiff_t bytes = store->rowStrideBytes();
  auto plane = [&](int i) { return store->row(std::max(h, 1) * i); };
  const mxPair<std::int32_t> origin(gw.x(), gw.y());
  mxPelBuffer<unsigned short> e = mxPelBuffer<unsigned short>::wrap(plane(0), w, h, bytes, store, origin), c;
  const auto bytesAt = [&](std::ptrdiff_t offset) {
    return mxPelBuffer<unsigned char>::wrap(reinterpret_cast<unsigned char*>(plane(planes - 1)) + offset, w, h, bytes,
                                            store, origin);
  };
  const mxPelBuffer<unsigned char> hi = bytesAt(0), lo = bytesAt(w);
  if (m.isBound()) c = mxPelBuffer<unsigned short>::wrap(plane(1), w, h, bytes, store, origin);
  mxkernel::gaussSampleRows(r, d, gridSampler(granularity, 256.0),
                            [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
                              for (std::int32_t j = 0; j < count; ++j)
                                splitBytes(rows + std::ptrdiff_t(j) * stride, hi.row(j0 + j), lo.row(j0 + j), w);
                            });
  // e first holds 256 x the grid mean of the high bytes, then the estimate.
  const mxGaussSampleParams mean({1, 1}, clampedSmoothing(smoothingForNeighborhood(k)), 256.0, true);
  if (gw.isNull()) return e;
  mfGaussSample(hi, mean, e);
  // 256 x 255 x the smoothed coverage (the cells' coverage in whole 1/255).
  if (m.isBound()) mfGaussSample(mfGaussSample(m, gridSampler(granularity)), mean, c);
  if (coverage) *coverage = c;
  mxkernel::gaussSampleRows(lo, mean,
                            [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
                              for (std::int32_t j = 0; j < count; ++j) {
                                const std::uint16_t* l = rows + std::ptrdiff_t(j) * stride;
                                if (c.isBound())
                                  divideByCoverage(e.row(j0 + j), l, c.row(j0 + j), w);
                                else
                                  addLowBytes(e.row(j0 + j), l, w);
                              }
                            });
  return e;
}

// The correction of one row: out = clamp(img - estimate + 128, 0, 255).
MX_KERNEL_INLINE inline unsigned char corrected(unsigned char img, std::int32_t estimate) {
  const std::int32_t v = std::int32_t(img) - estimate + 128;
  return (unsigned char)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// out = clamp(img - estimate + 128) for one row of estimates.
void correctRow(const unsigned char* img, const unsigned char* estimate, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const unsigned char* img, const unsigned char* estimate, unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) out[i] = corrected(img[i], estimate[i]);
      },
      img, estimate, out, w);
}

// One output row of the interpolation back to full size, corrected at once:
// the estimate is the blend of two widened grid rows (values x 256) with
// weights wa + wb = 256, rounded.
void blendAndCorrect(const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb,
                     const unsigned char* img, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb, const unsigned char* img,
         unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i)
          out[i] = corrected(img[i], std::int32_t((a[i] * wa + b[i] * wb + 32768u) >> 16));
      },
      a, b, wa, wb, img, out, w);
}

// The same for 16-bit pels of a grid of whole deep levels:
// out = clamp(img - estimate + half, 0, top).
void blendAndCorrect(const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb,
                     const unsigned short* img, unsigned short* out, std::int32_t w, std::int32_t half,
                     std::int32_t top) {
  mxcpu::dispatch(
      [](const std::uint16_t* a, const std::uint16_t* b, std::uint32_t wa, std::uint32_t wb, const unsigned short* img,
         unsigned short* out, std::int32_t w, std::int32_t half, std::int32_t top) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::int32_t v = std::int32_t(img[i]) - std::int32_t((a[i] * wa + b[i] * wb + 128u) >> 8) + half;
          out[i] = (unsigned short)(v < 0 ? 0 : (v > top ? top : v));
        }
      },
      a, b, wa, wb, img, out, w, half, top);
}

// Rows of the full-resolution mean's correction without a mask: the
// estimate is the low 8 bits of the 16-bit mean b shifted down by 7.
void shiftAndCorrect(const std::uint16_t* b, const unsigned char* img, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* b, const unsigned char* img, unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) out[i] = corrected(img[i], std::int32_t((b[i] >> 7) & 255));
      },
      b, img, out, w);
}

// Rows of the full-resolution masked mean's correction: the estimate is the
// normalised convolution e = (b x 255 + c / 2) / c, the mean of the
// difference over set mask pels, at most 255; where the coverage c is 0
// (possible only when the kernel is so wide that a lone pel's weight rounds
// away) the pel's own dividend min(D, m), D the clamped difference of img
// and ref at clamp k; 0 at unset pels.  The dividend stays below 2^24 and
// the divisor below 2^15, so the single-precision quotient (of exactly
// converted 32-bit integers, which vectorises on every instruction set)
// truncates to the integer quotient exactly.
void divideAndCorrect(const std::uint16_t* b, const std::uint16_t* c, const unsigned char* m, const unsigned char* img,
                      const unsigned char* ref, std::int32_t k, unsigned char* out, std::int32_t w) {
  mxcpu::dispatch(
      [](const std::uint16_t* b, const std::uint16_t* c, const unsigned char* m, const unsigned char* img,
         const unsigned char* ref, std::int32_t k, unsigned char* out, std::int32_t w) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::int32_t den = c[i];
          // (den | (den == 0): 1 for 0, without a select; see below.)
          const float q = float(std::int32_t(b[i]) * 255 + den / 2) / float(den | std::int32_t(den == 0));
          const std::int32_t v = std::min(std::int32_t(q), 255);
          const unsigned char d = clampedByte(img[i], ref[i], k);
          const std::int32_t own = d < m[i] ? d : m[i];
          // The choices as masks: as selects, the compiler makes them
          // branches around the division, and the loop does not vectorise.
          const std::int32_t useOwn = -std::int32_t(den == 0), set = -std::int32_t(m[i] != 0);
          const std::int32_t estimate = ((own & useOwn) | (v & ~useOwn)) & set;
          out[i] = corrected(img[i], estimate);
        }
      },
      b, c, m, img, ref, k, out, w);
}

// Whether into's store holds keep; b is then the view of it over keep.
bool viewInto(const mxPelBuffer<unsigned char>& into, const mxPelRect& keep, mxPelBuffer<unsigned char>& b) {
  if (!into.isBound() || !into.window().contains(keep)) return false;
  b = into;
  b.window(keep, false);
  return true;
}

// The full-resolution mean's correction, streamed: the Gaussian mean of the
// difference (or of the difference at set pels) comes a block of rows at a
// time and each row is divided or shifted down and subtracted from the image
// while it is in cache, so no image-sized 16-bit mean or 8-bit estimate is
// kept.  The difference itself is made row by row as the sampler reads it,
// so it is never whole either.  Only the pels of keep (within img's window)
// are made: the sampler stops after its last row, and rows before its first
// are smoothed vertically only.
mxPelBuffer<unsigned char> meanCorrection(const mxPelBuffer_const<unsigned char>& img, const ClampedDifference& diff,
                                          const mxPelBuffer_const<unsigned char>& m,
                                          const mxPelBuffer_const<unsigned short>& coverage,
                                          const mxPair<std::int32_t>& k, const mxPelRect& keep,
                                          const mxPelBuffer<unsigned char>& into) {
  const mxPelRect& r = img.window();
  mxPelBuffer<unsigned char> out;
  if (!viewInto(into, keep, out)) out = mxPelBuffer<unsigned char>(keep, 32, mxPelInit::eUnwritten);
  if (keep.isNull()) return out;
  mxGaussSampleParams params({1, 1}, clampedSmoothing(smoothingForNeighborhood(k)), 128.0, true);
  params.saturate = true;
  // Result rows (relative to r) and the first column to keep; the sampler
  // need not make the columns after the last one kept.
  const std::int32_t rowBegin = keep.y() - r.y(), rowEnd = rowBegin + keep.height(), dx = keep.x() - r.x();
  const std::int32_t w = keep.width();
  if (!m.isBound()) {
    mxkernel::gaussSampleRows(
        r, diff.maker(), params,
        [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
          for (std::int32_t j = 0; j < count; ++j) {
            const std::int32_t y = r.y() + j0 + j;
            shiftAndCorrect(rows + std::ptrdiff_t(j) * stride + dx, img.pointToPel(keep.x(), y),
                            out.pointToPel(keep.x(), y), w);
          }
        },
        rowBegin, rowEnd, dx + w);
    return out;
  }
  mxPelBuffer_const<unsigned char> mw = m;
  mw.window(r, false);
  const ClampedDifference dividend = diff.floored(mw);
  const mxPelBuffer_const<unsigned short> c = coverageOver(coverage, mw, k);
  mxkernel::gaussSampleRows(
      r, dividend.maker(), params,
      [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
        for (std::int32_t j = 0; j < count; ++j) {
          const std::int32_t y = r.y() + j0 + j;
          divideAndCorrect(rows + std::ptrdiff_t(j) * stride + dx, c.pointToPel(keep.x(), y),
                           mw.pointToPel(keep.x(), y), img.pointToPel(keep.x(), y), diff.referenceRow(j0 + j) + dx,
                           diff.clamp(), out.pointToPel(keep.x(), y), w);
        }
      },
      rowBegin, rowEnd, dx + w);
  return out;
}

// img cut to the part of its window that only asks for (all of it without
// only, or when only lies beside it): the pels a full-resolution step need
// make, the rest of R being context.
template <class Pel>
mxPelBuffer_const<Pel> keptPart(mxPelBuffer_const<Pel> img, const mxPelRect* only) {
  const mxPelRect keep = only ? only->intersect(img.window(), false) : mxPelRect();
  if (!keep.isNull()) img.window(keep, false);
  return img;
}

// Brings an estimate on the working grid back to full resolution over r.
// Grid pel i stands for the cell [i g, (i + 1) g) of image coordinates (the
// grid is anchored at image coordinate 0), so its value belongs at the cell's
// centre i g + (g - 1) / 2: pel x lies at grid position (2 x + 1 - g) / (2 g)
// and is interpolated linearly between the two grid pels around it, the
// grid's edge pels replicated beyond its window.  A pel's value thus depends
// on the grid pels next to it only, never on r's size.  The grid holds
// values x 256 (8 fraction bits) and the weights carry 8 fraction bits: each
// grid row in use is widened to full resolution once (values x 256,
// rounded; exact for a grid of whole grey levels), and every output row
// blends two such rows.
//
// The estimate is subtracted as it is made: the result over r is
// clamp(img - estimate + 128), img being the run-time image over r.  For
// 16-bit pels the grid holds whole deep levels (a deep level is already a
// fraction of an 8-bit one) and the result is clamp(img - estimate + half,
// 0, top).
template <class Pel>
mxPelBuffer<Pel> expandAndCorrect(const mxPelBuffer_const<unsigned short>& e, const mxPair<std::int32_t>& granularity,
                                  const mxPelBuffer_const<Pel>& img, std::int32_t half = 128, std::int32_t top = 255) {
  const mxPelRect& r = img.window();
  using Tap = GridTap;
  const mxPelRect& gw = e.window();
  const std::vector<Tap> tx = gridTaps(r.x(), r.width(), granularity.x(), gw.x(), gw.width());
  const std::vector<Tap> ty = gridTaps(r.y(), r.height(), granularity.y(), gw.y(), gw.height());
  mxPelBuffer<Pel> out(r, 32, mxPelInit::eUnwritten);
  const std::int32_t w = r.width();
  std::vector<std::uint16_t> rows(std::size_t(w) * 2);
  std::int32_t held[2] = {-1, -1};  // the grid row each widened row holds
  auto widened = [&](std::int32_t gridRow, int slot) -> const std::uint16_t* {
    std::uint16_t* h = rows.data() + std::ptrdiff_t(slot) * w;
    if (held[slot] != gridRow) {
      const std::uint16_t* g = e.row(gridRow);
      for (std::int32_t i = 0; i < w; ++i)
        h[i] = std::uint16_t((std::uint32_t(g[tx[std::size_t(i)].lo]) * (256u - tx[std::size_t(i)].w) +
                              std::uint32_t(g[tx[std::size_t(i)].hi]) * tx[std::size_t(i)].w + 128u) >>
                             8);
      held[slot] = gridRow;
    }
    return h;
  };
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const Tap& t = ty[std::size_t(j)];
    // Consecutive output rows step through the grid rows in order, so slot
    // parity by grid row keeps both rows of a pair held.
    const std::uint16_t* a = widened(t.lo, t.lo & 1);
    const std::uint16_t* b = widened(t.hi, t.hi & 1);
    const std::uint32_t wb = t.w, wa = 256u - t.w;
    if constexpr (std::is_same_v<Pel, unsigned char>)
      blendAndCorrect(a, b, wa, wb, img.row(j), out.row(j), w);
    else
      blendAndCorrect(a, b, wa, wb, img.row(j), out.row(j), w, half, top);
  }
  return out;
}

// Local estimate by the median (eLocalCorrectionEnhanced), within the
// offset-128 range of the permitted intensity variation.
void medianEstimate(const mxPelBuffer<unsigned char>& d, const mxPelBuffer_const<unsigned char>& m,
                    const mxPair<std::int32_t>& k, const mxPair<std::int32_t>& range, mxPelBuffer<unsigned char>& e) {
  if (k.x() <= 1 && k.y() <= 1) {
    e = mfPelCopy<unsigned char>(d);
    return;
  }
  const std::int32_t low = std::int32_t(std::max<std::int64_t>(std::int64_t(range.x()) + 128, 0));
  const std::int32_t high = std::int32_t(std::min<std::int64_t>(std::int64_t(range.y()) + 128, 255));
  const mxPelMedianParams params(limitedMedianSize(k), {low, high}, true);
  if (m.isBound())
    mfPelMedian(d, m, params, e);
  else
    mfPelMedian(d, params, e);
}

}  // namespace

mxGaussSampleParams gridSamplerParams(const mxPair<std::int32_t>& granularity, double gain) {
  return mxGaussSampleParams(granularity, clampedSmoothing(granularity - mxPair<std::int32_t>(1, 1)), gain, true);
}

mxGaussSampleParams localMeanParams(const mxPair<std::int32_t>& k, double gain) {
  return mxGaussSampleParams({1, 1}, clampedSmoothing(smoothingForNeighborhood(k)), gain, true);
}

std::vector<GridTap> gridTaps(std::int32_t origin, std::int32_t count, std::int32_t g, std::int32_t first,
                              std::int32_t cells) {
  std::vector<GridTap> t(std::size_t(std::max(count, 0)));
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int64_t pos = 2 * (std::int64_t(origin) + i) + 1 - g;
    const std::int64_t i0 = floorDiv(pos, 2 * std::int64_t(g));
    const std::int64_t f = pos - i0 * 2 * g;  // 0 .. 2 g - 1
    auto clampCell = [&](std::int64_t c) {
      return std::int32_t(std::min<std::int64_t>(std::max<std::int64_t>(c - first, 0), cells - 1));
    };
    t[std::size_t(i)] = {clampCell(i0), clampCell(i0 + 1), std::uint32_t((f * 256 + g) / (2 * std::int64_t(g)))};
  }
  return t;
}

mxPair<std::int32_t> sampledNeighborhood(const mxPair<std::int32_t>& size, const mxPair<std::int32_t>& granularity) {
  checkGranularity(granularity);
  return {(size.x() / granularity.x()) | 1, (size.y() / granularity.y()) | 1};
}

mxPair<std::int32_t> localCorrectionHalo(Method method, const mxPair<std::int32_t>& neighborhoodSize,
                                         const mxPair<std::int32_t>& granularity) {
  if (method == mxImageNormalizerDefs::eLocalGain || method == mxImageNormalizerDefs::eLocalLinear)
    return localGainHalo(method, neighborhoodSize, granularity);
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);
  mxPair<std::int32_t> rho(0, 0);
  if (method == mxImageNormalizerDefs::eLocalCorrection) {
    rho = clampedSmoothing(smoothingForNeighborhood(k));
  } else if (k.x() > 1 || k.y() > 1) {
    const mxPair<std::int32_t> m = limitedMedianSize(k);
    rho = {(m.x() - 1) / 2, (m.y() - 1) / 2};
  }
  const bool subSampled =
      (granularity.x() > 1 || granularity.y() > 1) && (neighborhoodSize.x() > 1 || neighborhoodSize.y() > 1);
  if (!subSampled) return rho;
  auto grow = [](std::int64_t r, std::int64_t g) {
    return std::int32_t(std::min<std::int64_t>((r + 3) * g, std::numeric_limits<std::int32_t>::max()));
  };
  return {grow(rho.x(), granularity.x()), grow(rho.y(), granularity.y())};
}

mxPair<std::int32_t> limitedMedianSize(const mxPair<std::int32_t>& size) {
  // The rule shrinks one side by 2 per round: the x side while it is the
  // longer one, else the y side.  The jumps below take many such rounds at
  // once (exactly the same rounds), so that a huge size costs no time.
  std::int64_t x = size.x(), y = size.y();
  while (x * y > kMedianArea) {
    if (x == y && x > 184) {
      // From equal sides the rounds alternate (s, s) -> (s, s - 2) ->
      // (s - 2, s - 2); every such state above 183 x 181 is too large.
      x = y = x - 2 * ((x - 183) / 2);
      continue;
    }
    if (y < x) {
      // x shrinks until the area fits or it no longer exceeds y.
      const std::int64_t fit = kMedianArea / y;
      x -= 2 * std::max<std::int64_t>(1, std::min((x - fit + 1) / 2, (x - y + 1) / 2));
    } else {
      // y shrinks until the area fits or it falls below x.
      const std::int64_t fit = kMedianArea / x;
      y -= 2 * std::max<std::int64_t>(1, std::min((y - fit + 1) / 2, (y - x) / 2 + 1));
    }
  }
  return {std::int32_t(x), std::int32_t(y)};
}

mxPair<std::int32_t> smoothingForNeighborhood(const mxPair<std::int32_t>& size) {
  auto amount = [](std::int32_t k) {
    const double kd = double(k);
    const double r = std::sqrt(std::max(0.0, 4.0 * (kd * 0.25) * (kd * 0.25) - 2.0));
    // The tolerance keeps values that are whole up to rounding error from
    // going up.
    const std::int64_t q = std::int64_t(std::ceil(r * (1.0 - 1e-11)));
    return std::int32_t((q + 1) & ~std::int64_t(1));
  };
  return {amount(size.x()), amount(size.y())};
}

namespace {
// pelShiftDown's loop, built for the baseline instruction set, AVX2 and
// AVX-512, the version chosen at run time (integer arithmetic: the same pels).
void shiftDownRows(const unsigned short* s, std::ptrdiff_t ss, unsigned char* d, std::ptrdiff_t ds, std::int32_t w,
                   std::int32_t h, std::uint32_t shift) {
  mxcpu::dispatch(
      [](const unsigned short* s, std::ptrdiff_t ss, unsigned char* d, std::ptrdiff_t ds, std::int32_t w,
         std::int32_t h, std::uint32_t shift) MX_KERNEL_INLINE {
        for (std::int32_t j = 0; j < h; ++j, s += ss, d += ds)
          for (std::int32_t i = 0; i < w; ++i) d[i] = (unsigned char)(s[i] >> shift);
      },
      s, ss, d, ds, w, h, shift);
}
// The clamped difference over r sampled onto the working grid in whole grey
// levels (the sub-sampled median's input).  Its rows are made as the sampler
// reads them, so the full-resolution difference is never whole.
mxPelBuffer<unsigned char> sampledDifference(const ClampedDifference& d, const mxPelRect& r,
                                             const mxPair<std::int32_t>& granularity) {
  mxPelBuffer<unsigned char> s(mxkernel::gaussSampleWindow(r, granularity), 32, mxPelInit::eUnwritten);
  mxkernel::gaussSampleRows(r, d.maker(), gridSampler(granularity),
                            [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
                              shiftDownRows(rows, stride, s.row(j0), s.rowStride(), s.width(), count, 0);
                            });
  return s;
}
}  // namespace

void pelShiftDown(const mxPelBuffer_const<unsigned short>& src, std::uint32_t shift, mxPelBuffer<unsigned char>& dst) {
  if (shift > 15) throw mxPelFunc::BadParams(L"pelShiftDown: the shift must lie in 0 .. 15");
  if (!src.isBound()) {
    dst.setUnbound();
    return;
  }
  if (!dst.isBound()) dst = mxPelBuffer<unsigned char>(src.window());
  dst.copyXforms(src);
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  shiftDownRows(src.pointToPel(r.x(), r.y()), src.rowStride(), dst.pointToPel(r.x(), r.y()), dst.rowStride(), r.width(),
                r.height(), shift);
}

void scaledLocalMean(mxPelBuffer<unsigned char>& src, const mxPair<std::int32_t>& size,
                     mxPelBuffer<unsigned short>& dst) {
  const std::shared_ptr<const mx2XformBase> kept = src.imageFromClientXformBase();
  if (!kept) throw mxBadPointer();
  // The smoothing runs in image coordinates; the client transform only
  // travels to the result.
  if (!kept->isLinear()) src.imageFromClientXformBase(std::make_shared<mx2XformLinear>());
  mxGaussSampleParams params({1, 1}, clampedSmoothing(smoothingForNeighborhood(size)), 128.0, true);
  params.saturate = true;
  mfGaussSample(src, params, dst);
  if (src.imageFromClientXformBase() != kept) src.imageFromClientXformBase(kept, false);
  dst.copyXforms(src);
}

void runLocalCorrection(const mxPelBuffer_const<unsigned char>& image,
                        const mxPelBuffer_const<unsigned char>& reference, const LocalMasks& masks,
                        const LocalParams& params, mxPelBuffer<unsigned char>& result, const mxPelRect* only) {
  const Method method = params.method;
  const mxPair<std::int32_t>& neighborhoodSize = params.neighborhoodSize;
  const mxPair<std::int32_t>& requestedGranularity = params.granularity;
  const mxPair<std::int32_t>& intensityVariationRange = params.intensityVariationRange;
  const mxPelBuffer_const<unsigned char>& sampledMask = masks.sampled;
  const mxPelBuffer_const<unsigned short>& maskCoverage = masks.coverage;
  // 1. Common window R of the image, the reference and the mask.
  mxPelBuffer_const<unsigned char> img = image;
  mxPelBuffer_const<unsigned char> ref = reference;
  mxPelBuffer_const<unsigned char> msk = masks.binarized;
  mxPelRect r = img.window().intersect(ref.window(), false);
  if (msk.isBound()) r &= msk.window();
  img.window(r, false);
  ref.window(r, false);
  if (msk.isBound()) msk.window(r, false);

  // 2.-3. Clamped difference in offset-128 form; for the sub-sampled mean,
  // excluded pels are made neutral (128) in the same pass.  The mean makes
  // it row by row as its smoothing reads it; the median needs it whole.
  checkGranularity(requestedGranularity);
  const mxPair<std::int32_t> granularity = effectiveGranularity(requestedGranularity, r);
  const bool subSampled =
      (granularity.x() > 1 || granularity.y() > 1) && (neighborhoodSize.x() > 1 || neighborhoodSize.y() > 1);
  if (method == mxImageNormalizerDefs::eLocalGain || method == mxImageNormalizerDefs::eLocalLinear) {
    runLocalGain(img, ref, msk, method, neighborhoodSize, granularity, result, only, params.fields);
    if (params.keep && msk.isBound()) mf_MaskedPelCopy(img, msk, result, true);
    result.copyXforms(image);
    return;
  }
  const bool mean = method == mxImageNormalizerDefs::eLocalCorrection;
  if (!mean && method != mxImageNormalizerDefs::eLocalCorrectionEnhanced) throw mxPel::UnboundWindow();
  const unsigned char amount =
      (unsigned char)std::max(-std::int64_t(intensityVariationRange.x()), std::int64_t(intensityVariationRange.y()));
  const ClampedDifference diff(img, ref, amount, subSampled && mean ? msk : mxPelBuffer_const<unsigned char>());
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);

  if (!subSampled) {
    // 7.-10. Local estimate E at full resolution and the image minus E; the
    // mean is subtracted row by row as it is made.  The trained coverage
    // serves only when it was made over exactly R at full resolution (the
    // run covers the whole mask); otherwise the mean computes it over R.
    if (mean) {
      mxPelBuffer_const<unsigned short> coverage;
      if (maskCoverage.isBound() && !sampledMask.isBound() && maskCoverage.window() == r) coverage = maskCoverage;
      result = meanCorrection(img, diff, msk, coverage, k, only ? only->intersect(r) : r, params.into);
    } else {
      mxPelBuffer<unsigned char> d = diff.whole(), e;
      // Only the pels asked for are filtered (a block's, its halo around it
      // read but not filtered): into params.into's store when it holds them
      // (a run split over threads), else a store of their own.
      const mxPelRect keep = only ? only->intersect(r) : r;
      const bool into = viewInto(params.into, keep, e);
      if (!into && keep != r) e = mxPelBuffer<unsigned char>(keep, 32, mxPelInit::eUnwritten);
      medianEstimate(d, msk, k, intensityVariationRange, e);
      // The image minus the estimate, in one pass: over the estimate where
      // it lies in params.into, else into the difference's store (no
      // longer needed either way).
      mxPelBuffer<unsigned char>& out = into && e.root() == params.into.root() ? e : d;
      for (std::int32_t y = keep.y(); y < keep.y() + keep.height(); ++y)
        correctRow(img.pointToPel(keep.x(), y), e.pointToPel(keep.x(), y), out.pointToPel(keep.x(), y), keep.width());
      result = out;
    }
  } else {
    // 5.-8. The estimate on the sub-sampled grid, values x 256: the mean
    // samples the difference (and the mask) itself; the median works on the
    // sampled difference under sampledMask in whole grey levels.
    mxPelBuffer<unsigned short> e;
    if (mean) {
      e = sampledMeanEstimate(diff.maker(), r, msk, k, granularity);
    } else {
      mxPelBuffer<unsigned char> e8;
      // Training sampled the mask with the requested granularity; a clamped
      // one samples it here, over R.
      const mxPelBuffer_const<unsigned char> cells =
          granularity == requestedGranularity || !msk.isBound() ? sampledMask : sampleMask(msk, granularity);
      medianEstimate(sampledDifference(diff, r, granularity), cells, k, intensityVariationRange, e8);
      e = mxPelBuffer<unsigned short>(e8.window(), 32, mxPelInit::eUnwritten);
      for (std::int32_t j = 0; j < e8.window().height(); ++j) {
        const unsigned char* v = e8.row(j);
        std::uint16_t* o = e.row(j);
        for (std::int32_t i = 0; i < e8.window().width(); ++i) o[i] = std::uint16_t(v[i] << 8);
      }
    }
    // 9.-10. Back to full size over R (only's part of it), subtracted as it
    // is interpolated.
    result = expandAndCorrect(e, granularity, keptPart(img, only));
  }

  if (only) result.window(only->intersect(r), false);
  // 11.-12. Masked-out pels put back on request; the image's transforms.
  if (params.keep && msk.isBound()) mf_MaskedPelCopy(img, msk, result, true);
  result.copyXforms(image);
}

void localCorrectionMasks(const mxPelBuffer_const<unsigned char>& binarizedMask,
                          const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                          bool withCoverage, mxPelBuffer<unsigned char>& sampledMask,
                          mxPelBuffer<unsigned short>& maskCoverage) {
  checkGranularity(granularity);
  sampledMask.setUnbound();
  maskCoverage.setUnbound();
  if (!binarizedMask.isBound()) return;
  if (granularity.x() > 1 || granularity.y() > 1) sampledMask = sampleMask(binarizedMask, granularity);
  if (withCoverage) {
    const mxPelBuffer_const<unsigned char>& source = sampledMask.isBound() ? sampledMask : binarizedMask;
    mxPelBuffer<unsigned char> copy = mfPelCopy<unsigned char>(source);
    scaledLocalMean(copy, sampledNeighborhood(neighborhoodSize, granularity), maskCoverage);
  }
}

// ---- 16-bit images ----

namespace {

// The deep median estimate: d itself for a 1 x 1 window, else the median of
// d over the limited window and set mask pels, within the range of
// differences (range + half, held to 0 .. top), middles averaged.
void deepMedianEstimate(const mxPelBuffer<unsigned short>& d, const mxPelBuffer_const<unsigned char>& m,
                        const mxPair<std::int32_t>& k, const mxPair<std::int32_t>& range, std::int32_t half,
                        std::int32_t top, mxPelBuffer<unsigned short>& e) {
  if (k.x() <= 1 && k.y() <= 1) {
    e = d;
    return;
  }
  const std::int64_t low = std::max<std::int64_t>(std::int64_t(range.x()) + half, 0);
  const std::int64_t high = std::min<std::int64_t>(std::int64_t(range.y()) + half, top);
  mfPelMedian(d, m, mxPelMedianParams(limitedMedianSize(k), {std::int32_t(low), std::int32_t(high)}, true), e);
}

// half + clamp(a - b, -c, c) in 16-bit arithmetic, sixteen pels to an
// instruction: with x = max(a, b), the clamped parts above and below b are
// min(x - b, c) and min(x - a, c), one of them 0.
MX_KERNEL_INLINE inline std::uint16_t deepDifference(std::uint16_t a, std::uint16_t b, std::uint16_t half,
                                                     std::uint16_t c) {
  const std::uint16_t x = a > b ? a : b;
  const std::uint16_t up = std::uint16_t(x - b), down = std::uint16_t(x - a);
  return std::uint16_t(half + (up < c ? up : c) - (down < c ? down : c));
}

// A row of deep differences: o = deepDifference(a, b).
void deepDifferenceRow(const unsigned short* a, const unsigned short* b, unsigned short* o, std::int32_t w,
                       std::int32_t half, std::int32_t c) {
  mxcpu::dispatch(
      [](const unsigned short* a, const unsigned short* b, unsigned short* o, std::int32_t w, std::uint16_t half,
         std::uint16_t c) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) o[i] = deepDifference(a[i], b[i], half, c);
      },
      a, b, o, w, std::uint16_t(half), std::uint16_t(c));
}

// A row of deep corrections: o = a - est + half held to 0 .. top, in 16-bit
// arithmetic: half plus what a exceeds est by (at most top - half), less
// what est exceeds a by (at most that sum).
void deepCorrectRow(const unsigned short* a, const unsigned short* est, unsigned short* o, std::int32_t w,
                    std::int32_t half, std::int32_t top) {
  mxcpu::dispatch(
      [](const unsigned short* a, const unsigned short* est, unsigned short* o, std::int32_t w, std::uint16_t half,
         std::uint16_t room) MX_KERNEL_INLINE {
        for (std::int32_t i = 0; i < w; ++i) {
          const std::uint16_t x = a[i] > est[i] ? a[i] : est[i];
          const std::uint16_t up = std::uint16_t(x - est[i]), down = std::uint16_t(x - a[i]);
          const std::uint16_t base = std::uint16_t(half + (up < room ? up : room));
          o[i] = std::uint16_t(base - (down < base ? down : base));
        }
      },
      a, est, o, w, std::uint16_t(half), std::uint16_t(top - half));
}

// eLocalCorrectionEnhanced on 16-bit pels: the masked median of the clamped
// difference d (offset half) over the limited window, within the range of
// differences, subtracted from the image.
void deepLocalMedian(const mxPelBuffer_const<unsigned short>& img, const mxPelBuffer_const<unsigned short>& ref,
                     const mxPelBuffer_const<unsigned char>& msk, const mxPair<std::int32_t>& k,
                     const mxPair<std::int32_t>& intensityRange, std::int32_t half, std::int32_t top, std::int32_t c,
                     mxPelBuffer<unsigned short>& result) {
  const mxPelRect r = img.window();
  mxPelBuffer<unsigned short> d(r, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) deepDifferenceRow(img.row(j), ref.row(j), d.row(j), r.width(), half, c);
  mxPelBuffer<unsigned short> e;
  deepMedianEstimate(d, msk, k, intensityRange, half, top, e);
  result = mxPelBuffer<unsigned short>(r, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) deepCorrectRow(img.row(j), e.row(j), result.row(j), r.width(), half, top);
}

void fullDeepMean(const mxPelBuffer_const<unsigned short>& img, const mxPelBuffer_const<unsigned short>& ref,
                  const mxPelBuffer_const<unsigned char>& msk, const mxPair<std::int32_t>& k, std::int32_t depth,
                  std::int32_t half, std::int32_t top, std::int32_t c, mxPelBuffer<unsigned short>& result) {
  const mxPelRect r = img.window();
  const std::int32_t w = r.width();
  if (!msk.isBound()) {
    // Without a mask the difference is smoothed as it is, by the sampler of
    // 16-bit pels: the estimate is its local mean in whole deep levels.
    mxPelBuffer<unsigned short> d(r, 32, mxPelInit::eUnwritten), est;
    for (std::int32_t j = 0; j < r.height(); ++j) deepDifferenceRow(img.row(j), ref.row(j), d.row(j), w, half, c);
    mxGaussSampleParams params({1, 1}, clampedSmoothing(smoothingForNeighborhood(k)), 1.0, true);
    mfGaussSample(d, depth, params, est);
    result = mxPelBuffer<unsigned short>(r, 32, mxPelInit::eUnwritten);
    for (std::int32_t j = 0; j < r.height(); ++j) deepCorrectRow(img.row(j), est.row(j), result.row(j), w, half, top);
    return;
  }
  // With a mask, the mean over set pels divides by their coverage, which
  // needs the difference's mean with fraction bits: its high and low bytes
  // are smoothed apart by the 8-bit sampler (8 fraction bits each) and
  // combined.
  mxPelBuffer<unsigned char> high(r, 32, mxPelInit::eUnwritten), low(r, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned short* a = img.row(j);
    const unsigned short* b = ref.row(j);
    const unsigned char* m = msk.row(j);
    mxcpu::dispatch(
        [](const unsigned short* a, const unsigned short* b, const unsigned char* m, unsigned char* h, unsigned char* l,
           std::int32_t w, std::uint16_t half, std::uint16_t c) MX_KERNEL_INLINE {
          for (std::int32_t i = 0; i < w; ++i) {
            const std::uint16_t v = m[i] == 0 ? 0 : deepDifference(a[i], b[i], half, c);
            h[i] = (unsigned char)(v >> 8);
            l[i] = (unsigned char)v;
          }
        },
        a, b, m, high.row(j), low.row(j), w, std::uint16_t(half), std::uint16_t(c));
  }
  mxPelBuffer<unsigned short> meanHigh, meanLow;
  scaledLocalMean(high, k, meanHigh);
  scaledLocalMean(low, k, meanLow);
  const mxPelBuffer_const<unsigned short> coverage = coverageOver({}, msk, k);

  // num = 128 x the mean of v; the mean over set pels is num x 255 /
  // coverage (coverage = 128 x 255 x the set fraction), half where nothing
  // is set, and 0 at excluded pels, as the 8-bit correction has it; rounded
  // to the nearest level.
  result = mxPelBuffer<unsigned short>(r, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned short* a = img.row(j);
    const unsigned short* mh = meanHigh.row(j);
    const unsigned short* ml = meanLow.row(j);
    const unsigned char* m = msk.row(j);
    const unsigned short* cv = coverage.row(j);
    unsigned short* o = result.row(j);
    for (std::int32_t i = 0; i < w; ++i) {
      const std::uint64_t num = std::uint64_t(mh[i]) * 256u + ml[i];
      const std::int64_t est =
          m[i] == 0 ? 0 : (cv[i] == 0 ? half : std::int64_t((num * 255u + cv[i] / 2u) / cv[i]));
      const std::int64_t v = std::int64_t(a[i]) - est + half;
      o[i] = (unsigned short)(v < 0 ? 0 : (v > top ? top : v));
    }
  }
}

// A deep clamped difference half + clamp(image - reference, -c, c) taken
// apart into its bytes, a row at a time for the 8-bit sampler: the high byte
// (shift 8) or the low one (shift 0); with neutral, pels where the mask is 0
// get 128 in either byte, the sub-sampled mean's zero difference.  The
// sampler is linear, so 256 x a sample of the high bytes plus the same
// sample of the low bytes is the sample of the difference.
mxkernel::GaussRowMaker deepDifferenceBytes(const mxPelBuffer_const<unsigned short>& img,
                                            const mxPelBuffer_const<unsigned short>& ref,
                                            const mxPelBuffer_const<unsigned char>& msk, std::int32_t half,
                                            std::int32_t c, int shift, bool neutral) {
  return [=](std::int32_t j, unsigned char* o) {
    mxcpu::dispatch(
        [](const unsigned short* a, const unsigned short* b, const unsigned char* m, unsigned char* o, std::int32_t w,
           std::int32_t half, std::int32_t c, int shift) MX_KERNEL_INLINE {
          for (std::int32_t i = 0; i < w; ++i) {
            const std::int32_t d = std::int32_t(a[i]) - std::int32_t(b[i]);
            const unsigned char v = (unsigned char)((half + (d < -c ? -c : (d > c ? c : d))) >> shift);
            o[i] = m && m[i] == 0 ? (unsigned char)128 : v;
          }
        },
        img.row(j), ref.row(j), neutral && msk.isBound() ? msk.row(j) : nullptr, o, img.width(), half, c, shift);
  };
}

// The local methods on the sub-sampled grid for 16-bit pels, through the
// 8-bit path's grid, sampler and interpolation: the estimate is made on the
// grid in whole deep levels and brought back to full size by
// expandAndCorrect, over only's part of R.
//   mean: the 8-bit sub-sampled mean estimate (normalised convolution with
//     a mask) of the difference's high and of its low bytes, each with 8
//     fraction bits; the two combine to 256 x high + low, the mean of the
//     difference (over set pels), rounded to a deep level, within about one
//     deep level of the exact mean; half where no set pel is within reach.
//   median: the difference sampled onto the grid (its two bytes' samples
//     combined, rounded to whole deep levels), then the deep median over the
//     limited window under the sampled mask, within the range of
//     differences, as at full resolution.
mxPelBuffer<unsigned short> sampledDeepCorrection(const mxPelBuffer_const<unsigned short>& img,
                                                  const mxPelBuffer_const<unsigned short>& ref,
                                                  const mxPelBuffer_const<unsigned char>& msk,
                                                  const mxPelBuffer_const<unsigned char>& sampledMask,
                                                  const LocalParams& params, const mxPair<std::int32_t>& granularity,
                                                  const mxPair<std::int32_t>& k, std::int32_t depth, std::int32_t c,
                                                  const mxPelRect* only) {
  const std::int32_t half = std::int32_t(1) << (depth - 1), top = (std::int32_t(1) << depth) - 1;
  const mxPelRect r = img.window();
  mxPelBuffer<unsigned short> e;
  if (params.method == mxImageNormalizerDefs::eLocalCorrection) {
    mxPelBuffer<unsigned short> coverage;
    const mxPelBuffer<unsigned short> high =
        sampledMeanEstimate(deepDifferenceBytes(img, ref, msk, half, c, 8, true), r, msk, k, granularity, &coverage);
    e = sampledMeanEstimate(deepDifferenceBytes(img, ref, msk, half, c, 0, true), r, msk, k, granularity);
    for (std::int32_t j = 0; j < e.height(); ++j) {
      const std::uint16_t* h = high.row(j);
      const std::uint16_t* cv = coverage.isBound() ? coverage.row(j) : nullptr;
      std::uint16_t* o = e.row(j);
      for (std::int32_t i = 0; i < e.width(); ++i)
        o[i] = cv && cv[i] == 0 ? std::uint16_t(half)
                                : std::uint16_t(std::min<std::uint32_t>((h[i] * 256u + o[i] + 128u) >> 8, top));
    }
  } else {
    const mxPelRect gw = mxkernel::gaussSampleWindow(r, granularity);
    mxPelBuffer<unsigned short> d(gw, 32, mxPelInit::eUnwritten);
    for (const int shift : {8, 0})
      mxkernel::gaussSampleRows(
          r, deepDifferenceBytes(img, ref, msk, half, c, shift, false), gridSampler(granularity, 256.0),
          [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t count) {
            for (std::int32_t j = 0; j < count; ++j) {
              const std::uint16_t* v = rows + std::ptrdiff_t(j) * stride;
              std::uint16_t* o = d.row(j0 + j);
              for (std::int32_t i = 0; i < gw.width(); ++i)
                o[i] = shift ? v[i] : std::uint16_t(std::min<std::uint32_t>((o[i] * 256u + v[i] + 128u) >> 8, top));
            }
          });
    // Training sampled the mask with the requested granularity; a clamped
    // one samples it here, over R.
    const mxPelBuffer_const<unsigned char> cells =
        granularity == params.granularity || !msk.isBound() ? sampledMask : sampleMask(msk, granularity);
    deepMedianEstimate(d, cells, k, params.intensityVariationRange, half, top, e);
  }
  return expandAndCorrect<unsigned short>(e, granularity, keptPart(img, only), half, top);
}

}  // namespace

void runLocalCorrection(const mxPelBuffer_const<unsigned short>& image,
                        const mxPelBuffer_const<unsigned short>& reference, const LocalMasks& masks,
                        const LocalParams& params, std::int32_t depth, mxPelBuffer<unsigned short>& result,
                        const mxPelRect* only) {
  if (depth < 9 || depth > 16) throw mxPelFunc::BadParams(L"local correction: a bit depth is from 9 to 16");
  const Method method = params.method;
  mxPelBuffer_const<unsigned short> img = image, ref = reference;
  mxPelBuffer_const<unsigned char> msk = masks.binarized;
  mxPelRect r = img.window().intersect(ref.window(), false);
  if (msk.isBound()) r &= msk.window();
  result.setUnbound();
  if (r.isNull()) return;
  img.window(r, false);
  ref.window(r, false);
  if (msk.isBound()) msk.window(r, false);

  const std::int32_t half = std::int32_t(1) << (depth - 1), top = (std::int32_t(1) << depth) - 1;
  const mxPair<std::int32_t>& range = params.intensityVariationRange;
  const std::int64_t amount = std::max<std::int64_t>(-std::int64_t(range.x()), range.y());
  const std::int32_t c = std::int32_t(std::min<std::int64_t>(amount, half - 1));
  const bool mean = method == mxImageNormalizerDefs::eLocalCorrection;
  if (!mean && method != mxImageNormalizerDefs::eLocalCorrectionEnhanced) throw mxPel::UnboundWindow();
  checkGranularity(params.granularity);
  const mxPair<std::int32_t> granularity = effectiveGranularity(params.granularity, r);
  const mxPair<std::int32_t>& n = params.neighborhoodSize;
  const mxPair<std::int32_t> k = sampledNeighborhood(n, granularity);
  if ((granularity.x() > 1 || granularity.y() > 1) && (n.x() > 1 || n.y() > 1)) {
    result = sampledDeepCorrection(img, ref, msk, masks.sampled, params, granularity, k, depth, c, only);
  } else if (!mean) {
    deepLocalMedian(img, ref, msk, k, range, half, top, c, result);
  } else {
    fullDeepMean(img, ref, msk, k, depth, half, top, c, result);
  }
  if (only) result.window(only->intersect(r), false);
  result.copyXforms(image);
}

}  // namespace imgnorm::detail

#include "pelfunc/mf_MaskedPel.h"

#include <algorithm>

#include "baseif/detail/pelKernels.h"
#include "baseif/mxPelOps.h"
#include "baseif/mxThreshold.h"

namespace {

// Frame steps 3 and 4 of the masked functions with a destination: the
// overlap of src, mask and a bound dst.  Creates an unbound dst over a
// non-empty overlap with src's transforms.
mxPelRect overlapWithDestination(const mxPelBuffer_const<unsigned char>& src,
                                 const mxPelBuffer_const<unsigned char>& mask, mxPelBuffer<unsigned char>& dst) {
  mxPelRect r = src.window().intersect(mask.window(), false);
  if (dst.isBound()) {
    r &= dst.window();
  } else if (!r.isNull()) {
    dst = mxPelBuffer<unsigned char>(r);
    dst.copyXforms(src);
  }
  return r;
}

// Runs rowOp(d, s, m, width) over the rows of r in the three buffers.
template <class RowOp>
void forRows(const mxPelRect& r, const mxPelBuffer_const<unsigned char>& src,
             const mxPelBuffer_const<unsigned char>& mask, const mxPelBuffer<unsigned char>& dst, RowOp rowOp) {
  const unsigned char* s = src.pointToPel(r.x(), r.y());
  const unsigned char* m = mask.pointToPel(r.x(), r.y());
  unsigned char* d = dst.pointToPel(r.x(), r.y());
  const std::ptrdiff_t ss = src.rowStride(), ms = mask.rowStride(), ds = dst.rowStride();
  for (std::int32_t j = 0; j < r.height(); ++j, s += ss, m += ms, d += ds) rowOp(d, s, m, r.width());
}

// Branch-free selects: k is all ones where the pel is taken from src, so the
// loops vectorize into compare / and / andnot / or.
void copyWhereZero(unsigned char* d, const unsigned char* s, const unsigned char* m, std::int32_t w) {
  for (std::int32_t i = 0; i < w; ++i) {
    const unsigned char k = static_cast<unsigned char>(-(m[i] == 0));
    d[i] = static_cast<unsigned char>((s[i] & k) | (d[i] & ~k));
  }
}

void copyWhereSet(unsigned char* d, const unsigned char* s, const unsigned char* m, std::int32_t w) {
  for (std::int32_t i = 0; i < w; ++i) {
    const unsigned char k = static_cast<unsigned char>(-(m[i] != 0));
    d[i] = static_cast<unsigned char>((s[i] & k) | (d[i] & ~k));
  }
}

// Narrow overlaps: a direct count.  The select turns excluded pels into bin
// 0, whose surplus is removed at the end, so the loop has no branch.
void countNarrow(const mxPelBuffer_const<unsigned char>& s, const mxPelBuffer_const<unsigned char>& m,
                 std::vector<std::uint32_t>& histogram) {
  std::uint32_t* h = histogram.data();
  std::uint32_t excluded = 0;
  for (std::int32_t j = 0; j < s.height(); ++j) {
    const unsigned char* sr = s.row(j);
    const unsigned char* mr = m.row(j);
    for (std::int32_t i = 0; i < s.width(); ++i) {
      const unsigned char k = static_cast<unsigned char>(-(mr[i] != 0));
      ++h[sr[i] & k];
      excluded += mr[i] == 0;
    }
  }
  h[0] -= excluded;
}

// Wide overlaps: one row at a time, the pels under a set mask are gathered
// into a scratch row that stays in the cache, and the scratch row goes to the
// counter of the plain histogram.  Where the processor can pack a register's
// selected pels together, the scratch row holds just those; elsewhere it is
// the row with the excluded pels turned into 0 by a vectorized select, which
// also counts them, and their surplus is taken off bin 0 at the end.  This
// reads each image once and allocates no full-size temporary, which keeps
// the masked histogram within a small factor of a plain one; packing also
// spares the counter the runs of zeros, whose repeated increments of one
// pair counter slowed it down.
void countWide(const mxPelBuffer_const<unsigned char>& s, const mxPelBuffer_const<unsigned char>& m,
               std::vector<std::uint32_t>& histogram) {
  const std::int32_t w = s.width();
  std::vector<unsigned char> scratch(static_cast<std::size_t>(w) + 63);
  unsigned char* t = scratch.data();
  mxkernel::HistogramCounter counter(std::int64_t(w) * s.height());
  // Images from memory go in pieces of rows, each asking for the pels and
  // mask values a little way ahead before it is packed and counted.
  const bool ahead = mxkernel::fetchesAhead(w, s.height(), s.rowStrideBytes()) &&
                     mxkernel::fetchesAhead(w, m.height(), m.rowStrideBytes());
  const std::int32_t piece = ahead ? 512 : w;
  std::uint32_t excluded = 0;
  for (std::int32_t j = 0; j < s.height(); ++j)
    for (std::int32_t x = 0; x < w; x += piece) {
      const std::int32_t n = std::min(piece, w - x);
      const unsigned char* sr = s.row(j) + x;
      const unsigned char* mr = m.row(j) + x;
      if (ahead) {
        mxkernel::fetchAhead(sr, n);
        mxkernel::fetchAhead(mr, n);
      }
      std::int32_t kept = 0;
      if (mxkernel::pelPackRow(sr, mr, t, n, kept)) {
        counter.addRow(t, kept);
      } else {
        excluded += std::uint32_t(mxkernel::pelSelectRow(sr, mr, t, n));
        counter.addRow(t, n);
      }
    }
  histogram = counter.takeCounts();
  histogram[0] -= excluded;
}

}  // namespace

void mf_MaskedPelCopy(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                      mxPelBuffer<unsigned char>& dst, bool copyMaskedPixels) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (!mask.isBound()) {
    mfPelCopy(src, dst);
    return;
  }
  const mxPelRect r = overlapWithDestination(src, mask, dst);
  if (r.isNull()) return;
  if (copyMaskedPixels)
    forRows(r, src, mask, dst, copyWhereZero);
  else
    forRows(r, src, mask, dst, copyWhereSet);
}

void mf_MaskedPelThreshold(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                           unsigned char threshold, mxPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (!mask.isBound()) {
    dst = mf_PelThreshold(src, threshold);
    return;
  }
  const mxPelRect r = overlapWithDestination(src, mask, dst);
  if (r.isNull()) return;
  forRows(r, src, mask, dst,
          [threshold](unsigned char* d, const unsigned char* s, const unsigned char* m, std::int32_t w) {
            for (std::int32_t i = 0; i < w; ++i)
              d[i] = static_cast<unsigned char>(-((m[i] != 0) & (s[i] >= threshold)));
          });
}

void mf_MaskedPelHistogram(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask,
                           std::vector<std::uint32_t>& histogram) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  histogram.assign(256, 0);
  if (!mask.isBound()) {
    histogram = mfPelHistogram(src);
    return;
  }
  const mxPelRect r = src.window().intersect(mask.window(), false);
  if (r.isNull()) {
    histogram.clear();
    return;
  }
  mxPelBuffer_const<unsigned char> s(src), m(mask);
  if (src.window() != mask.window()) {
    s.window(r, false);
    m.window(r, false);
  }

  if (r.width() < 64)
    countNarrow(s, m, histogram);
  else
    countWide(s, m, histogram);
}

mxPelBuffer<unsigned char> mf_PelThreshold(const mxPelBuffer_const<unsigned char>& src, unsigned char threshold) {
  std::vector<unsigned char> table(256, 255);
  for (int i = 0; i < threshold; ++i) table[i] = 0;
  return mfPelMap(src, table);
}

mxPelBuffer<unsigned char> mf_PelThreshold(const mxPelBuffer_const<unsigned char>& src) {
  mxThresholdResult result;
  mfThresholdWGV(mfPelHistogram(src), result, 0, -1);
  return mf_PelThreshold(src, static_cast<unsigned char>(result.threshold() & 0xff));
}

void mf_PelMapValue(mxPelBuffer<unsigned char>& image, unsigned char from, unsigned char to) {
  std::vector<unsigned char> table(256);
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  table[from] = to;
  mfPelMap(image, table, image);
}

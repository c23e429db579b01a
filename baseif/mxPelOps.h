// Whole-window pel operations of the base layer: copy, table mapping,
// histogram, minimum, maximum, fill and comparison, plus the small numeric
// helpers mfRealEq and mfILimit.
//
// Every operation works on buffer windows and pairs pels by image
// coordinates.  Loops run row by row over row pointers so that the compiler
// can vectorize them; nothing is checked per pel.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxHistoStats.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"
#include "baseif/mxVector.h"

// ---- numbers ----

// Clamps value into [low, high].
inline std::int32_t mfILimit(std::int32_t value, std::int32_t low, std::int32_t high) {
  return value < low ? low : (value > high ? high : value);
}

// True when |a - b| <= tolerance.  NaN compares unequal to everything.
inline bool mfRealEq(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }
// Points are equal when their distance is at most the tolerance.
inline bool mfRealEq(const mxVector<2>& a, const mxVector<2>& b, double tolerance) {
  return (a - b).length() <= tolerance;
}

// ---- copy ----

// Copies the overlap of the two windows (pels at equal image coordinates)
// from src into dst; the two may share a store, overlapping.  An unbound dst becomes a new buffer over src's window
// with src's transforms.  Throws mxPel::UnboundWindow for an unbound src.
template <class T>
void mfPelCopy(const mxPelBuffer_const<T>& src, mxPelBuffer<T>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (!dst.isBound()) {
    // Every pel of the new buffer is copied below.
    dst = mxPelBuffer<T>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  const T* s = src.pointToPel(r.x(), r.y());
  T* d = dst.pointToPel(r.x(), r.y());
  if (s == d) return;
  const std::size_t rowBytes = std::size_t(r.width()) * sizeof(T);
  // Buffers sharing one store under different labels may overlap: when the
  // destination lies after the source, copy the rows bottom-up so that every
  // source row is read before it is overwritten (memmove covers each row).
  if (src.root() == dst.root() && std::less<const T*>()(s, d)) {
    for (std::int32_t j = r.height() - 1; j >= 0; --j)
      std::memmove(d + j * dst.rowStride(), s + j * src.rowStride(), rowBytes);
    return;
  }
  for (std::int32_t j = 0; j < r.height(); ++j)
    std::memmove(d + j * dst.rowStride(), s + j * src.rowStride(), rowBytes);
}

// A new buffer holding a copy of src's window, with src's transforms.
template <class T>
mxPelBuffer<T> mfPelCopy(const mxPelBuffer_const<T>& src) {
  mxPelBuffer<T> dst;
  mfPelCopy(src, dst);
  return dst;
}

// ---- table mapping ----

// dst = table[src] over the overlap of the windows; dst may be src (in place)
// and an unbound dst becomes a new buffer over src's window with src's
// transforms.  The table must have 256 entries (else mxPelFunc::BadParams).
IMGNORM_API void mfPelMap(const mxPelBuffer_const<unsigned char>& src, const std::vector<unsigned char>& table,
                          mxPelBuffer<unsigned char>& dst);
IMGNORM_API mxPelBuffer<unsigned char> mfPelMap(const mxPelBuffer_const<unsigned char>& src,
                                                const std::vector<unsigned char>& table);

// 16-bit pels (deep images): dst = table[min(src, table size - 1)], so a
// pel beyond the table takes its last entry (callers of a declared bit depth
// refuse such pels first).  The table has 1 to 65536 entries (else
// mxPelFunc::BadParams); windows, dst and transforms as the 8-bit form.
IMGNORM_API void mfPelMap(const mxPelBuffer_const<unsigned short>& src, const std::vector<unsigned short>& table,
                          mxPelBuffer<unsigned short>& dst);
IMGNORM_API mxPelBuffer<unsigned short> mfPelMap(const mxPelBuffer_const<unsigned short>& src,
                                                 const std::vector<unsigned short>& table);

// A line over levels: entry v is clamp(R(v * scale + offset), 0, top), where
// R truncates toward zero or, with roundHalves, rounds halves away from
// zero; a value that is not a number gives 0, one beyond any level the
// nearest end.  The global methods whose table is a line (mean and standard
// deviation, tails, the linear fit of 16-bit pels) fill their tables with
// entry(), and 16-bit runs map their pels with mfPelMapLine, which computes
// the same entries pel by pel.
//
// 8-bit tables compute in double precision.  A line with `single` (the
// 16-bit tool's) computes in float, sixteen pels to a vector register where
// doubles take eight: float(v) * float(scale), plus the offset with the half
// already added (offset + 0.5 in double, then rounded to float once), each
// step rounded to float.  Its entries differ from the double line's by one
// at most, and only where the line passes close to a level's boundary:
// within 1/128 of a level while the product and the offset stay below 65536
// in magnitude (three roundings of at most 2^-9 each).
struct mxLevelLine {
  double scale = 1.0, offset = 0.0;
  std::int32_t top = 255;
  bool roundHalves = false;
  bool single = false;

  unsigned short entry(std::uint32_t v) const {
    if (single) {
      float x = float(v) * singleScale() + singleOffset();
      x = x > 0.0f ? x : 0.0f;  // not a number gives 0
      x = x < float(top) ? x : float(top);
      return static_cast<unsigned short>(static_cast<std::int32_t>(x));
    }
    double x = double(v) * scale + offset;
    x = x > 0.0 ? x : 0.0;  // not a number gives 0
    x += roundHalves ? 0.5 : 0.0;
    x = x < double(top) ? x : double(top);
    return static_cast<unsigned short>(static_cast<std::int32_t>(x));
  }

  // A single line's factor and its offset with the half already added, as
  // entry() and the vector kernels use them.
  float singleScale() const { return toFloat(scale); }
  float singleOffset() const { return toFloat(offset + (roundHalves ? 0.5 : 0.0)); }

  // d as a float, infinite beyond float's range (where the conversion
  // itself would be undefined).
  static float toFloat(double d) {
    constexpr double kMax = 3.4028234663852886e38;  // FLT_MAX
    return d > kMax ? HUGE_VALF : d < -kMax ? -HUGE_VALF : float(d);
  }
};

// The line's first n entries as a table of Pel.
template <class Pel>
std::vector<Pel> mfLevelTable(const mxLevelLine& line, std::size_t n) {
  std::vector<Pel> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<Pel>(line.entry(std::uint32_t(i)));
  return t;
}

// dst = line.entry(src) over the overlap of the windows (dst may be src; an
// unbound dst becomes a new buffer over src's window with src's transforms),
// computed per pel, in vector floats for a single-precision line (a double
// line pel by pel without vectors): at 2^16 levels a table would be read at
// random from beyond the level-1 cache.  line.top must lie in 0 .. 65535
// (else mxPelFunc::BadParams).
IMGNORM_API void mfPelMapLine(const mxPelBuffer_const<unsigned short>& src, const mxLevelLine& line,
                              mxPelBuffer<unsigned short>& dst);

// ---- histogram ----

// The 256-bin histogram (32-bit counts) of src's window.
IMGNORM_API std::vector<std::uint32_t> mfPelHistogram(const mxPelBuffer_const<unsigned char>& src);

// The histogram (32-bit counts, index = pel value) of a 16-bit window's pels
// where mask is non-zero, over the overlap of the two windows (all of src's
// window when mask is unbound), with `bins` bins (1 to 65536, else
// mxPelFunc::BadParams); a pel of bins or more is counted in the last bin.
// Empty (no bins) when a bound mask does not overlap src.  With largest, it
// also gets the largest pel of all of src's window, masked or not (0 for an
// empty window), so that a caller of a declared depth needs no pass of its
// own to refuse pels above it.
IMGNORM_API std::vector<std::uint32_t> mfPelHistogram(const mxPelBuffer_const<unsigned short>& src,
                                                      const mxPelBuffer_const<unsigned char>& mask,
                                                      std::uint32_t bins, unsigned short* largest = nullptr);

// The histogram of a 16-bit window for reading it at two percentages
// (mxHistoStats::inverseCum), with mask, bins and largest as for
// mfPelHistogram.  Where it pays (no mask, more than 4096 bins, a power of
// 2, and fewer than 2^32 pels) the pels' top 8 bits of the bins' range are
// counted first, at the speed of an 8-bit histogram, then only the pels of
// the two top-bit groups where the percentages' counts are reached get their
// exact bins; every other group's count is held in its first bin, and a pel
// of bins or more counts in the last group, not necessarily in the last bin.
// Elsewhere it is mfPelHistogram's histogram (up to 4096 bins its counters
// stay in the level-1 cache and counting them all is as fast: 12-bit tails
// at 8192², 0.44 ns/pel counted in full, 0.59 from the top bits).  Either
// way the pel count and inverseCum at those percentages are mfPelHistogram's;
// the mean and deviation need not be.
IMGNORM_API std::vector<std::uint32_t> mfPelPercentileHistogram(const mxPelBuffer_const<unsigned short>& src,
                                                                const mxPelBuffer_const<unsigned char>& mask,
                                                                std::uint32_t bins, mxPair<std::int32_t> percents,
                                                                unsigned short* largest = nullptr);

// Mean and standard deviation of src's pels where mask is non-zero (all of
// src's window when mask is unbound), without a histogram: equal bit for bit
// to mxHistoStats of the masked 256-bin histogram, in one vectorised pass.
// The result has no histogram (inverseCum is unavailable).
IMGNORM_API mxHistoStats mfPelMoments(const mxPelBuffer_const<unsigned char>& src,
                                      const mxPelBuffer_const<unsigned char>& mask);
// The same for 16-bit pels, as the statistics of a histogram of `bins` bins
// (2^depth for a declared depth): equal bit for bit to mxHistoStats of the
// masked histogram of mfPelHistogram when every pel lies below bins.
// largest as for mfPelHistogram.
IMGNORM_API mxHistoStats mfPelMoments(const mxPelBuffer_const<unsigned short>& src,
                                      const mxPelBuffer_const<unsigned char>& mask, std::uint32_t bins,
                                      unsigned short* largest = nullptr);

// ---- minimum, maximum ----

// dst = min(a, b) pel by pel over the overlap of a's and b's windows (and of
// dst's when bound); dst may be a or b.  An unbound dst becomes a new buffer
// over the overlap with a's transforms.
IMGNORM_API void mfPelMin(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
                          mxPelBuffer<unsigned char>& dst);
IMGNORM_API mxPelBuffer<unsigned char> mfPelMin(const mxPelBuffer_const<unsigned char>& a,
                                                const mxPelBuffer_const<unsigned char>& b);

// Largest pel of the window (0 for an empty window).  Throws
// mxPel::UnboundWindow for an unbound buffer.
template <class T>
T mfPelMax(const mxPelBuffer_const<T>& src) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  T m = 0;
  if (src.window().isNull()) return m;
  for (std::int32_t j = 0; j < src.height(); ++j) {
    const T* s = src.row(j);
    for (std::int32_t i = 0; i < src.width(); ++i) m = s[i] > m ? s[i] : m;
  }
  return m;
}
// 16-bit pels (the check of a declared depth): one vectorised pass for the
// processor's instruction set.
template <>
IMGNORM_API unsigned short mfPelMax<unsigned short>(const mxPelBuffer_const<unsigned short>& src);

// ---- fill ----

// Sets every pel of the window to value.
template <class T>
void mfPelSet(const mxPelBuffer<T>& dst, T value) {
  if (!dst.isBound()) throw mxPel::UnboundWindow();
  if (dst.window().isNull()) return;
  for (std::int32_t j = 0; j < dst.height(); ++j) std::fill_n(dst.row(j), dst.width(), value);
}
inline void mfPelSet_U8(const mxPelBuffer<unsigned char>& dst, unsigned char value) { mfPelSet(dst, value); }

// ---- comparison ----

// True when both buffers are unbound, or both are bound with equal windows
// and equal pels.
template <class T>
bool mfPelEqual(const mxPelBuffer_const<T>& a, const mxPelBuffer_const<T>& b) {
  if (a.isBound() != b.isBound()) return false;
  if (!a.isBound()) return true;
  if (a.window() != b.window()) return false;
  const std::size_t rowBytes = std::size_t(a.width()) * sizeof(T);
  if (rowBytes == 0) return true;
  for (std::int32_t j = 0; j < a.height(); ++j)
    if (std::memcmp(a.row(j), b.row(j), rowBytes) != 0) return false;
  return true;
}

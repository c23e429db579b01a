#include "pelfunc/mf_PelArithmetic.h"

#include <algorithm>

namespace {

// The row kernels are plain loops over one row of each operand that GCC and
// Clang vectorize: the arithmetic is done in 16-bit lanes (the operands and
// every intermediate fit in -255..510) and clamped with min/max, which SSE2
// has for signed 16-bit lanes.  There is no branch per pel.  The pointers are
// not restrict-qualified because the destination may share its store with the
// source; the compiler adds a run-time overlap test and keeps the pel-by-pel
// order when the rows really overlap.
void subClampRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t c) {
  // Both limits as 16-bit values: comparing with an int expression would
  // widen the lanes to 32 bits.
  const std::int16_t lo = std::int16_t(-c), hi = c;
  for (std::int32_t i = 0; i < w; ++i) {
    const std::int16_t v = std::int16_t(std::int16_t(d[i]) - std::int16_t(s[i]));
    d[i] = static_cast<unsigned char>(std::min(std::max(v, lo), hi) + 128);
  }
}

void subClampSignedRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t) {
  for (std::int32_t i = 0; i < w; ++i) {
    std::int16_t v = std::int16_t(std::int16_t(d[i]) - std::int16_t(s[i]) + 128);
    v = v < 0 ? std::int16_t(0) : v;
    v = v > 255 ? std::int16_t(255) : v;
    d[i] = static_cast<unsigned char>(v);
  }
}

void addClampRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t) {
  for (std::int32_t i = 0; i < w; ++i) {
    std::int16_t v = std::int16_t(std::int16_t(d[i]) + std::int16_t(s[i]) - 128);
    v = v < 0 ? std::int16_t(0) : v;
    v = v > 255 ? std::int16_t(255) : v;
    d[i] = static_cast<unsigned char>(v);
  }
}

using RowKernel = void (*)(unsigned char*, const unsigned char*, std::int32_t, std::int16_t);

// The frame the three 8-bit functions share: check, intersect, window local
// copies, then one kernel call per row.  The kernel is a template argument so
// that it is inlined into the row loop (no call through a pointer).
template <RowKernel kernel>
void combine(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src, std::int16_t c) {
  if (!dst.isBound() || !src.isBound()) throw mxPel::UnboundWindow();
  const mxPelRect r = dst.window().intersect(src.window(), false);
  if (r.isNull()) return;
  mxPelBuffer<unsigned char> d(dst);
  mxPelBuffer_const<unsigned char> s(src);
  d.window(r, false);
  s.window(r, false);
  const std::ptrdiff_t ds = d.rowStride();
  const std::ptrdiff_t ss = s.rowStride();
  unsigned char* dp = d.pointToOffset();
  const unsigned char* sp = s.pointToOffset();
  const std::int32_t w = r.width();
  for (std::int32_t j = 0; j < r.height(); ++j, dp += ds, sp += ss) kernel(dp, sp, w, c);
}

}  // namespace

void mf_PelSubClamp(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src,
                    unsigned char amount) {
  combine<subClampRow>(dst, src, std::int16_t(std::min<int>(amount, 127)));
}

void mf_PelSubClampSigned(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src) {
  combine<subClampSignedRow>(dst, src, 0);
}

void mf_PelAddClamp(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src) {
  combine<addClampRow>(dst, src, 0);
}

void mf_MaskedPelDivide(const mxPelBuffer_const<unsigned short>& numerator,
                        const mxPelBuffer_const<unsigned short>& denominator,
                        const mxPelBuffer_const<unsigned char>& mask, mxPelBuffer<unsigned char>& dst,
                        std::uint32_t scale) {
  if (!numerator.isBound() || !denominator.isBound()) throw mxPel::UnboundWindow();
  mxPelRect r = numerator.window().intersect(denominator.window(), false);
  const bool masked = mask.isBound();
  if (masked) r &= mask.window();
  // The destination is created before the emptiness test, so an unbound dst
  // always comes back bound (possibly over an empty window).
  if (!dst.isBound()) {
    dst = mxPelBuffer<unsigned char>(r.isNull() ? mxPelRect(r.x(), r.y(), 0, 0) : r);
    dst.copyXforms(numerator);
  }
  if (r.isNull()) return;

  mxPelBuffer_const<unsigned short> n(numerator);
  mxPelBuffer_const<unsigned short> d(denominator);
  mxPelBuffer_const<unsigned char> m(mask);
  mxPelBuffer<unsigned char> o(dst);
  n.window(r, false);
  d.window(r, false);
  if (masked) m.window(r, false);
  // A bound dst is not intersected: the common window must lie in its store,
  // and window() reports mxPel::BadWindow when it does not.
  o.window(r, false);

  const std::int32_t w = r.width();
  const std::int32_t h = r.height();
  // A zero denominator would be a division by zero.  It is looked for first so
  // that a bad call writes nothing.
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned short* dr = d.row(j);
    const unsigned char* mr = masked ? m.row(j) : nullptr;
    bool zero = false;
    if (masked)
      for (std::int32_t i = 0; i < w; ++i) zero |= (mr[i] != 0) & (dr[i] == 0);
    else
      for (std::int32_t i = 0; i < w; ++i) zero |= dr[i] == 0;
    if (zero) throw mxPelFunc::BadParams(L"mf_MaskedPelDivide: zero denominator at a selected pel");
  }

  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned short* nr = n.row(j);
    const unsigned short* dr = d.row(j);
    unsigned char* orow = o.row(j);
    if (masked) {
      const unsigned char* mr = m.row(j);
      for (std::int32_t i = 0; i < w; ++i) {
        if (mr[i] == 0) continue;
        const std::uint32_t den = dr[i];
        orow[i] = static_cast<unsigned char>((std::uint32_t(nr[i]) * scale + den / 2u) / den);
      }
    } else {
      for (std::int32_t i = 0; i < w; ++i) {
        const std::uint32_t den = dr[i];
        orow[i] = static_cast<unsigned char>((std::uint32_t(nr[i]) * scale + den / 2u) / den);
      }
    }
  }
}

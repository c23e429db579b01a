#include "pelfunc/mf_PelArithmetic.h"

#include <algorithm>

#include "baseif/detail/cpuDispatch.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The row kernels are plain loops over one row of each operand that GCC and
// Clang vectorize: the arithmetic is done in 16-bit lanes (the operands and
// every intermediate fit in -255..510) and clamped with min/max, which SSE2
// has for signed 16-bit lanes.  There is no branch per pel.  The pointers are
// not restrict-qualified because the destination may share its store with the
// source; the compiler adds a run-time overlap test and keeps the pel-by-pel
// order when the rows really overlap.
MX_KERNEL_INLINE inline void subClampRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t c) {
  // Both limits as 16-bit values: comparing with an int expression would
  // widen the lanes to 32 bits.
  const std::int16_t lo = std::int16_t(-c), hi = c;
  for (std::int32_t i = 0; i < w; ++i) {
    const std::int16_t v = std::int16_t(std::int16_t(d[i]) - std::int16_t(s[i]));
    d[i] = static_cast<unsigned char>(std::min(std::max(v, lo), hi) + 128);
  }
}

MX_KERNEL_INLINE inline void subClampSignedRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t) {
  for (std::int32_t i = 0; i < w; ++i) {
    std::int16_t v = std::int16_t(std::int16_t(d[i]) - std::int16_t(s[i]) + 128);
    v = v < 0 ? std::int16_t(0) : v;
    v = v > 255 ? std::int16_t(255) : v;
    d[i] = static_cast<unsigned char>(v);
  }
}

MX_KERNEL_INLINE inline void addClampRow(unsigned char* d, const unsigned char* s, std::int32_t w, std::int16_t) {
  for (std::int32_t i = 0; i < w; ++i) {
    std::int16_t v = std::int16_t(std::int16_t(d[i]) + std::int16_t(s[i]) - 128);
    v = v < 0 ? std::int16_t(0) : v;
    v = v > 255 ? std::int16_t(255) : v;
    d[i] = static_cast<unsigned char>(v);
  }
}

// One row of mf_MaskedPelDivide for scale <= 32767: o = (n * scale + d / 2)
// / d, truncated to 8 bits, for every pel (MASKED: every pel whose mask is
// set; the others keep their value).  The dividend is below 2^31 and the
// divisor below 2^16, so the double quotient is within 2^-22 of the exact one
// while a non-integer exact quotient is at least 1 / d >= 2^-16 from the next
// integer: truncating the double quotient gives the integer quotient
// exactly.  Double division has vector instructions, integer division has
// none.  Unselected pels divide by 1, so no pel divides by zero.
template <bool MASKED>
void divideRow(const unsigned short* n, const unsigned short* d, const unsigned char* m, unsigned char* o,
               std::int32_t w, std::int32_t scale) {
  std::int32_t i = 0;
#if defined(__SSE2__)
  // Eight pels per step, two per double register.
  const __m128i zero = _mm_setzero_si128();
  const __m128i one16 = _mm_set1_epi16(1);
  const __m128i low8 = _mm_set1_epi32(255);
  const __m128d s = _mm_set1_pd(double(scale));
  for (; i + 8 <= w; i += 8) {
    __m128i den = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    const __m128i num = _mm_loadu_si128(reinterpret_cast<const __m128i*>(n + i));
    __m128i unset8 = zero;
    if (MASKED) {
      unset8 = _mm_cmpeq_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(m + i)), zero);
      const __m128i unset16 = _mm_unpacklo_epi8(unset8, unset8);
      den = _mm_or_si128(_mm_andnot_si128(unset16, den), _mm_and_si128(unset16, one16));
    }
    const __m128i half = _mm_srli_epi16(den, 1);
    __m128i q[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i d32 = h == 0 ? _mm_unpacklo_epi16(den, zero) : _mm_unpackhi_epi16(den, zero);
      const __m128i n32 = h == 0 ? _mm_unpacklo_epi16(num, zero) : _mm_unpackhi_epi16(num, zero);
      const __m128i h32 = h == 0 ? _mm_unpacklo_epi16(half, zero) : _mm_unpackhi_epi16(half, zero);
      // n * scale + d / 2 and d as doubles: integers below 2^31, exact.
      const __m128d a0 = _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(n32), s), _mm_cvtepi32_pd(h32));
      const __m128d a1 =
          _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(n32, 8)), s), _mm_cvtepi32_pd(_mm_srli_si128(h32, 8)));
      const __m128i q0 = _mm_cvttpd_epi32(_mm_div_pd(a0, _mm_cvtepi32_pd(d32)));
      const __m128i q1 = _mm_cvttpd_epi32(_mm_div_pd(a1, _mm_cvtepi32_pd(_mm_srli_si128(d32, 8))));
      q[h] = _mm_and_si128(_mm_unpacklo_epi64(q0, q1), low8);
    }
    __m128i v = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), zero);
    if (MASKED) {
      const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(o + i));
      v = _mm_or_si128(_mm_andnot_si128(unset8, v), _mm_and_si128(unset8, old));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + i), v);
  }
#endif
  for (; i < w; ++i) {
    if (MASKED && m[i] == 0) continue;
    const std::int32_t den = d[i];
    const std::int32_t num = std::int32_t(n[i]) * scale + den / 2;
    o[i] = static_cast<unsigned char>(static_cast<std::int32_t>(double(num) / double(den)));
  }
}

// Whether a selected pel of the row has a zero denominator.
bool zeroDenominator(const unsigned short* d, const unsigned char* m, std::int32_t w) {
  std::int32_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i bad = zero;
  for (; i + 8 <= w; i += 8) {
    __m128i z = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i)), zero);
    if (m) {
      const __m128i set8 =
          _mm_cmpeq_epi8(_mm_cmpeq_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(m + i)), zero), zero);
      z = _mm_and_si128(z, _mm_unpacklo_epi8(set8, set8));
    }
    bad = _mm_or_si128(bad, z);
  }
  if (_mm_movemask_epi8(bad) != 0) return true;
#endif
  for (; i < w; ++i)
    if (d[i] == 0 && (!m || m[i] != 0)) return true;
  return false;
}

using RowKernel = void (*)(unsigned char*, const unsigned char*, std::int32_t, std::int16_t);

// The frame the three 8-bit functions share: check, intersect, window local
// copies, then one kernel call per row.  The kernel is a template argument so
// that it is inlined into the row loop (no call through a pointer).
//
// The row loop is built for the baseline instruction set, AVX2 and AVX-512
// (32 or 64 pels per instruction instead of 16), the version chosen at run
// time; integer arithmetic, so every version gives the same pels.
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
  mxcpu::dispatch(
      [](unsigned char* dp, std::ptrdiff_t ds, const unsigned char* sp, std::ptrdiff_t ss, std::int32_t w,
         std::int32_t h, std::int16_t c) MX_KERNEL_INLINE {
        for (std::int32_t j = 0; j < h; ++j, dp += ds, sp += ss) kernel(dp, sp, w, c);
      },
      dp, ds, sp, ss, r.width(), r.height(), c);
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
  for (std::int32_t j = 0; j < h; ++j)
    if (zeroDenominator(d.row(j), masked ? m.row(j) : nullptr, w)) throw mxPelFunc::BadParams();

  // scale 0 .. 32767: n * scale + den / 2 stays below 2^31, and the fast row
  // kernels apply; larger scales keep the integer division (with its 32-bit
  // wrap-around).
  const bool fast = scale <= 32767u;
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned short* nr = n.row(j);
    const unsigned short* dr = d.row(j);
    unsigned char* orow = o.row(j);
    if (fast) {
      if (masked)
        divideRow<true>(nr, dr, m.row(j), orow, w, std::int32_t(scale));
      else
        divideRow<false>(nr, dr, nullptr, orow, w, std::int32_t(scale));
    } else if (masked) {
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

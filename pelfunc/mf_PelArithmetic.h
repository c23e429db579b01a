// Saturating pel arithmetic over two images.
//
// Offset-128 signed pels: an 8-bit value v stands for the signed quantity
// v - 128, so 128 is zero, 1 is -127 and 255 is +127.  mf_PelSubClamp
// produces pels in this form; mf_PelSubClampSigned and mf_PelAddClamp take
// their second operand in it.
//
// Every function works on the common window of its operands (the
// intersection of their windows) and pairs pels by image coordinates.  The
// caller's buffer objects keep their windows; pels outside the common window
// are neither read nor written.  The 8-bit destinations are passed as const
// handles: the handle is not changed, the pels of its store are written.
//
// Each result pel depends only on the operand pels at its own position, so a
// destination may share its store with the source (in place over identical
// windows gives the pel-wise result).
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

// dst = 128 + clamp(dst - src, -c, +c) with c = min(amount, 127): the
// difference in offset-128 form, limited to +-c (so never 0).  amount 0 sets
// the common window to 128.
// Throws mxPel::UnboundWindow when dst or src is unbound (nothing written).
// Disjoint windows: returns without writing.
IMGNORM_API void mf_PelSubClamp(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src,
                                unsigned char amount);

// dst = clamp(dst - (src - 128), 0, 255): subtracts an offset-128 signed
// image.  Errors as mf_PelSubClamp.
IMGNORM_API void mf_PelSubClampSigned(const mxPelBuffer<unsigned char>& dst,
                                      const mxPelBuffer_const<unsigned char>& src);

// dst = clamp(dst + (src - 128), 0, 255): adds an offset-128 signed image;
// undoes mf_PelSubClampSigned wherever that did not clamp.  Errors as
// mf_PelSubClamp.
IMGNORM_API void mf_PelAddClamp(const mxPelBuffer<unsigned char>& dst, const mxPelBuffer_const<unsigned char>& src);

// dst = low 8 bits of (n * scale + d / 2) / d over the common window of
// numerator, denominator and (when bound) mask, at the pels where the mask
// is non-zero; an unbound mask selects every pel.  All arithmetic is 32-bit
// unsigned: the product wraps, the quotient is rounded half up and is not
// saturated (a quotient of 400 is stored as 144).  Where the mask is 0 the
// destination pel keeps its value.
//
// An unbound dst is replaced by a new buffer over the common window with the
// numerator's transforms (also when the common window is empty).  A bound
// dst is written over the common window, which must lie within its store.
//
// Throws mxPel::UnboundWindow when numerator or denominator is unbound;
// mxPelFunc::BadParams when a selected denominator pel is 0 (checked before
// anything is written); mxPel::BadWindow when a bound dst's store does not
// hold the common window.
IMGNORM_API void mf_MaskedPelDivide(const mxPelBuffer_const<unsigned short>& numerator,
                                    const mxPelBuffer_const<unsigned short>& denominator,
                                    const mxPelBuffer_const<unsigned char>& mask, mxPelBuffer<unsigned char>& dst,
                                    std::uint32_t scale);

// Masked pel functions over 8-bit images: copy, histogram and threshold under
// a mask, plus unmasked threshold and single-value replacement.
//
// Mask convention: a mask is an 8-bit image in the source's coordinates; a
// non-zero mask pel selects the pel at that position, 0 excludes it.  The
// value of a non-zero mask pel does not matter.
//
// Overlap: the masked functions work on the intersection of the source's and
// the mask's windows (and of the destination's when it is bound); pels
// outside it are neither read nor written.  An unbound mask means "no mask".
// A destination that is unbound on entry is replaced by a new buffer over the
// overlap with the source's transforms (when the overlap is not empty).
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

// copyMaskedPixels true: dst = src where the mask is 0 (the selected pels of
// dst keep their values); false: dst = src where the mask is non-zero.  An
// unbound mask copies all of src (mfPelCopy).  A newly created dst has only
// the copied pels written; the rest are 0.
// Throws mxPel::UnboundWindow for an unbound src.  An empty overlap leaves dst
// untouched (an unbound dst stays unbound).
IMGNORM_API void mf_MaskedPelCopy(const mxPelBuffer_const<unsigned char>& src,
                                  const mxPelBuffer_const<unsigned char>& mask, mxPelBuffer<unsigned char>& dst,
                                  bool copyMaskedPixels);

// Replaces histogram by the 256-bin histogram of the src pels whose mask pel
// is non-zero.  An unbound mask counts every pel of src's window; a src and
// mask that do not overlap give an empty vector (0 bins).
// Throws mxPel::UnboundWindow for an unbound src (histogram untouched).
IMGNORM_API void mf_MaskedPelHistogram(const mxPelBuffer_const<unsigned char>& src,
                                       const mxPelBuffer_const<unsigned char>& mask,
                                       std::vector<std::uint32_t>& histogram);

// dst = 255 where the mask is non-zero and src >= threshold, else 0, over the
// whole overlap.  An unbound mask makes dst the new image
// mf_PelThreshold(src, threshold), whatever dst was.
// Throws mxPel::UnboundWindow for an unbound src.  An empty overlap leaves dst
// untouched.
IMGNORM_API void mf_MaskedPelThreshold(const mxPelBuffer_const<unsigned char>& src,
                                       const mxPelBuffer_const<unsigned char>& mask, unsigned char threshold,
                                       mxPelBuffer<unsigned char>& dst);

// A new image over src's window: 255 where src >= threshold, else 0 (a
// threshold of 0 gives 255 everywhere).  Errors are those of mfPelMap.
IMGNORM_API mxPelBuffer<unsigned char> mf_PelThreshold(const mxPelBuffer_const<unsigned char>& src,
                                                       unsigned char threshold);

// As above with the threshold chosen from src's histogram by mfThresholdWGV
// (within-group variance, Otsu): the pels at or above it become 255.  A
// single-valued image becomes all 255.
IMGNORM_API mxPelBuffer<unsigned char> mf_PelThreshold(const mxPelBuffer_const<unsigned char>& src);

// Every pel of image's window equal to `from` becomes `to`, in place.  Errors
// are those of mfPelMap.
IMGNORM_API void mf_PelMapValue(mxPelBuffer<unsigned char>& image, unsigned char from, unsigned char to);

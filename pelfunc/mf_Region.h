// Region functions on 8-bit images: raster search for a grey level and
// eight-connected flood fill.
#pragma once

#include <cstdint>
#include <vector>

#include "baseif/mxExport.h"
#include "baseif/mxPair.h"
#include "baseif/mxPelBuffer.h"

// Scans src's window row by row from its first row, each row in increasing
// x, for the first pel equal to value.  Returns true and sets position to that
// pel's image coordinates; returns false (position untouched) for an empty
// window or when no pel matches.
// Throws mxPel::UnboundWindow for an unbound src.
IMGNORM_API bool mf_FindFirstPel(const mxPelBuffer_const<unsigned char>& src, unsigned char value,
                                 mxPair<std::int32_t>& position);

// Sets to fillValue every pel of image's window that equals the seed pel's
// value and is connected to the seed through such pels, each pel having eight
// neighbours (diagonals included).  No other pel changes; the buffer handle is
// const, its pels are written.
//
// work is the caller's queue storage, reused between calls: it is grown to at
// least W x H entries (never shrunk), and further if more entries are pending
// at once; its contents afterwards have no meaning.
//
// Throws mxPel::UnboundWindow for an unbound image, mxPel::BadWindow for an
// empty window, and mxPelFunc::BadParams when seed lies outside the window or
// its pel already equals fillValue (in which cases nothing is written and work
// is untouched).
IMGNORM_API void mf_FloodFill(const mxPelBuffer<unsigned char>& image, const mxPair<std::int32_t>& seed,
                              unsigned char fillValue, std::vector<long long>& work);

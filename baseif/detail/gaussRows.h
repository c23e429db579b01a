// The 16-bit Gaussian sampler handing its result over a block of rows at a
// time, for callers that use each row at once (the local mean's correction)
// instead of keeping a whole 16-bit image.  Internal to the library.
#pragma once

#include <cstdint>
#include <functional>

#include "baseif/mxGaussSample.h"

namespace mxkernel {

// Receives result rows firstRow .. firstRow + count - 1 (relative to the
// result window's top), row r at rows + (r - firstRow) x stride.
using GaussRowSink =
    std::function<void(const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t firstRow, std::int32_t count)>;

// What mfGaussSample's 16-bit form writes into a new buffer, handed to sink
// in order, top to bottom, in blocks of at most 64 rows; src's window must
// not be empty.  The same checks and errors as mfGaussSample.
void gaussSampleRows(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& params,
                     const GaussRowSink& sink);

// Writes source row `row` (0 = the top of the window) into dst, the
// window's width of pels.
using GaussRowMaker = std::function<void(std::int32_t row, unsigned char* dst)>;

// The same for a source that is never whole in memory: its rows over window
// are made by make in order, top to bottom, each once, just before the
// sampler reads them, into a ring of rows (about 64 plus the vertical
// kernel's support) that the sampler keeps in cache.  So a source computed
// from other images (a difference, say) costs neither an image-sized buffer
// nor a pass of its own through memory.  Only result rows rowBegin ..
// rowEnd - 1 (rowEnd < 0: to the last) go to sink, and the sampler stops
// after them.  With columnEnd >= 0 only the columns before it are needed:
// the sampler stops along each row after the last of them, and the columns
// after it in the rows handed over hold no result.
void gaussSampleRows(const mxPelRect& window, const GaussRowMaker& make, const mxGaussSampleParams& params,
                     const GaussRowSink& sink, std::int32_t rowBegin = 0, std::int32_t rowEnd = -1,
                     std::int32_t columnEnd = -1);

// The window of the grid that sampling a source window src with factors
// sample gives: every cell that holds a pel of src (see mxGaussSample.h).
mxPelRect gaussSampleWindow(const mxPelRect& src, const mxPair<std::int32_t>& sample);

}  // namespace mxkernel

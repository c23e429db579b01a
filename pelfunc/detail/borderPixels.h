// Internal: replicated-edge padding shared by the border expansion and the
// padded resampling.  Not part of the exported interface.
#pragma once

#include <cstdint>

#include "baseif/mxPelBuffer.h"

// buf's window, W x H pels at (x0, y0), is taken to hold an interior image of
// (W - 2 border) x (H - 2 border) pels at (x0 + border, y0 + border).  Fills
// the frame of `border` pels around the interior from the interior's edge
// pels: the corner blocks with the interior's corner pels, the bands above and
// below with copies of its first and last rows, the bands left and right with
// copies of its first and last columns.  The interior is not changed.
// Throws mxPel::UnboundWindow for an unbound buffer, mxPelFunc::BadParams for
// a negative border and mxPel::BadWindow when W or H is not above 2 border.
namespace imgnorm::detail {
void duplicateBorderPixels(mxPelBuffer<unsigned char>& buf, std::int32_t border);
}  // namespace imgnorm::detail

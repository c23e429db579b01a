// Neighbourhood and resampling functions over 8-bit images: 3x3 diamond
// smoothing, 3x3 diamond dilation and erosion of two-level images, border
// expansion by replicated edge pels, padded affine resampling, and making a
// buffer cover a rectangle.
//
// The 3x3 diamond of a pel is the pel and its four edge neighbours (left,
// right, above, below).  Every function works on the buffer's window only:
// store pels outside the window are never read as neighbours, and a pel at
// the window's edge simply has fewer neighbours.
#pragma once

#include <cstdint>

#include "baseif/mxExport.h"
#include "baseif/mxPelBuffer.h"

// Smooths buf's window in place: every pel becomes
// floor((4 x centre + sum of its in-window edge neighbours) / (4 + k)), k the
// number of those neighbours, all read from the pels as they were before the
// call.  Interior pels divide by 8, edge pels by 7, corners by 6, the pels of
// a single row or column by 6 (ends 5); a 1 x 1 window is unchanged and an
// empty window or an unbound buffer is left alone.
IMGNORM_API void mf_PelSmooth3x3Diamond(mxPelBuffer<unsigned char>& buf);

// Dilation (dilate true: bitwise OR) or erosion (false: bitwise AND) of each
// pel with its in-region edge neighbours, into dst.  The region is src's
// window, intersected with dst's when dst is bound; an unbound dst becomes a
// new buffer over src's window with src's transforms.  Neighbours outside the
// region are not used, so eroding an all-255 region keeps it all 255.  Exact
// for two-level images of 0 and 255.
// Throws mxPel::BadWindow for an unbound src or a dst that shares src's store
// (the operation never works in place), before anything is written.  An empty
// region writes nothing.
IMGNORM_API void mfBinaryMorph3x3Diamond(const mxPelBuffer_const<unsigned char>& src, bool dilate,
                                         mxPelBuffer<unsigned char>& dst);

// A new image one pel larger than src's window on every side, at the same
// image coordinates, with src's transforms: src's pels in the middle, and the
// frame filled by replicating the nearest edge pel (corners take the corner
// pel).  Throws mxPel::UnboundWindow for an unbound src and mxPel::BadWindow
// for an empty window.
IMGNORM_API mxPelBuffer<unsigned char> mf_ExpandByDuplicatingBorderPixels(const mxPelBuffer_const<unsigned char>& src);

// Resamples src's window into a new width x height image with
// mfAffineTransformImage: the window's corners are taken through src's
// client-from-image transform, and the parallelogram they span is sampled
// bicubically (highOrder true) or bilinearly (false).  The sampling reads a
// copy of the window padded by 3 (bicubic) or 2 (bilinear) replicated edge
// pels, never the pels around the window in src's store; src is not changed.
// The result's window and transforms are those mfAffineTransformImage gives.
// Throws mxPel::UnboundWindow for an unbound src, mxBadPointer when src has no
// client-from-image transform, mxPelFunc::BadParams for a width or height
// outside 1 .. 32767, and mxPel::BadWindow for an empty window.
IMGNORM_API mxPelBuffer<unsigned char> mf_PaddedAffineSample(const mxPelBuffer<unsigned char>& src, std::int32_t width,
                                                             std::int32_t height, bool highOrder);

// Makes buf cover rect.  A bound buf whose store is at least rect's size keeps
// its store, pels and transforms: the store's top-left rect.width() x
// rect.height() pels are relabelled to rect's coordinates and shown as the
// window.  Otherwise buf is replaced by a new buffer over rect (zero-filled,
// default transforms).
IMGNORM_API void mf_AdjustWindow(mxPelBuffer<unsigned char>& buf, const mxPelRect& rect);

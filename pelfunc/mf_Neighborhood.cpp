#include "pelfunc/mf_Neighborhood.h"

#include "baseif/mxAffine.h"
#include "baseif/mxPelOps.h"
#include "pelfunc/detail/borderPixels.h"

namespace {

// ---- smoothing ----

// One output row of the diamond smoothing.  c is the centre row, a and b the
// rows above and below that lie in the window (NV of them: 0, 1 or 2; unused
// pointers may be null).  The first and last pel are split out of the loop so
// that the loop has no bounds tests; the sums fit in 16 bits and the
// divisors are constants, so the loop vectorizes (the interior's division by
// 8 is a shift, 5, 6 and 7 become multiply-and-shift).
template <int NV>
inline std::uint16_t vertical(const unsigned char* a, const unsigned char* b, std::int32_t i) {
  if constexpr (NV == 2) {
    return std::uint16_t(a[i] + b[i]);
  } else if constexpr (NV == 1) {
    (void)b;
    return a[i];
  } else {
    (void)a, (void)b, (void)i;
    return 0;
  }
}

template <int NV>
void smoothRow(unsigned char* out, const unsigned char* c, const unsigned char* a, const unsigned char* b,
               std::int32_t w) {
  if (w == 1) {
    out[0] = static_cast<unsigned char>(std::uint16_t(4 * c[0] + vertical<NV>(a, b, 0)) / (4 + NV));
    return;
  }
  out[0] = static_cast<unsigned char>(std::uint16_t(4 * c[0] + c[1] + vertical<NV>(a, b, 0)) / (5 + NV));
  for (std::int32_t i = 1; i < w - 1; ++i)
    out[i] = static_cast<unsigned char>(std::uint16_t(4 * c[i] + c[i - 1] + c[i + 1] + vertical<NV>(a, b, i)) /
                                        std::uint16_t(6 + NV));
  out[w - 1] =
      static_cast<unsigned char>(std::uint16_t(4 * c[w - 1] + c[w - 2] + vertical<NV>(a, b, w - 1)) / (5 + NV));
}

// ---- morphology ----

// One output row of the diamond dilation (Or true) or erosion.  up and down
// are the rows above and below, or the centre row itself where that row is
// outside the region: OR and AND are idempotent, so combining a pel with
// itself adds nothing and no separate first-row or last-row code is needed.
template <bool Or>
inline unsigned char combine(unsigned char x, unsigned char y) {
  return static_cast<unsigned char>(Or ? (x | y) : (x & y));
}

template <bool Or>
void morphRow(unsigned char* out, const unsigned char* c, const unsigned char* up, const unsigned char* down,
              std::int32_t w) {
  if (w == 1) {
    out[0] = combine<Or>(c[0], combine<Or>(up[0], down[0]));
    return;
  }
  out[0] = combine<Or>(combine<Or>(c[0], c[1]), combine<Or>(up[0], down[0]));
  for (std::int32_t i = 1; i < w - 1; ++i)
    out[i] = combine<Or>(combine<Or>(combine<Or>(c[i - 1], c[i]), c[i + 1]), combine<Or>(up[i], down[i]));
  out[w - 1] = combine<Or>(combine<Or>(c[w - 2], c[w - 1]), combine<Or>(up[w - 1], down[w - 1]));
}

template <bool Or>
void morph(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer<unsigned char>& dst, const mxPelRect& r) {
  const std::ptrdiff_t ss = src.rowStride(), ds = dst.rowStride();
  const unsigned char* c = src.pointToPel(r.x(), r.y());
  unsigned char* out = dst.pointToPel(r.x(), r.y());
  const std::int32_t h = r.height();
  for (std::int32_t j = 0; j < h; ++j, c += ss, out += ds)
    morphRow<Or>(out, c, j > 0 ? c - ss : c, j + 1 < h ? c + ss : c, r.width());
}

// A view of buf's store over rect (which must lie in the store).
mxPelBuffer<unsigned char> view(const mxPelBuffer<unsigned char>& buf, const mxPelRect& rect) {
  mxPelBuffer<unsigned char> v(buf);
  v.window(rect, false);
  return v;
}

}  // namespace

void mf_PelSmooth3x3Diamond(mxPelBuffer<unsigned char>& buf) {
  // An unbound buffer has no pels, like an empty window: nothing to do.
  if (!buf.isBound()) return;
  const std::int32_t w = buf.width(), h = buf.height();
  if (w <= 0 || h <= 0) return;
  // Every pel reads its neighbours as they were: all reads come from a copy.
  const mxPelBuffer<unsigned char> snap = mfPelCopy<unsigned char>(buf);
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned char* c = snap.row(j);
    const unsigned char* up = j > 0 ? snap.row(j - 1) : nullptr;
    const unsigned char* down = j + 1 < h ? snap.row(j + 1) : nullptr;
    unsigned char* out = buf.row(j);
    if (up && down)
      smoothRow<2>(out, c, up, down, w);
    else if (up || down)
      smoothRow<1>(out, c, up ? up : down, nullptr, w);
    else
      smoothRow<0>(out, c, nullptr, nullptr, w);
  }
}

void mfBinaryMorph3x3Diamond(const mxPelBuffer_const<unsigned char>& src, bool dilate,
                             mxPelBuffer<unsigned char>& dst) {
  // The pixel functions throw the base library's exceptions default-constructed
  // (their standard messages): an unbound source, or a destination sharing the
  // source's pels (the operation never works in place).
  if (!src.isBound()) throw mxPel::BadWindow();
  if (dst.isBound() && dst.root() == src.root()) throw mxPel::BadWindow();
  mxPelRect r = src.window();
  if (dst.isBound()) {
    r &= dst.window();
  } else {
    dst = mxPelBuffer<unsigned char>(r);
    dst.copyXforms(src);
  }
  if (r.isNull()) return;
  if (dilate)
    morph<true>(src, dst, r);
  else
    morph<false>(src, dst, r);
}

void imgnorm::detail::duplicateBorderPixels(mxPelBuffer<unsigned char>& buf, std::int32_t border) {
  if (!buf.isBound()) throw mxPel::UnboundWindow();
  if (border < 0) throw mxPelFunc::BadParams(L"duplicateBorderPixels: the border is negative");
  const std::int32_t W = buf.width(), H = buf.height();
  if (std::int64_t(W) <= 2 * std::int64_t(border) || std::int64_t(H) <= 2 * std::int64_t(border))
    throw mxPel::BadWindow(L"duplicateBorderPixels: the window has no interior inside the border");
  if (border == 0) return;
  const std::int32_t b = border, x0 = buf.window().x(), y0 = buf.window().y();
  const std::int32_t w = W - 2 * b, h = H - 2 * b;
  const std::int32_t left = x0 + b, top = y0 + b, right = x0 + b + w - 1, bottom = y0 + b + h - 1;

  auto block = [&](std::int32_t x, std::int32_t y, std::int32_t px, std::int32_t py) {
    mfPelSet_U8(view(buf, mxPelRect(x, y, b, b)), *buf.pointToPel(px, py));
  };
  // Copies an interior row or column onto a band: the band's view is
  // relabelled to the interior view's coordinates so that mfPelCopy, which
  // pairs pels by image coordinates, maps them one to one.
  auto band = [&](const mxPelRect& to, const mxPelRect& from) {
    const mxPelBuffer<unsigned char> s = view(buf, from);
    mxPelBuffer<unsigned char> d = view(buf, to);
    d.offset(s.offset());
    mfPelCopy<unsigned char>(s, d);
  };

  block(x0, y0, left, top);
  for (std::int32_t i = 0; i < b; ++i) band(mxPelRect(left, y0 + i, w, 1), mxPelRect(left, top, w, 1));
  block(x0 + b + w, y0, right, top);
  for (std::int32_t i = 0; i < b; ++i) band(mxPelRect(x0 + i, top, 1, h), mxPelRect(left, top, 1, h));
  for (std::int32_t i = 0; i < b; ++i) band(mxPelRect(x0 + b + w + i, top, 1, h), mxPelRect(right, top, 1, h));
  block(x0, y0 + b + h, left, bottom);
  for (std::int32_t i = 0; i < b; ++i) band(mxPelRect(left, y0 + b + h + i, w, 1), mxPelRect(left, bottom, w, 1));
  block(x0 + b + w, y0 + b + h, right, bottom);
}

mxPelBuffer<unsigned char> mf_ExpandByDuplicatingBorderPixels(const mxPelBuffer_const<unsigned char>& src) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  mxPelBuffer<unsigned char> result(src.window().trim(-1, -1, -1, -1, false));
  result.copyXforms(src);
  mfPelCopy(src, result);
  imgnorm::detail::duplicateBorderPixels(result, 1);
  return result;
}

mxPelBuffer<unsigned char> mf_PaddedAffineSample(const mxPelBuffer<unsigned char>& src, std::int32_t width,
                                                 std::int32_t height, bool highOrder) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const int interpolation = highOrder ? mxAffineSamplingParams::eBicubic : mxAffineSamplingParams::eBilinear;
  // The pad covers the interpolation's reach: the cubic kernel reads up to two
  // pels beyond a sample's cell, the linear one one; the pad width equals the
  // interpolation value, which is at least that.
  const std::int32_t pad = interpolation;
  const std::shared_ptr<const mx2XformBase>& clientFromImage = src.clientFromImageXformBase();
  if (!clientFromImage) throw mxBadPointer();
  // The sampler takes 16-bit sample counts.
  if (width < 1 || width > 32767 || height < 1 || height > 32767) throw mxPelFunc::BadParams();

  const mxPelRect& win = src.window();
  const mxAffineRectangle rect(clientFromImage->mapPoint(win.origin()), clientFromImage->mapPoint(win.ur()),
                               clientFromImage->mapPoint(win.ll()));
  const mxAffineSamplingParams params(rect, std::int16_t(width), std::int16_t(height), interpolation);

  mxPelBuffer<unsigned char> padded(win.trim(-pad, -pad, -pad, -pad, false));
  mfPelCopy<unsigned char>(src, padded);
  padded.copyXforms(src);
  imgnorm::detail::duplicateBorderPixels(padded, pad);
  return mfAffineTransformImage(padded, params);
}

void mf_AdjustWindow(mxPelBuffer<unsigned char>& buf, const mxPelRect& rect) {
  if (buf.isBound()) {
    buf.setEntire();
    if (buf.width() >= rect.width() && buf.height() >= rect.height()) {
      buf.offset(rect.offset());
      buf.window(rect, false);
      return;
    }
  }
  buf = mxPelBuffer<unsigned char>(rect);
}

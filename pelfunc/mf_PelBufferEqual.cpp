#include "pelfunc/mf_PelBufferEqual.h"

#include "baseif/mxPelOps.h"

namespace {
template <class T>
bool bufferEqual(const mxPelBuffer_const<T>& a, const mxPelBuffer_const<T>& b, double tolerance) {
  if (!a.isBound() && !b.isBound()) return true;
  if (a.isBound() != b.isBound()) return false;
  if (a.window() != b.window()) return false;
  const auto& xa = a.clientFromImageXformBase();
  const auto& xb = b.clientFromImageXformBase();
  if (!xa || !xb) throw mxBadPointer();
  const mxPelRect& w = a.window();
  const mxVector<2> corners[4] = {w.origin(), w.ur(), w.ll(), w.lr()};
  for (const mxVector<2>& c : corners)
    if (!mfRealEq(xb->mapPoint(c), xa->mapPoint(c), tolerance)) return false;
  return mfPelEqual(a, b);
}
}  // namespace

bool mf_PelBufferEqual(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
                       double tolerance) {
  return bufferEqual(a, b, tolerance);
}

bool mf_PelBufferEqual(const mxPelBuffer_const<std::uint32_t>& a, const mxPelBuffer_const<std::uint32_t>& b,
                       double tolerance) {
  return bufferEqual(a, b, tolerance);
}

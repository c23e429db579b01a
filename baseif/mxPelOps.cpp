#include "baseif/mxPelOps.h"

#include "baseif/detail/pelKernels.h"

void mfPelMap(const mxPelBuffer_const<unsigned char>& src, const std::vector<unsigned char>& table,
              mxPelBuffer<unsigned char>& dst) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  if (table.size() != 256) throw mxPelFunc::BadParams(L"mfPelMap: the table must have 256 entries");
  if (!dst.isBound()) {
    // Every pel of the new buffer is written below.
    dst = mxPelBuffer<unsigned char>(src.window(), 32, mxPelInit::eUnwritten);
    dst.copyXforms(src);
  }
  const mxPelRect r = src.window().intersect(dst.window());
  if (r.isNull()) return;
  for (std::int32_t j = 0; j < r.height(); ++j)
    mxkernel::pelMapRow(src.pointToPel(r.x(), r.y() + j), dst.pointToPel(r.x(), r.y() + j), r.width(), table.data());
}

mxPelBuffer<unsigned char> mfPelMap(const mxPelBuffer_const<unsigned char>& src,
                                    const std::vector<unsigned char>& table) {
  mxPelBuffer<unsigned char> dst;
  mfPelMap(src, table, dst);
  return dst;
}

std::vector<std::uint32_t> mfPelHistogram(const mxPelBuffer_const<unsigned char>& src) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const std::int32_t w = src.width();
  // An empty window counts nothing, however many empty rows it has.
  const std::int32_t rows = w > 0 ? src.height() : 0;
  mxkernel::HistogramCounter counter(std::int64_t(w) * rows);
  for (std::int32_t j = 0; j < rows; ++j) counter.addRow(src.row(j), w);
  return counter.takeCounts();
}

void mfPelMin(const mxPelBuffer_const<unsigned char>& a, const mxPelBuffer_const<unsigned char>& b,
              mxPelBuffer<unsigned char>& dst) {
  if (!a.isBound() || !b.isBound()) throw mxPel::UnboundWindow();
  mxPelRect r = a.window().intersect(b.window());
  if (!dst.isBound()) {
    if (r.isNull()) return;
    dst = mxPelBuffer<unsigned char>(r);
    dst.copyXforms(a);
  } else {
    r &= dst.window();
  }
  if (r.isNull()) return;
  for (std::int32_t j = 0; j < r.height(); ++j) {
    const unsigned char* pa = a.pointToPel(r.x(), r.y() + j);
    const unsigned char* pb = b.pointToPel(r.x(), r.y() + j);
    unsigned char* d = dst.pointToPel(r.x(), r.y() + j);
    for (std::int32_t i = 0; i < r.width(); ++i) d[i] = pa[i] < pb[i] ? pa[i] : pb[i];
  }
}

mxPelBuffer<unsigned char> mfPelMin(const mxPelBuffer_const<unsigned char>& a,
                                    const mxPelBuffer_const<unsigned char>& b) {
  mxPelBuffer<unsigned char> dst;
  mfPelMin(a, b, dst);
  return dst;
}

mxHistoStats mfPelMoments(const mxPelBuffer_const<unsigned char>& src, const mxPelBuffer_const<unsigned char>& mask) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  mxPelRect r = src.window();
  if (mask.isBound()) r &= mask.window();
  mxkernel::Moments acc;
  if (!r.isNull())
    for (std::int32_t j = 0; j < r.height(); ++j)
      mxkernel::pelMomentsRow(src.pointToPel(r.x(), r.y() + j),
                              mask.isBound() ? mask.pointToPel(r.x(), r.y() + j) : nullptr, r.width(), acc);
  return mxHistoStats(acc.count, acc.sum, acc.sumOfSquares, 256);
}

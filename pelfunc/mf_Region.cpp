#include "pelfunc/mf_Region.h"

#include <cstring>

#include "pelfunc/detail/floodQueue.h"

bool mf_FindFirstPel(const mxPelBuffer_const<unsigned char>& src, unsigned char value, mxPair<std::int32_t>& position) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const std::int32_t w = src.width(), h = src.height();
  if (w <= 0 || h <= 0) return false;
  for (std::int32_t j = 0; j < h; ++j) {
    const unsigned char* row = src.row(j);
    const void* hit = std::memchr(row, value, std::size_t(w));
    if (hit) {
      const std::int32_t i = std::int32_t(static_cast<const unsigned char*>(hit) - row);
      position = mxPair<std::int32_t>(src.window().x() + i, src.window().y() + j);
      return true;
    }
  }
  return false;
}

void mf_FloodFill(const mxPelBuffer<unsigned char>& image, const mxPair<std::int32_t>& seed, unsigned char fillValue,
                  std::vector<long long>& work) {
  if (!image.isBound()) throw mxPel::UnboundWindow();
  const mxPelRect& win = image.window();
  // Default-constructed exceptions, as from every pixel function: an empty
  // window, a seed outside it, a seed pel that already has the fill value.
  if (win.isNull()) throw mxPel::BadWindow();
  if (!win.contains(seed)) throw mxPelFunc::BadParams();
  const unsigned char target = *image.pointToPel(seed.x(), seed.y());
  if (target == fillValue) throw mxPelFunc::BadParams();

  const std::int32_t W = win.width(), H = win.height();
  const long long pitch = image.rowStride();
  unsigned char* const base = image.pointToOffset();
  const std::size_t area = std::size_t(W) * std::size_t(H);
  if (work.size() < area) work.resize(area);

  // The queue holds pel offsets from the window's first pel (row x pitch +
  // column).  Each entry is the start of a run of target pels; taking it fills
  // the whole horizontal run through it, in both directions, then queues one
  // entry per run of target pels in the rows above and below that touches the
  // filled run or its two diagonal neighbours.  Runs queued twice are skipped
  // when their pel has already been filled.
  mxFloodQueue queue(work);
  queue.push(static_cast<long long>(seed.y() - win.y()) * pitch + (seed.x() - win.x()));
  while (!queue.empty()) {
    const long long offset = queue.pop();
    const std::int32_t row = std::int32_t(offset / pitch);
    const std::int32_t col = std::int32_t(offset % pitch);
    unsigned char* p = base + row * pitch;
    if (p[col] != target) continue;
    std::int32_t left = col, end = col + 1;
    while (left > 0 && p[left - 1] == target) --left;
    while (end < W && p[end] == target) ++end;
    std::memset(p + left, fillValue, std::size_t(end - left));

    const std::int32_t lo = left > 0 ? left - 1 : 0;
    const std::int32_t hi = end < W ? end : W - 1;
    for (const std::int32_t r : {row - 1, row + 1}) {
      if (r < 0 || r >= H) continue;
      const unsigned char* q = base + r * pitch;
      for (std::int32_t i = lo; i <= hi; ++i) {
        if (q[i] != target) continue;
        queue.push(r * pitch + i);
        while (i <= hi && q[i] == target) ++i;
      }
    }
  }
}

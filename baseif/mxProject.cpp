#include "baseif/mxProject.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "baseif/detail/cpuDispatch.h"

#if defined(__x86_64__) || defined(__i386__)
#define MX_PROJECT_X86 1
#include <immintrin.h>
#endif

namespace {

// Bilinear reads between pel centres at continuous window coordinates
// u = px - x0 - 0.5, v = py - y0 - 0.5 of a sample inside the window.  Both
// readers give the same value: i0 = floor(u) lies in -1 .. w - 1 and j0 in
// -1 .. h - 1, and a neighbour outside the window is the edge pel.

// Reads the window itself, clamping the neighbours' indices.
struct ClampedReader {
  const unsigned char* first;
  std::ptrdiff_t stride;
  std::int32_t w, h;
  double operator()(std::int32_t i0, std::int32_t j0, double au, double av) const {
    std::int32_t i1 = i0 + 1, j1 = j0 + 1;
    if (i0 < 0) i0 = 0;
    if (j0 < 0) j0 = 0;
    if (i1 > w - 1) i1 = w - 1;
    if (j1 > h - 1) j1 = h - 1;
    const unsigned char* r0 = first + j0 * stride;
    const unsigned char* r1 = first + j1 * stride;
    const double top = r0[i0] + au * (double(r0[i1]) - r0[i0]);
    const double bottom = r1[i0] + au * (double(r1[i1]) - r1[i0]);
    return top + av * (bottom - top);
  }
};

// Reads a copy of the window as doubles with a one-pel border that repeats
// the edge pels, so that no index needs clamping and no pel converting.
struct PaddedReader {
  const double* origin;  // the copy of window pel (0, 0)
  std::ptrdiff_t stride;
  double operator()(std::int32_t i0, std::int32_t j0, double au, double av) const {
    const double* r0 = origin + j0 * stride + i0;
    const double* r1 = r0 + stride;
    const double top = r0[0] + au * (r0[1] - r0[0]);
    const double bottom = r1[0] + au * (r1[1] - r1[0]);
    return top + av * (bottom - top);
  }
};

// The window copied as doubles with its edge pels repeated one pel outwards.
std::vector<double> paddedCopy(const unsigned char* first, std::ptrdiff_t stride, std::int32_t w, std::int32_t h) {
  const std::ptrdiff_t ps = std::ptrdiff_t(w) + 2;
  std::vector<double> pad(std::size_t(ps) * std::size_t(h + 2));
  for (std::int32_t j = -1; j <= h; ++j) {
    const unsigned char* s = first + std::ptrdiff_t(j < 0 ? 0 : (j < h ? j : h - 1)) * stride;
    double* d = pad.data() + std::ptrdiff_t(j + 1) * ps + 1;
    for (std::int32_t i = 0; i < w; ++i) d[i] = s[i];
    d[-1] = s[0];
    d[w] = s[w - 1];
  }
  return pad;
}

// Sums the samples of every grid column.  Sample j of column i lies at
// p0 + j dj, with p0 = start + i di, in src's image plane.  Along a column
// each coordinate is a monotone function of j (a rounded product plus a
// constant), so the samples inside the window form one run of consecutive j:
// the outside ones before it are skipped and the first one after it ends the
// column.  The inside ones are added in order of j, as one sample at a time.
template <class Reader>
std::uint64_t sumColumns(const Reader& read, std::int32_t x0, std::int32_t y0, std::int32_t w, std::int32_t h,
                         const mxVector<2>& start, const mxVector<2>& di, const mxVector<2>& dj, std::int32_t nx,
                         std::int32_t ny, std::uint32_t* pOut, std::uint32_t* cOut) {
  const double dx0 = x0, dy0 = y0;
  const double xEnd = double(x0) + w, yEnd = double(y0) + h;
  const double djx = dj.x(), djy = dj.y();
  std::uint64_t total = 0;
  for (std::int32_t i = 0; i < nx; ++i) {
    const mxVector<2> p0 = start + double(i) * di;
    const double p0x = p0.x(), p0y = p0.y();
    double sum = 0.0;
    std::int32_t j = 0;
    // Outside the window (or not a number) a sample counts as 0.
    for (; j < ny; ++j) {
      const double px = p0x + double(j) * djx;
      const double py = p0y + double(j) * djy;
      if (px >= dx0 && px < xEnd && py >= dy0 && py < yEnd) break;
    }
    const std::int32_t firstInside = j;
    for (; j < ny; ++j) {
      const double px = p0x + double(j) * djx;
      const double py = p0y + double(j) * djy;
      if (!(px >= dx0 && px < xEnd && py >= dy0 && py < yEnd)) break;
      const double u = px - dx0 - 0.5;
      const double v = py - dy0 - 0.5;
      // u, v >= -0.5 inside the window, so u + 1 and v + 1 are positive and
      // truncating them floors (cheaper than std::floor).
      const std::int32_t i0 = std::int32_t(u + 1.0) - 1, j0 = std::int32_t(v + 1.0) - 1;
      sum += read(i0, j0, u - i0, v - j0);
    }
    const std::uint32_t count = std::uint32_t(j - firstInside);
    // The sum is at most 255 * 32767, far inside 32 bits.
    pOut[i] = std::uint32_t(sum + 0.5);
    cOut[i] = count;
    total += count;
  }
  return total;
}

// ---- vector versions: several grid columns at once ----
//
// Each lane of a vector follows one grid column through the same steps as
// sumColumns (same operations in the same order, no contraction), so the sums
// are the same.  A lane whose sample lies outside the window adds +0.0, which
// leaves its sum (never negative) unchanged.  The four pels a sample reads
// come with one 32-bit gather from a table of packed cells.

// What the vector versions need, in src's image plane.
struct Grid {
  const unsigned char* first;  // the window and its row stride
  std::ptrdiff_t stride;
  std::int32_t w, h;
  std::uint32_t* cells;  // room for the (w + 1) x (h + 1) packed cells
  double x0, y0, xEnd, yEnd;
  double startX, startY, diX, diY, djX, djY;
  std::int32_t nx, ny;
};

// Cell (i0, j0) for i0 in -1 .. w - 1 and j0 in -1 .. h - 1 packs pel
// (i0, j0) in bits 0-7, (i0 + 1, j0) in 8-15, (i0, j0 + 1) in 16-23 and
// (i0 + 1, j0 + 1) in 24-31, the edge pels standing in for neighbours outside
// the window.  Cell (-1, -1) is at index 0; the stride is w + 1.
// Inlined into each vector version, so that it is built for its instruction
// set too.
inline __attribute__((always_inline)) void packCells(const unsigned char* first, std::ptrdiff_t stride, std::int32_t w,
                                                     std::int32_t h, std::uint32_t* __restrict cells) {
  for (std::int32_t r = 0; r <= h; ++r) {
    // Rows j0 = r - 1 and j0 + 1, clamped into the window.
    const unsigned char* __restrict a = first + std::ptrdiff_t(r == 0 ? 0 : r - 1) * stride;
    const unsigned char* __restrict b = first + std::ptrdiff_t(r < h ? r : h - 1) * stride;
    std::uint32_t* __restrict c = cells + std::ptrdiff_t(r) * (w + 1);
    c[0] = std::uint32_t(a[0]) * 0x101u | std::uint32_t(b[0]) * 0x1010000u;
    for (std::int32_t i = 0; i + 1 < w; ++i)
      c[i + 1] = std::uint32_t(a[i]) | std::uint32_t(a[i + 1]) << 8 | std::uint32_t(b[i]) << 16 |
                 std::uint32_t(b[i + 1]) << 24;
    c[w] = std::uint32_t(a[w - 1]) * 0x101u | std::uint32_t(b[w - 1]) * 0x1010000u;
  }
}

// The first samples of grid columns i .. i + L - 1, as the vector versions'
// lanes: lanes past the last column repeat it.
template <int L>
inline void columnStarts(const Grid& g, std::int32_t i, double* x, double* y) {
  for (std::int32_t k = 0; k < L; ++k) {
    const double c = double(std::min(i + k, g.nx - 1));
    x[k] = g.startX + c * g.diX;
    y[k] = g.startY + c * g.diY;
  }
}

// Stores the rounded sums and the counts of the columns among i .. i + L - 1
// that exist; returns their samples.
template <int L>
inline std::uint64_t storeColumns(const Grid& g, std::int32_t i, const double* sums, const std::int64_t* counts,
                                  std::uint32_t* pOut, std::uint32_t* cOut) {
  std::uint64_t total = 0;
  for (std::int32_t k = 0; k < L && i + k < g.nx; ++k) {
    pOut[i + k] = std::uint32_t(sums[k] + 0.5);
    cOut[i + k] = std::uint32_t(counts[k]);
    total += std::uint64_t(counts[k]);
  }
  return total;
}

#ifdef MX_PROJECT_X86

__attribute__((target("avx2"))) std::uint64_t sumColumnsAvx2(const Grid& g, std::uint32_t* pOut, std::uint32_t* cOut) {
  const __m256d x0 = _mm256_set1_pd(g.x0), y0 = _mm256_set1_pd(g.y0);
  const __m256d xEnd = _mm256_set1_pd(g.xEnd), yEnd = _mm256_set1_pd(g.yEnd);
  const __m256d half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
  const __m128i onei = _mm_set1_epi32(1), byte = _mm_set1_epi32(0xFF);
  packCells(g.first, g.stride, g.w, g.h, g.cells);
  const __m128i cellStride = _mm_set1_epi32(g.w + 1);
  const __m256i low32 = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const int* base = reinterpret_cast<const int*>(g.cells + g.w + 2);
  std::uint64_t total = 0;
  for (std::int32_t i = 0; i < g.nx; i += 4) {
    alignas(32) double p0x[4], p0y[4];
    columnStarts<4>(g, i, p0x, p0y);
    const __m256d ax = _mm256_load_pd(p0x), ay = _mm256_load_pd(p0y);
    __m256d sum = _mm256_setzero_pd();
    __m256i count = _mm256_setzero_si256();
    for (std::int32_t j = 0; j < g.ny; ++j) {
      const __m256d px = _mm256_add_pd(ax, _mm256_set1_pd(double(j) * g.djX));
      const __m256d py = _mm256_add_pd(ay, _mm256_set1_pd(double(j) * g.djY));
      const __m256d in =
          _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(px, x0, _CMP_GE_OQ), _mm256_cmp_pd(px, xEnd, _CMP_LT_OQ)),
                        _mm256_and_pd(_mm256_cmp_pd(py, y0, _CMP_GE_OQ), _mm256_cmp_pd(py, yEnd, _CMP_LT_OQ)));
      if (_mm256_movemask_pd(in) == 0) continue;
      const __m256d u = _mm256_sub_pd(_mm256_sub_pd(px, x0), half);
      const __m256d v = _mm256_sub_pd(_mm256_sub_pd(py, y0), half);
      const __m128i i0 = _mm_sub_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(u, one)), onei);
      const __m128i j0 = _mm_sub_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(v, one)), onei);
      const __m256d au = _mm256_sub_pd(u, _mm256_cvtepi32_pd(i0));
      const __m256d av = _mm256_sub_pd(v, _mm256_cvtepi32_pd(j0));
      const __m128i at = _mm_add_epi32(_mm_mullo_epi32(j0, cellStride), i0);
      const __m128i in32 = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(in), low32));
      const __m128i q = _mm_mask_i32gather_epi32(_mm_setzero_si128(), base, at, in32, 4);
      const __m256d p00 = _mm256_cvtepi32_pd(_mm_and_si128(q, byte));
      const __m256d p10 = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(q, 8), byte));
      const __m256d p01 = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(q, 16), byte));
      const __m256d p11 = _mm256_cvtepi32_pd(_mm_srli_epi32(q, 24));
      const __m256d top = _mm256_add_pd(p00, _mm256_mul_pd(au, _mm256_sub_pd(p10, p00)));
      const __m256d bottom = _mm256_add_pd(p01, _mm256_mul_pd(au, _mm256_sub_pd(p11, p01)));
      const __m256d value = _mm256_add_pd(top, _mm256_mul_pd(av, _mm256_sub_pd(bottom, top)));
      sum = _mm256_add_pd(sum, _mm256_and_pd(value, in));
      count = _mm256_sub_epi64(count, _mm256_castpd_si256(in));
    }
    alignas(32) double sums[4];
    alignas(32) std::int64_t counts[4];
    _mm256_store_pd(sums, sum);
    _mm256_store_si256(reinterpret_cast<__m256i*>(counts), count);
    total += storeColumns<4>(g, i, sums, counts, pOut, cOut);
  }
  return total;
}

__attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl"))) std::uint64_t sumColumnsAvx512(const Grid& g,
                                                                                                  std::uint32_t* pOut,
                                                                                                  std::uint32_t* cOut) {
  const __m512d x0 = _mm512_set1_pd(g.x0), y0 = _mm512_set1_pd(g.y0);
  const __m512d xEnd = _mm512_set1_pd(g.xEnd), yEnd = _mm512_set1_pd(g.yEnd);
  const __m512d half = _mm512_set1_pd(0.5), one = _mm512_set1_pd(1.0);
  const __m256i onei = _mm256_set1_epi32(1), byte = _mm256_set1_epi32(0xFF);
  packCells(g.first, g.stride, g.w, g.h, g.cells);
  const __m256i cellStride = _mm256_set1_epi32(g.w + 1);
  const __m512i onel = _mm512_set1_epi64(1);
  // The zero-masked conversions with every lane selected are the plain ones;
  // GCC 12's headers give the plain ones an undefined source that -Wall flags.
  const __mmask8 all = 0xFF;
  const int* base = reinterpret_cast<const int*>(g.cells + g.w + 2);
  std::uint64_t total = 0;
  for (std::int32_t i = 0; i < g.nx; i += 8) {
    alignas(64) double p0x[8], p0y[8];
    columnStarts<8>(g, i, p0x, p0y);
    const __m512d ax = _mm512_load_pd(p0x), ay = _mm512_load_pd(p0y);
    __m512d sum = _mm512_setzero_pd();
    __m512i count = _mm512_setzero_si512();
    for (std::int32_t j = 0; j < g.ny; ++j) {
      const __m512d px = _mm512_add_pd(ax, _mm512_set1_pd(double(j) * g.djX));
      const __m512d py = _mm512_add_pd(ay, _mm512_set1_pd(double(j) * g.djY));
      __mmask8 in = _mm512_cmp_pd_mask(px, x0, _CMP_GE_OQ);
      in = _mm512_mask_cmp_pd_mask(in, px, xEnd, _CMP_LT_OQ);
      in = _mm512_mask_cmp_pd_mask(in, py, y0, _CMP_GE_OQ);
      in = _mm512_mask_cmp_pd_mask(in, py, yEnd, _CMP_LT_OQ);
      if (in == 0) continue;
      const __m512d u = _mm512_sub_pd(_mm512_sub_pd(px, x0), half);
      const __m512d v = _mm512_sub_pd(_mm512_sub_pd(py, y0), half);
      const __m256i i0 = _mm256_sub_epi32(_mm512_maskz_cvttpd_epi32(all, _mm512_add_pd(u, one)), onei);
      const __m256i j0 = _mm256_sub_epi32(_mm512_maskz_cvttpd_epi32(all, _mm512_add_pd(v, one)), onei);
      const __m512d au = _mm512_sub_pd(u, _mm512_maskz_cvtepi32_pd(all, i0));
      const __m512d av = _mm512_sub_pd(v, _mm512_maskz_cvtepi32_pd(all, j0));
      const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(j0, cellStride), i0);
      const __m256i q = _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), in, at, base, 4);
      const __m512d p00 = _mm512_maskz_cvtepi32_pd(all, _mm256_and_si256(q, byte));
      const __m512d p10 = _mm512_maskz_cvtepi32_pd(all, _mm256_and_si256(_mm256_srli_epi32(q, 8), byte));
      const __m512d p01 = _mm512_maskz_cvtepi32_pd(all, _mm256_and_si256(_mm256_srli_epi32(q, 16), byte));
      const __m512d p11 = _mm512_maskz_cvtepi32_pd(all, _mm256_srli_epi32(q, 24));
      const __m512d top = _mm512_add_pd(p00, _mm512_mul_pd(au, _mm512_sub_pd(p10, p00)));
      const __m512d bottom = _mm512_add_pd(p01, _mm512_mul_pd(au, _mm512_sub_pd(p11, p01)));
      const __m512d value = _mm512_add_pd(top, _mm512_mul_pd(av, _mm512_sub_pd(bottom, top)));
      sum = _mm512_mask_add_pd(sum, in, sum, value);
      count = _mm512_mask_add_epi64(count, in, count, onel);
    }
    alignas(64) double sums[8];
    alignas(64) std::int64_t counts[8];
    _mm512_store_pd(sums, sum);
    _mm512_store_si512(counts, count);
    total += storeColumns<8>(g, i, sums, counts, pOut, cOut);
  }
  return total;
}

#endif  // MX_PROJECT_X86

// Windows up to this many pels (with the border) are copied for reading.
constexpr std::int64_t kMaxPadCells = std::int64_t(1) << 16;

bool finite(const mxVector<2>& p) { return std::isfinite(p.x()) && std::isfinite(p.y()); }

}  // namespace

void mfProjectImage(const mxPelBuffer_const<unsigned char>& src, mxPelBuffer<std::uint32_t>& projection,
                    mxPelBuffer<std::uint32_t>& inside, const mxAffineSamplingParams& params,
                    std::uint32_t& insideCount, bool& clipped) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  const auto& toImage = src.imageFromClientXformBase();
  if (!toImage) throw mxBadPointer(L"mfProjectImage: the source has no image-from-client transform");
  if (!toImage->isLinear()) throw mxPelFunc::BadParams(L"mfProjectImage: the source transform must be affine");
  const std::int32_t nx = params.xSamples();
  const std::int32_t ny = params.ySamples();
  if (nx < 1 || ny < 1) throw mxPelFunc::BadParams(L"mfProjectImage: sample counts must be at least 1");
  if (params.interpolation() != mxAffineSamplingParams::eBilinear)
    throw mxPelFunc::BadParams(L"mfProjectImage: only bilinear interpolation (2) is supported");
  const mxAffineRectangle& rect = params.rect();
  const mxVector<2> o = rect.origin();
  const mxVector<2> ex = rect.xCorner() - o;  // the rectangle's x edge
  const mxVector<2> ey = rect.yCorner() - o;  // the rectangle's y edge
  const double area = ex.x() * ey.y() - ex.y() * ey.x();
  if (!finite(o) || !finite(ex) || !finite(ey) || !(area != 0.0) || !std::isfinite(area))
    throw mxPelFunc::BadParams(L"mfProjectImage: the rectangle must have finite corners and a non-zero area");

  // Outputs: one row each, the profile plane mapped onto the rectangle.
  mxPelBuffer<std::uint32_t> proj(nx, 1);
  mxPelBuffer<std::uint32_t> in(nx, 1);
  const mxXform<2> clientFromProfile(mxMatrix<2>(ex.x() / nx, ey.x(), ex.y() / nx, ey.y()), o);
  proj.clientFromImageXform(clientFromProfile);
  in.copyXforms(proj);

  const std::int32_t x0 = src.window().x(), y0 = src.window().y();
  const std::int32_t w = src.width(), h = src.height();
  const unsigned char* first = src.pointToOffset();
  const std::ptrdiff_t stride = src.rowStride();

  // Steps between neighbouring samples, taken to src's image plane: each
  // sample then costs two multiply-adds.
  const mxXform<2> A = toImage->linear();
  const mxVector<2> startImg = A * (o + (0.5 / nx) * ex + (0.5 / ny) * ey);
  const mxVector<2> diImg = A.matrix() * ((1.0 / nx) * ex);
  const mxVector<2> djImg = A.matrix() * ((1.0 / ny) * ey);

  // A small window read by many samples is first copied with its border, so
  // that the reads need no clamping; a large one is read in place.
  const std::int64_t padCells = (std::int64_t(w) + 2) * (std::int64_t(h) + 2);
  std::uint64_t total = 0;
  const bool small = w > 0 && h > 0 && padCells <= kMaxPadCells && padCells <= 2 * std::int64_t(nx) * ny;
#ifdef MX_PROJECT_X86
  const mxcpu::Level level = mxcpu::level();
  if (small && level != mxcpu::Level::kBaseline) {
    std::vector<std::uint32_t> cells(std::size_t(w + 1) * std::size_t(h + 1));
    const Grid g{first,
                 stride,
                 w,
                 h,
                 cells.data(),
                 double(x0),
                 double(y0),
                 double(x0) + w,
                 double(y0) + h,
                 startImg.x(),
                 startImg.y(),
                 diImg.x(),
                 diImg.y(),
                 djImg.x(),
                 djImg.y(),
                 nx,
                 ny};
    total = level == mxcpu::Level::kAvx512 ? sumColumnsAvx512(g, proj.row(0), in.row(0))
                                           : sumColumnsAvx2(g, proj.row(0), in.row(0));
  } else
#endif
      if (small) {
    const std::vector<double> pad = paddedCopy(first, stride, w, h);
    const PaddedReader read{pad.data() + w + 3, std::ptrdiff_t(w) + 2};
    total = sumColumns(read, x0, y0, w, h, startImg, diImg, djImg, nx, ny, proj.row(0), in.row(0));
  } else {
    const ClampedReader read{first, stride, w, h};
    total = sumColumns(read, x0, y0, w, h, startImg, diImg, djImg, nx, ny, proj.row(0), in.row(0));
  }
  projection = proj;
  inside = in;
  insideCount = std::uint32_t(total);  // at most 32767 * 32767 < 2^30
  clipped = total != std::uint64_t(nx) * std::uint64_t(ny);
}

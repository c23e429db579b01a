#include "imgnorm/localGain.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/gaussRows.h"
#include "baseif/mxException.h"
#include "imgnorm/localCorrection.h"

namespace imgnorm::detail {

using mxImageNormalizerDefs::Method;

// How it works.  The working grid is R itself, or with sub-sampling the
// cells of R (mxkernel::gaussSampleWindow).  On it lie three 8-bit planes:
// X = image x w, Y = reference x w and the weight w (0 .. 255 for 0 .. 1):
// at full resolution w is the binarized mask, on the grid each cell holds
// the Gaussian-weighted mean of the masked image, reference and mask over
// the cell.  Without a mask w is 1 everywhere and not made.  Every local
// mean is G(plane) / G(w), so a masked mean is a normalised convolution
// through both stages, as the local mean's.  The products the regression
// needs (X Y / w, Y Y / w: the weighted products of the cells' means) are
// 16-bit; the sampler takes 8-bit planes, and the mean is linear, so their
// high and low bytes are smoothed apart and added.

namespace {

// G at 256 x the mean: values 0 .. 65280 for an 8-bit plane.
constexpr double kMeanGain = 256.0;
// Below half a grey level (x 256) a local mean carries no gain.
constexpr float kFloor = 128.0f;

using Plane = mxPelBuffer_const<unsigned char>;
using Mean = mxPelBuffer<unsigned short>;

// n floats in one contiguous pel store (rows of 4096 floats, no padding).
// The stores' blocks go back to the thread's cache and are reused by the
// next run, where a std::vector's would be faulted in anew each time once the
// heap hands freed blocks back to the system.
class Floats {
public:
  static constexpr std::int32_t kRow = 4096;
  Floats() = default;
  explicit Floats(std::size_t n, mxPelInit init = mxPelInit::eZero)
      : store_(mxPelRect(0, 0, kRow, std::int32_t((n + kRow - 1) / kRow)), 16, init), n_(n) {}
  float* data() { return n_ ? store_.row(0) : nullptr; }
  const float* data() const { return n_ ? store_.row(0) : nullptr; }
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  float& operator[](std::size_t i) { return data()[i]; }
  float operator[](std::size_t i) const { return data()[i]; }
  float* begin() { return data(); }
  float* end() { return data() + n_; }
  const float* begin() const { return data(); }
  const float* end() const { return data() + n_; }

private:
  mxPelBuffer<float> store_;
  std::size_t n_ = 0;
};

bool isGainMethod(Method m) {
  return m == mxImageNormalizerDefs::eLocalGain || m == mxImageNormalizerDefs::eLocalLinear;
}

bool subSampled(const mxPair<std::int32_t>& nbh, const mxPair<std::int32_t>& gran) {
  return (gran.x() > 1 || gran.y() > 1) && (nbh.x() > 1 || nbh.y() > 1);
}

// 256 x the Gaussian-weighted local mean (neighbourhood k) of the 8-bit
// plane that make gives row by row over w.
Mean smoothed(const mxPelRect& w, const mxkernel::GaussRowMaker& make, const mxPair<std::int32_t>& k) {
  Mean out(w, 32, mxPelInit::eUnwritten);
  mxkernel::gaussSampleRows(w, make, localMeanParams(k, kMeanGain),
                            [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t n) {
                              for (std::int32_t j = 0; j < n; ++j)
                                std::memcpy(out.row(j0 + j), rows + std::ptrdiff_t(j) * stride,
                                            sizeof(std::uint16_t) * std::size_t(w.width()));
                            });
  return out;
}

Mean smoothed(const Plane& p, const mxPair<std::int32_t>& k) {
  const mxPelRect& w = p.window();
  return smoothed(
      w, [&](std::int32_t j, unsigned char* o) { std::memcpy(o, p.row(j), std::size_t(w.width())); }, k);
}

// The local mean (x 256, as a float) of a 16-bit plane made row by row:
// 256 G(high bytes) + G(low bytes).
Floats smoothed16(const mxPelRect& w, const std::function<void(std::int32_t, std::uint16_t*)>& make,
                              const mxPair<std::int32_t>& k) {
  std::vector<std::uint16_t> row(std::size_t(w.width()));
  auto byte = [&](int shift) {
    return smoothed(
        w,
        [&, shift](std::int32_t j, unsigned char* o) {
          make(j, row.data());
          mxcpu::dispatch(
              [](const std::uint16_t* v, unsigned char* d, std::int32_t n, int sh) MX_KERNEL_INLINE {
                for (std::int32_t i = 0; i < n; ++i) d[i] = (unsigned char)(v[i] >> sh);
              },
              row.data(), o, w.width(), shift);
        },
        k);
  };
  const Mean hi = byte(8), lo = byte(0);
  Floats out(std::size_t(w.width()) * std::size_t(w.height()), mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < w.height(); ++j) {
    const std::uint16_t *h = hi.row(j), *l = lo.row(j);
    float* o = out.data() + std::ptrdiff_t(j) * w.width();
    for (std::int32_t i = 0; i < w.width(); ++i) o[i] = 256.0f * float(h[i]) + float(l[i]);
  }
  return out;
}

// num / den (local means) as a gain: clamped to the gain range; kMaxGain
// where den carries no grey level, 1 where neither does.
MX_KERNEL_INLINE inline float ratio(float num, float den) {
  // Selects, not branches, so that the loops around it vectorise.
  const float q = std::min(std::max(num / std::max(den, kFloor), kMinGain), kMaxGain);
  return den < kFloor ? (num < kFloor ? 1.0f : kMaxGain) : q;
}

// A plane of the working grid: grey levels hi + lo / 256; lo is unbound
// where the values are whole (full resolution).
struct GridPlane {
  Plane hi, lo;
  bool isBound() const { return hi.isBound(); }
  float at(std::int32_t i, const unsigned char* h, const unsigned char* l) const {
    return l ? float(h[i]) + float(l[i]) * (1.0f / 256.0f) : float(h[i]);
  }
  const unsigned char* loRow(std::int32_t j) const { return lo.isBound() ? lo.row(j) : nullptr; }
};

// The planes of the working grid (see above); w unbound without a mask.
struct GridPlanes {
  GridPlane x, y, w;
};

// Cells of an 8-bit plane made row by row over r, with 8 fraction bits (a
// cell of whole grey levels would carry a partly covered cell's mean with
// an error of up to 0.5 / coverage).
GridPlane cells(const mxPelRect& r, const mxkernel::GaussRowMaker& make, const mxPair<std::int32_t>& granularity) {
  const mxPelRect gw = mxkernel::gaussSampleWindow(r, granularity);
  mxPelBuffer<unsigned char> hi(gw, 32, mxPelInit::eUnwritten), lo(gw, 32, mxPelInit::eUnwritten);
  mxkernel::gaussSampleRows(r, make, gridSamplerParams(granularity, 256.0),
                            [&](const std::uint16_t* rows, std::ptrdiff_t stride, std::int32_t j0, std::int32_t n) {
                              for (std::int32_t j = 0; j < n; ++j) {
                                const std::uint16_t* s = rows + std::ptrdiff_t(j) * stride;
                                unsigned char *h = hi.row(j0 + j), *l = lo.row(j0 + j);
                                for (std::int32_t i = 0; i < gw.width(); ++i)
                                  h[i] = (unsigned char)(s[i] >> 8), l[i] = (unsigned char)s[i];
                              }
                            });
  return {hi, lo};
}

GridPlanes gridPlanes(const Plane& img, const Plane& ref, const Plane& msk, const mxPair<std::int32_t>& granularity,
                      bool sampled) {
  const mxPelRect& r = img.window();
  GridPlanes g;
  // a (x w at full resolution): the plane's rows, masked when there is a mask.
  auto masked = [&](const Plane& a) -> mxkernel::GaussRowMaker {
    return [&a, &msk, r](std::int32_t j, unsigned char* o) {
      const unsigned char* s = a.row(j);
      if (!msk.isBound()) {
        std::memcpy(o, s, std::size_t(r.width()));
        return;
      }
      const unsigned char* m = msk.row(j);
      for (std::int32_t i = 0; i < r.width(); ++i) o[i] = m[i] ? s[i] : 0;
    };
  };
  if (sampled) {
    g.x = cells(r, masked(img), granularity);
    g.y = cells(r, masked(ref), granularity);
    if (msk.isBound())
      g.w = cells(
          r, [&](std::int32_t j, unsigned char* o) { std::memcpy(o, msk.row(j), std::size_t(r.width())); },
          granularity);
    return g;
  }
  if (!msk.isBound()) {
    g.x.hi = img, g.y.hi = ref;
    return g;
  }
  mxPelBuffer<unsigned char> x(r, 32, mxPelInit::eUnwritten), y(r, 32, mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < r.height(); ++j) masked(img)(j, x.row(j)), masked(ref)(j, y.row(j));
  g.x.hi = x, g.y.hi = y, g.w.hi = msk;
  return g;
}

// 256 x the local mean of a plane, over its window, row-major.
Floats meanOf(const GridPlane& p, const mxPair<std::int32_t>& k) {
  const mxPelRect& w = p.hi.window();
  const Mean h = smoothed(p.hi, k);
  Mean l;
  if (p.lo.isBound()) l = smoothed(p.lo, k);
  Floats out(std::size_t(w.width()) * std::size_t(w.height()), mxPelInit::eUnwritten);
  for (std::int32_t j = 0; j < w.height(); ++j) {
    const std::uint16_t *a = h.row(j), *b = l.isBound() ? l.row(j) : nullptr;
    float* o = out.data() + std::ptrdiff_t(j) * w.width();
    mxcpu::dispatch(
        [](const std::uint16_t* a, const std::uint16_t* b, float* o, std::int32_t n) MX_KERNEL_INLINE {
          if (b)
            for (std::int32_t i = 0; i < n; ++i) o[i] = float(a[i]) + float(b[i]) * (1.0f / 256.0f);
          else
            for (std::int32_t i = 0; i < n; ++i) o[i] = float(a[i]);
        },
        a, b, o, w.width());
  }
  return out;
}

// The fields on the working grid: gain and offset with output = gain x
// image - offset (eLocalGain: offset 0).
struct GridFields {
  mxPelRect window;
  Floats gain, offset;
};

// The variance per axis (grid pels squared) of the local mean's kernel: three
// boxes whose widths add up to 2 s + 3 and differ by at most one.
mxPair<double> kernelVariance(const mxPair<std::int32_t>& k) {
  const mxPair<std::int32_t> s = localMeanParams(k, 1.0).smoothing;
  auto variance = [](std::int64_t smoothing) {
    const std::int64_t total = 2 * smoothing + 3;
    double v = 0.0;
    for (int b = 0; b < 3; ++b) {
      const double w = double(total / 3 + (b < total % 3 ? 1 : 0));
      v += (w * w - 1.0) / 12.0;
    }
    return v;
  };
  return {variance(s.x()), variance(s.y())};
}

// The first two moments (pels, pels squared) of the local mean's kernel
// (smoothing s) about pel pos of an axis of count pels, edges replicated:
// inside, 0 and the kernel's variance; within s of an edge the replicated
// edge pel takes the weight of the kernel beyond it, which moves the
// kernel's centre inward and narrows it.  Only the parts beyond the edges
// differ: sum over t of K(t) (clamp(pos + t) - pos)^n - t^n.
struct Moments {
  std::vector<float> first, second;
};
Moments edgeMoments(std::int32_t s, std::int32_t count, double variance) {
  Moments m{std::vector<float>(std::size_t(std::max(count, 0)), 0.0f),
            std::vector<float>(std::size_t(std::max(count, 0)), float(variance))};
  if (s <= 0 || count <= 0) return m;
  // The kernel: three boxes of widths adding up to 2 s + 3, by running sums.
  const std::int64_t total = 2 * std::int64_t(s) + 3;
  std::vector<double> kern{1.0};
  for (int box = 0; box < 3; ++box) {
    const std::int64_t bw = total / 3 + (box < total % 3 ? 1 : 0);
    std::vector<double> next(kern.size() + std::size_t(bw) - 1, 0.0);
    double run = 0.0;
    for (std::size_t i = 0; i < next.size(); ++i) {
      if (i < kern.size()) run += kern[i];
      if (i >= std::size_t(bw) && i - std::size_t(bw) < kern.size()) run -= kern[i - std::size_t(bw)];
      next[i] = run / double(bw);
    }
    kern.swap(next);
  }
  // kern[t + s] is K(t), t = -s .. s.
  auto add = [&](std::int32_t pos, std::int32_t t) {
    const double k = kern[std::size_t(t + s)], d = double(std::min(std::max(pos + t, 0), count - 1) - pos);
    m.first[std::size_t(pos)] += float(k * (d - t));
    m.second[std::size_t(pos)] += float(k * (d * d - double(t) * t));
  };
  for (std::int32_t pos = 0; pos < count && pos < s; ++pos)
    for (std::int32_t t = -s; t < -pos; ++t) add(pos, t);
  for (std::int32_t pos = std::max(count - s, 0); pos < count; ++pos)
    for (std::int32_t t = count - pos; t <= s; ++t) add(pos, t);
  return m;
}

// eLocalGain.  v = G(X) / G(Y) is the image's gain against the reference
// averaged over the neighbourhood, weighted by the reference.  It misses the
// gain at the pel where the gain varies (a vignette): by m1 v' + m2 v'' / 2
// per axis, m1 and m2 the kernel's first two moments about the pel (0 and
// its variance s2 inside, the centre moved inward and the kernel narrowed
// within s of an edge, where the replicated edge pel takes the weight beyond
// it), and by s2 v' (ln G(Y))' where the reference is brighter to one side
// (exact for a Gaussian kernel and a gain quadratic around the pel).  That
// bias is taken off, the derivatives from the smooth fields by differences
// over the smoothing amount s (finer steps would differentiate the fields'
// rounding), the stencil moved inside near the window's edges and the first
// derivative carried back to the pel along the second.  On the
// demonstration's vignette (neighbourhood 101) this takes the mean error
// from 3.44 to 3.14 grey levels, against 3.08 for dividing by the exact
// gain (the noise is amplified with the gain: no flat field does better).
GridFields gainFields(const GridPlanes& p, const mxPair<std::int32_t>& k) {
  const mxPelRect& w = p.x.hi.window();
  const std::int32_t width = w.width(), height = w.height();
  const Floats gx = meanOf(p.x, k), gy = meanOf(p.y, k);
  const Floats gw = p.w.isBound() ? meanOf(p.w, k) : Floats();
  const std::size_t n = gx.size();
  // v where both means carry grey levels (0 elsewhere: no correction).
  Floats v(n);
  GridFields f{w, Floats(n), {}};
  mxcpu::dispatch(
      [](const float* __restrict gx, const float* __restrict gy, const float* __restrict gw, float* __restrict gain,
         float* __restrict v, std::size_t n) MX_KERNEL_INLINE {
        for (std::size_t i = 0; i < n; ++i) {
          // The floor applies to means over set pels (x 256): the coverage
          // cancels in the ratio but not there.
          const float cov = gw ? gw[i] * (1.0f / (255.0f * 256.0f)) : 1.0f;
          const float c = std::max(cov, 1e-30f);
          gain[i] = cov > 0.0f ? ratio(gy[i] / c, gx[i] / c) : 1.0f;
          const bool known = cov > 0.0f && gx[i] >= kFloor * cov && gy[i] >= kFloor * cov;
          v[i] = known ? gx[i] / std::max(gy[i], 1.0f) : 0.0f;
        }
      },
      gx.data(), gy.data(), gw.empty() ? nullptr : gw.data(), f.gain.data(), v.data(), n);
  const mxPair<double> s2 = kernelVariance(k);
  const mxPair<std::int32_t> h = localMeanParams(k, 1.0).smoothing;
  const Moments mx = edgeMoments(h.x(), width, s2.x()), my = edgeMoments(h.y(), height, s2.y());
  // First and second differences of a field along one axis, for a line of
  // count pels (elements step apart) or for count lines at once (step 0:
  // the stencil's three lines given): the stencil moved inside near the
  // edges and the first derivative carried from its centre to the pel along
  // the second (exact for a quadratic); none when the axis is shorter than
  // the stencil or the stencil meets a pel without a gain (0).
  // With relative, the differences of f / f(stencil centre): for G(Y),
  // those of ln G(Y) to first order.
  auto differences = [](const float* a, const float* b, const float* d, float shift, std::int32_t hh,
                        std::int32_t count, float* first, float* second, bool relative = false) {
    mxcpu::dispatch(
        [](const float* __restrict a, const float* __restrict b, const float* __restrict d, float shift, float h1,
           float h2, std::int32_t count, float* __restrict first, float* __restrict second, bool relative)
            MX_KERNEL_INLINE {
              for (std::int32_t i = 0; i < count; ++i) {
                const float ai = a[i], bi = b[i], di = d[i];
                const float scale = relative ? 1.0f / std::max(bi, 1.0f) : 1.0f;
                const float keep = (ai > 0.0f) & (bi > 0.0f) & (di > 0.0f) ? 1.0f : 0.0f;
                const float s2nd = (di - 2.0f * bi + ai) * h2 * scale * keep;
                second[i] = s2nd;
                first[i] = ((di - ai) * h1 * scale + shift * s2nd) * keep;
              }
            },
        a, b, d, shift, 1.0f / float(2 * hh), 1.0f / float(hh * hh), count, first, second, relative);
  };
  // Along x within a row: the interior at once, the edge pels one by one.
  auto alongX = [&](const float* row, float* first, float* second, bool relative) {
    const std::int32_t hh = h.x();
    if (hh < 1 || width < 2 * hh + 1) {
      std::fill(first, first + width, 0.0f), std::fill(second, second + width, 0.0f);
      return;
    }
    const std::int32_t inner = width - 2 * hh;
    differences(row, row + hh, row + 2 * hh, 0.0f, hh, inner, first + hh, second + hh, relative);
    // The edge pels share their side's stencil: its differences once, the
    // first carried to each pel (the same arithmetic as the kernel's).
    float edge[4];
    differences(row, row + hh, row + 2 * hh, 0.0f, hh, 1, edge, edge + 1, relative);
    const std::int32_t c = width - 1 - hh;
    differences(row + c - hh, row + c, row + c + hh, 0.0f, hh, 1, edge + 2, edge + 3, relative);
    for (std::int32_t i = 0; i < hh; ++i) {
      first[i] = edge[0] + float(i - hh) * edge[1], second[i] = edge[1];
      const std::int32_t e = width - 1 - i;
      first[e] = edge[2] + float(e - c) * edge[3], second[e] = edge[3];
    }
  };
  std::vector<float> scratch(std::size_t(std::max(width, 1)) * 6);
  float *vx1 = scratch.data(), *vx2 = vx1 + width, *rx1 = vx2 + width, *rx2 = rx1 + width, *vy1 = rx2 + width,
        *vy2 = vy1 + width;
  std::vector<float> ry1(std::size_t(std::max(width, 1))), ry2(ry1.size());
  const bool yStencil = h.y() >= 1 && height >= 2 * h.y() + 1;
  const float s2x = float(s2.x()), s2y = float(s2.y());
  for (std::int32_t j = 0; j < height; ++j) {
    const float* vr = v.data() + std::ptrdiff_t(j) * width;
    alongX(vr, vx1, vx2, false);
    alongX(gy.data() + std::ptrdiff_t(j) * width, rx1, rx2, true);
    if (yStencil) {
      const std::int32_t c = std::min(std::max(j, h.y()), height - 1 - h.y());
      auto rowOf = [&](const Floats& fv, std::int32_t r) { return fv.data() + std::ptrdiff_t(r) * width; };
      differences(rowOf(v, c - h.y()), rowOf(v, c), rowOf(v, c + h.y()), float(j - c), h.y(), width, vy1, vy2);
      differences(rowOf(gy, c - h.y()), rowOf(gy, c), rowOf(gy, c + h.y()), float(j - c), h.y(), width, ry1.data(),
                  ry2.data(), true);
    } else {
      std::fill(vy1, vy1 + width, 0.0f), std::fill(vy2, vy2 + width, 0.0f), std::fill(ry1.begin(), ry1.end(), 0.0f);
    }
    const float m1y = my.first[std::size_t(j)], m2y = 0.5f * my.second[std::size_t(j)];
    float* g = f.gain.data() + std::ptrdiff_t(j) * width;
    struct Row {
      const float *m1x, *m2x, *vx1, *vx2, *rx1, *vy1, *vy2, *ry1, *v;
    } row{mx.first.data(), mx.second.data(), vx1, vx2, rx1, vy1, vy2, ry1.data(), vr};
    mxcpu::dispatch(
        [](const Row* r, float m1y, float m2y, float s2x, float s2y, float* __restrict g,
           std::int32_t n) MX_KERNEL_INLINE {
          const float* __restrict m1x = r->m1x, * __restrict m2x = r->m2x, * __restrict vx1 = r->vx1, * __restrict vx2 = r->vx2, * __restrict rx1 = r->rx1, * __restrict vy1 = r->vy1, * __restrict vy2 = r->vy2, * __restrict ry1 = r->ry1, * __restrict v = r->v;
          for (std::int32_t i = 0; i < n; ++i) {
            const float bias = m1x[i] * vx1[i] + 0.5f * m2x[i] * vx2[i] + s2x * vx1[i] * rx1[i] + m1y * vy1[i] +
                               m2y * vy2[i] + s2y * vy1[i] * ry1[i];
            const float gain = v[i] - bias;
            const float corrected = std::min(std::max(1.0f / std::max(gain, 1e-30f), kMinGain), kMaxGain);
            g[i] = v[i] > 0.0f ? corrected : g[i];
          }
        },
        &row, m1y, m2y, s2x, s2y, g, width);
  }
  return f;
}

GridFields linearFields(const GridPlanes& p, const mxPair<std::int32_t>& k) {
  const mxPelRect& w = p.x.hi.window();
  const std::int32_t width = w.width();
  const std::size_t n = std::size_t(width) * std::size_t(w.height());
  Floats a(n), b(n);
  {  // (the means are released before the second smoothing)
    const Floats gx = meanOf(p.x, k), gy = meanOf(p.y, k);
    const Floats gw = p.w.isBound() ? meanOf(p.w, k) : Floats();
    // The weighted products of the planes' values: a b / w (a b without a
    // mask), w 0 .. 1, in whole grey levels squared; at most 65535, as a
    // cell's masked mean exceeds its coverage only by rounding.
    auto product = [&](const GridPlane& a, const GridPlane& b) {
      return [&](std::int32_t j, std::uint16_t* o) {
        const unsigned char *ah = a.hi.row(j), *al = a.loRow(j), *bh = b.hi.row(j), *bl = b.loRow(j);
        const unsigned char *wh = p.w.isBound() ? p.w.hi.row(j) : nullptr, *wl = p.w.isBound() ? p.w.loRow(j) : nullptr;
        mxcpu::dispatch(
            [](const unsigned char* ah, const unsigned char* al, const unsigned char* bh, const unsigned char* bl,
               const unsigned char* wh, const unsigned char* wl, std::uint16_t* o, std::int32_t n) MX_KERNEL_INLINE {
              constexpr float kLow = 1.0f / 256.0f;
              for (std::int32_t i = 0; i < n; ++i) {
                const float x = al ? float(ah[i]) + float(al[i]) * kLow : float(ah[i]);
                const float y = bl ? float(bh[i]) + float(bl[i]) * kLow : float(bh[i]);
                float v = x * y;
                if (wh) {
                  const float c = wl ? float(wh[i]) + float(wl[i]) * kLow : float(wh[i]);
                  v = c > 0.0f ? v * 255.0f / std::max(c, 1e-30f) : 0.0f;
                }
                o[i] = std::uint16_t(std::int32_t(std::min(v + 0.5f, 65535.0f)));
              }
            },
            ah, al, bh, bl, wh, wl, o, width);
      };
    };
    const Floats gxy = smoothed16(w, product(p.x, p.y), k);
    const Floats gyy = smoothed16(w, product(p.y, p.y), k);
    for (std::size_t at = 0; at < n; ++at) {
      // 256 x the coverage (256 without a mask): every mean / it is a mean
      // over set pels in grey levels.
      const float cov = gw.empty() ? 256.0f : gw[at] / 255.0f;
      if (cov <= 0.0f) {
        a[at] = 1.0f, b[at] = 0.0f;
        continue;
      }
      const float mi = gx[at] / cov, mr = gy[at] / cov;
      const float a0 = 1.0f / ratio(mr * 256.0f, mi * 256.0f);
      if (mi * 256.0f < kFloor) {
        // A dark neighbourhood carries no offset: the flat-field gain alone
        // (an image 0 all around stays 0).
        a[at] = a0, b[at] = 0.0f;
        continue;
      }
      const float covariance = gxy[at] / cov - mi * mr, variance = std::max(gyy[at] / cov - mr * mr, 0.0f);
      const float slope = (covariance + kLinearRegularisation * a0) / (variance + kLinearRegularisation);
      a[at] = std::min(std::max(slope, kMinGain), kMaxGain);
      b[at] = mi - a[at] * mr;
    }
  }
  // a and b smoothed once more, each through a 16-bit fixed-point plane:
  // a x 4096 (1/8 .. 8 -> 512 .. 32768), (b + 2048) x 16 (b lies in
  // -8 x 255 .. 255 -> 128 .. 36848).
  auto fixedPoint = [&](const Floats& v, float scale, float shift) {
    return [&v, scale, shift, width](std::int32_t j, std::uint16_t* o) {
      const float* s = v.data() + std::ptrdiff_t(j) * width;
      for (std::int32_t i = 0; i < width; ++i) o[i] = std::uint16_t(std::int32_t((s[i] + shift) * scale + 0.5f));
    };
  };
  const Floats sa = smoothed16(w, fixedPoint(a, 4096.0f, 0.0f), k);
  const Floats sb = smoothed16(w, fixedPoint(b, 16.0f, 2048.0f), k);
  GridFields f{w, std::move(a), std::move(b)};
  for (std::size_t i = 0; i < n; ++i) {
    const float slope = std::min(std::max(sa[i] / (256.0f * 4096.0f), kMinGain), kMaxGain);
    const float offset = sb[i] / (256.0f * 16.0f) - 2048.0f;
    f.gain[i] = 1.0f / slope;
    f.offset[i] = offset / slope;
  }
  return f;
}

MX_KERNEL_INLINE inline unsigned char rounded(float v) {
  return (unsigned char)std::int32_t(std::min(std::max(v, 0.0f), 255.0f) + 0.5f);
}

}  // namespace

mxPair<std::int32_t> localGainHalo(Method method, const mxPair<std::int32_t>& neighborhoodSize,
                                   const mxPair<std::int32_t>& granularity) {
  const mxPair<std::int32_t> s = localMeanParams(sampledNeighborhood(neighborhoodSize, granularity), 1.0).smoothing;
  const std::int64_t times = method == mxImageNormalizerDefs::eLocalGain ? 3 : 2;
  const bool sampled = subSampled(neighborhoodSize, granularity);
  auto halo = [&](std::int64_t reach, std::int64_t g) {
    return std::int32_t(std::min<std::int64_t>(sampled ? (times * reach + 3) * g : times * reach,
                                               std::numeric_limits<std::int32_t>::max()));
  };
  return {halo(s.x(), granularity.x()), halo(s.y(), granularity.y())};
}

void runLocalGain(const mxPelBuffer_const<unsigned char>& image, const mxPelBuffer_const<unsigned char>& referenceImage,
                  const mxPelBuffer_const<unsigned char>& binarizedMask, Method method,
                  const mxPair<std::int32_t>& neighborhoodSize, const mxPair<std::int32_t>& granularity,
                  mxPelBuffer<unsigned char>& result, const mxPelRect* only, LocalGainFields* fields) {
  if (!isGainMethod(method)) throw mxPelFunc::BadParams(L"local gain: the method must be eLocalGain or eLocalLinear");
  const mxPair<std::int32_t> k = sampledNeighborhood(neighborhoodSize, granularity);
  Plane img = image, ref = referenceImage, msk = binarizedMask;
  mxPelRect r = img.window().intersect(ref.window(), false);
  if (msk.isBound()) r &= msk.window();
  img.window(r, false);
  ref.window(r, false);
  if (msk.isBound()) msk.window(r, false);
  result = mxPelBuffer<unsigned char>(r, 32, mxPelInit::eUnwritten);
  if (fields) *fields = LocalGainFields{r, {}, {}};
  if (r.isNull()) return;

  const bool sampled = subSampled(neighborhoodSize, granularity);
  const GridPlanes planes = gridPlanes(img, ref, msk, granularity, sampled);
  const GridFields f = method == mxImageNormalizerDefs::eLocalGain ? gainFields(planes, k) : linearFields(planes, k);
  const bool withOffset = !f.offset.empty();
  const mxPelRect& gw = f.window;
  // Sub-sampled: each pel between the two cells around it.
  const std::vector<GridTap> tx =
      sampled ? gridTaps(r.x(), r.width(), granularity.x(), gw.x(), gw.width()) : std::vector<GridTap>();
  const std::vector<GridTap> ty =
      sampled ? gridTaps(r.y(), r.height(), granularity.y(), gw.y(), gw.height()) : std::vector<GridTap>();
  std::vector<float> gainRow(sampled ? std::size_t(r.width()) : 0), offsetRow(std::size_t(r.width()), 0.0f);
  if (fields) {
    fields->gain.resize(std::size_t(r.width()) * std::size_t(r.height()));
    fields->offset.resize(fields->gain.size());
  }
  auto widen = [&](const Floats& field, const GridTap& t, std::vector<float>& out) {
    const float wy = float(t.w) / 256.0f;
    const float* a = field.data() + std::ptrdiff_t(t.lo) * gw.width();
    const float* b = field.data() + std::ptrdiff_t(t.hi) * gw.width();
    for (std::int32_t i = 0; i < r.width(); ++i) {
      const GridTap& s = tx[std::size_t(i)];
      const float wx = float(s.w) / 256.0f;
      const float top = a[s.lo] + (a[s.hi] - a[s.lo]) * wx, bottom = b[s.lo] + (b[s.hi] - b[s.lo]) * wx;
      out[std::size_t(i)] = top + (bottom - top) * wy;
    }
  };
  for (std::int32_t j = 0; j < r.height(); ++j) {
    // At full resolution the grid's rows are the fields' rows.
    const float* gainAt = f.gain.data() + std::ptrdiff_t(j) * r.width();
    const float* offsetAt = withOffset ? f.offset.data() + std::ptrdiff_t(j) * r.width() : offsetRow.data();
    if (sampled) {
      widen(f.gain, ty[std::size_t(j)], gainRow);
      if (withOffset) widen(f.offset, ty[std::size_t(j)], offsetRow);
      gainAt = gainRow.data(), offsetAt = offsetRow.data();
    }
    const unsigned char* s = img.row(j);
    unsigned char* o = result.row(j);
    mxcpu::dispatch(
        [](const unsigned char* s, const float* gain, const float* offset, unsigned char* o, std::int32_t n)
            MX_KERNEL_INLINE {
              for (std::int32_t i = 0; i < n; ++i) o[i] = rounded(float(s[i]) * gain[i] - offset[i]);
            },
        s, gainAt, offsetAt, o, r.width());
    if (fields) {
      std::copy(gainAt, gainAt + r.width(), fields->gain.begin() + std::ptrdiff_t(j) * r.width());
      std::copy(offsetAt, offsetAt + r.width(), fields->offset.begin() + std::ptrdiff_t(j) * r.width());
    }
  }
  if (only) result.window(only->intersect(r), false);
  result.copyXforms(image);
}

}  // namespace imgnorm::detail

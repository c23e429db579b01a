#include "imgnorm/localGain.h"

#include "baseif/mxCpuLevel.h"
#include "imgnorm/diagRecords.h"
#include "imgnorm/localCorrection.h"
#include "support/normalizerTest.h"

using namespace mxImageNormalizerDefs;
using namespace imgnorm::detail;

namespace {

Image gainRun(const Image& image, const Image& ref, const Image& mask, Method m, P nbh, P gran) {
  Image out;
  runLocalGain(image, ref, mask, m, nbh, gran, out);
  return out;
}

// The methods computed directly in double precision on the grid of cells of
// f pels with the kernel of smoothing s: per cell the sums of the set pels' count, image, reference and
// their products (over the cell's pels within the window, divided by its
// area), the kernel's weighted sums (three boxes, edges replicated) over the
// neighbourhood on that grid, the fields, and their linear interpolation
// between cell centres.
struct Reference {
  int gx, gy, cx0, cy0, cw, ch;  // the grid window
  std::vector<double> gain, offset;

  Reference(const Image& img, const Image& ref, const Image& mask, Method m, P f, P s) {
    const mxPelRect r = img.window();
    gx = f.x(), gy = f.y();
    cx0 = floorDiv(r.x(), gx), cy0 = floorDiv(r.y(), gy);
    cw = floorDiv(r.x() + r.width() - 1, gx) - cx0 + 1, ch = floorDiv(r.y() + r.height() - 1, gy) - cy0 + 1;
    std::vector<double> x(size_t(cw * ch)), y(x.size()), w(x.size()), xy(x.size()), yy(x.size());
    for (int py = r.y(); py < r.y() + r.height(); ++py)
      for (int px = r.x(); px < r.x() + r.width(); ++px) {
        const size_t at = size_t((floorDiv(py, gy) - cy0) * cw + floorDiv(px, gx) - cx0);
        const double on = mask.isBound() ? (mask.get(px, py) ? 1.0 : 0.0) : 1.0, a = img.get(px, py) * on;
        const double b = ref.get(px, py) * on, area = double(gx) * gy;
        x[at] += a / area, y[at] += b / area, w[at] += on / area, xy[at] += a * b / area, yy[at] += b * b / area;
      }
    auto mean = [&](const std::vector<double>& v) { return smooth(v, s); };
    const std::vector<double> mx = mean(x), my = mean(y), mw = mean(w);
    gain.assign(x.size(), 1.0), offset.assign(x.size(), 0.0);
    if (m == eLocalGain) {
      // The weighted gain v = mean(x) / mean(y), less its bias where it
      // bends, toward an edge or toward the reference's brighter side:
      // the kernel's first two moments about each pel (edges replicated)
      // times v's derivatives, and its variance times grad v . grad ln G(y);
      // derivatives by differences over s, moved inside near the edges.
      std::vector<double> v(x.size(), 0.0);
      for (size_t i = 0; i < x.size(); ++i) {
        if (mw[i] > 0) gain[i] = ratio(my[i] / mw[i], mx[i] / mw[i]);
        if (mw[i] > 0 && mx[i] >= 0.5 * mw[i] && my[i] >= 0.5 * mw[i]) v[i] = mx[i] / my[i];
      }
      auto moment = [](int sm, int pos, int count, int n) {
        const std::vector<double> k = threeBoxKernel(sm);
        double sum = 0;
        for (int t = -sm; t <= sm; ++t) sum += k[size_t(t + sm)] * std::pow(clampIdx(pos + t, count) - pos, n);
        return sum;
      };
      // relative: of f / f(stencil centre) (ln f to first order).
      auto derivatives = [&](const std::vector<double>& f, int i, int j, bool alongX, bool relative = false) {
        const int h = alongX ? s.x() : s.y(), count = alongX ? cw : ch, pos = alongX ? i : j;
        if (h < 1 || count < 2 * h + 1) return std::pair<double, double>(0, 0);
        const int c = std::min(std::max(pos, h), count - 1 - h);
        auto at = [&](int p) { return f[size_t(alongX ? j * cw + p : p * cw + i)]; };
        if (at(c - h) <= 0 || at(c) <= 0 || at(c + h) <= 0) return std::pair<double, double>(0, 0);
        const double scale = relative ? 1.0 / std::max(at(c), 1.0 / 256) : 1.0;
        const double second = (at(c + h) - 2 * at(c) + at(c - h)) / (h * h) * scale;
        return std::pair<double, double>((at(c + h) - at(c - h)) / (2 * h) * scale + (pos - c) * second, second);
      };
      for (int j = 0; j < ch; ++j)
        for (int i = 0; i < cw; ++i) {
          const size_t at = size_t(j * cw + i);
          if (v[at] <= 0) continue;
          double bias = 0;
          for (bool alongX : {true, false}) {
            const int sm = alongX ? s.x() : s.y(), pos = alongX ? i : j, count = alongX ? cw : ch;
            const auto dv = derivatives(v, i, j, alongX), dr = derivatives(my, i, j, alongX, true);
            const int g = alongX ? gx : gy;
            const double cell = (g * g - 1) / (12.0 * g * g);  // the cell's box, in cells squared
            bias += moment(sm, pos, count, 1) * dv.first + 0.5 * (moment(sm, pos, count, 2) + cell) * dv.second +
                    (moment(sm, count, 3 * count, 2) + cell) * dv.first * dr.first;
          }
          gain[at] = v[at] > bias ? std::min(std::max(1.0 / (v[at] - bias), 0.125), 8.0) : 8.0;
        }
      return;
    }
    const std::vector<double> mxy = mean(xy), myy = mean(yy);
    std::vector<double> a(x.size(), 1.0), b(x.size(), 0.0);
    for (size_t i = 0; i < x.size(); ++i) {
      if (mw[i] <= 0) continue;
      const double mi = mx[i] / mw[i], mr = my[i] / mw[i];
      const double c = mxy[i] / mw[i] - mi * mr, v = std::max(myy[i] / mw[i] - mr * mr, 0.0);
      a[i] = std::min(std::max((c + 64.0 / ratio(mr, mi)) / (v + 64.0), 0.125), 8.0);
      b[i] = mi - a[i] * mr;
    }
    const std::vector<double> sa = mean(a), sb = mean(b);
    for (size_t i = 0; i < x.size(); ++i) gain[i] = 1.0 / sa[i], offset[i] = sb[i] / sa[i];
  }

  // The corrected pel at (x, y) before rounding.
  double at(int x, int y, int v) const {
    double fx = 0, fy = 0;
    const int ix = tap(x, gx, cx0, fx), iy = tap(y, gy, cy0, fy);
    const int ia = clampIdx(ix, cw), ib = clampIdx(ix + 1, cw), ja = clampIdx(iy, ch), jb = clampIdx(iy + 1, ch);
    auto field = [&](const std::vector<double>& f) {
      const double top = f[size_t(ja * cw + ia)] * (1 - fx) + f[size_t(ja * cw + ib)] * fx;
      const double bottom = f[size_t(jb * cw + ia)] * (1 - fx) + f[size_t(jb * cw + ib)] * fx;
      return top * (1 - fy) + bottom * fy;
    };
    return v * field(gain) - field(offset);
  }

  static int floorDiv(int a, int b) { return a / b - (a % b != 0 && a < 0); }
  static int clampTo(int v, int lo, int n) { return std::min(std::max(v, lo), lo + n - 1); }
  static int clampIdx(int c, int n) { return std::min(std::max(c, 0), n - 1); }
  static double ratio(double num, double den) {
    if (den < 0.5) return num < 0.5 ? 1.0 : 8.0;
    return std::min(std::max(num / den, 0.125), 8.0);
  }
  // Cell index (relative to the grid window) left of pel p and the weight of the next.
  static int tap(int p, int g, int c0, double& f) {
    const double pos = (2.0 * p + 1 - g) / (2.0 * g);
    const int i = int(std::floor(pos));
    f = pos - i;
    return i - c0;
  }
  std::vector<double> smooth(const std::vector<double>& v, P s) const {
    const std::vector<double> kx = threeBoxKernel(s.x()), ky = threeBoxKernel(s.y());
    std::vector<double> t(v.size()), o(v.size());
    for (int j = 0; j < ch; ++j)
      for (int i = 0; i < cw; ++i) {
        double sum = 0;
        for (int a = -s.x(); a <= s.x(); ++a) sum += kx[size_t(a + s.x())] * v[size_t(j * cw + clampIdx(i + a, cw))];
        t[size_t(j * cw + i)] = sum;
      }
    for (int j = 0; j < ch; ++j)
      for (int i = 0; i < cw; ++i) {
        double sum = 0;
        for (int b = -s.y(); b <= s.y(); ++b) sum += ky[size_t(b + s.y())] * t[size_t(clampIdx(j + b, ch) * cw + i)];
        o[size_t(j * cw + i)] = sum;
      }
    return o;
  }
};

}  // namespace

TEST(LocalGain, MatchesDirectWeightedSums) {
  // A textured reference, the image a smooth gain and offset of it; both
  // methods, with and without a mask, at granularity 1, 2 and 3, over the
  // whole window and a cut one.  Bound: the result's rounding (0.5) plus the
  // means' 1/256 of a grey level (0.6); eLocalLinear's products are smoothed
  // in whole grey levels squared, an error that a mask covering little of a
  // neighbourhood amplifies by the inverse coverage (1.5).
  const int W = 44, H = 34;
  const Image ref = randomImage(W, H, 5, 20, 230);
  const Image image = makeImage(W, H, [&](int x, int y) {
    return std::min(255, int(ref.get(x, y) * (0.6 + 0.01 * x + 0.004 * y) + 10 + (x * 7 + y * 3) % 5));
  });
  const Image mask = makeImage(W, H, [](int x, int y) { return (x / 6 + y / 5) % 3 ? 255 : 0; });
  for (Method m : {eLocalGain, eLocalLinear})
    for (bool masked : {false, true})
      for (P gran : {P(1, 1), P(2, 2), P(3, 2)})
        for (const mxPelRect& r : {mxPelRect(0, 0, W, H), mxPelRect(5, 3, 30, 27)}) {
          SCOPED_TRACE(testing::Message() << methodName(m).c_str() << (masked ? " masked" : "") << " granularity "
                                          << gran.x() << "x" << gran.y() << " cut at " << r.x());
          Image view = image;
          view.window(r, false);
          const P nbh(9, 7);
          const Image out = gainRun(view, ref, masked ? mask : Image(), m, nbh, gran);
          ASSERT_EQ(out.window(), r);
          const Reference want(view, ref, masked ? mask : Image(), m, workingFactor(nbh, gran), gridSmoothing(nbh, gran));
          for (int y = r.y(); y < r.y() + r.height(); ++y)
            for (int x = r.x(); x < r.x() + r.width(); ++x) {
              const double v = std::min(std::max(want.at(x, y, image.get(x, y)), 0.0), 255.0);
              ASSERT_NEAR(out.get(x, y), v, 0.53) << "at " << x << "," << y;
            }
        }
}

TEST(LocalGain, WorkingGridStaysCloseToThePels) {
  // From neighbourhood 28 on, the fields come from a grid of cells of 4
  // pels or more (workingFactor): against the same methods computed directly
  // on the pels (cells of 1 pel), on a textured reference under a vignette
  // and a tilted offset, with and without a mask, the mean difference stays
  // below 1 grey level and
  // no pel differs by more than 24 (measured 0.4 - 0.9 and 22 at most: at
  // the image's edges and strongest
  // edges, where the fields bend within a cell).
  const int W = 150, H = 110;
  const Image ref = texturedImage(W, H, 7);
  const Image image = makeImage(W, H, [&](int x, int y) {
    const double u = 2.0 * x / W - 1, v = 2.0 * y / H - 1;
    return std::min(255, int(ref.get(x, y) * (1.0 - 0.3 * (u * u + v * v)) + 12 + 10 * v));
  });
  const Image mask = makeImage(W, H, [](int x, int y) { return (x / 9 + y / 7) % 4 ? 255 : 0; });
  for (Method m : {eLocalGain, eLocalLinear})
    for (bool masked : {false, true})
      for (int k : {31, 57}) {  // (both on cells of 4)
        const P nbh(k, k);
        ASSERT_EQ(workingFactor(nbh, P(1, 1)), P(4, 4));
        const Image out = gainRun(image, ref, masked ? mask : Image(), m, nbh, P(1, 1));
        std::vector<Image> levels;  // every instruction set gives the same pels
        for (int l = 0; l < int(mxcpu::detected()); ++l) {
          mxcpu::capLevel(mxcpu::Level(l));
          levels.push_back(gainRun(image, ref, masked ? mask : Image(), m, nbh, P(1, 1)));
          mxcpu::capLevel(mxcpu::detected());
        }
        const Reference want(image, ref, masked ? mask : Image(), m, P(1, 1), smoothingForNeighborhood(nbh));
        double sum = 0, worst = 0;
        for (int y = 0; y < H; ++y)
          for (int x = 0; x < W; ++x) {
            for (const Image& at : levels) ASSERT_EQ(at.get(x, y), out.get(x, y)) << "at " << x << "," << y;
            const double d = std::fabs(out.get(x, y) - std::min(std::max(want.at(x, y, image.get(x, y)), 0.0), 255.0));
            sum += d, worst = std::max(worst, d);
          }
        EXPECT_LT(sum / (W * H), 1.0) << methodName(m).c_str() << " masked " << masked << " k " << k;
        EXPECT_LT(worst, 24.0) << methodName(m).c_str() << " masked " << masked << " k " << k;
      }
}

TEST(LocalGain, RecoversSmoothFieldsAndKeepsDefects) {
  // Noise-free distortions of a textured reference: a vignette (gain 1 at
  // the centre to 0.5 at the corners) and a gain 0.65 .. 1.25 with an offset
  // -30 .. +40 across the image.  The mean error after correction stays
  // within a bound (what remains comes from the fields varying within a
  // neighbourhood, more so on the coarser grid of granularity 4), and a
  // scratch of +60 through the image keeps at least 80 % of its contrast.
  const int W = 200, H = 150;
  const Image ref = texturedImage(W, H, 3);
  struct Case {
    Method method;
    double (*gain)(double u, double v);  // u, v in -1 .. 1
    double (*offset)(double u, double v);
    double bound, sampledBound;  // granularity 1, 4
  };
  const auto vignette = [](double u, double v) { return 1.0 - 0.25 * (u * u + v * v); };
  const auto ramp = [](double u, double v) { return 0.95 + 0.25 * u + 0.05 * v; };
  const auto none = [](double, double) { return 0.0; };
  const auto tilt = [](double u, double v) { return 5.0 + 25.0 * v - 10 * u; };
  const Case cases[] = {{eLocalGain, vignette, none, 1.0, 1.5},
                        {eLocalLinear, vignette, none, 1.6, 2.3},
                        {eLocalLinear, ramp, tilt, 0.8, 0.9}};
  for (const Case& c : cases)
    for (P gran : {P(1, 1), P(4, 4)}) {
      SCOPED_TRACE(testing::Message() << methodName(c.method).c_str() << " granularity " << gran.x());
      const mxImageNormalizer tool = trainedTool(ref, c.method, P(41, 41), Image(), gran);
      const Image image = makeImage(W, H, [&](int x, int y) {
        const double u = 2.0 * (x + 0.5) / W - 1, v = 2.0 * (y + 0.5) / H - 1;
        return int(std::lround(std::min(255.0, std::max(0.0, ref.get(x, y) * c.gain(u, v) + c.offset(u, v)))));
      });
      const Image out = runTool(tool, image, c.method);
      double error = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) error += std::fabs(double(out.get(x, y)) - ref.get(x, y));
      EXPECT_LE(error / (W * H), gran.x() == 1 ? c.bound : c.sampledBound);
      Image scratched = mfPelCopy<unsigned char>(image);
      for (int y = 60; y < 63; ++y)
        for (int x = 20; x < 180; ++x) scratched.set(x, y, std::min(255, image.get(x, y) + 60));
      const Image marked = runTool(tool, scratched, c.method);
      double contrast = 0;
      for (int y = 60; y < 63; ++y)
        for (int x = 20; x < 180; ++x) contrast += double(marked.get(x, y)) - out.get(x, y);
      EXPECT_GE(contrast / (3 * 160), 48.0);
    }
}

TEST(LocalGain, BadInputGivesDefinedResults) {
  const int W = 120, H = 80;
  const Image ref = randomImage(W, H, 9, 20, 230);
  const Image scaled = makeImage(W, H, [&](int x, int y) { return (ref.get(x, y) * 7 + 5) / 10; });
  const Image leftMask = makeImage(W, H, [](int x, int) { return x < 10 ? 255 : 0; });
  const Image flat = constantImage(W, H, 100);
  const Image shadedFlat = makeImage(W, H, [](int x, int) { return 50 + x / 3; });
  struct Case {
    const char* what;
    Image reference, image, mask;
    P nbh, gran;
    int tolerance;                      // against want
    std::function<int(int, int)> want;  // -2: not checked
  };
  const Case cases[] = {
      {"image 0 everywhere", ref, constantImage(W, H, 0), Image(), P(15, 15), P(1, 1), 0, [](int, int) { return 0; }},
      {"neighbourhood 1: the reference", ref, scaled, Image(), P(1, 1), P(1, 1), 1,
       [&](int x, int y) { return ref.get(x, y); }},
      {"granularity beyond the image: one gain", ref, scaled, Image(), P(101, 101), P(500, 500), 2,
       [&](int x, int y) { return ref.get(x, y); }},
      {"no set mask pel within reach: unchanged", ref, scaled, leftMask, P(9, 9), P(1, 1), 0,
       [&](int x, int y) { return x >= 40 ? scaled.get(x, y) : -2; }},
      {"flat reference: its level", flat, shadedFlat, Image(), P(21, 21), P(2, 2), 2, [](int, int) { return 100; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const mxImageNormalizer tool = trainedTool(c.reference, eLocalGain | eLocalLinear, c.nbh, c.mask, c.gran);
    const Image gain = runTool(tool, c.image, eLocalGain), linear = runTool(tool, c.image, eLocalLinear);
    ASSERT_EQ(gain.window(), c.image.window());
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int want = c.want(x, y);
        if (want == -2) continue;
        ASSERT_NEAR(gain.get(x, y), want, c.tolerance) << "local-gain at " << x << "," << y;
        ASSERT_NEAR(linear.get(x, y), want, c.tolerance) << "local-linear at " << x << "," << y;
      }
  }
}

TEST(LocalGain, RecordsItsFieldsWithTheResult) {
  // The image is the reference at half its level: the gain field is 2
  // (pel 64), the offset 0 (pel 128), recorded one level deeper after the
  // result.
  const Image ref = randomImage(40, 30, 4, 60, 240);
  const Image half = makeImage(40, 30, [&](int x, int y) { return ref.get(x, y) / 2; });
  const mxImageNormalizer n = trainedTool(ref, eLocalGain | eLocalLinear, P(9, 9));
  for (Method m : {eLocalGain, eLocalLinear}) {
    mxDiagObject diag;
    bool ok = false;
    std::wstring why;
    n.run(half, m, ok, why, &diag, mxDiagObject::eResults);
    const auto& r = diag.records();
    ASSERT_EQ(r.size(), m == eLocalGain ? 2u : 3u);
    EXPECT_EQ(r[0].name, kResultRecord);
    EXPECT_EQ(r[1].name, kGainFieldRecord);
    if (m == eLocalLinear) {
      EXPECT_EQ(r[2].name, kOffsetFieldRecord);
    }
    EXPECT_EQ(r[1].level, diag.level() + 1);
    for (const mxDiagObject::Record& rec : r) {
      if (rec.name == kResultRecord) continue;
      // Halving truncates (an offset of -1/4 on average) and the fields
      // are rounded: within one pel of the field's value nearly everywhere.
      const int want = rec.name == kGainFieldRecord ? 64 : 128;
      const std::vector<std::uint32_t> h = mfPelHistogram(rec.image);
      EXPECT_GE(h[size_t(want - 1)] + h[size_t(want)] + h[size_t(want + 1)], 0.95 * 40 * 30) << m;
    }
  }
}

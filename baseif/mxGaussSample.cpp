#include "baseif/mxGaussSample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "baseif/detail/cpuDispatch.h"
#include "baseif/detail/gaussRows.h"
#include "baseif/mx2Xform.h"
#include "baseif/mxPelOps.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// How it works.  The 2-D kernel is separable, so the sampler runs a vertical
// stage and then a horizontal one, each a cascade of three box filters.  A
// box filter is a running sum, so its cost does not depend on its width.  The
// cascade is streamed along the filter direction over many parallel lines at
// once: at every line position it adds the entering value, subtracts the
// leaving one and scales, for all lines in one contiguous loop the compiler
// vectorises.  Each box keeps a ring of the values it still has to drop.
//   - Vertical: the lines are the source columns, processed in strips of
//     columns; a line position is a source row.  It writes only the rows the
//     output samples, into a 16-bit intermediate image holding values at 256
//     times their grey level.
//   - Horizontal: blocks of intermediate rows are first transposed into a
//     position-major scratch block (one row of it per column), streamed the
//     same way, and transposed back into the destination rows.
// Pels beyond the window's edges are never copied: the line position of a
// replicated pel simply reads the edge row or column again.

mxGaussSampleParams::mxGaussSampleParams(mxPair<std::int32_t> sample_, mxPair<std::int32_t> smoothing_, double gain_,
                                         bool centred_)
    : sample(sample_), smoothing(smoothing_), gain(gain_), centred(centred_) {}

namespace {

constexpr std::int32_t kMaxSmoothing = 32767;
constexpr std::int32_t kMaxGain = 65535;
// Intermediate values carry 8 fraction bits.
constexpr float kFixedOne = 256.0f;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The work along one axis: which outputs there are and which stretch of
// (replicated) source positions feeds them.
struct AxisPlan {
  std::int32_t first = 0;    // image coordinate of the first output pel
  std::int32_t count = 0;    // number of output pels
  std::int32_t step = 1;     // sampling factor
  std::int32_t lead = 0;     // source position of line index 0, relative to the window origin
  std::int32_t length = 0;   // line length: (count - 1) * step + kernel support, at most 2^31 - 1
  std::int32_t support = 0;  // kernel support
  std::int32_t widths[3] = {1, 1, 1};
};

AxisPlan planAxis(std::int32_t origin, std::int32_t size, std::int32_t step, std::int32_t smoothing, bool centred) {
  AxisPlan p;
  p.step = step;
  if (size <= 0) {
    p.first = std::int32_t(floorDiv(origin, step));
    return p;
  }
  const bool evenCell = centred && step % 2 == 0;
  const std::int32_t support = 2 * smoothing + 1 + (evenCell ? 1 : 0);
  // Three box widths adding up to support + 2, as equal as possible.
  const std::int32_t total = support + 2;
  for (int k = 0; k < 3; ++k) p.widths[k] = total / 3 + (k < total % 3 ? 1 : 0);
  const std::int64_t first = floorDiv(origin, step);
  const std::int64_t last = floorDiv(std::int64_t(origin) + size - 1, step);
  p.first = std::int32_t(first);
  p.count = std::int32_t(last - first + 1);
  // The kernel of output i covers source positions a_i .. a_i + support - 1.
  const std::int64_t offset = centred ? (step - support) / 2 : -smoothing;
  p.lead = std::int32_t(first * step + offset - origin);
  p.support = support;
  // Only outputs lying apart (see outputsApart) can make the line longer than
  // 32 bits; their cascades run one kernel at a time and never walk it.
  p.length = std::int32_t(
      std::min<std::int64_t>(std::int64_t(p.count - 1) * step + support, std::numeric_limits<std::int32_t>::max()));
  return p;
}

inline std::int32_t clampIndex(std::int32_t i, std::int32_t hi) { return i < 0 ? 0 : (i > hi ? hi : i); }

// Rounds a non-negative scaled sum to the nearest integer.
inline std::int32_t roundScaled(std::int32_t sum, float scale) { return std::int32_t(float(sum) * scale + 0.5f); }

// Running sums and rings of one cascade, reused from block to block.
struct CascadeScratch {
  std::vector<std::int32_t> acc;
  std::vector<std::uint16_t> ring1, ring2;
  void reserve(std::int32_t lanes, const AxisPlan& p) {
    acc.assign(std::size_t(lanes) * 3, 0);
    ring1.resize(std::size_t(lanes) * std::size_t(p.widths[1]));
    ring2.resize(std::size_t(lanes) * std::size_t(p.widths[2]));
  }
};

// One line position of all three boxes in steady state (every box past its
// lead-in), in one pass over the lanes: each lane's box-1 value goes on to
// box 2 and box 3 in registers instead of being stored and read back, and
// the lanes are walked once instead of three times.  The arithmetic is that
// of the three separate loops below, lane by lane, so the values are the
// same.  The rings must not let a box's new value and the value it drops
// share a slot (widths above 1), so the pointers never alias.
template <bool kSampled, bool kClamp, class In, class Out>
MX_KERNEL_INLINE inline void fusedPosition(std::int32_t n, const In* __restrict enter, const In* __restrict leave,
                                           std::int32_t* __restrict acc1, std::int32_t* __restrict acc2,
                                           std::int32_t* __restrict acc3, std::uint16_t* __restrict r1,
                                           const std::uint16_t* __restrict old1, std::uint16_t* __restrict r2,
                                           const std::uint16_t* __restrict old2, Out* __restrict out, float firstScale,
                                           float sc2, float lastScale, float maxValue) {
  for (std::int32_t x = 0; x < n; ++x) {
    const std::int32_t a1 = acc1[x] + enter[x];
    const std::uint16_t v1 = std::uint16_t(roundScaled(a1, firstScale));
    r1[x] = v1;
    acc1[x] = a1 - leave[x];
    const std::int32_t a2 = acc2[x] + v1;
    const std::uint16_t v2 = std::uint16_t(roundScaled(a2, sc2));
    r2[x] = v2;
    acc2[x] = a2 - old1[x];
    if (kSampled) {
      const std::int32_t a3 = acc3[x] + v2;
      const float v = float(a3) * lastScale + 0.5f;
      out[x] = Out(std::int32_t(!kClamp || v < maxValue ? v : maxValue));
      acc3[x] = a3 - old2[x];
    } else {
      acc3[x] += v2 - old2[x];
    }
  }
}

// Runs the three box filters of plan p along n parallel lines.  lineAt(q)
// gives the n input values (type In) of line position q, 0 <= q < p.length;
// outAt(j) gives where the n results of output j go (type Out).  The first
// box's sum is multiplied by firstScale, the last one's by lastScale and
// clamped to maxValue; the middle one is divided by its width.
//
// The cascade can be run in pieces: a call processes the line positions
// tBegin .. tEnd - 1 (the first call starts at 0 and sets the sums up; later
// calls resume from the sums and rings in scratch).  Output j is written at
// position j step + w2 + w3 - 2 (cascadeEnd), so the values are the same
// however the run is cut.
//
// Built for the baseline instruction set, AVX2 and AVX-512 (two or four
// times as many lanes per instruction), the version chosen at run time by
// streamCascade below.  No FMA: the products and sums are rounded exactly as
// in the baseline build, so every version gives the same values.
template <class In, class Out, class LineAt, class OutAt>
MX_KERNEL_INLINE inline void streamCascadeBody(const AxisPlan& p, std::int32_t n, float firstScale, float lastScale,
                                               float maxValue, float boxMax, CascadeScratch& scratch, std::int32_t tBegin,
                                               std::int32_t tEnd, LineAt lineAt, OutAt outAt) {
  const std::int32_t w1 = p.widths[0], w2 = p.widths[1], w3 = p.widths[2];
  const float sc2 = 1.0f / float(w2);
  std::int32_t* acc1 = scratch.acc.data();
  std::int32_t* acc2 = acc1 + n;
  std::int32_t* acc3 = acc2 + n;
  std::uint16_t* ring1 = scratch.ring1.data();
  std::uint16_t* ring2 = scratch.ring2.data();
  const std::int32_t positions = std::min(p.length - w1 + 1, tEnd);
  if (tBegin == 0) {
    // The first `edge` line positions all read the first row, so box 1 gives
    // the same value c1 = (w1 first) scaled at positions 0 .. edge - w1, and
    // box 2 the value c2 = (w2 c1) scaled wherever its window holds only
    // those.  Up to the first output (position w2 + w3 - 2) the state after
    // such positions is known without running them: the sums and rings are
    // set up as if they had been run and the loop starts after them.  With a
    // kernel longer than the window this skips the lead-in that only reads
    // the border row, and the sum of its first w1 - 1 rows.
    const std::int32_t edge = p.lead <= 0 ? 1 - p.lead : 0;
    const std::int32_t skip = std::max(0, std::min({edge - w1 + 1, w2 + w3 - 2, positions}));
    if (skip > 0) {
      const In* first = lineAt(0);
      const std::int32_t boxed2 = std::max(0, skip - w2 + 1);  // box-2 values among the skipped positions
      const std::int32_t held1 = std::min(skip, w2 - 1);
      for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t c1 = std::uint16_t(roundScaled(w1 * std::int32_t(first[x]), firstScale));
        const std::int32_t c2 = std::uint16_t(roundScaled(w2 * c1, sc2));
        acc1[x] = (w1 - 1) * std::int32_t(first[x]);
        acc2[x] = held1 * c1;
        acc3[x] = boxed2 * c2;
        ring1[x] = std::uint16_t(c1);
        ring2[x] = std::uint16_t(c2);
      }
      // Every ring slot holds the constant; slots not yet due are written
      // before they are read.
      for (std::int32_t k = 1; k < w2; ++k) std::memcpy(ring1 + std::ptrdiff_t(k) * n, ring1, sizeof *ring1 * n);
      if (boxed2 > 0)
        for (std::int32_t k = 1; k < w3; ++k) std::memcpy(ring2 + std::ptrdiff_t(k) * n, ring2, sizeof *ring2 * n);
      tBegin = skip;
    } else {
      std::fill(scratch.acc.begin(), scratch.acc.begin() + std::ptrdiff_t(n) * 3, 0);
      for (std::int32_t q = 0; q + 1 < w1; ++q) {
        const In* s = lineAt(q);
        for (std::int32_t x = 0; x < n; ++x) acc1[x] += s[x];
      }
    }
  }
  const bool fuse = w2 > 1 && w3 > 1;
  // Every box value is a rounded weighted mean of the inputs, so none exceeds
  // boxMax (the largest fixed-point input: 255 x 256 for 8-bit pels); the
  // clamp to maxValue is only needed when the last scale can carry that
  // beyond it (with a margin for the single-precision product).
  const bool clampOut = double(boxMax) * double(w3) * double(lastScale) * (1.0 + 1e-6) + 0.5 >= double(maxValue);
  for (std::int32_t t = tBegin; t < positions; ++t) {
    // Box 1 at position t: inputs t .. t + w1 - 1.
    const In* enter = lineAt(t + w1 - 1);
    const In* leave = lineAt(t);
    std::uint16_t* r1 = ring1 + std::ptrdiff_t(t % w2) * n;
    if (fuse && t - w2 - w3 + 2 >= 0) {
      const std::int32_t q2 = t - w2 + 1, q3 = q2 - w3 + 1;
      const std::uint16_t* old1 = ring1 + std::ptrdiff_t(q2 % w2) * n;
      std::uint16_t* r2 = ring2 + std::ptrdiff_t(q2 % w3) * n;
      const std::uint16_t* old2 = ring2 + std::ptrdiff_t(q3 % w3) * n;
      Out* out = q3 % p.step == 0 ? outAt(q3 / p.step) : nullptr;
      if (!out)
        fusedPosition<false, false>(n, enter, leave, acc1, acc2, acc3, r1, old1, r2, old2, out, firstScale, sc2,
                                    lastScale, maxValue);
      else if (clampOut)
        fusedPosition<true, true>(n, enter, leave, acc1, acc2, acc3, r1, old1, r2, old2, out, firstScale, sc2,
                                  lastScale, maxValue);
      else
        fusedPosition<true, false>(n, enter, leave, acc1, acc2, acc3, r1, old1, r2, old2, out, firstScale, sc2,
                                   lastScale, maxValue);
      continue;
    }
    for (std::int32_t x = 0; x < n; ++x) {
      const std::int32_t a = acc1[x] + enter[x];
      r1[x] = std::uint16_t(roundScaled(a, firstScale));
      acc1[x] = a - leave[x];
    }
    // Box 2 at position t - w2 + 1, once w2 box-1 values are there.
    const std::int32_t q2 = t - w2 + 1;
    if (q2 < 0) {
      for (std::int32_t x = 0; x < n; ++x) acc2[x] += r1[x];
      continue;
    }
    const std::uint16_t* old1 = ring1 + std::ptrdiff_t(q2 % w2) * n;
    std::uint16_t* r2 = ring2 + std::ptrdiff_t(q2 % w3) * n;
    for (std::int32_t x = 0; x < n; ++x) {
      const std::int32_t a = acc2[x] + r1[x];
      r2[x] = std::uint16_t(roundScaled(a, sc2));
      acc2[x] = a - old1[x];
    }
    // Box 3 at position q2 - w3 + 1; only sampled positions are kept.
    const std::int32_t q3 = q2 - w3 + 1;
    if (q3 < 0) {
      for (std::int32_t x = 0; x < n; ++x) acc3[x] += r2[x];
      continue;
    }
    const std::uint16_t* old2 = ring2 + std::ptrdiff_t(q3 % w3) * n;
    if (q3 % p.step == 0) {
      Out* out = outAt(q3 / p.step);
      for (std::int32_t x = 0; x < n; ++x) {
        const std::int32_t a = acc3[x] + r2[x];
        const float v = float(a) * lastScale + 0.5f;
        out[x] = Out(std::int32_t(v < maxValue ? v : maxValue));
        acc3[x] = a - old2[x];
      }
    } else {
      for (std::int32_t x = 0; x < n; ++x) acc3[x] += r2[x] - old2[x];
    }
  }
}

template <class In, class Out, class LineAt, class OutAt>
void streamCascade(const AxisPlan& p, std::int32_t n, float firstScale, float lastScale, float maxValue, float boxMax,
                   CascadeScratch& scratch, std::int32_t tBegin, std::int32_t tEnd, LineAt lineAt, OutAt outAt) {
  mxcpu::dispatch(
      [](const AxisPlan* p, std::int32_t n, float firstScale, float lastScale, float maxValue, float boxMax,
         CascadeScratch* scratch, std::int32_t tBegin, std::int32_t tEnd, LineAt lineAt, OutAt outAt) MX_KERNEL_INLINE {
        streamCascadeBody<In, Out>(*p, n, firstScale, lastScale, maxValue, boxMax, *scratch, tBegin, tEnd, lineAt,
                                   outAt);
      },
      &p, n, firstScale, lastScale, maxValue, boxMax, &scratch, tBegin, tEnd, lineAt, outAt);
}

// The line position after which outputs 0 .. j - 1 have all been written.
// In 64 bits: for outputs lying apart (below), or a block of kBlock outputs
// of a large factor, it passes 2^31.
std::int64_t cascadeEnd(const AxisPlan& p, std::int32_t j) {
  return j <= 0 ? 0 : std::int64_t(j - 1) * p.step + p.widths[1] + p.widths[2] - 1;
}

// cascadeEnd within the line (where a cascade run in pieces stops anyway).
std::int32_t cascadeEndInLine(const AxisPlan& p, std::int32_t j) {
  return std::int32_t(std::min<std::int64_t>(cascadeEnd(p, j), p.length));
}

// Sampling factors above 32768 exceed what the clamped smoothing covers, so
// the kernels of neighbouring outputs lie apart, with up to a whole factor of
// positions between them that no output uses.  Running the cascade along
// them would cost in proportion to the factor (2^31 at most); instead each
// output is computed on its own, from a fresh cascade over its kernel alone.
// The box sums are exact running sums, so that gives the same values.
bool outputsApart(const AxisPlan& p) { return p.count > 1 && p.step > p.support; }

// The plan of output i of p on its own.
AxisPlan singleOutput(const AxisPlan& p, std::int32_t i) {
  AxisPlan one = p;
  const std::int32_t support = p.support;
  one.first = p.first + i;
  one.count = 1;
  one.lead = std::int32_t(std::min<std::int64_t>(std::int64_t(p.lead) + std::int64_t(i) * p.step,
                                                 std::numeric_limits<std::int32_t>::max() - std::int64_t(support)));
  one.length = support;
  return one;
}

// Rows per block of the horizontal stage, the lanes of its cascade, and the
// rows the vertical stage produces at a time.
constexpr std::int32_t kBlock = 64;

// Columns per strip at most.  A strip's block of kBlock rows passes through
// three buffers of 2 bytes per pel (the vertical stage's output, the
// horizontal stage's transposed input and its output), 384 KiB at 1024
// columns, which with the strip's vertical sums and rings stays within a
// second-level cache of 1 MiB however wide the image is.
constexpr std::int32_t kMaxStrip = 1024;

// Vertical stage: src's window smoothed along y and sampled at plan y's rows,
// produced a block of output rows at a time into a caller's buffer (values at
// 256 times their grey level).  The columns are split into strips whose sums
// and rings take about 192 KiB (and of at most kMaxStrip columns), so that a
// strip's state stays in the processor's second-level cache while it
// advances; each strip keeps its state between blocks, so the image is read
// once whatever the block size.
template <class In>
class VerticalStream {
public:
  // The source is the rows of width pels at base, stride apart.  With
  // ringRows > 0 only a ring of that many rows is there: source row r lies
  // in slot r % ringRows, and the caller makes every row before the block
  // that reads it (see rowsFor).
  // Values pass between the stages at fixedOne times the pels (of top at
  // most).
  VerticalStream(const In* base, std::ptrdiff_t stride, std::int32_t width, std::int32_t height, const AxisPlan& y,
                 std::vector<CascadeScratch>& scratch, std::int32_t ringRows = 0, float fixedOne = kFixedOne,
                 float top = 255.0f)
      : y_(y),
        fixedOne_(fixedOne),
        boxMax_(fixedOne * top),
        width_(width),
        lastRow_(height - 1),
        ringRows_(ringRows),
        base_(base),
        stride_(stride),
        scratch_(scratch) {
    const std::int64_t perColumn = 2 * (std::int64_t(y.widths[1]) + y.widths[2]) + 12;
    const std::int64_t fit = std::max<std::int64_t>(
        64, std::min<std::int64_t>(kMaxStrip, ((std::int64_t(192) << 10) / perColumn) & ~std::int64_t(63)));
    strip_ = std::int32_t(std::min<std::int64_t>(width_, fit));
    strips_ = std::size_t((std::int64_t(width_) + strip_ - 1) / strip_);
    if (scratch_.size() < strips_) scratch_.resize(strips_);
    for (std::size_t k = 0; k < strips_; ++k)
      scratch_[k].reserve(std::min(strip_, width_ - std::int32_t(k) * strip_), y);
  }

  // The last source row that producing output rows up to j1 - 1 reads (the
  // first such row is at most ringRows(y) - 1 rows before it).
  std::int32_t rowsFor(std::int32_t j1) const {
    const std::int32_t positions = std::min(y_.length - y_.widths[0] + 1, cascadeEndInLine(y_, j1));
    const std::int64_t last = std::int64_t(y_.lead) + std::max(positions, 1) - 1 + y_.widths[0] - 1;
    return std::int32_t(std::min<std::int64_t>(std::max<std::int64_t>(last, 0), lastRow_));
  }

  // The rows a ring needs so that no block reads a row that a later row of
  // the same block has replaced: a block reads the positions of its outputs
  // plus the first box's width.  Outputs lying apart read whole kernels one
  // at a time and take no ring (0).
  static std::int64_t ringRows(const AxisPlan& y) {
    if (outputsApart(y)) return 0;
    return std::max<std::int64_t>(cascadeEnd(y, kBlock), std::int64_t(kBlock) * y.step) + y.widths[0] + 1;
  }

  std::size_t strips() const { return strips_; }
  float fixedOne() const { return fixedOne_; }
  float boxMax() const { return boxMax_; }
  // The first column of strip k and the columns it holds.
  std::int32_t stripBegin(std::size_t k) const { return std::int32_t(k) * strip_; }
  std::int32_t stripWidth(std::size_t k) const { return std::min(strip_, width_ - stripBegin(k)); }

  // Writes output rows j0 .. j1 - 1 into v (row j at v + (j - j0) vStride);
  // j0 is where the previous call stopped (0 at first).
  void produce(std::int32_t j0, std::int32_t j1, std::uint16_t* v, std::ptrdiff_t vStride) {
    for (std::size_t k = 0; k < strips_; ++k) produceStrip(k, j0, j1, v + stripBegin(k), vStride);
  }

  // The same for the columns of strip k alone, column stripBegin(k) at v.
  // Each strip advances on its own: every strip is taken through the same
  // blocks of rows, in order.
  void produceStrip(std::size_t k, std::int32_t j0, std::int32_t j1, std::uint16_t* v, std::ptrdiff_t vStride) {
    const std::int32_t c0 = stripBegin(k);
    const std::int32_t n = stripWidth(k);
    const In* base = base_ + c0;
    if (outputsApart(y_)) {
      for (std::int32_t j = j0; j < j1; ++j) {
        const AxisPlan one = singleOutput(y_, j);
        std::uint16_t* out = v + std::ptrdiff_t(j - j0) * vStride;
        streamCascade<In, std::uint16_t>(
            one, n, fixedOne_ / float(one.widths[0]), 1.0f / float(one.widths[2]), 65535.0f, boxMax_, scratch_[k], 0,
            one.length,
            [&](std::int32_t q) { return base + std::ptrdiff_t(clampIndex(one.lead + q, lastRow_)) * stride_; },
            [&](std::int32_t) { return out; });
      }
      return;
    }
    const std::int32_t tBegin = cascadeEndInLine(y_, j0), tEnd = cascadeEndInLine(y_, j1);
    streamCascade<In, std::uint16_t>(
        y_, n, fixedOne_ / float(y_.widths[0]), 1.0f / float(y_.widths[2]), 65535.0f, boxMax_, scratch_[k], tBegin, tEnd,
        [&](std::int32_t q) { return base + std::ptrdiff_t(slot(clampIndex(y_.lead + q, lastRow_))) * stride_; },
        [&](std::int32_t j) { return v + std::ptrdiff_t(j - j0) * vStride; });
  }

private:
  std::int32_t slot(std::int32_t row) const { return ringRows_ > 0 ? row % ringRows_ : row; }

  const AxisPlan& y_;
  float fixedOne_, boxMax_;
  std::int32_t width_, lastRow_, ringRows_, strip_ = 1;
  const In* base_;
  std::ptrdiff_t stride_;
  std::vector<CascadeScratch>& scratch_;
  std::size_t strips_ = 0;
};

// Transposes an 8 x 8 block of 16-bit values: out[k][i] = in[i][k], where
// in[i] points at 8 values and out[k] at room for 8.  SSE2 (every x86-64
// processor has it) does it in 24 unpack instructions; the loop is the
// portable version.
inline void transpose8x8(const std::uint16_t* const in[8], std::uint16_t* const out[8]) {
#if defined(__SSE2__)
  const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[0]));
  const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[1]));
  const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[2]));
  const __m128i a3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[3]));
  const __m128i a4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[4]));
  const __m128i a5 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[5]));
  const __m128i a6 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[6]));
  const __m128i a7 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[7]));
  const __m128i b0 = _mm_unpacklo_epi16(a0, a1), b1 = _mm_unpackhi_epi16(a0, a1);
  const __m128i b2 = _mm_unpacklo_epi16(a2, a3), b3 = _mm_unpackhi_epi16(a2, a3);
  const __m128i b4 = _mm_unpacklo_epi16(a4, a5), b5 = _mm_unpackhi_epi16(a4, a5);
  const __m128i b6 = _mm_unpacklo_epi16(a6, a7), b7 = _mm_unpackhi_epi16(a6, a7);
  const __m128i c0 = _mm_unpacklo_epi32(b0, b2), c1 = _mm_unpackhi_epi32(b0, b2);
  const __m128i c2 = _mm_unpacklo_epi32(b1, b3), c3 = _mm_unpackhi_epi32(b1, b3);
  const __m128i c4 = _mm_unpacklo_epi32(b4, b6), c5 = _mm_unpackhi_epi32(b4, b6);
  const __m128i c6 = _mm_unpacklo_epi32(b5, b7), c7 = _mm_unpackhi_epi32(b5, b7);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0]), _mm_unpacklo_epi64(c0, c4));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1]), _mm_unpackhi_epi64(c0, c4));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2]), _mm_unpacklo_epi64(c1, c5));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[3]), _mm_unpackhi_epi64(c1, c5));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[4]), _mm_unpacklo_epi64(c2, c6));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[5]), _mm_unpackhi_epi64(c2, c6));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[6]), _mm_unpacklo_epi64(c3, c7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[7]), _mm_unpackhi_epi64(c3, c7));
#else
  std::uint16_t t[8][8];
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 8; ++k) t[k][i] = in[i][k];
  for (int k = 0; k < 8; ++k) std::memcpy(out[k], t[k], sizeof t[k]);
#endif
}

inline void storeRow8(const std::uint16_t* s, std::uint16_t* d) { std::memcpy(d, s, 8 * sizeof *d); }
inline void storeRow8(const std::uint16_t* s, unsigned char* d) {
  for (int i = 0; i < 8; ++i) d[i] = (unsigned char)s[i];
}

// The sampler's working memory.  Each thread keeps one and reuses it from
// call to call (it only grows, to about 3 x 64 x 2 bytes per column of the
// largest image sampled plus the rings), so that a call neither allocates
// nor faults in fresh pages for it; a call made while the thread's arena is
// in use (from a row sink) gets a fresh one of its own.
struct SamplerArena {
  std::vector<CascadeScratch> strips;
  CascadeScratch horizontal;
  std::vector<std::uint16_t> v, in, out, rows;
  bool busy = false;
};

template <class T>
T* atLeast(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  return v.data();
}

class ArenaLease {
public:
  ArenaLease() {
    static thread_local SamplerArena arena;
    if (arena.busy) {
      own_.reset(new SamplerArena);
      arena_ = own_.get();
    } else {
      arena_ = &arena;
    }
    arena_->busy = true;
  }
  ~ArenaLease() { arena_->busy = false; }
  ArenaLease(const ArenaLease&) = delete;
  ArenaLease& operator=(const ArenaLease&) = delete;
  SamplerArena& operator*() const { return *arena_; }

private:
  SamplerArena* arena_;
  std::unique_ptr<SamplerArena> own_;
};

// Horizontal stage: a block of rows (at most kBlock) of the vertical stage's
// output smoothed along x, sampled at plan x's columns, scaled by gain and
// written into the rows at dstBase (x.count values each, dstStride apart).
// The block's columns come in strips, left to right (add).  Each strip is
// transposed into a position-major window (one row of it per column, a lane
// per row), the cascade advances over every line position whose columns are
// all there, and the outputs it finished are transposed back into the
// destination rows.  The window keeps only the columns the cascade still has
// to read (besides the strip, about the first box's width), so a wide image
// needs no more cache than a narrow one.  The cascade's sums are exact and
// each output is written at a fixed line position, so the values do not
// depend on how the columns are cut.  Outputs lying apart read whole kernels
// and wait for the last strip.
template <class T>
class HorizontalStream {
public:
  // Only outputs 0 .. end - 1 are needed (end < 0: all): the cascade stops
  // after the last of them.
  HorizontalStream(const AxisPlan& x, std::int32_t width, std::int32_t rows, double gain, T* dstBase,
                   std::ptrdiff_t dstStride, SamplerArena& arena, std::int32_t end = -1, float fixedOne = kFixedOne,
                   float boxMax = kFixedOne * 255.0f)
      : x_(x),
        width_(width),
        valid_(rows),
        n_((rows + 7) & ~7),  // a short block repeats its last row up to 8 lanes; those are not written out
        lastScale_(float(gain / (double(fixedOne) * double(x.widths[2])))),
        boxMax_(boxMax),
        dst_(dstBase),
        dstStride_(dstStride),
        arena_(arena),
        end_(end < 0 ? x.count : std::min(end, x.count)),
        stop_(cascadeEndInLine(x, end_)) {
    arena.horizontal.reserve(kBlock, x);
  }

  // Columns c0 .. c0 + count - 1 of the block's rows, row r at v + r vStride;
  // c0 is where the previous strip ended (0 at first).
  void add(const std::uint16_t* v, std::ptrdiff_t vStride, std::int32_t c0, std::int32_t count) {
    const bool apart = outputsApart(x_), last = c0 + count == width_;
    if (!apart && done_ >= stop_) return;  // every output needed is out
    const std::int32_t lastCol = width_ - 1;
    const std::ptrdiff_t n = n_;
    if (!apart) {
      // Columns left of the next line position to run are read no more.
      const std::int32_t keep = std::min(c0, clampIndex(std::int32_t(std::min<std::int64_t>(
                                                             std::int64_t(x_.lead) + done_, lastCol)),
                                                         lastCol));
      if (keep > begin_) {
        std::uint16_t* in = arena_.in.data();
        std::memmove(in, in + (keep - begin_) * n, sizeof *in * std::size_t(c0 - keep) * std::size_t(n));
        begin_ = keep;
      }
    }
    std::uint16_t* const in = atLeast(arena_.in, std::size_t(c0 + count - begin_) * std::size_t(n)) +
                              std::ptrdiff_t(c0 - begin_) * n;
    // Transpose into in[column * n + row], 8 x 8 tiles and a scalar tail.
    const std::int32_t count8 = count & ~7;
    for (std::int32_t r = 0; r < n_; r += 8) {
      const std::uint16_t* srcRows[8];
      for (int i = 0; i < 8; ++i) srcRows[i] = v + std::ptrdiff_t(std::min(r + i, valid_ - 1)) * vStride;
      for (std::int32_t c = 0; c < count8; c += 8) {
        const std::uint16_t* tileIn[8];
        std::uint16_t* tileOut[8];
        for (int i = 0; i < 8; ++i) {
          tileIn[i] = srcRows[i] + c;
          tileOut[i] = in + std::ptrdiff_t(c + i) * n + r;
        }
        transpose8x8(tileIn, tileOut);
      }
      for (std::int32_t c = count8; c < count; ++c)
        for (int i = 0; i < 8; ++i) in[std::ptrdiff_t(c) * n + r + i] = srcRows[i][c];
    }
    const std::uint16_t* const window = arena_.in.data();
    const std::int32_t first = begin_;
    const float maxValue = float(std::numeric_limits<T>::max());
    CascadeScratch& scratch = arena_.horizontal;
    if (apart) {
      if (!last) return;
      std::uint16_t* const out = atLeast(arena_.out, std::size_t(x_.count) * std::size_t(n));
      for (std::int32_t i = 0; i < x_.count; ++i) {
        const AxisPlan one = singleOutput(x_, i);
        streamCascade<std::uint16_t, std::uint16_t>(
            one, n_, 1.0f / float(one.widths[0]), lastScale_, maxValue, boxMax_, scratch, 0, one.length,
            [&](std::int32_t q) { return window + std::ptrdiff_t(clampIndex(one.lead + q, lastCol)) * n; },
            [&](std::int32_t) { return out + std::ptrdiff_t(i) * n; });
      }
      writeBack(out, 0, x_.count);
      return;
    }
    // Every line position whose entering column (position + w1 - 1) is here.
    const std::int64_t reach = std::int64_t(c0) + count - x_.widths[0] - x_.lead + 1;
    const std::int32_t tEnd = last ? stop_ : std::int32_t(std::min<std::int64_t>(reach, stop_));
    if (tEnd <= done_) return;
    const std::int32_t j0 = finished(done_), j1 = tEnd == stop_ ? end_ : finished(tEnd);
    std::uint16_t* const out = atLeast(arena_.out, std::size_t(std::max(j1 - j0, 1)) * std::size_t(n));
    streamCascade<std::uint16_t, std::uint16_t>(
        x_, n_, 1.0f / float(x_.widths[0]), lastScale_, maxValue, boxMax_, scratch, done_, tEnd,
        [&](std::int32_t q) { return window + std::ptrdiff_t(clampIndex(x_.lead + q, lastCol) - first) * n; },
        [&](std::int32_t j) { return out + std::ptrdiff_t(j - j0) * n; });
    done_ = tEnd;
    writeBack(out, j0, j1);
  }

private:
  // The outputs written before line position t (output j at j step + w2 + w3 - 2).
  std::int32_t finished(std::int64_t t) const {
    const std::int64_t at0 = std::int64_t(x_.widths[1]) + x_.widths[2] - 2;
    return t <= at0 ? 0 : std::int32_t(std::min<std::int64_t>(x_.count, (t - at0 - 1) / x_.step + 1));
  }

  // Transposes outputs j0 .. j1 - 1 (out[(j - j0) n + row]) into the
  // destination rows.
  void writeBack(const std::uint16_t* out, std::int32_t j0, std::int32_t j1) const {
    const std::int32_t count = j1 - j0, count8 = count & ~7;
    const std::ptrdiff_t n = n_;
    for (std::int32_t r = 0; r < valid_; r += 8) {
      const int rowsHere = int(std::min<std::int32_t>(8, valid_ - r));
      T* const d = dst_ + std::ptrdiff_t(r) * dstStride_ + j0;
      for (std::int32_t i = 0; i < count8; i += 8) {
        const std::uint16_t* tileIn[8];
        std::uint16_t tile[8][8];
        std::uint16_t* tileOut[8];
        for (int k = 0; k < 8; ++k) {
          tileIn[k] = out + std::ptrdiff_t(i + k) * n + r;
          tileOut[k] = tile[k];
        }
        transpose8x8(tileIn, tileOut);
        for (int k = 0; k < rowsHere; ++k) storeRow8(tile[k], d + std::ptrdiff_t(k) * dstStride_ + i);
      }
      for (int k = 0; k < rowsHere; ++k)
        for (std::int32_t i = count8; i < count; ++i) d[std::ptrdiff_t(k) * dstStride_ + i] = T(out[i * n + r + k]);
    }
  }

  const AxisPlan& x_;
  const std::int32_t width_, valid_, n_;
  const float lastScale_, boxMax_;
  T* const dst_;
  const std::ptrdiff_t dstStride_;
  SamplerArena& arena_;
  const std::int32_t end_;   // outputs needed
  const std::int32_t stop_;  // the line position after which they are all written
  std::int32_t begin_ = 0;  // the window's first column
  std::int32_t done_ = 0;   // line positions run
};

void checkParams(const mxGaussSampleParams& p, double typeMax, double top = 255.0) {
  if (p.sample.x() < 1 || p.sample.y() < 1) throw mxPelFunc::BadParams(L"mfGaussSample: sampling factors must be >= 1");
  if (p.smoothing.x() < 0 || p.smoothing.y() < 0 || p.smoothing.x() > kMaxSmoothing || p.smoothing.y() > kMaxSmoothing)
    throw mxPelFunc::BadParams(L"mfGaussSample: smoothing amounts must lie in 0 .. 32767");
  if (!(p.gain >= 0.0 && p.gain <= double(kMaxGain)))
    throw mxPelFunc::BadParams(L"mfGaussSample: gain must lie in 0 .. 65535");
  if (!p.saturate && p.gain * top > typeMax)
    throw mxPelFunc::BadParams(L"mfGaussSample: gain x " + std::to_wstring(std::int64_t(top)) +
                               L" exceeds the output range (set saturate to clamp)");
}

// The sampled result's window.
mxPelRect resultRect(const AxisPlan& x, const AxisPlan& y) { return mxPelRect(x.first, y.first, x.count, y.count); }

// Gives dst the client transforms of the sampled grid: src's transforms when
// nothing is sampled, else src's client-from-image transform after the
// scaling from result image coordinates to source image coordinates.
template <class In>
void sampledXforms(const mxPelBuffer_const<In>& src, const mxGaussSampleParams& p, mx_PelBuffer& dst) {
  if (p.sample.x() == 1 && p.sample.y() == 1) {
    dst.copyXforms(src);
    return;
  }
  const std::shared_ptr<const mx2XformBase>& c = src.clientFromImageXformBase();
  if (!c) throw mxBadPointer();
  const double gx = p.sample.x();
  const double gy = p.sample.y();
  // A cell's corner maps to the corner of its first pel; a kernel centred on
  // the cell's first pel shifts the grid back by (g - 1) / 2.
  const double tx = p.centred ? 0.0 : -(gx - 1.0) / 2.0;
  const double ty = p.centred ? 0.0 : -(gy - 1.0) / 2.0;
  const mxXform<2> scale(mxMatrix<2>(gx, 0.0, 0.0, gy), mxVector<2>(tx, ty));
  dst.clientFromImageXformBase(std::make_shared<mx2XformLinear>(c->linear() * scale));
}

// Runs both stages a block of kBlock output rows at a time, so that the
// vertical stage's output is used while it is in cache.  For every block
// (output rows j0 .. j0 + count - 1) it calls block(j0, count, stage), and
// block calls stage(rows, stride) once with where the block's rows go; stage
// runs both stages over the block, strip by strip of columns where there are
// several.  Before each block, feed(r) is told the last source row the block
// reads.  Only output rows rowBegin .. rowEnd - 1 are made: the vertical
// stage passes the rows before them (its sums must) and stops after them;
// with columnEnd >= 0, only the columns before it.
template <class T, class In, class Block, class Feed>
void sampleBlocks(VerticalStream<In>& vertical, std::int32_t width, const AxisPlan& x, const AxisPlan& y, double gain,
                  SamplerArena& arena, Block block, Feed feed, std::int32_t rowBegin = 0, std::int32_t rowEnd = -1,
                  std::int32_t columnEnd = -1) {
  if (rowEnd < 0) rowEnd = y.count;
  const bool striped = vertical.strips() > 1 && !outputsApart(x);
  const std::int32_t vWidth = striped ? vertical.stripWidth(0) : width;
  // Every element the horizontal stage reads is written by the vertical one.
  std::uint16_t* const v = atLeast(arena.v, std::size_t(vWidth) * kBlock);
  auto run = [&](std::int32_t j0, std::int32_t j1, HorizontalStream<T>* horizontal) {
    if (!striped) {
      vertical.produce(j0, j1, v, width);
      if (horizontal) horizontal->add(v, width, 0, width);
      return;
    }
    for (std::size_t k = 0; k < vertical.strips(); ++k) {
      vertical.produceStrip(k, j0, j1, v, vWidth);
      if (horizontal) horizontal->add(v, vWidth, vertical.stripBegin(k), vertical.stripWidth(k));
    }
  };
  std::int32_t j0 = 0;
  for (std::int32_t count = 0; j0 < rowBegin; j0 += count) {
    count = std::min(kBlock, rowBegin - j0);
    feed(vertical.rowsFor(j0 + count));
    run(j0, j0 + count, nullptr);
  }
  for (; j0 < rowEnd; j0 += kBlock) {
    const std::int32_t count = std::min(kBlock, rowEnd - j0);
    feed(vertical.rowsFor(j0 + count));
    block(j0, count, [&](T* rows, std::ptrdiff_t stride) {
      HorizontalStream<T> horizontal(x, width, count, gain, rows, stride, arena, columnEnd, vertical.fixedOne(),
                                     vertical.boxMax());
      run(j0, j0 + count, &horizontal);
    });
  }
}

template <class T, class In, class Block>
void sampleBlocks(const mxPelBuffer_const<In>& src, const AxisPlan& x, const AxisPlan& y, double gain,
                  SamplerArena& arena, Block block, float fixedOne = kFixedOne, float top = 255.0f) {
  VerticalStream<In> vertical(src.pointToOffset(), src.rowStride(), src.width(), src.height(), y, arena.strips, 0,
                              fixedOne, top);
  sampleBlocks<T>(vertical, src.width(), x, y, gain, arena, block, [](std::int32_t) {});
}

// fixedOne: the factor on the values carried between the stages (256 for
// 8-bit pels, 2^(16 - depth) for 16-bit ones, so that they stay within 16
// bits); top: the largest pel, for the gain's check.
template <class T, class In>
void gaussSample(const mxPelBuffer_const<In>& src, const mxGaussSampleParams& p, mxPelBuffer<T>& dst,
                 float fixedOne = kFixedOne, double top = 255.0) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  checkParams(p, double(std::numeric_limits<T>::max()), top);
  const mxPelRect w = src.window();
  const AxisPlan x = planAxis(w.x(), w.width(), p.sample.x(), p.smoothing.x(), p.centred);
  const AxisPlan y = planAxis(w.y(), w.height(), p.sample.y(), p.smoothing.y(), p.centred);
  const mxPelRect out = resultRect(x, y);
  if (!dst.isBound()) {
    mxPelBuffer<T> fresh(out);
    sampledXforms(src, p, fresh);
    dst = fresh;
  }
  if (out.isNull() || out.intersect(dst.window()).isNull()) return;
  // Write straight into dst when it shows exactly the result's window;
  // otherwise through a temporary whose overlap is copied.
  mxPelBuffer<T> target = dst;
  if (dst.window() != out) target = mxPelBuffer<T>(out);
  T* const base = target.pointToOffset();
  const std::ptrdiff_t stride = target.rowStride();
  ArenaLease arena;
  sampleBlocks<T>(
      src, x, y, p.gain, *arena,
      [&](std::int32_t j0, std::int32_t, const auto& stage) { stage(base + std::ptrdiff_t(j0) * stride, stride); },
      fixedOne, float(top));
  if (target.root() != dst.root()) mfPelCopy<T>(target, dst);
}

}  // namespace

mxPelBuffer<unsigned char> mfGaussSample(const mxPelBuffer_const<unsigned char>& src,
                                         const mxGaussSampleParams& params) {
  mxPelBuffer<unsigned char> dst;
  gaussSample<unsigned char>(src, params, dst);
  return dst;
}

void mfGaussSample(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& params,
                   mxPelBuffer<unsigned short>& dst) {
  gaussSample<unsigned short>(src, params, dst);
}

void mfGaussSample(const mxPelBuffer_const<unsigned short>& src, std::int32_t depth, const mxGaussSampleParams& params,
                   mxPelBuffer<unsigned short>& dst) {
  if (depth < 9 || depth > 16) throw mxPelFunc::BadParams(L"mfGaussSample: a 16-bit depth must lie in 9 .. 16");
  gaussSample<unsigned short>(src, params, dst, float(1 << (16 - depth)), double((1 << depth) - 1));
}

namespace {

// gaussSampleRows over a window whose rows lie at base, stride apart (in a
// ring of ringRows rows when that is above 0, made by feed; see
// VerticalStream).
template <class Feed>
void sampleRows(const mxPelRect& w, const AxisPlan& x, const AxisPlan& y, const unsigned char* base,
                std::ptrdiff_t stride, std::int32_t ringRows, double gain, const mxkernel::GaussRowSink& sink,
                Feed feed, std::int32_t rowBegin = 0, std::int32_t rowEnd = -1, std::int32_t columnEnd = -1) {
  ArenaLease arena;
  VerticalStream<unsigned char> vertical(base, stride, w.width(), w.height(), y, (*arena).strips, ringRows);
  std::uint16_t* const out = atLeast((*arena).rows, std::size_t(x.count) * kBlock);
  sampleBlocks<std::uint16_t>(
      vertical, w.width(), x, y, gain, *arena,
      [&](std::int32_t j0, std::int32_t count, const auto& stage) {
        stage(out, x.count);
        sink(out, x.count, j0, count);
      },
      feed, rowBegin, rowEnd, columnEnd);
}

}  // namespace

void mxkernel::gaussSampleRows(const mxPelBuffer_const<unsigned char>& src, const mxGaussSampleParams& p,
                               const GaussRowSink& sink) {
  if (!src.isBound()) throw mxPel::UnboundWindow();
  checkParams(p, 65535.0);
  const mxPelRect w = src.window();
  if (w.isNull()) return;
  const AxisPlan x = planAxis(w.x(), w.width(), p.sample.x(), p.smoothing.x(), p.centred);
  const AxisPlan y = planAxis(w.y(), w.height(), p.sample.y(), p.smoothing.y(), p.centred);
  sampleRows(w, x, y, src.pointToOffset(), src.rowStride(), 0, p.gain, sink, [](std::int32_t) {});
}

void mxkernel::gaussSampleRows(const mxPelRect& w, const GaussRowMaker& make, const mxGaussSampleParams& p,
                               const GaussRowSink& sink, std::int32_t rowBegin, std::int32_t rowEnd,
                               std::int32_t columnEnd) {
  checkParams(p, 65535.0);
  if (w.isNull()) return;
  const AxisPlan x = planAxis(w.x(), w.width(), p.sample.x(), p.smoothing.x(), p.centred);
  const AxisPlan y = planAxis(w.y(), w.height(), p.sample.y(), p.smoothing.y(), p.centred);
  // A ring of source rows, or every row when the ring would not be smaller.
  const std::int64_t ring = VerticalStream<unsigned char>::ringRows(y);
  const std::int32_t rows = ring > 0 && ring < w.height() ? std::int32_t(ring) : w.height();
  // (A pel store: a thread recycles it from call to call.)
  const mxPelBuffer<unsigned char> store(mxPelRect(0, 0, w.width(), rows), 64, mxPelInit::eUnwritten);
  unsigned char* const base = store.pointToOffset();
  const std::ptrdiff_t stride = store.rowStride();
  std::int32_t made = 0;  // rows 0 .. made - 1 have been made
  auto feed = [&](std::int32_t last) {
    for (; made <= last; ++made) make(made, base + std::ptrdiff_t(made % rows) * stride);
  };
  if (rows == w.height()) feed(rows - 1);
  rowEnd = rowEnd < 0 ? y.count : std::min(rowEnd, y.count);
  rowBegin = std::max(0, std::min(rowBegin, rowEnd));
  sampleRows(w, x, y, base, stride, rows < w.height() ? rows : 0, p.gain, sink, feed, rowBegin, rowEnd, columnEnd);
}

mxPelRect mxkernel::gaussSampleWindow(const mxPelRect& src, const mxPair<std::int32_t>& sample) {
  return resultRect(planAxis(src.x(), src.width(), sample.x(), 0, true),
                    planAxis(src.y(), src.height(), sample.y(), 0, true));
}

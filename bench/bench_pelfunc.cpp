// Pixel-rate benchmarks of the pel functions on 2048 x 2048 images, with
// baselines measured in the same run: a memcpy of one image and a plain
// 256-bin histogram of one image, and for 16-bit pels what the simplest loops
// cost (a copy, a read, a count into 2^depth counters, a map through a
// 2^depth-entry table), the floor under the deep tool's global methods.
// Every case reports its time per pel ("per_pel", in seconds) and its pel
// rate.
//
//   cmake -S . -B build -DIMGNORM_BUILD_BENCH=ON && cmake --build build -j2 --target bench_pelfunc
//   build/bench/bench_pelfunc
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "baseif/mxPelOps.h"
#include "bench/benchImages.h"
#include "pelfunc/mf_MaskedPel.h"
#include "pelfunc/mf_Neighborhood.h"
#include "pelfunc/mf_PelArithmetic.h"
#include "pelfunc/mf_Region.h"

namespace {

constexpr std::int32_t kSide = 2048;

mxPelBuffer<unsigned char> randomImage(std::int32_t w, std::int32_t h, unsigned seed, std::vector<int> values = {}) {
  std::mt19937 rng(seed);
  mxPelBuffer<unsigned char> b(w, h);
  for (std::int32_t j = 0; j < h; ++j) {
    unsigned char* r = b.row(j);
    for (std::int32_t i = 0; i < w; ++i)
      r[i] = static_cast<unsigned char>(values.empty() ? rng() & 255 : values[rng() % values.size()]);
  }
  return b;
}

const mxPelBuffer<unsigned char>& imageA() {
  static const mxPelBuffer<unsigned char> a = randomImage(kSide, kSide, 1);
  return a;
}
const mxPelBuffer<unsigned char>& imageB() {
  static const mxPelBuffer<unsigned char> b = randomImage(kSide, kSide, 2);
  return b;
}
// A two-level mask (0 / 255) and one with the values 0, 1 and 255.
const mxPelBuffer<unsigned char>& binaryMask() {
  static const mxPelBuffer<unsigned char> m = randomImage(kSide, kSide, 3, {0, 255});
  return m;
}
const mxPelBuffer<unsigned char>& threeLevelMask() {
  static const mxPelBuffer<unsigned char> m = randomImage(kSide, kSide, 4, {0, 1, 255});
  return m;
}

void perPel(benchmark::State& state, std::int64_t pels) {
  state.SetItemsProcessed(state.iterations() * pels);
  // Seconds per pel, shown with an SI prefix (for example "120p" = 0.12 ns).
  state.counters["per_pel"] =
      benchmark::Counter(double(pels), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ---- baselines ----

void BM_Baseline_Memcpy(benchmark::State& state) {
  const mxPelBuffer<unsigned char>& a = imageA();
  mxPelBuffer<unsigned char> d(kSide, kSide);
  const std::size_t bytes = std::size_t(a.rowStride()) * kSide;
  for (auto _ : state) {
    std::memcpy(d.pointToOffset(), a.pointToOffset(), bytes);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Memcpy);

void BM_Baseline_Histogram256(benchmark::State& state) {
  const mxPelBuffer<unsigned char>& a = imageA();
  for (auto _ : state) {
    std::uint32_t h[256] = {};
    for (std::int32_t j = 0; j < kSide; ++j) {
      const unsigned char* r = a.row(j);
      for (std::int32_t i = 0; i < kSide; ++i) ++h[r[i]];
    }
    benchmark::DoNotOptimize(h);
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Histogram256);

// The table's deepened run-time image at the depth given.
const mxPelBuffer<unsigned short>& deepImage(int depth) {
  static std::map<int, mxPelBuffer<unsigned short>> cache;
  auto& slot = cache[depth];
  if (!slot.isBound()) slot = bench::deepened(bench::runImages(kSide).run, depth, 1);
  return slot;
}

void BM_Baseline_Memcpy16(benchmark::State& state) {
  const mxPelBuffer<unsigned short>& a = deepImage(16);
  mxPelBuffer<unsigned short> d(kSide, kSide);
  for (auto _ : state) {
    for (std::int32_t j = 0; j < kSide; ++j) std::memcpy(d.row(j), a.row(j), kSide * sizeof(unsigned short));
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Memcpy16);

void BM_Baseline_Read16(benchmark::State& state) {
  const mxPelBuffer<unsigned short>& a = deepImage(16);
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (std::int32_t j = 0; j < kSide; ++j) {
      const unsigned short* r = a.row(j);
      std::uint32_t row = 0;  // a row's sum fits, so the loop reads in vector lanes
      for (std::int32_t i = 0; i < kSide; ++i) row += r[i];
      sum += row;
    }
    benchmark::DoNotOptimize(sum);
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Read16);

// One increment a pel into 2^depth counters.
void BM_Baseline_Count16(benchmark::State& state) {
  const int depth = int(state.range(0));
  const mxPelBuffer<unsigned short>& a = deepImage(depth);
  std::vector<std::uint32_t> h(std::size_t(1) << depth);
  for (auto _ : state) {
    std::fill(h.begin(), h.end(), 0u);
    for (std::int32_t j = 0; j < kSide; ++j) {
      const unsigned short* r = a.row(j);
      for (std::int32_t i = 0; i < kSide; ++i) ++h[r[i]];
    }
    benchmark::DoNotOptimize(h.data());
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Count16)->ArgName("depth")->Arg(12)->Arg(16);

// Each pel through a 2^depth-entry table, one scalar read a pel (this file
// is built without AVX2's gathers, which were slower on the processors
// measured anyway).
void BM_Baseline_Map16(benchmark::State& state) {
  const int depth = int(state.range(0));
  const mxPelBuffer<unsigned short>& a = deepImage(depth);
  std::vector<unsigned short> table(std::size_t(1) << depth);
  for (std::size_t v = 0; v < table.size(); ++v) table[v] = static_cast<unsigned short>(table.size() - 1 - v);
  mxPelBuffer<unsigned short> d(kSide, kSide);
  for (auto _ : state) {
    for (std::int32_t j = 0; j < kSide; ++j) {
      const unsigned short* r = a.row(j);
      unsigned short* o = d.row(j);
      for (std::int32_t i = 0; i < kSide; ++i) o[i] = table[r[i]];
    }
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Baseline_Map16)->ArgName("depth")->Arg(12)->Arg(16);

void BM_mfPelHistogram(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(mfPelHistogram(imageA()));
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_mfPelHistogram);

// ---- saturating arithmetic ----

template <int Which>
void BM_Arithmetic(benchmark::State& state) {
  mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(imageA());
  for (auto _ : state) {
    if (Which == 0) mf_PelSubClamp(d, imageB(), 40);
    if (Which == 1) mf_PelSubClampSigned(d, imageB());
    if (Which == 2) mf_PelAddClamp(d, imageB());
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_Arithmetic<0>)->Name("BM_PelSubClamp");
BENCHMARK(BM_Arithmetic<1>)->Name("BM_PelSubClampSigned");
BENCHMARK(BM_Arithmetic<2>)->Name("BM_PelAddClamp");

void BM_MaskedPelDivide(benchmark::State& state) {
  mxPelBuffer<unsigned short> n(kSide, kSide), d(kSide, kSide);
  for (std::int32_t j = 0; j < kSide; ++j)
    for (std::int32_t i = 0; i < kSide; ++i) {
      d.row(j)[i] = static_cast<unsigned short>(1 + imageA().row(j)[i] * 128);
      n.row(j)[i] = static_cast<unsigned short>(imageB().row(j)[i] * d.row(j)[i] / 256);
    }
  mxPelBuffer<unsigned char> out(kSide, kSide);
  for (auto _ : state) {
    mf_MaskedPelDivide(n, d, binaryMask(), out, 255);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_MaskedPelDivide);

// ---- masked functions ----

void BM_MaskedPelCopy(benchmark::State& state) {
  mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(imageB());
  const bool copyMasked = state.range(0) != 0;
  for (auto _ : state) {
    mf_MaskedPelCopy(imageA(), binaryMask(), d, copyMasked);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_MaskedPelCopy)->ArgName("copyMaskedPixels")->Arg(0)->Arg(1);

void BM_MaskedPelHistogram(benchmark::State& state) {
  const mxPelBuffer<unsigned char>& mask = state.range(0) == 2 ? binaryMask() : threeLevelMask();
  std::vector<std::uint32_t> h;
  for (auto _ : state) {
    mf_MaskedPelHistogram(imageA(), mask, h);
    benchmark::DoNotOptimize(h.data());
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_MaskedPelHistogram)->ArgName("maskLevels")->Arg(2)->Arg(3);

void BM_MaskedPelThreshold(benchmark::State& state) {
  mxPelBuffer<unsigned char> d(kSide, kSide);
  for (auto _ : state) {
    mf_MaskedPelThreshold(imageA(), binaryMask(), 100, d);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_MaskedPelThreshold);

void BM_PelThresholdAutomatic(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(mf_PelThreshold(imageA()));
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_PelThresholdAutomatic);

// ---- neighbourhood and resampling ----

void BM_PelSmooth3x3Diamond(benchmark::State& state) {
  mxPelBuffer<unsigned char> d = mfPelCopy<unsigned char>(imageA());
  for (auto _ : state) {
    mf_PelSmooth3x3Diamond(d);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_PelSmooth3x3Diamond);

void BM_BinaryMorph3x3Diamond(benchmark::State& state) {
  mxPelBuffer<unsigned char> d(kSide, kSide);
  const bool dilate = state.range(0) != 0;
  for (auto _ : state) {
    mfBinaryMorph3x3Diamond(binaryMask(), dilate, d);
    benchmark::ClobberMemory();
  }
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_BinaryMorph3x3Diamond)->ArgName("dilate")->Arg(0)->Arg(1);

void BM_ExpandByDuplicatingBorderPixels(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(mf_ExpandByDuplicatingBorderPixels(imageA()));
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_ExpandByDuplicatingBorderPixels);

// Brings a 1/8 sub-sampled image back to 2048 x 2048 (the per-pel time is
// per output pel).
void BM_PaddedAffineSample(benchmark::State& state) {
  const mxPelBuffer<unsigned char> small = randomImage(kSide / 8, kSide / 8, 5);
  const bool highOrder = state.range(0) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(mf_PaddedAffineSample(small, kSide, kSide, highOrder));
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_PaddedAffineSample)->ArgName("highOrder")->Arg(0)->Arg(1);

// ---- region functions ----

void BM_FindFirstPelNoMatch(benchmark::State& state) {
  const mxPelBuffer<unsigned char> img = randomImage(kSide, kSide, 6, {1, 2, 3});
  mxPair<std::int32_t> pos;
  for (auto _ : state) benchmark::DoNotOptimize(mf_FindFirstPel(img, 0, pos));
  perPel(state, std::int64_t(kSide) * kSide);
}
BENCHMARK(BM_FindFirstPelNoMatch);

// A 4096 x 4096 single-valued image filled from its centre; the fill value
// alternates so that every iteration fills the whole image again.
void BM_FloodFill4096(benchmark::State& state) {
  const std::int32_t side = 2 * kSide;
  mxPelBuffer<unsigned char> img(side, side);
  std::vector<long long> work;
  unsigned char fill = 1;
  for (auto _ : state) {
    mf_FloodFill(img, mxPair<std::int32_t>(side / 2, side / 2), fill, work);
    fill = static_cast<unsigned char>(fill ^ 1);
  }
  perPel(state, std::int64_t(side) * side);
}
BENCHMARK(BM_FloodFill4096)->Unit(benchmark::kMillisecond);

}  // namespace

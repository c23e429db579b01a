// Median speed at 2048 and 8192 pels square: the median filter alone, run on
// the clamped difference the local correction makes (also under a mask), and the whole median
// local correction (difference, median, subtraction), each on the
// instruction-set path the processor selects and on the baseline one.
// Arguments: neighbourhood, image size, highest instruction-set path (0
// baseline, 1 AVX2, 2 AVX-512; a processor without it runs the next lower).
// The 16-bit filter and the 16-bit median local correction run on the same
// images spread over a bit depth (12 or 16), their low bits filled from a hash
// of the position.
// Reported as time per image pel (counter "per_pel").  Single-threaded; on a
// shared machine run with repetitions and read the minimum CPU time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <utility>

#include "baseif/mxCpuLevel.h"
#include "baseif/mxPelMedian.h"
#include "benchImages.h"
#include "imgnorm/localCorrection.h"

using namespace imgnorm::detail;

namespace {

// The bench images of one size (made once: the largest take seconds).
struct Images {
  mxPelBuffer<unsigned char> ref, img, diff;
};


const Images& images(std::int32_t size) {
  static std::map<std::int32_t, Images> made;
  auto it = made.find(size);
  if (it != made.end()) return it->second;
  Images im;
  im.ref = bench::texturedReference(size);
  im.img = bench::shadedRuntime(im.ref);
  // The offset-128 difference, saturated, as the local correction forms it.
  im.diff = mxPelBuffer<unsigned char>(size, size);
  for (std::int32_t y = 0; y < size; ++y) {
    const unsigned char* a = im.img.row(y);
    const unsigned char* b = im.ref.row(y);
    unsigned char* d = im.diff.row(y);
    for (std::int32_t x = 0; x < size; ++x) {
      const int v = int(a[x]) - int(b[x]) + 128;
      d[x] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
  return made.emplace(size, std::move(im)).first->second;
}

void setPerPel(benchmark::State& state, std::int32_t size) {
  state.counters["per_pel"] = benchmark::Counter(double(state.iterations()) * size * size,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void choosePath(benchmark::State& state) { mxcpu::capLevel(mxcpu::Level(state.range(2))); }

// The filter alone with the local correction's parameters (window area
// limited as there, range 1 .. 255, middles averaged).
void BM_MedianFilter(benchmark::State& state) {
  const std::int32_t k = std::int32_t(state.range(0)), size = std::int32_t(state.range(1));
  const Images& im = images(size);
  const mxPelMedianParams p(limitedMedianSize({k, k}), {1, 255}, true);
  choosePath(state);
  mxPelBuffer<unsigned char> out(im.diff.window());
  for (auto _ : state) {
    mfPelMedian(im.diff, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  mxcpu::capLevel(mxcpu::Level::kAvx512);
  setPerPel(state, size);
}

// The filter alone under a mask that excludes a bar of 1/8 of the width
// (windows over its edges hold even counts, whose middles are averaged).
void BM_MedianFilterMasked(benchmark::State& state) {
  const std::int32_t k = std::int32_t(state.range(0)), size = std::int32_t(state.range(1));
  const Images& im = images(size);
  const mxPelMedianParams p(limitedMedianSize({k, k}), {1, 255}, true);
  mxPelBuffer<unsigned char> mask(size, size);
  for (std::int32_t y = 0; y < size; ++y)
    for (std::int32_t x = 0; x < size; ++x) mask.row(y)[x] = (x >= size / 2 && x < size / 2 + size / 8) ? 0 : 255;
  choosePath(state);
  mxPelBuffer<unsigned char> out(im.diff.window());
  for (auto _ : state) {
    mfPelMedian(im.diff, mask, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  mxcpu::capLevel(mxcpu::Level::kAvx512);
  setPerPel(state, size);
}

// The median local correction at granularity 1, unmasked.
void BM_LocalMedian(benchmark::State& state) {
  const std::int32_t k = std::int32_t(state.range(0)), size = std::int32_t(state.range(1));
  const Images& im = images(size);
  choosePath(state);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> result;
    runLocalCorrection(im.img, im.ref, {},
                       {mxImageNormalizerDefs::eLocalCorrectionEnhanced, {k, k}, {1, 1}, {-127, 127}}, result);
    benchmark::DoNotOptimize(result.pointToOffset());
  }
  mxcpu::capLevel(mxcpu::Level::kAvx512);
  setPerPel(state, size);
}

// The 16-bit filter alone on the deepened difference, with the local
// correction's parameters at that depth (range 1 .. 2^depth - 1).
void BM_DeepMedianFilter(benchmark::State& state) {
  const std::int32_t k = std::int32_t(state.range(0)), size = std::int32_t(state.range(1));
  const int depth = int(state.range(2));
  const mxPelBuffer<unsigned short> diff = bench::deepened(images(size).diff, depth);
  const mxPelMedianParams p(limitedMedianSize({k, k}), {1, (1 << depth) - 1}, true);
  mxPelBuffer<unsigned short> out(diff.window());
  for (auto _ : state) {
    mfPelMedian(diff, {}, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPerPel(state, size);
}

// The 16-bit median local correction, unmasked, default intensity range.
void BM_DeepLocalMedian(benchmark::State& state) {
  const std::int32_t k = std::int32_t(state.range(0)), size = std::int32_t(state.range(1));
  const int depth = int(state.range(2));
  const Images& im = images(size);
  const mxPelBuffer<unsigned short> ref = bench::deepened(im.ref, depth), img = bench::deepened(im.img, depth, 1);
  const std::int32_t r = (1 << (depth - 1)) - 1;
  for (auto _ : state) {
    mxPelBuffer<unsigned short> result;
    runLocalCorrection(img, ref, {}, {mxImageNormalizerDefs::eLocalCorrectionEnhanced, {k, k}, {1, 1}, {-r, r}}, depth,
                       result);
    benchmark::DoNotOptimize(result.pointToOffset());
  }
  setPerPel(state, size);
}

#define MEDIAN_ARGS ArgNames({"k", "size", "path"})->ArgsProduct({{31, 101, 201}, {2048, 8192}, {2, 1, 0}})
BENCHMARK(BM_MedianFilter)->MEDIAN_ARGS->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LocalMedian)->MEDIAN_ARGS->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MedianFilterMasked)
    ->ArgNames({"k", "size", "path"})
    ->ArgsProduct({{31, 101, 201}, {2048}, {2, 1, 0}})
    ->Unit(benchmark::kMillisecond);
#define DEEP_ARGS ArgNames({"k", "size", "depth"})->ArgsProduct({{31, 101, 201}, {2048, 8192}, {12, 16}})
BENCHMARK(BM_DeepMedianFilter)->DEEP_ARGS->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepLocalMedian)->DEEP_ARGS->Unit(benchmark::kMillisecond);

}  // namespace

// Local correction speed on a 2048 x 2048 image: the raw filters, and the
// mean and median paths of runLocalCorrection at several neighbourhoods and
// granularities, the masked mean; BM_LocalCorrectionSize the same at 2048,
// 4096 and 8192 pels square (and the mean and gain methods at 8192 for
// neighbourhoods 31, 101 and 201), whose per-pel times must not grow with the size.  Reported as time
// per image pel (counter "per_pel").
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "baseif/mxCpuLevel.h"
#include "baseif/mxGaussSample.h"
#include "baseif/mxPelMedian.h"
#include "imgnorm/localCorrection.h"

using namespace imgnorm::detail;

namespace {

constexpr std::int32_t kSize = 2048;

// A textured image, with a smooth shading of +-40 when shaded: what local
// correction sees.
mxPelBuffer<unsigned char> testImage(int phase, bool shaded = true, std::int32_t size = kSize) {
  mxPelBuffer<unsigned char> img(size, size);
  for (std::int32_t y = 0; y < size; ++y) {
    unsigned char* r = img.row(y);
    for (std::int32_t x = 0; x < size; ++x) {
      const double shade = shaded ? 40.0 * (x + y - size) / size : 0.0;
      const double texture = 30.0 * std::sin(0.3 * x + phase) * std::cos(0.21 * y);
      r[x] = (unsigned char)std::lround(128.0 + shade + texture);
    }
  }
  return img;
}

void setPerPel(benchmark::State& state, std::int32_t size = kSize) {
  // Pels per second, inverted: seconds per pel (printed with an SI prefix,
  // "4.0ns" is 4 nanoseconds per pel).
  state.counters["per_pel"] = benchmark::Counter(double(state.iterations()) * size * size,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Smoothing amount for a neighbourhood of k pels (about k / 2).
std::int32_t amountFor(std::int32_t k) { return ((k / 2) + 1) & ~1; }

void BM_GaussMean16(benchmark::State& state) {
  const mxPelBuffer<unsigned char> img = testImage(0);
  const std::int32_t s = amountFor(std::int32_t(state.range(0)));
  mxGaussSampleParams p({1, 1}, {s, s}, 128.0, true);
  p.saturate = true;
  for (auto _ : state) {
    mxPelBuffer<unsigned short> out;
    mfGaussSample(img, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPerPel(state);
}
BENCHMARK(BM_GaussMean16)->Arg(31)->Arg(101)->Arg(201)->Unit(benchmark::kMillisecond);

void BM_GaussSubsample(benchmark::State& state) {
  const mxPelBuffer<unsigned char> img = testImage(0);
  const std::int32_t g = std::int32_t(state.range(0));
  const mxGaussSampleParams p({g, g}, {g - 1, g - 1}, 1.0, true);
  for (auto _ : state) benchmark::DoNotOptimize(mfGaussSample(img, p).pointToOffset());
  setPerPel(state);
}
BENCHMARK(BM_GaussSubsample)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_Median(benchmark::State& state) {
  const mxPelBuffer<unsigned char> img = testImage(1);
  const std::int32_t k = std::int32_t(state.range(0));
  const mxPelMedianParams p({k, k}, {0, 255}, true);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out;
    mfPelMedian(img, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  setPerPel(state);
}
BENCHMARK(BM_Median)->Arg(31)->Arg(101)->Arg(181)->Unit(benchmark::kMillisecond);

// The baseline-instruction-set engine that processors without AVX2 run.
void BM_MedianPortable(benchmark::State& state) {
  const mxPelBuffer<unsigned char> img = testImage(1);
  const std::int32_t k = std::int32_t(state.range(0));
  const mxPelMedianParams p({k, k}, {0, 255}, true);
  mxcpu::capLevel(mxcpu::Level::kBaseline);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out;
    mfPelMedian(img, p, out);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  mxcpu::capLevel(mxcpu::Level::kAvx512);
  setPerPel(state);
}
BENCHMARK(BM_MedianPortable)->Arg(101)->Unit(benchmark::kMillisecond);

// runLocalCorrection without a mask: arguments method (16 mean, 32 median, 64
// gain, 128 linear; the mean is the yardstick of the other three),
// neighbourhood and granularity.
void BM_LocalCorrection(benchmark::State& state) {
  const mxPelBuffer<unsigned char> image = testImage(0);
  const mxPelBuffer<unsigned char> reference = testImage(0, false);
  const auto method = mxImageNormalizerDefs::Method(state.range(0));
  const std::int32_t k = std::int32_t(state.range(1));
  const std::int32_t g = std::int32_t(state.range(2));
  for (auto _ : state) {
    mxPelBuffer<unsigned char> result;
    runLocalCorrection(image, reference, {}, {method, {k, k}, {g, g}, {-127, 127}}, result);
    benchmark::DoNotOptimize(result.pointToOffset());
  }
  setPerPel(state);
}
BENCHMARK(BM_LocalCorrection)
    ->ArgNames({"method", "k", "g"})
    ->ArgsProduct({{16, 32, 64, 128}, {31, 101, 201}, {1, 4}})
    ->Unit(benchmark::kMillisecond);

// The masked mean (a bar of 1/8 of the width excluded), trained the way the
// tool trains it: arguments neighbourhood and granularity.
void BM_LocalCorrectionMasked(benchmark::State& state) {
  const mxPelBuffer<unsigned char> image = testImage(0);
  const mxPelBuffer<unsigned char> reference = testImage(0, false);
  const std::int32_t k = std::int32_t(state.range(0));
  const std::int32_t g = std::int32_t(state.range(1));
  mxPelBuffer<unsigned char> mask(kSize, kSize);
  for (std::int32_t y = 0; y < kSize; ++y)
    for (std::int32_t x = 0; x < kSize; ++x) mask.row(y)[x] = (x >= kSize / 2 && x < kSize / 2 + kSize / 8) ? 0 : 255;
  mxPelBuffer<unsigned char> sampled;
  mxPelBuffer<unsigned short> coverage;
  localCorrectionMasks(mask, {k, k}, {g, g}, true, sampled, coverage);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> result;
    runLocalCorrection(image, reference, {mask, sampled, coverage},
                       {mxImageNormalizerDefs::eLocalCorrection, {k, k}, {g, g}, {-127, 127}}, result);
    benchmark::DoNotOptimize(result.pointToOffset());
  }
  setPerPel(state);
}
BENCHMARK(BM_LocalCorrectionMasked)
    ->ArgNames({"k", "g"})
    ->ArgsProduct({{31, 101}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond);

// runLocalCorrection without a mask at several image sizes: arguments
// method, neighbourhood and size (the gain methods against the mean at 8192
// for every neighbourhood).
void BM_LocalCorrectionSize(benchmark::State& state) {
  const auto method = mxImageNormalizerDefs::Method(state.range(0));
  const std::int32_t k = std::int32_t(state.range(1));
  const std::int32_t size = std::int32_t(state.range(2));
  const mxPelBuffer<unsigned char> image = testImage(0, true, size);
  const mxPelBuffer<unsigned char> reference = testImage(0, false, size);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> result;
    runLocalCorrection(image, reference, {}, {method, {k, k}, {1, 1}, {-127, 127}}, result);
    benchmark::DoNotOptimize(result.pointToOffset());
  }
  setPerPel(state, size);
}
BENCHMARK(BM_LocalCorrectionSize)
    ->ArgNames({"method", "k", "size"})
    ->ArgsProduct({{16, 32}, {101}, {2048, 4096, 8192}})
    ->ArgsProduct({{64, 128}, {101}, {2048, 4096, 8192}})
    ->ArgsProduct({{16, 64, 128}, {31, 201}, {8192}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

// mxImageNormalizer::run for every method, on 2048 and 4096 square images,
// with and without a mask, at the default parameters; the local methods also
// at neighbourhood 31 and 201 and at granularity (4, 4), the linear fit also
// at 256 and 8192.  BM_FirstRun times a thread's first run of a local method.
// BM_RunDeep runs mxImageNormalizer16 on the same images made 16-bit (and
// 12-bit), their low bits filled, against BM_Run's 8-bit cost per pel.
//
//   ./build/bench/bench_tool --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <ctime>
#include <stdexcept>
#include <thread>

#include "bench/benchImages.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"

using namespace mxImageNormalizerDefs;

namespace {
using Images = bench::RunImages;
const Images& images(int size) { return bench::runImages(size); }

// Args: size, method, masked, neighbourhood (0 = default), granularity.
void BM_Run(benchmark::State& state) {
  const int size = int(state.range(0));
  const Method method = Method(state.range(1));
  const bool masked = state.range(2) != 0;
  const int nbh = int(state.range(3));
  const int gran = int(state.range(4));
  const Images& im = images(size);
  mxImageNormalizer tool;
  tool.referenceImage(im.ref, false);
  if (masked) tool.maskImage(im.mask, false);
  if (nbh) tool.neighborhoodSize({nbh, nbh});
  tool.granularity({gran, gran});
  tool.train(method);
  bool ok = false;
  std::wstring why;
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out = tool.run(im.run, method, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  if (method != eIdentity && !ok) state.SkipWithError("run failed");
  const std::wstring name = methodName(method);
  state.SetLabel(std::string(name.begin(), name.end()) + (masked ? " masked" : ""));
  state.counters["ns/pel"] = benchmark::Counter(
      double(size) * size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Args(benchmark::internal::Benchmark* b) {
  for (int size : {2048, 4096})
    for (int masked : {0, 1}) {
      for (int m : {0, 1, 2, 4, 8, 16, 32}) b->Args({size, m, masked, 0, 1});
      for (int m : {16, 32}) {
        for (int nbh : {31, 201}) b->Args({size, m, masked, nbh, 1});
        b->Args({size, m, masked, 0, 4});
      }
    }
  // The linear fit also where its fixed cost per run shows (256) and on a
  // 64-megapixel image.
  for (int size : {256, 8192})
    for (int masked : {0, 1}) b->Args({size, 8, masked, 0, 1});
}
}  // namespace

BENCHMARK(BM_Run)->Apply(Args)->Unit(benchmark::kMillisecond)->UseRealTime();
// Every job also at 16384² unmasked, default parameters: the cost per pel
// should not grow with the image.  Run it interleaved with the 2048² rows and
// compare each job's two sizes within one run:
//   ./build/bench/bench_tool --benchmark_filter='BM_Run/(2048|16384)/[1-9][0-9]*/0/0/1/'
//       --benchmark_enable_random_interleaving=true --benchmark_repetitions=5
BENCHMARK(BM_Run)
    ->ArgsProduct({{16384}, {1, 2, 4, 8, 16, 32}, {0}, {0}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

namespace {
// Args: size, method, depth.
void BM_RunDeep(benchmark::State& state) {
  const int size = int(state.range(0));
  const Method method = Method(state.range(1));
  const int depth = int(state.range(2));
  const Images& im = images(size);
  const mxPelBuffer<unsigned short> ref = bench::deepened(im.ref, depth), run = bench::deepened(im.run, depth, 1);
  mxImageNormalizer16 tool(depth);
  tool.referenceImage(ref, false);
  tool.train(method);
  bool ok = false;
  std::wstring why;
  for (auto _ : state) {
    mxPelBuffer<unsigned short> out = tool.run(run, method, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  if (!ok) state.SkipWithError("run failed");
  const std::wstring name = methodName(method);
  state.SetLabel(std::string(name.begin(), name.end()) + " " + std::to_string(depth) + "-bit");
  state.counters["ns/pel"] = benchmark::Counter(
      double(size) * size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
}  // namespace

BENCHMARK(BM_RunDeep)
    ->ArgsProduct({{2048},
                   {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues, eLocalCorrection,
                    eLocalCorrectionEnhanced},
                   {16, 12}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

namespace {
double threadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// A thread's first run of a local method on 1920 x 1080 (thread CPU time),
// each iteration on a new thread, whose memory is as fresh as a new
// process's.  Args: method, where the tool was trained: 1 on that thread
// (training ends with a warm-up run there), 0 on the benchmark's thread.
// Compare with the same method's later runs in BM_LaterRun.
void BM_FirstRun(benchmark::State& state) {
  const Method method = Method(state.range(0));
  const bool trainedThere = state.range(1) != 0;
  const mxPelBuffer<unsigned char> ref = bench::texturedReference(1920, 1080);
  const mxPelBuffer<unsigned char> img = bench::shadedRuntime(ref);
  mxImageNormalizer elsewhere;
  elsewhere.referenceImage(ref, false);
  if (!trainedThere) elsewhere.train(method);
  for (auto _ : state) {
    double seconds = 0.0;
    std::thread([&] {
      mxImageNormalizer tool = elsewhere;
      if (trainedThere) tool.train(method);
      bool ok = false;
      std::wstring why;
      const double t0 = threadCpuSeconds();
      mxPelBuffer<unsigned char> out = tool.run(img, method, ok, why);
      seconds = threadCpuSeconds() - t0;
      benchmark::DoNotOptimize(out.pointToOffset());
    }).join();
    state.SetIterationTime(seconds);
  }
  state.SetLabel(trainedThere ? "trained on the running thread" : "trained on another thread");
}

void BM_LaterRun(benchmark::State& state) {
  const Method method = Method(state.range(0));
  const mxPelBuffer<unsigned char> ref = bench::texturedReference(1920, 1080);
  const mxPelBuffer<unsigned char> img = bench::shadedRuntime(ref);
  mxImageNormalizer tool;
  tool.referenceImage(ref, false);
  tool.train(method);
  bool ok = false;
  std::wstring why;
  for (auto _ : state) {
    const double t0 = threadCpuSeconds();
    mxPelBuffer<unsigned char> out = tool.run(img, method, ok, why);
    state.SetIterationTime(threadCpuSeconds() - t0);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
}
}  // namespace

BENCHMARK(BM_FirstRun)
    ->ArgsProduct({{eLocalCorrection, eLocalCorrectionEnhanced}, {0, 1}})
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LaterRun)
    ->Args({eLocalCorrection})
    ->Args({eLocalCorrectionEnhanced})
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The cases of the speed table in docs/guide/speed.md, one benchmark each:
// every method at 2048² and 8192² (the local ones, local-gain and
// local-linear included, at neighbourhoods 31, 101 and 201), then one 8192²
// image on one and on two threads, then the 16-bit tool at depths 16 and 12
// on the same images (bench::deepened), each of its methods at 2048² and
// 8192² (the local ones at neighbourhood 101), whose cost the table sets
// against the 8-bit case of the same label.  Each reports ns/pel of
// thread-independent wall time.  scripts/speed-table.sh builds this
// program against the tree and against a baseline and runs the two
// interleaved; it uses only API both sides have.
//
//   ./build/bench/bench_table --benchmark_filter=Table
#include <benchmark/benchmark.h>

#include <string>

#include "bench/benchImages.h"
#include "imgnorm/mxBlockNormalizer.h"
#include "imgnorm/methods.h"
#include "imgnorm/mxImageNormalizer.h"
#include "imgnorm/mxImageNormalizer16.h"

using namespace mxImageNormalizerDefs;

namespace {
using Images = bench::RunImages;
const Images& images(int size) { return bench::runImages(size); }

void perPel(benchmark::State& state, int size, Method method, const std::string& extra) {
  state.SetLabel(std::string(methodInfo(method)->name) + extra);
  // Seconds per pel, as nanoseconds.
  state.counters["ns/pel"] = benchmark::Counter(
      1e-9 * double(size) * size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

mxImageNormalizer trained(const Images& im, Method method, int nbh) {
  mxImageNormalizer tool;
  tool.referenceImage(im.ref, false);
  if (nbh) tool.neighborhoodSize({nbh, nbh});
  tool.train(method);
  return tool;
}

// Args: size, method, neighbourhood (0 = default).
void BM_Table(benchmark::State& state) {
  const int size = int(state.range(0)), nbh = int(state.range(2));
  const Method method = Method(state.range(1));
  const Images& im = images(size);
  const mxImageNormalizer tool = trained(im, method, nbh);
  bool ok = false;
  std::wstring why;
  // One run before the timed ones: the first run on a thread faults in its
  // stores (later runs reuse them), and a case slow enough to be timed over
  // one iteration would report that first run alone.
  tool.run(im.run, method, ok, why);
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out = tool.run(im.run, method, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  if (!ok) state.SkipWithError("run failed");
  perPel(state, size, method, nbh ? " " + std::to_string(nbh) : "");
}

void TableArgs(benchmark::internal::Benchmark* b) {
  for (int size : {2048, 8192}) {
    for (int m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues})
      b->Args({size, m, 0});
    for (int m : {eLocalCorrection, eLocalCorrectionEnhanced, eLocalGain, eLocalLinear})
      for (int nbh : {31, 101, 201}) b->Args({size, m, nbh});
  }
}

// Args: method, threads.  One 8192² image through runParallel on threads
// kept over the iterations (1 thread is run() itself).
void BM_TableThreads(benchmark::State& state) {
  const Method method = Method(state.range(0));
  const int threads = int(state.range(1));
  const Images& im = images(8192);
  const mxImageNormalizer tool = trained(im, method, 0);
  mxTaskThreads pool(threads);
  bool ok = false;
  std::wstring why;
  mxBlockNormalizer::runParallel(tool, im.run, method, pool.runner(), threads, ok, why);  // (see BM_Table)
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out =
        mxBlockNormalizer::runParallel(tool, im.run, method, pool.runner(), threads, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  if (!ok) state.SkipWithError("run failed");
  perPel(state, 8192, method, " threads " + std::to_string(threads));
}
// Args: size, method, depth, neighbourhood (0 = default).  Labelled as the
// 8-bit case it is set against, then " 16-bit" (or " 12-bit").
void BM_TableDeep(benchmark::State& state) {
  const int size = int(state.range(0)), depth = int(state.range(2)), nbh = int(state.range(3));
  const Method method = Method(state.range(1));
  const Images& im = images(size);
  const mxPelBuffer<unsigned short> ref = bench::deepened(im.ref, depth), run = bench::deepened(im.run, depth, 1);
  mxImageNormalizer16 tool(depth);
  tool.referenceImage(ref, false);
  if (nbh) tool.neighborhoodSize({nbh, nbh});
  tool.train(method);
  bool ok = false;
  std::wstring why;
  tool.run(run, method, ok, why);  // (see BM_Table)
  for (auto _ : state) {
    mxPelBuffer<unsigned short> out = tool.run(run, method, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  if (!ok) state.SkipWithError("run failed");
  perPel(state, size, method, (nbh ? " " + std::to_string(nbh) : "") + " " + std::to_string(depth) + "-bit");
}

void TableDeepArgs(benchmark::internal::Benchmark* b) {
  for (int size : {2048, 8192})
    for (int depth : {16, 12}) {
      for (int m : {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails, eLinearlyFitGrayValues})
        b->Args({size, m, depth, 0});
      for (int m : {eLocalCorrection, eLocalCorrectionEnhanced}) b->Args({size, m, depth, 101});
    }
}
}  // namespace

BENCHMARK(BM_Table)->Apply(TableArgs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TableThreads)
    ->ArgsProduct({{eMatchHistogram, eLocalCorrection, eLocalCorrectionEnhanced}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_TableDeep)->Apply(TableDeepArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

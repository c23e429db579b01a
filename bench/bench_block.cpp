// The block engine against the whole-image run: the local methods at
// neighbourhood 101 with 1024 x 1024 blocks (a block row's four blocks read
// and run together, with one halo around them), and
// histogram matching (two passes over the blocks), on a 4096 square image.
// The ratio of a Block row to its Whole row is the engine's cost.
//
// Parallel: one 8192 square image split over 1 and 2 threads kept for the
// whole benchmark (mxBlockNormalizer::runParallel with an mxTaskThreads; 1
// thread is run() itself), in wall-clock time.  The ratio of the two rows
// is the speed-up.
//
//   ./build-bench/bench/bench_block --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "bench/benchImages.h"
#include "imgnorm/mxBlockNormalizer.h"

using namespace mxImageNormalizerDefs;

namespace {

constexpr int kSize = 4096;

struct Fixture {
  mxPelBuffer<unsigned char> ref;
  mxPelBuffer<unsigned char> run;
  mxImageNormalizer tool;
  explicit Fixture(int size = kSize) : ref(bench::texturedReference(size)), run(bench::shadedRuntime(ref)) {
    tool.referenceImage(ref, false);
    tool.neighborhoodSize({101, 101});
    tool.train(eMatchHistogram | eLocalCorrection | eLocalCorrectionEnhanced);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

// A sink that only looks at each block, so the timing is the engine's.
struct DropSink : mxPelSink {
  void begin(const mxPelRect&) override {}
  void write(const mxPelBuffer_const<unsigned char>& block) override { benchmark::DoNotOptimize(block.pointToOffset()); }
};

void label(benchmark::State& state, Method m, int size = kSize) {
  const std::wstring name = methodName(m);
  state.SetLabel(std::string(name.begin(), name.end()));
  state.counters["ns/pel"] = benchmark::Counter(
      double(size) * size, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Whole(benchmark::State& state) {
  const Method m = Method(state.range(0));
  const Fixture& f = fixture();
  bool ok = false;
  std::wstring why;
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out = f.tool.run(f.run, m, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  label(state, m);
}

void BM_Block(benchmark::State& state) {
  const Method m = Method(state.range(0));
  const Fixture& f = fixture();
  const mxBlockNormalizer engine(f.tool, {1024, 1024});
  mxBufferPelSource source(f.run);
  DropSink sink;
  std::wstring why;
  for (auto _ : state) benchmark::DoNotOptimize(engine.run(source, m, sink, why));
  label(state, m);
}

constexpr int kParallelSize = 8192;

const Fixture& parallelFixture() {
  static const Fixture f(kParallelSize);
  return f;
}

void BM_Parallel(benchmark::State& state) {
  const Method m = Method(state.range(0));
  const int threads = int(state.range(1));
  const Fixture& f = parallelFixture();
  mxTaskThreads pool(threads);  // kept over the iterations, as a program running many images keeps it
  bool ok = false;
  std::wstring why;
  for (auto _ : state) {
    mxPelBuffer<unsigned char> out = mxBlockNormalizer::runParallel(f.tool, f.run, m, pool.runner(), threads, ok, why);
    benchmark::DoNotOptimize(out.pointToOffset());
  }
  label(state, m, kParallelSize);
}

}  // namespace

BENCHMARK(BM_Parallel)
    ->ArgsProduct({{eMatchHistogram, eLocalCorrection, eLocalCorrectionEnhanced}, {1, 2}})
    ->ArgNames({"method", "threads"})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Whole)->Arg(eMatchHistogram)->Arg(eLocalCorrection)->Arg(eLocalCorrectionEnhanced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Block)->Arg(eMatchHistogram)->Arg(eLocalCorrection)->Arg(eLocalCorrectionEnhanced)->Unit(benchmark::kMillisecond);

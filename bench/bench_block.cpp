// The block engine against the whole-image run: the local methods at
// neighbourhood 101 with 1024 x 1024 blocks (each read with its halo), and
// histogram matching (two passes over the blocks), on a 4096 square image.
// The ratio of a Block row to its Whole row is the engine's cost.
//
//   ./build-bench/bench/bench_block --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "bench/benchImages.h"
#include "imgnorm/mxBlockNormalizer.h"

using namespace mxImageNormalizerDefs;

namespace {

constexpr int kSize = 4096;

struct Fixture {
  mxPelBuffer<unsigned char> ref = bench::texturedReference(kSize);
  mxPelBuffer<unsigned char> run = bench::shadedRuntime(ref);
  mxImageNormalizer tool;
  Fixture() {
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

void label(benchmark::State& state, Method m) {
  const std::wstring name = methodName(m);
  state.SetLabel(std::string(name.begin(), name.end()));
  state.counters["ns/pel"] = benchmark::Counter(
      double(kSize) * kSize, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
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

}  // namespace

BENCHMARK(BM_Whole)->Arg(eMatchHistogram)->Arg(eLocalCorrection)->Arg(eLocalCorrectionEnhanced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Block)->Arg(eMatchHistogram)->Arg(eLocalCorrection)->Arg(eLocalCorrectionEnhanced)->Unit(benchmark::kMillisecond);

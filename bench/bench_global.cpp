// Global grey-level mappings on a 2048 x 2048 image: each table builder with
// the run-time histogram before it and the table mapping after it, and the
// linear grey-value fit with its parts.  Items are pels; the time per pel is
// the inverse of items_per_second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "baseif/mxHistoStats.h"
#include "baseif/mxPelOps.h"
#include "imgnorm/globalMapping.h"
#include "imgnorm/linearFit.h"

using namespace imgnorm::detail;

namespace {

constexpr int kSize = 2048;

struct Pair {
  mxPelBuffer<unsigned char> reference, run, mask;
  std::vector<std::uint32_t> refHist;
  mxHistoStats refStats;
  std::vector<double> angles;
  Pair() : reference(kSize, kSize), run(kSize, kSize), mask(kSize, kSize) {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 2.0);
    for (int y = 0; y < kSize; ++y)
      for (int x = 0; x < kSize; ++x) {
        const double t = 25 + 0.05 * x + 0.044 * y + 15 * std::sin(x / 57.0) * std::sin(y / 89.0);
        reference.row(y)[x] = static_cast<unsigned char>(std::lround(t));
        run.row(y)[x] =
            static_cast<unsigned char>(std::lround(std::fmin(std::fmax(0.8 * t + 30 + noise(rng), 0), 255)));
        mask.row(y)[x] = (x / 64 + y / 64) % 5 == 0 ? 0 : 255;
      }
    refHist = mfPelHistogram(reference);
    refStats = mxHistoStats(refHist);
    buildFitAngles(angles);
  }
};

const Pair& pair() {
  static const Pair p;
  return p;
}

void setPels(benchmark::State& state) { state.SetItemsProcessed(state.iterations() * std::int64_t(kSize) * kSize); }

void BM_MatchHistogram(benchmark::State& state) {
  const Pair& p = pair();
  for (auto _ : state) {
    const auto h = mfPelHistogram(p.run);
    std::vector<unsigned char> lut;
    std::wstring msg;
    matchHistogramLut(p.refHist, h, lut, msg);
    benchmark::DoNotOptimize(mfPelMap(p.run, lut));
  }
  setPels(state);
}

void BM_MatchMeanAndStddev(benchmark::State& state) {
  const Pair& p = pair();
  for (auto _ : state) {
    auto h = mfPelHistogram(p.run);
    const mxHistoStats stats(h, false);
    std::vector<unsigned char> lut;
    std::wstring msg;
    matchMeanAndStddevLut(p.refStats, stats, lut, msg);
    benchmark::DoNotOptimize(mfPelMap(p.run, lut));
  }
  setPels(state);
}

void BM_MatchHistogramTails(benchmark::State& state) {
  const Pair& p = pair();
  for (auto _ : state) {
    auto h = mfPelHistogram(p.run);
    const mxHistoStats stats(h, false);
    std::vector<unsigned char> lut;
    std::wstring msg;
    matchHistogramTailsLut(p.refStats, stats, {5, 95}, lut, msg);
    benchmark::DoNotOptimize(mfPelMap(p.run, lut));
  }
  setPels(state);
}

// The whole fit: joint histogram, direction search, fit, table mapping.
void BM_LinearFit(benchmark::State& state) {
  const Pair& p = pair();
  const mxPelBuffer<unsigned char> mask = state.range(0) ? p.mask : mxPelBuffer<unsigned char>();
  for (auto _ : state) benchmark::DoNotOptimize(linearFitImage(p.run, p.reference, mask, p.angles));
  setPels(state);
}

void BM_LinearFit_JointHistogram(benchmark::State& state) {
  const Pair& p = pair();
  const mxPelBuffer<unsigned char> mask = state.range(0) ? p.mask : mxPelBuffer<unsigned char>();
  for (auto _ : state) benchmark::DoNotOptimize(jointHistogramImage(p.reference, mask, p.run));
  setPels(state);
}

// The direction search alone: independent of the image size.
void BM_LinearFit_DirectionSearch(benchmark::State& state) {
  const Pair& p = pair();
  const auto h = jointHistogramImage(p.reference, mxPelBuffer<unsigned char>(), p.run);
  for (auto _ : state) {
    const auto profiles = directionProfiles(h, p.angles, 3, std::int32_t(p.angles.size()) - 4);
    double peak = 0;
    const std::int32_t sel = selectPeakDirection(profiles, peak);
    benchmark::DoNotOptimize(peakBandMask(h, profiles[std::size_t(sel)], peak));
  }
}

void BM_LinearFit_FitGainAndOffset(benchmark::State& state) {
  const Pair& p = pair();
  const mxPelBuffer<unsigned char> mask = state.range(0) ? p.mask : mxPelBuffer<unsigned char>();
  const auto h = jointHistogramImage(p.reference, mask, p.run);
  const auto profiles = directionProfiles(h, p.angles, 3, std::int32_t(p.angles.size()) - 4);
  double peak = 0;
  const auto band = peakBandMask(h, profiles[std::size_t(selectPeakDirection(profiles, peak))], peak);
  for (auto _ : state) {
    double gain = 0, offset = 0;
    benchmark::DoNotOptimize(fitGainAndOffset(p.reference, mask, p.run, band, gain, offset));
  }
  setPels(state);
}

void BM_PelMap(benchmark::State& state) {
  const Pair& p = pair();
  const auto lut = linearLut(1.25, -37.5);
  for (auto _ : state) benchmark::DoNotOptimize(mfPelMap(p.run, lut));
  setPels(state);
}

}  // namespace

BENCHMARK(BM_MatchHistogram)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchMeanAndStddev)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchHistogramTails)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinearFit)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinearFit_JointHistogram)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinearFit_DirectionSearch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LinearFit_FitGainAndOffset)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PelMap)->Unit(benchmark::kMillisecond);

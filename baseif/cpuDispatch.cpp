#include "baseif/detail/cpuDispatch.h"

#include <algorithm>
#include <atomic>

namespace mxcpu {

namespace {

Level detect() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return Level::kBaseline;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vl"))
    return Level::kAvx512;
  return Level::kAvx2;
#else
  return Level::kBaseline;
#endif
}

// Both relaxed and without a lock: threads that race on the first use all
// store the same detected value, and the cap is a test setting changed while
// no kernel runs.
std::atomic<int> gDetected{-1};
std::atomic<int> gCap{int(Level::kAvx512)};

}  // namespace

Level detected() noexcept {
  int v = gDetected.load(std::memory_order_relaxed);
  if (v < 0) {
    v = int(detect());
    gDetected.store(v, std::memory_order_relaxed);
  }
  return Level(v);
}

Level level() noexcept { return Level(std::min(int(detected()), gCap.load(std::memory_order_relaxed))); }

void capLevel(Level cap) noexcept { gCap.store(int(cap), std::memory_order_relaxed); }

}  // namespace mxcpu

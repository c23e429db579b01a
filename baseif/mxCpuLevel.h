// The instruction set that the library's vector kernels use: the highest
// the processor supports (baseline x86-64, AVX2 or AVX-512), or lower when a
// caller caps it, so that a benchmark or a test can compare the versions on
// one processor.  Every version gives the same pels.
#pragma once

#include "baseif/mxExport.h"

namespace mxcpu {

enum class Level : int { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };

// The highest level this processor supports, read once.
IMGNORM_API Level detected() noexcept;
// The level the kernels use: detected(), or lower after capLevel().
IMGNORM_API Level level() noexcept;
// Makes the kernels use at most the given level.  A process-wide setting, to
// be changed while no kernel runs.
IMGNORM_API void capLevel(Level cap) noexcept;

}  // namespace mxcpu

// Kernels built for several instruction sets, one of them chosen at run time.
//
// A kernel is written once, as a lambda marked MX_KERNEL_INLINE that takes
// all it needs as arguments (scalars and pointers, passed by value so that
// the compiler keeps them in registers) and captures nothing:
//
//   mxcpu::dispatch([](const unsigned char* s, unsigned char* d, std::int32_t n) MX_KERNEL_INLINE {
//     for (std::int32_t i = 0; i < n; ++i) d[i] = f(s[i]);
//   }, s, d, n);
//
// dispatch() inlines the lambda into three functions, one built for the
// baseline instruction set, one for AVX2 and one for AVX-512, and calls the
// one the processor supports.  The choice is made by an ordinary function
// from the processor's feature flags, read once; there is no ifunc resolver,
// so the dispatch builds with GCC and Clang alike (Clang does not clone
// templates) and runs under ThreadSanitizer (which cannot run an ifunc
// resolver before it has started).  The kernels' arithmetic is integer or
// floating point without contraction, so every version gives the same values.
//
// Internal to the library.
#pragma once

#include <cstdint>

#include "baseif/mxCpuLevel.h"

#define MX_KERNEL_INLINE __attribute__((always_inline))

namespace mxcpu {

#if defined(__x86_64__) || defined(__i386__)
template <class F, class... A>
__attribute__((target("avx2"), noinline)) void runAvx2(F f, A... a) {
  f(a...);
}
template <class F, class... A>
__attribute__((target("avx2,avx512f,avx512bw,avx512dq,avx512vl"), noinline)) void runAvx512(F f, A... a) {
  f(a...);
}
#endif

template <class F, class... A>
inline void dispatch(F f, A... a) {
#if defined(__x86_64__) || defined(__i386__)
  switch (level()) {
    case Level::kAvx512:
      runAvx512(f, a...);
      return;
    case Level::kAvx2:
      runAvx2(f, a...);
      return;
    case Level::kBaseline:
      break;
  }
#endif
  f(a...);
}

}  // namespace mxcpu

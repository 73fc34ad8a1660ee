// Which vector code the core runs: chosen once from the CPU, and reached
// through one selector.
//
// An operation with a vector path is a struct with a static `portable`
// function and, in x86-64 builds only, a static `avx2` function of the same
// signature (compiled with the AVX2 target attribute).  run<Op>(isa, ...)
// calls the one for `isa`; other builds have no AVX2 code at all, and there
// it always calls the portable one.
#pragma once

#include <utility>

namespace marlet_core {

// portable: what every x86-64 CPU has (SSE2), or plain bytes elsewhere.
// avx2: 32-byte vectors, on CPUs that have them.
enum class Isa { portable, avx2 };

// The fastest of the above that this CPU runs, found on the first call.
Isa best_isa() noexcept;

#if defined(__x86_64__)
inline constexpr bool kAvx2Built = true;
#else
inline constexpr bool kAvx2Built = false;
#endif

// Calls Op's implementation for `isa` (tests pass each Isa to compare the
// paths; everything else passes best_isa()).
template <class Op, class... Args>
decltype(auto) run(Isa isa, Args&&... args) {
  if constexpr (kAvx2Built) {
    if (isa == Isa::avx2) return Op::avx2(std::forward<Args>(args)...);
  }
  return Op::portable(std::forward<Args>(args)...);
}

}  // namespace marlet_core

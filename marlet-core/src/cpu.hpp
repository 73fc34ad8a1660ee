// Which vector code the core runs, chosen once from the CPU.  An operation
// with a vector path is a struct with static functions `portable` and, in
// x86-64 builds only, `avx2` (built with the AVX2 target attribute);
// run<Op>(isa, ...) calls the one for `isa`.
#pragma once

#include <utility>

namespace marlet_core {

// portable: SSE2, which every x86-64 CPU has, or plain bytes elsewhere.
enum class Isa { portable, avx2 };

// The fastest of the above that this CPU runs, found on the first call.
Isa best_isa() noexcept;

// Tests pass each Isa to compare the paths; everything else best_isa().
template <class Op, class... Args>
decltype(auto) run([[maybe_unused]] Isa isa, Args&&... args) {
#if defined(__x86_64__)
  if (isa == Isa::avx2) return Op::avx2(std::forward<Args>(args)...);
#endif
  return Op::portable(std::forward<Args>(args)...);
}

}  // namespace marlet_core

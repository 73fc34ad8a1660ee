#include "cpu.hpp"

namespace marlet_core {

Isa best_isa() noexcept {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? Isa::avx2 : Isa::portable;
#else
  return Isa::portable;
#endif
}

}  // namespace marlet_core

#include "cpu.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace marlet_core {

#if defined(__x86_64__)
namespace {
// AVX2 takes the instructions (CPUID leaf 7) and an operating system that
// saves the 256-bit registers (OSXSAVE and XCR0's SSE and AVX bits); read
// here because zig's runtime leaves __builtin_cpu_supports's data zero.
bool cpu_has_avx2() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6u) != 0x6u) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & (1u << 5)) != 0;
}
}  // namespace
#endif

Isa best_isa() noexcept {
#if defined(__x86_64__)
  static const Isa isa = cpu_has_avx2() ? Isa::avx2 : Isa::portable;
  return isa;
#else
  return Isa::portable;
#endif
}

}  // namespace marlet_core

// Which vector code the writers run, chosen once from the CPU.
#pragma once

namespace marlet_core {

// portable: what every x86-64 CPU has (SSE2), or plain bytes elsewhere.
// avx2: 32-byte vectors, on CPUs that have them.
enum class Isa { portable, avx2 };

// The fastest of the above that this CPU runs.
Isa best_isa() noexcept;

}  // namespace marlet_core

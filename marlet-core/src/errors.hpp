// The core's failures, in one place.
//
// The core's readers and writers have no failure results of their own (the
// JSON reader's rejection is a value: JsonReadResult).  What remains is:
//   - InternalError, thrown for a failure that is not the caller's fault
//     (a random source that cannot deliver, a broken invariant); each front
//     end turns it into its own fatal outcome;
//   - out_of_memory and fatal, the two ways the process ends: one line on
//     standard error, then abort().  Every allocation of the core goes
//     through checked_malloc/checked_realloc (memory.hpp), which call
//     out_of_memory when the heap refuses.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace marlet_core {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes "marlet: out of memory: failed to allocate <bytes> bytes" to
// stderr and aborts.
[[noreturn]] void out_of_memory(std::size_t bytes) noexcept;

// Writes "marlet: internal error: <what>" to stderr and aborts.
[[noreturn]] void fatal(const char* what) noexcept;

}  // namespace marlet_core

#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace marlet_core {

void out_of_memory(std::size_t bytes) noexcept {
  std::fprintf(stderr, "marlet: out of memory: failed to allocate %zu bytes\n", bytes);
  std::abort();
}

void fatal(const char* what) noexcept {
  std::fprintf(stderr, "marlet: internal error: %s\n", what);
  std::abort();
}

}  // namespace marlet_core

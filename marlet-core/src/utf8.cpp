#include "utf8.hpp"

#include <simdjson.h>

namespace marlet_core {

// simdjson's validator checks exactly the well-formedness rules of RFC 3629
// with SIMD code chosen at run time for the CPU; on this kind of text it
// runs at memory speed, several times faster than a byte-at-a-time check.
bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  if (size == 0) return true;
  return simdjson::validate_utf8(data, size);
}

}  // namespace marlet_core

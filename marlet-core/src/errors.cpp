#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace marlet_core {

const char* message(JsonFault fault) noexcept {
  switch (fault) {
    case JsonFault::none: break;
    case JsonFault::not_array: return "the top level is not an array";
    case JsonFault::not_record: return "a record is not an object";
    case JsonFault::not_key: return "a key is not a string";
    case JsonFault::no_colon: return "expected ':' after a key";
    case JsonFault::not_string: return "a member value is not a string";
    case JsonFault::after_member: return "expected ',' or '}' after a member";
    case JsonFault::after_record: return "expected ',' or ']' after a record";
    case JsonFault::extra: return "extra data after the array";
    case JsonFault::ended: return "the text ended before the array closed";
    case JsonFault::control: return "a control character stands unescaped in a string";
    case JsonFault::escape: return "invalid escape";
    case JsonFault::surrogate: return "a string holds a lone surrogate";
  }
  return "no fault";
}

void out_of_memory(std::size_t bytes) noexcept {
  std::fprintf(stderr, "marlet: out of memory: failed to allocate %zu bytes\n", bytes);
  std::abort();
}

void fatal(const char* what) noexcept {
  std::fprintf(stderr, "marlet: internal error: %s\n", what);
  std::abort();
}

}  // namespace marlet_core

// The core's failures, in one place.
//
// The core's readers and writers have no failure results of their own (the
// JSON reader's rejection is a value: JsonReadResult, with a JsonFault whose
// words are in the table below).  What remains is:
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

// Why a JSON text is not the JSON form of a record list.
enum class JsonFault : unsigned char {
  none,
  not_array,     // the top level is something else
  not_record,    // an element of the array is not an object
  not_key,       // a member does not start with a string
  no_colon,      // no ':' after a key
  not_string,    // a member value is not a string
  after_member,  // neither ',' nor '}' after a member
  after_record,  // neither ',' nor ']' after a record
  extra,         // more than whitespace after the array
  ended,         // the text ends inside the array
  control,       // a raw character below U+0020 in a string
  escape,        // an escape that JSON does not have
  surrogate,     // a lone surrogate: a \u escape without its pair
};

// The words for a JSON fault, as every binding shows them.
const char* message(JsonFault fault) noexcept;

// Writes "marlet: out of memory: failed to allocate <bytes> bytes" to
// stderr and aborts.
[[noreturn]] void out_of_memory(std::size_t bytes) noexcept;

// Writes "marlet: internal error: <what>" to stderr and aborts.
[[noreturn]] void fatal(const char* what) noexcept;

}  // namespace marlet_core

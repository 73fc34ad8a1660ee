// How the core fails, in two tiers.
//
// One-shot paths (readers and writers of a whole text or record list, the
// one-pass exports, and the front ends over them) return failures as values
// and never throw for bad input: the JSON reader's rejection is a
// JsonReadResult (json.hpp) with its offset and JsonFault; a count or
// length beyond the binary encoding's 32 bits is nullopt; nothing else can
// fail.  Exhausted memory aborts there (memory.hpp: CAllocator, Buffer).
//
// Streaming paths (stream.hpp, converter.hpp, columns.hpp) throw ReadError
// for ill-formed input, ConvertError and LossError for records the output
// cannot carry, and std::bad_alloc from the Arrow columns' blocks; their
// other allocations abort as above.
//
// Both throw InternalError for a fault that is not the caller's (a random
// source that cannot deliver the hash keys) and std::length_error for a
// size beyond the address space.  Each front end translates once, at its
// boundary: the C exports' guard (ffi.cpp) into fatal(); marlet._native into
// PanicException, or the abort for std::bad_alloc; marlet._ext into Python
// exceptions, std::bad_alloc becoming MemoryError.
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

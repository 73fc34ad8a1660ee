// The binary record encoding, and the front end behind the C exports.
#pragma once

#include <optional>
#include <string_view>

#include "binary_format.hpp"
#include "cpu.hpp"
#include "memory.hpp"
#include "writers.hpp"

namespace marlet_core::ffi {

// Encodes a record list (owned or borrowed), fields in each Record's own
// order; nullopt when a count or length does not fit 32 bits.
template <class List>
[[nodiscard]] std::optional<Buffer> encode_binary(const List& records) {
  Buffer out(4);
  if (!binary::fits_u32(records.size())) return std::nullopt;
  binary::append_u32(out, records.size());
  for (const auto& record : records)
    if (!writers::write_binary_record(record, out)) return std::nullopt;
  return out;
}

// The same for the records of a .marl text (valid UTF-8), written as each
// record closes.
[[nodiscard]] std::optional<Buffer> parse_marl_to_binary(std::string_view text, Isa isa = best_isa());

}  // namespace marlet_core::ffi

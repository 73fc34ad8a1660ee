// The .marlc compact format: a field is `key:value` and a line feed, and
// every record ends with one more line feed.  Nothing is escaped, so a
// record reads back unchanged exactly when writers::marlc_loss finds nothing.
#pragma once

#include <optional>
#include <string_view>

#include "cpu.hpp"
#include "marl_reader.hpp"
#include "memory.hpp"
#include "writers.hpp"

namespace marlet_core::compact {

// Reads .marlc text (valid UTF-8): a blank line ends a record, indentation
// means nothing.  Keys and values are copied.
inline RecordList parse_marl_compact(std::string_view text) { return read_records<OwnedString>(false, text); }

// The JSON form of what parse_marl_compact reads from `text`.
Buffer parse_marl_compact_to_json(std::string_view text, Isa isa = best_isa());

// Writes records as .marlc text, fields in each Record's own order.
inline Buffer write_marl_compact(const RecordList& records) {
  Buffer out;
  for (const Record& record : records) writers::write_marlc_record(record, out);
  return out;
}

// Reads the JSON form and writes its records as .marlc text; a text that
// the JSON reader rejects gives nullopt and no output.
[[nodiscard]] std::optional<Buffer> write_marl_compact_from_json(std::string_view json, Isa isa = best_isa());

}  // namespace marlet_core::compact

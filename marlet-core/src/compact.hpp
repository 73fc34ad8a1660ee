// The .marlc compact format: reader and writer.
//
// As written (writers.hpp), a field is `key:value` and a line feed, and
// every record ends with one more line feed.  The writer escapes nothing, so
// a record reads back unchanged exactly when it is non-empty and no key is
// empty, holds a colon or a line feed, and no key or value holds a line feed
// or starts or ends with whitespace.
#pragma once

#include <optional>
#include <string_view>

#include "json.hpp"
#include "memory.hpp"
#include "record.hpp"
#include "writers.hpp"

namespace marlet_core::compact {

// Reads .marlc text (valid UTF-8): a blank line ends a record, indentation
// means nothing.  Keys and values are copied.
RecordList parse_marl_compact(std::string_view text);

// The JSON form of what parse_marl_compact reads from `text`.
Buffer parse_marl_compact_to_json(std::string_view text);
Buffer parse_marl_compact_to_json(std::string_view text, Isa isa);

// Writes records as .marlc text, fields in each Record's own order.
Buffer write_marl_compact(const RecordList& records);

// The same for any record list (owned or borrowed).
template <class List>
Buffer write_compact_records(const List& records) {
  Buffer out;
  for (const auto& record : records) writers::write_marlc_record(record, out);
  return out;
}

// Reads the JSON form and writes its records as .marlc text; a text that
// the JSON reader rejects gives nullopt and no output.
[[nodiscard]] std::optional<Buffer> write_marl_compact_from_json(std::string_view json);
[[nodiscard]] std::optional<Buffer> write_marl_compact_from_json(std::string_view json, Isa isa);

}  // namespace marlet_core::compact

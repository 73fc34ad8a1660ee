#include "compact.hpp"

#include "marl_reader.hpp"
#include "text.hpp"

namespace marlet_core::compact {

namespace {

template <class Str>
BasicRecordList<Str> read_compact(std::string_view text) {
  RecordListSink<Str> sink;
  text::scan_compact(text, sink);
  return sink.take();
}

}  // namespace

RecordList parse_marl_compact(std::string_view text) { return read_compact<OwnedString>(text); }

Buffer write_marl_compact(const RecordList& records) { return write_compact_records(records); }

std::optional<Buffer> write_marl_compact_from_json(std::string_view json) {
  // The records live only for this call: borrowed records (views into the
  // input, or into the arena for strings with escapes) save a copy.
  StringArena arena;
  BorrowedJsonResult records = read_json_borrowed(json, arena);
  if (!records.ok()) return std::nullopt;
  return write_compact_records(records.value());
}

}  // namespace marlet_core::compact

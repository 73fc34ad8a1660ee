#include "compact.hpp"

#include "marl_reader.hpp"
#include "text.hpp"

namespace marlet_core::compact {

RecordList parse_marl_compact(std::string_view text) {
  RecordListSink<OwnedString> sink;
  text::scan_compact(text, sink);
  return sink.take();
}

Buffer parse_marl_compact_to_json(std::string_view text) {
  RecordList records = parse_marl_compact(text);
  Buffer out(kJsonInitialCapacity);
  write_json(records, out);
  return out;
}

Buffer write_marl_compact(const RecordList& records) {
  Buffer out;
  for (const Record& record : records) {
    record.for_each([&](std::string_view key, std::string_view value) {
      char* dst = out.prepare(key.size() + value.size() + 2);
      std::memcpy(dst, key.data(), key.size());
      dst += key.size();
      *dst++ = ':';
      std::memcpy(dst, value.data(), value.size());
      dst[value.size()] = '\n';
      out.commit(key.size() + value.size() + 2);
    });
    out.push_back('\n');
  }
  return out;
}

std::optional<Buffer> write_marl_compact_from_json(std::string_view json) {
  JsonResult records = read_json(json);
  if (!records) return std::nullopt;
  return write_marl_compact(records.value());
}

}  // namespace marlet_core::compact

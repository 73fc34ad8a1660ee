#include "json.hpp"

#include "json_reader.hpp"
#include "marl_reader.hpp"

namespace marlet_core {

namespace {

template <class Str>
JsonReadResult<BasicRecordList<Str>> read_list(std::string_view text, StringArena* arena) {
  RecordListSink<Str> sink;
  JsonReader reader(text, arena);
  if (!reader.read(sink)) return JsonReadResult<BasicRecordList<Str>>::rejected(reader.offset(), reader.fault());
  return JsonReadResult<BasicRecordList<Str>>(sink.take());
}

}  // namespace

JsonResult read_json(std::string_view text) { return read_list<OwnedString>(text, nullptr); }

BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena) {
  return read_list<std::string_view>(text, &arena);
}

std::string_view StringArena::store(std::string_view s) {
  if (s.empty()) return {};
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < s.size()) {
    chunks_.emplace_back(s.size() > kChunk ? s.size() : kChunk);
  }
  Buffer& chunk = chunks_.back();
  const char* at = chunk.data() + chunk.size();
  chunk.append(s);  // within capacity: the chunk's block never moves
  return {at, s.size()};
}

void StringArena::reset() noexcept {
  if (chunks_.empty()) return;
  chunks_.erase(chunks_.begin() + 1, chunks_.end());
  chunks_.front().clear();
}

}  // namespace marlet_core

#include "json.hpp"

#include "json_reader.hpp"


namespace marlet_core {



namespace {

// Collects the objects into a record list, one new map per object.
template <class Str>
struct ListSink {
  BasicRecordList<Str> list;
  BasicRecord<Str> current;
  void field(std::string_view key, std::string_view value) { current.put(key, value); }
  void end_record() {
    list.push_back(std::move(current));
    current = BasicRecord<Str>();
  }
};

}  // namespace

JsonResult read_json(std::string_view text) {
  ListSink<OwnedString> sink;
  JsonReader reader(text, nullptr);
  if (!reader.read(sink)) return JsonResult::rejected(reader.offset(), reader.fault());
  return JsonResult(std::move(sink.list));
}

BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena) {
  ListSink<std::string_view> sink;
  JsonReader reader(text, &arena);
  if (!reader.read(sink)) return BorrowedJsonResult::rejected(reader.offset(), reader.fault());
  return BorrowedJsonResult(std::move(sink.list));
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

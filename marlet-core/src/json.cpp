#include "json.hpp"

#include "json_reader.hpp"

#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif


namespace marlet_core {

namespace json_detail {

const unsigned char* find_special(const unsigned char* p, const unsigned char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1f);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Bytes <= 0x1f: min(v, 0x1f) == v, in unsigned comparison.
    const __m128i ctrl = _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v);
    const __m128i special = _mm_or_si128(ctrl, _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(special));
    if (m != 0) return p + __builtin_ctz(m);
    p += 16;
  }
#endif
  while (p != end && writers::kEscape.code[*p] == 0) ++p;
  return p;
}

}  // namespace json_detail


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

#include "json.hpp"

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
  while (p != end && kEscape.code[*p] == 0) ++p;
  return p;
}

}  // namespace json_detail

namespace {

// A strict single-pass reader for the one shape the JSON form has.
//
// Strings without escapes are passed on as views into the input; strings
// with escapes are decoded into scratch space first.  For owned records
// put() copies either; for borrowed records decoded text is kept in an
// arena that lives as long as the records.
template <class Str>
class JsonReader {
 public:
  JsonReader(std::string_view text, StringArena* arena) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        p_(begin_),
        end_(p_ + text.size()),
        arena_(arena) {}

  // After read() failed: the offset of the byte that was rejected (the
  // backslash, for a malformed escape), or the text's length.
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

  bool read(BasicRecordList<Str>& records) {
    skip_ws();
    if (!eat('[')) return false;
    skip_ws();
    if (!eat(']')) {
      for (;;) {
        skip_ws();
        BasicRecord<Str> record;
        if (!read_object(record)) return false;
        records.push_back(std::move(record));
        skip_ws();
        if (eat(']')) break;
        if (!eat(',')) return false;
      }
    }
    skip_ws();
    return p_ == end_;
  }

 private:
  bool read_object(BasicRecord<Str>& record) {
    if (!eat('{')) return false;
    skip_ws();
    if (eat('}')) return true;
    for (;;) {
      std::string_view key, value;
      skip_ws();
      if (!read_string(key_, key)) return false;
      skip_ws();
      if (!eat(':')) return false;
      skip_ws();
      if (!read_string(value_, value)) return false;
      record.put(key, value);
      skip_ws();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }

  // Reads a string token; `text` receives its decoded content, a view
  // into the input, the scratch buffer or the arena.
  bool read_string(Buffer& scratch, std::string_view& text) {
    if (!eat('"')) return false;
    const unsigned char* run = json_detail::find_special(p_, end_);
    if (run != end_ && *run == '"') {
      text = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run + 1;
      return true;
    }
    scratch.clear();
    for (;;) {
      scratch.append(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run;
      if (p_ == end_ || *p_ < 0x20) return false;
      const unsigned char* escape = p_;
      if (*p_++ == '"') break;
      if (!read_escape(scratch)) {
        p_ = escape;
        return false;
      }
      run = json_detail::find_special(p_, end_);
    }
    text = scratch.view();
    if constexpr (std::is_same_v<Str, std::string_view>) text = arena_->store(text);
    return true;
  }

  bool read_escape(Buffer& out) {
    if (p_ == end_) return false;
    const unsigned char c = *p_++;
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    std::uint32_t cp;
    if (!read_hex4(cp)) return false;
    if (cp >= 0xdc00 && cp <= 0xdfff) return false;  // a low surrogate must follow a high one
    if (cp >= 0xd800 && cp <= 0xdbff) {
      std::uint32_t low;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!read_hex4(low) || low < 0xdc00 || low > 0xdfff) return false;
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    append_utf8(cp, out);
    return true;
  }

  bool read_hex4(std::uint32_t& cp) noexcept {
    if (end_ - p_ < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = *p_++;
      std::uint32_t d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10u;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10u;
      else return false;
      cp = cp << 4 | d;
    }
    return true;
  }

  static void append_utf8(std::uint32_t cp, Buffer& out) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
      b[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xc0 | cp >> 6);
      b[1] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xe0 | cp >> 12);
      b[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      b[2] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 3;
    } else {
      b[0] = static_cast<char>(0xf0 | cp >> 18);
      b[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3f));
      b[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      b[3] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 4;
    }
    out.append(b, n);
  }

  void skip_ws() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool eat(unsigned char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  StringArena* arena_;
  Buffer key_;  // decoded text of the current key and value, reused
  Buffer value_;
};

}  // namespace

JsonResult read_json(std::string_view text) {
  RecordList records;
  JsonReader<OwnedString> reader(text, nullptr);
  if (!reader.read(records)) return JsonResult::rejected(reader.offset());
  return JsonResult(std::move(records));
}

BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena) {
  BorrowedRecordList records;
  JsonReader<std::string_view> reader(text, &arena);
  if (!reader.read(records)) return BorrowedJsonResult::rejected(reader.offset());
  return BorrowedJsonResult(std::move(records));
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

}  // namespace marlet_core

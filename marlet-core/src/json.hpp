// The JSON form of record lists: a compact writer and a strict reader.
//
// The form is an array of objects whose member values are strings, written
// with no whitespace.  The writer escapes the double quote, the backslash
// and every character below U+0020 and copies everything else unchanged, so
// its output never holds a byte below 0x20 and is safe as a C string.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "memory.hpp"
#include "record.hpp"

namespace marlet_core {

namespace json_detail {
// For each byte: 0 when it is copied as is, otherwise the character that
// follows the backslash ('u' for the \u00XX form).
struct EscapeTable {
  char code[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) code[c] = 'u';
    const auto set = [this](unsigned char c, char escape) { code[c] = escape; };
    set('\b', 'b');
    set('\t', 't');
    set('\n', 'n');
    set('\f', 'f');
    set('\r', 'r');
    set('"', '"');
    set('\\', '\\');
  }
};
inline constexpr EscapeTable kEscape{};

// The first byte in [p, end) that the JSON form escapes ('"', '\\' or a
// byte below 0x20), or end.
const unsigned char* find_special(const unsigned char* p, const unsigned char* end) noexcept;

// Writes the escaped form of `s` at `dst`, which has room for 6 bytes per
// input byte; returns the end of what it wrote.
char* write_escaped(std::string_view s, char* dst) noexcept;
}  // namespace json_detail

// Appends `s` as a JSON string (quotes included).  Runs of bytes that need
// no escape are copied in one piece.
inline void write_json_string(std::string_view s, Buffer& out) {
  // Room for the worst case (every byte a \u00XX escape) up front, so the
  // escaping loop needs no bounds checks.
  char* start = out.prepare(s.size() * 6 + 2);
  char* d = start;
  *d++ = '"';
  d = json_detail::write_escaped(s, d);
  *d++ = '"';
  out.commit(static_cast<std::size_t>(d - start));
}

// Appends the JSON form of a record list (owned or borrowed) to `out`.
template <class List>
void write_json(const List& records, Buffer& out) {
  out.push_back('[');
  bool first_record = true;
  for (const auto& record : records) {
    if (!first_record) out.push_back(',');
    first_record = false;
    out.push_back('{');
    bool first_field = true;
    record.for_each([&](std::string_view key, std::string_view value) {
      if (!first_field) out.push_back(',');
      first_field = false;
      write_json_string(key, out);
      out.push_back(':');
      write_json_string(value, out);
    });
    out.push_back('}');
  }
  out.push_back(']');
}

// Capacity an output buffer starts with before the writer grows it.
inline constexpr std::size_t kJsonInitialCapacity = 128;

// Reads a .marl document and returns the JSON form of its records.  No key
// or value is copied on the way: the borrowed reader feeds the writer.
Buffer parse_marl_to_json(std::string_view text);

// What the JSON readers return: the records, or the byte offset at which
// the text was rejected (the first byte that could not be taken, the
// backslash of a malformed or cut-off escape, or the text's length when it
// ended too early).  The offset is for reporting positions;
// which rule was broken is not recorded.
template <class List>
class [[nodiscard]] JsonReadResult {
 public:
  static JsonReadResult rejected(std::size_t offset) noexcept { return JsonReadResult(offset); }
  explicit JsonReadResult(List records) noexcept : ok_(true), records_(std::move(records)) {}

  bool ok() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  // The records; empty when the text was rejected.
  List& value() & noexcept { return records_; }
  const List& value() const& noexcept { return records_; }
  List&& value() && noexcept { return std::move(records_); }
  // Where the text was rejected; 0 when it was accepted.
  std::size_t error_offset() const noexcept { return error_offset_; }

 private:
  explicit JsonReadResult(std::size_t offset) noexcept : error_offset_(offset) {}
  bool ok_ = false;
  std::size_t error_offset_ = 0;
  List records_;
};

using JsonResult = JsonReadResult<RecordList>;
using BorrowedJsonResult = JsonReadResult<BorrowedRecordList>;

// Reads JSON text (valid UTF-8) that must be an array of objects whose
// member values are strings, per RFC 8259, with nothing but JSON whitespace
// around it.  Anything else is rejected whole.
JsonResult read_json(std::string_view text);

// Holds decoded strings for records that refer to them; addresses stay put
// for the arena's lifetime.
class StringArena {
 public:
  std::string_view store(std::string_view s);

 private:
  static constexpr std::size_t kChunk = 16 * 1024;
  std::vector<Buffer, CAllocator<Buffer>> chunks_;
};

// The same reader yielding records whose keys and values are views into
// `text` or, where escapes had to be decoded, into `arena`.  Used where the
// records live only as long as the call, to save a copy of every string.
BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena);

}  // namespace marlet_core

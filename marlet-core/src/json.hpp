// The JSON form of record lists, an array of objects whose member values
// are strings: its writer (writers.hpp states each object's bytes) and its
// reader's results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "cpu.hpp"
#include "errors.hpp"
#include "memory.hpp"
#include "record.hpp"
#include "utf8.hpp"
#include "writers.hpp"

namespace marlet_core {

namespace json_detail {
// Reads four hex digits at p into cp; false when fewer than four remain or
// one is not a digit.  A loop rather than std::from_chars, whose code would
// crowd the reader's inlined AVX2 build.
inline bool read_hex4(const unsigned char*& p, const unsigned char* end, std::uint32_t& cp) noexcept {
  if (end - p < 4) return false;
  cp = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = *p++;
    std::uint32_t d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10u;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10u;
    else return false;
    cp = cp << 4 | d;
  }
  return true;
}

// Decodes the escape whose backslash lies just before p and appends what it
// stands for to out; a high surrogate's \u escape must be followed by a low
// one's, the pair making one code point.  Returns JsonFault::none, or why
// the escape is bad (escape, or surrogate for a lone one).
template <class Out>
JsonFault decode_escape(const unsigned char*& p, const unsigned char* end, Out& out) {
  constexpr std::string_view kNamed = "\"\\/bfnrt", kMeans = "\"\\/\b\f\n\r\t";
  if (p == end) return JsonFault::escape;
  if (*p != 'u') {
    const std::size_t i = kNamed.find(static_cast<char>(*p++));
    if (i == std::string_view::npos) return JsonFault::escape;
    out.push_back(kMeans[i]);
    return JsonFault::none;
  }
  ++p;
  std::uint32_t cp;
  if (!read_hex4(p, end, cp)) return JsonFault::escape;
  if (cp >= 0xdc00 && cp <= 0xdfff) return JsonFault::surrogate;  // a low one must follow a high one
  if (cp >= 0xd800 && cp <= 0xdbff) {
    std::uint32_t low;
    if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return JsonFault::surrogate;
    p += 2;
    if (!read_hex4(p, end, low)) return JsonFault::escape;
    if (low < 0xdc00 || low > 0xdfff) return JsonFault::surrogate;
    cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
  }
  char bytes[4];
  out.append(bytes, static_cast<std::size_t>(put_utf8(cp, bytes) - bytes));
  return JsonFault::none;
}
}  // namespace json_detail

// Appends the JSON form of a record list (owned or borrowed) to `out`.
template <class List>
void write_json(const List& records, Buffer& out) {
  const std::size_t start = out.size();
  out.push_back('[');
  for (const auto& record : records) writers::write_json_record(record, out, out.size() != start + 1);
  out.push_back(']');
}

// The JSON form of a .marl document's records (valid UTF-8), each written
// from views into `text` as soon as it closes (one_pass.cpp).
Buffer parse_marl_to_json(std::string_view text, Isa isa = best_isa());

// What the JSON readers return: the records, or the offset of the first
// byte that could not be taken (the backslash of a bad escape, or the
// text's length when it ended too early) and the fault.
template <class List>
class [[nodiscard]] JsonReadResult {
 public:
  static JsonReadResult rejected(std::size_t offset, JsonFault fault) noexcept { return JsonReadResult(offset, fault); }
  explicit JsonReadResult(List records) noexcept : records_(std::move(records)) {}

  bool ok() const noexcept { return fault_ == JsonFault::none; }
  explicit operator bool() const noexcept { return ok(); }
  // The records; empty when the text was rejected.
  const List& value() const noexcept { return records_; }
  // 0 and none when the text was accepted.
  std::size_t error_offset() const noexcept { return error_offset_; }
  JsonFault fault() const noexcept { return fault_; }

 private:
  JsonReadResult(std::size_t offset, JsonFault fault) noexcept : fault_(fault), error_offset_(offset) {}
  JsonFault fault_ = JsonFault::none;
  std::size_t error_offset_ = 0;
  List records_;
};

using JsonResult = JsonReadResult<RecordList>;
using BorrowedJsonResult = JsonReadResult<BorrowedRecordList>;

// Reads JSON text (valid UTF-8) that must be an array of objects whose
// member values are strings, per RFC 8259, with nothing but JSON whitespace
// around it.  Anything else is rejected whole.
JsonResult read_json(std::string_view text);

// Holds decoded strings for records that refer to them, at addresses that
// stay put for the arena's lifetime.
class StringArena {
 public:
  std::string_view store(std::string_view s);
  // Forgets everything stored (the views die); keeps one block for reuse.
  void reset() noexcept;

 private:
  static constexpr std::size_t kChunk = 16 * 1024;
  std::vector<Buffer, CAllocator<Buffer>> chunks_;
};

// The same with keys and values as views into `text` or, where escapes were
// decoded, into `arena`: no string is copied.
BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena);

}  // namespace marlet_core

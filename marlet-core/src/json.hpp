// The JSON form of record lists: a compact writer and a strict reader.
//
// The form is an array of objects whose member values are strings, written
// with no whitespace.  The writer escapes the double quote, the backslash
// and every character below U+0020 and copies everything else unchanged, so
// its output never holds a byte below 0x20 and is safe as a C string.
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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Room a writer keeps beyond what it must still write, so that the
// escaping loop can store whole vectors and let later bytes overwrite
// what lies past the string.
inline constexpr std::size_t kSlack = 64;

// Copies kWidth bytes from `p` to `d` and returns the mask of those bytes
// that need an escape.  This one is portable: SSE2, which every x86-64 CPU
// has, or plain bytes elsewhere.  The writers' AVX2 scan has the same shape.
struct PortableScan {
  static constexpr std::size_t kWidth = 16;
  static std::uint32_t copy_mask(const unsigned char* p, char* d) noexcept {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
    // Bytes <= 0x1f: min(v, 0x1f) == v, in unsigned comparison.
    const __m128i ctrl = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(ctrl, _mm_or_si128(quote, backslash))));
#else
    std::uint32_t m = 0;
    for (std::size_t i = 0; i < kWidth; ++i) {
      d[i] = static_cast<char>(p[i]);
      m |= std::uint32_t{kEscape.code[p[i]] != 0} << i;
    }
    return m;
#endif
  }
};

// Writes the escape of the byte `c` at `d` (at most 6 bytes).
inline char* write_escape(unsigned char c, char* d) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  const char code = kEscape.code[c];
  d[0] = '\\';
  d[1] = code;
  if (code != 'u') return d + 2;
  d[2] = '0';
  d[3] = '0';
  d[4] = kHex[c >> 4];
  d[5] = kHex[c & 0xf];
  return d + 6;
}

// Writes `s` escaped at `d` and returns the end of what it wrote.
//
// On entry out.room(d) >= s.size() + after + kSlack, where `after` counts
// the bytes the caller writes next; that stays true to the end: plain runs
// keep it, and before an escape (which widens one byte to up to six) the
// block grows if it must.  So memory follows what is written, not a worst
// case.  Whole vectors are loaded while they end at or before `readable`
// (the end of the text `s` lies in, so no byte outside the caller's input
// is read); a last piece nearer than that is copied into a zeroed vector
// first.
template <class Scan>
inline char* escape_to(std::string_view s, const char* readable, char* d, Buffer& out, std::size_t after) {
  constexpr std::size_t kWidth = Scan::kWidth;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  while (n != 0) {
    std::uint32_t m;
    std::size_t take = kWidth;
    if (static_cast<std::size_t>(readable - reinterpret_cast<const char*>(p)) >= kWidth) {
      m = Scan::copy_mask(p, d);
    } else {
      alignas(32) unsigned char piece[kWidth] = {};
      std::memcpy(piece, p, n < kWidth ? n : kWidth);
      m = Scan::copy_mask(piece, d);
    }
    if (n < kWidth) {
      take = n;
      m &= (std::uint32_t{1} << n) - 1;
    }
    if (m == 0) {
      p += take;
      d += take;
      n -= take;
      continue;
    }
    const std::size_t k = static_cast<std::size_t>(__builtin_ctz(m));
    p += k;
    d += k;
    n -= k;
    // The escape takes up to 6 bytes for 1: keep the invariant for the rest.
    if (out.room(d) < n + 5 + after + kSlack) d = out.room_after(d, n + 5 + after + kSlack);
    d = write_escape(*p++, d);
    --n;
  }
  return d;
}

// Reads four hex digits at p into cp, stepping p past each digit it looks
// at.  False when fewer than four remain (p unmoved) or one is not a digit.
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

// Appends code point cp to out as UTF-8.
template <class Out>
void append_utf8(std::uint32_t cp, Out& out) {
  char b[4];
  out.append(b, static_cast<std::size_t>(put_utf8(cp, b) - b));
}

// Decodes the escape whose backslash lies just before p and appends what it
// stands for to out (a Buffer or a std::string).  A \u escape of a high
// surrogate must be followed by one of a low surrogate; the pair becomes one
// code point.  Returns JsonFault::none, or why the escape is bad (escape,
// or surrogate for a lone one) with p left where reading stopped.
template <class Out>
JsonFault decode_escape(const unsigned char*& p, const unsigned char* end, Out& out) {
  if (p == end) return JsonFault::escape;
  char simple;
  switch (*p) {
    case '"': simple = '"'; break;
    case '\\': simple = '\\'; break;
    case '/': simple = '/'; break;
    case 'b': simple = '\b'; break;
    case 'f': simple = '\f'; break;
    case 'n': simple = '\n'; break;
    case 'r': simple = '\r'; break;
    case 't': simple = '\t'; break;
    case 'u': simple = 0; break;
    default: return JsonFault::escape;
  }
  if (*p++ != 'u') {
    out.push_back(simple);
    return JsonFault::none;
  }
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
  append_utf8(cp, out);
  return JsonFault::none;
}
}  // namespace json_detail

// Appends `s` as a JSON string (quotes included).  Runs of bytes that need
// no escape are copied in one piece; the buffer grows with what is written.
inline void write_json_string(std::string_view s, Buffer& out) {
  char* d = out.prepare(s.size() + 2 + json_detail::kSlack);
  *d++ = '"';
  d = json_detail::escape_to<json_detail::PortableScan>(s, s.data() + s.size(), d, out, 1);
  *d++ = '"';
  out.end_at(d);
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

// Reads a .marl document (valid UTF-8) and returns the JSON form of its
// records.  No key or value is copied on the way: each record is written
// from views into `text` as soon as it closes (record_writer.hpp).
Buffer parse_marl_to_json(std::string_view text);
// The same with the vector code chosen by the caller (tests run both).
Buffer parse_marl_to_json(std::string_view text, Isa isa);

// What the JSON readers return: the records, or where and why the text was
// rejected: the byte offset of the first byte that could not be taken (the
// backslash of a malformed or cut-off escape, or the text's length when it
// ended too early) and the fault, whose words are message(fault).
template <class List>
class [[nodiscard]] JsonReadResult {
 public:
  static JsonReadResult rejected(std::size_t offset, JsonFault fault) noexcept { return JsonReadResult(offset, fault); }
  explicit JsonReadResult(List records) noexcept : records_(std::move(records)) {}

  bool ok() const noexcept { return fault_ == JsonFault::none; }
  explicit operator bool() const noexcept { return ok(); }
  // The records; empty when the text was rejected.
  List& value() & noexcept { return records_; }
  const List& value() const& noexcept { return records_; }
  List&& value() && noexcept { return std::move(records_); }
  // Where and why the text was rejected; 0 and none when it was accepted.
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

// Holds decoded strings for records that refer to them; addresses stay put
// for the arena's lifetime.
class StringArena {
 public:
  std::string_view store(std::string_view s);
  // Forgets everything stored (the views die); keeps one block for reuse.
  void reset() noexcept;

 private:
  static constexpr std::size_t kChunk = 16 * 1024;
  std::vector<Buffer, CAllocator<Buffer>> chunks_;
};

// The same reader yielding records whose keys and values are views into
// `text` or, where escapes had to be decoded, into `arena`.  Used where the
// records live only as long as the call, to save a copy of every string.
BorrowedJsonResult read_json_borrowed(std::string_view text, StringArena& arena);

}  // namespace marlet_core

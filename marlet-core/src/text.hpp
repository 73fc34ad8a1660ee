// The line and whitespace rules shared by every reader of the text formats.
//
// The .marl reader, the .marlc reader and the Python module's direct parser
// all go through scan_marl / scan_compact below, so they cut lines, trim and
// split fields identically by construction.
//
// Lines: the text is cut after every line feed; a line loses that line feed
// and one carriage return directly before it.  Nothing else ends a line.
// Whitespace: the 25 code points with the Unicode White_Space property.
// The text is always valid UTF-8, and every cut made here falls on a
// character boundary.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

namespace marlet_core::text {

// Iterates over the lines of a text.
class Lines {
 public:
  explicit Lines(std::string_view text) noexcept : text_(text) {}

  bool next(std::string_view& line) noexcept {
    const std::size_t n = text_.size();
    if (pos_ >= n) return false;
    const char* base = text_.data();
    const void* lf = std::memchr(base + pos_, '\n', n - pos_);
    std::size_t end = lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : n;
    std::size_t stop = end;
    if (lf != nullptr && stop > pos_ && base[stop - 1] == '\r') --stop;
    line = std::string_view(base + pos_, stop - pos_);
    pos_ = lf != nullptr ? end + 1 : n;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

namespace detail {
inline bool ascii_space(unsigned char c) noexcept { return c == 0x20 || (c >= 0x09 && c <= 0x0d); }

// Length of the whitespace character starting at s[i], or 0.
inline std::size_t space_at(std::string_view s, std::size_t i) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t left = s.size() - i;
  const unsigned char c = p[i];
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  if (c == 0xc2) return left >= 2 && (p[i + 1] == 0x85 || p[i + 1] == 0xa0) ? 2 : 0;
  if (left < 3 || c < 0xe1 || c > 0xe3) return 0;
  const unsigned char c1 = p[i + 1], c2 = p[i + 2];
  if (c == 0xe1) return c1 == 0x9a && c2 == 0x80 ? 3 : 0;  // U+1680
  if (c == 0xe3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;  // U+3000
  if (c1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
    return (c2 >= 0x80 && c2 <= 0x8a) || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf ? 3 : 0;
  return c1 == 0x81 && c2 == 0x9f ? 3 : 0;  // U+205F
}

// Length of the whitespace character ending at s[n - 1], or 0.
inline std::size_t space_before(std::string_view s, std::size_t n) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char c = p[n - 1];
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  if (n >= 2 && p[n - 2] == 0xc2) return c == 0x85 || c == 0xa0 ? 2 : 0;
  if (n >= 3) return space_at(s, n - 3) == 3 ? 3 : 0;
  return 0;
}
}  // namespace detail

inline std::string_view trim_start(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t w = detail::space_at(s, i);
    if (w == 0) break;
    i += w;
  }
  return s.substr(i);
}

inline std::string_view trim_end(std::string_view s) noexcept {
  std::size_t n = s.size();
  while (n != 0) {
    std::size_t w = detail::space_before(s, n);
    if (w == 0) break;
    n -= w;
  }
  return s.substr(0, n);
}

inline std::string_view trim(std::string_view s) noexcept { return trim_end(trim_start(s)); }

struct Field {
  std::string_view key;
  std::string_view value;
};

// Splits a line at its first colon into a trimmed key and a trimmed value.
// No colon, or an empty key, gives no field.
inline std::optional<Field> split_field(std::string_view line) noexcept {
  const void* colon = std::memchr(line.data(), ':', line.size());
  if (colon == nullptr) return std::nullopt;
  const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(colon) - line.data());
  std::string_view key = trim(line.substr(0, at));
  if (key.empty()) return std::nullopt;
  return Field{key, trim(line.substr(at + 1))};
}

// A Sink receives what a reader finds:
//   sink.field(key, value)  a field for the current record;
//   sink.close()            the current record ends here if it holds a field.

// The .marl rules: blank lines are skipped whole; every non-blank line that
// does not begin with whitespace closes the current record after its own
// field (if any) went in; the end of the text closes it too.
template <class Sink>
void scan_marl(std::string_view text, Sink& sink) {
  Lines lines(text);
  std::string_view line;
  while (lines.next(line)) {
    const std::string_view rest = trim_start(line);
    if (rest.empty()) continue;
    if (auto f = split_field(rest)) sink.field(f->key, f->value);
    if (rest.size() == line.size()) sink.close();
  }
  sink.close();
}

// The .marlc rules: indentation means nothing; a blank line closes the
// current record, and so does the end of the text.
template <class Sink>
void scan_compact(std::string_view text, Sink& sink) {
  Lines lines(text);
  std::string_view line;
  while (lines.next(line)) {
    const std::string_view trimmed = trim(line);
    if (trimmed.empty()) {
      sink.close();
      continue;
    }
    if (auto f = split_field(trimmed)) sink.field(f->key, f->value);
  }
  sink.close();
}

}  // namespace marlet_core::text

// The line and whitespace rules shared by every reader of the text formats
// (.marl, .marlc and the Python module's direct parser), written once over
// the text's code unit: char for UTF-8, whose cuts here all fall on
// character boundaries, or uint8_t, uint16_t, uint32_t for one code point
// per unit (a Python str).  A line ends at a line feed, and loses it and one
// carriage return directly before it; whitespace is the 25 code points with
// the Unicode White_Space property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "unit_view.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marlet_core::text {

// U+FEFF, which the file readers drop as a byte-order mark.
inline constexpr std::string_view kBom = "\xef\xbb\xbf";

namespace detail {
// Whether the text's units are UTF-8 bytes (else one code point each).
template <class Unit>
inline constexpr bool kUtf8 = std::is_same_v<Unit, char>;

#if defined(__SSE2__)
// The 16 units at p as 16 bytes: a wider unit saturates to a byte of 0x7F
// or more, never a line feed, a colon or ASCII whitespace.
template <class Unit>
inline __m128i narrow16(const Unit* p) noexcept {
  const auto load = [](const Unit* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  if constexpr (sizeof(Unit) == 1) {
    return load(p);
  } else if constexpr (sizeof(Unit) == 2) {
    return _mm_packs_epi16(load(p), load(p + 8));
  } else {
    return _mm_packs_epi16(_mm_packs_epi32(load(p), load(p + 4)), _mm_packs_epi32(load(p + 8), load(p + 12)));
  }
}
#endif
}  // namespace detail

// The lines of a text with each line's first colon.  The text is classified
// 64 units at a time into bit masks of line feeds and colons, which keeps
// the loop free of a data-dependent branch per short line.
template <class Unit>
class BasicLines {
 public:
  using View = UnitView<Unit>;
  static constexpr std::size_t npos = View::npos;

  explicit BasicLines(View text) noexcept : base_(text.data()), size_(text.size()) {}

  // The next line; `colon` is the offset of its first ':' or npos.
  bool next(View& line, std::size_t& colon) noexcept {
    const std::size_t start = pos_;
    if (start >= size_) return false;
    std::size_t block = start & ~std::size_t{63};
    if (block != block_) load(block);
    const std::uint64_t from = ~std::uint64_t{0} << (start - block);
    std::uint64_t nl = newlines_ & from;
    std::uint64_t colons = colons_ & from;
    std::size_t found_colon = npos;
    std::size_t end = size_;
    for (;;) {
      if (nl != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctzll(nl));
        colons &= (std::uint64_t{2} << at) - 1;  // colons at or before the line feed
        if (found_colon == npos && colons != 0) found_colon = block + static_cast<std::size_t>(__builtin_ctzll(colons));
        end = block + at;
        break;
      }
      if (found_colon == npos && colons != 0) found_colon = block + static_cast<std::size_t>(__builtin_ctzll(colons));
      block += 64;
      if (block >= size_) break;
      load(block);
      nl = newlines_;
      colons = colons_;
    }
    std::size_t stop = end;
    if (end < size_) {
      pos_ = end + 1;
      if (stop != start && base_[stop - 1] == Unit{'\r'}) --stop;
    } else {
      pos_ = size_;
    }
    line = View(base_ + start, stop - start);
    colon = found_colon != npos && found_colon < stop ? found_colon - start : npos;
    return true;
  }

 private:
  void load(std::size_t block) noexcept {
    block_ = block;
    const Unit* p = base_ + block;
    if (size_ - block < 64) {
      // The last block: classify a zero-padded copy.
      alignas(16) Unit tail[64] = {};
      std::memcpy(tail, p, (size_ - block) * sizeof(Unit));
      classify(tail);
    } else {
      classify(p);
    }
  }

  void classify(const Unit* p) noexcept {
#if defined(__SSE2__)
    std::uint64_t nl = 0, co = 0;
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i colon = _mm_set1_epi8(':');
    for (int i = 0; i < 4; ++i) {
      const __m128i v = detail::narrow16(p + 16 * i);
      nl |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << (16 * i);
      co |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, colon)))} << (16 * i);
    }
#else
    std::uint64_t nl = 0, co = 0;
    for (unsigned i = 0; i < 64; ++i) {
      nl |= std::uint64_t{p[i] == Unit{'\n'}} << i;
      co |= std::uint64_t{p[i] == Unit{':'}} << i;
    }
#endif
    newlines_ = nl;
    colons_ = co;
  }

  const Unit* base_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::size_t block_ = ~std::size_t{0};  // offset of the classified block
  std::uint64_t newlines_ = 0;
  std::uint64_t colons_ = 0;
};

using Lines = BasicLines<char>;

namespace detail {
// Per byte: 1 for ASCII whitespace, kLook for the lead bytes of multi-byte
// whitespace (the following bytes decide), else 0.
inline constexpr unsigned char kLook = 0xff;
struct SpaceTable {
  unsigned char len[256] = {};
  constexpr SpaceTable() {
    for (int c = 0x09; c <= 0x0d; ++c) len[c] = 1;
    len[0x20] = 1;
    len[0xc2] = len[0xe1] = len[0xe2] = len[0xe3] = kLook;
  }
};
inline constexpr SpaceTable kSpace{};

// Length of the multi-byte whitespace at p[0] (a kLook byte), with `left`
// bytes readable, or 0.
inline std::size_t multibyte_space(const unsigned char* p, std::size_t left) noexcept {
  const unsigned char c = p[0];
  if (c == 0xc2) return left >= 2 && (p[1] == 0x85 || p[1] == 0xa0) ? 2 : 0;  // U+0085, U+00A0
  if (left < 3) return 0;
  const unsigned char c1 = p[1], c2 = p[2];
  if (c == 0xe1) return c1 == 0x9a && c2 == 0x80 ? 3 : 0;  // U+1680
  if (c == 0xe3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;  // U+3000
  if (c1 == 0x80)  // U+2000..U+200A, U+2028, U+2029, U+202F
    return (c2 >= 0x80 && c2 <= 0x8a) || c2 == 0xa8 || c2 == 0xa9 || c2 == 0xaf ? 3 : 0;
  return c1 == 0x81 && c2 == 0x9f ? 3 : 0;  // U+205F
}

// Whether the code point c has the White_Space property.
constexpr bool is_space(std::uint32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0d);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
         c == 0x202f || c == 0x205f || c == 0x3000;
}

// Length of the whitespace character starting at s[i], or 0.
template <class Unit>
inline std::size_t space_at(UnitView<Unit> s, std::size_t i) noexcept {
  if constexpr (kUtf8<Unit>) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const unsigned char t = kSpace.len[*p];
    if (__builtin_expect(t != kLook, 1)) return t;
    return multibyte_space(p, s.size() - i);
  } else {
    return is_space(s[i]) ? 1 : 0;
  }
}

// Length of the whitespace character ending at s[n - 1], or 0.
template <class Unit>
inline std::size_t space_before(UnitView<Unit> s, std::size_t n) noexcept {
  if constexpr (kUtf8<Unit>) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char c = p[n - 1];
    if (__builtin_expect(c < 0x80, 1)) return kSpace.len[c];
    // Every multi-byte whitespace character ends in 0x80..0xAF.
    if (c > 0xaf) return 0;
    if (n >= 2 && p[n - 2] == 0xc2) return c == 0x85 || c == 0xa0 ? 2 : 0;
    if (n >= 3 && p[n - 3] >= 0xe1 && p[n - 3] <= 0xe3) return multibyte_space(p + n - 3, 3) == 3 ? 3 : 0;
    return 0;
  } else {
    return is_space(s[n - 1]) ? 1 : 0;
  }
}

// Whether a whitespace character other than ASCII may start at unit c.
template <class Unit>
inline bool may_start_wide_space(Unit c) noexcept {
  if constexpr (kUtf8<Unit>)
    return kSpace.len[static_cast<unsigned char>(c)] == kLook;
  else
    return c >= 0x85;
}

// Bit i set when p[i] is ASCII whitespace, for the 16 units at p.
template <class Unit>
inline unsigned ascii_spaces16(const Unit* p) noexcept {
#if defined(__SSE2__)
  const __m128i v = narrow16(p);
  const __m128i space = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
  const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('\t'));  // tab..CR become 0..4
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(4)), d);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(space, control)));
#else
  unsigned m = 0;
  for (unsigned i = 0; i < 16; ++i) {
    const auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Unit>>(p[i]));
    m |= unsigned{c < 0x80 && kSpace.len[c] == 1} << i;
  }
  return m;
#endif
}
}  // namespace detail

// The length of the whitespace at the start of `s`.  When 16 units are
// readable before `readable_end`, a run of ASCII whitespace is measured in
// one step instead of a loop whose exit mispredicts at every change of
// indentation.
template <class Unit>
inline std::size_t leading_space(UnitView<Unit> s, const Unit* readable_end) noexcept {
  std::size_t i = 0;
  if (readable_end - s.data() >= 16) {
    i = static_cast<std::size_t>(__builtin_ctz(~detail::ascii_spaces16(s.data())));  // at most 16
    if (i >= s.size()) return s.size();
    // s[i] is not ASCII whitespace; unless it may start another kind, the run ends here.
    if (i < 16 && !detail::may_start_wide_space(s[i])) return i;
  }
  while (i < s.size()) {
    std::size_t w = detail::space_at(s, i);
    if (w == 0) break;
    i += w;
  }
  return i;
}

template <class Unit>
inline UnitView<Unit> trim_start(UnitView<Unit> s) noexcept {
  const std::size_t i = leading_space(s, s.data() + s.size());
  return {s.data() + i, s.size() - i};
}

template <class Unit>
inline UnitView<Unit> trim_end(UnitView<Unit> s) noexcept {
  std::size_t n = s.size();
  while (n != 0) {
    std::size_t w = detail::space_before(s, n);
    if (w == 0) break;
    n -= w;
  }
  return {s.data(), n};
}

template <class Unit>
inline UnitView<Unit> trim(UnitView<Unit> s) noexcept {
  return trim_end(trim_start(s));
}

// For UTF-8 text held in anything that converts to a std::string_view.
inline std::string_view trim_start(std::string_view s) noexcept { return trim_start<char>(s); }
inline std::string_view trim_end(std::string_view s) noexcept { return trim_end<char>(s); }
inline std::string_view trim(std::string_view s) noexcept { return trim<char>(s); }

template <class Unit>
struct BasicField {
  UnitView<Unit> key;
  UnitView<Unit> value;
};
using Field = BasicField<char>;

// The field of a line whose indent ends at `indent` and whose first colon is
// at `colon`: the key before the colon and the value after it, trimmed.  No
// colon, or an empty key, gives no field.  `readable_end` (the end of the
// whole text) lets the value's leading whitespace be measured past the line.
template <class Unit>
inline std::optional<BasicField<Unit>> field_at(UnitView<Unit> line, std::size_t indent,
                                                std::size_t colon, const Unit* readable_end = nullptr) noexcept {
  using View = UnitView<Unit>;
  if (colon == View::npos) return std::nullopt;
  const View key = trim_end(View{line.data() + indent, colon - indent});
  if (key.empty()) return std::nullopt;
  View value{line.data() + colon + 1, line.size() - colon - 1};
  value.remove_prefix(leading_space(value, readable_end != nullptr ? readable_end : value.data() + value.size()));
  return BasicField<Unit>{key, trim_end(value)};
}

// Whether a line of `size` units, `indent` of them leading whitespace,
// closes the current record: under .marl a line that is not blank and not
// indented (after its own field went in), under .marlc a blank line.  The
// scanners and the cut points (stream.hpp) decide by this alone.
template <bool Marl>
constexpr bool closes_record(std::size_t indent, std::size_t size) noexcept {
  return Marl ? indent == 0 && size != 0 : indent == size;
}

// The same for a whole line of UTF-8 (a carriage return at its end is
// whitespace, so it changes nothing).
inline bool closes_record(bool marl, std::string_view line) noexcept {
  const std::size_t indent = leading_space(line, line.data() + line.size());
  return marl ? closes_record<true>(indent, line.size()) : closes_record<false>(indent, line.size());
}

// A Sink receives what a reader finds, as views of the text's own units:
//   sink.field(key, value)  a field for the current record;
//   sink.close()            the current record ends here if it holds a field;
//   sink.skip(line)         optional: a line that is not blank but gives no
//                           field, from its first character that is not
//                           whitespace.

namespace detail {
template <bool Marl, class Unit, class Sink>
void scan_lines(UnitView<Unit> text, Sink& sink) {
  const Unit* const end = text.data() + text.size();
  BasicLines<Unit> lines(text);
  UnitView<Unit> line;
  std::size_t colon;
  while (lines.next(line, colon)) {
    const std::size_t indent = leading_space(line, end);
    if (indent == line.size()) {  // blank
      if (closes_record<Marl>(line.size(), line.size())) sink.close();
      continue;
    }
    if (auto f = field_at(line, indent, colon, end)) {
      sink.field(f->key, f->value);
    } else if constexpr (requires { sink.skip(line); }) {
      sink.skip(line.substr(indent));
    }
    if (closes_record<Marl>(indent, line.size())) sink.close();
  }
  sink.close();  // the end of the text closes the record too
}
}  // namespace detail

// Scans `text` (a UnitView, or UTF-8 in anything that converts to a
// std::string_view) under the .marl rules when `marl`, else the .marlc ones.
template <class Text, class Sink>
void scan(bool marl, const Text& text, Sink& sink) {
  const UnitView<typename Text::value_type> units(text);
  marl ? detail::scan_lines<true>(units, sink) : detail::scan_lines<false>(units, sink);
}

template <class Text, class Sink>
void scan_marl(const Text& text, Sink& sink) {
  scan(true, text, sink);
}

template <class Text, class Sink>
void scan_compact(const Text& text, Sink& sink) {
  scan(false, text, sink);
}

}  // namespace marlet_core::text

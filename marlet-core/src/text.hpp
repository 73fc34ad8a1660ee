// The line and whitespace rules shared by every reader of the text formats.
//
// The .marl reader, the .marlc reader and the Python module's direct parser
// all go through scan_marl / scan_compact below, so they cut lines, trim and
// split fields identically by construction.
//
// Lines: the text is cut after every line feed; a line loses that line feed
// and one carriage return directly before it.  Nothing else ends a line.
// Whitespace: the 25 code points with the Unicode White_Space property.
//
// Everything here is written once over the text's code unit `Unit`:
//   char                          valid UTF-8, and every cut made here falls
//                                 on a character boundary;
//   uint8_t, uint16_t, uint32_t   one code point per unit (the units of a
//                                 Python str, Latin-1, BMP or any), so
//                                 whitespace is a single unit.
// Line feed, carriage return and ':' are single units in every form.
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

namespace detail {
// Whether the text's units are UTF-8 bytes (else one code point each).
template <class Unit>
inline constexpr bool kUtf8 = std::is_same_v<Unit, char>;

template <class Unit>
inline constexpr bool kKnownUnit = kUtf8<Unit> || std::is_same_v<Unit, std::uint8_t> ||
                                   std::is_same_v<Unit, std::uint16_t> || std::is_same_v<Unit, std::uint32_t>;

#if defined(__SSE2__)
// The 16 units at p as 16 bytes: an ASCII unit keeps its value, and a
// wider one becomes a byte of 0x7F or more (saturation), which is never a
// line feed, a colon or ASCII whitespace.  UTF-8 bytes are taken as they are.
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

// Iterates over the lines of a text, finding each line's first colon in
// the same pass.
//
// The text is classified 64 units at a time into bit masks of line feeds
// and colons; lines and colons are then found by counting trailing zeros.
// Compared with a search per line this keeps the hot loop free of
// data-dependent branches for every short line.
template <class Unit>
class BasicLines {
  static_assert(detail::kKnownUnit<Unit>);

 public:
  using View = UnitView<Unit>;
  static constexpr std::size_t npos = View::npos;

  explicit BasicLines(View text) noexcept : base_(text.data()), size_(text.size()) {}

  // The next line without its line feed (and a carriage return directly
  // before it); `colon` is the offset of the line's first ':' or npos.
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
      // The last, partial block: classify a zero-padded copy.
      alignas(16) Unit tail[64] = {};
      std::memcpy(tail, p, (size_ - block) * sizeof(Unit));
      classify(tail);
    } else {
      classify(p);
    }
  }

  void classify(const Unit* p) noexcept {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i colon = _mm_set1_epi8(':');
    std::uint64_t nl = 0, co = 0;
    for (int i = 0; i < 4; ++i) {
      const __m128i v = detail::narrow16(p + 16 * i);
      nl |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))} << (16 * i);
      co |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, colon)))} << (16 * i);
    }
    newlines_ = nl;
    colons_ = co;
#else
    std::uint64_t nl = 0, co = 0;
    for (unsigned i = 0; i < 64; ++i) {
      nl |= std::uint64_t{p[i] == Unit{'\n'}} << i;
      co |= std::uint64_t{p[i] == Unit{':'}} << i;
    }
    newlines_ = nl;
    colons_ = co;
#endif
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
// Per leading byte: the length of the whitespace character it starts when
// the byte alone decides (1 for ASCII whitespace, 0 for any byte that
// starts no whitespace), or kLook for the lead bytes of the multi-byte
// whitespace characters, which need the following bytes.
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

// Length of the multi-byte whitespace character starting at p[0] (one of
// the kLook lead bytes) with `left` bytes available, or 0.
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

// Bit i is set when p[i] is ASCII whitespace (tab to carriage return, or
// space), for the 16 units at p.
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

// The length of the whitespace at the start of `s`.  When the 16 units from
// s.data() are readable (`readable_end` is the end of the whole text), a
// run of ASCII whitespace is measured in one step instead of a loop whose
// exit the branch predictor misses at every change of indentation.
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

// The field of a line whose leading whitespace ends at offset `indent` and
// whose first colon is at offset `colon` (never inside the indent, since a
// colon is not whitespace): the key before the colon and the value after
// it, each trimmed.  No colon, or an empty key, gives no field.
// `readable_end`, the end of the whole text, lets the value's leading
// whitespace be measured with loads that run past the line.
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

// What closes the current record, for a line whose leading whitespace is
// `indent` of its `size` units: under the .marl rules a line that is not
// blank and does not begin with whitespace (after its own field went in),
// under the .marlc rules a blank line.  The scanners below and the cut
// points of the streaming readers decide by this alone.
template <bool Marl>
constexpr bool closes_record(std::size_t indent, std::size_t size) noexcept {
  return Marl ? indent == 0 && size != 0 : indent == size;
}

// The same for a whole line of UTF-8 (a carriage return at its end changes
// nothing, being whitespace).
inline bool closes_record(bool marl, std::string_view line) noexcept {
  const std::size_t indent = leading_space(line, line.data() + line.size());
  return marl ? closes_record<true>(indent, line.size()) : closes_record<false>(indent, line.size());
}

// A Sink receives what a reader finds, as views of the text's own units:
//   sink.field(key, value)  a field for the current record;
//   sink.close()            the current record ends here if it holds a field;
//   sink.skip(line)         optional: a line that is not blank but gives no
//                           field (no ':', or an empty key), from its first
//                           character that is not whitespace.  A sink
//                           without it costs nothing for such lines.

namespace detail {
// The lines of `text` under the .marl or .marlc rules, without the close at
// the end.
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
}

// The complete lines of `text`: up to and including its last line feed.
inline std::string_view complete_lines(std::string_view text) noexcept {
  const void* last = text.empty() ? nullptr : ::memrchr(text.data(), '\n', text.size());
  if (last == nullptr) return {};
  return text.substr(0, static_cast<std::size_t>(static_cast<const char*>(last) - text.data()) + 1);
}
}  // namespace detail

// The .marl rules: blank lines are skipped whole; every non-blank line that
// does not begin with whitespace closes the current record after its own
// field (if any) went in; the end of the text closes it too.
template <class Unit, class Sink>
void scan_marl(UnitView<Unit> text, Sink& sink) {
  detail::scan_lines<true>(text, sink);
  sink.close();
}

// The .marlc rules: indentation means nothing; a blank line closes the
// current record, and so does the end of the text.
template <class Unit, class Sink>
void scan_compact(UnitView<Unit> text, Sink& sink) {
  detail::scan_lines<false>(text, sink);
  sink.close();
}

// For UTF-8 text held in anything that converts to a std::string_view.
template <class Sink>
void scan_marl(std::string_view text, Sink& sink) {
  scan_marl<char, Sink>(text, sink);
}

template <class Sink>
void scan_compact(std::string_view text, Sink& sink) {
  scan_compact<char, Sink>(text, sink);
}

// For a UTF-8 text that arrives in pieces: these scan only the complete
// lines of `text` (those ended by a line feed), do not close the record at
// the end, and return how many bytes they consumed.  The caller passes the
// rest again in front of the next piece, and after the last piece calls
// scan_marl / scan_compact on what is left, which closes the record.  The
// sink sees exactly what one scan of the whole text would give it.
template <class Sink>
std::size_t scan_marl_complete_lines(std::string_view text, Sink& sink) {
  const std::string_view lines = detail::complete_lines(text);
  detail::scan_lines<true>(lines, sink);
  return lines.size();
}

template <class Sink>
std::size_t scan_compact_complete_lines(std::string_view text, Sink& sink) {
  const std::string_view lines = detail::complete_lines(text);
  detail::scan_lines<false>(lines, sink);
  return lines.size();
}

}  // namespace marlet_core::text

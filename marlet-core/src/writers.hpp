// Each format's bytes, stated once; every writer calls these (write_json,
// write_marl_compact, encode_binary, the one-pass exports, the converter
// and the Python package's writers), as well as the checks of what a text
// form cannot carry.
//
// A writer appends one record to an output with Buffer's interface
// (prepare/commit, append, push_back, and room/room_after/end_at for a
// write pointer of its own); the Python package passes its own output type,
// whose failures raise MemoryError.  A record has size() and either
// for_each(f(key, value)) or is a range of text::Field.  Per record:
//   .marlc   "key:value\n" per field, then one more "\n";
//   .marl    "  key: value\n" per field but the last, which is unindented,
//            so that it closes the record; an empty value is "key:";
//   JSON     {"key":"value",...} without whitespace, escaping '"', '\\' and
//            every byte below 0x20, so it is safe as a C string;
//   binary   the field count, then per field the key's length, the key, the
//            value's length and the value (binary_format.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "binary_format.hpp"
#include "memory.hpp"
#include "text.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marlet_core::writers {

using text::Field;

// Calls f(key, value) for each field of a record, in order.
template <class Fields, class F>
void for_each_field(const Fields& fields, F&& f) {
  if constexpr (requires { fields.for_each(f); }) {
    fields.for_each(f);
  } else {
    for (const Field& field : fields) f(field.key, field.value);
  }
}

// Room a writer keeps beyond what it must still write, so that copying
// loops can store whole vectors past the string's end.
inline constexpr std::size_t kSlack = 64;

// Per byte: 0 when it is copied as is, else the character after the
// backslash ('u' for the \u00XX form).
struct EscapeTable {
  char code[256] = {};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) code[c] = 'u';
    // Each pair: the byte, then the character after its backslash.
    for (const char* pair : {"\bb", "\tt", "\nn", "\ff", "\rr", "\"\"", "\\\\"})
      code[static_cast<unsigned char>(pair[0])] = pair[1];
  }
};
inline constexpr EscapeTable kEscape{};

// The test of which bytes the JSON form escapes, once per vector width:
// copy_mask(p, d) copies the kWidth bytes at p to d and returns the mask of
// those that need an escape.  PortableScan is SSE2, which every x86-64 CPU
// has, or plain bytes elsewhere; Avx2Scan runs on CPUs with AVX2 (cpu.hpp).
struct PortableScan {
  static constexpr std::size_t kWidth = 16;
  static std::uint32_t copy_mask(const unsigned char* p, char* d) noexcept {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
    const __m128i ctrl = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);  // v <= 0x1f, unsigned
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

#if defined(__x86_64__)
struct Avx2Scan {
  static constexpr std::size_t kWidth = 32;
  __attribute__((target("avx2"))) static std::uint32_t copy_mask(const unsigned char* p, char* d) noexcept {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), v);
    const __m256i ctrl = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1f)), v);
    const __m256i quote = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'));
    const __m256i backslash = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(ctrl, _mm256_or_si256(quote, backslash))));
  }
};
#endif

// The first byte in [p, end) that the JSON form escapes, or end.
template <class Scan = PortableScan>
inline const unsigned char* find_escaped(const unsigned char* p, const unsigned char* end) noexcept {
  char unused[Scan::kWidth];  // the copy is not wanted here
  for (; static_cast<std::size_t>(end - p) >= Scan::kWidth; p += Scan::kWidth)
    if (const std::uint32_t m = Scan::copy_mask(p, unused)) return p + __builtin_ctz(m);
  while (p != end && kEscape.code[*p] == 0) ++p;
  return p;
}

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

// Writes `s` escaped at `d` and returns the end of what it wrote.  On entry
// out.room(d) >= s.size() + after + kSlack (`after`: the bytes the caller
// writes next), and that stays true: before an escape, which widens one
// byte to up to six, the block grows if it must, so memory follows what is
// written rather than a worst case.  Whole vectors are loaded only while
// they end by `readable`, the end of the text `s` lies in (null: the end of
// `s`); a last piece nearer than that is copied into a zeroed vector first.
template <class Scan, class Out>
inline char* escape_to(std::string_view s, const char* readable, char* d, Out& out, std::size_t after) {
  constexpr std::size_t kWidth = Scan::kWidth;
  if (readable == nullptr) readable = s.data() + s.size();
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

// The record's JSON object, after a comma when `comma`; the caller writes
// the array's brackets.  `Scan` is the vector code of the escape loop.
template <class Scan = PortableScan, class Fields, class Out>
void write_json_record(const Fields& fields, Out& out, bool comma = false, const char* readable = nullptr) {
  char* d = out.prepare(3 + kSlack);
  if (comma) *d++ = ',';
  *d++ = '{';
  bool first = true;
  for_each_field(fields, [&](std::string_view key, std::string_view value) {
    // `,"key":"value"`: 6 bytes besides the two strings.
    const std::size_t need = key.size() + value.size() + 6 + kSlack;
    if (out.room(d) < need) d = out.room_after(d, need);
    if (!first) *d++ = ',';
    first = false;
    *d++ = '"';
    d = escape_to<Scan>(key, readable, d, out, value.size() + 4);
    d[0] = '"';
    d[1] = ':';
    d[2] = '"';
    d = escape_to<Scan>(value, readable, d + 3, out, 1);
    *d++ = '"';
  });
  *d++ = '}';
  out.end_at(d);
}

// .marlc: fields as key:value lines, then the blank line that ends the
// record.  Nothing is escaped or checked.
template <class Fields, class Out>
void write_marlc_record(const Fields& fields, Out& out) {
  for_each_field(fields, [&](std::string_view key, std::string_view value) {
    const std::size_t n = key.size() + value.size() + 2;
    char* d = out.prepare(n);
    copy_bytes(d, key.data(), key.size());
    d += key.size();
    *d++ = ':';
    copy_bytes(d, value.data(), value.size());
    d[value.size()] = '\n';
    out.commit(n);
  });
  out.push_back('\n');
}

// .marl: every field but the last on an indented line, the last on an
// unindented one.  An empty record writes nothing at all.
template <class Fields, class Out>
void write_marl_record(const Fields& fields, Out& out) {
  std::size_t left = fields.size();
  for_each_field(fields, [&](std::string_view key, std::string_view value) {
    const bool last = --left == 0;
    const std::size_t indent = last ? 0 : 2;
    const std::size_t gap = value.empty() ? 0 : 1;
    const std::size_t n = indent + key.size() + 1 + gap + value.size() + 1;
    char* d = out.prepare(n);
    if (!last) {
      *d++ = ' ';
      *d++ = ' ';
    }
    copy_bytes(d, key.data(), key.size());
    d += key.size();
    *d++ = ':';
    if (gap != 0) *d++ = ' ';
    copy_bytes(d, value.data(), value.size());
    d[value.size()] = '\n';
    out.commit(n);
  });
}

// Copies `s` to d, which has kSlack bytes of room after it.  Where the input
// is readable far enough, whole 32-byte pieces are copied, the last running
// past the string (what comes next overwrites it): one copy instead of a
// branch per size class for the short strings of most records.
inline char* put_bytes(char* d, std::string_view s, const char* readable) noexcept {
  constexpr std::size_t kPiece = 32;
  static_assert(kPiece <= kSlack);
  const std::size_t n = s.size();
  if (readable != nullptr && static_cast<std::size_t>(readable - s.data()) >= n + kPiece) {
    for (std::size_t i = 0; i < n; i += kPiece) std::memcpy(d + i, s.data() + i, kPiece);
  } else {
    copy_bytes(d, s.data(), n);
  }
  return d + n;
}

// The record's block of the binary encoding (the record count at the head
// is the caller's).  Returns false, having written nothing, when a count or
// length does not fit in 32 bits.
template <class Fields, class Out>
[[nodiscard]] bool write_binary_record(const Fields& fields, Out& out, const char* readable = nullptr) {
  if (!binary::fits_u32(fields.size())) return false;
  const std::size_t start = out.size();
  bool fits = true;
  char* d = binary::put_u32(out.prepare(4 + kSlack), fields.size());
  for_each_field(fields, [&](std::string_view key, std::string_view value) {
    if (!fits) return;
    if (!binary::fits_u32(key.size()) || !binary::fits_u32(value.size())) {
      fits = false;
      return;
    }
    const std::size_t need = 8 + key.size() + value.size() + kSlack;
    if (out.room(d) < need) d = out.room_after(d, need);
    d = put_bytes(binary::put_u32(d, key.size()), key, readable);
    d = put_bytes(binary::put_u32(d, value.size()), value, readable);
  });
  out.end_at(fits ? d : out.data() + start);
  return fits;
}

// Why a record would not read back as written from a text form.
struct Loss {
  static constexpr std::size_t kRecord = static_cast<std::size_t>(-1);
  std::size_t field;   // index of the offending field, or kRecord
  const char* reason;  // e.g. "a key cannot hold ':'"
};

// What .marlc cannot carry: an empty record, an empty key, a key with ':',
// a line feed in a key or a value, whitespace at either end of a key or a
// value, and in the record that opens a document a first key starting with
// U+FEFF, which the file readers drop as a byte-order mark.  The first
// fault, in field order, is reported.
std::optional<Loss> marlc_loss(std::span<const Field> fields, bool opens_document) noexcept;

// What .marl cannot carry: the same, since both readers share their line
// and field rules, except that a document opens with an indented line
// unless its first record has a single field, and only then can its first
// key be taken for a byte-order mark.
inline std::optional<Loss> marl_loss(std::span<const Field> fields, bool opens_document) noexcept {
  return marlc_loss(fields, opens_document && fields.size() == 1);
}

}  // namespace marlet_core::writers

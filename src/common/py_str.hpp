// Making Python str objects from valid text: UTF-8 bytes, or the code units
// of a str.  Most keys and values are ASCII, for which CPython's decoder
// (which first measures and classifies the text) does far more than needed:
// an ASCII str is a header plus the bytes, so we allocate it and copy them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "py_errors.hpp"
#include "unit_view.hpp"

namespace marlet_py {

inline bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; n != 0; ++p, --n) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

// A new ASCII str holding exactly `s` (which must be ASCII).
template <Policy P>
PyRef ascii_str(std::string_view s) {
  // The empty str and the one-character strings are shared singletons in
  // CPython.
  if (s.empty()) return created<P>(PyUnicode_New(0, 127));
  if (s.size() == 1) return created<P>(PyUnicode_FromStringAndSize(s.data(), 1));
  PyRef str = created<P>(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
  std::memcpy(PyUnicode_1BYTE_DATA(str.get()), s.data(), s.size());
  return str;
}

namespace detail {
// Decodes valid UTF-8 into code units of type Unit (the str's own kind).
template <class Unit>
void decode_utf8(const unsigned char* p, const unsigned char* end, Unit* out) noexcept {
  while (p != end) {
    const unsigned c = *p;
    if (c < 0x80) {
      *out++ = static_cast<Unit>(c);
      p += 1;
    } else if (c < 0xe0) {
      *out++ = static_cast<Unit>((c & 0x1fu) << 6 | (p[1] & 0x3fu));
      p += 2;
    } else if (c < 0xf0) {
      *out++ = static_cast<Unit>((c & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu));
      p += 3;
    } else {
      *out++ = static_cast<Unit>((c & 0x07u) << 18 | (p[1] & 0x3fu) << 12 | (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu));
      p += 4;
    }
  }
}
}  // namespace detail

// A new str from valid UTF-8 that is not all ASCII.
//
// CPython's decoder must validate and find the widest character as it
// goes; our text is known to be valid, so one counting pass gives the
// length and the str's kind (its widest lead byte decides: C2-C3 fit in
// one byte, C4-EF in two, F0-F4 need four), and a second pass decodes
// straight into the new str.
template <Policy P>
PyRef non_ascii_str(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  Py_ssize_t length = 0;
  unsigned widest = 0;
  for (const unsigned char* q = p; q != end; ++q) {
    length += (*q & 0xc0) != 0x80;
    widest = *q > widest ? *q : widest;
  }
  const Py_UCS4 max_char = widest >= 0xf0 ? 0x10ffff : widest >= 0xc4 ? 0xffff : 0xff;
  PyRef str = created<P>(PyUnicode_New(length, max_char));
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND: detail::decode_utf8(p, end, PyUnicode_1BYTE_DATA(str.get())); break;
    case PyUnicode_2BYTE_KIND: detail::decode_utf8(p, end, PyUnicode_2BYTE_DATA(str.get())); break;
    default: detail::decode_utf8(p, end, PyUnicode_4BYTE_DATA(str.get())); break;
  }
  return str;
}

// A new str from valid UTF-8.
template <Policy P>
PyRef make_str(std::string_view s) {
  if (is_ascii(s)) return ascii_str<P>(s);
  return non_ascii_str<P>(s);
}

// A new str of the code points in `units`, the code units of a str (no
// lone surrogates).  The str takes the narrowest kind that holds them; the
// OR of all units tells which, since each kind's bound is a power of two.
// Then the units are copied (and narrowed) straight in, as for ASCII above.
template <Policy P, class Unit>
PyRef make_str(marlet_core::UnitView<Unit> units) {
  constexpr int kKind = sizeof(Unit) == 1 ? PyUnicode_1BYTE_KIND : sizeof(Unit) == 2 ? PyUnicode_2BYTE_KIND
                                                                                      : PyUnicode_4BYTE_KIND;
  const auto n = static_cast<Py_ssize_t>(units.size());
  // The empty str and the one-character strings below U+0100 are shared
  // singletons in CPython.
  if (n <= 1) return created<P>(PyUnicode_FromKindAndData(kKind, units.data(), n));
  std::uint32_t bits = 0;
  for (const Unit u : units) bits |= u;
  const Py_UCS4 max_char = bits < 0x80 ? 0x7f : bits < 0x100 ? 0xff : bits < 0x10000 ? 0xffff : 0x10ffff;
  PyRef str = created<P>(PyUnicode_New(n, max_char));
  const auto copy = [&](auto* out) {
    for (std::size_t i = 0; i < units.size(); ++i) out[i] = static_cast<std::remove_pointer_t<decltype(out)>>(units[i]);
  };
  switch (PyUnicode_KIND(str.get())) {
    case PyUnicode_1BYTE_KIND: copy(PyUnicode_1BYTE_DATA(str.get())); break;
    case PyUnicode_2BYTE_KIND: copy(PyUnicode_2BYTE_DATA(str.get())); break;
    default: copy(PyUnicode_4BYTE_DATA(str.get())); break;
  }
  return str;
}

}  // namespace marlet_py

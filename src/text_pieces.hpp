// Reading the text of a str argument as UTF-8, piece by piece.
//
// An ASCII str holds its UTF-8 form already and is read in place, and so
// is a str whose UTF-8 form CPython made earlier.  Any other str would need a UTF-8 copy of the whole text, which CPython then
// keeps with the str for its lifetime: for a large document that is a
// second copy of the input on top of the result.  So a long non-ASCII text
// is cut into pieces of about kPieceLength characters, each encoded into
// one reused buffer and read in turn.  A cut is made only where the reader has just
// closed a record, so every piece starts with an empty current record and
// the pieces give exactly the records of the whole text.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "native.hpp"

namespace marlet_native {

enum class RecordEnd {
  unindented_line,  // .marl: a non-blank line that starts in the first column
  blank_line,       // .marlc: a line of white space only
};

namespace detail {

inline constexpr Py_ssize_t kPieceLength = Py_ssize_t{1} << 17;

// The White_Space code points.
inline bool is_space(Py_UCS4 c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0d);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 ||
         c == 0x202f || c == 0x205f || c == 0x3000;
}

// The end of the first line at or after `from` after which a record has
// just closed: the position after its line feed, or n.
inline Py_ssize_t next_cut(PyObject* str, Py_ssize_t from, Py_ssize_t n, RecordEnd end) {
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  Py_ssize_t pos = from;
  for (;;) {
    const Py_ssize_t feed = PyUnicode_FindChar(str, '\n', pos, n, 1);
    if (feed < 0) return n;  // -2 cannot happen for a valid range
    const Py_ssize_t line = feed + 1;
    const Py_ssize_t line_end = line < n ? PyUnicode_FindChar(str, '\n', line, n, 1) : -1;
    if (line_end < 0) return n;  // the rest is one line: no cut needed
    bool closes;
    if (end == RecordEnd::unindented_line) {
      closes = !is_space(PyUnicode_READ(kind, data, line));
    } else {
      closes = true;
      for (Py_ssize_t i = line; i < line_end && closes; ++i) closes = is_space(PyUnicode_READ(kind, data, i));
    }
    if (closes) return line_end + 1;
    pos = line;
  }
}

// Replaces the content of `out` with the UTF-8 form of the code points
// [p, end); false if they hold a lone surrogate, which has none.
template <class Unit>
bool encode_utf8(const Unit* p, const Unit* end, std::vector<char>& out) {
  out.resize(static_cast<std::size_t>(end - p) * (sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4));
  char* o = out.data();
  while (p != end) {
    if constexpr (sizeof(Unit) == 1) {
      // Runs of ASCII: eight characters at a time here, four below.
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
        std::memcpy(o, p, 8);
        p += 8;
        o += 8;
      }
      if (p == end) break;
    } else if constexpr (sizeof(Unit) == 2) {
      while (end - p >= 4) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if ((word & 0xff80ff80ff80ff80ULL) != 0) break;
        for (int i = 0; i < 4; ++i) o[i] = static_cast<char>(p[i]);
        p += 4;
        o += 4;
      }
      if (p == end) break;
    }
    const std::uint32_t c = *p++;
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xc0 | c >> 6);
      *o++ = static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      if (c >= 0xd800 && c <= 0xdfff) return false;
      *o++ = static_cast<char>(0xe0 | c >> 12);
      *o++ = static_cast<char>(0x80 | (c >> 6 & 0x3f));
      *o++ = static_cast<char>(0x80 | (c & 0x3f));
    } else {
      *o++ = static_cast<char>(0xf0 | c >> 18);
      *o++ = static_cast<char>(0x80 | (c >> 12 & 0x3f));
      *o++ = static_cast<char>(0x80 | (c >> 6 & 0x3f));
      *o++ = static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

// Whether CPython already keeps the UTF-8 form of this str: then it is read
// in place like an ASCII text.
inline bool has_utf8_form(PyObject* str) noexcept {
  return PyUnicode_IS_COMPACT(str) && reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8 != nullptr;
}

inline bool encode_piece(PyObject* str, Py_ssize_t start, Py_ssize_t stop, std::vector<char>& out) {
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: return encode_utf8(PyUnicode_1BYTE_DATA(str) + start, PyUnicode_1BYTE_DATA(str) + stop, out);
    case PyUnicode_2BYTE_KIND: return encode_utf8(PyUnicode_2BYTE_DATA(str) + start, PyUnicode_2BYTE_DATA(str) + stop, out);
    default: return encode_utf8(PyUnicode_4BYTE_DATA(str) + start, PyUnicode_4BYTE_DATA(str) + stop, out);
  }
}

}  // namespace detail

// Calls read(utf8) for consecutive pieces of the text of `data` (a str
// argument of parameter "data"), cut after lines that end a record.
// Argument errors and the UnicodeEncodeError of lone surrogates are those
// of the whole text.
template <class Read>
void for_each_text_piece(PyObject* data, RecordEnd end, Read&& read) {
  if (!PyUnicode_Check(data)) {
    read(text_argument(data, "data"));
    return;
  }
#if PY_VERSION_HEX < 0x030C0000
  // A str made through the old wchar_t functions gets its canonical form
  // only on demand; kind and data below need it.
  if (PyUnicode_READY(data) < 0) throw_fetched();
#endif
  if (PyUnicode_IS_ASCII(data) || PyUnicode_GET_LENGTH(data) <= detail::kPieceLength ||
      detail::has_utf8_form(data)) {
    read(text_argument(data, "data"));
    return;
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
  std::vector<char> utf8;  // one buffer, reused for every piece
  for (Py_ssize_t start = 0; start < n;) {
    const Py_ssize_t stop = detail::next_cut(data, start + detail::kPieceLength, n, end);
    if (!detail::encode_piece(data, start, stop, utf8)) {
      // A lone surrogate: report it as the whole text would.
      text_argument(data, "data");
      throw Panic("a lone surrogate was not reported");
    }
    read(std::string_view(utf8.data(), utf8.size()));
    start = stop;
  }
}

}  // namespace marlet_native

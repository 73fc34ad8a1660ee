// Reading the text of a str argument as UTF-8, piece by piece.
//
// An ASCII str holds its UTF-8 form already and is read in place.  Any
// other str would need a UTF-8 copy of the whole text, which CPython then
// keeps with the str for its lifetime: for a large document that is a
// second copy of the input on top of the result.  So a long non-ASCII text
// is cut into pieces of about kPieceLength characters, each encoded, read
// and released in turn.  A cut is made only where the reader has just
// closed a record, so every piece starts with an empty current record and
// the pieces give exactly the records of the whole text.
#pragma once

#include <string_view>

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

}  // namespace detail

// Calls read(utf8) for consecutive pieces of the text of `data` (a str
// argument of parameter "data"), cut after lines that end a record.
// Argument errors and the UnicodeEncodeError of lone surrogates are those
// of the whole text.
template <class Read>
void for_each_text_piece(PyObject* data, RecordEnd end, Read&& read) {
  if (!PyUnicode_Check(data) || PyUnicode_IS_ASCII(data) || PyUnicode_GET_LENGTH(data) <= detail::kPieceLength) {
    read(text_argument(data, "data"));
    return;
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
  for (Py_ssize_t start = 0; start < n;) {
    const Py_ssize_t stop = detail::next_cut(data, start + detail::kPieceLength, n, end);
    const PyRef piece = or_fetched(PyUnicode_Substring(data, start, stop));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(piece.get(), &size);
    if (utf8 == nullptr) {
      // Lone surrogates: report them as the whole text would.
      PyErr_Clear();
      text_argument(data, "data");
      throw_fetched();
    }
    read(std::string_view(utf8, static_cast<std::size_t>(size)));
    start = stop;
  }
}

}  // namespace marlet_native

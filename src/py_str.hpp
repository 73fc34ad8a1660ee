// Making Python str objects from UTF-8 byte ranges of valid text.
//
// Most keys and values are ASCII.  For those CPython's own path (a UTF-8
// decoder that first measures and classifies the text) does far more work
// than needed: an ASCII str is a header plus the bytes, so we allocate it
// with PyUnicode_New(n, 127) and copy the bytes in.  Anything else goes
// through the decoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "native.hpp"

namespace marlet_native {

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
inline PyRef ascii_str(std::string_view s) {
  // The empty str and the one-character strings are shared singletons in
  // CPython.
  if (s.empty()) return created(PyUnicode_New(0, 127));
  if (s.size() == 1) return created(PyUnicode_FromStringAndSize(s.data(), 1));
  PyRef str = created(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
  std::memcpy(PyUnicode_1BYTE_DATA(str.get()), s.data(), s.size());
  return str;
}

// A new str from valid UTF-8.
inline PyRef make_str(std::string_view s) {
  if (is_ascii(s)) return ascii_str(s);
  return created(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace marlet_native

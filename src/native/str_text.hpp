// Reading the text of a str argument without making a UTF-8 copy of it,
// which would cost a pass over the text and a second copy that CPython
// keeps with the str.  An ASCII str, or one whose UTF-8 form CPython made
// earlier, is read in place as UTF-8; any other in its own code units (one
// code point per unit), which the scanner handles like UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "native.hpp"
#include "unit_view.hpp"

namespace marlet_native {

static_assert(std::is_same_v<Py_UCS1, std::uint8_t> && std::is_same_v<Py_UCS2, std::uint16_t> &&
              std::is_same_v<Py_UCS4, std::uint32_t>);

namespace detail {

// Whether CPython already keeps the UTF-8 form of this str.
inline bool has_utf8_form(PyObject* str) noexcept {
  return PyUnicode_IS_COMPACT(str) && reinterpret_cast<PyCompactUnicodeObject*>(str)->utf8 != nullptr;
}

// Whether the n units at p hold a surrogate code point (in a str, always
// a lone one).  UCS-2 units are tested eight to a vector (a surrogate is
// 0xD800 under the mask 0xF800); UCS-4 units in blocks without an early
// exit, so the compiler may test several at once.
template <class Unit>
bool has_surrogate(const Unit* p, std::size_t n) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(Unit) == 2) {
    const __m128i mask = _mm_set1_epi16(static_cast<short>(0xf800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xd800));
    const auto test = [&](std::size_t at) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      return _mm_cmpeq_epi16(_mm_and_si128(v, mask), surrogate);
    };
    for (; i + 32 <= n; i += 32) {
      const __m128i any = _mm_or_si128(_mm_or_si128(test(i), test(i + 8)), _mm_or_si128(test(i + 16), test(i + 24)));
      if (_mm_movemask_epi8(any) != 0) return true;
    }
    for (; i + 8 <= n; i += 8)
      if (_mm_movemask_epi8(test(i)) != 0) return true;
  }
#endif
  constexpr std::size_t kBlock = 4096;
  for (std::size_t at = i; at < n; at += kBlock) {
    const std::size_t stop = n - at < kBlock ? n : at + kBlock;
    unsigned found = 0;
    for (std::size_t k = at; k < stop; ++k)
      found |= static_cast<unsigned>(static_cast<std::uint32_t>(p[k]) - 0xd800u < 0x800u);
    if (found != 0) return true;
  }
  return false;
}

}  // namespace detail

// Returns read(text) for the text of `data` (the argument of parameter
// "data"): a std::string_view of UTF-8, or a UnitView of the
// str's code units (Py_UCS1, Py_UCS2 or Py_UCS4); `read` takes each.
// Argument errors, and the UnicodeEncodeError of a lone surrogate, are
// those of converting the whole text to UTF-8.
template <class Read>
auto with_str_text(PyObject* data, Read&& read) -> decltype(read(std::string_view{})) {
  if (!PyUnicode_Check(data)) return read(text_argument(data, "data"));
#if PY_VERSION_HEX < 0x030C0000
  // A str made through the old wchar_t functions gets its canonical form
  // only on demand; kind and data below need it.
  if (PyUnicode_READY(data) < 0) throw_fetched();
#endif
  if (PyUnicode_IS_ASCII(data) || detail::has_utf8_form(data)) return read(text_argument(data, "data"));
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(data));
  switch (PyUnicode_KIND(data)) {
    case PyUnicode_1BYTE_KIND:
      return read(marlet_core::UnitView<Py_UCS1>(PyUnicode_1BYTE_DATA(data), n));
    case PyUnicode_2BYTE_KIND:
      if (!detail::has_surrogate(PyUnicode_2BYTE_DATA(data), n))
        return read(marlet_core::UnitView<Py_UCS2>(PyUnicode_2BYTE_DATA(data), n));
      break;
    default:
      if (!detail::has_surrogate(PyUnicode_4BYTE_DATA(data), n))
        return read(marlet_core::UnitView<Py_UCS4>(PyUnicode_4BYTE_DATA(data), n));
      break;
  }
  // A lone surrogate: report it as the conversion to UTF-8 does.
  text_argument(data, "data");
  throw Panic("a lone surrogate was not reported");
}

}  // namespace marlet_native

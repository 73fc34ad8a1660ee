// UnitView<Unit>: a std::basic_string_view over the code units a text is
// read in (char for UTF-8; uint8_t, uint16_t, uint32_t for the units of a
// Python str).
//
// The standard defines std::char_traits for the character types only, and
// libc++ has none for plain unsigned integers, so the integer units get the
// traits below.  UTF-8 text keeps std::char_traits<char>, which makes
// UnitView<char> exactly std::string_view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <string_view>

namespace marlet_core {

namespace detail {
// The traits std::basic_string_view needs, for an unsigned integer unit.
template <class Unit>
struct IntegerUnitTraits {
  using char_type = Unit;
  using int_type = std::uint64_t;
  using off_type = std::streamoff;
  using pos_type = std::streampos;
  using state_type = std::mbstate_t;

  static constexpr void assign(char_type& to, const char_type& from) noexcept { to = from; }
  static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
  static constexpr bool lt(char_type a, char_type b) noexcept { return a < b; }
  static constexpr int compare(const char_type* a, const char_type* b, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
  }
  static constexpr std::size_t length(const char_type* s) noexcept {
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
  }
  static constexpr const char_type* find(const char_type* s, std::size_t n, const char_type& c) noexcept {
    for (std::size_t i = 0; i < n; ++i)
      if (s[i] == c) return s + i;
    return nullptr;
  }
  static char_type* move(char_type* to, const char_type* from, std::size_t n) noexcept {
    if (n != 0) std::memmove(to, from, n * sizeof(char_type));
    return to;
  }
  static char_type* copy(char_type* to, const char_type* from, std::size_t n) noexcept {
    if (n != 0) std::memcpy(to, from, n * sizeof(char_type));
    return to;
  }
  static char_type* assign(char_type* to, std::size_t n, char_type c) noexcept {
    for (std::size_t i = 0; i < n; ++i) to[i] = c;
    return to;
  }
  static constexpr char_type to_char_type(int_type i) noexcept { return static_cast<char_type>(i); }
  static constexpr int_type to_int_type(char_type c) noexcept { return c; }
  static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
  static constexpr int_type eof() noexcept { return ~int_type{0}; }
  static constexpr int_type not_eof(int_type i) noexcept { return i == eof() ? 0 : i; }
};

template <class Unit>
struct UnitTraits {
  using type = IntegerUnitTraits<Unit>;
};
template <>
struct UnitTraits<char> {
  using type = std::char_traits<char>;
};
}  // namespace detail

// Unit is deduced from the first argument alone, so a template taking a
// UnitView<Unit> accepts a std::string_view too.
template <class Unit>
using UnitView = std::basic_string_view<Unit, typename detail::UnitTraits<Unit>::type>;

}  // namespace marlet_core

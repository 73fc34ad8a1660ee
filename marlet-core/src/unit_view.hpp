// UnitView<Unit>: a std::basic_string_view over the code units a text is
// read in (char for UTF-8, exactly std::string_view; uint8_t, uint16_t,
// uint32_t for a Python str's units, with the traits below, which libc++
// does not define for plain unsigned integers).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ios>
#include <string_view>
#include <type_traits>

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
    const auto [x, y] = std::mismatch(a, a + n, b);
    return x == a + n ? 0 : *x < *y ? -1 : 1;
  }
  static constexpr std::size_t length(const char_type* s) noexcept {
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
  }
  static constexpr const char_type* find(const char_type* s, std::size_t n, const char_type& c) noexcept {
    const char_type* at = std::find(s, s + n, c);
    return at == s + n ? nullptr : at;
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
    std::fill_n(to, n, c);
    return to;
  }
  static constexpr char_type to_char_type(int_type i) noexcept { return static_cast<char_type>(i); }
  static constexpr int_type to_int_type(char_type c) noexcept { return c; }
  static constexpr bool eq_int_type(int_type a, int_type b) noexcept { return a == b; }
  static constexpr int_type eof() noexcept { return ~int_type{0}; }
  static constexpr int_type not_eof(int_type i) noexcept { return i == eof() ? 0 : i; }
};

}  // namespace detail

// Unit is deduced from the first argument alone, so a template taking a
// UnitView<Unit> accepts a std::string_view too.
template <class Unit>
using UnitView = std::basic_string_view<
    Unit, std::conditional_t<std::is_same_v<Unit, char>, std::char_traits<char>, detail::IntegerUnitTraits<Unit>>>;

}  // namespace marlet_core

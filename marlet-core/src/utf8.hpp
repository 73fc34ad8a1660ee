// Strict UTF-8 validation (RFC 3629): no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated or stray continuation bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpu.hpp"

namespace marlet_core {

// True when the whole of [data, data + size) is well-formed UTF-8.
bool is_valid_utf8(const char* data, std::size_t size, Isa isa = best_isa()) noexcept;

inline bool is_valid_utf8(std::string_view s) noexcept { return is_valid_utf8(s.data(), s.size()); }

// The offset of the first ill-formed sequence (a character cut short at the
// end is one), or size; well-formed text costs what is_valid_utf8 costs.
std::size_t first_invalid_utf8(const char* data, std::size_t size) noexcept;

// The length of the sequence that byte c starts: 1 for ASCII, 2 to 4 for a
// lead byte of some well-formed sequence, else 0.
constexpr std::size_t utf8_sequence_length(unsigned char c) noexcept {
  return c < 0x80 ? 1 : c < 0xc2 ? 0 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : c < 0xf5 ? 4 : 0;
}

// Writes code point cp (no surrogate) as UTF-8 at out, which has room for 4
// bytes; returns the end of what it wrote.
inline char* put_utf8(std::uint32_t cp, char* out) noexcept {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xc0 | cp >> 6);
    *out++ = static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xe0 | cp >> 12);
    *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    *out++ = static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    *out++ = static_cast<char>(0xf0 | cp >> 18);
    *out++ = static_cast<char>(0x80 | (cp >> 12 & 0x3f));
    *out++ = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    *out++ = static_cast<char>(0x80 | (cp & 0x3f));
  }
  return out;
}

}  // namespace marlet_core

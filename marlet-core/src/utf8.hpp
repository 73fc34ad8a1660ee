// Strict UTF-8 validation (RFC 3629): no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated or stray continuation bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cpu.hpp"

namespace marlet_core {

// True when the whole of [data, data + size) is well-formed UTF-8.
bool is_valid_utf8(const char* data, std::size_t size) noexcept;
// The same with the vector code chosen by the caller (tests run both).
bool is_valid_utf8(const char* data, std::size_t size, Isa isa) noexcept;

inline bool is_valid_utf8(std::string_view s) noexcept { return is_valid_utf8(s.data(), s.size()); }

// Writes code point cp (not a surrogate, at most U+10FFFF) as UTF-8 at
// out, which has room for 4 bytes; returns the end of what it wrote.
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

// Strict UTF-8 validation (RFC 3629): no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated or stray continuation bytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "cpu.hpp"

namespace marlet_core {

// True when the whole of [data, data + size) is well-formed UTF-8.
bool is_valid_utf8(const char* data, std::size_t size) noexcept;
// The same with the vector code chosen by the caller (tests run both).
bool is_valid_utf8(const char* data, std::size_t size, Isa isa) noexcept;

inline bool is_valid_utf8(std::string_view s) noexcept { return is_valid_utf8(s.data(), s.size()); }

}  // namespace marlet_core

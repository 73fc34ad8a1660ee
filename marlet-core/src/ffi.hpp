// The binary record encoding, and the front end behind the C exports.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "memory.hpp"

namespace marlet_core::ffi {

namespace detail {
inline void append_u32(Buffer& out, std::size_t v) {
  const auto x = static_cast<std::uint32_t>(v);
  const char le[4] = {static_cast<char>(x), static_cast<char>(x >> 8), static_cast<char>(x >> 16),
                      static_cast<char>(x >> 24)};
  out.append(le, 4);
}
inline bool fits_u32(std::size_t v) noexcept { return v <= std::numeric_limits<std::uint32_t>::max(); }
}  // namespace detail

// Encodes a record list (owned or borrowed) as 32-bit little-endian counts
// and lengths followed by raw key and value bytes, fields in each Record's
// own order.  A count or length beyond 32 bits cannot be represented: the
// result is then nullopt.
template <class List>
[[nodiscard]] std::optional<Buffer> encode_binary(const List& records) {
  Buffer out(4);
  if (!detail::fits_u32(records.size())) return std::nullopt;
  detail::append_u32(out, records.size());
  bool fits = true;
  for (const auto& record : records) {
    if (!detail::fits_u32(record.size())) return std::nullopt;
    detail::append_u32(out, record.size());
    record.for_each([&](std::string_view key, std::string_view value) {
      if (!fits) return;
      if (!detail::fits_u32(key.size()) || !detail::fits_u32(value.size())) {
        fits = false;
        return;
      }
      detail::append_u32(out, key.size());
      out.append(key);
      detail::append_u32(out, value.size());
      out.append(value);
    });
    if (!fits) return std::nullopt;
  }
  return out;
}

}  // namespace marlet_core::ffi

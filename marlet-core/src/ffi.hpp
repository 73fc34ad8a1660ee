// The binary record encoding, and the front end behind the C exports.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "cpu.hpp"
#include "memory.hpp"

namespace marlet_core::ffi {

namespace detail {
inline char* put_u32(char* d, std::size_t v) noexcept {
  const auto x = static_cast<std::uint32_t>(v);
  d[0] = static_cast<char>(x);
  d[1] = static_cast<char>(x >> 8);
  d[2] = static_cast<char>(x >> 16);
  d[3] = static_cast<char>(x >> 24);
  return d + 4;
}
inline void append_u32(Buffer& out, std::size_t v) {
  put_u32(out.prepare(4), v);
  out.commit(4);
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
      const std::size_t n = 8 + key.size() + value.size();
      char* d = detail::put_u32(out.prepare(n), key.size());
      copy_bytes(d, key.data(), key.size());
      d = detail::put_u32(d + key.size(), value.size());
      copy_bytes(d, value.data(), value.size());
      out.commit(n);
    });
    if (!fits) return std::nullopt;
  }
  return out;
}

// The binary encoding of the records of a .marl text (valid UTF-8),
// written as each record closes; nullopt when a count or length does not
// fit 32 bits.
[[nodiscard]] std::optional<Buffer> parse_marl_to_binary(std::string_view text);
[[nodiscard]] std::optional<Buffer> parse_marl_to_binary(std::string_view text, Isa isa);

}  // namespace marlet_core::ffi

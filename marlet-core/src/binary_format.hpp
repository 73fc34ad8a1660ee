// The binary encoding: a record count, then per record its field count and
// per field the key's length, the key, the value's length and the value;
// counts and lengths are 32-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace marlet_core::binary {

inline bool fits_u32(std::size_t v) noexcept { return v <= std::numeric_limits<std::uint32_t>::max(); }

// Writes v (which fits_u32) at d; returns the end of the four bytes.
inline char* put_u32(char* d, std::size_t v) noexcept {
  const auto x = static_cast<std::uint32_t>(v);
  d[0] = static_cast<char>(x);
  d[1] = static_cast<char>(x >> 8);
  d[2] = static_cast<char>(x >> 16);
  d[3] = static_cast<char>(x >> 24);
  return d + 4;
}

template <class Out>
void append_u32(Out& out, std::size_t v) {
  put_u32(out.prepare(4), v);
  out.commit(4);
}

}  // namespace marlet_core::binary

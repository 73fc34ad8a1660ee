#include "utf8.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marlet_core {

// ASCII, the common case, is passed over 16 bytes at a time; each other
// character is checked on its own against the table of well-formed
// sequences of RFC 3629 (Unicode's Table 3-7).  Nothing is set up on first
// use and nothing is allocated, so the check cannot fail for want of memory.
bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* const end = p + size;
  const auto continuation = [](unsigned char b) { return (b & 0xc0) == 0x80; };
  while (p != end) {
#if defined(__SSE2__)
    if (end - p >= 16) {
      const auto high = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
      if (high == 0) {
        p += 16;
        continue;
      }
      p += __builtin_ctz(high);
    }
#endif
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    const auto left = static_cast<std::size_t>(end - p);
    if (c < 0xc2) return false;  // a continuation byte, or an overlong 2-byte form
    if (c < 0xe0) {
      if (left < 2 || !continuation(p[1])) return false;
      p += 2;
      continue;
    }
    if (c < 0xf0) {
      // E0 needs A0..BF next (no overlong form); ED needs 80..9F (no surrogate).
      const unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
      if (left < 3 || p[1] < lo || p[1] > hi || !continuation(p[2])) return false;
      p += 3;
      continue;
    }
    if (c < 0xf5) {
      // F0 needs 90..BF next (no overlong form); F4 needs 80..8F (nothing above U+10FFFF).
      const unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
      if (left < 4 || p[1] < lo || p[1] > hi || !continuation(p[2]) || !continuation(p[3])) return false;
      p += 4;
      continue;
    }
    return false;  // F5..FF
  }
  return true;
}

}  // namespace marlet_core

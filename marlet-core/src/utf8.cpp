#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marlet_core {
namespace {

// Validates the one character starting at p[0] (p < end, p[0] >= 0x80) and
// returns its length, or 0 if the sequence there is ill-formed.
inline std::size_t multibyte_length(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char c = p[0];
  const std::size_t left = static_cast<std::size_t>(end - p);
  auto cont = [](unsigned char b) { return (b & 0xc0) == 0x80; };
  if (c >= 0xc2 && c <= 0xdf) return left >= 2 && cont(p[1]) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    if (left < 3 || !cont(p[2])) return 0;
    const unsigned char c1 = p[1];
    const unsigned char lo = c == 0xe0 ? 0xa0 : 0x80;  // E0 80..9F is overlong
    const unsigned char hi = c == 0xed ? 0x9f : 0xbf;  // ED A0..BF are surrogates
    return c1 >= lo && c1 <= hi ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (left < 4 || !cont(p[2]) || !cont(p[3])) return 0;
    const unsigned char c1 = p[1];
    const unsigned char lo = c == 0xf0 ? 0x90 : 0x80;  // F0 80..8F is overlong
    const unsigned char hi = c == 0xf4 ? 0x8f : 0xbf;  // F4 90.. is above U+10FFFF
    return c1 >= lo && c1 <= hi ? 4 : 0;
  }
  return 0;  // continuation byte, C0, C1, F5..FF
}

// Number of leading bytes of [p, end) that are ASCII, looked at in blocks;
// may stop short of the first non-ASCII byte but never passes it.
inline std::size_t ascii_prefix(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char* start = p;
#if defined(__SSE2__)
  while (end - p >= 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
    p += 64;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if ((w & 0x8080808080808080ULL) != 0) break;
    p += 8;
  }
  return static_cast<std::size_t>(p - start);
}

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const auto* end = p + size;
  while (p != end) {
    p += ascii_prefix(p, end);
    // Then character by character until the next block boundary, so runs
    // of non-ASCII text do not pay for a failed block test at every step.
    const unsigned char* stop = end - p > 16 ? p + 16 : end;
    while (p < stop) {
      if (*p < 0x80) {
        ++p;
        continue;
      }
      const std::size_t n = multibyte_length(p, end);
      if (n == 0) return false;
      p += n;
    }
  }
  return true;
}

}  // namespace marlet_core

#include "utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Neither validator sets anything up or allocates, so the check cannot fail
// for want of memory, even on a process's first call.
namespace marlet_core {
namespace {

// Portable: ASCII is passed over 16 bytes at a time, every other character
// checked against the well-formed sequences of RFC 3629.
std::size_t first_invalid_portable(const char* data, std::size_t size) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(data);
  const auto* p = begin;
  const auto* const end = p + size;
  const auto continuation = [](unsigned char b) { return (b & 0xc0) == 0x80; };
  const auto bad = [&](const unsigned char* at) { return static_cast<std::size_t>(at - begin); };
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
    // Byte by byte for the next 16 bytes at least: text that is not ASCII
    // tends to stay so.
    const unsigned char* const stop = end - p > 16 ? p + 16 : end;
    while (p < stop) {
      const unsigned char c = *p;
      if (c < 0x80) {
        ++p;
        continue;
      }
      const auto left = static_cast<std::size_t>(end - p);
      if (c < 0xc2) return bad(p);  // a continuation byte, or an overlong 2-byte form
      if (c < 0xe0) {
        if (left < 2 || !continuation(p[1])) return bad(p);
        p += 2;
      } else if (c < 0xf0) {
        // E0 needs A0..BF next (no overlong form); ED needs 80..9F (no surrogate).
        const unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
        if (left < 3 || p[1] < lo || p[1] > hi || !continuation(p[2])) return bad(p);
        p += 3;
      } else if (c < 0xf5) {
        // F0 needs 90..BF next (no overlong form); F4 needs 80..8F (nothing above U+10FFFF).
        const unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
        if (left < 4 || p[1] < lo || p[1] > hi || !continuation(p[2]) || !continuation(p[3])) return bad(p);
        p += 4;
      } else {
        return bad(p);  // F5..FF
      }
    }
  }
  return size;
}

#if defined(__x86_64__)
// AVX2: 32 bytes at a time by table lookups (Keiser and Lemire, "Validating
// UTF-8 in less than one instruction per byte", 2021): each byte and the
// one before it go through three 16-entry tables, one bit per kind of
// error, whose AND is non-zero exactly at a two-byte error; third and
// fourth bytes are required from the bytes two and three back.
namespace avx2 {

constexpr std::uint8_t kTooShort = 1 << 0;    // a lead byte followed by a lead byte or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;     // ASCII followed by a continuation byte
constexpr std::uint8_t kOverlong3 = 1 << 2;   // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;    // F4 90..BF, F5..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;   // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;   // C0..C1 followed by a continuation byte
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;    // a continuation byte after a continuation byte
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i table(const std::uint8_t (&t)[16]) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// The bytes of `input` shifted by n, the first n taken from the end of `prev`.
template <int N>
__attribute__((target("avx2"))) inline __m256i prev(__m256i input, __m256i prev_block) {
  return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev_block, input, 0x21), 16 - N);
}

__attribute__((target("avx2"))) inline __m256i high_nibbles(__m256i v) {
  return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0f));
}

// Non-zero where the block breaks a rule, given the block before it.
__attribute__((target("avx2"))) inline __m256i block_errors(__m256i input, __m256i prev_block) {
  static constexpr std::uint8_t kByte1High[16] = {
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // 0___ ASCII
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // 10__ continuation
      kTooShort | kOverlong2,                                                          // 1100 two-byte lead
      kTooShort,                                                                       // 1101 two-byte lead
      kTooShort | kOverlong3 | kSurrogate,                                             // 1110 three-byte lead
      kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};                             // 1111 four-byte lead
  constexpr std::uint8_t kLarge = kCarry | kTooLarge | kTooLarge1000;
  static constexpr std::uint8_t kByte1Low[16] = {
      kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ____0000
      kCarry | kOverlong2,                            // ____0001
      kCarry, kCarry,                                 // ____001_
      kCarry | kTooLarge,                             // ____0100
      kLarge, kLarge, kLarge,                         // ____0101 .. ____0111
      kLarge, kLarge, kLarge, kLarge, kLarge,         // ____1000 .. ____1100
      kLarge | kSurrogate,                            // ____1101
      kLarge, kLarge};                                // ____1110, ____1111
  static constexpr std::uint8_t kByte2High[16] = {
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,  // 0___
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,           // 1000
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,                            // 1001
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                            // 1010
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,                            // 1011
      kTooShort, kTooShort, kTooShort, kTooShort};                                           // 11__
  const __m256i prev1 = prev<1>(input, prev_block);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(table(kByte1High), high_nibbles(prev1)),
                       _mm256_shuffle_epi8(table(kByte1Low), _mm256_and_si256(prev1, _mm256_set1_epi8(0x0f)))),
      _mm256_shuffle_epi8(table(kByte2High), high_nibbles(input)));
  // Bytes that must be continuations because a three- or four-byte lead
  // stands two or three bytes back: bit 7 set exactly there.
  const __m256i third = _mm256_subs_epu8(prev<2>(input, prev_block), _mm256_set1_epi8(static_cast<char>(0xe0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev<3>(input, prev_block), _mm256_set1_epi8(static_cast<char>(0xf0 - 0x80)));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

// Non-zero when the block ends inside a sequence (a lead byte too near
// its end for the continuation bytes it needs).
__attribute__((target("avx2"))) inline __m256i incomplete(__m256i input) {
  static constexpr std::uint8_t kMax[32] = {
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0 - 1, 0xe0 - 1, 0xc0 - 1};
  return _mm256_subs_epu8(input, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMax)));
}

__attribute__((target("avx2"))) bool valid(const char* data, std::size_t size) noexcept {
  __m256i error = _mm256_setzero_si256();
  __m256i prev_block = _mm256_setzero_si256();  // as if ASCII came before
  __m256i prev_incomplete = _mm256_setzero_si256();
  const auto check = [&](__m256i input) __attribute__((target("avx2"))) {
    if (_mm256_movemask_epi8(input) == 0) {
      // ASCII: only a sequence left open by the block before is an error.
      error = _mm256_or_si256(error, prev_incomplete);
      prev_incomplete = _mm256_setzero_si256();
    } else {
      error = _mm256_or_si256(error, block_errors(input, prev_block));
      prev_incomplete = incomplete(input);
    }
    prev_block = input;
  };
  std::size_t i = 0;
  for (; size - i >= 32; i += 32) {
    check(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)));
    if ((i & 1023) == 0 && !_mm256_testz_si256(error, error)) return false;
  }
  if (i != size) {
    // The last bytes, padded with zeros: a sequence left open is too short.
    alignas(32) char last[32] = {};
    std::memcpy(last, data + i, size - i);
    check(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  }
  error = _mm256_or_si256(error, prev_incomplete);
  return _mm256_testz_si256(error, error) != 0;
}

}  // namespace avx2
#endif

struct Validate {
  static bool portable(const char* data, std::size_t size) noexcept { return first_invalid_portable(data, size) == size; }
#if defined(__x86_64__)
  static constexpr auto avx2 = &avx2::valid;
#endif
};

}  // namespace

bool is_valid_utf8(const char* data, std::size_t size, Isa isa) noexcept {
  if (size == 0) return true;
  return run<Validate>(isa, data, size);
}

std::size_t first_invalid_utf8(const char* data, std::size_t size) noexcept {
  return is_valid_utf8(data, size) ? size : first_invalid_portable(data, size);
}

}  // namespace marlet_core

// Hashing a batch of one record's keys, one at a time or four at a time in
// AVX2's 64-bit lanes (which share the record's key pair); both give
// exactly hash_key's values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "record.hpp"
#include "siphash.hpp"

namespace marlet_core {

struct ScalarKeyHash {
  static void hash(const HashKeys& keys, const std::string_view* key, std::size_t n, std::uint64_t* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = hash_key(keys, key[i]);
  }
};

#if defined(__x86_64__)
namespace sip_x4 {

#define MARLET_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

template <int B>
MARLET_AVX2_INLINE __m256i rotl(__m256i x) noexcept {
  if constexpr (B == 32) {
    return _mm256_shuffle_epi32(x, 0xb1);  // swap the 32-bit halves of each lane
  } else if constexpr (B == 16) {
    const __m256i by_two_bytes = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13,  //
                                                  6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13);
    return _mm256_shuffle_epi8(x, by_two_bytes);
  } else {
    return _mm256_or_si256(_mm256_slli_epi64(x, B), _mm256_srli_epi64(x, 64 - B));
  }
}

struct State {
  __m256i v0, v1, v2, v3;
};

MARLET_AVX2_INLINE void round(State& s) noexcept {
  s.v0 = _mm256_add_epi64(s.v0, s.v1);
  s.v1 = _mm256_xor_si256(rotl<13>(s.v1), s.v0);
  s.v0 = rotl<32>(s.v0);
  s.v2 = _mm256_add_epi64(s.v2, s.v3);
  s.v3 = _mm256_xor_si256(rotl<16>(s.v3), s.v2);
  s.v0 = _mm256_add_epi64(s.v0, s.v3);
  s.v3 = _mm256_xor_si256(rotl<21>(s.v3), s.v0);
  s.v2 = _mm256_add_epi64(s.v2, s.v1);
  s.v1 = _mm256_xor_si256(rotl<17>(s.v1), s.v2);
  s.v2 = rotl<32>(s.v2);
}

MARLET_AVX2_INLINE __m256i splat(std::uint64_t x) noexcept { return _mm256_set1_epi64x(static_cast<long long>(x)); }

// SipHash-1-3 of four messages of one or two words: words[b][j] is word b
// of lane j, which has two when bit j of `two` is set (a one-word lane takes
// back its state after the first).  Stores hash j in out[at[j]].
MARLET_AVX2_INLINE void hash4(const HashKeys& keys, const std::uint64_t (*words)[4], unsigned two, const std::size_t* at,
                              std::uint64_t* out) noexcept {
  State s{_mm256_xor_si256(splat(keys.k0), splat(0x736f6d6570736575ULL)),
          _mm256_xor_si256(splat(keys.k1), splat(0x646f72616e646f6dULL)),
          _mm256_xor_si256(splat(keys.k0), splat(0x6c7967656e657261ULL)),
          _mm256_xor_si256(splat(keys.k1), splat(0x7465646279746573ULL))};
  const __m256i m0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[0]));
  s.v3 = _mm256_xor_si256(s.v3, m0);
  round(s);
  s.v0 = _mm256_xor_si256(s.v0, m0);
  if (two != 0) {
    const State one = s;
    const __m256i m1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words[1]));
    s.v3 = _mm256_xor_si256(s.v3, m1);
    round(s);
    s.v0 = _mm256_xor_si256(s.v0, m1);
    const __m256i lanes = _mm256_cmpeq_epi64(
        _mm256_and_si256(_mm256_set1_epi64x(two), _mm256_setr_epi64x(1, 2, 4, 8)), _mm256_setzero_si256());
    s.v0 = _mm256_blendv_epi8(s.v0, one.v0, lanes);  // one-word lanes keep `one`
    s.v1 = _mm256_blendv_epi8(s.v1, one.v1, lanes);
    s.v2 = _mm256_blendv_epi8(s.v2, one.v2, lanes);
    s.v3 = _mm256_blendv_epi8(s.v3, one.v3, lanes);
  }
  s.v2 = _mm256_xor_si256(s.v2, splat(0xff));
  round(s);
  round(s);
  round(s);
  alignas(32) std::uint64_t h[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(h),
                     _mm256_xor_si256(_mm256_xor_si256(s.v0, s.v1), _mm256_xor_si256(s.v2, s.v3)));
  for (int j = 0; j < 4; ++j) out[at[j]] = h[j];
}

#undef MARLET_AVX2_INLINE

}  // namespace sip_x4

// Keys of up to 14 bytes (one or two message words) are hashed four at a
// time; longer keys one at a time.
struct Avx2KeyHash {
  __attribute__((target("avx2"))) static void hash(const HashKeys& keys, const std::string_view* key, std::size_t n,
                                                   std::uint64_t* out) noexcept {
    std::uint64_t words[2][4] = {};  // [word][lane]
    std::size_t at[4];
    int lane = 0;
    unsigned two = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t w[2] = {0, 0};
      const int blocks = SipHasher13::short_message_words(key[i], 0xff, w);
      if (blocks == 0) {
        out[i] = hash_key(keys, key[i]);
        continue;
      }
      words[0][lane] = w[0];
      words[1][lane] = w[1];
      two |= unsigned{blocks == 2} << lane;
      at[lane] = i;
      if (++lane == 4) {
        sip_x4::hash4(keys, words, two, at, out);
        lane = 0;
        two = 0;
      }
    }
    if (lane != 0) {
      // The last one to three keys; what the unused lanes hash is dropped.
      std::uint64_t h[4];
      const std::size_t identity[4] = {0, 1, 2, 3};
      sip_x4::hash4(keys, words, two, identity, h);
      for (int j = 0; j < lane; ++j) out[at[j]] = h[j];
    }
  }
};
#endif

}  // namespace marlet_core

// SipHash with its round counts as template parameters.
//
// Records hash with SipHash-1-3; the 2-4 instance exists so the one
// implementation can be checked against the published reference vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace marlet_core {

template <int CompressionRounds, int FinalizationRounds>
class SipHasher {
 public:
  SipHasher(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void update(const void* data, std::size_t n) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    total_ += n;
    if (tail_len_ != 0) {
      while (n != 0 && tail_len_ < 8) {
        tail_ |= std::uint64_t{*p++} << (8 * tail_len_++);
        --n;
      }
      if (tail_len_ < 8) return;
      absorb(tail_);
      tail_ = 0;
      tail_len_ = 0;
    }
    for (; n >= 8; n -= 8, p += 8) absorb(load_le64(p));
    for (std::size_t i = 0; i < n; ++i) tail_ |= std::uint64_t{p[i]} << (8 * i);
    tail_len_ = static_cast<unsigned>(n);
  }
  void update(std::string_view s) noexcept { update(s.data(), s.size()); }
  void update_byte(unsigned char b) noexcept { update(&b, 1); }

  // Hashes `data` followed by the one byte `suffix` in a single call; the
  // same value as update(data), update_byte(suffix), finish() on a fresh
  // hasher, without the buffering.
  std::uint64_t finish_with_suffix(std::string_view data, unsigned char suffix) && noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    const std::uint64_t total = n + 1;
    for (; n >= 8; n -= 8, p += 8) absorb(load_le64(p));
    std::uint64_t last = load_partial(p, n) | std::uint64_t{suffix} << (8 * n);
    if (n == 7) {  // the suffix completes a block of its own
      absorb(last);
      last = 0;
    }
    absorb(last | ((total & 0xff) << 56));
    v2_ ^= 0xff;
    for (int i = 0; i < FinalizationRounds; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

  std::uint64_t finish() noexcept {
    absorb(tail_ | (std::uint64_t{total_ & 0xff} << 56));
    v2_ ^= 0xff;
    for (int i = 0; i < FinalizationRounds; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  static std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
  }
  // The n < 8 bytes at p as a little-endian integer, read without touching
  // any byte beyond them: overlapping loads instead of a loop per byte.
  static std::uint64_t load_partial(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
#endif
      return std::uint64_t{lo} | std::uint64_t{hi} << (8 * (n - 4));
    }
    if (n == 0) return 0;
    return std::uint64_t{p[0]} | std::uint64_t{p[n / 2]} << (8 * (n / 2)) | std::uint64_t{p[n - 1]} << (8 * (n - 1));
  }

  static std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

  void round() noexcept {
    v0_ += v1_; v1_ = rotl(v1_, 13); v1_ ^= v0_; v0_ = rotl(v0_, 32);
    v2_ += v3_; v3_ = rotl(v3_, 16); v3_ ^= v2_;
    v0_ += v3_; v3_ = rotl(v3_, 21); v3_ ^= v0_;
    v2_ += v1_; v1_ = rotl(v1_, 17); v1_ ^= v2_; v2_ = rotl(v2_, 32);
  }
  void absorb(std::uint64_t m) noexcept {
    v3_ ^= m;
    for (int i = 0; i < CompressionRounds; ++i) round();
    v0_ ^= m;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;
  unsigned tail_len_ = 0;
  std::uint64_t total_ = 0;
};

template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, std::string_view data) noexcept {
  SipHasher<C, D> h(k0, k1);
  h.update(data);
  return h.finish();
}

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

}  // namespace marlet_core

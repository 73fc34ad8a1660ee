// SipHash with its round counts as template parameters: records hash with
// SipHash-1-3, and the tests check 2-4 against the published vectors.
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

  // The hash of `data` followed by the one byte `suffix`.
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

  // The words absorbed for `data` and `suffix` when they are at most two
  // (data of up to 14 bytes): stores them in w and returns how many, else 0.
  static int short_message_words(std::string_view data, unsigned char suffix, std::uint64_t w[2]) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t n = data.size();
    const std::uint64_t length = std::uint64_t{(n + 1) & 0xff} << 56;
    if (n < 7) {
      w[0] = load_partial(p, n) | std::uint64_t{suffix} << (8 * n) | length;
      return 1;
    }
    if (n > 14) return 0;
    if (n == 7) {
      w[0] = load_partial(p, 7) | std::uint64_t{suffix} << 56;
      w[1] = length;
    } else {
      w[0] = load_le64(p);
      w[1] = load_partial(p + 8, n - 8) | std::uint64_t{suffix} << (8 * (n - 8)) | length;
    }
    return 2;
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
  // The n < 8 bytes at p as a little-endian integer, by overlapping loads
  // that touch no byte beyond them.
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
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

}  // namespace marlet_core

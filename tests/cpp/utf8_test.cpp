#include "utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using marlet_test::hex;

// The verdict of the validator this CPU uses, after checking that the
// portable and the vector code agree on it, and that first_invalid_utf8
// finds a byte exactly when it fails, where the text stops being valid.
bool is_valid_utf8(const char* data, std::size_t size) {
  const bool portable = marlet_core::is_valid_utf8(data, size, marlet_core::Isa::portable);
  if (marlet_core::best_isa() == marlet_core::Isa::avx2) {
    EXPECT_EQ(marlet_core::is_valid_utf8(data, size, marlet_core::Isa::avx2), portable) << hex({data, size});
  }
  EXPECT_EQ(marlet_core::is_valid_utf8(data, size), portable);
  const std::size_t bad = marlet_core::first_invalid_utf8(data, size);
  const auto valid = [&](std::size_t from, std::size_t n) { return marlet_core::is_valid_utf8(data + from, n, marlet_core::Isa::portable); };
  EXPECT_TRUE(bad == size ? portable : !portable && valid(0, bad) && !valid(bad, size - bad)) << hex({data, size});
  return portable;
}
bool is_valid_utf8(const std::string& s) { return is_valid_utf8(s.data(), s.size()); }

struct BadSequence {
  const char* name;
  std::string bytes;
};

const std::vector<BadSequence>& bad_sequences() {
  static const std::vector<BadSequence> bad = {
      {"C0 lead", "\xc0\x80"},           {"C1 lead", "\xc1\xbf"},
      {"F5 lead", "\xf5\x80\x80\x80"},    {"F8 lead", "\xf8\x88\x80\x80\x80"},
      {"FE", "\xfe"},                     {"FF", "\xff"},
      {"stray 80", "\x80"},               {"stray BF", "\xbf"},
      {"two strays", "\x80\x80"},         {"2-byte cut", "\xc3"},
      {"3-byte cut after 1", "\xe2"},     {"3-byte cut after 2", "\xe2\x82"},
      {"4-byte cut after 1", "\xf0"},     {"4-byte cut after 2", "\xf0\x9f"},
      {"4-byte cut after 3", "\xf0\x9f\x98"},
      {"2-byte bad continuation", "\xc3\x28"},
      {"3-byte bad continuation", "\xe2\x28\xa1"},
      {"4-byte bad last", "\xf0\x9f\x98\x28"},
      {"overlong E0 80", "\xe0\x80\x80"}, {"overlong E0 9F", "\xe0\x9f\xbf"},
      {"overlong F0 80", "\xf0\x80\x80\x80"}, {"overlong F0 8F", "\xf0\x8f\xbf\xbf"},
      {"surrogate ED A0", "\xed\xa0\x80"}, {"surrogate ED BF", "\xed\xbf\xbf"},
      {"above max F4 90", "\xf4\x90\x80\x80"}, {"above max F4 BF", "\xf4\xbf\xbf\xbf"},
  };
  return bad;
}

// Otherwise valid text of exactly `n` bytes: ASCII only, or a mix that keeps
// the validator on its character-by-character path.
std::string filler(std::size_t n, bool multibyte) {
  static const std::vector<std::string> mix = {"a", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80", " ", "\n"};
  std::string s;
  for (std::size_t i = 0; s.size() < n; ++i) {
    const std::string& piece = multibyte ? mix[i % mix.size()] : mix[0];
    s += s.size() + piece.size() <= n ? piece : std::string(n - s.size(), 'z');
  }
  return s;
}

TEST(Utf8, IllFormedAnywhereIsRejected) {
  for (std::size_t n : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 31u, 63u, 64u, 65u, 100u, 127u, 128u, 129u, 200u}) {
    for (bool multibyte : {false, true}) {
      const std::string base = filler(n, multibyte);
      ASSERT_TRUE(is_valid_utf8(base));
      // Cut points on character boundaries: start, middle, very end.
      std::size_t mid = n / 2;
      while (mid > 0 && (static_cast<unsigned char>(base[mid]) & 0xc0) == 0x80) --mid;
      for (const BadSequence& b : bad_sequences()) {
        for (std::size_t at : {std::size_t{0}, mid, n}) {
          const std::string s = base.substr(0, at) + b.bytes + base.substr(at);
          SCOPED_TRACE(testing::Message() << b.name << " at " << at << " of " << n << (multibyte ? " multibyte" : ""));
          EXPECT_FALSE(is_valid_utf8(s));
        }
      }
    }
  }
}

TEST(Utf8, BoundaryCharactersAreAccepted) {
  for (const std::string s : {"\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                              "\xef\xbf\xbf", "\xef\xbb\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    SCOPED_TRACE(hex(s));
    EXPECT_TRUE(is_valid_utf8(s));
    EXPECT_TRUE(is_valid_utf8(filler(70, false) + s + filler(70, true)));
  }
  EXPECT_TRUE(is_valid_utf8(std::string(100, '\0')));
  EXPECT_TRUE(is_valid_utf8(nullptr, 0));
}

// A decoder written from the definition of well-formed UTF-8.
bool reference_valid(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp, min;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xe0) == 0xc0) { len = 2; cp = c & 0x1fu; min = 0x80; }
    else if ((c & 0xf0) == 0xe0) { len = 3; cp = c & 0x0fu; min = 0x800; }
    else if ((c & 0xf8) == 0xf0) { len = 4; cp = c & 0x07u; min = 0x10000; }
    else return false;
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = cp << 6 | (cc & 0x3fu);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

TEST(Utf8, AgreesWithReferenceDecoderOnRandomBytes) {
  std::mt19937 rng(8);
  // Mostly valid pieces with an occasional random byte, so both verdicts
  // are common and texts reach past several 64-byte blocks.
  static const std::vector<std::string> pieces = {"abcdefgh", "a", "\xc3\xa9", "\xe6\x97\xa5", "\xf0\x9f\x98\x80",
                                                  "\xed\x9f\xbf", "\xf4\x8f\xbf\xbf", "\xef\xbf\xbf"};
  static const std::vector<std::string> partial = {"\xe6\x97", "\x97", "\xed\xa0", "\xf4\x90", "\xe0\x9f", "\xf0\x9f\x98"};
  int valid = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    const std::size_t count = rng() % 60;
    for (std::size_t i = 0; i < count; ++i) {
      const auto dice = rng() % 128;
      if (dice == 0)
        s += static_cast<char>(rng());
      else if (dice == 1)
        s += partial[rng() % partial.size()];
      else
        s += pieces[rng() % pieces.size()];
    }
    const bool expected = reference_valid(s);
    valid += expected;
    ASSERT_EQ(is_valid_utf8(s), expected) << hex(s);
  }
  EXPECT_GT(valid, 2000);
  EXPECT_LT(valid, 18000);
}

}  // namespace

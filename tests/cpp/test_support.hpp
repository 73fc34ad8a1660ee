// Helpers shared by the test executables: records as ordered maps (field
// order is random by design), an independent reading of the JSON form and of
// the binary encoding, and random texts built from the pieces that trip
// readers up.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_reference.hpp"
#include "reference.hpp"

namespace marlet_test {

using Fields = marlet_reference::Fields;
using Records = marlet_reference::Records;

// The reference model of the readers (tests/common/reference.hpp).
namespace reference = marlet_reference;

// A record list (owned or borrowed) as maps; a key yielded twice fails.
template <class List>
Records to_maps(const List& list) {
  Records out;
  for (const auto& record : list) {
    Fields fields;
    record.for_each([&](std::string_view key, std::string_view value) {
      EXPECT_TRUE(fields.emplace(key, value).second) << "key yielded twice: " << key;
    });
    EXPECT_EQ(fields.size(), record.size());
    out.push_back(std::move(fields));
  }
  return out;
}

// Builds a record list of the core's type `List` holding `records`.
template <class List>
List make_list(const Records& records) {
  List list;
  for (const Fields& fields : records) {
    typename List::value_type record;
    for (const auto& [key, value] : fields) record.put(key, value);
    list.push_back(std::move(record));
  }
  return list;
}

// The JSON form read by simdjson (tests/common/json_reference.hpp).
using marlet_reference::from_json;

// Reads the binary encoding back; nullopt unless every count and length
// lines up exactly with the buffer's end and no record repeats a key.
inline std::optional<Records> from_binary(const std::uint8_t* data, std::size_t size) {
  return marlet_reference::decode_binary(data, size);
}

// A plain transcription of the published SipHash algorithm, for any round
// counts.
inline std::uint64_t reference_siphash(int c, int d, std::uint64_t k0, std::uint64_t k1, const std::string& m) {
  auto rotl = [](std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
  std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
  auto sipround = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  const std::size_t blocks = m.size() / 8;
  for (std::size_t w = 0; w <= blocks; ++w) {
    std::uint64_t word = 0;
    if (w < blocks) {
      for (int i = 7; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(m[w * 8 + static_cast<std::size_t>(i)]);
    } else {
      word = std::uint64_t{m.size() & 0xff} << 56;
      for (std::size_t i = 0; i < m.size() % 8; ++i) word |= std::uint64_t{static_cast<unsigned char>(m[w * 8 + i])} << (8 * i);
    }
    v3 ^= word;
    for (int i = 0; i < c; ++i) sipround();
    v0 ^= word;
  }
  v2 ^= 0xff;
  for (int i = 0; i < d; ++i) sipround();
  return v0 ^ v1 ^ v2 ^ v3;
}

inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// A table row of the readers' tests: a text and the records it holds.
struct ReadCase {
  std::string text;
  Records records;
};

inline void PrintTo(const ReadCase& c, std::ostream* os) { *os << hex(c.text); }

// The 25 White_Space code points, UTF-8 encoded.
inline const std::vector<std::string>& whitespace_chars() {
  static const std::vector<std::string> chars = {
      "\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
      "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85",
      "\xe2\x80\x86", "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
      "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  return chars;
}

// Characters near the whitespace set that are not in it, and other bytes
// that matter to the readers.
inline const std::vector<std::string>& tricky_pieces() {
  static const std::vector<std::string> pieces = [] {
    std::vector<std::string> p = whitespace_chars();
    for (const char* s : {"\xef\xbb\xbf",  // U+FEFF
                          "\xef\xbc\x9a",  // U+FF1A fullwidth colon
                          "\xe2\x80\x8b",  // U+200B
                          "\xe1\xa0\x8e",  // U+180E, whitespace no longer
                          "\xc2\x80", "\xe2\x80\x8c", "\xe3\x81\x82", "\xf0\x9f\x98\x80", "\xc3\xa9", "\r", "\r\n",
                          "\n", "\n", ":", ":", ": ", "a", "b", "key", "x y", "\"", "\\", "\x7f", "\x1f"})
      p.emplace_back(s);
    p.emplace_back(std::string(1, '\0'));
    return p;
  }();
  return pieces;
}

// A text of `count` pieces drawn at random from tricky_pieces().
inline std::string random_text(std::mt19937& rng, std::size_t count) {
  const auto& pieces = tricky_pieces();
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += pieces[pick(rng)];
  return out;
}

// Random records of tricky pieces: empty records, empty keys, separators,
// whitespace at the ends and control characters all turn up.
inline Records random_records(std::mt19937& rng, std::size_t max_records = 5) {
  Records out;
  for (std::size_t r = rng() % (max_records + 1); r > 0; --r) {
    Fields fields;
    // Mostly short strings, now and then one long enough for the block paths.
    auto length = [&] { return rng() % 8 == 0 ? rng() % 40 : rng() % 4; };
    for (std::size_t f = rng() % 4; f > 0; --f) fields[random_text(rng, length())] = random_text(rng, length());
    out.push_back(std::move(fields));
  }
  return out;
}

}  // namespace marlet_test

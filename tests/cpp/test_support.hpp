// Helpers shared by the test executables: records as ordered maps (field
// order is random by design), an independent reading of the JSON form and of
// the binary encoding, and random texts built from the pieces that trip
// readers up.
#pragma once

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marlet_test {

using Fields = std::map<std::string, std::string>;
using Records = std::vector<Fields>;

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

// Parses JSON text with simdjson and returns its records when it is an array
// of objects whose member values are all strings (a repeated member keeps
// its last value); nullopt for any other text.
inline std::optional<Records> from_json(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  simdjson::dom::element root;
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) return std::nullopt;
  simdjson::dom::array array;
  if (root.get_array().get(array) != simdjson::SUCCESS) return std::nullopt;
  Records out;
  for (simdjson::dom::element element : array) {
    simdjson::dom::object object;
    if (element.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
    Fields fields;
    for (simdjson::dom::key_value_pair member : object) {
      std::string_view value;
      if (member.value.get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
      fields.insert_or_assign(std::string(member.key), std::string(value));
    }
    out.push_back(std::move(fields));
  }
  return out;
}

// Reads the binary encoding back; nullopt unless every count and length
// lines up exactly with the buffer's end and no record repeats a key.
inline std::optional<Records> from_binary(const std::uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  auto u32 = [&](std::uint32_t& v) {
    if (size - pos < 4) return false;
    v = std::uint32_t{data[pos]} | std::uint32_t{data[pos + 1]} << 8 | std::uint32_t{data[pos + 2]} << 16 |
        std::uint32_t{data[pos + 3]} << 24;
    pos += 4;
    return true;
  };
  auto bytes = [&](std::string& s) {
    std::uint32_t n;
    if (!u32(n) || size - pos < n) return false;
    s.assign(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    return true;
  };
  std::uint32_t records;
  if (!u32(records)) return std::nullopt;
  Records out;
  for (std::uint32_t r = 0; r < records; ++r) {
    std::uint32_t fields;
    if (!u32(fields)) return std::nullopt;
    Fields f;
    for (std::uint32_t i = 0; i < fields; ++i) {
      std::string key, value;
      if (!bytes(key) || !bytes(value) || !f.emplace(key, value).second) return std::nullopt;
    }
    out.push_back(std::move(f));
  }
  if (pos != size) return std::nullopt;
  return out;
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

// A model of the two text readers written from their rules, character by
// character, sharing nothing with the core's scanner.
namespace reference {

inline bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

// The code point that starts at s[i] (s is valid UTF-8) and its length.
inline std::pair<char32_t, std::size_t> decode(const std::string& s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t len = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  char32_t cp = c;
  if (len > 1) cp &= 0x3fu >> (len - 1);
  for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3fu);
  return {cp, len};
}

inline std::string trim_start(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto [cp, len] = decode(s, i);
    if (!is_white_space(cp)) break;
    i += len;
  }
  return s.substr(i);
}

inline std::string trim(const std::string& s) {
  std::string t = trim_start(s);
  std::size_t end = 0;  // just past the last character that is not whitespace
  for (std::size_t i = 0; i < t.size();) {
    auto [cp, len] = decode(t, i);
    i += len;
    if (!is_white_space(cp)) end = i;
  }
  return t.substr(0, end);
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    if (lf == std::string::npos) {
      out.push_back(text.substr(start));
      break;
    }
    std::string line = text.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    start = lf + 1;
  }
  return out;
}

inline void add_field(const std::string& line, Fields& record) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  const std::string key = trim(line.substr(0, colon));
  if (!key.empty()) record[key] = trim(line.substr(colon + 1));
}

inline Records marl(const std::string& text) {
  Records out;
  Fields record;
  for (const std::string& line : lines(text)) {
    const std::string rest = trim_start(line);
    if (rest.empty()) continue;
    add_field(rest, record);
    if (rest.size() == line.size() && !record.empty()) out.push_back(std::exchange(record, {}));
  }
  if (!record.empty()) out.push_back(record);
  return out;
}

inline Records compact(const std::string& text) {
  Records out;
  Fields record;
  for (const std::string& line : lines(text)) {
    const std::string trimmed = trim(line);
    if (trimmed.empty()) {
      if (!record.empty()) out.push_back(std::exchange(record, {}));
      continue;
    }
    add_field(trimmed, record);
  }
  if (!record.empty()) out.push_back(record);
  return out;
}

}  // namespace reference

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

// One model of the reading rules and one decoder of the binary encoding,
// shared by the C++ tests and the fuzz targets.  Written from the rules and
// as plainly as possible (the text decoded to code points, one character
// at a time), sharing no code with the core, so that tests and fuzzers
// compare the core against a second implementation, not against itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marlet_reference {

// A record as its fields by key; a list of them in document order.
using Fields = std::map<std::string, std::string>;
using Records = std::vector<Fields>;

// ---------------------------------------------------------------------------
// UTF-8, decoded one code point at a time (RFC 3629).

// Decodes the character at s[i]; returns its length and stores the code
// point, or returns 0 when the bytes there are not a well-formed character.
inline std::size_t decode_one(std::string_view s, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xe0) == 0xc0) {
    len = 2, cp = b0 & 0x1f, min = 0x80;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3, cp = b0 & 0x0f, min = 0x800;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;  // a continuation byte, or F8..FF
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3f);
  }
  if (cp < min) return 0;                     // overlong
  if (cp >= 0xd800 && cp <= 0xdfff) return 0;  // surrogate
  if (cp > 0x10ffff) return 0;
  return len;
}

inline bool valid_utf8(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = decode_one(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Only for text already known to be valid.
inline std::u32string decode(std::string_view s) {
  std::u32string out;
  char32_t cp = 0;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = decode_one(s, i, cp);
    if (n == 0) {
      std::fprintf(stderr, "reference decode() on invalid UTF-8\n");
      std::abort();
    }
    out.push_back(cp);
    i += n;
  }
  return out;
}

inline void encode_to(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

inline std::string encode(std::u32string_view s) {
  std::string out;
  for (char32_t cp : s) encode_to(cp, out);
  return out;
}

// ---------------------------------------------------------------------------
// The two text formats, read the slow way.

// The Unicode White_Space property.
inline bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
         c == 0x3000;
}

inline std::u32string_view ltrim(std::u32string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  return s;
}
inline std::u32string_view rtrim(std::u32string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}
inline std::u32string_view both_trim(std::u32string_view s) { return rtrim(ltrim(s)); }

// Cut after each line feed; drop the line feed and one carriage return
// directly before it.  No empty line after a final line feed.
inline std::vector<std::u32string> lines_of(std::string_view text) {
  std::vector<std::u32string> lines;
  const std::u32string all = decode(text);
  std::u32string line;
  for (char32_t c : all) {
    if (c == U'\n') {
      if (!line.empty() && line.back() == U'\r') line.pop_back();
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  if (!all.empty() && all.back() != U'\n') lines.push_back(std::move(line));
  return lines;
}

// A field of a line (already trimmed on the left), or nothing.
inline std::optional<std::pair<std::string, std::string>> field_of(std::u32string_view line) {
  const std::size_t colon = line.find(U':');
  if (colon == std::u32string_view::npos) return std::nullopt;
  std::u32string_view key = both_trim(line.substr(0, colon));
  if (key.empty()) return std::nullopt;
  return std::make_pair(encode(key), encode(both_trim(line.substr(colon + 1))));
}

inline std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  for (const std::u32string& line : lines_of(text)) out.push_back(encode(line));
  return out;
}

inline std::string trim(std::string_view s) { return encode(both_trim(decode(s))); }

// The .marl rules: blank lines are invisible; a line that does not begin
// with whitespace closes the record after its own field went in.
inline Records marl(std::string_view text) {
  Records out;
  Fields current;
  for (const std::u32string& line : lines_of(text)) {
    if (ltrim(line).empty()) continue;
    if (auto f = field_of(ltrim(line))) current.insert_or_assign(std::move(f->first), std::move(f->second));
    if (!is_space(line.front()) && !current.empty()) out.push_back(std::exchange(current, {}));
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

// The .marlc rules: a blank line closes the record; indentation means nothing.
inline Records compact(std::string_view text) {
  Records out;
  Fields current;
  for (const std::u32string& line : lines_of(text)) {
    const std::u32string_view t = both_trim(line);
    if (t.empty()) {
      if (!current.empty()) out.push_back(std::exchange(current, {}));
      continue;
    }
    if (auto f = field_of(t)) current.insert_or_assign(std::move(f->first), std::move(f->second));
  }
  if (!current.empty()) out.push_back(std::move(current));
  return out;
}

// ---------------------------------------------------------------------------
// The binary encoding, read back: nullopt unless every count and length
// lines up exactly with the buffer's end and no record repeats a key.
inline std::optional<Records> decode_binary(const std::uint8_t* data, std::size_t size) {
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

}  // namespace marlet_reference

// Helpers shared by the fuzz targets: a canonical form of record lists that
// ignores field order, a mismatch check that aborts, and small reference
// models of the readers, written independently of the core and as plainly
// as possible (code point by code point), so the targets can compare the
// core against a second implementation rather than only against itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

// A record as its fields sorted by key; a list of them in document order.
using Fields = std::vector<std::pair<std::string, std::string>>;
using Canon = std::vector<Fields>;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline void sort_fields(Fields& fields) { std::sort(fields.begin(), fields.end()); }

// Canonical form of any core record list (owned or borrowed).  Also checks
// that the record's size matches what it yields and that no key repeats.
template <class List>
Canon canon(const List& records) {
  Canon out;
  out.reserve(records.size());
  for (const auto& record : records) {
    Fields fields;
    record.for_each([&](std::string_view k, std::string_view v) { fields.emplace_back(k, v); });
    check(fields.size() == record.size(), "record size differs from the fields it yields");
    sort_fields(fields);
    for (std::size_t i = 1; i < fields.size(); ++i)
      check(fields[i - 1].first != fields[i].first, "a key occurs twice in one record");
    out.push_back(std::move(fields));
  }
  return out;
}

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

inline bool reference_valid_utf8(std::string_view s) {
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
    check(n != 0, "decode() on invalid UTF-8");
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

// A record being built: later values replace earlier ones.
struct RefRecord {
  Fields fields;
  void put(std::pair<std::string, std::string> f) {
    for (auto& existing : fields)
      if (existing.first == f.first) {
        existing.second = std::move(f.second);
        return;
      }
    fields.push_back(std::move(f));
  }
  void close_into(Canon& out) {
    if (fields.empty()) return;
    sort_fields(fields);
    out.push_back(std::move(fields));
    fields.clear();
  }
};

inline Canon reference_marl(std::string_view text) {
  Canon out;
  RefRecord current;
  for (const std::u32string& line : lines_of(text)) {
    if (ltrim(line).empty()) continue;  // blank: invisible
    if (auto f = field_of(ltrim(line))) current.put(std::move(*f));
    if (!is_space(line.front())) current.close_into(out);
  }
  current.close_into(out);
  return out;
}

inline Canon reference_compact(std::string_view text) {
  Canon out;
  RefRecord current;
  for (const std::u32string& line : lines_of(text)) {
    std::u32string_view t = both_trim(line);
    if (t.empty()) {
      current.close_into(out);
      continue;
    }
    if (auto f = field_of(t)) current.put(std::move(*f));
  }
  current.close_into(out);
  return out;
}

// ---------------------------------------------------------------------------
// The JSON form, read the slow way: a general RFC 8259 value parser, then a
// check that the value has the one accepted shape.

struct JsonValue {
  enum Kind { kString, kArray, kObject, kOther } kind = kOther;
  std::string text;  // kString: decoded UTF-8
  std::vector<JsonValue> items;           // kArray: the elements; kObject: the member values
  std::vector<std::string> member_keys;  // kObject: the member names, decoded
};

class RefJson {
 public:
  explicit RefJson(std::u32string_view s) : s_(s) {}

  std::optional<JsonValue> document() {
    ws();
    auto v = value(0);
    if (!v) return std::nullopt;
    ws();
    if (i_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  char32_t peek() const { return i_ < s_.size() ? s_[i_] : char32_t{0xffffffff}; }
  bool take(char32_t c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  void ws() {
    while (peek() == U' ' || peek() == U'\t' || peek() == U'\n' || peek() == U'\r') ++i_;
  }
  bool literal(std::u32string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  std::optional<JsonValue> value(int depth) {
    if (depth > 64) return std::nullopt;  // deeper than the shape ever needs
    JsonValue v;
    const char32_t c = peek();
    if (c == U'"') {
      v.kind = JsonValue::kString;
      if (!string(v.text)) return std::nullopt;
    } else if (c == U'[') {
      ++i_;
      v.kind = JsonValue::kArray;
      ws();
      if (!take(U']')) {
        for (;;) {
          ws();
          auto item = value(depth + 1);
          if (!item) return std::nullopt;
          v.items.push_back(std::move(*item));
          ws();
          if (take(U']')) break;
          if (!take(U',')) return std::nullopt;
        }
      }
    } else if (c == U'{') {
      ++i_;
      v.kind = JsonValue::kObject;
      ws();
      if (!take(U'}')) {
        for (;;) {
          ws();
          std::string key;
          if (peek() != U'"' || !string(key)) return std::nullopt;
          ws();
          if (!take(U':')) return std::nullopt;
          ws();
          auto member = value(depth + 1);
          if (!member) return std::nullopt;
          v.member_keys.push_back(std::move(key));
          v.items.push_back(std::move(*member));
          ws();
          if (take(U'}')) break;
          if (!take(U',')) return std::nullopt;
        }
      }
    } else if (literal(U"true") || literal(U"false") || literal(U"null")) {
      v.kind = JsonValue::kOther;
    } else if (number()) {
      v.kind = JsonValue::kOther;
    } else {
      return std::nullopt;
    }
    return v;
  }

  static bool digit(char32_t c) { return c >= U'0' && c <= U'9'; }
  bool number() {
    const std::size_t start = i_;
    take(U'-');
    if (take(U'0')) {
    } else if (digit(peek()) && peek() != U'0') {
      while (digit(peek())) ++i_;
    } else {
      i_ = start;
      return false;
    }
    if (take(U'.')) {
      if (!digit(peek())) return false;
      while (digit(peek())) ++i_;
    }
    if (take(U'e') || take(U'E')) {
      if (!take(U'+')) take(U'-');
      if (!digit(peek())) return false;
      while (digit(peek())) ++i_;
    }
    return true;
  }

  std::optional<std::uint32_t> hex4() {
    if (s_.size() - i_ < 4) return std::nullopt;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char32_t c = s_[i_++];
      std::uint32_t d;
      if (c >= U'0' && c <= U'9') d = static_cast<std::uint32_t>(c - U'0');
      else if (c >= U'a' && c <= U'f') d = static_cast<std::uint32_t>(c - U'a') + 10;
      else if (c >= U'A' && c <= U'F') d = static_cast<std::uint32_t>(c - U'A') + 10;
      else return std::nullopt;
      v = v * 16 + d;
    }
    return v;
  }

  bool string(std::string& out) {
    if (!take(U'"')) return false;
    std::u32string decoded;
    for (;;) {
      if (i_ >= s_.size()) return false;
      const char32_t c = s_[i_++];
      if (c == U'"') break;
      if (c < 0x20) return false;
      if (c != U'\\') {
        decoded.push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char32_t e = s_[i_++];
      switch (e) {
        case U'"': decoded.push_back(U'"'); break;
        case U'\\': decoded.push_back(U'\\'); break;
        case U'/': decoded.push_back(U'/'); break;
        case U'b': decoded.push_back(U'\b'); break;
        case U'f': decoded.push_back(U'\f'); break;
        case U'n': decoded.push_back(U'\n'); break;
        case U'r': decoded.push_back(U'\r'); break;
        case U't': decoded.push_back(U'\t'); break;
        case U'u': {
          auto hi = hex4();
          if (!hi) return false;
          if (*hi >= 0xdc00 && *hi <= 0xdfff) return false;
          if (*hi >= 0xd800 && *hi <= 0xdbff) {
            if (!take(U'\\') || !take(U'u')) return false;
            auto lo = hex4();
            if (!lo || *lo < 0xdc00 || *lo > 0xdfff) return false;
            decoded.push_back(static_cast<char32_t>(0x10000 + ((*hi - 0xd800) << 10) + (*lo - 0xdc00)));
          } else {
            decoded.push_back(static_cast<char32_t>(*hi));
          }
          break;
        }
        default: return false;
      }
    }
    out = encode(decoded);
    return true;
  }

  std::u32string_view s_;
  std::size_t i_ = 0;
};

// The records of a JSON form text (valid UTF-8), or nothing if it must be
// rejected.
inline std::optional<Canon> reference_json(std::string_view text) {
  const std::u32string s = decode(text);
  RefJson parser(s);
  auto doc = parser.document();
  if (!doc || doc->kind != JsonValue::kArray) return std::nullopt;
  Canon out;
  for (JsonValue& item : doc->items) {
    if (item.kind != JsonValue::kObject) return std::nullopt;
    RefRecord record;
    for (std::size_t m = 0; m < item.items.size(); ++m) {
      if (item.items[m].kind != JsonValue::kString) return std::nullopt;
      record.put({std::move(item.member_keys[m]), std::move(item.items[m].text)});
    }
    sort_fields(record.fields);
    out.push_back(std::move(record.fields));  // empty objects stay
  }
  return out;
}

// The records of a binary encoding, checking that its counts and lengths
// account for every byte exactly.
inline Canon decode_binary(const std::uint8_t* p, std::size_t n) {
  std::size_t at = 0;
  auto u32 = [&]() -> std::size_t {
    check(n - at >= 4, "binary encoding ends inside a count or length");
    const std::size_t v = std::size_t{p[at]} | std::size_t{p[at + 1]} << 8 | std::size_t{p[at + 2]} << 16 |
                          std::size_t{p[at + 3]} << 24;
    at += 4;
    return v;
  };
  auto bytes = [&](std::size_t len) {
    check(n - at >= len, "binary encoding ends inside a key or value");
    std::string s(reinterpret_cast<const char*>(p + at), len);
    at += len;
    return s;
  };
  Canon out;
  const std::size_t records = u32();
  for (std::size_t r = 0; r < records; ++r) {
    Fields fields;
    const std::size_t count = u32();
    for (std::size_t f = 0; f < count; ++f) {
      std::string key = bytes(u32());
      std::string value = bytes(u32());
      fields.emplace_back(std::move(key), std::move(value));
    }
    sort_fields(fields);
    for (std::size_t i = 1; i < fields.size(); ++i)
      check(fields[i - 1].first != fields[i].first, "a key occurs twice in one binary record");
    out.push_back(std::move(fields));
  }
  check(at == n, "binary encoding has bytes after its last record");
  return out;
}

// Invariants of every record list read from .marl or .marlc text.
inline void check_text_invariants(const Canon& records) {
  for (const Fields& fields : records) {
    check(!fields.empty(), "a text reader yielded an empty record");
    for (const auto& [key, value] : fields) {
      check(!key.empty(), "a text reader yielded an empty key");
      check(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
            "a key or value holds a line feed");
      check(key.find(':') == std::string::npos, "a key holds a colon");
      for (const std::string* s : {&key, &value}) {
        const std::u32string cps = decode(*s);
        check(cps.empty() || (!is_space(cps.front()) && !is_space(cps.back())),
              "a key or value begins or ends with whitespace");
      }
    }
  }
}

}  // namespace fuzz

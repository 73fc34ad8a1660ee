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

#include "reference.hpp"

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
// The shared reference model (tests/common/reference.hpp), in canonical form.

using marlet_reference::decode;
using marlet_reference::encode;
using marlet_reference::encode_to;
using marlet_reference::is_space;

inline bool reference_valid_utf8(std::string_view s) { return marlet_reference::valid_utf8(s); }

inline Canon to_canon(const marlet_reference::Records& records) {
  Canon out;
  for (const auto& fields : records) out.emplace_back(fields.begin(), fields.end());
  return out;
}

inline Canon reference_marl(std::string_view text) { return to_canon(marlet_reference::marl(text)); }
inline Canon reference_compact(std::string_view text) { return to_canon(marlet_reference::compact(text)); }

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
    marlet_reference::Fields record;  // a later member replaces an earlier one with its key
    for (std::size_t m = 0; m < item.items.size(); ++m) {
      if (item.items[m].kind != JsonValue::kString) return std::nullopt;
      record.insert_or_assign(std::move(item.member_keys[m]), std::move(item.items[m].text));
    }
    out.emplace_back(record.begin(), record.end());  // empty objects stay
  }
  return out;
}

// The records of a binary encoding, whose counts and lengths must account
// for every byte exactly.
inline Canon decode_binary(const std::uint8_t* p, std::size_t n) {
  const auto records = marlet_reference::decode_binary(p, n);
  check(records.has_value(), "binary encoding malformed (counts, lengths or a repeated key)");
  return to_canon(*records);
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

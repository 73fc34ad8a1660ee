// Helpers shared by the fuzz targets: a canonical form of record lists that
// ignores field order, a mismatch check that aborts, and the shared reference
// readers (tests/common) in that form, written independently of the core, so
// the targets can compare the core against a second implementation rather
// than only against itself.
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

#include "json_reference.hpp"
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
// The shared reference readers (tests/common), in canonical form.

using marlet_reference::decode;
using marlet_reference::is_space;

inline bool reference_valid_utf8(std::string_view s) { return marlet_reference::valid_utf8(s); }

inline Canon to_canon(const marlet_reference::Records& records) {
  Canon out;
  for (const auto& fields : records) out.emplace_back(fields.begin(), fields.end());
  return out;
}

inline Canon reference_marl(std::string_view text) { return to_canon(marlet_reference::marl(text)); }
inline Canon reference_compact(std::string_view text) { return to_canon(marlet_reference::compact(text)); }

// The records of a JSON form text, or nothing if it must be rejected.
inline std::optional<Canon> reference_json(std::string_view text) {
  const auto records = marlet_reference::from_json(text);
  if (!records) return std::nullopt;
  return to_canon(*records);
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

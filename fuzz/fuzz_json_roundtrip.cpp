// The JSON form: whatever records the readers produce survive write_json
// then read_json unchanged, the written text never holds a byte below 0x20,
// and read_json accepts exactly what a plain RFC 8259 parser with a shape
// check accepts, yielding the same records.
//
// The input is used three ways: as .marl text, as .marlc text, and as JSON.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compact.hpp"
#include "fuzz_support.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "utf8.hpp"

namespace {

// Byte length of the JSON form of `records`, which does not depend on the
// order of the fields.
std::size_t escaped_size(std::string_view s) {
  std::size_t n = 2;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') n += 2;
    else if (c < 0x20) n += 6;
    else n += 1;
  }
  return n;
}

std::size_t json_size(const fuzz::Canon& records) {
  std::size_t n = 2 + (records.empty() ? 0 : records.size() - 1);
  for (const fuzz::Fields& fields : records) {
    n += 2 + (fields.empty() ? 0 : fields.size() - 1);
    for (const auto& [key, value] : fields) n += escaped_size(key) + 1 + escaped_size(value);
  }
  return n;
}

// The exact JSON form when no record has two fields (so no order to vary).
std::string expected_json(const fuzz::Canon& records) {
  std::string out = "[";
  auto str = [&](const std::string& s) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (char ch : s) {
      const auto c = static_cast<unsigned char>(ch);
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
          if (c < 0x20) {
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xf]);
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
    }
    out.push_back('"');
  };
  for (std::size_t r = 0; r < records.size(); ++r) {
    if (r != 0) out.push_back(',');
    out.push_back('{');
    for (std::size_t f = 0; f < records[r].size(); ++f) {
      if (f != 0) out.push_back(',');
      str(records[r][f].first);
      out.push_back(':');
      str(records[r][f].second);
    }
    out.push_back('}');
  }
  out.push_back(']');
  return out;
}

// Checks one written JSON text against the records it was written from.
void check_written(std::string_view json, const fuzz::Canon& records) {
  for (char c : json) fuzz::check(static_cast<unsigned char>(c) >= 0x20, "the JSON form holds a byte below 0x20");
  fuzz::check(marlet_core::is_valid_utf8(json), "the JSON form is not valid UTF-8");
  fuzz::check(json.size() == json_size(records), "the JSON form has the wrong length");
  bool one_field_each = true;
  for (const fuzz::Fields& f : records) one_field_each = one_field_each && f.size() <= 1;
  if (one_field_each) fuzz::check(json == expected_json(records), "the JSON form differs from the expected bytes");

  marlet_core::JsonResult back = marlet_core::read_json(json);
  fuzz::check(back.ok(), "read_json rejected the writer's output");
  fuzz::check(fuzz::canon(back.value()) == records, "read_json(write_json(records)) changed the records");
}

template <class List>
void round_trip(const List& list) {
  marlet_core::Buffer out;
  marlet_core::write_json(list, out);
  check_written(out.view(), fuzz::canon(list));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!marlet_core::is_valid_utf8(text)) return 0;

  // As .marl and .marlc text.
  round_trip(marlet_core::parse_marl_fast(text));
  round_trip(marlet_core::parse_marl_fast_borrowed(text));
  round_trip(marlet_core::compact::parse_marl_compact(text));
  const marlet_core::Buffer direct = marlet_core::parse_marl_to_json(text);
  check_written(direct.view(), fuzz::canon(marlet_core::parse_marl_fast(text)));

  // As JSON.
  marlet_core::JsonResult read = marlet_core::read_json(text);
  const auto expected = fuzz::reference_json(text);
  fuzz::check(read.ok() == expected.has_value(), "read_json and the reference parser disagree on acceptance");
  if (read.ok()) {
    fuzz::check(fuzz::canon(read.value()) == *expected, "read_json and the reference parser read different records");
    round_trip(read.value());
  }
  return 0;
}

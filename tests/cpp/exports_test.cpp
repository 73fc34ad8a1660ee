// The six exported functions, called through libmarlet.so.
#include "marlet.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using marlet_test::from_binary;
using marlet_test::from_json;
using marlet_test::hex;
using marlet_test::Records;

using StringExport = char* (*)(const char*, size_t);

// Calls an export on an exact-size heap copy of `input`, so that a read past
// the range shows up under the address sanitizer, and releases the result.
std::optional<std::string> call(StringExport fn, const std::string& input) {
  static const char kEmpty = 'x';
  std::vector<char> copy(input.begin(), input.end());
  char* out = fn(copy.empty() ? &kEmpty : copy.data(), copy.size());
  if (out == nullptr) return std::nullopt;
  std::string result(out);
  marlet_free_string(out);
  return result;
}

struct Binary {
  int ok;
  std::string bytes;
};

Binary call_binary(const std::string& input) {
  static const char kEmpty = 'x';
  std::vector<char> copy(input.begin(), input.end());
  std::uint8_t* buffer = nullptr;
  size_t length = 0;
  const int ok = marlet_parse_binary(copy.empty() ? &kEmpty : copy.data(), copy.size(), &buffer, &length);
  Binary b{ok, std::string(reinterpret_cast<const char*>(buffer), length)};
  marlet_free_buffer(buffer, length);
  return b;
}

Records records_of_json(const std::optional<std::string>& json) {
  EXPECT_TRUE(json.has_value());
  if (!json) return {};
  auto records = from_json(*json);
  EXPECT_TRUE(records.has_value()) << *json;
  for (char c : *json) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << *json;
  return records.value_or(Records{});
}

// ---------------------------------------------------------------------------
// Valid input: each export against the test's own model of the readers.

struct TextCase {
  std::string text;
  Records marl;
  Records compact;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << hex(c.text); }

class ReadExportsTest : public testing::TestWithParam<TextCase> {};

TEST_P(ReadExportsTest, ParseBinaryAndCompactGiveTheRecords) {
  const TextCase& c = GetParam();
  EXPECT_EQ(records_of_json(call(marlet_parse, c.text)), c.marl);
  EXPECT_EQ(records_of_json(call(marlet_parse_compact, c.text)), c.compact);
  const Binary b = call_binary(c.text);
  EXPECT_EQ(b.ok, 1);
  EXPECT_EQ(from_binary(reinterpret_cast<const std::uint8_t*>(b.bytes.data()), b.bytes.size()), c.marl);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadExportsTest,
    testing::Values(
        TextCase{"", {}, {}}, TextCase{"\n \n\t\r\n", {}, {}},
        TextCase{"a: 1\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}, {{{"a", "1"}, {"b", "2"}}}},
        TextCase{"  x: 1\nid: 7\n  y: 2", {{{"x", "1"}, {"id", "7"}}, {{"y", "2"}}}, {{{"x", "1"}, {"id", "7"}, {"y", "2"}}}},
        TextCase{"  a: 1\n\n  b: 2\n", {{{"a", "1"}, {"b", "2"}}}, {{{"a", "1"}}, {{"b", "2"}}}},
        TextCase{"k: a\0b"s, {{{"k", "a\0b"s}}}, {{{"k", "a\0b"s}}}},
        TextCase{"\xef\xbb\xbfk: v", {{{"\xef\xbb\xbfk", "v"}}}, {{{"\xef\xbb\xbfk", "v"}}}},
        TextCase{"a: 1\rb: 2", {{{"a", "1\rb: 2"}}}, {{{"a", "1\rb: 2"}}}},
        TextCase{"q: \"\\/\x01\x1f\x7f\xe2\x80\xa8!", {{{"q", "\"\\/\x01\x1f\x7f\xe2\x80\xa8!"}}},
                 {{{"q", "\"\\/\x01\x1f\x7f\xe2\x80\xa8!"}}}}));

TEST(Parse, ExactText) {
  EXPECT_EQ(call(marlet_parse, "a: 1\nb: 2"), R"([{"a":"1"},{"b":"2"}])");
  EXPECT_EQ(call(marlet_parse, ""), "[]");
  EXPECT_EQ(call(marlet_parse, "k: a\t\x0b\x1f\0/\x7f\xc3\xa9!"s),
            "[{\"k\":\"a\\t\\u000b\\u001f\\u0000/\x7f\xc3\xa9!\"}]");
  EXPECT_EQ(call(marlet_parse_compact, ""), "[]");
  EXPECT_EQ(call(marlet_parse_compact, "a:1\n\nb:2"), R"([{"a":"1"},{"b":"2"}])");
}

// Only `length` bytes are read: what follows the range does not count.
TEST(Parse, ReadsOnlyTheRange) {
  const std::string text = "a: 1\nb: 2\xff";
  char* out = marlet_parse(text.data(), 4);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, R"([{"a":"1"}])");
  marlet_free_string(out);
  out = marlet_parse_compact(text.data(), text.size() - 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(from_json(out), (Records{{{"a", "1"}, {"b", "2"}}}));
  marlet_free_string(out);
}

TEST(ParseBinary, WorkedBytes) {
  Binary b = call_binary("color: red");
  EXPECT_EQ(b.ok, 1);
  EXPECT_EQ(hex(b.bytes), "01 00 00 00 01 00 00 00 05 00 00 00 63 6f 6c 6f 72 03 00 00 00 72 65 64");
  for (const std::string text : {"", "\n\n", " \t\r\n\xe3\x80\x80\n", "no colon", ": v"}) {
    SCOPED_TRACE(hex(text));
    b = call_binary(text);
    EXPECT_EQ(b.ok, 1);
    EXPECT_EQ(hex(b.bytes), "00 00 00 00");
  }
}

TEST(WriteCompact, Outputs) {
  EXPECT_EQ(call(marlet_write_compact, "[]"), "");
  EXPECT_EQ(call(marlet_write_compact, " [\n] "), "");
  EXPECT_EQ(call(marlet_write_compact, "[{}]"), "\n");
  EXPECT_EQ(call(marlet_write_compact, R"([{"a":"1"},{"b":"x\\y"}])"), "a:1\n\nb:x\\y\n\n");
  EXPECT_EQ(call(marlet_write_compact, R"([{"k":"\u0001\t\r\n\u001f"}])"), "k:\x01\t\r\n\x1f\n\n");
  EXPECT_EQ(call(marlet_write_compact, R"([{"\ud83d\ude00":"\u00e9"}])"), "\xf0\x9f\x98\x80:\xc3\xa9\n\n");
  const auto two = call(marlet_write_compact, R"([{"a":"1","b":"2"}])");
  EXPECT_TRUE(two == "a:1\nb:2\n\n" || two == "b:2\na:1\n\n");
}

// The three readers agree with the test's model on random texts, and what
// marlet_parse_compact returns writes back to text that reads the same.
TEST(Exports, AgreeWithModelOnRandomTexts) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = marlet_test::random_text(rng, rng() % 40);
    SCOPED_TRACE(hex(text));
    const Records marl = marlet_test::reference::marl(text);
    const Records compact = marlet_test::reference::compact(text);
    ASSERT_EQ(records_of_json(call(marlet_parse, text)), marl);
    const Binary b = call_binary(text);
    ASSERT_EQ(from_binary(reinterpret_cast<const std::uint8_t*>(b.bytes.data()), b.bytes.size()), marl);
    const auto json = call(marlet_parse_compact, text);
    ASSERT_EQ(records_of_json(json), compact);
    const auto written = call(marlet_write_compact, *json);
    if (json->find("\\u0000") != std::string::npos) {
      ASSERT_EQ(written, std::nullopt);
    } else {
      ASSERT_TRUE(written.has_value());
      ASSERT_EQ(marlet_test::reference::compact(*written), compact);
    }
  }
}

// ---------------------------------------------------------------------------
// Failures: null, nothing written, nothing left allocated.

std::uint8_t* const kSentinelBuffer = reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x5eed});
constexpr size_t kSentinelLength = 0xdeadbeef;

void expect_binary_fails(const char* text, size_t length) {
  std::uint8_t* buffer = kSentinelBuffer;
  size_t out_length = kSentinelLength;
  EXPECT_EQ(marlet_parse_binary(text, length, &buffer, &out_length), 0);
  EXPECT_EQ(buffer, kSentinelBuffer);
  EXPECT_EQ(out_length, kSentinelLength);
}

TEST(BadInput, NullPointers) {
  for (size_t length : {size_t{0}, size_t{5}}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(marlet_parse(nullptr, length), nullptr);
    EXPECT_EQ(marlet_parse_compact(nullptr, length), nullptr);
    EXPECT_EQ(marlet_write_compact(nullptr, length), nullptr);
    expect_binary_fails(nullptr, length);
  }
  // Either out-parameter null: the other keeps its value, even for valid input.
  std::uint8_t* buffer = kSentinelBuffer;
  size_t length = kSentinelLength;
  EXPECT_EQ(marlet_parse_binary("a: 1", 4, nullptr, &length), 0);
  EXPECT_EQ(length, kSentinelLength);
  EXPECT_EQ(marlet_parse_binary("a: 1", 4, &buffer, nullptr), 0);
  EXPECT_EQ(buffer, kSentinelBuffer);

  marlet_free_string(nullptr);
  marlet_free_buffer(nullptr, 0);
  marlet_free_buffer(nullptr, 16);
  std::uint8_t stack[4] = {};  // length 0 releases nothing, whatever the pointer
  marlet_free_buffer(stack, 0);
}

TEST(BadInput, IllFormedUtf8FailsEveryExport) {
  std::string long_valid;
  for (int i = 0; i < 300; ++i) long_valid += "  key " + std::to_string(i) + ": v\xc3\xa9\n";
  for (const std::string& text :
       {"a: 1\n\xff"s, "\xff"s, "k: \xc0\x80"s, "k: \xed\xa0\x80"s, "k: \xf4\x90\x80\x80"s, "\x80: v"s, "k: \xe2\x82"s,
        "k: \xf0\x9f\x98"s, "[{\"a\":\"\xff\"}]"s, "[{\"\xc3\":\"a\"}]"s, long_valid + "\xff", "\xfe" + long_valid,
        long_valid.substr(0, 2000) + "\xe0\x9f\xbf" + long_valid}) {
    SCOPED_TRACE(hex(text.substr(0, 40)));
    EXPECT_EQ(call(marlet_parse, text), std::nullopt);
    EXPECT_EQ(call(marlet_parse_compact, text), std::nullopt);
    EXPECT_EQ(call(marlet_write_compact, text), std::nullopt);
    std::vector<char> copy(text.begin(), text.end());
    expect_binary_fails(copy.data(), copy.size());
  }
  ASSERT_TRUE(call(marlet_parse, long_valid).has_value());
}

TEST(BadInput, WriteCompactRejects) {
  for (const std::string json :
       {"", " ", "{}", "[", "[{\"a\":1}]", R"([{"a":null}])", R"([{"a":["x"]}])", R"(["a"])", R"([{"a":"1"},])",
        R"([{"a":"1",}])", R"([{"a":"1"}] x)", "\xef\xbb\xbf[]", R"([{"a":"\ud83d"}])", R"([{"a":"\ude00"}])",
        R"([{"a":"\ud83dx"}])", "[{\"a\":\"x\ty\"}]",
        // A NUL in a key or value cannot travel in a NUL-terminated result.
        R"([{"a":"\u0000"}])", R"([{"\u0000":"a"}])", R"([{"a":"b"},{"c":"d\u0000e"}])"}) {
    SCOPED_TRACE(json);
    EXPECT_EQ(call(marlet_write_compact, json), std::nullopt);
  }
}

// ---------------------------------------------------------------------------
// The public JSON conformance corpus through marlet_write_compact.

#ifndef MARLET_CONFORMANCE_DIR
#define MARLET_CONFORMANCE_DIR ""
#endif

// Every i_ file, decided by the reader's rules.  All of them are rejected:
// none is an array of objects with string values, and several are also not
// well-formed UTF-8 or hold a lone surrogate escape.
const std::map<std::string, bool>& implementation_defined_verdicts() {
  static const std::map<std::string, bool> verdicts = {
      // Numbers: the shape allows none.
      {"i_number_double_huge_neg_exp.json", false},
      {"i_number_huge_exp.json", false},
      {"i_number_neg_int_huge_exp.json", false},
      {"i_number_pos_double_huge_exp.json", false},
      {"i_number_real_neg_overflow.json", false},
      {"i_number_real_pos_overflow.json", false},
      {"i_number_real_underflow.json", false},
      {"i_number_too_big_neg_int.json", false},
      {"i_number_too_big_pos_int.json", false},
      {"i_number_very_big_negative_int.json", false},
      // Lone or broken surrogate escapes (and a top-level object or array of strings).
      {"i_object_key_lone_2nd_surrogate.json", false},
      {"i_string_1st_surrogate_but_2nd_missing.json", false},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", false},
      {"i_string_incomplete_surrogate_and_escape_valid.json", false},
      {"i_string_incomplete_surrogate_pair.json", false},
      {"i_string_incomplete_surrogates_escape_valid.json", false},
      {"i_string_invalid_lonely_surrogate.json", false},
      {"i_string_invalid_surrogate.json", false},
      {"i_string_inverted_surrogates_U+1D11E.json", false},
      {"i_string_lone_second_surrogate.json", false},
      // Not well-formed UTF-8: the front end's check rejects them first.
      {"i_string_UTF-16LE_with_BOM.json", false},
      {"i_string_UTF-8_invalid_sequence.json", false},
      {"i_string_UTF8_surrogate_U+D800.json", false},
      {"i_string_invalid_utf-8.json", false},
      {"i_string_iso_latin_1.json", false},
      {"i_string_lone_utf8_continuation_byte.json", false},
      {"i_string_not_in_unicode_range.json", false},
      {"i_string_overlong_sequence_2_bytes.json", false},
      {"i_string_overlong_sequence_6_bytes.json", false},
      {"i_string_overlong_sequence_6_bytes_null.json", false},
      {"i_string_truncated-utf-8.json", false},
      // UTF-16 without a mark: NUL bytes, and arrays of strings besides.
      {"i_string_utf16BE_no_BOM.json", false},
      {"i_string_utf16LE_no_BOM.json", false},
      // Nested arrays, and a byte-order mark before an object.
      {"i_structure_500_nested_arrays.json", false},
      {"i_structure_UTF-8_BOM_empty_object.json", false},
  };
  return verdicts;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Conformance, JsonTestSuite) {
  const std::filesystem::path dir = MARLET_CONFORMANCE_DIR;
  if (dir.empty() || !std::filesystem::is_directory(dir))
    GTEST_SKIP() << "SKIPPED: no JSONTestSuite corpus at " << dir << " (configure with -DMARLET_CONFORMANCE_DIR)";
  std::map<char, int> seen;
  int accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const std::string json = read_file(entry.path());
    SCOPED_TRACE(name);
    const auto out = call(marlet_write_compact, json);
    ++seen[name[0]];
    accepted += out.has_value();
    if (name[0] == 'n') {
      EXPECT_EQ(out, std::nullopt);
    } else if (name[0] == 'y') {
      simdjson::dom::parser parser;
      ASSERT_EQ(parser.parse(simdjson::padded_string(json)).error(), simdjson::SUCCESS) << "simdjson refuses it";
      // Accepted exactly when it has the shape and no key or value holds U+0000.
      const auto records = from_json(json);
      bool expected = records.has_value();
      size_t length = 0;  // of the compact text: key, ':', value, '\n' per field; '\n' per record
      for (const auto& fields : records.value_or(Records{})) {
        length += 1;
        for (const auto& [k, v] : fields) {
          length += k.size() + v.size() + 2;
          if ((k + v).find('\0') != std::string::npos) expected = false;
        }
      }
      EXPECT_EQ(out.has_value(), expected);
      if (out && expected) {
        EXPECT_EQ(out->size(), length);
      }
    } else {
      const auto& verdicts = implementation_defined_verdicts();
      const auto it = verdicts.find(name);
      ASSERT_NE(it, verdicts.end()) << "no verdict listed";
      EXPECT_EQ(out.has_value(), it->second);
    }
  }
  EXPECT_EQ(seen['n'], 188);
  EXPECT_EQ(seen['y'], 95);
  EXPECT_EQ(seen['i'], static_cast<int>(implementation_defined_verdicts().size()));
  EXPECT_EQ(accepted, 2);  // y_array_empty.json and y_structure_whitespace_array.json
}

}  // namespace

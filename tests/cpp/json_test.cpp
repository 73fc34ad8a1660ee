#include "json.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>

#include "test_support.hpp"
#include "utf8.hpp"

namespace {

using namespace std::string_literals;
using marlet_core::Buffer;
using marlet_core::RecordList;
using marlet_test::make_list;
using marlet_test::Records;
using marlet_test::to_maps;

std::string written(const Records& records) {
  Buffer out;
  marlet_core::write_json(make_list<RecordList>(records), out);
  return std::string(out.view());
}

// How the writer must render a single byte inside a JSON string.
std::string expected_escape(unsigned char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: break;
  }
  if (c >= 0x20) return std::string(1, static_cast<char>(c));
  static constexpr char kHex[] = "0123456789abcdef";
  return "\\u00"s + kHex[c >> 4] + kHex[c & 15];
}

TEST(JsonWriter, EveryAsciiByteInKeysAndValues) {
  for (int c = 0; c < 0x80; ++c) {
    const std::string ch(1, static_cast<char>(c));
    const std::string esc = expected_escape(static_cast<unsigned char>(c));
    SCOPED_TRACE(c);
    EXPECT_EQ(written({{{"k", "a" + ch + "b"}}}), "[{\"k\":\"a" + esc + "b\"}]");
    EXPECT_EQ(written({{{ch, ""}}}), "[{\"" + esc + "\":\"\"}]");
  }
}

TEST(JsonWriter, ShapesAndNonAscii) {
  EXPECT_EQ(written({}), "[]");
  EXPECT_EQ(written({{}}), "[{}]");
  EXPECT_EQ(written({{}, {}}), "[{},{}]");
  EXPECT_EQ(written({{{"a", "1"}}, {{"b", "x\\y"}}}), R"([{"a":"1"},{"b":"x\\y"}])");
  EXPECT_EQ(written({{{"", ""}}}), R"([{"":""}])");
  EXPECT_EQ(written({{{"v", "\xc3\xa9 \xe2\x80\xa8 \xe2\x80\xa9 \xf0\x9f\x98\x80 /"}}}),
            "[{\"v\":\"\xc3\xa9 \xe2\x80\xa8 \xe2\x80\xa9 \xf0\x9f\x98\x80 /\"}]");
  EXPECT_EQ(written({{{"q", "\"\"\\\\\x01\x1f"}}}), R"([{"q":"\"\"\\\\\u0001\u001f"}])");
  const std::string two = written({{{"a", "1"}, {"b", "2"}}});
  EXPECT_TRUE(two == R"([{"a":"1","b":"2"}])" || two == R"([{"b":"2","a":"1"}])") << two;
}

TEST(ParseMarlToJson, WritesTheRecordsOfTheText) {
  EXPECT_EQ(marlet_core::parse_marl_to_json("").view(), "[]");
  EXPECT_EQ(marlet_core::parse_marl_to_json("\n \n\t\n").view(), "[]");
  EXPECT_EQ(marlet_core::parse_marl_to_json("a: 1\nb: 2").view(), R"([{"a":"1"},{"b":"2"}])");
  EXPECT_EQ(marlet_core::parse_marl_to_json("k: a\tb\0c"s).view(), R"([{"k":"a\tb\u0000c"}])");
  const Buffer both = marlet_core::parse_marl_to_json("  a: 1\n  b: 2");
  EXPECT_TRUE(both.view() == R"([{"a":"1","b":"2"}])" || both.view() == R"([{"b":"2","a":"1"}])") << both.view();
}

using F = marlet_core::JsonFault;

struct ReadCase {
  std::string json;
  std::optional<Records> records;  // nullopt: rejected
  // Where and why a rejected text went wrong, when the row says: the
  // offending byte, the backslash of a bad escape, or the end of a text cut short.
  std::optional<std::pair<std::size_t, F>> fault = std::nullopt;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << marlet_test::hex(c.json); }

class JsonReaderTest : public testing::TestWithParam<ReadCase> {};

TEST_P(JsonReaderTest, AcceptsExactlyTheShape) {
  const ReadCase& c = GetParam();
  marlet_core::JsonResult result = marlet_core::read_json(c.json);
  ASSERT_EQ(result.ok(), c.records.has_value());
  marlet_core::StringArena arena;
  const marlet_core::BorrowedJsonResult borrowed = marlet_core::read_json_borrowed(c.json, arena);
  ASSERT_EQ(borrowed.ok(), c.records.has_value());
  if (c.records) {
    EXPECT_EQ(to_maps(result.value()), *c.records);
    EXPECT_EQ(to_maps(borrowed.value()), *c.records);
  } else {
    EXPECT_LE(result.error_offset(), c.json.size());
    EXPECT_EQ(borrowed.error_offset(), result.error_offset());
  }
  if (c.fault) {
    EXPECT_EQ(result.error_offset(), c.fault->first);
    EXPECT_EQ(result.fault(), c.fault->second) << marlet_core::message(result.fault());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, JsonReaderTest,
    testing::Values(
        ReadCase{"[]", Records{}}, ReadCase{"  [ ]  ", Records{}}, ReadCase{"[{}]", Records{{}}},
        ReadCase{"\t\r\n [ \n{ \"a\" :\t\"1\" } ,\r{}\n]\n", Records{{{"a", "1"}}, {}}},
        ReadCase{R"([{"a":"1","a":"2"}])", Records{{{"a", "2"}}}},
        ReadCase{R"([{"a":"1","b":"2"},{"a":"3"}])", Records{{{"a", "1"}, {"b", "2"}}, {{"a", "3"}}}},
        ReadCase{R"([{"":""}])", Records{{{"", ""}}}},
        ReadCase{R"([{"k":"\ud83d\ude00"}])", Records{{{"k", "\xf0\x9f\x98\x80"}}}},
        ReadCase{R"([{"k":"\uDBFF\uDFFF\uD800\uDC00"}])", Records{{{"k", "\xf4\x8f\xbf\xbf\xf0\x90\x80\x80"}}}},
        ReadCase{R"([{"k":"\"\\\/\b\f\n\r\t"}])", Records{{{"k", "\"\\/\b\f\n\r\t"}}}},
        ReadCase{R"([{"k":"\u0041\u00e9\u00C9\u20AC\uFFFF\u007f"}])",
                 Records{{{"k", "A\xc3\xa9\xc3\x89\xe2\x82\xac\xef\xbf\xbf\x7f"}}}},
        ReadCase{R"([{"\u0000":"\u0000"}])", Records{{{"\0"s, "\0"s}}}},
        ReadCase{"[{\"\xc3\xa9\":\"\xe6\x97\xa5 \xf0\x9f\x98\x80\x7f\"}]",
                 Records{{{"\xc3\xa9", "\xe6\x97\xa5 \xf0\x9f\x98\x80\x7f"}}}},
        ReadCase{"[{\"a\":\"1\"}]\n", Records{{{"a", "1"}}}},
        // Rejected, from here on.
        ReadCase{"", {}, {{0, F::ended}}}, ReadCase{" \n\t ", {}}, ReadCase{"\xef\xbb\xbf[]", {}},
        ReadCase{R"({"a":"1"})", {}}, ReadCase{R"("a")", {}}, ReadCase{"null", {}}, ReadCase{"1", {}},
        ReadCase{R"([{"a":1}])", {}, {{6, F::not_string}}}, ReadCase{R"([{"a":null}])", {}},
        ReadCase{R"([{"a":true}])", {}}, ReadCase{R"([{"a":false}])", {}}, ReadCase{R"([{"a":["x"]}])", {}},
        ReadCase{R"([{"a":{}}])", {}}, ReadCase{R"(["a"])", {}}, ReadCase{"[[]]", {}}, ReadCase{"[1]", {}},
        ReadCase{"[null]", {}}, ReadCase{R"([{"a":"1"},])", {}, {{11, F::not_record}}}, ReadCase{R"([{"a":"1",}])", {}},
        ReadCase{"[,{}]", {}}, ReadCase{"[{},,{}]", {}}, ReadCase{R"([{,"a":"1"}])", {}},
        ReadCase{R"([{"a":"1",,"b":"2"}])", {}}, ReadCase{"[{} {}]", {}, {{4, F::after_record}}},
        ReadCase{R"([{"a" "1"}])", {}, {{6, F::no_colon}}}, ReadCase{R"([{"a":"1" "b":"2"}])", {}},
        ReadCase{R"([{"a"::"1"}])", {}}, ReadCase{R"([{"a":"1"}] x)", {}, {{12, F::extra}}},
        ReadCase{"[{\"a\":\"1\"}][]", {}}, ReadCase{"[]]", {}}, ReadCase{"[", {}}, ReadCase{"[{", {}},
        ReadCase{R"([{"a")", {}}, ReadCase{R"([{"a":)", {}}, ReadCase{R"([{"a":"1)", {}, {{8, F::ended}}},
        ReadCase{R"([{"a":"1")", {}}, ReadCase{R"([{"a":"1"})", {}},
        ReadCase{"[{\"a\":\"x\ty\"}]", {}, {{8, F::control}}}, ReadCase{"[{\"a\":\"x\ny\"}]", {}},
        ReadCase{"[{\"a\":\"x\0y\"}]"s, {}}, ReadCase{"[{\"a\x1f\":\"\"}]", {}}, ReadCase{R"([{"a":"\ud83d"}])", {}},
        ReadCase{R"([{"a":"\ude00"}])", {}}, ReadCase{R"([{"a":"\ud83dx"}])", {}, {{7, F::surrogate}}},
        ReadCase{R"([{"a":"\ud83d\u0041"}])", {}}, ReadCase{R"([{"a":"\ud83d\ud83d"}])", {}},
        ReadCase{R"([{"a":"\ude00\ud83d"}])", {}}, ReadCase{R"([{"a":"\ud83d\n"}])", {}},
        ReadCase{R"([{"a":"\x41"}])", {}}, ReadCase{R"([{"a":"\U0041"}])", {}}, ReadCase{R"([{"a":"\u12"}])", {}},
        ReadCase{R"([{"a":"\u12G4"}])", {}}, ReadCase{R"([{"a":"\'"}])", {}}, ReadCase{R"([{"a":"\)", {}},
        ReadCase{"[{'a':'1'}]", {}}, ReadCase{R"([{a:"1"}])", {}}, ReadCase{R"([{1:"1"}])", {}, {{2, F::not_key}}},
        ReadCase{"[NaN]", {}}, ReadCase{"[Infinity]", {}}, ReadCase{"/*c*/[]", {}}, ReadCase{"[]//", {}},
        ReadCase{"[{\"a\":\"1\"}]\f", {}}, ReadCase{"\xc2\xa0[]", {}}, ReadCase{"[]\0"s, {}},
        ReadCase{"  x", {}, {{2, F::not_array}}}, ReadCase{R"([{"a":"1" ])", {}, {{10, F::after_member}}},
        ReadCase{R"([{"a":"ok\q"}])", {}, {{9, F::escape}}}, ReadCase{R"([{"a":"\u12)", {}, {{7, F::escape}}}));

// The written text holds no byte below 0x20, and an independent reader,
// the owned reader and the borrowed reader all give back `records`.
void expect_reads_back(const std::string& json, const Records& records) {
  for (char c : json) ASSERT_GE(static_cast<unsigned char>(c), 0x20);
  ASSERT_EQ(marlet_test::from_json(json), records);
  marlet_core::JsonResult back = marlet_core::read_json(json);
  ASSERT_TRUE(back.ok());
  ASSERT_EQ(to_maps(back.value()), records);
  marlet_core::StringArena arena;
  const marlet_core::BorrowedJsonResult borrowed = marlet_core::read_json_borrowed(json, arena);
  ASSERT_TRUE(borrowed.ok());
  ASSERT_EQ(to_maps(borrowed.value()), records);
}

// Random records survive write then read; the writer's output is also what
// an independent JSON parser reads, and never holds a byte below 0x20.
TEST(JsonRoundTrip, WriteThenReadGivesTheSameRecords) {
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    const Records records = marlet_test::random_records(rng);
    const std::string json = written(records);
    SCOPED_TRACE(json);
    ASSERT_TRUE(marlet_core::is_valid_utf8(json));
    expect_reads_back(json, records);
    if (HasFatalFailure()) return;
  }
}

// Long strings: escapes far into a run of plain bytes, and decoded strings
// larger than the borrowed reader's arena blocks.
TEST(JsonRoundTrip, LongStrings) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    Records records(1 + rng() % 3);
    for (auto& fields : records) {
      for (std::size_t f = rng() % 4; f > 0; --f) {
        std::string value(rng() % (round < 150 ? 200 : 40000), 'v');
        for (std::size_t k = rng() % 4; k > 0 && !value.empty(); --k)
          value[rng() % value.size()] = "\x01\x1f\"\\\n\x7f"[rng() % 6];
        fields["key " + std::to_string(f) + value.substr(0, rng() % 50)] = value;
      }
    }
    const std::string json = written(records);
    expect_reads_back(json, records);
    if (HasFatalFailure()) return;
  }
}

}  // namespace

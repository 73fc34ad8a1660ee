#include "compact.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using marlet_core::RecordList;
using marlet_core::compact::parse_marl_compact;
using marlet_core::compact::parse_marl_compact_to_json;
using marlet_core::compact::write_marl_compact;
using marlet_core::compact::write_marl_compact_from_json;
using marlet_test::make_list;
using marlet_test::Records;
using marlet_test::to_maps;

using marlet_test::ReadCase;

class CompactReaderTest : public testing::TestWithParam<ReadCase> {};

TEST_P(CompactReaderTest, ReadsTheRecords) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(to_maps(parse_marl_compact(c.text)), c.records);
  EXPECT_EQ(marlet_test::from_json(parse_marl_compact_to_json(c.text).view()), c.records);
  EXPECT_EQ(marlet_test::reference::compact(c.text), c.records) << "the test's own model disagrees";
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompactReaderTest,
    testing::Values(
        ReadCase{"", {}}, ReadCase{"\n \n\t\r\n", {}}, ReadCase{"just words\nno separator here", {}},
        ReadCase{"name: Ada\nrole:admin\n\nname: Bob", {{{"name", "Ada"}, {"role", "admin"}}, {{"name", "Bob"}}}},
        ReadCase{"\n\n\nname: Ada\n\n\n\nname: Bob\n\n\n", {{{"name", "Ada"}}, {{"name", "Bob"}}}},
        ReadCase{"name: Ada\r\nrole: admin\r\n\r\nname: Bob\r\n", {{{"name", "Ada"}, {"role", "admin"}}, {{"name", "Bob"}}}},
        ReadCase{"  key  :  some value  ", {{{"key", "some value"}}}},
        ReadCase{"first name:  Ada  Lovelace", {{{"first name", "Ada  Lovelace"}}}},
        ReadCase{"time: 12:30:05", {{{"time", "12:30:05"}}}}, ReadCase{"k:", {{{"k", ""}}}},
        ReadCase{": orphan\n \t : also orphan", {}},
        ReadCase{"a: 1\nnote without colon\nb: 2", {{{"a", "1"}, {"b", "2"}}}},
        ReadCase{": x\nnothing\n\na: 1", {{{"a", "1"}}}}, ReadCase{"a: 1\na: 2", {{{"a", "2"}}}},
        ReadCase{"a: 1\n\na: 2", {{{"a", "1"}}, {{"a", "2"}}}},
        ReadCase{"  a: 1\nb: 2\n    c: 3", {{{"a", "1"}, {"b", "2"}, {"c", "3"}}}},
        ReadCase{"a: 1\rb: 2", {{{"a", "1\rb: 2"}}}},
        ReadCase{"a: 1\n\xc2\xa0\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}},
        ReadCase{"a: 1\n\xe3\x80\x80\xe2\x80\xa8\r\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}},
        ReadCase{"a: 1\n\xef\xbb\xbf\nb: 2", {{{"a", "1"}, {"b", "2"}}}},  // U+FEFF is not blank
        ReadCase{"a: 1\n\xe2\x80\x8b\nb: 2", {{{"a", "1"}, {"b", "2"}}}},  // nor is U+200B
        ReadCase{"\xef\xbb\xbfname: Ada", {{{"\xef\xbb\xbfname", "Ada"}}}},
        ReadCase{"Name: x\nname: y", {{{"Name", "x"}, {"name", "y"}}}}, ReadCase{"a\xef\xbc\x9a 1", {}},
        ReadCase{"a: 1\r\n\r\r\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}},
        ReadCase{"k: \0\n\0: v"s, {{{"k", "\0"s}, {"\0"s, "v"}}}}));

// A record list comes back unchanged from write then read exactly when
// every record is non-empty and every key and value can be carried.
bool carried(const Records& records) {
  auto bare = [](const std::string& s) { return marlet_test::reference::trim(s) == s && s.find('\n') == s.npos; };
  for (const auto& fields : records) {
    if (fields.empty()) return false;
    for (const auto& [k, v] : fields)
      if (k.empty() || k.find(':') != k.npos || !bare(k) || !bare(v)) return false;
  }
  return true;
}

struct WriteCase {
  Records records;
  std::vector<std::string> texts;  // every accepted output (field order varies)
  Records read_back;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << marlet_test::hex(c.texts.front()); }

class CompactWriterTest : public testing::TestWithParam<WriteCase> {};

TEST_P(CompactWriterTest, WritesFixedSeparatorsAndReadsBack) {
  const WriteCase& c = GetParam();
  const RecordList list = make_list<RecordList>(c.records);
  const std::string text(write_marl_compact(list).view());
  EXPECT_NE(std::find(c.texts.begin(), c.texts.end(), text), c.texts.end()) << marlet_test::hex(text);
  EXPECT_EQ(to_maps(parse_marl_compact(text)), c.read_back);
  EXPECT_EQ(carried(c.records), c.read_back == c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompactWriterTest,
    testing::Values(WriteCase{{}, {""}, {}}, WriteCase{{{}}, {"\n"}, {}}, WriteCase{{{}, {}}, {"\n\n"}, {}},
                    WriteCase{{{{"a", "1"}}}, {"a:1\n\n"}, {{{"a", "1"}}}},
                    WriteCase{{{{"a", "1"}}, {{"b", "2"}}}, {"a:1\n\nb:2\n\n"}, {{{"a", "1"}}, {{"b", "2"}}}},
                    WriteCase{{{{"a", "1"}, {"b", "2"}}}, {"a:1\nb:2\n\n", "b:2\na:1\n\n"}, {{{"a", "1"}, {"b", "2"}}}},
                    WriteCase{{{{"k", ""}}}, {"k:\n\n"}, {{{"k", ""}}}}, WriteCase{{{{"", "v"}}}, {":v\n\n"}, {}},
                    WriteCase{{{{"a:b", "c"}}}, {"a:b:c\n\n"}, {{{"a", "b:c"}}}},
                    WriteCase{{{{"k", " v "}}}, {"k: v \n\n"}, {{{"k", "v"}}}},
                    WriteCase{{{{"note", "x\ny: z"}}}, {"note:x\ny: z\n\n"}, {{{"note", "x"}, {"y", "z"}}}},
                    WriteCase{{{{"k", "x\n\ny"}}}, {"k:x\n\ny\n\n"}, {{{"k", "x"}}}},
                    WriteCase{{{{"k", "a\rb\0c"s}}}, {"k:a\rb\0c\n\n"s}, {{{"k", "a\rb\0c"s}}}},
                    WriteCase{{{{" \t", "v"}}}, {" \t:v\n\n"}, {}}));

TEST(CompactFromJson, WritesOrRejects) {
  struct Case {
    std::string json;
    std::optional<std::string> text;
  };
  for (const Case& c : {Case{"[]", ""}, Case{" \n[ ]\t", ""}, Case{"[{}]", "\n"}, Case{R"([{"a":"1"}])", "a:1\n\n"},
                        Case{R"([{"a":"1","a":"2"},{}])", "a:2\n\n\n"}, Case{R"([{"k":"\u0000"}])", "k:\0\n\n"s},
                        Case{R"([{"k":"\t\u0001"}])", "k:\t\x01\n\n"}, Case{R"({"a":"1"})", {}},
                        Case{R"([{"a":1}])", {}}, Case{R"([{"a":null}])", {}}, Case{R"([{"a":"1"},])", {}},
                        Case{R"([{"a":"1"}] x)", {}}, Case{"", {}}}) {
    SCOPED_TRACE(c.json);
    const auto out = write_marl_compact_from_json(c.json);
    ASSERT_EQ(out.has_value(), c.text.has_value());
    if (out) {
      EXPECT_EQ(out->view(), *c.text);
    }
  }
}

// Random record lists, biased so that about half can be carried: write then
// read gives the same records exactly when they can.
TEST(CompactRoundTrip, HoldsExactlyWhenRecordsCanBeCarried) {
  std::mt19937 rng(4);
  static const std::vector<std::string> safe = {"a", "b", "name", "x y", "\xc3\xa9", "1", "\xef\xbb\xbf", "\r"};
  auto piece = [&](bool key) {
    std::string s;
    for (std::size_t n = rng() % 3 + (key ? 1 : 0); n > 0; --n)
      s += rng() % 12 == 0 ? marlet_test::random_text(rng, 1) : safe[rng() % safe.size()];
    return s;
  };
  int carried_count = 0, lost_count = 0;
  for (int round = 0; round < 5000; ++round) {
    Records records;
    for (std::size_t r = rng() % 4; r > 0; --r) {
      marlet_test::Fields fields;
      for (std::size_t f = rng() % 4 + (rng() % 16 != 0); f > 0; --f) fields[piece(true)] = piece(false);
      records.push_back(std::move(fields));
    }
    const std::string text(write_marl_compact(make_list<RecordList>(records)).view());
    const Records back = to_maps(parse_marl_compact(text));
    const bool expect = carried(records);
    (expect ? carried_count : lost_count)++;
    ASSERT_EQ(back == records, expect) << marlet_test::hex(text);
    // What the reader returns can always be carried: read, write, read is stable.
    ASSERT_EQ(to_maps(parse_marl_compact(std::string(write_marl_compact(parse_marl_compact(text)).view()))), back);
  }
  EXPECT_GT(carried_count, 1000);
  EXPECT_GT(lost_count, 1000);
}

// The compact reader and the test's model agree on random texts.
TEST(CompactReader, AgreesWithModelOnRandomTexts) {
  std::mt19937 rng(5);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = marlet_test::random_text(rng, rng() % 40);
    ASSERT_EQ(to_maps(parse_marl_compact(text)), marlet_test::reference::compact(text)) << marlet_test::hex(text);
  }
}

}  // namespace

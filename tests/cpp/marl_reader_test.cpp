#include "marl_reader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using marlet_core::parse_marl_fast;
using marlet_core::parse_marl_fast_borrowed;
using marlet_test::Records;
using marlet_test::to_maps;

using MarlCase = marlet_test::ReadCase;

class MarlReaderTest : public testing::TestWithParam<MarlCase> {};

TEST_P(MarlReaderTest, OwnedAndBorrowedReadTheRecords) {
  const MarlCase& c = GetParam();
  EXPECT_EQ(to_maps(parse_marl_fast(c.text)), c.records);
  EXPECT_EQ(to_maps(parse_marl_fast_borrowed(c.text)), c.records);
  EXPECT_EQ(marlet_test::reference::marl(c.text), c.records) << "the test's own model disagrees";
}

INSTANTIATE_TEST_SUITE_P(
    Table, MarlReaderTest,
    testing::Values(MarlCase{"a: 1\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}},
                    MarlCase{"  a: 1\n  b: 2\nend", {{{"a", "1"}, {"b", "2"}}}},
                    MarlCase{"  a: 1\n\n  b: 2\n", {{{"a", "1"}, {"b", "2"}}}},
                    MarlCase{"  x: 1\nid: 7\n  y: 2", {{{"x", "1"}, {"id", "7"}}, {{"y", "2"}}}},
                    MarlCase{"  a: 1\nx\nb: 2", {{{"a", "1"}}, {{"b", "2"}}}},
                    MarlCase{"k:  v : w  ", {{{"k", "v : w"}}}},
                    MarlCase{"\tfirst name :  Ann\r\n\tempty:\r\n", {{{"first name", "Ann"}, {"empty", ""}}}},
                    MarlCase{"  a: 1\n  a: 2", {{{"a", "2"}}}}, MarlCase{"a: 1\rb: 2", {{{"a", "1\rb: 2"}}}},
                    MarlCase{"-- note: x", {{{"-- note", "x"}}}}, MarlCase{"", {}}, MarlCase{"\n \n\t\n", {}},
                    MarlCase{"x", {}}, MarlCase{": v", {}}, MarlCase{"  no colon", {}},
        MarlCase{"k:", {{{"k", ""}}}}, MarlCase{"  a: 1\n: v\n  b: 2", {{{"a", "1"}}, {{"b", "2"}}}},
        MarlCase{": v\n  a: 1", {{{"a", "1"}}}},  // closes nothing when the record is empty
        MarlCase{"\xc2\xa0" "a: 1\n\xe3\x80\x80" "b: 2\nc: 3", {{{"a", "1"}, {"b", "2"}, {"c", "3"}}}},
        MarlCase{"\v a: 1\n\fb: 2\nc: 3", {{{"a", "1"}, {"b", "2"}, {"c", "3"}}}},
        MarlCase{" \xe3\x80\x80k\xe3\x80\x80:\xe3\x80\x80v w\xe3\x80\x80", {{{"k", "v w"}}}},
        MarlCase{"\xef\xbb\xbfname: Ada\n  x: 1", {{{"\xef\xbb\xbfname", "Ada"}}, {{"x", "1"}}}},
        MarlCase{"\xef\xbb\xbf  a: 1\n  b: 2", {{{"\xef\xbb\xbf  a", "1"}}, {{"b", "2"}}}},
        MarlCase{"\xe2\x80\x8b" "a: 1\n  b: 2", {{{"\xe2\x80\x8b" "a", "1"}}, {{"b", "2"}}}},
        MarlCase{"first name: Ann Lee", {{{"first name", "Ann Lee"}}}},
        MarlCase{"a\xef\xbc\x9a 1", {}}, MarlCase{"a\xef\xbc\x9a 1: 2", {{{"a\xef\xbc\x9a 1", "2"}}}},
        MarlCase{"  a: x\xc2\x85\n  b: \xe2\x80\xa8y\xe2\x80\xa9z\xe2\x80\xa9", {{{"a", "x"}, {"b", "y\xe2\x80\xa9z"}}}},
        MarlCase{"  a: 1\r\r\n  b: 2\r", {{{"a", "1"}, {"b", "2"}}}},
        MarlCase{"\r\na: 1\r", {{{"a", "1"}}}},
        MarlCase{"k: a\0b\n\0: c"s, {{{"k", "a\0b"s}}, {{"\0"s, "c"}}}},
        MarlCase{"Name: x\n  name: y\n  Name: z", {{{"Name", "x"}}, {{"name", "y"}, {"Name", "z"}}}},
        MarlCase{"  a: 1\n\n\n  \n\t\nb: 2\n\n", {{{"a", "1"}, {"b", "2"}}}}));

// Views of the borrowed reader point into the text it read.
TEST(MarlReader, BorrowedViewsPointIntoTheInput) {
  const std::string text = "  name: Ada\n  role: admin\nid: 7\n  k:\n";
  const auto records = parse_marl_fast_borrowed(text);
  ASSERT_EQ(records.size(), 2u);
  auto inside = [&](std::string_view s) {
    return s.empty() || (s.data() >= text.data() && s.data() + s.size() <= text.data() + text.size());
  };
  for (const auto& r : records)
    r.for_each([&](std::string_view k, std::string_view v) {
      EXPECT_TRUE(inside(k)) << k;
      EXPECT_TRUE(inside(v)) << v;
    });
}

// Random documents of tricky pieces: owned, borrowed and the test's model
// agree, field order aside.  Line ends: \r\n reads as \n, and a final line
// feed changes nothing.
TEST(MarlReader, OwnedBorrowedAndModelAgreeOnRandomTextsWhateverTheLineEnds) {
  std::mt19937 rng(1), line_rng(2);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = marlet_test::random_text(rng, rng() % 40);
    const Records owned = to_maps(parse_marl_fast(text));
    ASSERT_EQ(owned, to_maps(parse_marl_fast_borrowed(text))) << marlet_test::hex(text);
    ASSERT_EQ(owned, marlet_test::reference::marl(text)) << marlet_test::hex(text);
    if (round >= 2000) continue;
    std::vector<std::string> lines;
    for (std::size_t i = line_rng() % 8; i > 0; --i) {
      std::string line = marlet_test::random_text(line_rng, line_rng() % 6);
      std::erase(line, '\n');
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    std::string lf, crlf;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      lf += lines[i] + (i + 1 < lines.size() ? "\n" : "");
      crlf += lines[i] + (i + 1 < lines.size() ? "\r\n" : "");
    }
    const Records expected = to_maps(parse_marl_fast(lf));
    SCOPED_TRACE(marlet_test::hex(lf));
    ASSERT_EQ(to_maps(parse_marl_fast(lf + "\n")), expected);
    ASSERT_EQ(to_maps(parse_marl_fast(crlf)), expected);
    ASSERT_EQ(to_maps(parse_marl_fast(crlf + "\r\n")), expected);
  }
}

}  // namespace

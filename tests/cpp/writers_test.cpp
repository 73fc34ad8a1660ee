#include "writers.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compact.hpp"
#include "ffi.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using marlet_core::Buffer;
using marlet_core::text::Field;
namespace w = marlet_core::writers;
using marlet_test::Fields;
using marlet_test::Records;

std::vector<Field> fields_of(const Fields& record) {
  std::vector<Field> out;
  for (const auto& [k, v] : record) out.push_back(Field{k, v});
  return out;
}

struct Written {
  std::string marlc, marl, json, binary;
};

Written write_all(const std::vector<Field>& fields) {
  Buffer marlc, marl, json, binary;
  w::write_marlc_record(fields, marlc);
  w::write_marl_record(fields, marl);
  w::write_json_record(fields, json);
  EXPECT_TRUE(w::write_binary_record(fields, binary));
  return {std::string(marlc.view()), std::string(marl.view()), std::string(json.view()), std::string(binary.view())};
}

TEST(Writers, WriteEachFormInTheGivenOrder) {
  const std::vector<Field> fields = {{"b", "1"}, {"a", ""}, {"c", "x\"\x01y"}};
  const Written out = write_all(fields);
  EXPECT_EQ(out.marlc, "b:1\na:\nc:x\"\x01y\n\n");
  EXPECT_EQ(out.marl, "  b: 1\n  a:\nc: x\"\x01y\n");
  EXPECT_EQ(out.json, R"({"b":"1","a":"","c":"x\"\u0001y"})");
  EXPECT_EQ(out.binary, "\x03\0\0\0\x01\0\0\0b\x01\0\0\0" "1\x01\0\0\0a\0\0\0\0\x01\0\0\0c\x04\0\0\0x\"\x01y"s);
  EXPECT_EQ(write_all({}).marl, "");
  EXPECT_EQ(write_all({}).json, "{}");
}

// One-field records have one order, so the per-record writers must give
// the one-shot writers' bytes.
TEST(Writers, MatchTheOneShotWritersOnOneFieldRecords) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    Records records = marlet_test::random_records(rng);
    for (auto& r : records)
      while (r.size() > 1) r.erase(r.begin());
    const auto list = marlet_test::make_list<marlet_core::RecordList>(records);
    Buffer json, marlc, binary;
    json.push_back('[');
    marlet_core::binary::append_u32(binary, records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      const auto fields = fields_of(records[i]);
      if (i != 0) json.push_back(',');
      w::write_json_record(fields, json);
      w::write_marlc_record(fields, marlc);
      ASSERT_TRUE(w::write_binary_record(fields, binary));
    }
    json.push_back(']');
    Buffer expected_json;
    marlet_core::write_json(list, expected_json);
    ASSERT_EQ(json.view(), expected_json.view());
    ASSERT_EQ(marlc.view(), marlet_core::compact::write_marl_compact(list).view());
    ASSERT_EQ(binary.view(), marlet_core::ffi::encode_binary(list)->view());
  }
}

// Records that pass the check read back unchanged from both text forms;
// records that fail it do not.
TEST(Writers, LossCheckAgreesWithReadingBack) {
  std::mt19937 rng(11);
  int carried = 0;
  for (int round = 0; round < 20000; ++round) {
    const Records records = marlet_test::random_records(rng, 1);
    if (records.empty()) continue;
    const auto fields = fields_of(records[0]);
    const Written out = write_all(fields);
    const bool same_marl = marlet_test::reference::marl(out.marl) == records;
    const bool same_marlc = marlet_test::reference::compact(out.marlc) == records;
    const bool lossless = !w::marlc_loss(fields, false).has_value();
    ASSERT_EQ(lossless, same_marl) << marlet_test::hex(out.marl);
    ASSERT_EQ(lossless, same_marlc) << marlet_test::hex(out.marlc);
    ASSERT_EQ(lossless, !w::marl_loss(fields, false).has_value());
    carried += lossless;
  }
  EXPECT_GT(carried, 100);
}

TEST(Writers, LossNamesTheFieldAndReason) {
  struct Case {
    std::vector<Field> fields;
    bool opens;
    std::size_t field;
    std::string reason;
  };
  const Case cases[] = {
      {{}, false, w::Loss::kRecord, "a record cannot be empty"},
      {{{"a", "1"}, {"", "v"}}, false, 1, "a key cannot be empty"},
      {{{"a:b", "1"}}, false, 0, "a key cannot hold ':'"},
      {{{"a\nb", "1"}}, false, 0, "a key cannot hold a line feed"},
      {{{"\xe3\x80\x80k", "1"}}, false, 0, "a key cannot start or end with whitespace"},
      {{{"k\r", "1"}}, false, 0, "a key cannot start or end with whitespace"},
      {{{"k", "x\ny"}}, false, 0, "a value cannot hold a line feed"},
      {{{"k", "x\xc2\x85"}}, false, 0, "a value cannot start or end with whitespace"},
      {{{"\xef\xbb\xbfk", "1"}}, true, 0,
       "the first key of a document cannot start with U+FEFF (read as a byte-order mark)"},
  };
  for (const Case& c : cases) {
    const auto loss = w::marlc_loss(c.fields, c.opens);
    ASSERT_TRUE(loss.has_value()) << c.reason;
    EXPECT_EQ(loss->field, c.field);
    EXPECT_EQ(loss->reason, c.reason);
  }
  const std::vector<Field> fine = {{"\xef\xbb\xbfk", "a:b\r c"}, {"\xe2\x80\x8b", ""}};
  EXPECT_FALSE(w::marlc_loss(fine, false).has_value());
}

}  // namespace

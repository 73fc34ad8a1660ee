#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ffi.hpp"
#include "marl_reader.hpp"
#include "record.hpp"
#include "test_support.hpp"

namespace {

using namespace std::string_literals;
using marlet_core::RecordList;
using marlet_core::ffi::encode_binary;
using marlet_test::hex;
using marlet_test::make_list;
using marlet_test::Records;

template <class List>
std::string encoded(const List& list) {
  auto out = encode_binary(list);
  EXPECT_TRUE(out.has_value());
  return out ? std::string(out->view()) : std::string();
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

TEST(EncodeBinary, WorkedByteStrings) {
  EXPECT_EQ(hex(encoded(RecordList{})), "00 00 00 00");
  EXPECT_EQ(hex(encoded(make_list<RecordList>({{}}))), "01 00 00 00 00 00 00 00");
  EXPECT_EQ(hex(encoded(make_list<RecordList>({{{"color", "red"}}, {{"id", ""}}}))),
            "02 00 00 00 01 00 00 00 05 00 00 00 63 6f 6c 6f 72 03 00 00 00 72 65 64 "
            "01 00 00 00 02 00 00 00 69 64 00 00 00 00");
  EXPECT_EQ(hex(encoded(make_list<RecordList>({{{"size", "n\xc3\xa9"}}}))),
            "01 00 00 00 01 00 00 00 04 00 00 00 73 69 7a 65 03 00 00 00 6e c3 a9");
  const std::string ab = encoded(make_list<RecordList>({{{"a", "1"}, {"b", "2"}}}));
  const std::string a = bytes({1, 0, 0, 0, 'a', 1, 0, 0, 0, '1'}), b = bytes({1, 0, 0, 0, 'b', 1, 0, 0, 0, '2'});
  const std::string head = bytes({1, 0, 0, 0, 2, 0, 0, 0});
  EXPECT_TRUE(ab == head + a + b || ab == head + b + a) << hex(ab);
}

TEST(EncodeBinary, BorrowedRecordsOfAText) {
  const std::string text = "color: red";
  EXPECT_EQ(hex(encoded(marlet_core::parse_marl_fast_borrowed(text))),
            "01 00 00 00 01 00 00 00 05 00 00 00 63 6f 6c 6f 72 03 00 00 00 72 65 64");
  const std::string odd = "  k: a\0b\n  n: \xe2\x80\xa8\nend:"s;
  const std::string out = encoded(marlet_core::parse_marl_fast_borrowed(odd));
  const auto back = marlet_test::from_binary(reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
  EXPECT_EQ(back, (Records{{{"k", "a\0b"s}, {"n", ""}, {"end", ""}}}));
}

// Random records, newlines and NULs included, read back from their encoding;
// the length is 4 + 4 per record + 8 per field + the bytes of keys and values.
TEST(EncodeBinary, RandomRecordsReadBack) {
  std::mt19937 rng(6);
  for (int round = 0; round < 3000; ++round) {
    const Records records = marlet_test::random_records(rng);
    const std::string out = encoded(make_list<RecordList>(records));
    std::size_t length = 4;
    for (const auto& fields : records) {
      length += 4;
      for (const auto& [k, v] : fields) length += 8 + k.size() + v.size();
    }
    ASSERT_EQ(out.size(), length);
    ASSERT_EQ(marlet_test::from_binary(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()), records)
        << hex(out);
  }
}

// A stand-in list whose counts and lengths can claim to pass 32 bits without
// the memory behind them.  Oversized views are never read: the encoder must
// refuse before copying.
struct FakeRecord {
  std::size_t count;
  std::size_t key_size = 1;
  std::size_t value_size = 1;
  std::size_t size() const { return count; }
  template <class F>
  void for_each(F&& f) const {
    static const std::vector<char> bytes = {'k', 'v'};
    if (count != 0) f(std::string_view(bytes.data(), key_size), std::string_view(bytes.data() + 1, value_size));
  }
};

struct FakeList {
  std::size_t count;
  std::vector<FakeRecord> records;
  std::size_t size() const { return count; }
  auto begin() const { return records.begin(); }
  auto end() const { return records.end(); }
};

TEST(EncodeBinary, CountsBeyond32BitsGiveNothing) {
  constexpr std::size_t k2to32 = std::size_t{1} << 32;
  EXPECT_FALSE(encode_binary(FakeList{k2to32, {}}).has_value());
  EXPECT_FALSE(encode_binary(FakeList{1, {FakeRecord{k2to32}}}).has_value());
  EXPECT_FALSE(encode_binary(FakeList{1, {FakeRecord{1, k2to32, 1}}}).has_value());
  EXPECT_FALSE(encode_binary(FakeList{2, {FakeRecord{1}, FakeRecord{1, 1, k2to32}}}).has_value());

  // The largest counts that fit are written as they are.
  EXPECT_EQ(hex(encoded(FakeList{k2to32 - 1, {}})), "ff ff ff ff");
  EXPECT_EQ(hex(encoded(FakeList{1, {FakeRecord{1}}})), "01 00 00 00 01 00 00 00 01 00 00 00 6b 01 00 00 00 76");
}

}  // namespace

#include "record.hpp"

#include "cpu.hpp"
#include "key_hash.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace {

using marlet_core::HashKeys;
using marlet_core::next_map_keys;
using marlet_core::Record;
using marlet_test::Fields;

std::vector<std::string> field_order(const Record& r) {
  std::vector<std::string> keys;
  r.for_each([&](std::string_view k, std::string_view) { keys.emplace_back(k); });
  return keys;
}

TEST(Record, PutReplacesAnEqualKeyAndKeepsOneEntry) {
  Record r;
  EXPECT_TRUE(r.empty());
  r.put("a", "1");
  r.put("b", "");
  r.put("", "empty key");
  r.put("a", "2");
  r.put("A", "3");  // keys are compared byte for byte
  EXPECT_EQ(r.size(), 4u);
  Fields got;
  r.for_each([&](std::string_view k, std::string_view v) { got.emplace(k, v); });
  EXPECT_EQ(got, (Fields{{"a", "2"}, {"b", ""}, {"", "empty key"}, {"A", "3"}}));
}

TEST(Record, GrowsWithoutLosingFields) {
  Record r;
  Fields expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string key = "key " + std::to_string(i * 7919 % 5000);
    r.put(key, std::to_string(i));
    expected[key] = std::to_string(i);
  }
  r.put("key 17", "last");
  expected["key 17"] = "last";
  EXPECT_EQ(r.size(), expected.size());
  Fields got;
  r.for_each([&](std::string_view k, std::string_view v) { EXPECT_TRUE(got.emplace(k, v).second); });
  EXPECT_EQ(got, expected);
}

// A key hashes as SipHash-1-3 over its bytes followed by one 0xFF byte.
TEST(RecordHash, IsSipHash13OverKeyAndFF) {
  const HashKeys keys{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  for (const std::string& key : std::vector<std::string>{"", "a", "colour", "seven b", "eight by", "\xff", std::string("n\0l", 3),
                          "a longer key that spans words"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(marlet_core::hash_key(keys, key), marlet_test::reference_siphash(1, 3, keys.k0, keys.k1, key + "\xff"));
  }
}

// Batches of keys of every length up to 40 bytes, in every batch size up
// to 9 (so every lane count and mix of one- and two-word keys), hash as
// hash_key does, one at a time and four at a time.
TEST(RecordHash, BatchHashingMatchesOneAtATime) {
  const HashKeys keys{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::vector<std::string> owned;
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string key;
    for (std::size_t j = 0; j < n; ++j) key.push_back(static_cast<char>((n * 31 + j * 17) % 256));
    owned.push_back(key);
  }
  std::vector<std::string_view> all;
  for (std::size_t i = 0; i < 41 * 9; ++i) all.push_back(owned[(i * 7) % owned.size()]);
  for (std::size_t batch = 1; batch <= 9; ++batch) {
    for (std::size_t at = 0; at + batch <= all.size(); at += batch) {
      std::uint64_t scalar[9];
      marlet_core::ScalarKeyHash::hash(keys, &all[at], batch, scalar);
      for (std::size_t i = 0; i < batch; ++i) ASSERT_EQ(scalar[i], marlet_core::hash_key(keys, all[at + i]));
#if defined(__x86_64__)
      if (marlet_core::best_isa() != marlet_core::Isa::avx2) continue;
      std::uint64_t vector[9];
      marlet_core::Avx2KeyHash::hash(keys, &all[at], batch, vector);
      for (std::size_t i = 0; i < batch; ++i) ASSERT_EQ(vector[i], scalar[i]) << all[at + i].size();
#endif
    }
  }
}

// Every new map takes the thread's pair and advances k0 by one.
TEST(RecordHash, EachMapTakesTheNextKeyOfItsThread) {
  const HashKeys a = next_map_keys();
  const HashKeys b = next_map_keys();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
  { Record r; }
  const HashKeys c = next_map_keys();
  EXPECT_EQ(c.k0, a.k0 + 3);
  EXPECT_EQ(c.k1, a.k1);

  HashKeys other{};
  std::thread([&] { other = next_map_keys(); }).join();
  EXPECT_NE(other.k1, a.k1) << "a second thread drew the same key pair";
}

// Records with equal contents iterate in orders that differ from record to
// record, because each draws its own hash key.
TEST(RecordHash, OrderVariesBetweenRecordsWithEqualKeys) {
  std::set<std::vector<std::string>> orders;
  for (int i = 0; i < 200; ++i) {
    Record r;
    for (const char* k : {"id", "name", "email", "role", "team", "since"}) r.put(k, "v");
    orders.insert(field_order(r));
  }
  EXPECT_GT(orders.size(), 20u);
}

}  // namespace

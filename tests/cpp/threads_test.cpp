// Every export called from many threads at once, on one shared input and on
// inputs of their own, gives what a single-threaded run gives.
#include <gtest/gtest.h>

#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "marlet.h"
#include "test_support.hpp"

namespace {

using marlet_test::Records;

constexpr int kThreads = 8;
constexpr int kRounds = 25;

// What each export makes of one input, compared field order aside.
struct Outcome {
  Records parsed;     // marlet_parse
  Records binary;     // marlet_parse_binary
  Records compact;    // marlet_parse_compact
  Records rewritten;  // marlet_write_compact of that, read back

  bool operator==(const Outcome&) const = default;
};

Records json_records(char* json) {
  if (json == nullptr) return {{{"failed", "null"}}};
  auto records = marlet_test::from_json(json).value_or(Records{{{"failed", "bad json"}}});
  marlet_free_string(json);
  return records;
}

Outcome run_all(const std::string& text) {
  Outcome o;
  o.parsed = json_records(marlet_parse(text.data(), text.size()));
  std::uint8_t* buffer = nullptr;
  size_t length = 0;
  if (marlet_parse_binary(text.data(), text.size(), &buffer, &length) == 1) {
    o.binary = marlet_test::from_binary(buffer, length).value_or(Records{{{"failed", "bad binary"}}});
    marlet_free_buffer(buffer, length);
  }
  char* json = marlet_parse_compact(text.data(), text.size());
  const std::string compact_json = json != nullptr ? json : "";
  o.compact = json_records(json);
  char* written = marlet_write_compact(compact_json.data(), compact_json.size());
  if (written != nullptr) {
    o.rewritten = marlet_test::reference::compact(written);
    marlet_free_string(written);
  }
  return o;
}

std::string document(std::mt19937& rng, int lines) {
  static const std::vector<std::string> keys = {"name", "email", "role", "team", "since", "note", "id", "city"};
  std::string text;
  for (int i = 0; i < lines; ++i) {
    const bool indented = rng() % 4 != 0;
    text += (indented ? "  " : "") + keys[rng() % keys.size()] + ": value " + std::to_string(rng() % 1000) +
            (rng() % 5 == 0 ? " caf\xc3\xa9" : "") + (rng() % 7 == 0 ? "\n\n" : "\n");
  }
  return text;
}

TEST(Threads, EveryExportAtOnceMatchesOneThread) {
  std::mt19937 rng(9);
  std::vector<std::string> inputs;
  for (int t = 0; t <= kThreads; ++t) inputs.push_back(document(rng, 300));
  std::vector<Outcome> expected;
  for (const std::string& text : inputs) expected.push_back(run_all(text));
  ASSERT_FALSE(expected[0].parsed.empty());
  ASSERT_FALSE(expected[0].compact.empty());

  std::latch start(kThreads);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<char*> handed_over(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::size_t own = static_cast<std::size_t>(t) + 1;
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        mismatches[static_cast<std::size_t>(t)] += run_all(inputs[0]) != expected[0];
        mismatches[static_cast<std::size_t>(t)] += run_all(inputs[own]) != expected[own];
      }
      // A string released on another thread than the one that received it.
      handed_over[static_cast<std::size_t>(t)] = marlet_parse(inputs[own].data(), inputs[own].size());
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
    char* s = handed_over[static_cast<std::size_t>(t)];
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(marlet_test::from_json(s), expected[static_cast<std::size_t>(t) + 1].parsed);
    marlet_free_string(s);
  }
}

}  // namespace

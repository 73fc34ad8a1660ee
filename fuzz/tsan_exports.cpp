// Stress program for ThreadSanitizer: eight threads call every C export at
// once, on one shared input and on inputs of their own, check each result
// against what the core readers give on the main thread, and hand half of
// the returned strings to other threads to release.  Exits non-zero on a
// wrong result; TSan reports any data race.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "compact.hpp"
#include "fuzz_support.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "marlet.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 200;

struct Expected {
  std::string text;
  fuzz::Canon marl;     // records of the text as .marl
  fuzz::Canon compact;  // records of the text as .marlc
};

Expected expect(std::string text) {
  Expected e;
  e.marl = fuzz::canon(marlet_core::parse_marl_fast(text));
  e.compact = fuzz::canon(marlet_core::compact::parse_marl_compact(text));
  e.text = std::move(text);
  return e;
}

std::string shared_text() {
  std::string t;
  for (int i = 0; i < 200; ++i) {
    t += "  name: person " + std::to_string(i) + "\n";
    t += "\trole:\u3000admin " + std::to_string(i % 7) + "\r\n";
    t += "  note: a \"quoted\" \\ value\x01\n\n";
    t += "id: " + std::to_string(i) + "\n";
  }
  return t;
}

std::string own_text(int thread) {
  std::string t;
  for (int i = 0; i < 50; ++i) t += "k" + std::to_string(thread) + ": v" + std::to_string(i) + "\n\n";
  return t;
}

// Strings released by a thread other than the one that received them.
std::mutex handoff_mutex;
std::vector<char*> handoff;

void give_away(char* s) {
  std::lock_guard<std::mutex> lock(handoff_mutex);
  handoff.push_back(s);
}

void release_some() {
  std::vector<char*> mine;
  {
    std::lock_guard<std::mutex> lock(handoff_mutex);
    mine.swap(handoff);
  }
  for (char* s : mine) marlet_free_string(s);
}

std::atomic<int> failures{0};

void expect_true(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "wrong result: %s\n", what);
    failures.fetch_add(1);
  }
}

fuzz::Canon json_records(const char* s) {
  marlet_core::JsonResult r = marlet_core::read_json(std::string_view(s, std::strlen(s)));
  if (!r.ok()) return {{{"<rejected>", ""}}};
  return fuzz::canon(r.value());
}

void exercise(const Expected& e, int round) {
  const char* p = e.text.data();
  const std::size_t n = e.text.size();

  char* json = marlet_parse(p, n);
  expect_true(json != nullptr && json_records(json) == e.marl, "marlet_parse");

  std::uint8_t* buffer = nullptr;
  std::size_t length = 0;
  expect_true(marlet_parse_binary(p, n, &buffer, &length) == 1 && fuzz::decode_binary(buffer, length) == e.marl,
              "marlet_parse_binary");
  marlet_free_buffer(buffer, length);

  char* compact_json = marlet_parse_compact(p, n);
  expect_true(compact_json != nullptr && json_records(compact_json) == e.compact, "marlet_parse_compact");

  char* written = json != nullptr ? marlet_write_compact(json, std::strlen(json)) : nullptr;
  expect_true(written != nullptr &&
                  fuzz::canon(marlet_core::compact::parse_marl_compact(written)) ==
                      fuzz::reference_compact(std::string_view(written, std::strlen(written))),
              "marlet_write_compact");

  if (round % 2 == 0) {
    give_away(json);
    give_away(compact_json);
    give_away(written);
  } else {
    marlet_free_string(json);
    marlet_free_string(compact_json);
    marlet_free_string(written);
  }
  release_some();
}

}  // namespace

int main() {
  const Expected shared = expect(shared_text());
  std::vector<Expected> own;
  for (int t = 0; t < kThreads; ++t) own.push_back(expect(own_text(t)));

  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        exercise(shared, round);
        exercise(own[static_cast<std::size_t>(t)], round);
      }
    });
  go.store(true);
  for (std::thread& th : threads) th.join();
  release_some();

  const int bad = failures.load();
  std::printf("%d threads x %d rounds x 2 inputs: %d wrong results\n", kThreads, kRounds, bad);
  return bad == 0 ? 0 : 1;
}

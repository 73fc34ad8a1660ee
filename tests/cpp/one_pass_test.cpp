// The record-at-a-time paths behind the C exports: the portable and the
// vector code against the model, records larger than the reused table, and
// texts whose last bytes sit right before an unmapped page.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "compact.hpp"
#include "cpu.hpp"
#include "ffi.hpp"
#include "json.hpp"
#include "test_support.hpp"

namespace {

using marlet_core::Isa;
using marlet_test::Records;

std::vector<Isa> isas() {
  std::vector<Isa> out{Isa::portable};
  if (marlet_core::best_isa() == Isa::avx2) out.push_back(Isa::avx2);
  return out;
}

// Every path on `text`, under every vector code this CPU runs, against the
// model of the readers.
void expect_paths_agree(std::string_view text) {
  const std::string copy(text);
  const Records marl = marlet_test::reference::marl(copy);
  const Records compact = marlet_test::reference::compact(copy);
  std::optional<Records> written;  // what the .marlc writer's output reads back as
  for (Isa isa : isas()) {
    SCOPED_TRACE(isa == Isa::avx2 ? "avx2" : "portable");
    const marlet_core::Buffer json = marlet_core::parse_marl_to_json(text, isa);
    ASSERT_EQ(marlet_test::from_json(json.view()), marl) << json.view();
    const marlet_core::Buffer cjson = marlet_core::compact::parse_marl_compact_to_json(text, isa);
    ASSERT_EQ(marlet_test::from_json(cjson.view()), compact) << cjson.view();
    const auto binary = marlet_core::ffi::parse_marl_to_binary(text, isa);
    ASSERT_TRUE(binary.has_value());
    ASSERT_EQ(marlet_test::from_binary(reinterpret_cast<const std::uint8_t*>(binary->data()), binary->size()), marl);
    const auto marlc = marlet_core::compact::write_marl_compact_from_json(json.view(), isa);
    ASSERT_TRUE(marlc.has_value());
    const Records back = marlet_test::reference::compact(std::string(marlc->view()));
    if (written) {
      ASSERT_EQ(back, *written);
    }
    written = back;
  }
}

// Values long enough for whole vectors, with bytes that need escapes at
// every offset of a vector and runs that end at the end of the text.
TEST(OnePass, PortableAndVectorCodeAgreeWithTheModel) {
  std::mt19937 rng(5);
  const std::vector<std::string> specials = {"\"", "\\", "\x01", "\x1f", "\t", "\n", "\x7f", "\xc3\xa9", " ", ":"};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (int line = static_cast<int>(rng() % 6); line >= 0; --line) {
      if (rng() % 3 != 0) text.append("  ");
      text.push_back('k');
      text.push_back(static_cast<char>('0' + rng() % 4));
      text.append(": ");
      std::string value;
      for (std::size_t k = rng() % 90; k > 0; --k) value += rng() % 24 == 0 ? specials[rng() % specials.size()] : "v";
      text += value;
      if (line != 0 || rng() % 2 == 0) text += rng() % 4 == 0 ? "\r\n" : "\n";
    }
    text += marlet_test::random_text(rng, rng() % 8);
    SCOPED_TRACE(marlet_test::hex(text));
    expect_paths_agree(text);
    if (HasFatalFailure()) return;
  }
}

// One record of many fields (more than any small table holds, repeated
// keys among them), then small records that reuse the grown table.
TEST(OnePass, RecordsLargerThanTheReusedTable) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "  key" + std::to_string(i % 2100) + ": " + std::to_string(i) + "\n";
  text += "end: 1\n";
  for (int i = 0; i < 50; ++i) text += "  a: " + std::to_string(i) + "\n  b: x\nc: y\n";
  text += "  big: " + std::string(5000, 'z') + "\n";
  expect_paths_agree(text);
}

// Texts that end right before a page that is not mapped: lines and values
// that cross the scanner's 64-byte blocks and end at the last byte.
TEST(OnePass, TextsEndingAtAnUnmappedPage) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapping = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  char* guard = static_cast<char*>(mapping) + page;
  ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
  for (std::size_t length = 1; length < 140; ++length) {
    for (const char* shape : {"  k: ", "k:", "a: 1\n  key: "}) {
      std::string text = shape;
      while (text.size() < length) text += text.size() % 7 == 0 ? '"' : 'x';
      text.resize(length);
      char* at = guard - text.size();
      std::memcpy(at, text.data(), text.size());
      SCOPED_TRACE(marlet_test::hex(text));
      expect_paths_agree(std::string_view(at, text.size()));
      if (HasFatalFailure()) break;
    }
  }
  munmap(mapping, 2 * page);
}

}  // namespace

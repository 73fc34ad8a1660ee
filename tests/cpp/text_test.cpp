#include "text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "stream.hpp"
#include "test_support.hpp"
#include "utf8.hpp"

namespace {

using namespace std::string_literals;
namespace text = marlet_core::text;

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  text::Lines lines(s);
  std::string_view line;
  std::size_t colon;
  while (lines.next(line, colon)) out.emplace_back(line);
  return out;
}

struct LinesCase {
  std::string text;
  std::vector<std::string> lines;
};

void PrintTo(const LinesCase& c, std::ostream* os) { *os << marlet_test::hex(c.text); }

class LinesTest : public testing::TestWithParam<LinesCase> {};

TEST_P(LinesTest, CutsAfterLineFeedsOnly) { EXPECT_EQ(lines_of(GetParam().text), GetParam().lines); }

INSTANTIATE_TEST_SUITE_P(
    Table, LinesTest,
    testing::Values(LinesCase{"", {}}, LinesCase{"a", {"a"}}, LinesCase{"a\n", {"a"}}, LinesCase{"\n", {""}},
                    LinesCase{"a\n\n", {"a", ""}}, LinesCase{"a\nb", {"a", "b"}}, LinesCase{"a\r\nb\r\n", {"a", "b"}},
                    LinesCase{"\r\n", {""}}, LinesCase{"a\rb", {"a\rb"}}, LinesCase{"a\r", {"a\r"}},
                    LinesCase{"\r", {"\r"}}, LinesCase{"a\r\r\n", {"a\r"}}, LinesCase{"\n\r", {"", "\r"}},
                    LinesCase{"a\v\fb\xc2\x85" "c\xe2\x80\xa8" "d\xe2\x80\xa9" "e", {"a\v\fb\xc2\x85" "c\xe2\x80\xa8" "d\xe2\x80\xa9" "e"}},
                    LinesCase{"x\0y\n"s, {"x\0y"s}}));

// Long lines crossing the 64-byte blocks the scanner classifies at a time:
// lines and first colons agree with a plain split.  The text sits in a block
// of exactly its size, so a read past its end shows under the sanitizer.
TEST(Lines, AgreeWithPlainSplitAcrossBlocks) {
  std::mt19937 rng(10);
  for (int round = 0; round < 5000; ++round) {
    std::string s;
    for (const std::size_t target = rng() % 400; s.size() < target;) {
      switch (rng() % 10) {
        case 0: s += '\n'; break;
        case 1: s += ':'; break;
        case 2: s += '\r'; break;
        case 3: s += "\r\n"; break;
        default: s.append(rng() % 70, static_cast<char>('a' + rng() % 3)); break;
      }
    }
    const std::vector<char> exact(s.begin(), s.end());
    text::Lines lines(std::string_view(exact.data(), exact.size()));
    std::string_view line;
    std::size_t colon;
    std::vector<std::string> got;
    while (lines.next(line, colon)) {
      ASSERT_EQ(colon, line.find(':')) << marlet_test::hex(s);
      got.emplace_back(line);
    }
    ASSERT_EQ(got, marlet_test::reference::lines(s)) << marlet_test::hex(s);
  }
}

TEST(Whitespace, EachOfTheSetIsTrimmedAsAUnit) {
  std::string all;
  for (const std::string& ws : marlet_test::whitespace_chars()) {
    SCOPED_TRACE(marlet_test::hex(ws));
    all += ws;
    EXPECT_EQ(text::trim(ws), "");
    EXPECT_EQ(text::trim(ws + "x" + ws), "x");
    EXPECT_EQ(text::trim_start(ws + ws + "x" + ws), "x" + ws);
    EXPECT_EQ(text::trim_end(ws + "x" + ws + ws), ws + "x");
    EXPECT_EQ(text::trim(ws + "\xc3\xa9" + ws + "\xc3\xa9" + ws), "\xc3\xa9" + ws + "\xc3\xa9");
  }
  EXPECT_EQ(text::trim(all + all), "");
  EXPECT_EQ(text::trim(all + "x y" + all), "x y");
}

// Characters beside the set, and characters whose last bytes equal the
// tail of a whitespace character.
TEST(Whitespace, NeighboursAreContent) {
  for (const char* c : {"\xef\xbb\xbf", "\xe2\x80\x8b", "\xe1\xa0\x8e", "\xef\xbc\x9a", "\xc2\x84", "\xc2\x86",
                        "\xc2\x9f", "\xc2\xa1", "\xe1\x9a\x81", "\xe2\x80\x8c", "\xe2\x80\xa7", "\xe2\x80\xaa",
                        "\xe2\x80\xae", "\xe2\x80\xb0", "\xe2\x81\x9e", "\xe2\x81\xa0", "\xe3\x80\x81", "\xe4\x80\x80",
                        "\xd0\x85", "\xd0\xa0", "\xf0\x90\x80\x80", "\x08", "\x0e", "\x1c", "\x1f", "\x7f", "\x00"}) {
    const std::string s = *c == 0 ? "\0"s : std::string(c);
    SCOPED_TRACE(marlet_test::hex(s));
    EXPECT_EQ(text::trim(s), s);
    EXPECT_EQ(text::trim(" " + s + "\xe3\x80\x80"), s);
    EXPECT_EQ(text::trim_end("a" + s), "a" + s);
  }
}

struct SplitCase {
  std::string line;
  std::optional<std::pair<std::string, std::string>> field;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << marlet_test::hex(c.line); }

class SplitFieldTest : public testing::TestWithParam<SplitCase> {};

// The fields a scan hands to its sink.
struct FieldsSink {
  std::vector<std::pair<std::string, std::string>> fields;
  void field(std::string_view key, std::string_view value) { fields.emplace_back(key, value); }
  void close() {}
};

TEST_P(SplitFieldTest, SplitsAtFirstColonAndTrims) {
  FieldsSink sink;
  text::scan_compact(GetParam().line, sink);
  ASSERT_EQ(sink.fields.size(), GetParam().field.has_value() ? 1u : 0u);
  if (GetParam().field) {
    EXPECT_EQ(sink.fields[0], *GetParam().field);
  }
}

using KV = std::pair<std::string, std::string>;
INSTANTIATE_TEST_SUITE_P(
    Table, SplitFieldTest,
    testing::Values(SplitCase{"k: v", KV{"k", "v"}}, SplitCase{"k:", KV{"k", ""}}, SplitCase{"k:v", KV{"k", "v"}},
                    SplitCase{"  k  :  v : w  ", KV{"k", "v : w"}}, SplitCase{"time: 12:30:05", KV{"time", "12:30:05"}},
                    SplitCase{"first name: Ann Lee", KV{"first name", "Ann Lee"}},
                    SplitCase{"\xe3\x80\x80k\xe3\x80\x80:\xe3\x80\x80v\xe3\x80\x80", KV{"k", "v"}},
                    SplitCase{"\xef\xbb\xbfk: v", KV{"\xef\xbb\xbfk", "v"}}, SplitCase{"k:\t\r", KV{"k", ""}},
                    SplitCase{": v", std::nullopt}, SplitCase{" \t\xc2\xa0: v", std::nullopt},
                    SplitCase{"no colon", std::nullopt}, SplitCase{"a\xef\xbc\x9a b", std::nullopt},
                    SplitCase{"", std::nullopt}));

}  // namespace

namespace {

// Every event a scan hands its sink, in order; a close with no field
// before it ends no record, so it is not one.
struct EventSink {
  std::vector<std::string> events;
  void field(std::string_view key, std::string_view value) {
    std::string e(1, 'F');
    e.append(key).append(1, '\x01').append(value);
    events.push_back(std::move(e));
  }
  void close() {
    if (!events.empty() && events.back() != "C") events.emplace_back("C");
  }
};

// Fed to the incremental reader in random pieces, a text gives the sink
// exactly what one scan of the whole text gives.
TEST(Scan, PiecesThroughTheReaderMatchOneScan) {
  std::mt19937 rng(12);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = marlet_test::random_text(rng, rng() % 60);
    for (bool compact : {false, true}) {
      EventSink whole, pieces;
      text::scan(!compact, text, whole);
      marlet_core::stream::Reader<EventSink> reader(compact ? marlet_core::Format::marlc : marlet_core::Format::marl, pieces);
      for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + rng() % 12);
        reader.feed(std::string_view(text).substr(at, n));
        at += n;
      }
      reader.finish();
      ASSERT_EQ(pieces.events, whole.events) << marlet_test::hex(text);
    }
  }
}

// The code points of valid UTF-8.
std::vector<std::uint32_t> code_points(std::string_view utf8) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(utf8[i + k])); };
    const std::uint32_t c = b(0);
    const std::size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    std::uint32_t cp = n == 1 ? c : c & (0x7fu >> n);
    for (std::size_t k = 1; k < n; ++k) cp = cp << 6 | (b(k) & 0x3f);
    out.push_back(cp);
    i += n;
  }
  return out;
}

template <class Unit>
std::string utf8_of(marlet_core::UnitView<Unit> units) {
  std::string out;
  char bytes[4];
  for (const Unit u : units) out.append(bytes, marlet_core::put_utf8(u, bytes));
  return out;
}

// EventSink's events for a scan over code units of type Unit.
template <class Unit>
struct UnitEventSink {
  EventSink utf8;
  void field(marlet_core::UnitView<Unit> key, marlet_core::UnitView<Unit> value) {
    utf8.field(utf8_of(key), utf8_of(value));
  }
  void close() { utf8.close(); }
};

template <class Unit>
std::vector<std::string> unit_events(const std::vector<std::uint32_t>& points, bool compact) {
  const std::vector<Unit> units(points.begin(), points.end());
  const marlet_core::UnitView<Unit> text(units.data(), units.size());
  UnitEventSink<Unit> sink;
  compact ? text::scan_compact(text, sink) : text::scan_marl(text, sink);
  return sink.utf8.events;
}

// A scan over a str's code units (Latin-1, BMP or any code point, one per
// unit) gives the events of a scan over the same text in UTF-8.  Besides
// the tricky pieces, the texts hold characters whose low bits are a line
// feed, a colon or a space, which a scan must not take for them.
TEST(Scan, CodeUnitsGiveTheEventsOfUtf8) {
  std::vector<std::string> all = marlet_test::tricky_pieces();
  for (const char* s : {"\xc4\x8a", "\xc4\xba", "\xc4\xa0", "\xc3\xbf", "\xef\xbc\x8a", "\xe0\xa8\x8a", "\xf0\x9f\x80\x8a",
                        "\xf4\x80\x80\xa0", "\xe2\x80\x8a", "\xc2\x85", "\xc2\xa0"})
    all.emplace_back(s);
  std::mt19937 rng(21);
  for (int round = 0; round < 3000; ++round) {
    // Alphabets of the three str kinds: up to U+00FF, up to U+FFFF, any.
    const std::uint32_t widest = round % 3 == 0 ? 0xff : round % 3 == 1 ? 0xffff : 0x10ffff;
    std::vector<std::string> pieces;
    for (const std::string& p : all) {
      const auto points = code_points(p);
      if (*std::max_element(points.begin(), points.end()) <= widest) pieces.push_back(p);
    }
    std::string utf8;
    for (std::size_t n = rng() % 120; n > 0; --n) utf8 += pieces[rng() % pieces.size()];
    const std::vector<std::uint32_t> points = code_points(utf8);
    for (bool compact : {false, true}) {
      EventSink expected;
      compact ? text::scan_compact(utf8, expected) : text::scan_marl(utf8, expected);
      ASSERT_EQ(unit_events<std::uint32_t>(points, compact), expected.events) << marlet_test::hex(utf8);
      if (widest <= 0xffff) {
        ASSERT_EQ(unit_events<std::uint16_t>(points, compact), expected.events) << marlet_test::hex(utf8);
      }
      if (widest <= 0xff) {
        ASSERT_EQ(unit_events<std::uint8_t>(points, compact), expected.events) << marlet_test::hex(utf8);
      }
    }
  }
}

}  // namespace

#include "stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "compact.hpp"
#include "converter.hpp"
#include "ffi.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "test_support.hpp"
#include "utf8.hpp"

namespace {

using namespace std::string_literals;
namespace stream = marlet_core::stream;
using marlet_core::Format;
using marlet_test::Fields;
using marlet_test::Records;

// Collects what a reader finds, a repeated key keeping its last value.
struct CollectSink {
  Records records;
  Fields current;
  void field(std::string_view key, std::string_view value) { current.insert_or_assign(std::string(key), std::string(value)); }
  void close() {
    if (!current.empty()) end_record();
  }
  void end_record() { records.push_back(std::exchange(current, {})); }
};

// Feeds `text` cut at `cuts` (ascending offsets); nullopt when it throws ("offset: what" in `error`).
std::optional<Records> read_in_pieces(Format format, std::string_view text, const std::vector<std::size_t>& cuts,
                                      std::string* error = nullptr) {
  CollectSink sink;
  stream::Reader<CollectSink> reader(format, sink);
  try {
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
      reader.feed(text.substr(from, cut - from));
      from = cut;
    }
    reader.feed(text.substr(from));
    reader.finish();
  } catch (const stream::ReadError& e) {
    if (error != nullptr) *error = std::to_string(e.offset()) + ": " + e.what();
    return std::nullopt;
  }
  return sink.records;
}

std::vector<std::size_t> every(std::size_t size, std::size_t step) {
  std::vector<std::size_t> cuts;
  for (std::size_t at = step; at < size; at += step) cuts.push_back(at);
  return cuts;
}

std::vector<std::size_t> random_cuts(std::mt19937& rng, std::size_t size) {
  std::vector<std::size_t> cuts;
  if (size == 0) return cuts;
  for (std::size_t n = rng() % 8; n > 0; --n) cuts.push_back(rng() % (size + 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

Records one_shot(Format format, const std::string& text) {
  if (format == Format::marl) return marlet_test::to_maps(marlet_core::parse_marl_fast(text));
  return marlet_test::to_maps(marlet_core::compact::parse_marl_compact(text));
}

std::string random_valid_text(std::mt19937& rng, std::size_t pieces) {
  std::string text = marlet_test::random_text(rng, pieces);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());  // keep C strings in messages whole
  return text;
}

// ---------------------------------------------------------------------------
// Cut points

struct CutCase {
  Format format;
  std::string text;
  std::size_t offset;
  std::size_t cut;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << marlet_test::hex(c.text) << " @" << c.offset; }

class NextCutTest : public testing::TestWithParam<CutCase> {};

TEST_P(NextCutTest, FindsTheFirstCutAtOrAfterTheOffset) {
  const CutCase& c = GetParam();
  EXPECT_EQ(stream::next_cut(c.format, c.text, c.offset), c.cut);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NextCutTest,
    testing::Values(CutCase{Format::marl, "a: 1\nb: 2\n", 0, 0}, CutCase{Format::marl, "a: 1\nb: 2\n", 1, 5},
                    CutCase{Format::marl, "a: 1\nb: 2\n", 5, 5}, CutCase{Format::marl, "a: 1\nb: 2\n", 6, 10},
                    CutCase{Format::marl, "  a: 1\n  b: 2\nend\n  c", 1, 18},
                    CutCase{Format::marl, "  a: 1\n\n\t\r\n  b", 1, 14},                // no cut: end of text
                    CutCase{Format::marl, "x\r\n\xe3\x80\x80y\nz\n", 1, 3},             // after CRLF
                    CutCase{Format::marl, "  a\n\xe3\x80\x80y\nz\n", 1, 11},            // U+3000 indents
                    CutCase{Format::marl, "  a\n\xef\xbb\xbfy\nz\n", 1, 9},            // U+FEFF does not
                    CutCase{Format::marl, "  a\n\r\nz", 1, 7},                         // a CR line is blank
                    CutCase{Format::marlc, "a:1\nb:2\n\nc:3\n", 1, 9},
                    CutCase{Format::marlc, "a:1\n \t\r\nc:3\n", 1, 8},
                    CutCase{Format::marlc, "a:1\n\xc2\xa0\nc", 2, 7},
                    CutCase{Format::marlc, "a:1\nb:2\n", 3, 8},                        // no blank line
                    CutCase{Format::marlc, "\n\na", 1, 1}, CutCase{Format::marlc, "\n\na", 2, 2}));

// next_cut is the first position at or after the offset that is_cut
// accepts, and last_cut the last one.
TEST(CutPoints, AgreeWithIsCutAtEveryPosition) {
  std::mt19937 rng(1);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = random_valid_text(rng, rng() % 30);
    for (Format format : {Format::marl, Format::marlc}) {
      std::size_t last = 0;
      for (std::size_t pos = 0; pos <= text.size(); ++pos)
        if (stream::is_cut(format, text, pos)) last = pos;
      for (std::size_t offset = 0; offset <= text.size(); ++offset) {
        std::size_t expect = offset;
        while (expect < text.size() && !stream::is_cut(format, text, expect)) ++expect;
        ASSERT_EQ(stream::next_cut(format, text, offset), expect) << marlet_test::hex(text) << " @" << offset;
      }
      ASSERT_EQ(stream::last_cut(format, text), last) << marlet_test::hex(text);
    }
  }
}

// Pieces between cut points read on their own give the whole text's records.
TEST(CutPoints, PiecesReadAloneGiveTheWholeRecords) {
  std::mt19937 rng(2);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = random_valid_text(rng, rng() % 60);
    for (Format format : {Format::marl, Format::marlc}) {
      Records joined;
      std::size_t from = 0;
      for (std::size_t offset : random_cuts(rng, text.size())) {
        const std::size_t cut = stream::next_cut(format, text, offset < from ? from : offset);
        for (auto& r : one_shot(format, text.substr(from, cut - from))) joined.push_back(r);
        from = cut;
      }
      for (auto& r : one_shot(format, text.substr(from))) joined.push_back(r);
      ASSERT_EQ(joined, one_shot(format, text)) << marlet_test::hex(text);
    }
  }
}

// ---------------------------------------------------------------------------
// Incremental text readers

// Random cuts, and for shorter texts every chunk size, give the one-shot records.
TEST(Reader, AnyCutsGiveTheOneShotRecords) {
  std::mt19937 rng(3);
  for (int round = 0; round < 5300; ++round) {
    const bool every_size = round < 300;
    const std::string text = random_valid_text(rng, rng() % (every_size ? 40 : 200));
    for (Format format : {Format::marl, Format::marlc}) {
      const Records expect = one_shot(format, text);
      ASSERT_EQ(read_in_pieces(format, text, random_cuts(rng, text.size())), expect) << marlet_test::hex(text);
      if (!every_size) continue;
      ASSERT_EQ(expect, format == Format::marl ? marlet_test::reference::marl(text) : marlet_test::reference::compact(text));
      for (std::size_t step = 1; step <= text.size() + 1; ++step)
        ASSERT_EQ(read_in_pieces(format, text, every(text.size(), step)), expect) << marlet_test::hex(text) << " /" << step;
    }
  }
}

// ---------------------------------------------------------------------------
// UTF-8 across cuts

TEST(Utf8, FirstInvalidAgreesWithTheValidator) {
  std::mt19937 rng(5);
  const std::vector<std::string> bytes = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xc3", "\xe2\x82", "\x80",
                                          "\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe0\x80\xaf", " "};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    for (std::size_t n = rng() % 8; n > 0; --n) s += bytes[rng() % bytes.size()];
    const std::size_t bad = marlet_core::first_invalid_utf8(s.data(), s.size());
    ASSERT_EQ(bad == s.size(), marlet_core::is_valid_utf8(s)) << marlet_test::hex(s);
    // Fed in pieces, the reader reports the same offset.
    for (Format format : {Format::marl, Format::marlc, Format::json}) {
      std::string error;
      const std::string doc = format == Format::json ? "[{\"k\":\"" + s + "\"}]" : "k: " + s;
      const std::size_t prefix = format == Format::json ? 7 : 3;
      auto records = read_in_pieces(format, doc, random_cuts(rng, doc.size()), &error);
      if (bad == s.size()) {
        ASSERT_TRUE(records.has_value()) << marlet_test::hex(s);
      } else {
        ASSERT_FALSE(records.has_value());
        ASSERT_EQ(error, std::to_string(prefix + bad) + ": ill-formed UTF-8") << marlet_test::hex(s);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Incremental JSON reader

std::optional<Records> json_one_shot(const std::string& text, std::string* error = nullptr) {
  auto result = marlet_core::read_json(text);
  if (result) return marlet_test::to_maps(result.value());
  if (error != nullptr) *error = std::to_string(result.error_offset()) + ": " + message(result.fault());
  return std::nullopt;
}

TEST(JsonReader, WrittenRecordsReadBackInAnyPieces) {
  std::mt19937 rng(6);
  for (int round = 0; round < 2000; ++round) {
    const Records records = marlet_test::random_records(rng);
    marlet_core::Buffer out;
    marlet_core::write_json(marlet_test::make_list<marlet_core::RecordList>(records), out);
    std::string text(out.view());
    if (rng() % 2) {
      // JSON whitespace between tokens.
      std::string spaced;
      bool in_string = false;
      for (std::size_t i = 0; i < text.size(); ++i) {
        spaced += text[i];
        if (text[i] == '"' && (i == 0 || text[i - 1] != '\\' || (i >= 2 && text[i - 2] == '\\'))) in_string = !in_string;
        if (!in_string && rng() % 3 == 0) spaced += " \t\r\n"[rng() % 4];
      }
      if (json_one_shot(spaced)) text = spaced;
    }
    ASSERT_EQ(read_in_pieces(Format::json, text, random_cuts(rng, text.size())), records) << text;
    if (text.size() < 60) {
      for (std::size_t step = 1; step <= text.size(); ++step)
        ASSERT_EQ(read_in_pieces(Format::json, text, every(text.size(), step)), records) << text;
    }
  }
}

// Accepts and rejects exactly what the one-shot reader does, at the same place for the same fault.
TEST(JsonReader, AcceptsWhatTheOneShotReaderAccepts) {
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"[", "]", "{", "}", ",", ":", "\"", "\"a\"", "\"b\"", "\\", "\\u", "d83d", "de00",
                                           "\\ud83d", "\\ude00", "\\n", "\\x", " ", "\n", "\t", "\x01", "1", "null", "\xc3\xa9",
                                           "[{", "}]", "\"k\":\"v\"", "},{", "\\/", "00e9", "\\\""};
  int accepted = 0;
  for (int round = 0; round < 100000; ++round) {
    std::string text;
    for (std::size_t n = rng() % 14; n > 0; --n) text += pieces[rng() % pieces.size()];
    std::string expect_error, error;
    const auto expect = json_one_shot(text, &expect_error);
    accepted += expect.has_value();
    ASSERT_TRUE(read_in_pieces(Format::json, text, random_cuts(rng, text.size()), &error) == expect && error == expect_error) << text << error;
  }
  EXPECT_GT(accepted, 10);
}

TEST(JsonReader, ReportsWhereTheStructureBreaks) {
  std::string error;
  EXPECT_FALSE(read_in_pieces(Format::json, "[{\"a\":\"1\"},{\"b\":2}]", {3, 15}, &error));
  EXPECT_EQ(error, "16: a member value is not a string");
  EXPECT_FALSE(read_in_pieces(Format::json, "[{\"a\":\"1\"}] x", {12}, &error));
  EXPECT_EQ(error, "12: extra data after the array");
  EXPECT_FALSE(read_in_pieces(Format::json, "[{\"a\":\"1\"}", {}, &error));
  EXPECT_EQ(error, "10: the text ended before the array closed");
}

}  // namespace

// ---------------------------------------------------------------------------
// File conversion

namespace {

class StringSource : public stream::Source {
 public:
  StringSource(std::string text, std::size_t max_read) : text_(std::move(text)), max_read_(max_read) {}
  std::size_t read(char* dst, std::size_t n) override {
    n = std::min({n, max_read_, text_.size() - at_});
    std::memcpy(dst, text_.data() + at_, n);
    at_ += n;
    return n;
  }
  bool rewind() override {
    at_ = 0;
    return rewindable;
  }
  bool rewindable = true;

 private:
  std::string text_;
  std::size_t max_read_;
  std::size_t at_ = 0;
};

class StringDestination : public stream::Destination {
 public:
  explicit StringDestination(bool seekable) : seekable_(seekable) {}
  void write(std::string_view bytes) override { text.append(bytes); }
  bool can_patch() const override { return seekable_; }
  void patch(std::uint64_t offset, std::string_view bytes) override { text.replace(offset, bytes.size(), bytes); }
  std::string text;

 private:
  bool seekable_;
};

std::string convert(const std::string& input, Format from, Format to, unsigned jobs,
                    std::size_t chunk, std::size_t max_read, bool seekable = true, bool lossy = false) {
  StringSource source(input, max_read);
  StringDestination destination(seekable);
  stream::ConvertOptions options;
  options.from = from;
  options.to = to;
  options.jobs = jobs;
  options.chunk_size = chunk;
  options.lossy = lossy;
  stream::convert(source, destination, options, [](std::uint64_t) {});
  return destination.text;
}

}  // namespace

// Any threads, rounds and reads give the one-shot records; for records of
// one field (where field order cannot differ) the one-shot writers' bytes.
TEST(Convert, GivesTheOneShotRecordsAndBytes) {
  std::mt19937 rng(8);
  for (int round = 0; round < 1500; ++round) {
    const bool single = rng() % 2;
    std::string text = random_valid_text(rng, rng() % 80);
    if (single) {
      // Unindented lines only: every record holds one field.
      std::string flat;
      for (char c : text) flat += c;
      text.clear();
      for (std::size_t i = 0; i < flat.size(); ++i)
        if (!(flat[i] == '\n' && i + 1 < flat.size() && (flat[i + 1] == ' ' || flat[i + 1] == '\t'))) text += flat[i];
    }
    const auto jobs = static_cast<unsigned>(1 + rng() % 3);
    const std::size_t chunk = 1 + rng() % 16;
    const std::size_t max_read = 1 + rng() % 20;
    // The conversion drops a leading byte-order mark.
    const std::string body = text.rfind("\xef\xbb\xbf", 0) == 0 ? text.substr(3) : text;
    for (Format format : {Format::marl, Format::marlc}) {
      const Records expect = one_shot(format, body);
      const std::string json = convert(text, format, Format::json, jobs, chunk, max_read);
      ASSERT_EQ(marlet_test::from_json(json), expect) << marlet_test::hex(text);
      const std::string bin = convert(text, format, Format::binary, jobs, chunk, max_read, rng() % 2);
      ASSERT_EQ(marlet_test::from_binary(reinterpret_cast<const std::uint8_t*>(bin.data()), bin.size()), expect);
      // Lossy: a first key may start with U+FEFF, which reads back as a byte-order mark.
      const std::string marlc = convert(text, format, Format::marlc, jobs, chunk, max_read, true, true);
      ASSERT_EQ(one_shot(Format::marlc, marlc), expect);
      const std::string marl = convert(text, format, Format::marl, jobs, chunk, max_read, true, true);
      ASSERT_EQ(one_shot(Format::marl, marl), expect);
      ASSERT_EQ(marlet_test::from_json(convert(json, Format::json, Format::json, 1, chunk, max_read)), expect);
      bool one_field = true;
      for (const Fields& r : expect) one_field = one_field && r.size() == 1;
      if (one_field) {
        const auto list = format == Format::marl ? marlet_core::parse_marl_fast(body)
                                                 : marlet_core::compact::parse_marl_compact(body);
        marlet_core::Buffer out;
        marlet_core::write_json(list, out);
        ASSERT_EQ(json, out.view());
        ASSERT_EQ(marlc, marlet_core::compact::write_marl_compact(list).view());
        ASSERT_EQ(bin, marlet_core::ffi::encode_binary(list)->view());
      }
    }
  }
}

TEST(Convert, FieldsInDocumentOrderLastValueWins) {
  EXPECT_EQ(convert("  b: 1\n  a: 2\n  b: 3\nc: 4\n", Format::marl, Format::json, 1, 4, 3),
            R"([{"b":"3","a":"2","c":"4"}])");
  EXPECT_EQ(convert("\xef\xbb\xbf" "a: 1\n", Format::marl, Format::marlc, 2, 4, 3), "a:1\n\n");
}

TEST(Convert, BinaryToAnUnseekableOutputCountsFirstOrFails) {
  const std::string text = "a: 1\nb: 2\n";
  EXPECT_EQ(convert(text, Format::marl, Format::binary, 1, 4, 3, false),
            convert(text, Format::marl, Format::binary, 1, 4, 3, true));
  StringSource source(text, 100);
  source.rewindable = false;
  StringDestination destination(false);
  stream::ConvertOptions options;
  options.to = Format::binary;
  EXPECT_THROW(stream::convert(source, destination, options, [](std::uint64_t) {}), stream::ConvertError);
  EXPECT_EQ(destination.text, "");
}

TEST(Convert, RefusesJsonRecordsATextFormCannotCarry) {
  const std::string json = R"([{"a":"1"},{"k:x":"2"}])";
  EXPECT_THROW(convert(json, Format::json, Format::marlc, 1, 4, 3), stream::ConvertError);
}

TEST(Convert, ReportsIllFormedUtf8WithItsOffset) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "key: value " + std::to_string(i) + "\n";
  const std::size_t bad = text.size() - 100;
  text[bad] = '\xff';
  for (unsigned jobs : {1u, 2u, 3u}) {
    try {
      convert(text, Format::marl, Format::json, jobs, 64, 1000);
      ADD_FAILURE() << "accepted";
    } catch (const stream::ReadError& e) {
      EXPECT_EQ(e.offset(), bad);
    }
  }
}

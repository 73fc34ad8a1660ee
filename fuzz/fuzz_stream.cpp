// The incremental readers against the one-shot readers.  The first byte
// picks the format and a seed for where the text is cut into chunks; the
// rest is the text.  Fed in those chunks, the incremental reader must give
// exactly the one-shot reader's records, or, for ill-formed UTF-8, fail at
// the first ill-formed byte; the JSON reader must accept exactly what the
// one-shot JSON reader accepts.  For .marl and .marlc the pieces between
// cut points, read on their own, must give the whole text's records.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compact.hpp"
#include "fuzz_support.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "stream.hpp"
#include "utf8.hpp"

namespace {

namespace stream = marlet_core::stream;

struct CollectSink {
  fuzz::Canon records;
  std::map<std::string, std::string> current;
  bool open = false;
  void field(std::string_view key, std::string_view value) {
    current.insert_or_assign(std::string(key), std::string(value));
    open = true;
  }
  void close() {
    if (!current.empty()) end_record();
  }
  void end_record() {
    records.emplace_back(current.begin(), current.end());
    current.clear();
  }
};

// The text fed in chunks whose sizes come from `seed`; nullopt and the
// error offset when the reader throws.
std::optional<fuzz::Canon> incremental(marlet_core::Format format, std::string_view text, unsigned seed,
                                       std::uint64_t& error_at) {
  CollectSink sink;
  stream::Reader<CollectSink> reader(format, sink);
  std::uint32_t state = seed * 2654435761u + 1;
  try {
    while (!text.empty()) {
      state = state * 1103515245u + 12345u;
      const std::size_t n = 1 + (state >> 16) % (seed % 4 == 0 ? 3 : 64);
      reader.feed(text.substr(0, n));
      text.remove_prefix(n < text.size() ? n : text.size());
    }
    reader.finish();
  } catch (const stream::ReadError& e) {
    error_at = e.offset();
    return std::nullopt;
  }
  return sink.records;
}

fuzz::Canon one_shot(marlet_core::Format format, std::string_view text) {
  if (format == marlet_core::Format::marl) return fuzz::canon(marlet_core::parse_marl_fast(text));
  return fuzz::canon(marlet_core::compact::parse_marl_compact(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned control = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const marlet_core::Format format = control % 3 == 0 ? marlet_core::Format::marl
                                : control % 3 == 1 ? marlet_core::Format::marlc
                                                   : marlet_core::Format::json;
  const bool valid = marlet_core::is_valid_utf8(text);
  std::uint64_t error_at = 0;
  const auto records = incremental(format, text, control / 3, error_at);

  if (format == marlet_core::Format::json) {
    std::optional<fuzz::Canon> expect;
    if (valid) {
      auto result = marlet_core::read_json(text);
      if (result) expect = fuzz::canon(result.value());
    }
    fuzz::check(records == expect, "the incremental JSON reader disagrees with the one-shot reader");
    return 0;
  }
  if (!valid) {
    fuzz::check(!records, "ill-formed UTF-8 was accepted");
    fuzz::check(error_at == marlet_core::first_invalid_utf8(text.data(), text.size()), "wrong offset of ill-formed UTF-8");
    return 0;
  }
  const fuzz::Canon whole = one_shot(format, text);
  fuzz::check(records && *records == whole, "the incremental reader disagrees with the one-shot reader");

  // Pieces between cut points.
  fuzz::Canon joined;
  std::size_t from = 0;
  for (std::size_t offset = 1 + control % 7; from < text.size(); offset += 1 + control % 13) {
    std::size_t cut = stream::next_cut(format, text, offset < from ? from : offset);
    fuzz::check(cut >= from && cut <= text.size(), "a cut point out of range");
    fuzz::check(cut == text.size() || stream::is_cut(format, text, cut), "next_cut gave a position that is not a cut point");
    for (auto& r : one_shot(format, text.substr(from, cut - from))) joined.push_back(std::move(r));
    from = cut;
  }
  fuzz::check(joined == whole, "pieces between cut points disagree with the whole text");
  return 0;
}

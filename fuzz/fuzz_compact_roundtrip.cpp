// The .marlc format: read, write, read gives the records of the first read;
// the reader matches a plain model of its rules; the writer's output has
// exactly the bytes its records call for; and the JSON-driven writer
// accepts exactly what the JSON reader accepts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compact.hpp"
#include "fuzz_support.hpp"
#include "json.hpp"
#include "utf8.hpp"

namespace {

using marlet_core::compact::parse_marl_compact;
using marlet_core::compact::write_marl_compact;

// Written size: key, ':', value, '\n' per field and one '\n' per record.
std::size_t compact_size(const fuzz::Canon& records) {
  std::size_t n = records.size();
  for (const fuzz::Fields& fields : records)
    for (const auto& [key, value] : fields) n += key.size() + value.size() + 2;
  return n;
}

// True when every record comes back unchanged from a write and a read: no
// empty record; keys non-empty without ':'; no line feed and no whitespace
// at either end of any key or value.
bool survives_round_trip(const fuzz::Canon& records) {
  for (const fuzz::Fields& fields : records) {
    if (fields.empty()) return false;
    for (const auto& [key, value] : fields) {
      if (key.empty() || key.find(':') != std::string::npos) return false;
      for (const std::string* s : {&key, &value}) {
        if (s->find('\n') != std::string::npos) return false;
        const std::u32string cps = fuzz::decode(*s);
        if (!cps.empty() && (fuzz::is_space(cps.front()) || fuzz::is_space(cps.back()))) return false;
      }
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!marlet_core::is_valid_utf8(text)) return 0;

  // Read, write, read.
  const marlet_core::RecordList first = parse_marl_compact(text);
  const fuzz::Canon records = fuzz::canon(first);
  fuzz::check_text_invariants(records);
  fuzz::check(survives_round_trip(records), "the compact reader yielded a record the format cannot carry");
  fuzz::check(records == fuzz::reference_compact(text), "the compact reader disagrees with the reference model");

  const marlet_core::Buffer written = write_marl_compact(first);
  fuzz::check(written.size() == compact_size(records), "the compact text has the wrong length");
  fuzz::check(marlet_core::is_valid_utf8(written.view()), "the compact text is not valid UTF-8");
  const marlet_core::RecordList second = parse_marl_compact(written.view());
  fuzz::check(fuzz::canon(second) == records, "read, write, read changed the records");
  fuzz::check(write_marl_compact(second).size() == written.size(), "a second write has a different length");

  // The JSON form of the same read.
  const marlet_core::Buffer json = marlet_core::compact::parse_marl_compact_to_json(text);
  marlet_core::JsonResult from_json = marlet_core::read_json(json.view());
  fuzz::check(from_json.ok(), "read_json rejected parse_marl_compact_to_json's output");
  fuzz::check(fuzz::canon(from_json.value()) == records, "parse_marl_compact_to_json changed the records");

  // The input as JSON, through the JSON-driven writer.
  marlet_core::JsonResult as_json = marlet_core::read_json(text);
  const std::optional<marlet_core::Buffer> out = marlet_core::compact::write_marl_compact_from_json(text);
  fuzz::check(out.has_value() == as_json.ok(), "write_marl_compact_from_json and read_json disagree on acceptance");
  if (out) {
    const fuzz::Canon given = fuzz::canon(as_json.value());
    fuzz::check(out->size() == compact_size(given), "write_marl_compact_from_json wrote the wrong length");
    const fuzz::Canon back = fuzz::canon(parse_marl_compact(out->view()));
    fuzz::check_text_invariants(back);
    if (survives_round_trip(given)) fuzz::check(back == given, "JSON records did not survive the compact text");
  }
  return 0;
}

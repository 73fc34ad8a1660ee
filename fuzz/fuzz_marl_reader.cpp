// The .marl reader: owned and borrowed forms must give the same records,
// both must match a plain model of the reading rules, and the records must
// hold the invariants every text reader guarantees.  Line ends are then
// varied (CRLF, a final line feed added) without changing the records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "marl_reader.hpp"
#include "utf8.hpp"

namespace {

fuzz::Canon read_both(std::string_view text) {
  const marlet_core::RecordList owned = marlet_core::parse_marl_fast(text);
  const marlet_core::BorrowedRecordList borrowed = marlet_core::parse_marl_fast_borrowed(text);
  // A borrowed key or value is a view into the text itself.
  for (const auto& record : borrowed)
    record.for_each([&](std::string_view k, std::string_view v) {
      for (std::string_view part : {k, v})
        fuzz::check(part.empty() || (part.data() >= text.data() && part.data() + part.size() <= text.data() + text.size()),
                    "a borrowed view points outside the text");
    });
  fuzz::Canon a = fuzz::canon(owned);
  fuzz::check(a == fuzz::canon(borrowed), "parse_marl_fast and parse_marl_fast_borrowed disagree");
  return a;
}

std::string with_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!marlet_core::is_valid_utf8(text)) return 0;

  const fuzz::Canon records = read_both(text);
  fuzz::check_text_invariants(records);
  fuzz::check(records == fuzz::reference_marl(text), "the .marl reader disagrees with the reference model");

  // A carriage return before each line feed only adds trailing whitespace
  // to lines, which trimming removes; a final line feed ends no new line.
  fuzz::check(read_both(with_crlf(text)) == records, "CRLF line ends changed the records");
  if (!text.empty() && text.back() != '\n')
    fuzz::check(read_both(std::string(text) + "\n") == records, "a final line feed changed the records");
  return 0;
}

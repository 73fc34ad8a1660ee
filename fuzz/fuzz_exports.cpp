// Every C export on arbitrary bytes: no crash, failure exactly when the
// input is not well-formed UTF-8 (or, for marlet_write_compact, not the
// JSON form or holding U+0000), and well-formed results:
//   - the strings of marlet_parse and marlet_parse_compact hold no byte
//     below 0x20, are accepted by the strict JSON reader, give the records
//     the core readers give, and go through marlet_write_compact unless a
//     key or value holds U+0000;
//   - the buffer of marlet_parse_binary is accounted for exactly by its
//     counts and lengths and holds the same records as marlet_parse;
//   - the text of marlet_write_compact reads back with parse_marl_compact.
// Every result is released through the library, so ASan's leak check sees
// anything the exports fail to hand over or to release.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "compact.hpp"
#include "fuzz_support.hpp"
#include "json.hpp"
#include "marl_reader.hpp"
#include "marlet.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define MARLET_FUZZ_BLOCK_SIZES 1
#endif
#endif

namespace {

// Under ASan the allocator knows the exact size each block was requested
// with: a returned string's block is its length plus the terminator, and a
// buffer's block is exactly its length.
void check_block_size(const void* block, std::size_t expected, const char* what) {
#ifdef MARLET_FUZZ_BLOCK_SIZES
  fuzz::check(__sanitizer_get_ownership(block) != 0, what);
  fuzz::check(__sanitizer_get_allocated_size(block) == expected, what);
#else
  (void)block, (void)expected, (void)what;
#endif
}

bool holds_nul(const fuzz::Canon& records) {
  for (const fuzz::Fields& fields : records)
    for (const auto& [key, value] : fields)
      if (key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) return true;
  return false;
}

std::size_t compact_size(const fuzz::Canon& records) {
  std::size_t n = records.size();
  for (const fuzz::Fields& fields : records)
    for (const auto& [key, value] : fields) n += key.size() + value.size() + 2;
  return n;
}

// Checks marlet_write_compact on `json` against the records it should
// carry (nothing when the JSON form reader must reject it).
void check_write_compact(std::string_view json, const std::optional<fuzz::Canon>& records) {
  char* out = marlet_write_compact(json.data(), json.size());
  const bool expect = records.has_value() && !holds_nul(*records);
  fuzz::check((out != nullptr) == expect, "marlet_write_compact succeeded or failed unexpectedly");
  if (out == nullptr) return;
  const std::string_view text(out, std::strlen(out));
  check_block_size(out, text.size() + 1, "marlet_write_compact's block is not its length plus one");
  fuzz::check(text.size() == compact_size(*records), "marlet_write_compact's text has the wrong length");
  fuzz::check(fuzz::reference_valid_utf8(text), "marlet_write_compact's text is not valid UTF-8");
  const fuzz::Canon back = fuzz::canon(marlet_core::compact::parse_marl_compact(text));
  fuzz::check_text_invariants(back);
  fuzz::check(back == fuzz::reference_compact(text), "marlet_write_compact's text reads back oddly");
  marlet_free_string(out);
}

// Checks a string from marlet_parse or marlet_parse_compact: the JSON form
// of `records`.
void check_json_result(char* s, const fuzz::Canon& records) {
  fuzz::check(s != nullptr, "a string export failed on valid UTF-8");
  const std::string_view json(s, std::strlen(s));
  check_block_size(s, json.size() + 1, "a returned string's block is not its length plus one");
  for (char c : json) fuzz::check(static_cast<unsigned char>(c) >= 0x20, "an export's JSON holds a byte below 0x20");
  marlet_core::JsonResult read = marlet_core::read_json(json);
  fuzz::check(read.ok(), "the strict JSON reader rejected an export's JSON");
  const fuzz::Canon got = fuzz::canon(read.value());
  fuzz::check(got == records, "an export's JSON holds other records than the core reader");
  check_write_compact(json, got);
  marlet_free_string(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The exports treat a null pointer as failure, so an empty input must
  // still come with a real address.
  static const char kEmpty = 0;
  const char* p = data != nullptr ? reinterpret_cast<const char*>(data) : &kEmpty;
  const std::string_view input(p, size);
  const bool valid = fuzz::reference_valid_utf8(input);

  // marlet_parse
  char* json = marlet_parse(p, size);
  fuzz::check((json != nullptr) == valid, "marlet_parse: result does not match the input's validity");
  fuzz::Canon marl_records;
  if (valid) {
    marl_records = fuzz::canon(marlet_core::parse_marl_fast(input));
    check_json_result(json, marl_records);
  }

  // marlet_parse_binary: out-parameters untouched on failure.
  std::uint8_t sentinel = 0;
  std::uint8_t* buffer = &sentinel;
  std::size_t length = 12345;
  const int ok = marlet_parse_binary(p, size, &buffer, &length);
  fuzz::check(ok == 0 || ok == 1, "marlet_parse_binary returned neither 0 nor 1");
  fuzz::check(ok == (valid ? 1 : 0), "marlet_parse_binary: result does not match the input's validity");
  if (ok == 1) {
    fuzz::check(buffer != nullptr && buffer != &sentinel && length >= 4, "marlet_parse_binary stored no buffer");
    check_block_size(buffer, length, "marlet_parse_binary's block is not exactly its length");
    fuzz::check(fuzz::decode_binary(buffer, length) == marl_records,
                "marlet_parse_binary holds other records than marlet_parse");
    marlet_free_buffer(buffer, length);
  } else {
    fuzz::check(buffer == &sentinel && length == 12345, "marlet_parse_binary wrote its out-parameters on failure");
  }

  // marlet_parse_compact
  char* compact_json = marlet_parse_compact(p, size);
  fuzz::check((compact_json != nullptr) == valid, "marlet_parse_compact: result does not match the input's validity");
  if (valid) check_json_result(compact_json, fuzz::canon(marlet_core::compact::parse_marl_compact(input)));

  // marlet_write_compact on the input itself.
  if (valid) {
    check_write_compact(input, fuzz::reference_json(input));
  } else {
    fuzz::check(marlet_write_compact(p, size) == nullptr, "marlet_write_compact accepted invalid UTF-8");
  }

  // Null pointers fail whatever the length; the release functions take them.
  fuzz::check(marlet_parse(nullptr, size) == nullptr, "marlet_parse(NULL) did not fail");
  fuzz::check(marlet_parse_compact(nullptr, size) == nullptr, "marlet_parse_compact(NULL) did not fail");
  fuzz::check(marlet_write_compact(nullptr, size) == nullptr, "marlet_write_compact(NULL) did not fail");
  fuzz::check(marlet_parse_binary(nullptr, size, &buffer, &length) == 0, "marlet_parse_binary(NULL) did not fail");
  fuzz::check(marlet_parse_binary(p, size, nullptr, &length) == 0, "marlet_parse_binary without out_buffer");
  fuzz::check(marlet_parse_binary(p, size, &buffer, nullptr) == 0, "marlet_parse_binary without out_length");
  marlet_free_string(nullptr);
  marlet_free_buffer(nullptr, 0);
  return 0;
}

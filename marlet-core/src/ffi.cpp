// The six exported C functions: check the pointers, validate the input as
// UTF-8, call one core operation, hand over the block the core built.
// guarded() turns any C++ exception into a diagnostic and abort.
#include "ffi.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "compact.hpp"
#include "json.hpp"
#include "marlet.h"
#include "utf8.hpp"

namespace marlet_core::ffi {
namespace {

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    fatal("out of memory");
  } catch (const std::exception& e) {
    fatal(e.what());
  } catch (...) {
    fatal("unexpected exception");
  }
}

// The steps of the exports that return a string.  A C caller finds the
// string's end at the first NUL, so a result holding one (only .marlc text
// can) is refused; one memchr keeps that checked rather than assumed.
template <class Op>
char* string_export(const char* text, std::size_t length, Op op) noexcept {
  if (text == nullptr) return nullptr;
  return guarded([&]() -> char* {
    if (!is_valid_utf8(text, length)) return nullptr;
    std::optional<Buffer> result = op(std::string_view(text, length));
    if (!result) return nullptr;
    if (!result->empty() && std::memchr(result->data(), '\0', result->size()) != nullptr) return nullptr;
    return result->release_c_string();
  });
}

}  // namespace
}  // namespace marlet_core::ffi

using marlet_core::ffi::guarded;
using marlet_core::ffi::string_export;

extern "C" {

MARLET_API char* marlet_parse(const char* text, size_t length) {
  return string_export(text, length, [](std::string_view t) { return marlet_core::parse_marl_to_json(t); });
}

MARLET_API void marlet_free_string(char* string) {
  if (string == nullptr) return;
  // A caller's stale copy of the pointer then reads as the empty string, for
  // as long as the allocator leaves the byte alone.
  string[0] = '\0';
  std::free(string);
}

MARLET_API int marlet_parse_binary(const char* text, size_t length, uint8_t** out_buffer, size_t* out_length) {
  if (text == nullptr || out_buffer == nullptr || out_length == nullptr) return 0;
  return guarded([&]() -> int {
    if (!marlet_core::is_valid_utf8(text, length)) return 0;
    std::optional<marlet_core::Buffer> encoded = marlet_core::ffi::parse_marl_to_binary(std::string_view(text, length));
    if (!encoded) return 0;
    const std::size_t size = encoded->size();
    *out_buffer = reinterpret_cast<uint8_t*>(encoded->release_trimmed());
    *out_length = size;
    return 1;
  });
}

MARLET_API void marlet_free_buffer(uint8_t* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return;
  std::free(buffer);
}

MARLET_API char* marlet_parse_compact(const char* text, size_t length) {
  return string_export(text, length, [](std::string_view t) { return marlet_core::compact::parse_marl_compact_to_json(t); });
}

MARLET_API char* marlet_write_compact(const char* json, size_t length) {
  return string_export(json, length, [](std::string_view j) { return marlet_core::compact::write_marl_compact_from_json(j); });
}

}  // extern "C"

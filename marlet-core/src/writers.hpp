// Per-record writers for every output form, and the checks that say which
// records a text form cannot carry.
//
// Each writer appends one record, given as its fields in the order they are
// to be written, to an output that offers the growth interface of Buffer:
//   char* prepare(n)   room for n more bytes;  commit(n)  counts them;
//   append(view)       push_back(byte)
// Buffer is the usual output; the Python package passes its own output
// type, whose allocation failures become MemoryError instead of an abort.
// The writers never reserve more than the bytes they are about to write.
//
// The forms, per record:
//   .marlc   "key:value\n" per field, then one more "\n";
//   .marl    "  key: value\n" per field but the last, then the last field
//            unindented, "key: value\n" (so every line but the last is a
//            continuation and the last one closes the record); an empty
//            value is written "key:" with nothing after the colon;
//   JSON     the record's object, {"key":"value",...}, as the JSON form
//            writes it (same escapes, no whitespace);
//   binary   the field count, then per field the key's length, the key, the
//            value's length and the value, lengths as 32-bit little-endian.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "ffi.hpp"
#include "json.hpp"
#include "memory.hpp"
#include "text.hpp"

namespace marlet_core::writers {

using text::Field;

// .marlc: fields as key:value lines, then the blank line that ends the
// record.  Nothing is escaped or checked.
template <class Out>
void write_marlc_record(std::span<const Field> fields, Out& out) {
  for (const Field& f : fields) {
    const std::size_t n = f.key.size() + f.value.size() + 2;
    char* d = out.prepare(n);
    copy_bytes(d, f.key.data(), f.key.size());
    d += f.key.size();
    *d++ = ':';
    copy_bytes(d, f.value.data(), f.value.size());
    d[f.value.size()] = '\n';
    out.commit(n);
  }
  out.push_back('\n');
}

// .marl: every field but the last on an indented line, the last on an
// unindented one.  An empty record writes nothing at all.
template <class Out>
void write_marl_record(std::span<const Field> fields, Out& out) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const Field& f = fields[i];
    const bool last = i + 1 == fields.size();
    const std::size_t indent = last ? 0 : 2;
    const std::size_t gap = f.value.empty() ? 0 : 1;
    const std::size_t n = indent + f.key.size() + 1 + gap + f.value.size() + 1;
    char* d = out.prepare(n);
    if (!last) {
      *d++ = ' ';
      *d++ = ' ';
    }
    copy_bytes(d, f.key.data(), f.key.size());
    d += f.key.size();
    *d++ = ':';
    if (gap != 0) *d++ = ' ';
    copy_bytes(d, f.value.data(), f.value.size());
    d[f.value.size()] = '\n';
    out.commit(n);
  }
}

// A JSON string, quotes included, with the JSON form's escapes.  Runs
// without special bytes are copied whole; each escape takes at most 6
// bytes, so room is asked for per run, never for a multiple of the string.
template <class Out>
void write_json_text(std::string_view s, Out& out) {
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  for (;;) {
    const unsigned char* run = json_detail::find_special(p, end);
    out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run - p));
    if (run == end) break;
    char* d = out.prepare(6);
    char* const start = d;
    const unsigned char c = *run;
    const char code = json_detail::kEscape.code[c];
    *d++ = '\\';
    *d++ = code;
    if (code == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      *d++ = '0';
      *d++ = '0';
      *d++ = kHex[c >> 4];
      *d++ = kHex[c & 0xf];
    }
    out.commit(static_cast<std::size_t>(d - start));
    p = run + 1;
  }
  out.push_back('"');
}

// The record's JSON object; the caller writes the array's brackets and the
// commas between records.
template <class Out>
void write_json_record(std::span<const Field> fields, Out& out) {
  out.push_back('{');
  bool first = true;
  for (const Field& f : fields) {
    if (!first) out.push_back(',');
    first = false;
    write_json_text(f.key, out);
    out.push_back(':');
    write_json_text(f.value, out);
  }
  out.push_back('}');
}

// The record's block of the binary encoding (its field count and fields;
// the record count at the head of the encoding is the caller's).  Returns
// false, having written nothing, when a count or length does not fit in
// 32 bits.
template <class Out>
[[nodiscard]] bool write_binary_record(std::span<const Field> fields, Out& out) {
  if (!ffi::detail::fits_u32(fields.size())) return false;
  for (const Field& f : fields)
    if (!ffi::detail::fits_u32(f.key.size()) || !ffi::detail::fits_u32(f.value.size())) return false;
  ffi::detail::put_u32(out.prepare(4), fields.size());
  out.commit(4);
  for (const Field& f : fields) {
    const std::size_t n = 8 + f.key.size() + f.value.size();
    char* d = ffi::detail::put_u32(out.prepare(n), f.key.size());
    copy_bytes(d, f.key.data(), f.key.size());
    d = ffi::detail::put_u32(d + f.key.size(), f.value.size());
    copy_bytes(d, f.value.data(), f.value.size());
    out.commit(n);
  }
  return true;
}

// Why a record would not read back as written from a text form.
struct Loss {
  static constexpr std::size_t kRecord = static_cast<std::size_t>(-1);
  std::size_t field;   // index of the offending field, or kRecord
  const char* reason;  // e.g. "a key cannot hold ':'"
};

// What .marlc cannot carry, decided on the bytes that would be written:
// an empty record, an empty key, a key with ':', a line feed in a key or a
// value, whitespace (the readers' set) at either end of a key or a value.
// `opens_document` marks the first record of a document: its first key
// cannot start with U+FEFF, which the file readers drop as a byte-order
// mark.  Fields are checked in order; the first fault is reported.
std::optional<Loss> marlc_loss(std::span<const Field> fields, bool opens_document) noexcept;

// What .marl cannot carry.  The .marl writer's lines read back exactly when
// the .marlc ones do (both readers share their line, trim and field rules,
// and every written line but the last of a record is indented), so the
// rules are the same, except that a document opens with an indented line
// unless its first record has a single field: only then can its first key
// be taken for a byte-order mark.
inline std::optional<Loss> marl_loss(std::span<const Field> fields, bool opens_document) noexcept {
  return marlc_loss(fields, opens_document && fields.size() == 1);
}

}  // namespace marlet_core::writers

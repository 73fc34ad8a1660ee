#include "stream.hpp"

#include <cstring>

#include "json.hpp"
#include "utf8.hpp"

namespace marlet_core::stream {

namespace {

// Whether reading can start afresh after the line of `text` from `start`
// to the line feed at `lf`.
bool closes_record(Format format, std::string_view text, std::size_t start, std::size_t lf) noexcept {
  return text::closes_record(format == Format::marl, text.substr(start, lf - start));
}

// The offset of the last line feed before `end`, or npos.
std::size_t last_lf_before(std::string_view text, std::size_t end) noexcept {
  if (end == 0) return npos;
  const void* at = ::memrchr(text.data(), '\n', end);
  return at == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
}

std::size_t line_start(std::string_view text, std::size_t lf) noexcept {
  const std::size_t before = last_lf_before(text, lf);
  return before == npos ? 0 : before + 1;
}

// How many bytes at the end of `s` are the start of a character that the
// next chunk may complete.
std::size_t incomplete_tail(std::string_view s) noexcept {
  const std::size_t n = s.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(s[n - k]);
    if ((c & 0xc0) == 0x80) continue;
    return utf8_sequence_length(c) > k ? k : 0;
  }
  return 0;
}

}  // namespace

bool is_cut(Format format, std::string_view text, std::size_t pos) noexcept {
  if (pos == 0) return true;
  if (pos > text.size() || text[pos - 1] != '\n') return false;
  return closes_record(format, text, line_start(text, pos - 1), pos - 1);
}

std::size_t next_cut(Format format, std::string_view text, std::size_t offset) noexcept {
  if (offset == 0) return 0;
  for (std::size_t lf = text.find('\n', offset - 1); lf != npos; lf = text.find('\n', lf + 1))
    if (closes_record(format, text, line_start(text, lf), lf)) return lf + 1;
  return text.size();
}

std::size_t last_cut(Format format, std::string_view text, std::size_t from) noexcept {
  std::size_t lf = last_lf_before(text, text.size());
  while (lf != npos && lf + 1 >= from) {
    const std::size_t start = line_start(text, lf);
    if (closes_record(format, text, start, lf)) return lf + 1;
    if (start == 0) break;
    lf = start - 1;
  }
  return from == 0 ? 0 : npos;
}

void require_utf8(std::string_view text, std::uint64_t at, std::size_t size) {
  if (size > text.size()) size = text.size();
  const std::size_t bad = first_invalid_utf8(text.data(), size);
  if (bad != size) throw ReadError(ReadError::Kind::utf8, at + bad, "ill-formed UTF-8", text.substr(bad));
}

void Utf8Stream::feed(std::string_view chunk) {
  std::size_t i = 0;
  if (held_size_ != 0) {
    // Complete the character the last chunk ended inside.
    const std::uint64_t held_at = offset_ - held_size_;
    const std::size_t need = utf8_sequence_length(static_cast<unsigned char>(held_[0]));
    while (held_size_ < need && i < chunk.size()) held_[held_size_++] = chunk[i++];
    if (held_size_ < need) {
      offset_ += chunk.size();
      return;
    }
    require_utf8(std::string_view(held_, held_size_), held_at);
    held_size_ = 0;
  }
  const std::string_view rest = chunk.substr(i);
  const std::size_t tail = incomplete_tail(rest);
  require_utf8(rest, offset_ + i, rest.size() - tail);
  std::memcpy(held_, rest.data() + rest.size() - tail, tail);
  held_size_ = tail;
  offset_ += chunk.size();
}

void Utf8Stream::finish() {
  require_utf8(std::string_view(held_, held_size_), offset_ - held_size_);
}

void JsonFramer::fail(std::uint64_t at, JsonFault fault) const {
  throw ReadError(ReadError::Kind::json, at, message(fault));
}

std::size_t JsonFramer::between_objects(std::string_view chunk, std::size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
  for (; i < chunk.size(); ++i) {
    const unsigned char c = p[i];
    if (is_json_space(c)) continue;
    switch (state_) {
      case State::start:
        if (c != '[') fail(offset_ + i, JsonFault::not_array);
        state_ = State::first;
        break;
      case State::first:
        if (c == ']') {
          state_ = State::done;
          break;
        }
        [[fallthrough]];
      case State::after_comma:
        if (c != '{') fail(offset_ + i, JsonFault::not_record);
        state_ = State::in_object;
        return i;
      case State::after_record:
        if (c == ',') state_ = State::after_comma;
        else if (c == ']') state_ = State::done;
        else fail(offset_ + i, JsonFault::after_record);
        break;
      case State::done:
        fail(offset_ + i, JsonFault::extra);
      case State::in_object:
        return i;
    }
  }
  return i;
}

std::size_t JsonFramer::object_end(std::string_view chunk, std::size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(chunk.data());
  const auto* end = p + chunk.size();
  while (i < chunk.size()) {
    if (escaped_) {
      escaped_ = false;
      ++i;
      continue;
    }
    if (in_string_) {
      const unsigned char* run = writers::find_escaped(p + i, end);
      i = static_cast<std::size_t>(run - p);
      if (i == chunk.size()) break;
      if (*run == '"') in_string_ = false;
      else if (*run == '\\') escaped_ = true;
      ++i;  // a control byte is left for the object reader to reject
      continue;
    }
    const unsigned char c = p[i];
    if (c == '"') {
      in_string_ = true;
    } else if (c == '}') {
      return i + 1;
    } else if (!is_json_space(c) && c != ':' && c != ',') {
      // Nothing else stands between the strings of a record: stop here
      // rather than buffer a malformed record to its end.
      return i + 1;
    }
    ++i;
  }
  return npos;
}

}  // namespace marlet_core::stream

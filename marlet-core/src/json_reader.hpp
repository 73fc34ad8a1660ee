// The JSON form's one reader: for json.cpp's record lists, the .marlc writer,
// the incremental reader's objects and the package's loads_json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "errors.hpp"
#include "json.hpp"
#include "memory.hpp"

namespace marlet_core {

inline bool is_json_space(unsigned char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A strict single-pass reader that hands a sink sink.field(key, value) per
// member and sink.end_record() per object.  Strings without escapes are
// views into the input; others are decoded into the arena when one is given,
// else into scratch space (a Buffer, or a std::string where failures must
// throw) that the next string reuses.  A rejected text may have fed the sink
// part of its objects, which the caller discards.
template <class Scratch = Buffer>
class JsonReader {
 public:
  JsonReader(std::string_view text, StringArena* arena) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        p_(begin_),
        end_(p_ + text.size()),
        arena_(arena) {}

  // After a read failed: the offset of the rejected byte, and why.
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
  JsonFault fault() const noexcept { return fault_; }

  // Reads the whole text: one array of objects.
  template <class Sink>
  bool read(Sink& sink) {
    skip_ws();
    if (!eat('[', JsonFault::not_array)) return false;
    skip_ws();
    if (p_ == end_ || *p_ != ']') {
      for (;;) {
        skip_ws();
        if (!read_object(sink)) return false;
        skip_ws();
        if (p_ != end_ && *p_ == ']') break;
        if (!eat(',', JsonFault::after_record)) return false;
      }
    }
    ++p_;
    skip_ws();
    return p_ == end_ || fail(JsonFault::extra);
  }

  template <class Sink>
  bool read_one_object(Sink& sink) {
    return read_object(sink) && (p_ == end_ || fail(JsonFault::extra));
  }

 private:
  template <class Sink>
  bool read_object(Sink& sink) {
    if (!eat('{', JsonFault::not_record)) return false;
    skip_ws();
    if (p_ == end_ || *p_ != '}') {
      for (;;) {
        std::string_view key, value;
        skip_ws();
        if (!read_string(key_, key, JsonFault::not_key)) return false;
        skip_ws();
        if (!eat(':', JsonFault::no_colon)) return false;
        skip_ws();
        if (!read_string(value_, value, JsonFault::not_string)) return false;
        sink.field(key, value);
        skip_ws();
        if (p_ != end_ && *p_ == '}') break;
        if (!eat(',', JsonFault::after_member)) return false;
      }
    }
    ++p_;
    sink.end_record();
    return true;
  }

  // Reads a string token into `text`; `missing` is the fault when no string
  // starts here.
  bool read_string(Scratch& scratch, std::string_view& text, JsonFault missing) {
    if (!eat('"', missing)) return false;
    const unsigned char* run = writers::find_escaped(p_, end_);
    if (run != end_ && *run == '"') {
      text = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run + 1;
      return true;
    }
    scratch.clear();
    for (;;) {
      scratch.append(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run;
      if (p_ == end_) return fail(JsonFault::ended);
      if (*p_ < 0x20) return fail(JsonFault::control);
      const unsigned char* escape = p_;
      if (*p_++ == '"') break;
      if (const JsonFault bad = json_detail::decode_escape(p_, end_, scratch); bad != JsonFault::none) {
        p_ = escape;
        return fail(bad);
      }
      run = writers::find_escaped(p_, end_);
    }
    text = std::string_view(scratch.data(), scratch.size());
    if (arena_ != nullptr) text = arena_->store(text);
    return true;
  }

  void skip_ws() noexcept {
    while (p_ != end_ && is_json_space(*p_)) ++p_;
  }
  // Takes the byte `c`, or fails with `fault` (or with `ended` at the end).
  bool eat(unsigned char c, JsonFault fault) noexcept {
    if (p_ == end_) return fail(JsonFault::ended);
    if (*p_ != c) return fail(fault);
    ++p_;
    return true;
  }
  bool fail(JsonFault fault) noexcept {
    fault_ = fault;
    return false;
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  StringArena* arena_;
  JsonFault fault_ = JsonFault::none;
  Scratch key_;  // decoded text of the current key and value, reused
  Scratch value_;
};

}  // namespace marlet_core

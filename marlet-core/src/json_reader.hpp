// The JSON form's reader, for the record lists of json.cpp and for the
// compact writer, which writes each object as it closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.hpp"
#include "memory.hpp"

namespace marlet_core {

// A strict single-pass reader for the one shape the JSON form has.  It
// hands what it reads to a sink:
//   sink.field(key, value)  a member of the current object;
//   sink.end_object()       the current object is complete.
// Strings without escapes are passed on as views into the input; strings
// with escapes are decoded first, into the arena when one is given (the
// views then live as long as it does) or else into scratch space that the
// next string reuses.  A rejected text may have fed the sink part of its
// objects: the caller discards what the sink built.
class JsonReader {
 public:
  JsonReader(std::string_view text, StringArena* arena) noexcept
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        p_(begin_),
        end_(p_ + text.size()),
        arena_(arena) {}

  // After read() failed: the offset of the byte that was rejected (the
  // backslash, for a malformed escape), or the text's length.
  std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

  template <class Sink>
  bool read(Sink& sink) {
    skip_ws();
    if (!eat('[')) return false;
    skip_ws();
    if (!eat(']')) {
      for (;;) {
        skip_ws();
        if (!read_object(sink)) return false;
        skip_ws();
        if (eat(']')) break;
        if (!eat(',')) return false;
      }
    }
    skip_ws();
    return p_ == end_;
  }

 private:
  template <class Sink>
  bool read_object(Sink& sink) {
    if (!eat('{')) return false;
    skip_ws();
    if (eat('}')) {
      sink.end_object();
      return true;
    }
    for (;;) {
      std::string_view key, value;
      skip_ws();
      if (!read_string(key_, key)) return false;
      skip_ws();
      if (!eat(':')) return false;
      skip_ws();
      if (!read_string(value_, value)) return false;
      sink.field(key, value);
      skip_ws();
      if (eat('}')) {
        sink.end_object();
        return true;
      }
      if (!eat(',')) return false;
    }
  }

  // Reads a string token; `text` receives its decoded content, a view
  // into the input, the scratch buffer or the arena.
  bool read_string(Buffer& scratch, std::string_view& text) {
    if (!eat('"')) return false;
    const unsigned char* run = json_detail::find_special(p_, end_);
    if (run != end_ && *run == '"') {
      text = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run + 1;
      return true;
    }
    scratch.clear();
    for (;;) {
      scratch.append(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(run - p_));
      p_ = run;
      if (p_ == end_ || *p_ < 0x20) return false;
      const unsigned char* escape = p_;
      if (*p_++ == '"') break;
      if (!json_detail::decode_escape(p_, end_, scratch)) {
        p_ = escape;
        return false;
      }
      run = json_detail::find_special(p_, end_);
    }
    text = scratch.view();
    if (arena_ != nullptr) text = arena_->store(text);
    return true;
  }

  void skip_ws() noexcept {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool eat(unsigned char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  StringArena* arena_;
  Buffer key_;  // decoded text of the current key and value, reused
  Buffer value_;
};


}  // namespace marlet_core

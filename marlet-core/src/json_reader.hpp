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
      if (!read_escape(scratch)) {
        p_ = escape;
        return false;
      }
      run = json_detail::find_special(p_, end_);
    }
    text = scratch.view();
    if (arena_ != nullptr) text = arena_->store(text);
    return true;
  }

  bool read_escape(Buffer& out) {
    if (p_ == end_) return false;
    const unsigned char c = *p_++;
    switch (c) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    std::uint32_t cp;
    if (!read_hex4(cp)) return false;
    if (cp >= 0xdc00 && cp <= 0xdfff) return false;  // a low surrogate must follow a high one
    if (cp >= 0xd800 && cp <= 0xdbff) {
      std::uint32_t low;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!read_hex4(low) || low < 0xdc00 || low > 0xdfff) return false;
      cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    }
    append_utf8(cp, out);
    return true;
  }

  bool read_hex4(std::uint32_t& cp) noexcept {
    if (end_ - p_ < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = *p_++;
      std::uint32_t d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10u;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10u;
      else return false;
      cp = cp << 4 | d;
    }
    return true;
  }

  static void append_utf8(std::uint32_t cp, Buffer& out) {
    char b[4];
    std::size_t n;
    if (cp < 0x80) {
      b[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xc0 | cp >> 6);
      b[1] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xe0 | cp >> 12);
      b[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      b[2] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 3;
    } else {
      b[0] = static_cast<char>(0xf0 | cp >> 18);
      b[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3f));
      b[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3f));
      b[3] = static_cast<char>(0x80 | (cp & 0x3f));
      n = 4;
    }
    out.append(b, n);
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

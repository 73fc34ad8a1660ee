// Reading documents of any size: cut points and incremental readers.
//
// A cut point of a .marl or .marlc text is a position where reading can
// start afresh: 0, or just after a line that closes the record by the
// scanner's own rule (text::closes_record).  The pieces between any cut
// points, read on their own, give exactly the records of the whole text, so
// they can go to separate threads.  JSON has no cut points: it is read in
// order.
//
// Reader<Sink> is fed the text in chunks cut anywhere and drives a Sink as
// the one-shot scanners do; after each JSON object, which is a record even
// when empty, it calls sink.end_record() if the sink has it, else
// sink.close().  The views it passes live only during the call.  It checks
// UTF-8 across the cuts, throws ReadError with the absolute offset of
// ill-formed input, and holds only the unread rest of the current record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json_reader.hpp"
#include "format.hpp"
#include "memory.hpp"
#include "text.hpp"

namespace marlet_core::stream {

// Whether `pos` is a cut point of `text` (the end of a text that does not
// end with a line feed is not).
bool is_cut(Format format, std::string_view text, std::size_t pos) noexcept;

// The first cut point at or after `offset`, or text.size() when there is none.
std::size_t next_cut(Format format, std::string_view text, std::size_t offset) noexcept;

// The last cut point of `text` at or after `from`, or npos when there is
// none in [from, text.size()].
std::size_t last_cut(Format format, std::string_view text, std::size_t from = 0) noexcept;

inline constexpr std::size_t npos = std::string_view::npos;

// Ill-formed input at an absolute byte offset; what() says what is wrong,
// without the offset, so that a front end can word the whole message.
class ReadError : public std::runtime_error {
 public:
  enum class Kind : unsigned char { utf8, json };
  ReadError(Kind kind, std::uint64_t offset, const std::string& what, std::string_view bytes = {})
      : std::runtime_error(what), kind_(kind), offset_(offset), bytes_(bytes.substr(0, 4)) {}
  Kind kind() const noexcept { return kind_; }
  std::uint64_t offset() const noexcept { return offset_; }
  // For ill-formed UTF-8: up to four bytes of the input from the offset on.
  const std::string& bytes() const noexcept { return bytes_; }

 private:
  Kind kind_;
  std::uint64_t offset_;
  std::string bytes_;
};

// Throws ReadError (utf8) at the first ill-formed byte of text's first
// `size` bytes; `at` is the absolute offset of text[0].  Every streaming
// path checks its text through this.
void require_utf8(std::string_view text, std::uint64_t at, std::size_t size = std::string_view::npos);

// Validates a text fed in chunks; a character may be split between chunks.
class Utf8Stream {
 public:
  void feed(std::string_view chunk);
  // Throws when the text ended inside a character.
  void finish();

 private:
  char held_[4] = {};
  std::size_t held_size_ = 0;
  std::uint64_t offset_ = 0;  // bytes fed so far
};

// Walks the JSON form's array byte by byte, so that it can stop anywhere,
// and hands each complete object to the caller.
class JsonFramer {
 public:
  // Calls on_object(text, absolute_offset) for each object the chunk
  // completes, and for a malformed one as far as the byte that shows it (the
  // object reader rejects it there).  Throws ReadError.
  template <class OnObject>
  void feed(std::string_view chunk, OnObject&& on_object);
  // Throws ReadError unless the text was one complete array; an object cut
  // off by the end goes to on_object first, to be rejected at its own fault.
  template <class OnObject>
  void finish(OnObject&& on_object) {
    if (state_ == State::in_object) on_object(partial_, object_start_);
    if (state_ != State::done) fail(offset_, JsonFault::ended);
  }

 private:
  enum class State : unsigned char { start, first, after_record, after_comma, in_object, done };
  // Takes chunk[i..] up to an object's '{' (state_ becomes in_object) or the
  // chunk's end; returns where it stopped.
  std::size_t between_objects(std::string_view chunk, std::size_t i);
  // The offset just past the current object's '}' (or past a byte that
  // cannot stand between its strings), or npos when the chunk ends first.
  std::size_t object_end(std::string_view chunk, std::size_t i);
  [[noreturn]] void fail(std::uint64_t at, JsonFault fault) const;

  State state_ = State::start;
  bool in_string_ = false;
  bool escaped_ = false;
  std::uint64_t offset_ = 0;         // absolute offset of the chunk being fed
  std::uint64_t object_start_ = 0;   // absolute offset of the current object's '{'
  std::string partial_;              // an object begun in an earlier chunk, else empty
};

template <class Sink>
class Reader {
 public:
  Reader(Format format, Sink& sink) : format_(format), sink_(sink) {}

  void feed(std::string_view chunk);
  // The text has ended: the last record goes to the sink.
  void finish();

 private:
  void scan(std::string_view piece) { text::scan(format_ == Format::marl, piece, sink_); }
  void feed_lines(std::string_view chunk);
  void on_object(std::string_view object, std::uint64_t at);

  Format format_;
  Sink& sink_;
  Utf8Stream utf8_;
  std::string carry_;  // text since the last cut point (.marl, .marlc)
  JsonFramer json_;
  std::vector<text::Field> fields_;  // the current object's members
  std::string decoded_;              // their decoded strings
};

template <class OnObject>
void JsonFramer::feed(std::string_view chunk, OnObject&& on_object) {
  for (std::size_t i = 0; i < chunk.size();) {
    std::size_t from = i;  // of the object's text in this chunk
    if (state_ != State::in_object) {
      from = i = between_objects(chunk, i);
      if (state_ != State::in_object) break;  // the chunk ended
      object_start_ = offset_ + i++;
      in_string_ = escaped_ = false;
    }
    const std::size_t end = object_end(chunk, i);
    if (end == npos) {
      partial_.append(chunk.substr(from));
      break;
    }
    std::string_view object = chunk.substr(from, end - from);
    if (!partial_.empty()) object = partial_.append(object);  // begun in an earlier chunk
    on_object(object, object_start_);
    partial_.clear();
    state_ = State::after_record;
    i = end;
  }
  offset_ += chunk.size();
}

template <class Sink>
void Reader<Sink>::feed(std::string_view chunk) {
  utf8_.feed(chunk);
  if (format_ == Format::json) {
    json_.feed(chunk, [this](std::string_view object, std::uint64_t at) { on_object(object, at); });
  } else {
    feed_lines(chunk);
  }
}

template <class Sink>
void Reader<Sink>::on_object(std::string_view object, std::uint64_t at) {
  // The members are gathered first, so that a rejected object gives the
  // sink nothing.  decoded_ is sized to the object (decoding never lengthens
  // a text), so views into it stay valid.
  fields_.clear();
  decoded_.clear();
  decoded_.reserve(object.size());
  struct Gather {
    Reader& reader;
    std::string_view object;
    std::string_view keep(std::string_view s) {
      const auto from = reinterpret_cast<std::uintptr_t>(s.data()) - reinterpret_cast<std::uintptr_t>(object.data());
      if (from <= object.size()) return s;  // a view into the object
      reader.decoded_.append(s);
      return std::string_view(reader.decoded_).substr(reader.decoded_.size() - s.size());
    }
    void field(std::string_view key, std::string_view value) { reader.fields_.push_back({keep(key), keep(value)}); }
    void end_record() noexcept {}
  } gather{*this, object};
  JsonReader<std::string> parser(object, nullptr);
  if (!parser.read_one_object(gather)) throw ReadError(ReadError::Kind::json, at + parser.offset(), message(parser.fault()));
  for (const text::Field& f : fields_) sink_.field(f.key, f.value);
  // An empty object is a record of its own in the JSON form.
  if constexpr (requires(Sink& s) { s.end_record(); })
    sink_.end_record();
  else
    sink_.close();
}

template <class Sink>
void Reader<Sink>::feed_lines(std::string_view chunk) {
  // First finish the record carried over from earlier chunks, a line at a
  // time up to a cut point, so that only that record's lines are copied.
  while (!carry_.empty() && !chunk.empty()) {
    const std::size_t lf = chunk.find('\n');
    if (lf == std::string_view::npos) {
      carry_.append(chunk);
      return;
    }
    carry_.append(chunk.substr(0, lf + 1));
    chunk.remove_prefix(lf + 1);
    if (is_cut(format_, carry_, carry_.size())) {
      scan(carry_);
      carry_.clear();
    }
  }
  // Then everything up to the chunk's last cut point is read in place.
  const std::size_t cut = last_cut(format_, chunk);
  if (cut == npos || cut == 0) {
    carry_.append(chunk);
    return;
  }
  scan(chunk.substr(0, cut));
  carry_.assign(chunk.substr(cut));
}

template <class Sink>
void Reader<Sink>::finish() {
  utf8_.finish();
  if (format_ == Format::json) {
    json_.finish([this](std::string_view object, std::uint64_t at) { on_object(object, at); });
    return;
  }
  scan(carry_);
  carry_.clear();
}

}  // namespace marlet_core::stream

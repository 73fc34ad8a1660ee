// Converting a document of any size from one form to another in bounded
// memory, on one or more threads.  .marl and .marlc input is cut at cut
// points into pieces that worker threads read and render independently,
// written in document order, so the bytes do not depend on the number of
// threads; JSON input goes through the incremental reader.  A record's
// fields are written in document order: a key's first occurrence fixes its
// place and a repeated key takes its last value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "stream.hpp"

namespace marlet_core::stream {

// Where the input comes from.
class Source {
 public:
  virtual ~Source() = default;
  // Reads up to `n` bytes into `dst`; returns 0 only at the end.
  virtual std::size_t read(char* dst, std::size_t n) = 0;
  // Starts again from the beginning; false when the source cannot.
  virtual bool rewind() { return false; }
};

// Where the output goes.
class Destination {
 public:
  virtual ~Destination() = default;
  virtual void write(std::string_view bytes) = 0;
  // Whether patch() works: the output can seek back.
  virtual bool can_patch() const { return false; }
  // Overwrites bytes at `offset` from the start of what was written.
  virtual void patch(std::uint64_t offset, std::string_view bytes);
};

struct ConvertOptions {
  Format from = Format::marl;          // marl, marlc or json
  Format to = Format::json;
  unsigned jobs = 1;                    // threads reading .marl / .marlc input
  std::size_t chunk_size = 8u << 20;    // input bytes per round, shared among the jobs
  bool lossy = false;                   // write records a text form cannot carry
  bool final_newline = false;           // end JSON output with a line feed
};

// A record the output cannot carry, or binary output that can neither seek
// back nor count first.
class ConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A record from JSON that the .marl or .marlc output cannot carry.
class LossError : public ConvertError {
 public:
  LossError(const std::string& what, std::uint64_t at, std::optional<std::string> bad_key, std::string why,
            std::string in_form)
      : ConvertError(what), index(at), key(std::move(bad_key)), reason(std::move(why)), form(std::move(in_form)) {}
  std::uint64_t index;             // the record's position in the input
  std::optional<std::string> key;  // the offending field's key; none for an empty record
  std::string reason;              // what the form cannot hold
  std::string form;                // ".marl" or ".marlc"
};

// Reads up to `n` more bytes of `source` into `in`, counting them in
// `read`; false at the end of the input.
inline bool fill_from(Source& source, Buffer& in, std::size_t n, std::uint64_t& read) {
  char* dst = in.prepare(n);
  std::size_t got = 0;
  while (got < n) {
    const std::size_t k = source.read(dst + got, n - got);
    if (k == 0) break;
    got += k;
  }
  in.commit(got);
  read += got;
  return got == n;
}

// Reads the first round's input into `in`; returns the length of a
// byte-order mark at its start, to be skipped.
inline std::size_t fill_first(Source& source, Buffer& in, std::size_t n, std::uint64_t& read, bool& more) {
  more = fill_from(source, in, std::max(n, text::kBom.size()), read);
  return in.view().starts_with(text::kBom) ? text::kBom.size() : 0;
}

// .marl and .marlc text read from a source in rounds of `chunk_size` bytes,
// each cut at cut points into one piece per job.  Each round reads up to
// its buffer's last cut point and carries the rest into the next round's
// buffer.  With several jobs, round k's pieces are read on worker threads
// while the calling thread hands over round k - 1's and reads round k + 1's
// input; with one, everything happens on the calling thread.
//
// What is done with a piece is Work's:
//   typename Work::Piece                      a piece's result, reused from round to round
//   void read(Piece&, std::string_view text,  reads a piece, on a worker thread; `offset` is
//             std::uint64_t offset)           text[0]'s in the input; may throw
//   void take(Piece&)                         on the calling thread, in document order, once
//                                             no piece of its round failed; may throw
// A round with a failed piece rethrows the first one's exception, in
// document order, before any of its pieces is taken.
template <class Work>
class TextRounds {
 public:
  TextRounds(Format format, unsigned jobs, std::size_t chunk_size, Work& work)
      : format_(format), chunk_size_(std::max<std::size_t>(chunk_size, 1)), work_(work) {
    const std::size_t n = jobs == 0 ? 1 : jobs;
    rounds_[0].resize(n);
    rounds_[1].resize(n);
  }

  // Reads and hands over the next round; false once the whole input has
  // been taken.  After it throws, the rounds must not be stepped again.
  bool step(Source& source) {
    if (done_) return false;
    if (!started_) {
      started_ = true;
      start_ = fill_first(source, buffers_[0], chunk_size_, read_, more_);
    }
    const bool threaded = rounds_[0].size() > 1;
    Buffer& in = buffers_[cur_];
    std::string_view text;
    std::size_t end;
    for (;;) {
      text = in.view().substr(start_);
      end = more_ ? last_cut(format_, text) : text.size();
      if (end != 0 || !more_) break;
      // No cut point yet: one record spans the whole buffer.  Read on.
      more_ = fill(source, in, chunk_size_);
    }
    std::vector<Slot>& pieces = rounds_[cur_];
    split(text.substr(0, end), in_offset_ + start_, pieces);
    Buffer& next = buffers_[1 - cur_];
    bool next_more = false;
    {
      std::vector<std::jthread> workers;  // joined on every way out of the round
      if (threaded) {
        for (Slot& piece : pieces)
          if (!piece.text.empty()) workers.emplace_back([this, &piece] { read(piece); });
        // Meanwhile: the last round's pieces, the next round's input.
        if (pending_) take(rounds_[1 - cur_]);
        pending_ = false;
      } else {
        read(pieces[0]);
      }
      if (more_) {
        next.clear();
        next.append(text.substr(end));
        next_more = fill(source, next, chunk_size_);
      }
      workers.clear();
    }
    if (threaded) {
      rethrow_first(pieces);
      pending_ = true;
    } else {
      take(pieces);
    }
    if (!more_) {
      if (pending_) take(pieces);
      pending_ = false;
      done_ = true;
      return false;
    }
    in_offset_ += start_ + end;
    start_ = 0;
    more_ = next_more;
    cur_ = 1 - cur_;
    return true;
  }

  // Input bytes read so far.
  std::uint64_t bytes_read() const noexcept { return read_; }

 private:
  struct Slot {
    std::string_view text;
    std::uint64_t offset = 0;  // of text[0] in the input
    std::exception_ptr error;
    typename Work::Piece result;
  };

  bool fill(Source& source, Buffer& in, std::size_t n) { return fill_from(source, in, n, read_); }

  void read(Slot& piece) noexcept {
    try {
      work_.read(piece.result, piece.text, piece.offset);
    } catch (...) {
      piece.error = std::current_exception();
    }
  }

  // Cuts `text`, which ends at a cut point, into one piece per job.
  void split(std::string_view text, std::uint64_t offset, std::vector<Slot>& pieces) const {
    const std::size_t jobs = pieces.size();
    std::size_t from = 0;
    for (std::size_t j = 0; j < jobs; ++j) {
      std::size_t to = j + 1 == jobs ? text.size() : next_cut(format_, text, text.size() / jobs * (j + 1));
      if (to < from) to = from;
      pieces[j].text = text.substr(from, to - from);
      pieces[j].offset = offset + from;
      from = to;
    }
  }

  static void rethrow_first(std::vector<Slot>& pieces) {
    for (Slot& piece : pieces)
      if (piece.error) std::rethrow_exception(piece.error);
  }

  void take(std::vector<Slot>& pieces) {
    rethrow_first(pieces);
    for (Slot& piece : pieces) {
      if (!piece.text.empty()) work_.take(piece.result);
      piece.text = {};
    }
  }

  Format format_;
  std::size_t chunk_size_;
  Work& work_;
  Buffer buffers_[2];
  std::vector<Slot> rounds_[2];
  int cur_ = 0;
  bool started_ = false;
  bool done_ = false;
  bool more_ = false;
  bool pending_ = false;         // rounds_[1 - cur_] holds pieces not yet taken
  std::uint64_t in_offset_ = 0;  // input offset of buffers_[cur_][0]
  std::size_t start_ = 0;        // bytes of buffers_[cur_] already handled
  std::uint64_t read_ = 0;
};

// Called between rounds, on the calling thread and with no worker running,
// with the input bytes read so far; it may throw to stop the conversion.
using Progress = std::function<void(std::uint64_t)>;

// Converts the whole source, dropping a leading byte-order mark, and returns
// the number of records written.  Throws ReadError (offsets from the
// source's first byte), ConvertError, and whatever the source, destination
// or progress throw, leaving a partial output for the caller to discard.
std::uint64_t convert(Source& source, Destination& destination, const ConvertOptions& options,
                      const Progress& progress);

}  // namespace marlet_core::stream

// Converting a document of any size from one form to another in bounded
// memory, on one or more threads.  .marl and .marlc input is cut at cut
// points into pieces that worker threads read and render independently,
// written in document order, so the bytes do not depend on the number of
// threads; JSON input goes through the incremental reader.  A record's
// fields are written in document order: a key's first occurrence fixes its
// place and a repeated key takes its last value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <stdexcept>
#include <string_view>

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

#include "converter.hpp"

#include <algorithm>
#include <exception>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "memory.hpp"
#include "ordered_fields.hpp"
#include "binary_format.hpp"
#include "writers.hpp"

namespace marlet_core::stream {

void Destination::patch(std::uint64_t, std::string_view) { throw ConvertError("the output cannot seek back"); }

namespace {

// Which records a WriteSink checks against what a text form can carry:
// all of them, throwing at once; or only its first (records read from text
// can fail no other rule), kept in opening_loss() since only the converter
// knows which piece's first record opens the document.
enum class Check : unsigned char { none, all, opening };

// Renders each record it is given into `out`.  JSON records are written
// each with a leading comma; the writer drops the document's first one.
class WriteSink {
 public:
  WriteSink(Format target, Buffer& out, Check check, std::uint64_t first_index) noexcept
      : target_(target), out_(out), check_(check), index_(first_index) {}

  void field(std::string_view key, std::string_view value) { fields_.add(key, value); }
  void close() {
    if (!fields_.empty()) end_record();
  }
  void end_record() {
    const std::span<const text::Field> fields = fields_.view();
    if (check_ == Check::all) {
      if (auto error = loss(fields, index_ == 0)) throw *error;
    } else if (check_ == Check::opening && written_ == 0) {
      opening_loss_ = loss(fields, true);
    }
    switch (target_) {
      case Format::json: writers::write_json_record(fields, out_, true); break;
      case Format::marlc: writers::write_marlc_record(fields, out_); break;
      case Format::marl: writers::write_marl_record(fields, out_); break;
      case Format::binary:
        if (!writers::write_binary_record(fields, out_))
          throw ConvertError("record " + std::to_string(index_) + ": a count or length does not fit the binary encoding's 32 bits");
        break;
    }
    ++index_;
    ++written_;
    fields_.clear();
  }
  std::uint64_t written() const noexcept { return written_; }
  std::optional<LossError>& opening_loss() noexcept { return opening_loss_; }

 private:
  std::optional<LossError> loss(std::span<const text::Field> fields, bool opens_document) const {
    const auto loss = target_ == Format::marl ? writers::marl_loss(fields, opens_document)
                                              : writers::marlc_loss(fields, opens_document);
    if (!loss) return std::nullopt;
    std::optional<std::string> key;
    std::string where = "record " + std::to_string(index_);
    if (loss->field != writers::Loss::kRecord) {
      key.emplace(fields[loss->field].key);
      where += ", key \"" + *key + "\"";
    }
    const std::string form = target_ == Format::marl ? ".marl" : ".marlc";
    return LossError(where + ": " + loss->reason + " in " + form, index_, key, loss->reason, form);
  }

  Format target_;
  Buffer& out_;
  Check check_;
  std::uint64_t index_;
  std::uint64_t written_ = 0;
  OrderedFields fields_;
  std::optional<LossError> opening_loss_;
};

class Converter {
 public:
  Converter(Source& source, Destination& destination, const ConvertOptions& options, const Progress& progress,
            bool discard, std::uint64_t header_count = 0)
      : source_(source),
        destination_(destination),
        options_(options),
        progress_(progress),
        discard_(discard) {
    // The output's head waits for the first records, so that input refused
    // in the first round leaves nothing written at all.
    if (options_.to == Format::json) head_.push_back('[');
    if (options_.to == Format::binary) binary::append_u32(head_, static_cast<std::size_t>(header_count));
  }

  std::uint64_t run() {
    options_.from == Format::json ? read_json() : read_text();
    return written_;
  }

 private:
  // Reads up to `n` more bytes into `in`; false at the end of the input.
  bool fill(Buffer& in, std::size_t n) {
    char* dst = in.prepare(n);
    std::size_t got = 0;
    while (got < n) {
      const std::size_t k = source_.read(dst + got, n - got);
      if (k == 0) break;
      got += k;
    }
    in.commit(got);
    read_ += got;
    return got == n;
  }

  // Reads the first round's input into `in`; returns the length of a
  // byte-order mark at its start, to be skipped.
  std::size_t fill_first(Buffer& in, bool& more) {
    more = fill(in, std::max(options_.chunk_size, text::kBom.size()));
    return in.view().starts_with(text::kBom) ? text::kBom.size() : 0;
  }

  void emit(Buffer& out) {
    if (discard_ || out.empty()) {
      out.clear();
      return;
    }
    std::string_view bytes = out.view();
    if (options_.to == Format::json && !opened_) bytes.remove_prefix(1);  // the first record's comma
    opened_ = true;
    write_head();
    destination_.write(bytes);
    out.clear();
  }

  bool check_loss() const noexcept {
    return !options_.lossy && (options_.to == Format::marlc || options_.to == Format::marl);
  }

  void write_head() {
    if (head_.empty()) return;
    destination_.write(head_.view());
    head_.clear();
  }

  void close() {
    if (discard_) return;
    write_head();
    if (options_.to == Format::json) destination_.write(options_.final_newline ? "]\n" : "]");
  }

  void read_json() {
    Buffer out;
    WriteSink sink(options_.to, out, check_loss() ? Check::all : Check::none, 0);
    Reader<WriteSink> reader(Format::json, sink);
    Buffer in;
    bool more;
    const std::size_t skipped = fill_first(in, more);
    try {
      for (std::string_view chunk = in.view().substr(skipped);; chunk = in.view()) {
        reader.feed(chunk);
        if (out.size() >= options_.chunk_size) emit(out);
        progress_(read_);
        if (!more) break;
        in.clear();
        more = fill(in, options_.chunk_size);
      }
      reader.finish();
    } catch (const ReadError& e) {
      throw ReadError(e.kind(), e.offset() + skipped, e.what(), e.bytes());
    }
    emit(out);
    written_ = sink.written();
    close();
  }

  // One round's piece of the input, read and rendered on its own.
  struct Piece {
    std::string_view text;
    std::uint64_t offset = 0;  // of text[0] in the input
    Buffer out;
    std::uint64_t written = 0;
    std::optional<LossError> opening_loss;  // of its first record, were it the document's first
    std::exception_ptr error;
  };

  void read_piece(Piece& piece) noexcept {
    try {
      require_utf8(piece.text, piece.offset);
      WriteSink sink(options_.to, piece.out, check_loss() ? Check::opening : Check::none, 0);
      text::scan(options_.from == Format::marl, piece.text, sink);
      piece.written = sink.written();
      piece.opening_loss = std::move(sink.opening_loss());
    } catch (...) {
      piece.error = std::current_exception();
    }
  }

  // Cuts `text`, which ends at a cut point, into one piece per job.
  void split(std::string_view text, std::uint64_t offset, std::vector<Piece>& pieces) const {
    const std::size_t jobs = pieces.size();
    std::size_t from = 0;
    for (std::size_t j = 0; j < jobs; ++j) {
      std::size_t to = j + 1 == jobs ? text.size() : next_cut(options_.from, text, text.size() / jobs * (j + 1));
      if (to < from) to = from;
      pieces[j].text = text.substr(from, to - from);
      pieces[j].offset = offset + from;
      from = to;
    }
  }

  // Writes a round's output in document order; rethrows the first piece's
  // failure, and refuses the document's first record, before anything is
  // written, when the output cannot carry it.
  void finish_round(std::vector<Piece>& pieces) {
    for (Piece& piece : pieces)
      if (piece.error) std::rethrow_exception(piece.error);
    for (Piece& piece : pieces) {
      if (written_ == 0 && piece.opening_loss) throw *piece.opening_loss;
      piece.opening_loss.reset();
      written_ += piece.written;
      emit(piece.out);
      piece.written = 0;
      piece.text = {};
    }
  }

  // .marl and .marlc input.  Each round reads up to the buffer's last cut
  // point and carries the rest into the next round's buffer.  With several
  // jobs, round k's pieces are read on worker threads while this thread
  // writes round k - 1's output and reads round k + 1's input.
  void read_text() {
    const std::size_t jobs = options_.jobs == 0 ? 1 : options_.jobs;
    const bool threaded = jobs > 1;
    const std::size_t round = options_.chunk_size;  // shared among the jobs
    Buffer buffers[2];
    std::vector<Piece> rounds[2];
    rounds[0].resize(jobs);
    rounds[1].resize(jobs);
    int cur = 0;
    bool pending = false;         // rounds[1 - cur] holds output not yet written
    std::uint64_t in_offset = 0;  // input offset of buffers[cur][0]
    bool more;
    std::size_t start = fill_first(buffers[0], more);  // bytes of the buffer already handled
    for (;;) {
      Buffer& in = buffers[cur];
      const std::string_view text = in.view().substr(start);
      const std::size_t end = more ? last_cut(options_.from, text) : text.size();
      if (end == 0 && more) {
        // No cut point yet: one record spans the whole buffer.  Read on.
        more = fill(in, round);
        continue;
      }
      std::vector<Piece>& pieces = rounds[cur];
      split(text.substr(0, end), in_offset + start, pieces);
      Buffer& next = buffers[1 - cur];
      bool next_more = false;
      {
        std::vector<std::jthread> workers;  // joined on every way out of the round
        if (threaded) {
          for (Piece& piece : pieces)
            if (!piece.text.empty()) workers.emplace_back([this, &piece] { read_piece(piece); });
          // Meanwhile: the last round's output, the next round's input.
          if (pending) finish_round(rounds[1 - cur]);
          pending = false;
        } else {
          read_piece(pieces[0]);
        }
        if (more) {
          next.clear();
          next.append(text.substr(end));
          next_more = fill(next, round);
        }
        workers.clear();
      }
      if (threaded) {
        for (Piece& piece : pieces)
          if (piece.error) std::rethrow_exception(piece.error);
        pending = true;
      } else {
        finish_round(pieces);
      }
      progress_(read_);
      if (!more) break;
      in_offset += start + end;
      start = 0;
      more = next_more;
      cur = 1 - cur;
    }
    if (pending) finish_round(rounds[cur]);
    close();
  }

  Source& source_;
  Destination& destination_;
  const ConvertOptions& options_;
  const Progress& progress_;
  bool discard_;  // only count the records
  bool opened_ = false;
  Buffer head_;  // the start of the output, not yet written
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
};

void check_count(std::uint64_t count) {
  if (!binary::fits_u32(count))
    throw ConvertError(std::to_string(count) + " records: the binary encoding counts at most 4294967295");
}

}  // namespace

std::uint64_t convert(Source& source, Destination& destination, const ConvertOptions& options,
                      const Progress& progress) {
  if (options.to != Format::binary) return Converter(source, destination, options, progress, false).run();
  // The binary encoding starts with the record count: patch it in at the
  // end when the output can seek back, else count the records first.
  std::uint64_t counted = 0;
  const bool patch = destination.can_patch();
  if (!patch) {
    if (!source.rewind())
      throw ConvertError(
          "binary output needs its record count first: write it to a file that can seek and is not in append "
          "mode, or read the input from a file");
    counted = Converter(source, destination, options, progress, true).run();
    check_count(counted);
    if (!source.rewind()) throw ConvertError("the input cannot be read a second time");
  }
  const std::uint64_t written = Converter(source, destination, options, progress, false, counted).run();
  check_count(written);
  if (!patch) {
    if (written != counted) throw ConvertError("the input changed while it was converted");
    return written;
  }
  char count[4];
  binary::put_u32(count, static_cast<std::size_t>(written));
  destination.patch(0, std::string_view(count, 4));
  return written;
}

}  // namespace marlet_core::stream

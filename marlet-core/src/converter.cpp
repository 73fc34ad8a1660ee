#include "converter.hpp"

#include <algorithm>
#include <string>
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
  bool fill(Buffer& in, std::size_t n) { return fill_from(source_, in, n, read_); }

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
    const std::size_t skipped = fill_first(source_, in, options_.chunk_size, read_, more);
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

  friend class TextRounds<Converter>;

  // One round's piece of the input, read and rendered on its own.
  struct Piece {
    Buffer out;
    std::uint64_t written = 0;
    std::optional<LossError> opening_loss;  // of its first record, were it the document's first
  };

  void read(Piece& piece, std::string_view text, std::uint64_t offset) {
    require_utf8(text, offset);
    WriteSink sink(options_.to, piece.out, check_loss() ? Check::opening : Check::none, 0);
    text::scan(options_.from == Format::marl, text, sink);
    piece.written = sink.written();
    piece.opening_loss = std::move(sink.opening_loss());
  }

  // Writes a piece's output, in document order; refuses the document's
  // first record when the output cannot carry it.
  void take(Piece& piece) {
    if (written_ == 0 && piece.opening_loss) throw *piece.opening_loss;
    piece.opening_loss.reset();
    written_ += piece.written;
    emit(piece.out);
    piece.written = 0;
  }

  // .marl and .marlc input, on the cut-point workers.
  void read_text() {
    TextRounds<Converter> rounds(options_.from, options_.jobs, options_.chunk_size, *this);
    while (rounds.step(source_)) progress_(rounds.bytes_read());
    progress_(rounds.bytes_read());
    close();
  }

  Source& source_;
  Destination& destination_;
  const ConvertOptions& options_;
  const Progress& progress_;
  bool discard_;  // only count the records
  bool opened_ = false;
  Buffer head_;  // the start of the output, not yet written
  std::uint64_t read_ = 0;  // by the JSON reader
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

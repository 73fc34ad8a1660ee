// The text-to-JSON and text-to-binary paths of the C exports, in one pass.
//
// The exports never need the records after they are written, so each path
// runs the shared scanner with a sink that builds every record in the
// reused field table, keys and values as views into the input, and writes
// it with the format's writer (writers.hpp) as soon as it closes, into one
// output block sized from the input.  Each path is compiled twice: once
// for any x86-64 CPU and once with AVX2 for the JSON escaping loop and the
// key hashes, and the CPU picks one at run time (cpu.hpp).
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "compact.hpp"
#include "ffi.hpp"
#include "format.hpp"
#include "field_table.hpp"
#include "json.hpp"
#include "text.hpp"
#include "writers.hpp"

namespace marlet_core {
namespace {

// The Sink of text::scan_marl / scan_compact that hands every closed,
// non-empty record to an output policy (Out::record(table)).
template <class Out, class KeyHash = ScalarKeyHash>
class RecordSink {
 public:
  explicit RecordSink(Out& out) noexcept : out_(out) {}
  void field(std::string_view key, std::string_view value) { table_.add(key, value); }
  void close() {
    if (table_.empty()) return;
    table_.finish();
    out_.record(table_);
    table_.clear();
  }

 private:
  Out& out_;
  BasicFieldTable<KeyHash> table_;
};

// An output block for a result about `expected` bytes long.  Sizing it from
// the input saves the copies of growing from a few bytes; pages are only
// touched as they are written, and the exports trim the block at the end.
// Large blocks ask for transparent huge pages, which cost a fraction of the
// page faults of 4 KiB pages.
Buffer output_block(std::size_t expected) {
  Buffer out(expected + writers::kSlack);
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (out.capacity() >= 2 * kHuge) {
    const auto start = reinterpret_cast<std::uintptr_t>(out.data());
    const std::uintptr_t first = (start + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    const std::uintptr_t last = (start + out.capacity()) & ~std::uintptr_t{kHuge - 1};
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
  }
  return out;
}

// The expected output sizes.  JSON spends 6 bytes of quotes and commas on
// a field where .marl spends about 5 of indentation, colon, space and line
// feed, but .marlc only 2; binary spends 8 bytes of lengths.  Reserving a
// little too much costs address space only, since pages are touched as
// they are written and the block is trimmed; reserving too little costs a
// copy of everything written so far.  Short fields expand the most, and
// inputs made of them are never huge in practice, so the larger margin is
// capped: a huge input keeps its address space near input plus output.
std::size_t quarter_more(std::size_t n) noexcept { return n + n / 4; }
std::size_t half_more_capped(std::size_t n) noexcept {
  constexpr std::size_t kCap = std::size_t{64} << 20;
  return quarter_more(n) + std::min(n / 4, kCap);
}
std::size_t json_size_from_marl(std::size_t n) noexcept { return quarter_more(n); }
std::size_t json_size_from_compact(std::size_t n) noexcept { return half_more_capped(n); }
std::size_t binary_size_from_marl(std::size_t n) noexcept { return half_more_capped(n); }

// The JSON form, records written as they close.
template <class Scan>
class JsonOut {
 public:
  JsonOut(std::string_view text, Format format)
      : readable_(text.data() + text.size()),
        out_(output_block(format == Format::marl ? json_size_from_marl(text.size()) : json_size_from_compact(text.size()))) {
    out_.push_back('[');
  }

  template <class Table>
  void record(Table& table) {
    writers::write_json_record<Scan>(table, out_, out_.size() != 1, readable_);
  }

  Buffer finish() {
    out_.push_back(']');
    return std::move(out_);
  }

 private:
  const char* readable_;
  Buffer out_;
};

// The binary encoding: the record count (filled in at the end), then each
// record's block.
class BinaryOut {
 public:
  BinaryOut(std::string_view text, Format)
      : readable_(text.data() + text.size()), out_(output_block(binary_size_from_marl(text.size()))) {
    out_.commit(4);
  }

  template <class Table>
  void record(Table& table) {
    if (!writers::write_binary_record(table, out_, readable_)) fits_ = false;
    ++records_;
  }

  // The encoding, or nullopt when a count or length does not fit 32 bits.
  std::optional<Buffer> finish() {
    if (!fits_ || !binary::fits_u32(records_)) return std::nullopt;
    binary::put_u32(out_.data(), records_);
    return std::optional<Buffer>(std::move(out_));
  }

 private:
  const char* readable_;
  Buffer out_;
  std::size_t records_ = 0;
  bool fits_ = true;
};

template <class Out, class KeyHash = ScalarKeyHash>
auto write_records(std::string_view text, Format format) {
  Out out(text, format);
  RecordSink<Out, KeyHash> sink(out);
  text::scan(format == Format::marl, text, sink);
  return out.finish();
}

// The two builds of each path.  The AVX2 ones inline everything they call,
// so the vector code runs without a call per string.
struct ToJson {
  static Buffer portable(std::string_view text, Format format) {
    return write_records<JsonOut<writers::PortableScan>>(text, format);
  }
#if defined(__x86_64__)
  __attribute__((target("avx2"), flatten)) static Buffer avx2(std::string_view text, Format format) {
    return write_records<JsonOut<writers::Avx2Scan>, Avx2KeyHash>(text, format);
  }
#endif
};

struct ToBinary {
  static std::optional<Buffer> portable(std::string_view text) { return write_records<BinaryOut>(text, Format::marl); }
#if defined(__x86_64__)
  __attribute__((target("avx2"), flatten)) static std::optional<Buffer> avx2(std::string_view text) {
    return write_records<BinaryOut, Avx2KeyHash>(text, Format::marl);
  }
#endif
};

}  // namespace

Buffer parse_marl_to_json(std::string_view text, Isa isa) { return run<ToJson>(isa, text, Format::marl); }
Buffer compact::parse_marl_compact_to_json(std::string_view text, Isa isa) { return run<ToJson>(isa, text, Format::marlc); }
std::optional<Buffer> ffi::parse_marl_to_binary(std::string_view text, Isa isa) { return run<ToBinary>(isa, text); }

}  // namespace marlet_core

// The text-to-JSON and text-to-binary paths of the C exports, in one pass:
// the scanner's sink builds each record in the reused field table, as views
// into the input, and writes it as soon as it closes into one output block
// sized from the input.  Each path is built twice, portable and with AVX2
// for the escaping and the key hashes, and the CPU picks one (cpu.hpp).
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
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

// An output block for a result about `expected` bytes long: pages are only
// touched as they are written, and the exports trim the block at the end.
// Large blocks ask for transparent huge pages, for a fraction of the faults.
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

// The expected output size for n input bytes.  JSON spends 6 bytes on a
// field's quotes and commas where .marl spends about 5, but .marlc only 2;
// binary spends 8 on lengths: those outputs (`wide`) get half as much again,
// the rest a quarter.  Too much costs only address space, too little a copy
// of all written so far; the extra quarter is capped, since inputs of the
// short fields that expand most are never huge in practice.
std::size_t expected_size(std::size_t n, bool wide) noexcept {
  constexpr std::size_t kCap = std::size_t{64} << 20;
  return n + n / 4 + (wide ? std::min(n / 4, kCap) : 0);
}

// The JSON form, records written as they close.
template <class Scan>
class JsonOut {
 public:
  JsonOut(std::string_view text, Format format)
      : readable_(text.data() + text.size()),
        out_(output_block(expected_size(text.size(), format != Format::marl))) {
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

// The binary encoding: the record count, filled in at the end, then the
// records.  Nothing is escaped, so Scan goes unused.
template <class Scan>
class BinaryOut {
 public:
  BinaryOut(std::string_view text, Format)
      : readable_(text.data() + text.size()), out_(output_block(expected_size(text.size(), true))) {
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
  TableSink<Out, KeyHash> sink(out);
  text::scan(format == Format::marl, text, sink);
  return out.finish();
}

// The two builds of a path; the AVX2 one inlines everything it calls, so
// there is no call per string.
template <template <class Scan> class Out>
struct Write {
  static auto portable(std::string_view text, Format format) {
    return write_records<Out<writers::PortableScan>>(text, format);
  }
#if defined(__x86_64__)
  __attribute__((target("avx2"), flatten)) static auto avx2(std::string_view text, Format format) {
    return write_records<Out<writers::Avx2Scan>, Avx2KeyHash>(text, format);
  }
#endif
};

}  // namespace

Buffer parse_marl_to_json(std::string_view text, Isa isa) { return run<Write<JsonOut>>(isa, text, Format::marl); }
Buffer compact::parse_marl_compact_to_json(std::string_view text, Isa isa) {
  return run<Write<JsonOut>>(isa, text, Format::marlc);
}
std::optional<Buffer> ffi::parse_marl_to_binary(std::string_view text, Isa isa) {
  return run<Write<BinaryOut>>(isa, text, Format::marl);
}

}  // namespace marlet_core

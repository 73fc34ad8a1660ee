// The text-to-JSON and text-to-binary paths of the C exports.
//
// Each runs the shared scanner with a RecordSink whose output policy writes
// every record as it closes into one block sized from the input.  The whole
// path is compiled twice: once for any x86-64 CPU and once with AVX2 for the
// JSON escaping loop, and the CPU picks one at run time.
#include "record_writer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "compact.hpp"
#include "ffi.hpp"
#include "json.hpp"
#include "text.hpp"

namespace marlet_core {
namespace {

// An output block for a result about `expected` bytes long.  Sizing it from
// the input saves the copies of growing from a few bytes; pages are only
// touched as they are written, and the exports trim the block at the end.
// Large blocks ask for transparent huge pages, which cost a fraction of the
// page faults of 4 KiB pages.
Buffer output_block(std::size_t expected) {
  Buffer out(expected + json_detail::kSlack);
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  if (out.capacity() >= 2 * kHuge) {
    const auto start = reinterpret_cast<std::uintptr_t>(out.data());
    const std::uintptr_t first = (start + kHuge - 1) & ~std::uintptr_t{kHuge - 1};
    const std::uintptr_t last = (start + out.capacity()) & ~std::uintptr_t{kHuge - 1};
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
  }
  return out;
}

enum class Format { marl, compact };

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
    using json_detail::kSlack;
    char* d = out_.prepare(2 + kSlack);
    if (out_.size() != 1) *d++ = ',';
    *d++ = '{';
    bool first = true;
    table.for_each([&](std::string_view key, std::string_view value) {
      // `,"key":"value"`: 6 bytes besides the two strings.
      const std::size_t need = key.size() + value.size() + 6 + kSlack;
      if (out_.room(d) < need) d = out_.room_after(d, need);
      if (!first) *d++ = ',';
      first = false;
      *d++ = '"';
      d = json_detail::escape_to<Scan>(key, readable_, d, out_, value.size() + 4);
      d[0] = '"';
      d[1] = ':';
      d[2] = '"';
      d = json_detail::escape_to<Scan>(value, readable_, d + 3, out_, 1);
      *d++ = '"';
    });
    *d++ = '}';
    out_.end_at(d);
  }

  Buffer finish() {
    out_.push_back(']');
    return std::move(out_);
  }

 private:
  const char* readable_;
  Buffer out_;
};

// The binary encoding: the record count (filled in at the end), then per
// record its field count and per field the length-prefixed key and value.
class BinaryOut {
 public:
  BinaryOut(std::string_view text, Format)
      : readable_(text.data() + text.size()), out_(output_block(binary_size_from_marl(text.size()))) {
    out_.commit(4);
  }

  template <class Table>
  void record(Table& table) {
    using json_detail::kSlack;
    const std::size_t fields = table.size();
    if (!ffi::detail::fits_u32(fields)) fits_ = false;
    ffi::detail::append_u32(out_, fields);
    char* d = out_.data() + out_.size();
    table.for_each([&](std::string_view key, std::string_view value) {
      if (!ffi::detail::fits_u32(key.size()) || !ffi::detail::fits_u32(value.size())) fits_ = false;
      const std::size_t need = 8 + key.size() + value.size() + kSlack;
      if (out_.room(d) < need) d = out_.room_after(d, need);
      d = put_bytes(ffi::detail::put_u32(d, key.size()), key);
      d = put_bytes(ffi::detail::put_u32(d, value.size()), value);
    });
    out_.end_at(d);
    ++records_;
  }

  // Copies `s` to d, which has kSlack bytes of room after it.  Where the
  // input allows, whole 32-byte pieces are copied, the last one running past
  // the string: the bytes written beyond it are overwritten by what comes
  // next or trimmed, and one unconditional copy replaces a branch per size
  // class for the short strings that make up most records.
  char* put_bytes(char* d, std::string_view s) noexcept {
    constexpr std::size_t kPiece = 32;
    static_assert(kPiece <= json_detail::kSlack);
    const std::size_t n = s.size();
    if (static_cast<std::size_t>(readable_ - s.data()) >= n + kPiece) {
      for (std::size_t i = 0; i < n; i += kPiece) std::memcpy(d + i, s.data() + i, kPiece);
    } else {
      copy_bytes(d, s.data(), n);
    }
    return d + n;
  }

  // The encoding, or nullopt when a count or length does not fit 32 bits.
  std::optional<Buffer> finish() {
    if (!fits_ || !ffi::detail::fits_u32(records_)) return std::nullopt;
    ffi::detail::put_u32(out_.data(), records_);
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
  if (format == Format::marl) {
    text::scan_marl(text, sink);
  } else {
    text::scan_compact(text, sink);
  }
  return out.finish();
}

#if defined(__x86_64__)
// Copies and classifies 32 bytes with AVX2; used only when the CPU has it.
struct Avx2Scan {
  static constexpr std::size_t kWidth = 32;
  __attribute__((target("avx2"))) static std::uint32_t copy_mask(const unsigned char* p, char* d) noexcept {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), v);
    const __m256i ctrl = _mm256_cmpeq_epi8(_mm256_min_epu8(v, _mm256_set1_epi8(0x1f)), v);
    const __m256i quote = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"'));
    const __m256i backslash = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(ctrl, _mm256_or_si256(quote, backslash))));
  }
};

// The AVX2 builds of the paths: everything they call is inlined into them,
// so the vector code runs without a call per string.
__attribute__((target("avx2"), flatten)) Buffer json_avx2(std::string_view text, Format format) {
  return write_records<JsonOut<Avx2Scan>, Avx2KeyHash>(text, format);
}
__attribute__((target("avx2"), flatten)) std::optional<Buffer> binary_avx2(std::string_view text) {
  return write_records<BinaryOut, Avx2KeyHash>(text, Format::marl);
}
#endif

Buffer json_portable(std::string_view text, Format format) {
  return write_records<JsonOut<json_detail::PortableScan>>(text, format);
}

Buffer to_json(std::string_view text, Format format, Isa isa) {
#if defined(__x86_64__)
  if (isa == Isa::avx2) return json_avx2(text, format);
#endif
  (void)isa;
  return json_portable(text, format);
}

}  // namespace

#if defined(__x86_64__)
namespace {
// AVX2 takes the instructions (CPUID leaf 7) and an operating system that
// saves the 256-bit registers (OSXSAVE, then the SSE and AVX state bits of
// XCR0).  Read here rather than through __builtin_cpu_supports, whose data
// not every compiler runtime fills in: zig's leaves it zero, which would
// turn AVX2 off on every CPU.
bool cpu_has_avx2() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 0x6u) != 0x6u) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & (1u << 5)) != 0;
}
}  // namespace
#endif

Isa best_isa() noexcept {
#if defined(__x86_64__)
  static const bool avx2 = cpu_has_avx2();
  return avx2 ? Isa::avx2 : Isa::portable;
#else
  return Isa::portable;
#endif
}

Buffer parse_marl_to_json(std::string_view text, Isa isa) { return to_json(text, Format::marl, isa); }
Buffer parse_marl_to_json(std::string_view text) { return to_json(text, Format::marl, best_isa()); }

namespace compact {
Buffer parse_marl_compact_to_json(std::string_view text, Isa isa) { return to_json(text, Format::compact, isa); }
Buffer parse_marl_compact_to_json(std::string_view text) { return to_json(text, Format::compact, best_isa()); }
}  // namespace compact

namespace ffi {
std::optional<Buffer> parse_marl_to_binary(std::string_view text, Isa isa) {
#if defined(__x86_64__)
  if (isa == Isa::avx2) return binary_avx2(text);
#endif
  (void)isa;
  return write_records<BinaryOut>(text, Format::marl);
}
std::optional<Buffer> parse_marl_to_binary(std::string_view text) { return parse_marl_to_binary(text, best_isa()); }
}  // namespace ffi

}  // namespace marlet_core

#include "compact.hpp"

#include "cpu.hpp"
#include "field_table.hpp"
#include "json_reader.hpp"
#include "writers.hpp"

namespace marlet_core::compact {

namespace {

// Writes each JSON object as a .marlc record as soon as it closes, through
// the reused table; decoded strings live in the arena until then.
template <class KeyHash>
class CompactSink {
 public:
  explicit CompactSink(std::size_t expected) : out_(expected) {}
  StringArena& arena() noexcept { return arena_; }

  void field(std::string_view key, std::string_view value) { table_.add(key, value); }
  void end_record() {
    table_.finish();
    writers::write_marlc_record(table_, out_);
    table_.clear();
    arena_.reset();
  }
  Buffer take() { return std::move(out_); }

 private:
  Buffer out_;
  StringArena arena_;
  BasicFieldTable<KeyHash> table_;
};

template <class KeyHash>
std::optional<Buffer> json_to_compact(std::string_view json) {
  // No object is shorter than its .marlc record.
  CompactSink<KeyHash> sink(json.size() + 1);
  JsonReader reader(json, &sink.arena());
  if (!reader.read(sink)) return std::nullopt;
  return sink.take();
}

// The AVX2 build hashes each object's keys four at a time.
struct JsonToCompact {
  static std::optional<Buffer> portable(std::string_view json) { return json_to_compact<ScalarKeyHash>(json); }
#if defined(__x86_64__)
  __attribute__((target("avx2"), flatten)) static std::optional<Buffer> avx2(std::string_view json) {
    return json_to_compact<Avx2KeyHash>(json);
  }
#endif
};

}  // namespace

std::optional<Buffer> write_marl_compact_from_json(std::string_view json, Isa isa) {
  return run<JsonToCompact>(isa, json);
}

}  // namespace marlet_core::compact

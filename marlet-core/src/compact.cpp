#include "compact.hpp"

#include "cpu.hpp"
#include "field_table.hpp"
#include "json_reader.hpp"
#include "writers.hpp"

namespace marlet_core::compact {

namespace {

// .marlc written as each JSON object closes; the object's decoded strings
// live in the arena until then.
struct MarlcOut {
  Buffer out;
  StringArena arena;
  template <class Table>
  void record(Table& table) {
    writers::write_marlc_record(table, out);
    arena.reset();
  }
};

template <class KeyHash>
std::optional<Buffer> json_to_compact(std::string_view json) {
  MarlcOut out{Buffer(json.size() + 1), {}};  // no object is shorter than its .marlc record
  TableSink<MarlcOut, KeyHash> sink(out);
  JsonReader reader(json, &out.arena);
  if (!reader.read(sink)) return std::nullopt;
  return std::move(out.out);
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

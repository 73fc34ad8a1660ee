// Writing records out as the reader closes them, without a list of tables.
//
// The C exports never need the records after they are written, so instead
// of building one hash table per record they keep the fields of the record
// being read as views (FieldTable), and when it closes they put those
// fields into a single table that is reused for every record: the record
// still becomes its own SipHash-1-3 keyed map, with a key pair drawn for it
// alone, the last of several equal keys wins, and its fields come out in
// that map's iteration order.  The output policies below then write the
// record at once into one presized output block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "memory.hpp"
#include "record.hpp"
#include "text.hpp"

namespace marlet_core {

// The fields of the current record, and the reused hash table that turns
// them into a map when the record closes.
class FieldTable {
 public:
  void add(std::string_view key, std::string_view value) { fields_.push_back(text::Field{key, value}); }
  bool empty() const noexcept { return fields_.empty(); }

  // Makes the buffered fields one map under a fresh key pair; returns how
  // many distinct keys it holds.
  std::size_t index() {
    const std::size_t n = fields_.size();
    std::size_t capacity = 8;
    while (n > capacity - capacity / 4) capacity *= 2;
    capacity_ = capacity;
    if (slots_.size() < capacity) slots_.resize(capacity);
    const std::size_t words = (capacity + 63) / 64;
    if (used_.size() < words) used_.resize(words);
    const HashKeys keys = next_map_keys();
    const std::size_t mask = capacity - 1;
    std::size_t distinct = 0;
    for (std::size_t f = 0; f < n; ++f) {
      const std::string_view key = fields_[f].key;
      const std::uint64_t h = hash_key(keys, key);
      for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
        std::uint64_t& word = used_[i / 64];
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        if ((word & bit) == 0) {
          word |= bit;
          slots_[i] = Slot{h, f};
          ++distinct;
          break;
        }
        if (slots_[i].hash == h && fields_[slots_[i].field].key == key) {
          slots_[i].field = f;  // the later value replaces the earlier one
          break;
        }
      }
    }
    return distinct;
  }

  // After index(): calls f(key, value) for every field of the map, in the
  // order of its slots, found through the occupancy mask.
  template <class F>
  void for_each(F&& f) const {
    const std::size_t words = (capacity_ + 63) / 64;
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint64_t used = used_[w]; used != 0; used &= used - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(used));
        const text::Field& field = fields_[slots_[i].field];
        f(field.key, field.value);
      }
    }
  }

  // Forgets the record: only the occupancy words in use are cleared; slots
  // are never read unless their bit is set.
  void clear() noexcept {
    std::memset(used_.data(), 0, (capacity_ + 63) / 64 * sizeof(std::uint64_t));
    fields_.clear();
  }

 private:
  struct Slot {
    std::uint64_t hash;
    std::size_t field;
  };
  std::vector<text::Field, CAllocator<text::Field>> fields_;
  std::vector<Slot, CAllocator<Slot>> slots_;
  std::vector<std::uint64_t, CAllocator<std::uint64_t>> used_;
  std::size_t capacity_ = 0;
};

// The Sink of text::scan_marl / scan_compact that hands every closed,
// non-empty record to an output policy (Out::record(FieldTable&)).
template <class Out>
class RecordSink {
 public:
  explicit RecordSink(Out& out) noexcept : out_(out) {}
  void field(std::string_view key, std::string_view value) { table_.add(key, value); }
  void close() {
    if (table_.empty()) return;
    out_.record(table_);
    table_.clear();
  }

 private:
  Out& out_;
  FieldTable table_;
};

}  // namespace marlet_core

// Writing records out as the reader closes them, without a list of tables.
//
// The C exports never need the records after they are written, so instead
// of building one hash table per record and a list of them, they build each
// record in one table whose storage every record reuses (FieldTable), with
// keys and values as views into the input.  The record is still its own
// SipHash-1-3 keyed map, with a key pair drawn for it alone, the last of
// several equal keys wins, and its fields come out in that map's iteration
// order.  When the record closes, an output policy writes it at once into
// one output block sized from the input, and the table is cleared.
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

// The current record as a hash map built in storage that every record
// reuses.  Each record draws its own key pair when its first field arrives;
// its table starts at 8 slots and doubles as distinct keys arrive, so a
// record costs memory for its distinct keys only, however many times a key
// repeats.  Occupied slots are marked in a bit mask, which both orders the
// iteration and makes clearing cost one word per 64 slots.
class FieldTable {
 public:
  void add(std::string_view key, std::string_view value) {
    if (fields_.empty()) {
      start();
    } else if (fields_.size() + 1 > capacity_ - capacity_ / 4) {
      grow();  // before probing, so one probe finds either the key or its free slot
    }
    const std::uint64_t h = hash_key(keys_, key);
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      std::uint64_t& word = used_[i / 64];
      const std::uint64_t bit = std::uint64_t{1} << (i % 64);
      if ((word & bit) == 0) {
        word |= bit;
        slots_[i] = fields_.size();
        fields_.push_back(Entry{key, value, h});
        return;
      }
      Entry& e = fields_[slots_[i]];
      if (e.hash == h && e.key == key) {
        e.value = value;  // the later value replaces the earlier one
        return;
      }
    }
  }

  bool empty() const noexcept { return fields_.empty(); }
  // The number of distinct keys.
  std::size_t size() const noexcept { return fields_.size(); }

  // Calls f(key, value) for every field, in the order of the table's slots.
  template <class F>
  void for_each(F&& f) const {
    const std::size_t words = (capacity_ + 63) / 64;
    for (std::size_t w = 0; w < words; ++w) {
      for (std::uint64_t used = used_[w]; used != 0; used &= used - 1) {
        const Entry& e = fields_[slots_[w * 64 + static_cast<std::size_t>(__builtin_ctzll(used))]];
        f(e.key, e.value);
      }
    }
  }

  // Forgets the record; slots are never read unless their bit is set.
  void clear() noexcept {
    if (fields_.empty()) return;
    std::memset(used_.data(), 0, (capacity_ + 63) / 64 * sizeof(std::uint64_t));
    capacity_ = 0;
    fields_.clear();
  }

 private:
  struct Entry {
    std::string_view key;
    std::string_view value;
    std::uint64_t hash;
  };
  static constexpr std::size_t kMinCapacity = 8;

  void start() {
    keys_ = next_map_keys();
    capacity_ = kMinCapacity;
    reserve_slots();
  }

  void reserve_slots() {
    if (slots_.size() < capacity_) slots_.resize(capacity_);
    const std::size_t words = (capacity_ + 63) / 64;
    if (used_.size() < words) used_.resize(words);
  }

  void insert(std::uint64_t h, std::size_t field) noexcept {
    const std::size_t mask = capacity_ - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while ((used_[i / 64] >> (i % 64) & 1) != 0) i = (i + 1) & mask;
    used_[i / 64] |= std::uint64_t{1} << (i % 64);
    slots_[i] = field;
  }

  // Doubles the table and puts every field back, in the order they came.
  void grow() {
    std::memset(used_.data(), 0, (capacity_ + 63) / 64 * sizeof(std::uint64_t));
    capacity_ *= 2;
    reserve_slots();
    for (std::size_t f = 0; f < fields_.size(); ++f) insert(fields_[f].hash, f);
  }

  HashKeys keys_{};
  std::size_t capacity_ = 0;
  std::vector<Entry, CAllocator<Entry>> fields_;
  std::vector<std::size_t, CAllocator<std::size_t>> slots_;
  std::vector<std::uint64_t, CAllocator<std::uint64_t>> used_;
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

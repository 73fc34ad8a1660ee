// One record as a keyed hash map (its own SipHash-1-3 key pair, the last
// of equal keys winning, fields in the map's order) in storage that every
// record reuses: for the paths that never need a record after writing it
// (the one-pass exports, the .marlc writer from JSON, the Python module's
// converter).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "key_hash.hpp"
#include "memory.hpp"
#include "record.hpp"

namespace marlet_core {

// Fields are hashed into the table a batch at a time (kBatch, or when the
// record closes): a batch's hashes do not depend on each other, so the CPU
// computes several at once.  The table holds distinct keys only, so a
// record costs memory for those plus one batch.  Used slots are marked in a
// bit mask, which orders the iteration and makes clearing one word per 64
// slots.  Keys are UTF-8; a value is any trivially copyable view (the
// Python module keeps values in a str's own code units).
template <class KeyHash, class Value = std::string_view>
class BasicFieldTable {
 public:
  void add(std::string_view key, Value value) {
    if (pending_ == kBatch) flush();
    batch_keys_[pending_] = key;
    batch_values_[pending_] = value;
    ++pending_;
  }

  bool empty() const noexcept { return fields_.empty() && pending_ == 0; }

  // Call once the record is complete, before size() and for_each().
  void finish() { flush(); }

  // The number of distinct keys.
  std::size_t size() const noexcept { return fields_.size(); }

  // Calls f(key, value) for every field, in the table's slot order.
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
    pending_ = 0;
    tags_ = 0;
    if (fields_.empty()) return;
    std::memset(used_.data(), 0, (capacity_ + 63) / 64 * sizeof(std::uint64_t));
    capacity_ = 0;
    fields_.clear();
  }

 private:
  struct Entry {
    std::string_view key;
    Value value;
    std::uint64_t hash;
  };
  static constexpr std::size_t kMinCapacity = 8;
  static constexpr std::size_t kBatch = 32;

  static bool fits(std::size_t fields, std::size_t capacity) noexcept { return fields <= capacity - capacity / 4; }

  void flush() {
    if (pending_ == 0) return;
    if (fields_.empty()) keys_ = next_map_keys();
    std::uint64_t hashes[kBatch];
    KeyHash::hash(keys_, batch_keys_, pending_, hashes);
    // Room for every key of the batch being new, so no insert below grows.
    const std::size_t want = fields_.size() + pending_;
    if (capacity_ == 0 || !fits(want, capacity_)) {
      std::size_t capacity = capacity_ == 0 ? kMinCapacity : capacity_;
      while (!fits(want, capacity)) capacity *= 2;
      resize(capacity);
    }
    if (fields_.capacity() < want) fields_.reserve(std::max(want, 2 * fields_.capacity()));
    for (std::size_t i = 0; i < pending_; ++i) put(hashes[i], batch_keys_[i], batch_values_[i]);
    pending_ = 0;
  }

  void put(std::uint64_t h, std::string_view key, Value value) noexcept {
    // A key whose tag (the hash's top 6 bits) no earlier key has is new; in
    // a table of up to 64 slots its slot is the first free one from its
    // home, read off the occupancy word without a probe loop.
    const std::uint64_t tag = std::uint64_t{1} << (h >> 58);
    if (capacity_ <= 64 && (tags_ & tag) == 0) {
      tags_ |= tag;
      const std::uint64_t free = ~used_[0] & small_mask_;  // never 0: the table has room
      const std::uint64_t after = free & (~std::uint64_t{0} << (h & (capacity_ - 1)));
      const auto i = static_cast<std::size_t>(__builtin_ctzll(after != 0 ? after : free));
      used_[0] |= std::uint64_t{1} << i;
      slots_[i] = fields_.size();
      fields_.push_back(Entry{key, value, h});  // never reallocates: reserved in flush()
      return;
    }
    tags_ |= tag;
    const std::size_t mask = capacity_ - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      std::uint64_t& word = used_[i / 64];
      const std::uint64_t bit = std::uint64_t{1} << (i % 64);
      if ((word & bit) == 0) {
        word |= bit;
        slots_[i] = fields_.size();
        fields_.push_back(Entry{key, value, h});  // never reallocates: reserved in flush()
        return;
      }
      Entry& e = fields_[slots_[i]];
      if (e.hash == h && e.key == key) {
        e.value = value;  // the later value replaces the earlier one
        return;
      }
    }
  }

  void insert(std::uint64_t h, std::size_t field) noexcept {
    const std::size_t mask = capacity_ - 1;
    std::size_t i = static_cast<std::size_t>(h) & mask;
    while ((used_[i / 64] >> (i % 64) & 1) != 0) i = (i + 1) & mask;
    used_[i / 64] |= std::uint64_t{1} << (i % 64);
    slots_[i] = field;
  }

  // Sets the table's size and puts the fields back, in the order they came.
  void resize(std::size_t capacity) {
    if (capacity_ != 0) std::memset(used_.data(), 0, (capacity_ + 63) / 64 * sizeof(std::uint64_t));
    capacity_ = capacity;
    small_mask_ = capacity_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << capacity_) - 1;
    if (slots_.size() < capacity_) slots_.resize(capacity_);
    const std::size_t words = (capacity_ + 63) / 64;
    if (used_.size() < words) used_.resize(words);
    for (std::size_t f = 0; f < fields_.size(); ++f) insert(fields_[f].hash, f);
  }

  HashKeys keys_{};
  std::size_t capacity_ = 0;
  std::size_t pending_ = 0;
  std::uint64_t tags_ = 0;        // bit t set when a key of the record has tag t
  std::uint64_t small_mask_ = 0;  // the slots of a table of up to 64
  std::string_view batch_keys_[kBatch];
  Value batch_values_[kBatch];
  std::vector<Entry, CAllocator<Entry>> fields_;
  std::vector<std::size_t, CAllocator<std::size_t>> slots_;
  std::vector<std::uint64_t, CAllocator<std::uint64_t>> used_;
};

using FieldTable = BasicFieldTable<ScalarKeyHash>;

// The Sink of the text and JSON readers that builds each record in the
// reused table and hands it to Out::record(table); close() skips an empty
// record, end_record() (an object of the JSON form) does not.
template <class Out, class KeyHash = ScalarKeyHash>
class TableSink {
 public:
  explicit TableSink(Out& out) noexcept : out_(out) {}
  void field(std::string_view key, std::string_view value) { table_.add(key, value); }
  void close() {
    if (!table_.empty()) end_record();
  }
  void end_record() {
    table_.finish();
    out_.record(table_);
    table_.clear();
  }

 private:
  Out& out_;
  BasicFieldTable<KeyHash> table_;
};

}  // namespace marlet_core

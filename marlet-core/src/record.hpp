// The record model: a Record maps unique key strings to value strings.
//
// A Record is an open-addressing hash table keyed by SipHash-1-3 over the
// key's bytes followed by one 0xFF byte.  Every table draws its own 128-bit
// hash key from the creating thread's pair, which then advances (k0 + 1), so
// iteration order differs between records, threads and processes.  Nothing
// may depend on that order; writers emit fields exactly as a Record yields
// them.
//
// Slots hold the full hash (with the top bit set to mark the slot used) and
// the key and value inline, so a lookup for a small record touches one
// contiguous block and a field costs no allocation of its own beyond what
// the string type needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "memory.hpp"
#include "siphash.hpp"

namespace marlet_core {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The calling thread's current key pair, which is then advanced.  The first
// call on a thread draws the pair from the operating system's random source;
// if that fails it throws InternalError.
HashKeys next_map_keys();

// A failure that is not the caller's fault (a random source that cannot
// deliver, a broken invariant).  Front ends turn it into their fatal outcome.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline std::uint64_t hash_key(const HashKeys& keys, std::string_view key) noexcept {
  SipHasher13 h(keys.k0, keys.k1);
  h.update(key);
  h.update_byte(0xff);
  return h.finish();
}

template <class Str>
class BasicRecord {
  struct Slot {
    std::uint64_t hash = 0;  // 0: empty; otherwise the key's hash with the top bit set
    Str key{};
    Str value{};
  };
  using Slots = std::vector<Slot, CAllocator<Slot>>;
  static constexpr std::uint64_t kUsed = std::uint64_t{1} << 63;

 public:
  using string_type = Str;

  BasicRecord() : keys_(next_map_keys()) {}
  explicit BasicRecord(std::size_t expected_fields) : BasicRecord() { reserve(expected_fields); }

  BasicRecord(BasicRecord&&) noexcept = default;
  BasicRecord& operator=(BasicRecord&&) noexcept = default;
  BasicRecord(const BasicRecord&) = delete;
  BasicRecord& operator=(const BasicRecord&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  void reserve(std::size_t fields) {
    std::size_t capacity = slots_.size();
    if (fits(fields, capacity)) return;
    if (capacity == 0) capacity = kMinCapacity;
    while (!fits(fields, capacity)) capacity *= 2;
    rehash(capacity);
  }

  // Puts a field; an existing equal key (byte for byte) takes the new value.
  void put(std::string_view key, std::string_view value) {
    if (!fits(size_ + 1, slots_.size())) reserve(size_ + 1);
    const std::uint64_t h = hash_key(keys_, key) | kUsed;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.hash == 0) {
        s.key = Str(key.data(), key.size());
        s.value = Str(value.data(), value.size());
        s.hash = h;
        ++size_;
        return;
      }
      if (s.hash == h && std::string_view(s.key) == key) {
        s.value = Str(value.data(), value.size());
        return;
      }
    }
  }

  // The value stored under `key`, or nullptr.
  const Str* find(std::string_view key) const noexcept {
    if (size_ == 0) return nullptr;
    const std::uint64_t h = hash_key(keys_, key) | kUsed;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.hash == 0) return nullptr;
      if (s.hash == h && std::string_view(s.key) == key) return &s.value;
    }
  }

  // Calls f(key, value) for every field, in the table's order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_)
      if (s.hash != 0) f(std::string_view(s.key), std::string_view(s.value));
  }

 private:
  static constexpr std::size_t kMinCapacity = 8;
  // Load factor at most 3/4 keeps probe runs short.
  static bool fits(std::size_t fields, std::size_t capacity) noexcept {
    return fields <= capacity - capacity / 4 && capacity != 0;
  }

  void rehash(std::size_t capacity) {
    Slots old(capacity);
    old.swap(slots_);
    const std::size_t mask = capacity - 1;
    for (Slot& s : old) {
      if (s.hash == 0) continue;
      std::size_t i = static_cast<std::size_t>(s.hash) & mask;
      while (slots_[i].hash != 0) i = (i + 1) & mask;
      slots_[i] = std::move(s);
    }
  }

  HashKeys keys_;
  std::size_t size_ = 0;
  Slots slots_;
};

using Record = BasicRecord<OwnedString>;
using BorrowedRecord = BasicRecord<std::string_view>;

template <class Str>
using BasicRecordList = std::vector<BasicRecord<Str>, CAllocator<BasicRecord<Str>>>;
using RecordList = BasicRecordList<OwnedString>;
using BorrowedRecordList = BasicRecordList<std::string_view>;

}  // namespace marlet_core

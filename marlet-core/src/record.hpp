// The record model: a Record maps unique keys to values in an
// open-addressing table keyed by SipHash-1-3 over the key's bytes and one
// 0xFF byte.  Each table draws its own 128-bit key from the creating
// thread's pair, which then advances, so iteration order differs between
// records, threads and processes and nothing may depend on it.  A table is
// one heap block: the slots' full hashes (the top bit marks a used slot),
// then the entries, so a lookup compares hashes before it touches a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "memory.hpp"
#include "siphash.hpp"

namespace marlet_core {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The calling thread's current key pair, which then advances; the first
// call on a thread draws it from the system's random source, or throws
// InternalError.
HashKeys next_map_keys();

inline std::uint64_t hash_key(const HashKeys& keys, std::string_view key) noexcept {
  return SipHasher13(keys.k0, keys.k1).finish_with_suffix(key, 0xff);
}

template <class Str>
class BasicRecord {
  struct Entry {
    Str key;
    Str value;
  };
  static_assert(alignof(Entry) <= alignof(std::uint64_t));
  static constexpr std::uint64_t kUsed = std::uint64_t{1} << 63;
  static constexpr std::size_t kMinCapacity = 8;

 public:
  using string_type = Str;

  BasicRecord() : keys_(next_map_keys()) {}
  explicit BasicRecord(std::size_t expected_fields) : BasicRecord() { reserve(expected_fields); }

  BasicRecord(BasicRecord&& other) noexcept
      : keys_(other.keys_),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        block_(std::exchange(other.block_, nullptr)) {}
  BasicRecord& operator=(BasicRecord&& other) noexcept {
    if (this != &other) {
      destroy();
      keys_ = other.keys_;
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  ~BasicRecord() { destroy(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  void reserve(std::size_t fields) {
    if (fits(fields, capacity_)) return;
    std::size_t capacity = capacity_ == 0 ? kMinCapacity : capacity_;
    while (!fits(fields, capacity)) {
      if (capacity > std::numeric_limits<std::size_t>::max() / 2) throw std::length_error("record too large");
      capacity *= 2;
    }
    rehash(capacity);
  }

  // Puts a field; an existing equal key (byte for byte) takes the new value.
  void put(std::string_view key, std::string_view value) {
    if (!fits(size_ + 1, capacity_)) reserve(size_ + 1);
    const std::uint64_t h = hash_key(keys_, key) | kUsed;
    const std::size_t mask = capacity_ - 1;
    std::uint64_t* hashes = hash_slots();
    for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
      if (hashes[i] == 0) {
        ::new (static_cast<void*>(entries() + i)) Entry{Str(key.data(), key.size()), Str(value.data(), value.size())};
        hashes[i] = h;
        ++size_;
        return;
      }
      if (hashes[i] == h && std::string_view(entries()[i].key) == key) {
        entries()[i].value = Str(value.data(), value.size());
        return;
      }
    }
  }

  // Calls f(key, value) for every field, in the table's order.
  template <class F>
  void for_each(F&& f) const {
    const std::uint64_t* hashes = hash_slots();
    const Entry* e = entries();
    // Used slots are visited through a mask of 64 at a time: testing each
    // slot in turn would mispredict about once per field.
    for (std::size_t base = 0; base < capacity_; base += 64) {
      const std::size_t n = capacity_ - base < 64 ? capacity_ - base : 64;
      std::uint64_t used = 0;
      for (std::size_t i = 0; i < n; ++i) used |= std::uint64_t{hashes[base + i] != 0} << i;
      while (used != 0) {
        const std::size_t i = base + static_cast<std::size_t>(__builtin_ctzll(used));
        used &= used - 1;
        f(std::string_view(e[i].key), std::string_view(e[i].value));
      }
    }
  }

 private:
  // Load factor at most 3/4 keeps probe runs short.
  static bool fits(std::size_t fields, std::size_t capacity) noexcept {
    return capacity != 0 && fields <= capacity - capacity / 4;
  }

  // One block per table: `capacity_` hashes (0 marks a free slot), then
  // `capacity_` entries, constructed only where the hash is set.
  std::uint64_t* hash_slots() const noexcept { return static_cast<std::uint64_t*>(block_); }
  Entry* entries() const noexcept { return reinterpret_cast<Entry*>(hash_slots() + capacity_); }

  void rehash(std::size_t capacity) {
    if (capacity > std::numeric_limits<std::size_t>::max() / (sizeof(std::uint64_t) + sizeof(Entry)))
      throw std::length_error("record too large");
    void* block = checked_malloc(capacity * (sizeof(std::uint64_t) + sizeof(Entry)));
    auto* hashes = static_cast<std::uint64_t*>(block);
    auto* slots = reinterpret_cast<Entry*>(hashes + capacity);
    std::memset(hashes, 0, capacity * sizeof(std::uint64_t));
    const std::size_t mask = capacity - 1;
    const std::uint64_t* old_hashes = hash_slots();
    Entry* old = entries();
    for (std::size_t j = 0; j < capacity_; ++j) {
      if (old_hashes[j] == 0) continue;
      std::size_t i = static_cast<std::size_t>(old_hashes[j]) & mask;
      while (hashes[i] != 0) i = (i + 1) & mask;
      ::new (static_cast<void*>(slots + i)) Entry(std::move(old[j]));
      old[j].~Entry();
      hashes[i] = old_hashes[j];
    }
    std::free(block_);
    block_ = block;
    capacity_ = capacity;
  }

  void destroy() noexcept {
    if (block_ == nullptr) return;
    if constexpr (!std::is_trivially_destructible_v<Entry>) {
      const std::uint64_t* hashes = hash_slots();
      Entry* e = entries();
      for (std::size_t i = 0; i < capacity_; ++i)
        if (hashes[i] != 0) e[i].~Entry();
    }
    std::free(block_);
    block_ = nullptr;
  }

  HashKeys keys_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  void* block_ = nullptr;
};

using Record = BasicRecord<OwnedString>;
using BorrowedRecord = BasicRecord<std::string_view>;

template <class Str>
using BasicRecordList = std::vector<BasicRecord<Str>, CAllocator<BasicRecord<Str>>>;
using RecordList = BasicRecordList<OwnedString>;
using BorrowedRecordList = BasicRecordList<std::string_view>;

}  // namespace marlet_core

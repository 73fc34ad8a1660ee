// KeyCache: one str per distinct key of a document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "py_errors.hpp"
#include "py_str.hpp"

namespace marlet_py {

// Documents repeat the same few keys in every record.  The cache hands out
// the str made for an earlier occurrence of the same key bytes, which saves
// an allocation and, since a str caches its hash, the hashing in the dict.
//
// The table doubles (up to a bound) when a key finds every slot of its
// window taken while the table is at least a quarter full, so thousands of
// distinct keys still share one str each, as json.loads does; past the
// bound, a colliding key replaces an old one.  Only ASCII keys are kept, so
// a hit compares the key's bytes with the str's storage directly.
template <Policy P>
class KeyCache {
 public:
  KeyCache() : slots_(std::size_t{1} << kInitialBits, nullptr) {}
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache() {
    for (PyObject* str : slots_) Py_XDECREF(str);
  }

  // The str of a key given in a str's code units: an ASCII key narrowed to
  // its bytes shares the cache with UTF-8 keys; any other is made afresh.
  template <class Unit>
  PyRef get(marlet_core::UnitView<Unit> key) {
    if (key.size() > kMaxLength) return make_str<P>(key);
    char bytes[kMaxLength];
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
      bits |= key[i];
      bytes[i] = static_cast<char>(key[i]);
    }
    if (bits >= 0x80) return make_str<P>(key);
    return get(std::string_view(bytes, key.size()));
  }

  PyRef get(std::string_view key) {
    if (key.size() > kMaxLength || !is_ascii(key)) return make_str<P>(key);
    const std::uint64_t h = hash_of(key);
    PyObject** free_slot = nullptr;
    if (PyObject* hit = find(h, key, free_slot)) return PyRef::borrow(hit);
    PyRef str = ascii_str<P>(key);
    if (free_slot == nullptr && count_ * 4 >= slots_.size() && bits_ < kMaxBits) {
      grow();
      free_slot = free_slot_for(h);
    }
    if (free_slot != nullptr) {
      *free_slot = PyRef::borrow(str.get()).release();  // the slot's own reference
      ++count_;
    } else {
      PyObject*& slot = slots_[home_of(h)];
      PyObject* old = slot;
      slot = PyRef::borrow(str.get()).release();
      Py_XDECREF(old);
    }
    return str;
  }

 private:
  static constexpr unsigned kInitialBits = 8;
  static constexpr unsigned kMaxBits = 16;
  static constexpr std::size_t kWays = 4;
  static constexpr std::size_t kMaxLength = 64;

  std::size_t home_of(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h >> (64 - bits_)); }
  std::size_t mask() const noexcept { return slots_.size() - 1; }

  // A key may sit in its home slot or the few after it, so two keys of a
  // document that hash alike do not keep evicting each other.
  PyObject* find(std::uint64_t h, std::string_view key, PyObject**& free_slot) noexcept {
    const std::size_t home = home_of(h);
    for (std::size_t i = 0; i < kWays; ++i) {
      PyObject*& slot = slots_[(home + i) & mask()];
      if (slot == nullptr) {
        if (free_slot == nullptr) free_slot = &slot;
      } else if (holds(slot, key)) {
        return slot;
      }
    }
    return nullptr;
  }

  PyObject** free_slot_for(std::uint64_t h) noexcept {
    const std::size_t home = home_of(h);
    for (std::size_t i = 0; i < kWays; ++i) {
      PyObject*& slot = slots_[(home + i) & mask()];
      if (slot == nullptr) return &slot;
    }
    return nullptr;
  }

  // Doubles the table; a str that finds no free slot in its new window is
  // dropped from the cache.
  void grow() {
    std::vector<PyObject*> old(slots_.size() * 2, nullptr);
    old.swap(slots_);
    ++bits_;
    count_ = 0;
    for (PyObject* str : old) {
      if (str == nullptr) continue;
      const std::string_view bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
      if (PyObject** slot = free_slot_for(hash_of(bytes))) {
        *slot = str;  // the reference moves with it
        ++count_;
      } else {
        Py_DECREF(str);
      }
    }
  }

  static std::uint64_t load64(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }
  static std::uint32_t load32(const char* p) noexcept {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
  }

  // Hands the bytes of a key to f as words read with fixed-size loads only:
  // for 8 bytes or more the last word overlaps the one before it; shorter
  // keys give two overlapping halves or three single bytes.  (Copying a
  // variable-length tail into a word instead stalls the load that reads it
  // back, which cost a fifth of the parse.)
  template <class F>
  static void for_each_word(const char* p, std::size_t n, F&& f) noexcept {
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) f(load64(p + i));
      f(load64(p + n - 8));
    } else if (n >= 4) {
      f(load32(p) | std::uint64_t{load32(p + n - 4)} << 32);
    } else if (n != 0) {
      const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
      f(byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16);
    }
  }

  static bool holds(PyObject* str, std::string_view key) noexcept {
    const std::size_t n = key.size();
    if (PyUnicode_GET_LENGTH(str) != static_cast<Py_ssize_t>(n)) return false;
    const char* a = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str));
    const char* b = key.data();
    if (n >= 8) {
      std::uint64_t diff = load64(a + n - 8) ^ load64(b + n - 8);
      for (std::size_t i = 0; i + 8 < n; i += 8) diff |= load64(a + i) ^ load64(b + i);
      return diff == 0;
    }
    if (n >= 4) return (load32(a) ^ load32(b)) == 0 && (load32(a + n - 4) ^ load32(b + n - 4)) == 0;
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }

  static std::uint64_t hash_of(std::string_view key) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    std::uint64_t h = key.size() * kMul;
    for_each_word(key.data(), key.size(), [&](std::uint64_t w) { h = (h ^ w) * kMul; });
    return h;
  }

  std::vector<PyObject*> slots_;  // owned references or null; a power of two long
  unsigned bits_ = kInitialBits;
  std::size_t count_ = 0;         // slots in use
};

}  // namespace marlet_py

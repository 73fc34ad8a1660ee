// KeyCache: one str per distinct key of a document.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "native.hpp"
#include "py_str.hpp"

namespace marlet_native {

// Documents repeat the same few keys in every record.  The cache hands out
// the str made for an earlier occurrence of the same key bytes, which saves
// an allocation and, since a str caches its hash, the hashing in the dict.
// Equal strings either way; only their identity shows the difference.
//
// Slots are picked by a hash of the bytes; a colliding key replaces the old
// one.  Only ASCII keys are kept: their str holds exactly the key's bytes,
// so a hit is checked by comparing those bytes directly.
class KeyCache {
 public:
  KeyCache() noexcept = default;
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache() {
    for (PyObject* str : slots_) Py_XDECREF(str);
  }

  PyRef get(std::string_view key) {
    if (key.size() > kMaxLength || !is_ascii(key)) return make_str(key);
    // A key may sit in its home slot or the few after it, so two keys of a
    // document that hash alike do not keep evicting each other.
    const std::size_t home = slot_of(key);
    PyObject** free_slot = nullptr;
    for (std::size_t i = 0; i < kWays; ++i) {
      PyObject*& slot = slots_[(home + i) & kSlotMask];
      if (slot == nullptr) {
        if (free_slot == nullptr) free_slot = &slot;
      } else if (holds(slot, key)) {
        return PyRef::borrow(slot);
      }
    }
    PyObject*& slot = free_slot != nullptr ? *free_slot : slots_[home];
    PyRef str = ascii_str(key);
    PyObject* old = slot;
    slot = PyRef::borrow(str.get()).release();  // the slot's own reference
    Py_XDECREF(old);
    return str;
  }

 private:
  static constexpr unsigned kSlotBits = 8;
  static constexpr std::size_t kSlotMask = (std::size_t{1} << kSlotBits) - 1;
  static constexpr std::size_t kWays = 4;
  static constexpr std::size_t kMaxLength = 64;

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

  static std::size_t slot_of(std::string_view key) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    std::uint64_t h = key.size() * kMul;
    for_each_word(key.data(), key.size(), [&](std::uint64_t w) { h = (h ^ w) * kMul; });
    return static_cast<std::size_t>(h >> (64 - kSlotBits));
  }

  std::array<PyObject*, std::size_t{1} << kSlotBits> slots_{};  // owned references or null
};

}  // namespace marlet_native

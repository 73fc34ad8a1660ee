// parse_marl: reads .marl text straight into a list of dicts.
//
// The core's scanner (text::scan_marl) decides lines, fields and record
// ends, exactly as for every other reader; this file only supplies a sink
// that builds Python objects instead of core records, so no record is
// built twice.
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "native.hpp"
#include "py_str.hpp"
#include "text.hpp"

namespace marlet_native {
namespace {

// Documents repeat the same few keys in every record.  The cache hands out
// the str made for an earlier occurrence of the same key bytes, which saves
// an allocation and, since a str caches its hash, the hashing in the dict.
// Equal strings either way; only their identity shows the difference.
//
// Slots are picked by a hash of the bytes; a colliding key replaces the old
// one.  Only ASCII keys are kept: their str holds exactly the key's bytes,
// so a hit is checked with one memcmp.
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
    PyObject*& slot = slots_[slot_of(key)];
    if (slot != nullptr && holds(slot, key)) return PyRef::borrow(slot);
    PyRef str = ascii_str(key);
    PyObject* old = slot;
    slot = PyRef::borrow(str.get()).release();  // the slot's own reference
    Py_XDECREF(old);
    return str;
  }

 private:
  static constexpr unsigned kSlotBits = 8;
  static constexpr std::size_t kMaxLength = 64;

  static bool holds(PyObject* str, std::string_view key) noexcept {
    return PyUnicode_GET_LENGTH(str) == static_cast<Py_ssize_t>(key.size()) &&
           std::memcmp(PyUnicode_1BYTE_DATA(str), key.data(), key.size()) == 0;
  }

  static std::uint64_t load(const char* p, std::size_t n) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    return word;
  }

  // A multiplicative hash over the whole key (at most kMaxLength bytes).
  static std::size_t slot_of(std::string_view key) noexcept {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
    const char* p = key.data();
    std::size_t n = key.size();
    std::uint64_t h = n * kMul;
    for (; n >= 8; p += 8, n -= 8) h = (h ^ load(p, 8)) * kMul;
    if (n != 0) h = (h ^ load(p, n)) * kMul;
    return static_cast<std::size_t>(h >> (64 - kSlotBits));
  }

  std::array<PyObject*, std::size_t{1} << kSlotBits> slots_{};  // owned references or null
};

// Receives fields and record ends from the scanner and builds the result.
class DictListSink {
 public:
  explicit DictListSink(PyRef list) noexcept : list_(std::move(list)) {}

  void field(std::string_view key, std::string_view value) {
    if (!current_) current_ = created(PyDict_New());
    PyRef key_str = keys_.get(key);
    PyRef value_str = make_str(value);
    if (PyDict_SetItem(current_.get(), key_str.get(), value_str.get()) < 0) throw_fetched();
  }

  // The current dict is made on its first field, so an existing one is
  // never empty; the size is still read from the dict itself.
  void close() {
    if (!current_ || PyDict_GET_SIZE(current_.get()) == 0) return;
    if (PyList_Append(list_.get(), current_.get()) < 0) throw_fetched();
    current_.reset();
  }

  PyRef take() noexcept { return std::move(list_); }

 private:
  PyRef list_;
  PyRef current_;
  KeyCache keys_;
};

}  // namespace

PyRef parse_marl(PyObject* data) {
  const std::string_view text = text_argument(data, "data");
  DictListSink sink(created(PyList_New(0)));
  marlet_core::text::scan_marl(text, sink);
  return sink.take();
}

}  // namespace marlet_native

// The dicts that marlet._ext's readers build: one list of records, each a
// dict of str in document order, from what a core reader finds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "ext.hpp"
#include "py_str.hpp"

namespace marlet_ext {

// A new str from valid UTF-8; ASCII text is copied straight into the str.
inline PyRef make_str(std::string_view s) {
  if (!marlet_native::is_ascii(s))
    return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  PyRef str = checked(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
  std::memcpy(PyUnicode_1BYTE_DATA(str.get()), s.data(), s.size());
  return str;
}

// Documents repeat a few keys in every record: the str made for a short
// ASCII key is kept and handed out again, which saves the allocation and,
// since a str caches its hash, the hashing in the dict.  A colliding key
// replaces the slot's old one.
class KeyCache {
 public:
  PyRef get(std::string_view key) {
    if (key.size() > kMaxLength || !marlet_native::is_ascii(key)) return make_str(key);
    std::uint32_t h = 2166136261u;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    PyRef& slot = slots_[h & (kSlots - 1)];
    PyObject* str = slot.get();
    if (str != nullptr && PyUnicode_GET_LENGTH(str) == static_cast<Py_ssize_t>(key.size()) &&
        std::memcmp(PyUnicode_1BYTE_DATA(str), key.data(), key.size()) == 0)
      return PyRef::borrow(str);
    PyRef made = make_str(key);
    slot = PyRef::borrow(made.get());
    return made;
  }

 private:
  static constexpr std::size_t kSlots = 256;
  static constexpr std::size_t kMaxLength = 64;
  std::array<PyRef, kSlots> slots_;
};

// Builds dicts from what a reader finds; a repeated key keeps its first
// place and takes its last value, as dict assignment does.  close() ends a
// record that holds something, end_record() one even when it is empty (a
// JSON object).  Signals are answered every few thousand records.
class DictSink {
 public:
  void field(std::string_view key, std::string_view value) {
    if (!current_) current_ = checked(PyDict_New());
    PyRef k = keys_.get(key);
    PyRef v = make_str(value);
    if (PyDict_SetItem(current_.get(), k.get(), v.get()) < 0) throw PyError{};
  }
  void close() {
    if (current_) end_record();
  }
  void end_record() {
    if (!current_) current_ = checked(PyDict_New());
    if (!records_) records_ = checked(PyList_New(0));
    if (PyList_Append(records_.get(), current_.get()) < 0) throw PyError{};
    current_.reset();
    if ((++ended_ & 4095) == 0 && PyErr_CheckSignals() < 0) throw PyError{};
  }
  // The records completed so far, as a new list.
  PyRef take() {
    if (!records_) return checked(PyList_New(0));
    return std::move(records_);
  }

 private:
  PyRef current_;
  PyRef records_;
  KeyCache keys_;
  std::size_t ended_ = 0;
};

}  // namespace marlet_ext

// Result containers that no Python code ever sees half filled, and the one
// sink that builds dicts from what a reader finds.  Any allocation may run
// gc.callbacks, which can walk gc.get_objects(), so a container is kept
// from the collector while it is filled: a list made at its final length
// holds null slots until then, and a dict is handed over only once it holds
// the whole record.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "key_cache.hpp"
#include "py_errors.hpp"
#include "py_str.hpp"

namespace marlet_py {

// A new empty dict that the collector does not track.  Ours hold only str,
// which CPython's own policy would leave untracked; untracking it here
// makes that independent of the interpreter (CPython tracks it again if a
// container is ever stored in it).
template <Policy P>
PyRef new_dict() {
  PyRef dict = created<P>(PyDict_New());
  if (PyObject_GC_IsTracked(dict.get())) PyObject_GC_UnTrack(dict.get());
  return dict;
}

// A list made at its final length, kept from the collector until every
// slot holds its item: until then its null slots would crash any code that
// walks it.  If filling fails, the list is released with its null slots,
// which CPython's list deallocation allows.
template <Policy P>
class FillingList {
 public:
  explicit FillingList(std::size_t length) : list_(created<P>(PyList_New(static_cast<Py_ssize_t>(length)))) {
    PyObject_GC_UnTrack(list_.get());
  }

  void set(std::size_t i, PyRef item) noexcept {
    PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), item.release());  // steals the item
  }

  // Call once every slot is set.
  PyRef finish() noexcept {
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  PyRef list_;
};

// Receives fields and record ends from a reader (the scanner or the
// incremental reader) and builds one dict per record, fields in document
// order: a repeated key keeps its first place and takes its last value, as
// dict assignment does.  The finished dicts go to a list.  Under
// Policy::raise, a long read answers pending signals between records.
template <Policy P>
class DictSink {
 public:
  // `list` receives the records; without one, the first record makes it.
  explicit DictSink(PyRef list = PyRef()) noexcept : list_(std::move(list)) {}

  template <class Unit>
  void field(marlet_core::UnitView<Unit> key, marlet_core::UnitView<Unit> value) {
    if (!current_) current_ = new_dict<P>();
    PyRef key_str = keys_.get(key);
    PyRef value_str = make_str<P>(value);
    if (PyDict_SetItem(current_.get(), key_str.get(), value_str.get()) < 0) throw_fetched<P>();
  }

  // Ends the current record if it holds a field.
  void close() {
    if (current_ && PyDict_GET_SIZE(current_.get()) != 0) end_record();
  }

  // Ends the current record even if it is empty (a JSON object).
  void end_record() {
    if (!current_) current_ = new_dict<P>();
    if (!list_) list_ = created<P>(PyList_New(0));
    if (PyList_Append(list_.get(), current_.get()) < 0) throw_fetched<P>();
    current_.reset();
    if constexpr (P == Policy::raise)
      if ((++ended_ & 4095) == 0 && PyErr_CheckSignals() < 0) throw_fetched<P>();
  }

  // The records ended so far; the next record starts a new list.
  PyRef take() {
    if (!list_) return created<P>(PyList_New(0));
    return std::move(list_);
  }

 private:
  PyRef list_;
  PyRef current_;
  KeyCache<P> keys_;
  std::size_t ended_ = 0;
};

}  // namespace marlet_py

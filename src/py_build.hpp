// Building result containers so that no Python code ever sees one half
// filled.
//
// Any allocation may start a garbage collection, and a collection runs
// gc.callbacks, which can walk gc.get_objects().  So while a container is
// being filled it must not be tracked by the collector: a list made at its
// final length holds null slots until it is filled, and a dict is only
// handed over once it holds the whole record.
#pragma once

#include <cstddef>
#include <utility>

#include "native.hpp"

namespace marlet_native {

// A new empty dict that the collector does not track.  CPython creates
// dicts untracked and tracks one only when a value that may form a cycle
// goes in; ours hold only str, so it stays untracked.  Untracking it here
// makes that independent of the interpreter's policy: an untracked dict is
// always valid, and CPython tracks it again if a container is ever stored
// in it.
inline PyRef new_dict() {
  PyRef dict = created(PyDict_New());
  if (PyObject_GC_IsTracked(dict.get())) PyObject_GC_UnTrack(dict.get());
  return dict;
}

// A list made at its final length, kept from the collector until every
// slot holds its item: until then its null slots would crash any code that
// walks it.  If filling fails, the list is released with its null slots,
// which CPython's list deallocation allows.
class FillingList {
 public:
  explicit FillingList(std::size_t length) : list_(created(PyList_New(static_cast<Py_ssize_t>(length)))) {
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

}  // namespace marlet_native

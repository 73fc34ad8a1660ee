// PyRef: one owned (strong) reference to a Python object, move-only, so it
// is released exactly once on every path out of a scope.  release() hands
// it to a CPython call that steals it; each such call site says so.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace marlet_py {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference of its own to a borrowed one (which may be null).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

  // Gives up ownership; the caller (usually a stealing CPython call) now
  // owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

  void reset() noexcept {
    PyObject* old = std::exchange(obj_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace marlet_py

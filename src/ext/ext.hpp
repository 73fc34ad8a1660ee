// Shared declarations of marlet._ext, the package's private extension
// module: the helpers that python/marlet calls for what the core already
// knows (format rules, writers, streaming, columns).  Its functions are not
// part of the public API; the package wraps each one.
//
// Error model.  Every function body runs inside guarded(), which turns any
// C++ exception into a Python exception: std::bad_alloc becomes MemoryError,
// a PyError (an exception already set by a failed CPython call) propagates
// as is, anything else becomes RuntimeError with its message.  Nothing ever
// aborts the interpreter on bad input or exhausted memory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>

#include "py_ref.hpp"

namespace marlet_ext {

using marlet_native::PyRef;

// Thrown after a CPython call failed and left its exception set.
struct PyError {};

// The result of a CPython call that returns a new reference or null with
// an exception set.
inline PyRef checked(PyObject* obj) {
  if (obj == nullptr) throw PyError{};
  return PyRef::steal(obj);
}

// Runs an entry point's body; returns its result, or null with a Python
// exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PyError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "marlet._ext: failure without an exception");
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& failure) {
    PyErr_SetString(PyExc_RuntimeError, failure.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "marlet._ext: unknown internal failure");
    return nullptr;
  }
}

// A read-only view of a bytes-like object for the length of a call.
class BytesView {
 public:
  explicit BytesView(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) throw PyError{};
  }
  ~BytesView() { PyBuffer_Release(&view_); }
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;
  std::string_view text() const noexcept {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// Holds the GIL released for its lifetime; `with_gil` runs a step with it
// held again.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  template <class F>
  auto with_gil(F&& f) -> decltype(f()) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return f();
  }

  // Raises a pending signal's exception (KeyboardInterrupt for Ctrl-C).
  void check_signals() {
    with_gil([] {
      if (PyErr_CheckSignals() < 0) throw PyError{};
    });
  }

 private:
  PyThreadState* state_;
};

// Each concern contributes its functions to the module's table; the
// spans end without a sentinel.
std::span<const PyMethodDef> format_methods() noexcept;  // formats.cpp
std::span<const PyMethodDef> stream_methods() noexcept;  // stream.cpp
std::span<const PyMethodDef> arrow_methods() noexcept;   // arrow.cpp

}  // namespace marlet_ext

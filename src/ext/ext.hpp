// Shared declarations of marlet._ext, the package's private helpers for
// what the core already knows (format rules, writers, streaming, columns).
//
// Errors are those of py_errors.hpp under Policy::raise: bad input never
// aborts the interpreter.  Exhausted memory is a MemoryError where it
// surfaces as std::bad_alloc (the Python objects, the Arrow columns); the
// core's Buffers that the writers and the converter fill abort instead
// (errors.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>

#include "format.hpp"
#include "py_build.hpp"
#include "py_errors.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"
#include "stream.hpp"

namespace marlet_ext {

using namespace marlet_py;

inline constexpr Policy kPolicy = Policy::raise;

inline PyRef or_fetched(PyObject* obj) { return marlet_py::or_fetched<kPolicy>(obj); }
[[noreturn]] inline void throw_fetched() { marlet_py::throw_fetched<kPolicy>(); }

// Raises `type` with a message in PyErr_Format's notation.
template <class... Args>
[[noreturn]] void raise_error(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  throw_fetched();
}

// Raises an exception object that the package's Python code made.
[[noreturn]] inline void raise_object(const PyRef& error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw_fetched();
}

// Ill-formed input from the incremental reader or the converter becomes
// ValueError(message, offset, bytes) (for UTF-8, up to four bytes from
// the offset on, else empty), which the package turns into its own error.
[[noreturn]] void raise_read_error(const marlet_core::stream::ReadError& error);  // stream.cpp

// A function table entry that runs Body, a function of CPython's calling
// convention `flags`, under call_guarded.
template <auto Body>
struct Guarded;
template <class Result, class... Args, Result (*Body)(PyObject*, Args...)>
struct Guarded<Body> {
  static PyObject* call(PyObject* module, Args... args) noexcept {
    return call_guarded<kPolicy>([&] { return Body(module, args...); });
  }
};
template <auto Body>
PyMethodDef method(const char* name, int flags, const char* doc) noexcept {
  return {name, as_cfunction(&Guarded<Body>::call), flags, doc};
}

// The format named by a str argument ("marl", "marlc", "json" or
// "binary"), which must be one of `allowed`; ValueError otherwise.
inline marlet_core::Format format_argument(PyObject* name, std::initializer_list<marlet_core::Format> allowed) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  PyErr_Clear();
  const auto format = utf8 == nullptr ? std::nullopt
                                      : marlet_core::format_named(std::string_view(utf8, static_cast<std::size_t>(size)));
  if (format && std::find(allowed.begin(), allowed.end(), *format) != allowed.end()) return *format;
  raise_error(PyExc_ValueError, "unknown format %R", name);
}

// A read-only view of a bytes-like object for the length of a call.
class BytesView {
 public:
  explicit BytesView(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) throw_fetched();
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
      if (PyErr_CheckSignals() < 0) throw_fetched();
    });
  }

 private:
  PyThreadState* state_;
};

// Each concern's functions for the module's table, without a sentinel.
std::span<const PyMethodDef> format_methods() noexcept;  // formats.cpp
std::span<const PyMethodDef> stream_methods() noexcept;  // stream.cpp
std::span<const PyMethodDef> arrow_methods() noexcept;   // arrow.cpp

}  // namespace marlet_ext

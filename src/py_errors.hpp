// The failures of the extension module marlet._native, in one place.
//
// Error model.  Code below an entry point never returns null with a Python
// exception pending.  It throws instead:
//   - PythonError: an ordinary Python exception for the caller (a TypeError
//     from argument binding, a conversion error, an exception fetched from a
//     failed CPython call);
//   - Panic (or marlet_core::InternalError from the core): an internal
//     failure, raised to Python as PanicException;
//   - std::bad_alloc: exhausted memory, which ends the process with one line
//     on standard error.
// Every entry point runs its body through call_guarded, which turns each of
// these into its Python outcome, so no C++ exception ever leaves an entry
// point.
#pragma once

#include "py_ref.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace marlet_native {

// An internal failure; its message becomes the one argument of the raised
// PanicException.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A Python exception waiting to be raised.  Copies share one state (C++
// copies exception objects); all copies live on the thread that holds the
// GIL.
class PythonError {
 public:
  // An exception of `type` (a borrowed exception class) whose message is
  // already known.
  static PythonError with_message(PyObject* type, std::string message);
  // The TypeError "'{type}' object cannot be converted to '{target}'" for
  // `obj`.  It holds a reference to type(obj); the type's name is read only
  // when the text is needed.
  static PythonError conversion(PyObject* obj, const char* target);
  // An exception that exists as CPython's (type, value, traceback) triple.
  static PythonError from_triple(PyRef type, PyRef value, PyRef traceback);

  bool is_exactly(PyObject* type) const noexcept;
  // The text of str() of the exception value.
  std::string text() const;
  // The exception object's __cause__ (a new reference), or null.
  PyRef cause() const;
  // Sets this error as the current Python exception.  Call once.
  void raise() const;

 private:
  struct State;
  explicit PythonError(std::shared_ptr<State> state) noexcept;
  std::shared_ptr<State> state_;
};

// Takes the pending Python exception after a CPython call failed and throws
// it as a PythonError (a SystemError if none is pending).  A PanicException
// that Python code passed back to us is printed and continues as a Panic.
[[noreturn]] void throw_fetched();

// For calls that create an object and are not expected to fail: prints the
// pending exception and throws Panic "Python API call failed".
[[noreturn]] void throw_api_failure();

// For calls not expected to fail whose failure is internal: throws Panic
// "{prefix}: {description of the pending exception}".
[[noreturn]] void throw_with_pending(std::string_view prefix);

// A new reference, or Panic "Python API call failed" for null.
inline PyRef created(PyObject* obj) {
  if (obj == nullptr) throw_api_failure();
  return PyRef::steal(obj);
}

// A new reference, or the fetched error for null.
inline PyRef or_fetched(PyObject* obj) {
  if (obj == nullptr) throw_fetched();
  return PyRef::steal(obj);
}

// ---------------------------------------------------------------------------
// Texts of objects for messages

// The text of str(obj) for a message.  Lone surrogates become U+FFFD; if
// str() fails the failure is reported as unraisable and a placeholder is
// used.
std::string text_of(PyObject* obj);

// Like text_of with repr().
std::string repr_of(PyObject* obj);

// ---------------------------------------------------------------------------
// The boundary

// Gives CPython the outcome of the exception being handled; call only from
// a handler.  A PythonError is set as the current exception, any other
// failure raises PanicException, exhausted memory aborts.  Returns null.
PyObject* fail_to_python() noexcept;

// Runs an entry point's body and hands its outcome to CPython: the body's
// new reference, or null with the Python exception set.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    return fail_to_python();
  }
}

}  // namespace marlet_native

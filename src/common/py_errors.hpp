// The failures of both extension modules, in one vocabulary.  Code below an
// entry point throws rather than return null with an exception pending: a
// PythonError is an ordinary Python exception for the caller; any other
// exception (Panic, the core's InternalError, std::bad_alloc) is an internal
// failure, whose outcome the module's Policy decides.  call_guarded, around
// every entry point, keeps every C++ exception inside.
#pragma once

#include "py_ref.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace marlet_py {

// How a module treats its internal failures, exhausted memory included.
enum class Policy : unsigned char {
  // marlet._native: a failed object creation is an internal failure, raised
  // as PanicException like every other; std::bad_alloc ends the process.
  panic,
  // marlet._ext: a failed object creation passes on CPython's MemoryError,
  // std::bad_alloc raises MemoryError and other internal failures
  // RuntimeError; nothing aborts the interpreter.
  raise,
};

// An internal failure; its message becomes PanicException's argument.
class Panic : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A Python exception waiting to be raised.  Copies share one state (C++
// copies exception objects); all copies live on the thread that holds the
// GIL.
class PythonError {
 public:
  // An exception of `type` (borrowed) with a known message.
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
// it as a PythonError (a SystemError if none is pending).  Under
// Policy::panic a PanicException that Python code passed back to us is
// printed and continues as a Panic.
template <Policy P>
[[noreturn]] void throw_fetched();

// For calls that create an object and are not expected to fail: prints the
// pending exception and throws Panic "Python API call failed".
[[noreturn]] void throw_api_failure();

// The pending exception, normalized and taken out of the interpreter.
struct Fetched {
  PyRef type, value, traceback;
};
Fetched fetch_normalized() noexcept;

// For calls not expected to fail whose failure is internal: throws Panic
// "{prefix}: {description of the pending exception}".
[[noreturn]] void throw_with_pending(std::string_view prefix);

// A new reference from a call that creates an object and fails only when
// memory runs out; for null, Panic "Python API call failed" under
// Policy::panic, the fetched MemoryError under Policy::raise.
template <Policy P>
PyRef created(PyObject* obj) {
  if (obj == nullptr) {
    if constexpr (P == Policy::panic)
      throw_api_failure();
    else
      throw_fetched<P>();
  }
  return PyRef::steal(obj);
}

// A new reference, or the fetched error for null.
template <Policy P>
PyRef or_fetched(PyObject* obj) {
  if (obj == nullptr) throw_fetched<P>();
  return PyRef::steal(obj);
}

// The interned str `text`, made once and kept in `slot` for the process.
PyObject* interned(PyObject*& slot, const char* text);

// The text of str(obj) for a message.  Lone surrogates become U+FFFD; if
// str() fails the failure is reported as unraisable and a placeholder is
// used.
std::string text_of(PyObject* obj);

// Like text_of with repr().
std::string repr_of(PyObject* obj);

// Gives CPython the outcome of the exception being handled; call only from
// a handler.  A PythonError is set as the current exception; any other
// failure is raised or ends the process as the Policy says.  Returns null.
template <Policy P>
PyObject* fail_to_python() noexcept;

// A function of any calling convention as a function table stores it;
// CPython calls it with the signature that the table's flags announce.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Runs an entry point's body and hands its outcome to CPython: the body's
// new reference (a PyRef, or a PyObject* that is null only with an
// exception set), or null with the Python exception set.
template <Policy P, class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    if constexpr (std::is_same_v<decltype(body()), PyRef>)
      return body().release();
    else
      return body();
  } catch (...) {
    return fail_to_python<P>();
  }
}

}  // namespace marlet_py

// Shared declarations of the extension module marlet._native.
//
// Error model.  Code below an entry point never returns null with a Python
// exception pending.  It throws instead:
//   - PythonError: an ordinary Python exception for the caller (a TypeError
//     from argument binding, a conversion error, an exception fetched from a
//     failed CPython call);
//   - Panic (or marlet_core::InternalError from the core): an internal
//     failure, raised to Python as PanicException.
// The one call wrapper in module.cpp catches both and sets the Python
// exception, so no C++ exception ever leaves an entry point.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace marlet_native {

// ---------------------------------------------------------------------------
// Failures

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
// Names made once per process (interned str objects)

PyObject* name_all();       // "__all__"
PyObject* name_name();      // "__name__"
PyObject* name_qualname();  // "__qualname__"

// ---------------------------------------------------------------------------
// Arguments

// How a function's arguments bind to its parameters.
struct FunctionDescription {
  const char* class_name;                    // null for module functions
  const char* name;
  std::span<const char* const> positional;   // parameter names, in order
  std::size_t positional_only;               // leading names not usable as keywords
  std::size_t required;                      // leading names that must be given
};

// Fills slots[i] with a borrowed reference for every given parameter (null
// for those not given), or throws the binding TypeError.
void bind_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// The error to raise for `error`, raised while converting the argument of
// parameter `name`: an exact TypeError gains the "argument '{name}': "
// prefix; anything else passes unchanged.
PythonError argument_extraction_error(const char* name, const PythonError& error);

// The UTF-8 form of a str (or subclass), valid while `obj` lives; throws the
// "PyString" conversion error or the UnicodeEncodeError of lone surrogates.
std::string_view extract_text(PyObject* obj);

// extract_text with its errors wrapped for parameter `name`.
std::string_view text_argument(PyObject* obj, const char* name);

// The text of str(obj) for a message.  Lone surrogates become U+FFFD; if
// str() fails the failure is reported as unraisable and a placeholder is
// used.
std::string text_of(PyObject* obj);

// Like text_of with repr().
std::string repr_of(PyObject* obj);

// ---------------------------------------------------------------------------
// Function bodies; each takes its one bound argument.

PyRef parse_marl(PyObject* data);
PyRef parse_marl_via_hashmap(PyObject* data);
PyRef parse_marl_compact(PyObject* data);
PyRef write_marl_compact(PyObject* records);

}  // namespace marlet_native

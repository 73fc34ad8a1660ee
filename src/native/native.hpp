// Shared declarations of marlet._native, whose failures are those of
// py_errors.hpp under Policy::panic.
#pragma once

#include "key_cache.hpp"
#include "py_build.hpp"
#include "py_errors.hpp"
#include "py_ref.hpp"
#include "py_str.hpp"

#include <string_view>

namespace marlet_native {

using namespace marlet_py;

inline constexpr Policy kPolicy = Policy::panic;

inline PyRef created(PyObject* obj) { return marlet_py::created<kPolicy>(obj); }
inline PyRef or_fetched(PyObject* obj) { return marlet_py::or_fetched<kPolicy>(obj); }
[[noreturn]] inline void throw_fetched() { marlet_py::throw_fetched<kPolicy>(); }

// A function of the module: its name and its one parameter.
struct FunctionDescription {
  const char* name;
  const char* parameter;
};

// The argument (borrowed) given for the parameter, by position or by
// keyword, or throws the binding TypeError.
PyObject* bind_argument(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// The error to raise for `error`, raised while converting the argument of
// parameter `name`: an exact TypeError gains the "argument '{name}': "
// prefix; anything else passes unchanged.
PythonError argument_extraction_error(const char* name, const PythonError& error);

// The UTF-8 form of a str (or subclass), valid while `obj` lives; throws the
// "PyString" conversion error or the UnicodeEncodeError of lone surrogates.
std::string_view extract_text(PyObject* obj);

// extract_text with its errors wrapped for parameter `name`.
std::string_view text_argument(PyObject* obj, const char* name);

// The function bodies; each takes its one bound argument.

PyRef parse_marl(PyObject* data);
PyRef parse_marl_via_hashmap(PyObject* data);
PyRef parse_marl_compact(PyObject* data);
PyRef write_marl_compact(PyObject* records);

}  // namespace marlet_native

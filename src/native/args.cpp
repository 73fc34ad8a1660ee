// Binding a call's arguments to its parameters, and reading text arguments.
#include <string>
#include <utility>

#include "messages.hpp"
#include "native.hpp"

namespace marlet_native {

// ---------------------------------------------------------------------------
// Argument binding

namespace {

[[noreturn]] void binding_error(std::string message) {
  throw PythonError::with_message(PyExc_TypeError, std::move(message));
}

}  // namespace

PyObject* bind_argument(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  // The name as messages show it; made only for an error.
  const auto form = [&] { return std::string(function.name) + "()"; };
  const auto given = static_cast<std::size_t>(nargs);
  if (given > 1) binding_error(messages::too_many_positional(form(), 1, given));
  PyObject* argument = given == 1 ? args[0] : nullptr;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) PyErr_Clear();
    if (utf8 == nullptr || std::string_view(utf8, static_cast<std::size_t>(size)) != function.parameter)
      binding_error(messages::unexpected_keyword(form(), text_of(keyword)));
    if (argument != nullptr) binding_error(messages::multiple_values(form(), function.parameter));
    argument = args[nargs + k];
  }
  if (argument == nullptr) binding_error(messages::missing_positional(form(), function.parameter));
  return argument;
}

// ---------------------------------------------------------------------------
// Conversions of arguments

PythonError argument_extraction_error(const char* name, const PythonError& error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  const std::string message = messages::in_argument(name, error.text());
  PyRef cause = error.cause();
  PyRef text = created(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  PyRef wrapped = or_fetched(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  // Steals the cause; a null cause leaves __cause__ None.  Either way
  // CPython sets __suppress_context__.
  PyException_SetCause(wrapped.get(), cause.release());
  return PythonError::from_triple(PyRef::borrow(PyExc_TypeError), std::move(wrapped), PyRef());
}

std::string_view extract_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw PythonError::conversion(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw_fetched();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::string_view text_argument(PyObject* obj, const char* name) {
  try {
    return extract_text(obj);
  } catch (const PythonError& error) {
    throw argument_extraction_error(name, error);
  }
}

}  // namespace marlet_native

// Binding a call's arguments to its parameters, and reading text arguments.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "messages.hpp"
#include "native.hpp"

namespace marlet_native {

// ---------------------------------------------------------------------------
// Argument binding

namespace {

std::string message_form(const FunctionDescription& function) {
  std::string form;
  if (function.class_name != nullptr) {
    form += function.class_name;
    form += '.';
  }
  form += function.name;
  form += "()";
  return form;
}

[[noreturn]] void binding_error(std::string message) {
  throw PythonError::with_message(PyExc_TypeError, std::move(message));
}

constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

std::size_t keyword_slot(const FunctionDescription& function, std::string_view name) noexcept {
  for (std::size_t i = function.positional_only; i < function.positional.size(); ++i)
    if (name == function.positional[i]) return i;
  return kNoMatch;
}

}  // namespace

void bind_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t params = function.positional.size();
  const auto given = static_cast<std::size_t>(nargs);
  std::fill(slots.begin(), slots.end(), nullptr);
  std::copy_n(args, std::min(given, params), slots.begin());
  if (given > params) binding_error(messages::too_many_positional(message_form(function), params, given));

  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        binding_error(messages::unexpected_keyword(message_form(function), text_of(keyword)));
      }
      const std::string_view name(utf8, static_cast<std::size_t>(size));
      const std::size_t slot = keyword_slot(function, name);
      if (slot == kNoMatch) binding_error(messages::unexpected_keyword(message_form(function), text_of(keyword)));
      if (slots[slot] != nullptr) binding_error(messages::multiple_values(message_form(function), name));
      slots[slot] = args[nargs + k];
    }
  }

  if (given < function.required) {
    std::array<std::string_view, 8> missing{};
    std::size_t count = 0;
    for (std::size_t i = given; i < function.required && count < missing.size(); ++i)
      if (slots[i] == nullptr) missing[count++] = function.positional[i];
    if (count != 0)
      binding_error(messages::missing_positional(message_form(function), std::span(missing.data(), count)));
  }
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

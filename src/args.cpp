// Argument binding, text extraction and the texts of argument errors.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "messages.hpp"
#include "native.hpp"

namespace marlet_native {

// ---------------------------------------------------------------------------
// Text of an object

namespace {

// The UTF-8 text of a str.  A str holding lone surrogates has no UTF-8
// form: its surrogates are encoded anyway ("surrogatepass") and the result
// decoded leniently, so each invalid sequence becomes U+FFFD.
std::string utf8_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  PyRef fixed = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = fixed ? PyUnicode_AsUTF8AndSize(fixed.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// render(obj) as text, or nullopt with the Python error pending.
std::optional<std::string> rendered(PyObject* obj, PyObject* (*render)(PyObject*)) {
  PyRef str = PyRef::steal(render(obj));
  if (!str) return std::nullopt;
  return utf8_lossy(str.get());
}

// The __qualname__ of a type, or nullopt (no error pending).
std::optional<std::string> qualified_name(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttr(type, name_qualname()));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string text_or_placeholder(PyObject* obj, PyObject* (*render)(PyObject*)) {
  if (obj == nullptr) obj = Py_None;
  if (std::optional<std::string> text = rendered(obj, render)) return *std::move(text);
  // The caller wants text for a message, not an exception: report this one
  // out of band.
  PyErr_WriteUnraisable(obj);
  if (std::optional<std::string> type = qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(obj))))
    return messages::unprintable(*type);
  return std::string(messages::kUnprintableObject);
}

}  // namespace

std::string text_of(PyObject* obj) { return text_or_placeholder(obj, PyObject_Str); }

std::string repr_of(PyObject* obj) { return text_or_placeholder(obj, PyObject_Repr); }

// ---------------------------------------------------------------------------
// PythonError

struct PythonError::State {
  enum class Kind { message, conversion, triple };
  Kind kind;
  PyRef type;       // the exception class; for a conversion error, type(obj)
  PyRef value;      // triple only
  PyRef traceback;  // triple only
  std::string message;
  const char* target = nullptr;  // conversion only

  // Turns a lazily created triple into an exception instance.
  void normalize() {
    if (kind != Kind::triple || !type) return;
    PyObject* t = type.release();
    PyObject* v = value.release();
    PyObject* tb = traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type = PyRef::steal(t);
    value = PyRef::steal(v);
    traceback = PyRef::steal(tb);
  }

  std::string conversion_text() const {
    std::optional<std::string> name = qualified_name(type.get());
    return messages::cannot_convert(name ? *name : messages::kFailedTypeName, target);
  }
};

PythonError::PythonError(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

PythonError PythonError::with_message(PyObject* type, std::string message) {
  auto state = std::make_shared<State>();
  state->kind = State::Kind::message;
  state->type = PyRef::borrow(type);
  state->message = std::move(message);
  return PythonError(std::move(state));
}

PythonError PythonError::conversion(PyObject* obj, const char* target) {
  auto state = std::make_shared<State>();
  state->kind = State::Kind::conversion;
  state->type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  state->target = target;
  return PythonError(std::move(state));
}

PythonError PythonError::from_triple(PyRef type, PyRef value, PyRef traceback) {
  auto state = std::make_shared<State>();
  state->kind = State::Kind::triple;
  state->type = std::move(type);
  state->value = std::move(value);
  state->traceback = std::move(traceback);
  return PythonError(std::move(state));
}

bool PythonError::is_exactly(PyObject* type) const noexcept {
  if (state_->kind == State::Kind::conversion) return type == PyExc_TypeError;
  return state_->type.get() == type;
}

std::string PythonError::text() const {
  switch (state_->kind) {
    case State::Kind::message:
      return state_->message;
    case State::Kind::conversion:
      return state_->conversion_text();
    case State::Kind::triple:
      break;
  }
  state_->normalize();
  return text_of(state_->value.get());
}

PyRef PythonError::cause() const {
  if (state_->kind != State::Kind::triple) return PyRef();
  state_->normalize();
  PyObject* value = state_->value.get();
  if (value == nullptr || !PyExceptionInstance_Check(value)) return PyRef();
  return PyRef::steal(PyException_GetCause(value));
}

void PythonError::raise() const {
  State& s = *state_;
  if (s.kind == State::Kind::triple) {
    // PyErr_Restore steals all three references.
    PyErr_Restore(s.type.release(), s.value.release(), s.traceback.release());
    return;
  }
  const std::string text = s.kind == State::Kind::message ? s.message : s.conversion_text();
  PyRef message = created(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyObject* type = s.kind == State::Kind::message ? s.type.get() : PyExc_TypeError;
  PyErr_SetObject(type, message.get());
}

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

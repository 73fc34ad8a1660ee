// The failures of both extension modules: PythonError, the rules for failed
// CPython calls and internal failures, PanicException, and the boundary
// that turns any C++ failure into the Python outcome under each Policy.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "py_errors.hpp"

#include "memory.hpp"  // marlet_core::fatal
#include "messages.hpp"

namespace marlet_py {
namespace {

[[noreturn]] void die(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fflush(stderr);
  std::abort();
}

// Keeps `made` in `slot` for the process, unless building it ran Python
// code that filled the slot first.  Touched only with the GIL held.
PyObject* keep(PyObject*& slot, PyObject* made) noexcept {
  if (slot == nullptr)
    slot = made;
  else
    Py_DECREF(made);
  return slot;
}

// ---------------------------------------------------------------------------
// Text of an object

// The UTF-8 text of a str, or nullopt (no error pending).
std::optional<std::string> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = str == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// The UTF-8 text of a str.  A str holding lone surrogates has no UTF-8
// form: its surrogates are encoded anyway ("surrogatepass") and the result
// decoded leniently, so each invalid sequence becomes U+FFFD.
std::string utf8_lossy(PyObject* str) {
  if (std::optional<std::string> text = utf8_of(str)) return *std::move(text);
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  PyRef fixed = PyRef::steal(
      bytes ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace") : nullptr);
  return utf8_of(fixed.get()).value_or(std::string());
}

// The __qualname__ of a type, or nullopt (no error pending).
std::optional<std::string> qualified_name(PyObject* type) {
  static PyObject* name = nullptr;
  return utf8_of(PyRef::steal(PyObject_GetAttr(type, interned(name, "__qualname__"))).get());
}

std::string text_or_placeholder(PyObject* obj, PyObject* (*render)(PyObject*)) {
  if (obj == nullptr) obj = Py_None;
  if (PyRef text = PyRef::steal(render(obj))) return utf8_lossy(text.get());
  // The caller wants text for a message, not an exception: report this one
  // out of band.
  PyErr_WriteUnraisable(obj);
  if (std::optional<std::string> type = qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(obj))))
    return messages::unprintable(*type);
  return std::string(messages::kUnprintableObject);
}

// ---------------------------------------------------------------------------
// PanicException

// Created on first use and kept for the process.
PyObject* g_panic_type = nullptr;

PyObject* panic_type() noexcept {
  if (g_panic_type != nullptr) return g_panic_type;
  PyObject* type = PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc, PyExc_BaseException, nullptr);
  if (type == nullptr) die(messages::kPanicTypeFailed);
  return keep(g_panic_type, type);
}

// Raises PanicException(message).  Nothing can be reported if that fails.
void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_type();
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyRef args = text ? PyRef::steal(PyTuple_Pack(1, text.get())) : PyRef();
  if (!args) die(messages::kUncaughtPanic);
  PyErr_SetObject(type, args.get());
}

// A PanicException raised by this module came back through Python code that
// the module called.  It is not an ordinary error: print it, then go on as
// an internal failure with the same message.
[[noreturn]] void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef kept = PyRef::borrow(value);
  std::fputs(messages::kResumingPanic, stderr);
  std::fflush(stderr);
  PyErr_Restore(type, value, traceback);  // steals all three
  PyErr_PrintEx(0);
  PyRef text = PyRef::steal(kept ? PyObject_Str(kept.get()) : nullptr);
  throw Panic(utf8_of(text.get()).value_or(std::string(messages::kUnwrappedPanic)));
}

}  // namespace

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot != nullptr) return slot;
  PyObject* name = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
  if (name == nullptr) throw_api_failure();
  PyUnicode_InternInPlace(&name);
  return keep(slot, name);
}

std::string text_of(PyObject* obj) { return text_or_placeholder(obj, PyObject_Str); }

std::string repr_of(PyObject* obj) { return text_or_placeholder(obj, PyObject_Repr); }

// ---------------------------------------------------------------------------
// PythonError

struct PythonError::State {
  enum class Kind { message, conversion, triple };
  Kind kind;
  PyRef type;         // the exception class; for a conversion error, type(obj)
  PyRef value{};      // triple only
  PyRef traceback{};  // triple only
  std::string message{};
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
  return PythonError(std::make_shared<State>(
      State{.kind = State::Kind::message, .type = PyRef::borrow(type), .message = std::move(message)}));
}

PythonError PythonError::conversion(PyObject* obj, const char* target) {
  return PythonError(std::make_shared<State>(State{
      .kind = State::Kind::conversion, .type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj))), .target = target}));
}

PythonError PythonError::from_triple(PyRef type, PyRef value, PyRef traceback) {
  return PythonError(std::make_shared<State>(State{
      .kind = State::Kind::triple, .type = std::move(type), .value = std::move(value), .traceback = std::move(traceback)}));
}

bool PythonError::is_exactly(PyObject* type) const noexcept {
  if (state_->kind == State::Kind::conversion) return type == PyExc_TypeError;
  return state_->type.get() == type;
}

std::string PythonError::text() const {
  if (state_->kind == State::Kind::message) return state_->message;
  if (state_->kind == State::Kind::conversion) return state_->conversion_text();
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
  PyRef message = created<Policy::panic>(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  PyObject* type = s.kind == State::Kind::message ? s.type.get() : PyExc_TypeError;
  PyErr_SetObject(type, message.get());
}

// ---------------------------------------------------------------------------
// Failed CPython calls

template <Policy P>
void throw_fetched() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw PythonError::with_message(PyExc_SystemError, std::string(messages::kNoExceptionSet));
  }
  if constexpr (P == Policy::panic)
    if (type == panic_type()) resume_panic(type, value, traceback);
  throw PythonError::from_triple(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

template void throw_fetched<Policy::panic>();
template void throw_fetched<Policy::raise>();

void throw_api_failure() {
  PyErr_Print();
  throw Panic(std::string(messages::kApiCallFailed));
}

Fetched fetch_normalized() noexcept {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void throw_with_pending(std::string_view prefix) {
  const Fetched e = fetch_normalized();
  throw Panic(messages::with_pending(prefix, repr_of(e.type.get()), repr_of(e.value.get()), repr_of(e.traceback.get())));
}

// ---------------------------------------------------------------------------
// The boundary

template <Policy P>
PyObject* fail_to_python() noexcept {
  try {
    throw;
  } catch (const PythonError& error) {
    try {
      error.raise();
    } catch (...) {
      if constexpr (P == Policy::panic) die(messages::kUncaughtPanic);
      if (!PyErr_Occurred()) PyErr_NoMemory();  // raising it failed: it could not be made
    }
  } catch (const std::bad_alloc&) {
    if constexpr (P == Policy::panic) marlet_core::fatal("out of memory");
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    if constexpr (P == Policy::panic)
      raise_panic(failure.what());
    else
      PyErr_SetString(PyExc_RuntimeError, failure.what());
  } catch (...) {
    if constexpr (P == Policy::panic)
      raise_panic("unknown internal failure");
    else
      PyErr_SetString(PyExc_RuntimeError, "unknown internal failure");
  }
  return nullptr;
}

template PyObject* fail_to_python<Policy::panic>() noexcept;
template PyObject* fail_to_python<Policy::raise>() noexcept;

}  // namespace marlet_py

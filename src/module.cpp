// The module marlet._native: initialisation, the function table, the call
// wrapper, and the rules for failed CPython calls and internal failures.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "memory.hpp"
#include "messages.hpp"
#include "native.hpp"

namespace marlet_native {
namespace {

// ---------------------------------------------------------------------------
// Process-wide values.  Apart from the interpreter id they are only touched
// with the GIL held; each is built first and stored only if its slot is
// still empty, since building may run Python code that got there first.

// The interpreter that first initialised the module; -1 before that.
std::atomic<std::int64_t> g_interpreter{-1};
// The module object; one strong reference kept for the process.
PyObject* g_module = nullptr;
// PanicException; created on first use, kept for the process.
PyObject* g_panic_type = nullptr;

PyObject* g_name_all = nullptr;
PyObject* g_name_name = nullptr;
PyObject* g_name_qualname = nullptr;

[[noreturn]] void die(const char* message) noexcept {
  std::fputs(message, stderr);
  std::fflush(stderr);
  std::abort();
}

PyObject* interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    PyObject* name = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
    if (name == nullptr) throw_api_failure();
    PyUnicode_InternInPlace(&name);
    if (slot == nullptr)
      slot = name;  // the slot keeps this reference for the process
    else
      Py_DECREF(name);
  }
  return slot;
}

PyObject* panic_type() noexcept {
  if (g_panic_type == nullptr) {
    PyObject* type = PyErr_NewExceptionWithDoc(messages::kPanicName, messages::kPanicDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) die(messages::kPanicTypeFailed);
    if (g_panic_type == nullptr)
      g_panic_type = type;
    else
      Py_DECREF(type);
  }
  return g_panic_type;
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
  std::string message(messages::kUnwrappedPanic);
  if (kept) {
    if (PyRef text = PyRef::steal(PyObject_Str(kept.get()))) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size))
        message.assign(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
  }
  throw Panic(message);
}

// ---------------------------------------------------------------------------
// The call wrapper

[[noreturn]] void uncaught() noexcept { die(messages::kUncaughtPanic); }

// Runs an entry point's body and hands its outcome to CPython: the body's
// new reference, or null with the Python exception set.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonError& error) {
    try {
      error.raise();
    } catch (...) {
      uncaught();
    }
  } catch (const std::bad_alloc&) {
    marlet_core::fatal("out of memory");
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The function table

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

constexpr const char* kDataParameter[] = {"data"};
constexpr const char* kRecordsParameter[] = {"records"};

constexpr FunctionDescription kParseMarl{nullptr, "parse_marl", kDataParameter, 0, 1};
constexpr FunctionDescription kParseMarlViaHashmap{nullptr, "parse_marl_via_hashmap", kDataParameter, 0, 1};
constexpr FunctionDescription kParseMarlCompact{nullptr, "parse_marl_compact", kDataParameter, 0, 1};
constexpr FunctionDescription kWriteMarlCompact{nullptr, "write_marl_compact", kRecordsParameter, 0, 1};

template <const FunctionDescription& Function, PyRef (*Body)(PyObject*)>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_guarded([&] {
    PyObject* argument = nullptr;  // borrowed from the caller's vector
    bind_arguments(Function, args, nargs, kwnames, std::span(&argument, 1));
    return Body(argument);
  });
}

PyCFunction as_cfunction(FastCall f) noexcept {
  // CPython stores every entry as PyCFunction and calls it with the
  // signature that the flags announce.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastCallKeywords = METH_FASTCALL | METH_KEYWORDS;

// Static storage: the function objects refer to these for their lifetime.
PyMethodDef g_functions[] = {
    {"parse_marl", as_cfunction(entry<kParseMarl, parse_marl>), kFastCallKeywords,
     "parse_marl(data)\n--\n\n"
     "Parse Marlet-formatted text into a list of records (dict[str, str]).\n\n"
     "The dict and list objects are built while the text is scanned, instead of\n"
     "building core records first and converting them; this measured about twice\n"
     "as fast on a 1000-record input.  It repeats the core reader's algorithm (the\n"
     "same line and field scanner drives it) and must keep exactly the semantics of\n"
     "every other binding."},
    {"parse_marl_via_hashmap", as_cfunction(entry<kParseMarlViaHashmap, parse_marl_via_hashmap>), kFastCallKeywords,
     "parse_marl_via_hashmap(data)\n--\n\n"
     "Parse Marlet-formatted text into the core's records through marlet_core (the\n"
     "reader shared with every other binding), then let a generic conversion build\n"
     "the Python list and dict objects in a second pass.\n\n"
     "It exists so that it can be measured head to head against parse_marl."},
    {"parse_marl_compact", as_cfunction(entry<kParseMarlCompact, parse_marl_compact>), kFastCallKeywords,
     "parse_marl_compact(data)\n--\n\n"
     "Parse `.marlc` (compact Marlet) text into a list of records\n(dict[str, str]).\n\n"
     "A thin wrapper over the core's compact reader; there is no direct-building\n"
     "path."},
    {"write_marl_compact", as_cfunction(entry<kWriteMarlCompact, write_marl_compact>), kFastCallKeywords,
     "write_marl_compact(records)\n--\n\n"
     "Serialize a list of records (dict[str, str]) into `.marlc` text.\n\n"
     "A thin wrapper over the core's compact writer.  Fields come out in the core\n"
     "record's own order, not in the dict's."},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc: __doc__ is the empty str
    0,          // m_size
    nullptr,    // m_methods: added by the initialiser
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// The module's __all__, created as an empty list if it is missing.
PyRef module_all(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, name_all()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
    PyErr_Clear();
    all = created(PyList_New(0));
    if (PyObject_SetAttr(module, name_all(), all.get()) < 0) throw_fetched();
  }
  if (!PyList_Check(all.get())) throw PythonError::conversion(all.get(), "PyList");
  return all;
}

void add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name = or_fetched(PyModule_GetNameObject(module));
  PyRef function = or_fetched(PyCMethod_New(definition, module, module_name.get(), nullptr));
  module_name.reset();
  PyRef name = or_fetched(PyObject_GetAttr(function.get(), name_name()));
  if (!PyUnicode_Check(name.get())) throw PythonError::conversion(name.get(), "PyString");
  PyRef all = module_all(module);
  if (PyList_Append(all.get(), name.get()) < 0) throw_with_pending(messages::kAppendToAll);
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_fetched();
}

PyRef initialise() {
  PyInterpreterState* const current = PyInterpreterState_Get();
  const std::int64_t interpreter = PyInterpreterState_GetID(current);
  if (interpreter == -1) throw_fetched();
  // The module and the objects kept for the process belong to the main
  // interpreter, which can therefore always import it.  Another interpreter
  // is refused before anything is created or claimed: CPython may call this
  // initialiser in an isolated interpreter and only then refuse the module
  // there, so a claim made here by another interpreter could lock the main
  // one out for the life of the process although the module was never
  // usable anywhere.
  if (current != PyInterpreterState_Main())
    throw PythonError::with_message(PyExc_ImportError, std::string(messages::kSubinterpreter));
  std::int64_t first = -1;
  if (!g_interpreter.compare_exchange_strong(first, interpreter, std::memory_order_seq_cst) && first != interpreter)
    throw PythonError::with_message(PyExc_ImportError, std::string(messages::kSubinterpreter));

  // A second import in the same interpreter gets the same module back.
  if (g_module != nullptr) return PyRef::borrow(g_module);

  PyRef module = or_fetched(PyModule_Create2(&g_definition, 1013));  // 1013: the C API of CPython 3.9
  for (PyMethodDef& definition : g_functions) add_function(module.get(), &definition);
  if (g_module != nullptr) return PyRef::borrow(g_module);
  g_module = PyRef::borrow(module.get()).release();  // the process keeps this reference
  return module;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers (declared in native.hpp)

PyObject* name_all() { return interned(g_name_all, "__all__"); }
PyObject* name_name() { return interned(g_name_name, "__name__"); }
PyObject* name_qualname() { return interned(g_name_qualname, "__qualname__"); }

void throw_fetched() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* panic = panic_type();
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw PythonError::with_message(PyExc_SystemError, std::string(messages::kNoExceptionSet));
  }
  if (type == panic) resume_panic(type, value, traceback);
  throw PythonError::from_triple(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

void throw_api_failure() {
  PyErr_Print();
  throw Panic(std::string(messages::kApiCallFailed));
}

void throw_with_pending(std::string_view prefix) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const PyRef owned_type = PyRef::steal(type);
  const PyRef owned_value = PyRef::steal(value);
  const PyRef owned_traceback = PyRef::steal(traceback);
  throw Panic(messages::with_pending(prefix, repr_of(type), repr_of(value), repr_of(traceback)));
}

}  // namespace marlet_native

PyMODINIT_FUNC PyInit__native(void) {
  return marlet_native::call_guarded(marlet_native::initialise);
}

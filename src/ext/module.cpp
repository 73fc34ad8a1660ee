// The module marlet._ext.  It keeps no state, but belongs to the main
// interpreter alone like marlet._native, without which the package cannot
// work; refusing before anything is made leaves nothing behind.
#include <vector>

#include "ext.hpp"

namespace marlet_ext {
namespace {

int exec_module(PyObject* module) noexcept {
  return call_guarded<kPolicy>([&]() -> PyObject* {
           // The table lives for the process: CPython keeps pointers into it.
           static const std::vector<PyMethodDef> table = [] {
             std::vector<PyMethodDef> all;
             for (auto part : {format_methods(), stream_methods(), arrow_methods()})
               all.insert(all.end(), part.begin(), part.end());
             all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
             return all;
           }();
           if (PyModule_AddFunctions(module, const_cast<PyMethodDef*>(table.data())) < 0) throw_fetched();
           return module;
         }) == nullptr
             ? -1
             : 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "marlet._ext",
    "Private helpers of the marlet package; use the functions of marlet instead.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace marlet_ext

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__ext() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "marlet._ext does not support subinterpreters: only the main interpreter may import it");
    return nullptr;
  }
  return PyModuleDef_Init(&marlet_ext::g_definition);
}

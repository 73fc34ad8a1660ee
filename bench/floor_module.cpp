// A benchmark-only module, _marlet_floor: the cost of building the objects
// that parse_marl returns, without reading any text.
//
// prepare(text) finds the fields and record ends once, with the same
// scanner the readers use, on the same form of the text (UTF-8, or a
// non-ASCII str's own code units), and keeps them as offsets;
// build(prepared) then makes exactly the str, dict and list objects of
// parse_marl from those views, with the same helpers.  The time of build
// is the floor that a reader producing these objects cannot go below.
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "key_cache.hpp"
#include "native.hpp"
#include "py_build.hpp"
#include "py_str.hpp"
#include "str_text.hpp"
#include "text.hpp"

namespace marlet_native {
std::string_view text_argument(PyObject* obj, const char*) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw_fetched();
  return {utf8, static_cast<std::size_t>(size)};
}
}  // namespace marlet_native

namespace {

using marlet_native::PyRef;

struct Views {
  struct Item {
    std::size_t key, key_size, value, value_size;  // value == npos: the record closes here
  };
  static constexpr std::size_t kClose = ~std::size_t{0};
  std::string text;  // a copy of the scanned units
  std::size_t unit_size = 1;  // 1 with utf8 set: UTF-8
  bool utf8 = true;
  std::vector<Item> items;
};

template <class Unit>
struct ViewSink {
  Views& views;
  const Unit* base;
  void field(marlet_core::UnitView<Unit> key, marlet_core::UnitView<Unit> value) {
    views.items.push_back({static_cast<std::size_t>(key.data() - base), key.size(),
                           static_cast<std::size_t>(value.data() - base), value.size()});
  }
  void close() { views.items.push_back({0, 0, Views::kClose, 0}); }
};

constexpr const char* kCapsule = "marlet_floor.views";

void free_views(PyObject* capsule) { delete static_cast<Views*>(PyCapsule_GetPointer(capsule, kCapsule)); }

PyObject* prepare(PyObject*, PyObject* arg) {
  auto* views = new Views{};
  try {
    marlet_native::with_str_text(arg, [&](auto text) {
      using Unit = typename decltype(text)::value_type;
      views->text.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(Unit));
      views->unit_size = sizeof(Unit);
      views->utf8 = std::is_same_v<Unit, char>;
      const auto* base = reinterpret_cast<const Unit*>(views->text.data());
      ViewSink<Unit> sink{*views, base};
      marlet_core::text::scan_marl(marlet_core::UnitView<Unit>(base, text.size()), sink);
      return 0;
    });
  } catch (const std::exception& e) {
    delete views;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(views, kCapsule, free_views);
  if (capsule == nullptr) delete views;
  return capsule;
}

template <class Unit>
PyObject* build_from(const Views& views) {
  const auto* base = reinterpret_cast<const Unit*>(views.text.data());
  using View = marlet_core::UnitView<Unit>;
  PyRef list = marlet_native::created(PyList_New(0));
  PyRef current;
  marlet_native::KeyCache<marlet_native::kPolicy> keys;
  for (const Views::Item& item : views.items) {
    if (item.value == Views::kClose) {
      if (!current) continue;
      if (PyList_Append(list.get(), current.get()) < 0) return nullptr;
      current.reset();
      continue;
    }
    if (!current) current = marlet_native::new_dict<marlet_native::kPolicy>();
    PyRef key = keys.get(View(base + item.key, item.key_size));
    PyRef value = marlet_native::make_str<marlet_native::kPolicy>(View(base + item.value, item.value_size));
    if (PyDict_SetItem(current.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* build(PyObject*, PyObject* arg) {
  auto* views = static_cast<Views*>(PyCapsule_GetPointer(arg, kCapsule));
  if (views == nullptr) return nullptr;
  try {
    if (views->utf8) return build_from<char>(*views);
    if (views->unit_size == 1) return build_from<std::uint8_t>(*views);
    if (views->unit_size == 2) return build_from<std::uint16_t>(*views);
    return build_from<std::uint32_t>(*views);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

PyMethodDef g_methods[] = {
    {"prepare", prepare, METH_O, "prepare(text): the fields and record ends of .marl text, as views."},
    {"build", build, METH_O, "build(prepared): the objects parse_marl returns, built from the views."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_marlet_floor", "", -1, g_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__marlet_floor(void) { return PyModule_Create(&g_module); }

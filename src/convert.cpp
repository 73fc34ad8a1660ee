// The bodies that wrap the core: RecordList to a list of dicts, and a
// sequence of dicts to a RecordList.
#include <algorithm>
#include <cstddef>
#include <string_view>

#include "compact.hpp"
#include "marl_reader.hpp"
#include "messages.hpp"
#include "native.hpp"
#include "py_build.hpp"
#include "py_str.hpp"
#include "record.hpp"

namespace marlet_native {
namespace {

PyRef records_to_list(marlet_core::RecordList records) {
  FillingList list(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    // Moved out, the record's table is freed as soon as its dict is built.
    const marlet_core::Record record = std::move(records[i]);
    PyRef dict = new_dict();
    record.for_each([&](std::string_view key, std::string_view value) {
      PyRef key_str = make_str(key);
      PyRef value_str = make_str(value);
      if (PyDict_SetItem(dict.get(), key_str.get(), value_str.get()) < 0)
        throw_with_pending(messages::kDictSetItem);
    });
    list.set(i, std::move(dict));
  }
  return list.finish();
}

marlet_core::Record dict_to_record(PyObject* item) {
  if (!PyDict_Check(item)) throw PythonError::conversion(item, "PyDict");
  marlet_core::Record record(static_cast<std::size_t>(PyDict_GET_SIZE(item)));
  Py_ssize_t position = 0;
  PyObject* raw_key = nullptr;
  PyObject* raw_value = nullptr;
  while (PyDict_Next(item, &position, &raw_key, &raw_value)) {
    // Our own references, so the texts below stay valid while we copy them.
    const PyRef key = PyRef::borrow(raw_key);
    const PyRef value = PyRef::borrow(raw_value);
    const std::string_view key_text = extract_text(key.get());
    const std::string_view value_text = extract_text(value.get());
    record.put(key_text, value_text);
  }
  return record;
}

// A lying __len__ must not make us reserve absurd amounts; beyond this the
// list simply grows as items arrive.
constexpr Py_ssize_t kMaxReservedRecords = Py_ssize_t{1} << 16;

marlet_core::RecordList sequence_to_records(PyObject* records) {
  if (PyUnicode_Check(records))
    throw PythonError::with_message(PyExc_TypeError, std::string(messages::kStrToVec));
  if (!PySequence_Check(records)) throw PythonError::conversion(records, "Sequence");

  marlet_core::RecordList list;
  const Py_ssize_t length = PySequence_Size(records);
  if (length < 0)
    PyErr_Clear();  // only a capacity hint
  else
    list.reserve(static_cast<std::size_t>(std::min(length, kMaxReservedRecords)));

  PyRef iterator = or_fetched(PyObject_GetIter(records));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) list.push_back(dict_to_record(item.get()));
  if (PyErr_Occurred() != nullptr) throw_fetched();
  return list;
}

}  // namespace

PyRef parse_marl_via_hashmap(PyObject* data) {
  const std::string_view text = text_argument(data, "data");
  return records_to_list(marlet_core::parse_marl_fast(text));
}

PyRef parse_marl_compact(PyObject* data) {
  const std::string_view text = text_argument(data, "data");
  return records_to_list(marlet_core::compact::parse_marl_compact(text));
}

PyRef write_marl_compact(PyObject* records) {
  marlet_core::Buffer text;
  {
    marlet_core::RecordList list;
    try {
      list = sequence_to_records(records);
    } catch (const PythonError& error) {
      throw argument_extraction_error("records", error);
    }
    text = marlet_core::compact::write_marl_compact(list);
  }
  return make_str(text.view());
}

}  // namespace marlet_native

// The bodies that wrap the core: the core readers' records to a list of
// dicts, and a sequence of dicts to a RecordList.
#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "compact.hpp"
#include "key_cache.hpp"
#include "messages.hpp"
#include "native.hpp"
#include "py_build.hpp"
#include "py_str.hpp"
#include "record.hpp"
#include "text.hpp"
#include "text_pieces.hpp"

namespace marlet_native {
namespace {

// Receives fields and record ends from the scanner.  Each record is
// collected into a core Record (a fresh keyed hash map, so its fields come
// out in that map's own order, like every other binding's records) and
// turned into its dict as soon as it closes; the Record is freed at once,
// so only the current record is ever held in core form.  The Record holds
// views into the text being read, which outlives every record: pieces of
// the text end only where a record has closed.
class RecordDictSink {
 public:
  void field(std::string_view key, std::string_view value) {
    // Records of one document tend to have similar sizes: sizing a new
    // table like the last one saves the rehashes on the way up.
    if (record_.empty()) record_.reserve(last_size_);
    record_.put(key, value);
  }

  void close() {
    if (record_.empty()) return;
    PyRef dict = new_dict();
    record_.for_each([&](std::string_view key, std::string_view value) {
      PyRef key_str = keys_.get(key);
      PyRef value_str = make_str(value);
      if (PyDict_SetItem(dict.get(), key_str.get(), value_str.get()) < 0)
        throw_with_pending(messages::kDictSetItem);
    });
    dicts_.push_back(std::move(dict));
    last_size_ = record_.size();
    record_ = marlet_core::BorrowedRecord();
  }

  // The list of all dicts, made at its final length.
  PyRef take_list() {
    FillingList list(dicts_.size());
    for (std::size_t i = 0; i < dicts_.size(); ++i) list.set(i, std::move(dicts_[i]));
    dicts_.clear();
    return list.finish();
  }

 private:
  marlet_core::BorrowedRecord record_;
  std::size_t last_size_ = 0;
  std::vector<PyRef> dicts_;  // the finished records, in document order
  KeyCache keys_;
};

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
  RecordDictSink sink;
  for_each_text_piece(data, RecordEnd::unindented_line,
                      [&](std::string_view text) { marlet_core::text::scan_marl(text, sink); });
  return sink.take_list();
}

PyRef parse_marl_compact(PyObject* data) {
  RecordDictSink sink;
  for_each_text_piece(data, RecordEnd::blank_line,
                      [&](std::string_view text) { marlet_core::text::scan_compact(text, sink); });
  return sink.take_list();
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

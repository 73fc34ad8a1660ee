// The bodies of the four functions: text to a list of dicts, straight from
// the scanner or through the core's field table, and a sequence of dicts to
// a RecordList for the .marlc writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "compact.hpp"
#include "messages.hpp"
#include "native.hpp"
#include "record.hpp"
#include "field_table.hpp"
#include "str_text.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace marlet_native {
namespace {

// Receives fields and record ends from the scanner and collects each record
// into a reused core FieldTable (a SipHash-1-3 keyed map over the keys'
// UTF-8, so fields come out in that map's order, like every other
// binding's records), turned into its dict as soon as it closes.  Values
// stay views into the text in its own units; keys in a str's code units are
// buffered until the record closes, then written in UTF-8 into one reused
// buffer, since the map hashes the UTF-8 form.
template <class Unit>
class RecordDictSink {
  using View = marlet_core::UnitView<Unit>;
  static constexpr bool kUtf8 = std::is_same_v<Unit, char>;

 public:
  void field(View key, View value) {
    if constexpr (kUtf8)
      table_.add(key, value);
    else
      pending_.push_back({key, value});
  }

  void close() {
    if constexpr (!kUtf8) add_pending();
    if (table_.empty()) return;
    table_.finish();
    PyRef dict = new_dict<kPolicy>();
    table_.for_each([&](std::string_view key, View value) {
      PyRef key_str = keys_.get(key);
      PyRef value_str = make_str<kPolicy>(value);
      if (PyDict_SetItem(dict.get(), key_str.get(), value_str.get()) < 0)
        throw_with_pending(messages::kDictSetItem);
    });
    dicts_.push_back(std::move(dict));
    table_.clear();
  }

  // The list of all dicts, made at its final length.
  PyRef take_list() {
    FillingList<kPolicy> list(dicts_.size());
    for (std::size_t i = 0; i < dicts_.size(); ++i) list.set(i, std::move(dicts_[i]));
    dicts_.clear();
    return list.finish();
  }

 private:
  // Hands the buffered fields to the table with their keys in UTF-8.  The
  // buffer is sized once per record, so the keys' views stay valid until
  // the record is cleared.
  void add_pending() {
    if (pending_.empty()) return;
    std::size_t bound = 0;
    for (const auto& f : pending_) bound += f.key.size() * (sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4);
    key_bytes_.resize(bound);
    char* out = key_bytes_.data();
    for (const auto& f : pending_) {
      char* const start = out;
      for (const Unit unit : f.key) out = marlet_core::put_utf8(unit, out);
      table_.add(std::string_view(start, static_cast<std::size_t>(out - start)), f.value);
    }
    pending_.clear();
  }

  marlet_core::BasicFieldTable<marlet_core::ScalarKeyHash, View> table_;
  std::vector<marlet_core::text::BasicField<Unit>> pending_;  // code-unit keys not yet in the table
  std::string key_bytes_;                                     // their UTF-8, for the current record
  std::vector<PyRef> dicts_;  // the finished records, in document order
  KeyCache<kPolicy> keys_;
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

// The records of .marlc (Compact) or .marl text through RecordDictSink.
template <bool Compact>
PyRef read_through_table(PyObject* data) {
  return with_str_text(data, [](auto text) {
    RecordDictSink<typename decltype(text)::value_type> sink;
    Compact ? marlet_core::text::scan_compact(text, sink) : marlet_core::text::scan_marl(text, sink);
    return sink.take_list();
  });
}

}  // namespace

// The scanner that every reader uses drives the modules' one dict sink, so
// no record is built twice; it reads the str's text in UTF-8 or in its own
// code units (str_text.hpp).
PyRef parse_marl(PyObject* data) {
  return with_str_text(data, [](auto text) {
    DictSink<kPolicy> sink(created(PyList_New(0)));
    marlet_core::text::scan_marl(text, sink);
    return sink.take();
  });
}

PyRef parse_marl_via_hashmap(PyObject* data) { return read_through_table<false>(data); }
PyRef parse_marl_compact(PyObject* data) { return read_through_table<true>(data); }

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
  return make_str<kPolicy>(text.view());
}

}  // namespace marlet_native

// parse_marl: reads .marl text straight into a list of dicts.
//
// The core's scanner (text::scan_marl) decides lines, fields and record
// ends, exactly as for every other reader; this file only supplies a sink
// that builds Python objects instead of core records, so no record is
// built twice.  The scanner reads the str's text in UTF-8 or in its own
// code units (str_text.hpp); the sink takes views of either.
#include <string_view>
#include <utility>

#include "key_cache.hpp"
#include "native.hpp"
#include "py_build.hpp"
#include "py_str.hpp"
#include "str_text.hpp"
#include "text.hpp"

namespace marlet_native {
namespace {

// Receives fields and record ends from the scanner and builds the result.
template <class Unit>
class DictListSink {
 public:
  explicit DictListSink(PyRef list) noexcept : list_(std::move(list)) {}

  void field(marlet_core::UnitView<Unit> key, marlet_core::UnitView<Unit> value) {
    if (!current_) current_ = new_dict();
    PyRef key_str = keys_.get(key);
    PyRef value_str = make_str(value);
    if (PyDict_SetItem(current_.get(), key_str.get(), value_str.get()) < 0) throw_fetched();
  }

  // The current dict is made on its first field, so an existing one is
  // never empty; the size is still read from the dict itself.
  void close() {
    if (!current_ || PyDict_GET_SIZE(current_.get()) == 0) return;
    if (PyList_Append(list_.get(), current_.get()) < 0) throw_fetched();
    current_.reset();
  }

  PyRef take() noexcept { return std::move(list_); }

 private:
  PyRef list_;
  PyRef current_;
  KeyCache keys_;
};

}  // namespace

PyRef parse_marl(PyObject* data) {
  return with_str_text(data, [](auto text) {
    DictListSink<typename decltype(text)::value_type> sink(created(PyList_New(0)));
    marlet_core::text::scan_marl(text, sink);
    return sink.take();
  });
}

}  // namespace marlet_native

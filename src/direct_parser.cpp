// parse_marl: reads .marl text straight into a list of dicts.
//
// The core's scanner (text::scan_marl) decides lines, fields and record
// ends, exactly as for every other reader; this file only supplies a sink
// that builds Python objects instead of core records, so no record is
// built twice.
#include <string_view>

#include "key_cache.hpp"
#include "native.hpp"
#include "py_build.hpp"
#include "py_str.hpp"
#include "text.hpp"
#include "text_pieces.hpp"

namespace marlet_native {
namespace {

// Receives fields and record ends from the scanner and builds the result.
class DictListSink {
 public:
  explicit DictListSink(PyRef list) noexcept : list_(std::move(list)) {}

  void field(std::string_view key, std::string_view value) {
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
  DictListSink sink(created(PyList_New(0)));
  for_each_text_piece(data, RecordEnd::unindented_line,
                      [&](std::string_view text) { marlet_core::text::scan_marl(text, sink); });
  return sink.take();
}

}  // namespace marlet_native

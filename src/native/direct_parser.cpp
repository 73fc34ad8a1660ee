// parse_marl: reads .marl text straight into a list of dicts.
//
// The core's scanner (text::scan_marl) decides lines, fields and record
// ends, exactly as for every other reader; the modules' one dict sink
// builds Python objects instead of core records, so no record is built
// twice.  The scanner reads the str's text in UTF-8 or in its own code
// units (str_text.hpp); the sink takes views of either.
#include "native.hpp"
#include "str_text.hpp"
#include "text.hpp"

namespace marlet_native {

PyRef parse_marl(PyObject* data) {
  return with_str_text(data, [](auto text) {
    DictSink<kPolicy> sink(created(PyList_New(0)));
    marlet_core::text::scan_marl(text, sink);
    return sink.take();
  });
}

}  // namespace marlet_native

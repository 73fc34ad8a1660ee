#include "marl_reader.hpp"

#include "text.hpp"

namespace marlet_core {
namespace {

template <class Str>
BasicRecordList<Str> read_marl(std::string_view text) {
  RecordListSink<Str> sink;
  text::scan_marl(text, sink);
  return sink.take();
}

}  // namespace

RecordList parse_marl_fast(std::string_view text) { return read_marl<OwnedString>(text); }

BorrowedRecordList parse_marl_fast_borrowed(std::string_view text) { return read_marl<std::string_view>(text); }

}  // namespace marlet_core

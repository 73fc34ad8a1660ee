// The .marl and .marlc readers into record lists, owned or borrowed.
#pragma once

#include <string_view>

#include "record.hpp"
#include "text.hpp"

namespace marlet_core {

// Collects what a reader finds into a record list.
template <class Str>
class RecordListSink {
 public:
  void field(std::string_view key, std::string_view value) {
    // Records of one document tend to have similar sizes: sizing a new
    // table like the last one saves the rehashes on the way up.
    if (current_.empty()) current_.reserve(last_size_);
    current_.put(key, value);
  }
  void close() {
    if (!current_.empty()) end_record();
  }
  // Ends the record even when it is empty (an empty JSON object).
  void end_record() {
    last_size_ = current_.size();
    list_.push_back(std::move(current_));
    current_ = BasicRecord<Str>();
  }
  BasicRecordList<Str> take() { return std::move(list_); }

 private:
  BasicRecordList<Str> list_;
  BasicRecord<Str> current_;
  std::size_t last_size_ = 0;
};

// The records of a .marl text (.marlc when not `marl`), valid UTF-8.
template <class Str>
BasicRecordList<Str> read_records(bool marl, std::string_view text) {
  RecordListSink<Str> sink;
  text::scan(marl, text, sink);
  return sink.take();
}

// Every key and value is copied into the result.
inline RecordList parse_marl_fast(std::string_view text) { return read_records<OwnedString>(true, text); }

// Keys and values are views into `text`: the result is valid only while it is.
inline BorrowedRecordList parse_marl_fast_borrowed(std::string_view text) {
  return read_records<std::string_view>(true, text);
}

}  // namespace marlet_core

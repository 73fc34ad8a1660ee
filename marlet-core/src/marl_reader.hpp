// The .marl text reader, in an owned and a borrowed form.
#pragma once

#include <string_view>

#include "record.hpp"

namespace marlet_core {

// Collects what scan_marl / scan_compact find into a record list.
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
    if (current_.empty()) return;
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

// Reads a .marl document; every key and value is copied into the result.
// `text` must be valid UTF-8.
RecordList parse_marl_fast(std::string_view text);

// Reads a .marl document into records whose keys and values are views into
// `text`; the result is valid only while `text` is.
BorrowedRecordList parse_marl_fast_borrowed(std::string_view text);

}  // namespace marlet_core

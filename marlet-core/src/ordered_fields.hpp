// The fields of one record as dict assignment would see them.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "text.hpp"

namespace marlet_core {

// The fields of one record in document order: a key's first occurrence
// fixes its place, a repeated key takes its last value.
class OrderedFields {
 public:
  // Adds a field; false when its key was there already.
  bool add(std::string_view key, std::string_view value) {
    if (fields_.size() < kLinear) {
      for (text::Field& f : fields_)
        if (f.key == key) {
          f.value = value;
          return false;
        }
      fields_.push_back({key, value});
      return true;
    }
    // Large records look keys up in a hash index instead.
    if (index_.empty())
      for (std::size_t i = 0; i < fields_.size(); ++i) index_.emplace(fields_[i].key, i);
    auto [it, inserted] = index_.try_emplace(key, fields_.size());
    if (inserted)
      fields_.push_back({key, value});
    else
      fields_[it->second].value = value;
    return inserted;
  }
  bool empty() const noexcept { return fields_.empty(); }
  std::span<const text::Field> view() const noexcept { return fields_; }
  void clear() noexcept {
    fields_.clear();
    if (!index_.empty()) index_.clear();
  }

 private:
  static constexpr std::size_t kLinear = 16;
  std::vector<text::Field> fields_;
  std::unordered_map<std::string_view, std::size_t> index_;
};

}  // namespace marlet_core

// The four forms of a record list, named once for the core and every front end.
#pragma once

#include <optional>
#include <string_view>

namespace marlet_core {

// Only the two text formats have cut points; all but binary can be read
// incrementally.
enum class Format : unsigned char { marl, marlc, json, binary };

// The format called `name` ("marl", "marlc", "json" or "binary"), or nullopt.
constexpr std::optional<Format> format_named(std::string_view name) noexcept {
  if (name == "marl") return Format::marl;
  if (name == "marlc") return Format::marlc;
  if (name == "json") return Format::json;
  if (name == "binary") return Format::binary;
  return std::nullopt;
}

}  // namespace marlet_core

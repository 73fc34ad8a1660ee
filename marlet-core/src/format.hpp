// The four forms of a record list, named once for the core and for every
// front end, which pass them across their boundary by these names.
#pragma once

#include <optional>
#include <string_view>

namespace marlet_core {

// The .marl text format, the .marlc compact format, the JSON form and the
// binary encoding.  Only the two text formats have cut points, and only the
// first three can be read incrementally.
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

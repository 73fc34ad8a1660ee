// The JSON form read by a general JSON parser (simdjson), then checked for
// the one accepted shape: shared by the C++ tests and the fuzz targets, so
// that both compare the core's JSON reader against an implementation that
// shares none of its code.
#pragma once

#include <simdjson.h>

#include <optional>
#include <string>
#include <string_view>

#include "reference.hpp"

namespace marlet_reference {

// The records of `text` when it is an array of objects whose member values
// are all strings (a repeated member keeps its last value); nullopt for any
// other text.
inline std::optional<Records> from_json(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  simdjson::dom::element root;
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) return std::nullopt;
  simdjson::dom::array array;
  if (root.get_array().get(array) != simdjson::SUCCESS) return std::nullopt;
  Records out;
  for (simdjson::dom::element element : array) {
    simdjson::dom::object object;
    if (element.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
    Fields fields;
    for (simdjson::dom::key_value_pair member : object) {
      std::string_view value;
      if (member.value.get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
      fields.insert_or_assign(std::string(member.key), std::string(value));
    }
    out.push_back(std::move(fields));
  }
  return out;
}

}  // namespace marlet_reference

#include "writers.hpp"

namespace marlet_core::writers {

namespace {

bool has_edge_space(std::string_view s) noexcept {
  return !s.empty() && (text::detail::space_at(s, 0) != 0 || text::detail::space_before(s, s.size()) != 0);
}

const char* key_loss(std::string_view key) noexcept {
  if (key.empty()) return "a key cannot be empty";
  if (key.find(':') != std::string_view::npos) return "a key cannot hold ':'";
  if (key.find('\n') != std::string_view::npos) return "a key cannot hold a line feed";
  if (has_edge_space(key)) return "a key cannot start or end with whitespace";
  return nullptr;
}

const char* value_loss(std::string_view value) noexcept {
  if (value.find('\n') != std::string_view::npos) return "a value cannot hold a line feed";
  if (has_edge_space(value)) return "a value cannot start or end with whitespace";
  return nullptr;
}

}  // namespace

std::optional<Loss> marlc_loss(std::span<const Field> fields, bool opens_document) noexcept {
  if (fields.empty()) return Loss{Loss::kRecord, "a record cannot be empty"};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (const char* reason = key_loss(fields[i].key)) return Loss{i, reason};
    if (const char* reason = value_loss(fields[i].value)) return Loss{i, reason};
  }
  if (opens_document && fields[0].key.starts_with(text::kBom))
    return Loss{0, "the first key of a document cannot start with U+FEFF (read as a byte-order mark)"};
  return std::nullopt;
}

}  // namespace marlet_core::writers

#pragma once
// Parsing JSON documents written by someone else. nlohmann's parser is iterative,
// but copying, comparing and writing a document recurse once per level, so a
// document nested deeper than kMaxJsonDepth is refused as a whole.
#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

#include "utilities/json_limits.h"

namespace qd {

// The document, or nothing when `text` is not one JSON value or nests too deeply.
// (A number beyond the range of a double is refused by the parser itself.) Never throws.
template <class BasicJson = nlohmann::json>
[[nodiscard]] std::optional<BasicJson> parseJsonDocument(std::string_view text) {
  using Event = nlohmann::json::parse_event_t;
  bool refused = false;
  // Runs before each object or array is entered; refusing one makes the parser
  // skip its content, which it does without recursion.
  const typename BasicJson::parser_callback_t check = [&refused](int depth, Event event, BasicJson&) {
    if ((event == Event::object_start || event == Event::array_start) && depth >= kMaxJsonDepth) refused = true;
    return !refused;
  };
  try {
    BasicJson value = BasicJson::parse(text.begin(), text.end(), check, /*allow_exceptions=*/false);
    if (refused || value.is_discarded()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace qd

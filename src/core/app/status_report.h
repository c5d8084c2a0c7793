#pragma once
// What the popover's cards would show, for a terminal (`--status`) or for
// scripts and status bars (`--status --json`; keys documented in README.md).
#include <nlohmann/json.hpp>
#include <cstddef>
#include <string>

namespace qd {

class AppState;

namespace StatusReport {

// Lines of text; ANSI colours for the status words and headings when `colour`.
// A `width` in columns (0: unlimited) wraps long lines and, when narrow, moves
// each window's reset under its figures.
[[nodiscard]] std::string text(const AppState& state, bool colour, size_t width = 0);
// One JSON object with stable keys.
[[nodiscard]] nlohmann::ordered_json json(const AppState& state);

// The empty state's title and text, by whether the Codex tool is installed.
struct EmptyState {
  std::string title;
  std::string text;
};
[[nodiscard]] EmptyState emptyState(bool codexInstalled);

}  // namespace StatusReport
}  // namespace qd

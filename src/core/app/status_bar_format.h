#pragma once
// The status-bar renderings of the status report (`--status --format ...`):
// one line each, made only from the report of StatusReport::json, so whatever the
// report carries reaches every format.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace qd::StatusBarFormat {

enum class Kind {
  waybar,    // one JSON object: text, tooltip, class, percentage
  i3blocks,  // the text in Pango markup, coloured by the overall status
  plain,     // the text alone (polybar, tmux, scripts)
};

// "waybar", "i3blocks", "plain"; nothing for any other name.
[[nodiscard]] std::optional<Kind> kindNamed(std::string_view name);

// The text beside the bar's other modules: the tray title, or "AI" when the
// display mode is icon only (a bar has no icon of ours to show).
[[nodiscard]] std::string text(const nlohmann::ordered_json& report);
// Several lines: the overall status, each provider's windows, the advice.
[[nodiscard]] std::string tooltip(const nlohmann::ordered_json& report);
// The focused window's figure as the title shows it (used or left, rounded,
// floored at 0); nothing without a focused window.
[[nodiscard]] std::optional<long> percentage(const nlohmann::ordered_json& report);

// One line without its line feed.
[[nodiscard]] std::string render(Kind kind, const nlohmann::ordered_json& report);

}  // namespace qd::StatusBarFormat

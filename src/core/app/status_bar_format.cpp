#include "app/status_bar_format.h"

#include <cmath>

#include "models/forecast_status.h"
#include "utilities/time_formatting.h"

namespace qd::StatusBarFormat {

namespace {

using J = nlohmann::ordered_json;

// The report is our own, but a field may be absent or null (older or newer
// builds); each read falls back on its own.
std::string stringAt(const J& object, const char* key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<double> numberAt(const J& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

const J& arrayAt(const J& object, const char* key) {
  static const J empty = J::array();
  if (!object.is_object()) return empty;
  auto it = object.find(key);
  return it != object.end() && it->is_array() ? *it : empty;
}

// Waybar and i3blocks read Pango markup.
std::string markupEscaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// The dark theme's status colours: bars are dark far more often than light.
std::optional<std::string_view> colourOf(ColorRole role) {
  switch (role) {
    case ColorRole::safe: return "#3dd68c";
    case ColorRole::watch: return "#f5c142";
    case ColorRole::risky: return "#ff8a4c";
    case ColorRole::limited: return "#ff5c6c";
    case ColorRole::neutral: return std::nullopt;
  }
  return std::nullopt;
}

ForecastStatus globalStatus(const J& report) {
  return enumFromRaw<ForecastStatus>(stringAt(report, "globalStatus")).value_or(ForecastStatus::noData);
}

}  // namespace

std::optional<Kind> kindNamed(std::string_view name) {
  if (name == "waybar") return Kind::waybar;
  if (name == "i3blocks") return Kind::i3blocks;
  if (name == "plain") return Kind::plain;
  return std::nullopt;
}

std::string text(const J& report) {
  std::string title = stringAt(report, "title");
  return title.empty() ? "AI" : title;
}

std::optional<long> percentage(const J& report) {
  auto focusIt = report.find("focus");
  if (focusIt == report.end() || !focusIt->is_object()) return std::nullopt;
  const std::string provider = stringAt(*focusIt, "provider");
  const std::string window = stringAt(*focusIt, "window");
  auto remainingIt = report.find("showRemaining");
  const bool showRemaining = remainingIt == report.end() || !remainingIt->is_boolean() || remainingIt->get<bool>();
  for (const J& p : arrayAt(report, "providers")) {
    if (stringAt(p, "provider") != provider) continue;
    for (const J& w : arrayAt(p, "windows")) {
      if (stringAt(w, "window") != window) continue;
      auto used = numberAt(w, "usedPercent");
      if (!used) return std::nullopt;
      double shown = showRemaining ? 100.0 - *used : *used;
      if (shown < 0) shown = 0;
      return std::lround(shown);
    }
  }
  return std::nullopt;
}

std::string tooltip(const J& report) {
  std::string out = "Quotadial \u00b7 " + std::string(label(globalStatus(report)));
  if (stringAt(report, "mode") == "demo") out += " (demo data)";

  auto empty = report.find("emptyState");
  if (empty != report.end() && empty->is_object()) {
    out += "\n" + stringAt(*empty, "title") + "\n" + stringAt(*empty, "text");
    return out;
  }

  for (const J& p : arrayAt(report, "providers")) {
    out += "\n" + stringAt(p, "name");
    if (auto fresh = stringAt(p, "freshness"); !fresh.empty()) out += " \u00b7 " + fresh;
    auto health = p.find("health");
    if (health != p.end() && health->is_object()) {
      const std::string state = stringAt(*health, "state");
      const std::string detail = stringAt(*health, "detail");
      if ((state == "error" || state == "unavailable") && !detail.empty()) out += "\n  " + detail;
    }
    const J& windows = arrayAt(p, "windows");
    if (windows.empty()) out += "\n  No data for this provider yet.";
    for (const J& w : windows) {
      std::string row = "\n  " + stringAt(w, "label") + "  " + stringAt(w, "shown") + " " + stringAt(w, "shownKind");
      if (auto phrase = stringAt(w, "resetPhrase"); !phrase.empty()) {
        row += " \u00b7 " + phrase;
        if (auto secs = numberAt(w, "secondsUntilReset")) row += " (" + TimeFormatting::countdown(*secs) + ")";
      }
      row += " \u00b7 " + stringAt(w, "statusLabel");
      out += row;
    }
  }
  const J& advice = arrayAt(report, "recommendations");
  for (const J& r : advice) out += "\n\u2022 " + stringAt(r, "message");
  return out;
}

std::string render(Kind kind, const J& report) {
  switch (kind) {
    case Kind::plain: return text(report);
    case Kind::i3blocks: {
      const std::string escaped = markupEscaped(text(report));
      auto colour = colourOf(colorRole(globalStatus(report)));
      if (!colour) return escaped;
      return "<span foreground=\"" + std::string(*colour) + "\">" + escaped + "</span>";
    }
    case Kind::waybar: {
      J line = J::object();
      line["text"] = markupEscaped(text(report));
      line["tooltip"] = markupEscaped(tooltip(report));
      line["class"] = std::string(rawValue(globalStatus(report)));
      if (auto pct = percentage(report)) line["percentage"] = *pct;
      // Invalid UTF-8 from outside text is replaced, never thrown.
      return line.dump(-1, ' ', false, J::error_handler_t::replace);
    }
  }
  return text(report);
}

}  // namespace qd::StatusBarFormat

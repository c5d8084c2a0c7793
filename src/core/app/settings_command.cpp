#include "app/settings_command.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <vector>

#include "models/app_settings.h"
#include "storage/settings_store.h"
#include "utilities/text.h"

namespace qd::SettingsCommand {

namespace {

using Json = nlohmann::json;

enum class Kind { boolean, number, integer, choice, providers, date, text };

struct Entry {
  std::string_view key;  // "a.b" for the key b of the object a
  Kind kind;
  std::optional<SettingRange> range;
  std::vector<std::string> choices;  // Kind::choice and Kind::providers
  // Why `--set` leaves this one alone; empty when it may be set.
  std::string_view managedBy;
};

template <class E>
std::vector<std::string> choicesOf() {
  std::vector<std::string> out;
  for (E e : allCases<E>()) out.emplace_back(rawValue(e));
  return out;
}

// In the order of the record's fields.
const std::vector<Entry>& entries() {
  static const std::vector<Entry> table{
      {"enabledProviders", Kind::providers, {}, choicesOf<Provider>(), {}},
      {"forecastBasis", Kind::choice, {}, choicesOf<ForecastBasis>(), {}},
      {"menuBarDisplayMode", Kind::choice, {}, choicesOf<MenuBarDisplayMode>(), {}},
      {"notificationsEnabled", Kind::boolean, {}, {}, {}},
      {"notificationThresholds.fiveHourUsageAbove", Kind::number, SettingLimits::fiveHourUsageAbove, {}, {}},
      {"notificationThresholds.fiveHourForecastAbove", Kind::number, SettingLimits::fiveHourForecastAbove, {}, {}},
      {"notificationThresholds.timeToLimitUnderMinutes", Kind::number, SettingLimits::timeToLimitUnderMinutes, {}, {}},
      {"notificationThresholds.weeklyProjectedAbove", Kind::number, SettingLimits::weeklyProjectedAbove, {}, {}},
      {"notificationThresholds.weeklyPaceAbovePoints", Kind::number, SettingLimits::weeklyPaceAbovePoints, {}, {}},
      {"notificationCooldownMinutes", Kind::number, SettingLimits::notificationCooldownMinutes, {}, {}},
      {"notificationsSnoozedUntil", Kind::date, {}, {}, {}},
      {"extraUsageBudgetGBP", Kind::number, SettingLimits::extraUsageBudgetGBP, {}, {}},
      {"startAtLogin", Kind::boolean, {}, {}, "the settings screen, which also writes the autostart entry"},
      {"retentionDays", Kind::integer, SettingLimits::retentionDays, {}, {}},
      {"demoMode", Kind::boolean, {}, {}, {}},
      {"hasOnboarded", Kind::boolean, {}, {}, {}},
      {"showRemaining", Kind::boolean, {}, {}, {}},
      {"currencyGBP", Kind::boolean, {}, {}, {}},
      {"focusedProvider", Kind::choice, {}, choicesOf<Provider>(), {}},
      {"focusedWindow", Kind::choice, {}, choicesOf<WindowKind>(), {}},
      {"focusAuto", Kind::boolean, {}, {}, {}},
      {"previousClaudeStatusLineCommand", Kind::text, {}, {}, "quotadial --install-claude-bridge"},
      {"claudeBridgeInstalled", Kind::boolean, {}, {}, "quotadial --install-claude-bridge"},
  };
  return table;
}

// The JSON form of the record, the one the file holds.
Json encoded(const AppSettings& s) {
  auto text = encodeSettings(s);
  return text ? Json::parse(*text, nullptr, false) : Json::object();
}

// The member at a dotted key; null when absent.
Json valueAt(const Json& root, std::string_view key) {
  const Json* at = &root;
  size_t start = 0;
  while (true) {
    const size_t dot = key.find('.', start);
    const std::string part(key.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (!at->is_object() || !at->contains(part)) return nullptr;
    at = &(*at)[part];
    if (dot == std::string_view::npos) return *at;
    start = dot + 1;
  }
}

void setAt(Json& root, std::string_view key, Json value) {
  Json* at = &root;
  size_t start = 0;
  while (true) {
    const size_t dot = key.find('.', start);
    const std::string part(key.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) {
      if (value.is_null())
        at->erase(part);
      else
        (*at)[part] = std::move(value);
      return;
    }
    at = &(*at)[part];
    start = dot + 1;
  }
}

std::string numberText(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("\u2014");
}

std::string shown(const Entry& e, const AppSettings& s, const Json& j) {
  if (e.kind == Kind::date) return s.notificationsSnoozedUntil ? formatISO8601(*s.notificationsSnoozedUntil) : "none";
  const Json v = valueAt(j, e.key);
  if (v.is_null()) return "none";
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  if (v.is_number()) return numberText(v.get<double>());
  if (v.is_string()) return v.get<std::string>();
  if (v.is_array()) {
    std::string out;
    for (const Json& item : v) out += (out.empty() ? "" : ",") + (item.is_string() ? item.get<std::string>() : "?");
    return out.empty() ? "none" : out;
  }
  return v.dump();
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : std::string(separator)) + item;
  return out;
}

std::string accepts(const Entry& e) {
  if (!e.managedBy.empty()) return "(set by " + std::string(e.managedBy) + ")";
  switch (e.kind) {
    case Kind::boolean: return "true|false";
    case Kind::number:
    case Kind::integer:
      return numberText(e.range->lo) + "\u2013" + numberText(e.range->hi) + (e.kind == Kind::integer ? " (whole)" : "");
    case Kind::choice: return joined(e.choices, "|");
    case Kind::providers: return "comma list of " + joined(e.choices, ",") + ", or none";
    case Kind::date: return "ISO-8601 time, or none";
    case Kind::text: return "text";
  }
  return {};
}

std::optional<double> parsedNumber(std::string_view text) {
  double v = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

struct Parsed {
  Json value;         // null: leave the key out (an absent optional)
  std::string error;  // non-empty: refused
};

Parsed parsedValue(const Entry& e, const std::string& raw) {
  const std::string lower = asciiLowercase(raw);
  switch (e.kind) {
    case Kind::boolean:
      if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") return {true, {}};
      if (lower == "false" || lower == "no" || lower == "off" || lower == "0") return {false, {}};
      return {nullptr, "expects true or false"};
    case Kind::number:
    case Kind::integer: {
      auto v = parsedNumber(raw);
      if (!v) return {nullptr, "expects a number"};
      if (e.kind == Kind::integer && *v != std::floor(*v)) return {nullptr, "expects a whole number"};
      if (!e.range->contains(*v)) return {nullptr, "expects a number from " + accepts(e)};
      if (e.kind == Kind::integer) return {static_cast<long long>(*v), {}};
      return {*v, {}};
    }
    case Kind::choice:
      for (const auto& c : e.choices)
        if (asciiLowercase(c) == lower) return {c, {}};
      return {nullptr, "expects one of " + joined(e.choices, ", ")};
    case Kind::providers: {
      Json list = Json::array();
      if (lower == "none" || lower.empty()) return {list, {}};
      std::vector<bool> named(e.choices.size(), false);
      size_t start = 0;
      while (start <= lower.size()) {
        size_t comma = lower.find(',', start);
        if (comma == std::string::npos) comma = lower.size();
        std::string item = lower.substr(start, comma - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        auto it = std::find(e.choices.begin(), e.choices.end(), item);
        if (it == e.choices.end())
          return {nullptr, "expects a comma list of " + joined(e.choices, ", ") + ", or none"};
        named[static_cast<size_t>(it - e.choices.begin())] = true;
        start = comma + 1;
      }
      // In the order the file keeps them.
      for (size_t i = 0; i < e.choices.size(); ++i)
        if (named[i]) list.push_back(e.choices[i]);
      return {list, {}};
    }
    case Kind::date:
    case Kind::text: break;  // dates are set on the record itself
  }
  return {nullptr, "cannot be set here"};
}

const Entry* entryNamed(std::string_view key) {
  for (const Entry& e : entries())
    if (e.key == key) return &e;
  return nullptr;
}

}  // namespace

int list(const std::filesystem::path& file, std::ostream& out) {
  SettingsStore store(file);
  const AppSettings current = store.load();
  const AppSettings defaults;
  const Json now = encoded(current), dflt = encoded(defaults);
  struct Row {
    std::string key, value, fallback, accepted;
  };
  std::vector<Row> rows{{"KEY", "VALUE", "DEFAULT", "ACCEPTS"}};
  for (const Entry& e : entries())
    rows.push_back({std::string(e.key), shown(e, current, now), shown(e, defaults, dflt), accepts(e)});
  size_t w[3] = {0, 0, 0};
  for (const Row& r : rows) {
    w[0] = std::max(w[0], r.key.size());
    w[1] = std::max(w[1], r.value.size());
    w[2] = std::max(w[2], r.fallback.size());
  }
  auto padded = [](const std::string& s, size_t width) { return s + std::string(width - s.size() + 2, ' '); };
  for (const Row& r : rows)
    out << padded(r.key, w[0]) << padded(r.value, w[1]) << padded(r.fallback, w[2]) << r.accepted << "\n";
  out << "\nFile: " << store.url().string() << "\nChange one with: quotadial --set KEY=VALUE\n";
  return 0;
}

int set(const std::filesystem::path& file, const std::string& assignment, std::ostream& out, std::ostream& err) {
  const size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) {
    err << "quotadial: --set needs KEY=VALUE, e.g. --set notificationsEnabled=true\n";
    return 2;
  }
  const std::string key = assignment.substr(0, eq);
  const std::string raw = assignment.substr(eq + 1);
  const Entry* e = entryNamed(key);
  if (!e) {
    err << "quotadial: unknown setting '" << key << "'";
    for (const Entry& other : entries())
      if (asciiLowercase(other.key) == asciiLowercase(key)) err << "; did you mean '" << other.key << "'?";
    err << "\n'quotadial --settings' lists them.\n";
    return 2;
  }
  if (!e->managedBy.empty()) {
    err << "quotadial: " << key << " is set by " << e->managedBy << ", not by --set\n";
    return 2;
  }

  SettingsStore store(file);
  AppSettings next = store.load();
  if (e->kind == Kind::date) {
    const std::string lower = asciiLowercase(raw);
    if (lower == "none" || lower.empty()) {
      next.notificationsSnoozedUntil.reset();
    } else if (auto t = parseISO8601(raw)) {
      next.notificationsSnoozedUntil = *t;
    } else {
      err << "quotadial: " << key << " expects an ISO-8601 time such as 2026-01-31T09:00:00Z, or none\n";
      return 2;
    }
  } else {
    Parsed parsed = parsedValue(*e, raw);
    if (!parsed.error.empty()) {
      err << "quotadial: " << key << " " << parsed.error << " (got '" << raw << "')\n";
      return 2;
    }
    // Through the file's own reading rules: what they would not take back is refused.
    Json j = encoded(next);
    setAt(j, e->key, parsed.value);
    auto decoded = decodeSettings(j.dump());
    if (!decoded || valueAt(encoded(*decoded), e->key) != valueAt(j, e->key)) {
      err << "quotadial: " << key << " cannot be '" << raw << "'\n";
      return 2;
    }
    next = *decoded;
  }
  if (!store.save(next)) {
    err << "quotadial: could not write " << store.url().string() << "\n";
    return 1;
  }
  out << key << " = " << shown(*e, next, encoded(next)) << "\n";
  return 0;
}

}  // namespace qd::SettingsCommand

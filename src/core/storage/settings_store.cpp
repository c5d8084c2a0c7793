#include "storage/settings_store.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <system_error>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"
#include "utilities/json_document.h"

namespace qd {

namespace {

using Json = nlohmann::json;

// 2001-01-01T00:00:00Z in microseconds since 1970.
constexpr int64_t kReferenceDateMicros = int64_t{978307200} * 1'000'000;
// Snooze dates further than about 126 years from 2001 are unreadable; within
// this range the microseconds survive the trip through a double exactly.
constexpr double kMaxReferenceSeconds = 4.0e9;

const Json* member(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

void readBool(const Json& o, const char* key, bool& out) {
  if (const Json* v = member(o, key); v && v->is_boolean()) out = v->get<bool>();
}

std::optional<double> number(const Json* v) {
  if (!v || !v->is_number()) return std::nullopt;
  const double d = v->get<double>();
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}

void readNumber(const Json& o, const char* key, double& out) {
  if (auto d = number(member(o, key))) out = *d;
}

template <class E>
void readEnum(const Json& o, const char* key, E& out) {
  const Json* v = member(o, key);
  if (!v || !v->is_string()) return;
  if (auto e = enumFromRaw<E>(v->get_ref<const std::string&>())) out = *e;
}

void readRetention(const Json& o, int& out) {
  const Json* v = member(o, "retentionDays");
  if (!v || !v->is_number()) return;
  const double d = v->get<double>();
  if (!std::isfinite(d) || d != std::floor(d) || d > 1e6) return;
  // Fewer than one day would make "Prune now" delete the whole history.
  if (d < 1) return;
  out = static_cast<int>(d);
}

void readProviders(const Json& o, std::set<Provider>& out) {
  const Json* v = member(o, "enabledProviders");
  if (!v || !v->is_array()) return;
  std::set<Provider> providers;
  for (const auto& item : *v) {
    if (!item.is_string()) return;
    auto p = enumFromRaw<Provider>(item.get_ref<const std::string&>());
    if (!p) return;
    providers.insert(*p);
  }
  out = std::move(providers);
}

void readThresholds(const Json& o, NotificationThresholds& out) {
  const Json* v = member(o, "notificationThresholds");
  if (!v || !v->is_object()) return;
  NotificationThresholds t;
  const std::pair<const char*, double*> keys[] = {
      {"fiveHourUsageAbove", &t.fiveHourUsageAbove},
      {"fiveHourForecastAbove", &t.fiveHourForecastAbove},
      {"timeToLimitUnderMinutes", &t.timeToLimitUnderMinutes},
      {"weeklyProjectedAbove", &t.weeklyProjectedAbove},
      {"weeklyPaceAbovePoints", &t.weeklyPaceAbovePoints},
  };
  for (const auto& [key, field] : keys) {
    auto d = number(member(*v, key));
    if (!d) return;  // a partly valid record keeps none of its values
    *field = *d;
  }
  out = t;
}

void readSnooze(const Json& o, std::optional<Timestamp>& out) {
  auto d = number(member(o, "notificationsSnoozedUntil"));
  if (!d || std::fabs(*d) > kMaxReferenceSeconds) return;
  out = Timestamp{std::chrono::microseconds{std::llround(*d * 1e6) + kReferenceDateMicros}};
}

}  // namespace

std::optional<std::string> encodeSettings(const AppSettings& s) {
  try {
    Json j = Json::object();
    Json providers = Json::array();
    for (Provider p : allCases<Provider>())
      if (s.enabledProviders.count(p)) providers.push_back(rawValue(p));
    j["enabledProviders"] = std::move(providers);
    j["forecastBasis"] = rawValue(s.forecastBasis);
    j["menuBarDisplayMode"] = rawValue(s.menuBarDisplayMode);
    j["notificationsEnabled"] = s.notificationsEnabled;
    j["notificationThresholds"] = {
        {"fiveHourUsageAbove", s.notificationThresholds.fiveHourUsageAbove},
        {"fiveHourForecastAbove", s.notificationThresholds.fiveHourForecastAbove},
        {"timeToLimitUnderMinutes", s.notificationThresholds.timeToLimitUnderMinutes},
        {"weeklyProjectedAbove", s.notificationThresholds.weeklyProjectedAbove},
        {"weeklyPaceAbovePoints", s.notificationThresholds.weeklyPaceAbovePoints},
    };
    j["notificationCooldownMinutes"] = s.notificationCooldownMinutes;
    if (s.notificationsSnoozedUntil) {
      const int64_t micros = s.notificationsSnoozedUntil->time_since_epoch().count() - kReferenceDateMicros;
      j["notificationsSnoozedUntil"] = static_cast<double>(micros) / 1e6;
    }
    j["extraUsageBudgetGBP"] = s.extraUsageBudgetGBP;
    j["startAtLogin"] = s.startAtLogin;
    j["retentionDays"] = s.retentionDays;
    j["demoMode"] = s.demoMode;
    j["hasOnboarded"] = s.hasOnboarded;
    j["showRemaining"] = s.showRemaining;
    j["currencyGBP"] = s.currencyGBP;
    j["focusedProvider"] = rawValue(s.focusedProvider);
    j["focusedWindow"] = rawValue(s.focusedWindow);
    j["focusAuto"] = s.focusAuto;
    if (s.previousClaudeStatusLineCommand) j["previousClaudeStatusLineCommand"] = *s.previousClaudeStatusLineCommand;
    j["claudeBridgeInstalled"] = s.claudeBridgeInstalled;
    // Non-finite numbers would be written as null, which reads back as the default.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<AppSettings> decodeSettings(std::string_view text) {
  try {
    const auto parsed = parseJsonDocument<Json>(text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const Json& o = *parsed;
    AppSettings s;
    readProviders(o, s.enabledProviders);
    readEnum(o, "forecastBasis", s.forecastBasis);
    readEnum(o, "menuBarDisplayMode", s.menuBarDisplayMode);
    readBool(o, "notificationsEnabled", s.notificationsEnabled);
    readThresholds(o, s.notificationThresholds);
    readNumber(o, "notificationCooldownMinutes", s.notificationCooldownMinutes);
    readSnooze(o, s.notificationsSnoozedUntil);
    readNumber(o, "extraUsageBudgetGBP", s.extraUsageBudgetGBP);
    readBool(o, "startAtLogin", s.startAtLogin);
    readRetention(o, s.retentionDays);
    readBool(o, "demoMode", s.demoMode);
    readBool(o, "hasOnboarded", s.hasOnboarded);
    readBool(o, "showRemaining", s.showRemaining);
    readBool(o, "currencyGBP", s.currencyGBP);
    readEnum(o, "focusedProvider", s.focusedProvider);
    readEnum(o, "focusedWindow", s.focusedWindow);
    readBool(o, "focusAuto", s.focusAuto);
    if (const Json* v = member(o, "previousClaudeStatusLineCommand"); v && v->is_string())
      s.previousClaudeStatusLineCommand = v->get<std::string>();
    readBool(o, "claudeBridgeInstalled", s.claudeBridgeInstalled);
    return s;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

AppSettings mergeSettings(const AppSettings& live, const AppSettings& base, const AppSettings& disk) {
  auto parsed = [](const AppSettings& s) {
    auto text = encodeSettings(s);
    return text ? Json::parse(*text, nullptr, false) : Json();
  };
  Json out = parsed(live);
  const Json from = parsed(base), to = parsed(disk);
  if (!out.is_object() || !from.is_object() || !to.is_object()) return disk;
  for (const auto& [key, value] : to.items())
    if (!from.contains(key) || from[key] != value) out[key] = value;
  // An optional key cleared on disk.
  for (const auto& [key, value] : from.items())
    if (!to.contains(key)) out.erase(key);
  return decodeSettings(out.dump()).value_or(disk);
}

std::filesystem::path SettingsStore::defaultURL() { return LocalFileStore::baseDirectory() / "settings.json"; }

SettingsStore::SettingsStore(std::filesystem::path url) : url_(std::move(url)) {
  std::error_code ec;
  if (url_.has_parent_path()) std::filesystem::create_directories(url_.parent_path(), ec);
  if (url_.parent_path() == LocalFileStore::baseDirectory()) LocalFileStore::ensureDirectories();
}

AppSettings SettingsStore::load() {
  auto bytes = readWholeFile(url_);
  if (!bytes) return AppSettings{};
  if (auto s = decodeSettings(*bytes)) return *s;
  AppLogger::shared().warn("Settings decode failed; using defaults");
  return AppSettings{};
}

bool SettingsStore::save(const AppSettings& settings) {
  auto text = encodeSettings(settings);
  if (!text) return false;
  if (writeFileAtomically(url_, *text)) return true;
  AppLogger::shared().error("Settings save failed: " + writeFailureText(url_, errno));
  return false;
}

}  // namespace qd

#include "forecasting/recent_figures.h"

#include <cmath>
#include <limits>

#include "utilities/json_document.h"

namespace qd::RecentFiguresFile {

namespace {

using Json = nlohmann::json;

constexpr const char* kProviderNames[2] = {"codex", "claude"};
constexpr size_t kMaxModelText = 256;

int64_t micros(Timestamp t) { return t.time_since_epoch().count(); }
Timestamp fromMicros(int64_t us) { return Timestamp(std::chrono::microseconds(us)); }

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::optional<int64_t> integer(const Json& j) {
  if (j.is_number_unsigned()) {
    const auto v = j.get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (j.is_number_integer()) return j.get<int64_t>();
  return std::nullopt;
}

// A stamp from 1970 up to a little after `now`.
std::optional<Timestamp> stamp(const Json& j, Timestamp now) {
  const auto us = integer(j);
  if (!us || *us < 0) return std::nullopt;
  const Timestamp t = fromMicros(*us);
  if (secondsBetween(now, t) > kFutureSlackSeconds) return std::nullopt;
  return t;
}

// Day keys as the tables hold them: ten printable ASCII characters.
bool isDayKey(std::string_view k) {
  if (k.size() != 10) return false;
  for (char c : k)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) return false;
  return true;
}

std::optional<int> hourKey(std::string_view k) {
  if (k.empty() || k.size() > 2) return std::nullopt;
  int h = 0;
  for (char c : k) {
    if (c < '0' || c > '9') return std::nullopt;
    h = h * 10 + (c - '0');
  }
  return h < 24 ? std::optional<int>(h) : std::nullopt;
}

Json tablesJson(const UsageTables& t) {
  Json out = Json::object();
  for (size_t p = 0; p < 2; ++p) {
    Json hourly = Json::object();
    for (const auto& [h, n] : t.hourlyTokens[p]) hourly[std::to_string(h)] = n;
    out[kProviderNames[p]] = {{"dailyTokens", t.dailyTokens[p]},
                              {"hourlyTokens", std::move(hourly)},
                              {"dailyCostUSD", t.dailyCostUSD[p]},
                              {"fallbackModels", t.fallbackModels[p]}};
  }
  return out;
}

bool readTables(const Json& j, UsageTables& t) {
  if (!j.is_object()) return false;
  for (size_t p = 0; p < 2; ++p) {
    auto it = j.find(kProviderNames[p]);
    if (it == j.end() || !it->is_object()) return false;
    const Json& table = *it;
    const auto daily = table.find("dailyTokens"), hourly = table.find("hourlyTokens"),
               cost = table.find("dailyCostUSD"), models = table.find("fallbackModels");
    if (daily == table.end() || !daily->is_object() || hourly == table.end() || !hourly->is_object() ||
        cost == table.end() || !cost->is_object() || models == table.end() || !models->is_array())
      return false;
    for (const auto& [day, n] : daily->items()) {
      const auto v = integer(n);
      if (!isDayKey(day) || !v) return false;
      t.dailyTokens[p][day] = *v;
    }
    for (const auto& [hour, n] : hourly->items()) {
      const auto h = hourKey(hour);
      const auto v = integer(n);
      if (!h || !v) return false;
      t.hourlyTokens[p][*h] = *v;
    }
    for (const auto& [day, usd] : cost->items()) {
      if (!isDayKey(day) || !usd.is_number() || !std::isfinite(usd.get<double>())) return false;
      t.dailyCostUSD[p][day] = usd.get<double>();
    }
    for (const auto& m : *models) {
      if (!m.is_string() || m.get_ref<const std::string&>().size() > kMaxModelText) return false;
      t.fallbackModels[p].insert(m.get<std::string>());
    }
  }
  return true;
}

}  // namespace

std::string encode(const RecentFigures& f) {
  Json rolling = Json::array();
  for (const auto& r : f.rolling) rolling.push_back({r.minute, micros(r.at), r.value});
  Json model = nullptr;
  if (f.model) {
    model = {{"checkedAt", micros(f.model->checkedAt)}};
    if (f.model->found) {
      model["id"] = f.model->found->id;
      model["at"] = micros(f.model->found->at);
    }
  }
  Json doc = {{"version", kVersion},
              {"key", f.key},
              {"scannedAt", f.scannedAt ? Json(micros(*f.scannedAt)) : Json(nullptr)},
              {"tables", tablesJson(f.tables)},
              {"rolling", std::move(rolling)},
              {"model", std::move(model)}};
  return dump(doc) + "\n";
}

std::optional<RecentFigures> decode(std::string_view json, std::string_view key, Timestamp now) {
  const auto doc = parseJsonDocument(json);
  if (!doc || !doc->is_object()) return std::nullopt;
  const Json& d = *doc;
  const auto version = d.find("version"), storedKey = d.find("key"), scanned = d.find("scannedAt"),
             tables = d.find("tables"), rolling = d.find("rolling"), model = d.find("model");
  if (version == d.end() || integer(*version) != kVersion) return std::nullopt;
  // The key as the writer stored it: text that is not UTF-8 was replaced on the way.
  if (storedKey == d.end() || !storedKey->is_string() || dump(*storedKey) != dump(Json(std::string(key))))
    return std::nullopt;

  RecentFigures f;
  f.key = key;
  if (scanned != d.end() && !scanned->is_null()) {
    f.scannedAt = stamp(*scanned, now);
    if (!f.scannedAt) return std::nullopt;
  }
  if (tables == d.end() || !readTables(*tables, f.tables)) return std::nullopt;

  if (rolling == d.end() || !rolling->is_array()) return std::nullopt;
  for (const auto& r : *rolling) {
    if (!r.is_array() || r.size() != 3) return std::nullopt;
    const auto minute = integer(r[0]), value = integer(r[2]);
    const auto at = stamp(r[1], now);
    // Minutes within the range of a microsecond timestamp.
    if (!minute || *minute < 0 || *minute > std::numeric_limits<int64_t>::max() / 60'000'000 || !at || !value ||
        *value < 0)
      return std::nullopt;
    f.rolling.push_back({*minute, *at, *value});
  }

  if (model == d.end()) return std::nullopt;
  if (!model->is_null()) {
    if (!model->is_object()) return std::nullopt;
    const auto checked = model->find("checkedAt"), id = model->find("id"), at = model->find("at");
    if (checked == model->end()) return std::nullopt;
    RecentFigures::ModelLookup lookup;
    const auto checkedAt = stamp(*checked, now);
    if (!checkedAt) return std::nullopt;
    lookup.checkedAt = *checkedAt;
    if ((id == model->end()) != (at == model->end())) return std::nullopt;
    if (id != model->end()) {
      // The line's own time, as the transcript gave it.
      const auto seen = integer(*at);
      if (!id->is_string() || id->get_ref<const std::string&>().empty() ||
          id->get_ref<const std::string&>().size() > kMaxModelText || !seen)
        return std::nullopt;
      lookup.found = UsageHistory::ModelSighting{id->get<std::string>(), fromMicros(*seen)};
    }
    f.model = std::move(lookup);
  }
  return f;
}

}  // namespace qd::RecentFiguresFile

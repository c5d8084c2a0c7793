#include "forecasting/claude_effort_calibration.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "storage/atomic_file.h"
#include "utilities/text.h"
#include "utilities/json_document.h"

namespace qd::ClaudeEffortCalibration {

namespace {

void save(const std::filesystem::path& file, const Store& store) { (void)writeFileAtomically(file, encode(store)); }

}  // namespace

std::string encode(const Store& store) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  nlohmann::ordered_json byEffort = nlohmann::ordered_json::object();
  for (const auto& [effort, rate] : store.byEffort) {
    nlohmann::ordered_json r;
    r["pctPerToken"] = std::isfinite(rate.pctPerToken) ? rate.pctPerToken : 0.0;
    r["samples"] = rate.samples;
    byEffort[effort] = r;
  }
  j["byEffort"] = byEffort;
  if (store.learnedUpTo) j["learnedUpTo"] = formatISO8601(*store.learnedUpTo);
  // Effort levels come from another program's file: never let bad UTF-8 throw.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<Store> decode(std::string_view json) {
  const auto parsed = parseJsonDocument(json);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const nlohmann::json& j = *parsed;
  Store store;
  auto effort = j.find("byEffort");
  if (effort == j.end() || !effort->is_object()) return std::nullopt;
  for (const auto& [level, rate] : effort->items()) {
    if (!rate.is_object()) return std::nullopt;
    auto p = rate.find("pctPerToken"), n = rate.find("samples");
    if (p == rate.end() || n == rate.end() || !p->is_number() || !n->is_number_integer()) return std::nullopt;
    store.byEffort[level] = Rate{p->get<double>(), n->get<int64_t>()};
  }
  if (auto up = j.find("learnedUpTo"); up != j.end() && !up->is_null()) {
    if (!up->is_string()) return std::nullopt;
    store.learnedUpTo = parseISO8601(up->get_ref<const std::string&>());
    if (!store.learnedUpTo) return std::nullopt;
  }
  return store;
}

Store load(const std::filesystem::path& file) {
  const auto bytes = readWholeFile(file);
  if (!bytes) return Store{};
  return decode(*bytes).value_or(Store{});
}

void learn(const std::vector<UsageSnapshot>& snaps, const ClaudeStageContext& context) {
  std::vector<const UsageSnapshot*> candidates;
  for (const auto& s : snaps)
    if (s.provider == Provider::claude && s.windowKind == WindowKind::sevenDay &&
        s.source == SnapshotSource::claudeStatusLine && s.effortLevel)
      candidates.push_back(&s);
  if (candidates.size() < 2) return;
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const UsageSnapshot* a, const UsageSnapshot* b) { return a->timestamp < b->timestamp; });
  const UsageSnapshot& a = *candidates[candidates.size() - 2];
  const UsageSnapshot& b = *candidates.back();

  Store store = load(context.ratesFile());
  // `learnedUpTo` is kept in whole seconds: compare to the second.
  if (store.learnedUpTo && floorToSecond(b.timestamp) <= floorToSecond(*store.learnedUpTo)) return;

  const double rise = b.usedPercent - a.usedPercent;
  if (asciiLowercase(*a.effortLevel) == asciiLowercase(*b.effortLevel) && a.resetAt == b.resetAt && rise >= 1.0) {
    const std::optional<int64_t> sinceA = context.tokensSince ? context.tokensSince(a.timestamp) : std::optional<int64_t>(0);
    const std::optional<int64_t> sinceB = context.tokensSince ? context.tokensSince(b.timestamp) : std::optional<int64_t>(0);
    // Counts still being made: examine this pair again on a later call instead of
    // consuming it without a measurement.
    if (!sinceA || !sinceB) return;
    const int64_t tokens = *sinceA - *sinceB;
    if (tokens >= 1) {
      const double m = rise / static_cast<double>(tokens);
      const std::string effort = asciiLowercase(*a.effortLevel);
      auto it = store.byEffort.find(effort);
      if (it != store.byEffort.end() && it->second.samples != 0)
        it->second = Rate{0.35 * m + 0.65 * it->second.pctPerToken, it->second.samples + 1};
      else
        store.byEffort[effort] = Rate{m, 1};
    }
  }
  store.learnedUpTo = floorToSecond(b.timestamp);
  save(context.ratesFile(), store);
}

std::optional<double> measuredScale(std::optional<std::string_view> current, std::optional<std::string_view> recent,
                                    const ClaudeStageContext& context) {
  if (!current || !recent) return std::nullopt;
  const std::string c = asciiLowercase(*current), r = asciiLowercase(*recent);
  if (c == r) return std::nullopt;
  const Store store = load(context.ratesFile());
  auto ci = store.byEffort.find(c), ri = store.byEffort.find(r);
  if (ci == store.byEffort.end() || ri == store.byEffort.end()) return std::nullopt;
  if (ci->second.samples <= 2 || ri->second.samples <= 2 || !(ri->second.pctPerToken > 0)) return std::nullopt;
  return ci->second.pctPerToken / ri->second.pctPerToken;
}

}  // namespace qd::ClaudeEffortCalibration

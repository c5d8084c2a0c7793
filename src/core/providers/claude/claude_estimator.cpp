#include "providers/claude/claude_estimator.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

#include "forecasting/claude_effort_calibration.h"
#include "forecasting/scenario_multipliers.h"
#include "storage/atomic_file.h"
#include "utilities/checked_rounding.h"
#include "utilities/json_document.h"
#include "utilities/text.h"

namespace qd::ClaudeEstimator {

namespace {

constexpr double kLiveFreshSeconds = 1200;
constexpr double kMaxPercent = 140;


nlohmann::ordered_json encodeWindow(const WindowAnchor& w) {
  nlohmann::ordered_json j;
  j["usedPercent"] = w.usedPercent;
  j["pctPerToken"] = w.pctPerToken;
  j["resetAt"] = formatISO8601(w.resetAt);
  j["windowDurationMins"] = w.windowDurationMins;
  j["capturedAt"] = formatISO8601(w.capturedAt);
  return j;
}

std::optional<WindowAnchor> decodeWindow(const nlohmann::json& j) {
  if (!j.is_object()) return std::nullopt;
  auto number = [&j](const char* key) -> std::optional<double> {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number()) return std::nullopt;
    const double v = it->get<double>();
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
  };
  auto time = [&j](const char* key) -> std::optional<Timestamp> {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return parseISO8601(it->get_ref<const std::string&>());
  };
  const auto used = number("usedPercent"), rate = number("pctPerToken"), mins = number("windowDurationMins");
  const auto reset = time("resetAt"), captured = time("capturedAt");
  if (!used || !rate || !mins || !reset || !captured) return std::nullopt;
  return WindowAnchor{*used, *rate, *reset, *mins, *captured};
}

void saveAnchor(const std::filesystem::path& file, const Anchor& anchor) {
  (void)writeFileAtomically(file, encodeAnchor(anchor));
}

UsageSnapshot estimate(WindowKind kind, double usedPercent, Timestamp resetAt, double windowDurationMins, Timestamp now) {
  UsageSnapshot s;
  s.provider = Provider::claude;
  s.timestamp = now;
  s.windowKind = kind;
  s.usedPercent = std::clamp(std::isfinite(usedPercent) ? usedPercent : 0.0, 0.0, kMaxPercent);
  s.remainingPercent = std::max(0.0, 100 - s.usedPercent);
  s.resetAt = resetAt;
  s.windowDurationMins = windowDurationMins;
  s.limitName = std::string(rawValue(kind));
  s.source = SnapshotSource::claudeTranscript;
  s.sourceConfidence = SourceConfidence::low;
  return s;
}

// A percentage from a reading or the anchor file, fraction dropped, for the log.
std::string wholePercent(double value) {
  const auto whole = truncatedWithin(value, -1'000'000'000, 1'000'000'000);
  return whole ? std::to_string(*whole) : "?";
}

bool isFreshLive(const UsageSnapshot& s, WindowKind kind, Timestamp now) {
  return s.provider == Provider::claude && s.windowKind == kind && isLiveSource(s.source) &&
         secondsBetween(s.timestamp, now) < kLiveFreshSeconds;
}

}  // namespace

bool isLiveSource(std::string_view source) {
  return source == SnapshotSource::claudeStatusLine || source == SnapshotSource::claudeOAuth;
}

std::string encodeAnchor(const Anchor& anchor) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (anchor.fiveHour) j["fiveHour"] = encodeWindow(*anchor.fiveHour);
  if (anchor.sevenDay) j["sevenDay"] = encodeWindow(*anchor.sevenDay);
  return j.dump();
}

std::optional<Anchor> decodeAnchor(std::string_view json) {
  const auto parsed = parseJsonDocument(json);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const nlohmann::json& j = *parsed;
  Anchor anchor;
  for (const auto& [key, member] : {std::pair{"fiveHour", &anchor.fiveHour}, std::pair{"sevenDay", &anchor.sevenDay}}) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) continue;
    *member = decodeWindow(*it);
    if (!*member) return std::nullopt;
  }
  return anchor;
}

std::optional<Anchor> loadAnchor(const std::filesystem::path& file) {
  const auto bytes = readWholeFile(file);
  if (!bytes) return std::nullopt;
  return decodeAnchor(*bytes);
}

void calibrate(const UsageSnapshot& s, const ClaudeStageContext& context) {
  if (!isLiveSource(s.source) || !s.resetAt || !s.windowDurationMins || !(*s.windowDurationMins > 0) ||
      !(s.usedPercent > 0))
    return;
  // `weekly` is a per-model window (Sonnet only): its percentage is not the
  // overall week's, and calibrating `sevenDay` from it would flip the anchor
  // between the two figures at every reading.
  if (s.windowKind != WindowKind::fiveHour && s.windowKind != WindowKind::sevenDay) return;
  Anchor anchor = loadAnchor(context.anchorFile()).value_or(Anchor{});
  std::optional<WindowAnchor>* slot = s.windowKind == WindowKind::fiveHour ? &anchor.fiveHour : &anchor.sevenDay;
  const std::optional<WindowAnchor> existing = *slot;
  // Times in the file have whole seconds, so "as old as the anchor" is judged to the second.
  if (existing && floorToSecond(existing->capturedAt) >= floorToSecond(s.timestamp)) return;
  if (existing && (s.usedPercent <= existing->usedPercent - 12 ||
                   secondsBetween(existing->resetAt, *s.resetAt) > 600)) {
    if (context.logInfo) {
      std::ostringstream line;
      line << "Claude " << rawValue(s.windowKind) << " reset detected: "
           << wholePercent(existing->usedPercent) << "% \u2192 " << wholePercent(s.usedPercent)
           << "%; recalibrating.";
      context.logInfo(line.str());
    }
  }
  const Timestamp windowStart = addSeconds(*s.resetAt, -*s.windowDurationMins * 60);
  const int64_t tokens = context.tokens(windowStart);
  if (tokens < 1) return;
  *slot = WindowAnchor{s.usedPercent, s.usedPercent / static_cast<double>(tokens), *s.resetAt,
                       *s.windowDurationMins, floorToSecond(s.timestamp)};
  saveAnchor(context.anchorFile(), anchor);
}

std::vector<UsageSnapshot> estimatedSnapshots(const ClaudeStageContext& context, Timestamp now) {
  std::vector<UsageSnapshot> out;
  const auto anchor = loadAnchor(context.anchorFile());
  if (!anchor) return out;
  if (const auto& a = anchor->fiveHour) {
    const double seconds = a->windowDurationMins * 60;
    const int64_t tokens = context.tokens(addSeconds(now, -seconds));
    out.push_back(estimate(WindowKind::fiveHour, a->pctPerToken * static_cast<double>(tokens), addSeconds(now, seconds),
                           a->windowDurationMins, now));
  }
  if (const auto& a = anchor->sevenDay) {
    double used;
    Timestamp reset;
    if (now < a->resetAt) {
      used = a->usedPercent + a->pctPerToken * static_cast<double>(context.tokens(a->capturedAt));
      reset = a->resetAt;
    } else {
      const double d = a->windowDurationMins * 60;
      if (!(d > 0)) return out;
      const double periods = std::floor(secondsBetween(a->resetAt, now) / d) + 1;
      reset = addSeconds(a->resetAt, d * periods);
      used = a->pctPerToken * static_cast<double>(context.tokens(addSeconds(reset, -d)));
    }
    out.push_back(estimate(WindowKind::sevenDay, used, reset, a->windowDurationMins, now));
  }
  return out;
}

std::vector<UsageSnapshot> estimatesToAdd(const std::vector<UsageSnapshot>& snapshots, const ClaudeStageContext& context,
                                          Timestamp now) {
  for (WindowKind kind : {WindowKind::fiveHour, WindowKind::sevenDay}) {
    auto it = std::find_if(snapshots.begin(), snapshots.end(),
                           [&](const UsageSnapshot& s) { return isFreshLive(s, kind, now); });
    if (it != snapshots.end()) calibrate(*it, context);
  }
  std::vector<UsageSnapshot> estimates = estimatedSnapshots(context, now);
  std::vector<UsageSnapshot> added;
  for (auto& e : estimates) {
    const bool covered = std::any_of(snapshots.begin(), snapshots.end(),
                                     [&](const UsageSnapshot& s) { return isFreshLive(s, e.windowKind, now); });
    if (!covered) added.push_back(std::move(e));
  }
  return added;
}

std::vector<UsageSnapshot> augmentClaude(std::vector<UsageSnapshot> snapshots, const ClaudeStageContext& context,
                                         Timestamp now) {
  auto added = estimatesToAdd(snapshots, context, now);
  std::move(added.begin(), added.end(), std::back_inserter(snapshots));
  return snapshots;
}

std::optional<CurrentSettings> mergingCurrentModel(std::optional<CurrentSettings> meta,
                                                   const std::optional<std::pair<std::string, Timestamp>>& transcript) {
  if (!transcript) return meta;
  const bool newer = !meta || !meta->capturedAt || transcript->second > *meta->capturedAt;
  if (!newer) return meta;
  CurrentSettings merged = meta.value_or(CurrentSettings{});
  if (merged.modelId == transcript->first) return merged;
  merged.modelId = transcript->first;
  merged.modelDisplayName = displayName(transcript->first);
  return merged;
}

std::string displayName(std::string_view id) {
  constexpr std::string_view kOneMillion = "[1m]";
  const bool oneMillion = id.size() >= kOneMillion.size() && id.substr(id.size() - kOneMillion.size()) == kOneMillion;
  if (oneMillion) id.remove_suffix(kOneMillion.size());
  if (id.substr(0, 7) == "claude-") id.remove_prefix(7);
  std::vector<std::string> words, numbers;
  auto flush = [&] {
    if (numbers.empty()) return;
    std::string joined;
    for (size_t i = 0; i < numbers.size(); ++i) joined += (i ? "." : "") + numbers[i];
    words.push_back(joined);
    numbers.clear();
  };
  size_t start = 0;
  while (start <= id.size()) {
    size_t end = id.find('-', start);
    if (end == std::string_view::npos) end = id.size();
    const std::string_view part = id.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    const bool numeric = std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (numeric) {
      if (part.size() < 8) numbers.emplace_back(part);
      continue;
    }
    flush();
    std::string word(part);
    word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    words.push_back(word);
  }
  flush();
  std::string name;
  for (size_t i = 0; i < words.size(); ++i) name += (i ? " " : "") + words[i];
  if (oneMillion) name += " (1M context)";
  return name;
}

double claudeEffortScale(Provider provider, const std::vector<UsageSnapshot>& snapshots,
                         const std::optional<CurrentSettings>& current, const ClaudeStageContext& context) {
  if (provider != Provider::claude || !current || !current->effortLevel) return 1.0;
  const UsageSnapshot* recent = nullptr;
  for (const auto& s : snapshots) {
    if (s.provider != Provider::claude || s.source != SnapshotSource::claudeStatusLine || !s.effortLevel) continue;
    if (!recent || s.timestamp > recent->timestamp) recent = &s;
  }
  if (!recent) return 1.0;
  const std::string now = asciiLowercase(*current->effortLevel), before = asciiLowercase(*recent->effortLevel);
  if (now == before) return 1.0;
  if (auto measured = ClaudeEffortCalibration::measuredScale(now, before, context)) return *measured;
  const auto& table = ScenarioMultipliers::claudeEffort();
  const auto a = ScenarioMultipliers::lookup(table, now), b = ScenarioMultipliers::lookup(table, before);
  if (a && b && *b > 0) return *a / *b;
  return 1.0;
}

}  // namespace qd::ClaudeEstimator

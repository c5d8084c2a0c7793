// The logic checks of the Claude estimator: model display names and the merge of
// the bridge's current settings with the newest transcript model.
#include "app/diagnostic_modes.h"
#include "providers/claude/claude_estimator.h"

namespace qd {

namespace {

LogicCheck nameCheck(const char* name, const char* id, const char* expected) {
  return [=] { return LogicCheckOutcome{ClaudeEstimator::displayName(id) == expected, name}; };
}

Timestamp at(const char* iso) { return parseISO8601(iso).value_or(Timestamp{}); }

ClaudeCurrentSettings bridgeMeta() {
  ClaudeCurrentSettings meta;
  meta.modelId = "claude-sonnet-4-5";
  meta.modelDisplayName = "Sonnet 4.5";
  meta.effortLevel = "high";
  meta.capturedAt = at("2026-01-01T10:00:00Z");
  return meta;
}

}  // namespace

std::vector<LogicCheck> claudeEstimatorLogicChecks() {
  std::vector<LogicCheck> checks;
  checks.push_back(nameCheck("displayName fable", "claude-fable-5", "Fable 5"));
  checks.push_back(nameCheck("displayName fable 1m", "claude-fable-5[1m]", "Fable 5 (1M context)"));
  checks.push_back(nameCheck("displayName opus", "claude-opus-4-8", "Opus 4.8"));
  checks.push_back(nameCheck("displayName drops date stamp", "claude-haiku-4-5-20251001", "Haiku 4.5"));
  checks.push_back([] {
    const auto merged = ClaudeEstimator::mergingCurrentModel(
        bridgeMeta(), std::make_pair(std::string("claude-opus-4-8"), at("2026-01-01T10:05:00Z")));
    return LogicCheckOutcome{merged && merged->modelId == "claude-opus-4-8" && merged->modelDisplayName == "Opus 4.8",
                             "merge prefers fresher transcript model"};
  });
  checks.push_back([] {
    const auto merged = ClaudeEstimator::mergingCurrentModel(
        bridgeMeta(), std::make_pair(std::string("claude-opus-4-8"), at("2026-01-01T10:05:00Z")));
    return LogicCheckOutcome{merged && merged->effortLevel == "high", "merge keeps bridge effort"};
  });
  checks.push_back([] {
    const auto merged = ClaudeEstimator::mergingCurrentModel(
        bridgeMeta(), std::make_pair(std::string("claude-opus-4-8"), at("2026-01-01T09:55:00Z")));
    return LogicCheckOutcome{merged && merged->modelId == "claude-sonnet-4-5", "merge keeps fresher meta model"};
  });
  return checks;
}

}  // namespace qd

#pragma once
// The snapshot corpus shared by the store benchmark and the corpus generator.
#include <random>
#include <string>

#include "models/usage_snapshot.h"
#include "storage/json_lines.h"

namespace qd::bench {

// A realistic mix: both providers, both windows, the optional fields the live sources fill.
// Line i is stamped `base` + 30 s × i.
inline constexpr double kCorpusBase = 1796000000.0;
inline UsageSnapshot sample(std::mt19937_64& rng, int i, double base = kCorpusBase) {
  UsageSnapshot s;
  const bool claude = i % 2 == 1;
  s.provider = claude ? Provider::claude : Provider::codex;
  s.timestamp = fromUnixSeconds(base + i * 30.0);
  s.windowKind = (i / 2) % 2 ? WindowKind::sevenDay : WindowKind::fiveHour;
  s.usedPercent = std::uniform_real_distribution<double>(0, 100)(rng);
  s.remainingPercent = 100 - s.usedPercent;
  s.resetAt = fromUnixSeconds(base + 18000.0 + i * 30.0);
  s.windowDurationMins = s.windowKind == WindowKind::fiveHour ? 300 : 10080;
  if (claude) {
    s.limitId = s.windowKind == WindowKind::fiveHour ? "five_hour" : "seven_day";
    s.modelId = "claude-opus-4-1-20250805";
    s.modelDisplayName = "Opus 4.1";
    s.effortLevel = "high";
    s.thinkingEnabled = true;
    s.planType = "max";
    s.source = "claude.statusline";
    s.sourceConfidence = SourceConfidence::high;
  } else {
    s.limitId = "codex";
    s.limitName = "Codex / GPT-5";
    s.modelId = "gpt-5-codex";
    s.effortLevel = "medium";
    s.speedMode = "default";
    s.planType = "pro";
    s.source = "codex.app-server";
    s.sourceConfidence = SourceConfidence::high;
  }
  return s;
}

// `lines` snapshot lines, each ending in a line feed.
inline std::string corpus(std::mt19937_64& rng, int lines, int first = 0, double base = kCorpusBase) {
  std::string text;
  for (int i = first; i < first + lines; ++i) {
    text += *JSONLines::encodeLine(sample(rng, i, base));
    text += '\n';
  }
  return text;
}

}  // namespace bench

#pragma once
#include <string>

#include "models/timestamp.h"

namespace qd {

class UsageHistory;

// The "--usagetest" report: for Codex and Claude Code, the tokens of the last
// seven local days, the average active day and the seven-day spend, then the
// busiest four-hour block of the day.
[[nodiscard]] std::string usageTestReport(const UsageHistory& history, Timestamp now);

// Builds a fresh history on the user's transcripts, scans synchronously and
// prints the report to standard output. Returns the exit status (0).
int runUsageTestMode();

}  // namespace qd

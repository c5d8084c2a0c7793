#pragma once
#include <ostream>
#include <string>

#include "models/timestamp.h"

namespace qd {

class UsageHistory;
struct CommandLineOptions;

// The "--usagetest" report: for Codex and Claude Code, the tokens of the last
// seven local days, the average active day and the seven-day spend, then the
// busiest four-hour block of the day.
[[nodiscard]] std::string usageTestReport(const UsageHistory& history, Timestamp now);

// "--usagetest": builds a fresh history on the user's transcripts, scans them
// synchronously and prints the report. Returns the exit status (0).
int runUsageTest(const CommandLineOptions& options, std::ostream& out);

}  // namespace qd

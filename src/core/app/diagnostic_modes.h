#pragma once
// The diagnostic modes that print a report to standard output and exit.
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace qd {

// One check of the logic self-test: its printed name (which may carry a measured
// figure) and whether it passed.
struct LogicCheckOutcome {
  bool passed = false;
  std::string name;
};
using LogicCheck = std::function<LogicCheckOutcome()>;

namespace DiagnosticModes {

// "--logictest": every check as "PASS · name" / "FAIL · name", a blank line and the
// verdict; 0 when all passed, else 1.
int runLogicTest(const CommandLineOptions& options, std::ostream& out);
// "--selftest": the forecasting code on the demo data of both providers; 0.
int runSelfTest(const CommandLineOptions& options, std::ostream& out);
// "--dumpstore": every stored snapshot, oldest first; 0.
int runDumpStore(const CommandLineOptions& options, std::ostream& out);

// The checks in printed order.
[[nodiscard]] std::vector<LogicCheck> logicChecks();

}  // namespace DiagnosticModes

// The checks of the Claude estimator's model names and settings merge, in
// printed order; defined beside the estimator.
[[nodiscard]] std::vector<LogicCheck> claudeEstimatorLogicChecks();

}  // namespace qd

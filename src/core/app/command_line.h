#pragma once
// The command line: flag parsing, the diagnostic modes that print and exit, and
// the two terminal run modes (`--status`, `--headless`).
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd {

struct CommandLineOptions {
  // Every argument after the program name, as given; "the process arguments contain X" reads these.
  std::vector<std::string> arguments;

  // The first diagnostic mode present in checking order ("--bundletest", ... "--selftest"), if any.
  std::optional<std::string> diagnosticMode;
  bool demo = false;
  bool preview = false;
  bool capture = false;
  bool startSettings = false;
  bool toggle = false;  // ask a running copy to show or hide its screens
  double captureHeight = 720;
  // With "--preview": write the window to this PNG after the first refresh, then exit.
  std::optional<std::string> renderPng;
  bool status = false;
  bool json = false;
  bool headless = false;
  bool version = false;
  bool help = false;
  // `--format NAME` (status-bar line; implies --status) and `--follow` (keep printing).
  std::optional<std::string> format;
  bool follow = false;
  // `--settings` lists the settings; `--set KEY=VALUE` writes one.
  bool listSettings = false;
  std::optional<std::string> setAssignment;

  [[nodiscard]] bool contains(std::string_view flag) const;
};

struct CommandLineParse {
  CommandLineOptions options;
  // The first argument that is not a known flag, when there is one.
  std::optional<std::string> unknownArgument;
};

namespace CommandLine {

// Reads flags as whole arguments anywhere on the line, in any order. The
// toolkit's own options ("-platform offscreen", "-style=fusion") pass through.
[[nodiscard]] CommandLineParse parse(const std::vector<std::string>& arguments);

// Runs the mode the options ask for (help, version, a diagnostic mode, `--status`
// or `--headless`) and returns its exit status; nothing when the options ask
// for the desktop run.
[[nodiscard]] std::optional<int> runIfRequested(const CommandLineOptions& options, std::ostream& out,
                                                std::ostream& err);

// The terminal report of what the popover would show, then exit status 0.
int runStatus(const CommandLineOptions& options, std::ostream& out);
// The application core without a display until SIGINT or SIGTERM; exit status 0.
int runHeadless(const CommandLineOptions& options, std::ostream& out);

[[nodiscard]] std::string helpText();

// The flag of ours that `word` most likely misspells (at most two edits away), if any.
[[nodiscard]] std::optional<std::string> closestFlag(std::string_view word);

}  // namespace CommandLine
}  // namespace qd

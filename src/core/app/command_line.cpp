#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ostream>

#include "app/claude_modes.h"
#include "app/diagnostic_modes.h"
#include "app/settings_command.h"
#include "app/status_bar_mode.h"
#include "storage/settings_store.h"
#include "app/usage_test_mode.h"

namespace qd {

bool CommandLineOptions::contains(std::string_view flag) const {
  return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

namespace CommandLine {

namespace {

// A modal flag and what runs it.
struct DiagnosticMode {
  std::string_view flag;
  int (*run)(const CommandLineOptions&, std::ostream& out);
};

// In checking order: the first one present runs, and only it.
constexpr std::array<DiagnosticMode, 7> kDiagnosticModes{{
    {"--bundletest", &ClaudeModes::runBundleTest},
    {"--install-claude-bridge", &ClaudeModes::runInstallClaudeBridge},
    {"--logictest", &DiagnosticModes::runLogicTest},
    {"--oauthtest", &ClaudeModes::runOAuthTest},
    {"--usagetest", &runUsageTest},
    {"--dumpstore", &DiagnosticModes::runDumpStore},
    {"--selftest", &DiagnosticModes::runSelfTest},
}};

// Flags of the desktop run that take no value and change nothing here.
constexpr std::array<std::string_view, 3> kDesktopFlags{"--preview", "--capture", "--start-settings"};

// A decimal number with nothing before or after it.
std::optional<double> wholeNumber(const std::string& text) {
  double value = 0;
  const char* begin = text.data();
  const char* end = begin + text.size();
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

CommandLineParse parse(const std::vector<std::string>& arguments) {
  CommandLineParse result;
  CommandLineOptions& o = result.options;
  o.arguments = arguments;
  for (const DiagnosticMode& mode : kDiagnosticModes) {
    if (o.contains(mode.flag)) {
      o.diagnosticMode = std::string(mode.flag);
      break;
    }
  }
  o.demo = o.contains("--demo");
  o.preview = o.contains("--preview");
  o.capture = o.contains("--capture");
  o.startSettings = o.contains("--start-settings");
  o.toggle = o.contains("--toggle");
  o.status = o.contains("--status");
  o.json = o.contains("--json");
  o.headless = o.contains("--headless");
  o.version = o.contains("--version") || o.contains("-V");
  o.help = o.contains("--help") || o.contains("-h");

  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--render-png") {
      // The value is the path; without one the flag is an error like any unknown word.
      if (i + 1 < arguments.size()) {
        o.renderPng = arguments[++i];
        continue;
      }
    }
    // Options with a value; a missing value is kept as empty text and refused when run.
    if (arg == "--format" || arg == "--set") {
      std::string value = i + 1 < arguments.size() ? arguments[++i] : std::string();
      (arg == "--format" ? o.format : o.setAssignment) = std::move(value);
      continue;
    }
    if (arg == "--follow" || arg == "--settings") {
      (arg == "--follow" ? o.follow : o.listSettings) = true;
      continue;
    }
    if (arg == "--capture-height") {
      // The value is optional: a missing or non-numeric one leaves the height at 720.
      if (i + 1 < arguments.size()) {
        if (auto h = wholeNumber(arguments[i + 1])) {
          o.captureHeight = *h;
          ++i;
        }
      }
      continue;
    }
    const bool known =
        std::any_of(kDiagnosticModes.begin(), kDiagnosticModes.end(), [&](const auto& m) { return m.flag == arg; }) ||
        std::find(kDesktopFlags.begin(), kDesktopFlags.end(), arg) != kDesktopFlags.end() || arg == "--demo" ||
        arg == "--toggle" || arg == "--status" || arg == "--json" || arg == "--headless" || arg == "--version" ||
        arg == "-V" || arg == "--help" || arg == "-h";
    if (!known && !result.unknownArgument) result.unknownArgument = arg;
  }
  return result;
}

std::string helpText() {
  return "Usage: quotadial [OPTION]...\n"
         "A range meter for your AI coding agents (Codex and Claude Code).\n"
         "\n"
         "Without options, starts in the system tray when a display is available,\n"
         "otherwise prints the status report (--status).\n"
         "\n"
         "Run modes:\n"
         "  --status            print what the popover would show, then exit\n"
         "  --status --json     the same as one JSON object (keys in README.md)\n"
         "  --status --format waybar|i3blocks|plain\n"
         "                      one line for a status bar (Waybar's JSON, i3blocks'\n"
         "                      Pango markup, or the bare text)\n"
         "  --follow            with --format: keep running and print a new line\n"
         "                      whenever it changes; ends when the output is closed\n"
         "  --headless          run without a display until SIGINT or SIGTERM,\n"
         "                      recording usage and sending alerts (when switched on:\n"
         "                      --set notificationsEnabled=true)\n"
         "  --demo              use synthetic demo data for this run (not saved)\n"
         "  --preview           open the popover in an ordinary window\n"
         "  --capture           with --preview: centre the window on the first screen\n"
         "  --capture-height N  popover height in pixels (default 720)\n"
         "  --start-settings    open the popover on the settings screen\n"
         "  --toggle            show or hide the screens of a running copy\n"
         "  --render-png PATH   with --preview: save the window as a PNG after the first refresh, then exit\n"
         "\n"
         "Diagnostic modes (print a report and exit):\n"
         "  --selftest          forecast the demo data and print it\n"
         "  --logictest         run the built-in logic checks\n"
         "  --dumpstore         print every stored snapshot\n"
         "  --usagetest         scan the local transcripts and print token figures\n"
         "  --oauthtest         fetch Claude's quota once and print it\n"
         "  --install-claude-bridge  install the Claude Code status-line bridge\n"
         "  --bundletest        check that the bridge script is installed\n"
         "\n"
         "Settings:\n"
         "  --settings          list every setting with its value and default\n"
         "  --set KEY=VALUE     change one setting; a running copy takes it up\n"
         "\n"
         "  -h, --help          show this help\n"
         "  -V, --version       show the version\n"
         "\n"
         "Exit status: 0 on success, 1 on failure, 2 for a usage error (an unknown\n"
         "option, setting or format, or a value that is refused).\n";
}

std::optional<int> runIfRequested(const CommandLineOptions& options, std::ostream& out, std::ostream& err) {
  if (options.help) {
    out << helpText();
    return 0;
  }
  if (options.version) {
    out << "quotadial " << QUOTADIAL_VERSION << "\n";
    return 0;
  }
  if (options.diagnosticMode) {
    for (const DiagnosticMode& mode : kDiagnosticModes)
      if (mode.flag == *options.diagnosticMode) return mode.run(options, out);
  }
  if (options.listSettings) return SettingsCommand::list(SettingsStore::defaultURL(), out);
  if (options.setAssignment) return SettingsCommand::set(SettingsStore::defaultURL(), *options.setAssignment, out, err);
  if (options.format || options.follow) return StatusBarMode::run(options, out, err);
  if (options.status) return runStatus(options, out);
  if (options.headless) return runHeadless(options, out);
  return std::nullopt;
}

}  // namespace CommandLine
}  // namespace qd

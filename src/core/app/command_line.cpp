#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>
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

// Our flags that take no value, besides the diagnostic modes and the desktop flags.
constexpr std::array<std::string_view, 9> kOtherFlags{"--demo",    "--toggle",  "--status", "--json", "--headless",
                                                      "--version", "-V",        "--help",   "-h"};

// The toolkit's own options (see QGuiApplication and QApplication), which it
// also accepts with two dashes. Those marked take the next argument as their value.
struct ToolkitOption {
  std::string_view name;
  bool takesValue;
};
constexpr std::array<ToolkitOption, 20> kToolkitOptions{{
    {"platform", true},      {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true},      {"qwindowtitle", true},  {"session", true},
    {"style", true},         {"stylesheet", true},        {"display", true},       {"geometry", true},
    {"name", true},          {"title", true},             {"reverse", false},      {"widgetcount", false},
    {"nograb", false},       {"dograb", false},           {"sync", false},         {"testability", false},
}};

// How many arguments the toolkit option at `i` spans (0 when it is not one):
// "-platform offscreen" 2, "-style=fusion" and "-reverse" 1.
int toolkitOptionLength(const std::vector<std::string>& arguments, size_t i) {
  std::string_view arg = arguments[i];
  if (arg.size() < 2 || arg[0] != '-') return 0;
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);
  const size_t eq = arg.find('=');
  const std::string_view name = arg.substr(0, eq);
  for (const ToolkitOption& option : kToolkitOptions) {
    if (option.name != name) continue;
    if (eq != std::string_view::npos) return option.takesValue ? 1 : 0;
    if (!option.takesValue) return 1;
    return i + 1 < arguments.size() ? 2 : 0;
  }
  return 0;
}

size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

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
      // A missing or non-numeric value leaves the height at 720; a word that is
      // not an option is taken as that (ignored) value.
      if (i + 1 < arguments.size()) {
        if (auto h = wholeNumber(arguments[i + 1])) {
          o.captureHeight = *h;
          ++i;
        } else if (arguments[i + 1].rfind('-', 0) != 0) {
          ++i;
        }
      }
      continue;
    }
    if (const int taken = toolkitOptionLength(arguments, i)) {
      i += static_cast<size_t>(taken - 1);
      continue;
    }
    const bool known =
        std::any_of(kDiagnosticModes.begin(), kDiagnosticModes.end(), [&](const auto& m) { return m.flag == arg; }) ||
        std::find(kDesktopFlags.begin(), kDesktopFlags.end(), arg) != kDesktopFlags.end() ||
        std::find(kOtherFlags.begin(), kOtherFlags.end(), arg) != kOtherFlags.end();
    if (!known && !result.unknownArgument) result.unknownArgument = arg;
  }
  return result;
}

std::optional<std::string> closestFlag(std::string_view word) {
  std::vector<std::string_view> flags;
  for (const auto& m : kDiagnosticModes) flags.push_back(m.flag);
  flags.insert(flags.end(), kDesktopFlags.begin(), kDesktopFlags.end());
  flags.insert(flags.end(), kOtherFlags.begin(), kOtherFlags.end());
  flags.insert(flags.end(), {"--capture-height", "--render-png", "--format", "--follow", "--settings", "--set"});
  // "status" and "-status" are near "--status": compare without the leading dashes too.
  const auto bare = [](std::string_view s) { return s.substr(std::min(s.find_first_not_of('-'), s.size())); };
  std::optional<std::string> best;
  size_t bestDistance = 3;  // at most two edits away
  for (std::string_view flag : flags) {
    if (flag.size() < 4) continue;  // "-h", "-V": any short word is near them
    const size_t d = std::min(editDistance(word, flag), editDistance(bare(word), bare(flag)));
    if (d < bestDistance) {
      bestDistance = d;
      best = std::string(flag);
    }
  }
  return best;
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

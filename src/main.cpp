// Entry point: command-line modes first, then the desktop run, or the terminal
// status report when there is no desktop to run on.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"

// The desktop layer declares `int qd::runGui(int argc, char** argv, const
// CommandLineOptions&)` in src/ui/run_gui.h; without it the program runs in the terminal.
#if defined(QUOTADIAL_HAVE_UI) && __has_include("run_gui.h")
#include "run_gui.h"
#define QUOTADIAL_RUN_GUI 1
#endif

namespace {

bool displayAvailable() {
  for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  // Qt platforms that draw without a display server (rendering pictures on a
  // headless machine with "offscreen", say) count as a display when asked for.
  const std::string_view platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  for (std::string_view own : {"offscreen", "minimal", "vnc", "linuxfb", "eglfs"})
    if (platform.substr(0, platform.find(':')) == own) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to an exited child must fail, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const qd::CommandLineParse parsed = qd::CommandLine::parse(arguments);
  if (parsed.unknownArgument) {
    std::fprintf(stderr, "quotadial: unknown option '%s'\n", parsed.unknownArgument->c_str());
    if (auto near = qd::CommandLine::closestFlag(*parsed.unknownArgument))
      std::fprintf(stderr, "Did you mean '%s'?\n", near->c_str());
    std::fprintf(stderr, "Try 'quotadial --help' for more information.\n");
    return 2;
  }
  if (auto status = qd::CommandLine::runIfRequested(parsed.options, std::cout, std::cerr)) return *status;

#ifdef QUOTADIAL_RUN_GUI
  if (displayAvailable()) return qd::runGui(argc, argv, parsed.options);
#else
  (void)displayAvailable;
#endif
  return qd::CommandLine::runStatus(parsed.options, std::cout);
}

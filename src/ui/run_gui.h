#pragma once
#include "app/command_line.h"

namespace qd {

// The desktop run: single instance, the application state, the tray item (or
// the preview window with "--preview"), until the user quits. Returns the
// process's exit status.
int runGui(int argc, char** argv, const CommandLineOptions& options);

}  // namespace qd

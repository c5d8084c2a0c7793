#pragma once
// `--status --format waybar|i3blocks|plain`, once or with `--follow`.
#include <iosfwd>

#include "app/command_line.h"

namespace qd::StatusBarMode {

// Prints the status-bar line to standard output. With `--follow` it then prints a
// new line whenever the line would change (the store or the settings changed on
// disk, or a minute passed) and returns 0 when standard output is closed.
// 2 for an unknown format, 1 when the line could not be written.
int run(const CommandLineOptions& options, std::ostream& out, std::ostream& err);

}  // namespace qd::StatusBarMode

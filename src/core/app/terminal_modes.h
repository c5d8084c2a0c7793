#pragma once
// What the terminal modes share.
#include <memory>

#include "app/command_line.h"

namespace qd {

class AppState;
class PlainMainLoop;

namespace CommandLine {

// The application state of a report: the record read, no live source started,
// nothing saved, the first refresh applied (or 10 seconds passed). With `follow`
// it takes up settings.json when another process rewrites it.
[[nodiscard]] std::shared_ptr<AppState> reportState(const CommandLineOptions& options, PlainMainLoop& loop,
                                                    bool follow);

}  // namespace CommandLine
}  // namespace qd

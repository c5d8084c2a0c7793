#pragma once
// `--settings` and `--set KEY=VALUE`: the settings without the settings screen.
#include <filesystem>
#include <iosfwd>
#include <string>

namespace qd::SettingsCommand {

// Every setting with its value in `file`, its default and what it accepts; 0.
int list(const std::filesystem::path& file, std::ostream& out);

// Validates `assignment` ("KEY=VALUE") by the settings' own rules and the
// settings screen's ranges, then writes the file the way the settings screen
// does (the whole record, atomically). 0 when written; 2 for an unknown key, a
// value that is refused or a setting managed elsewhere (with a message on `err`);
// 1 when the file could not be written.
int set(const std::filesystem::path& file, const std::string& assignment, std::ostream& out, std::ostream& err);

}  // namespace qd::SettingsCommand

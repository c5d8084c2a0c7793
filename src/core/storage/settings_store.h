#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "models/app_settings.h"

namespace qd {

// The settings as JSON: keys sorted, pretty-printed, absent optionals left out,
// the snooze date as seconds since 2001-01-01 UTC. Nothing only if a text field
// cannot be encoded (never for valid UTF-8).
[[nodiscard]] std::optional<std::string> encodeSettings(const AppSettings& settings);

// Forgiving reading: each key that is missing, null or unreadable takes its own
// default without affecting the others; the thresholds are read as one unit.
// Nothing when the text is not JSON or not an object.
[[nodiscard]] std::optional<AppSettings> decodeSettings(std::string_view json);

// `live` with what changed from `base` to `disk` taken up, key by key (a
// threshold record counts as one key): how a running copy takes up a settings
// file another process rewrote without losing its own unsaved changes.
[[nodiscard]] AppSettings mergeSettings(const AppSettings& live, const AppSettings& base, const AppSettings& disk);

// `settings.json` in the application-support directory.
//
// Thread-safety: `load` and `save` may be called from any thread; concurrent
// saves each replace the file whole (the last rename wins).
class SettingsStore {
 public:
  [[nodiscard]] static std::filesystem::path defaultURL();  // <base>/settings.json

  explicit SettingsStore(std::filesystem::path url = defaultURL());

  // Never fails: a missing or unreadable file gives the defaults silently; a file
  // that is not a JSON object gives them with the WARN line
  // "Settings decode failed; using defaults".
  [[nodiscard]] AppSettings load();
  // Atomic replace of the file; false on failure (the caller carries on).
  bool save(const AppSettings& settings);

  [[nodiscard]] const std::filesystem::path& url() const { return url_; }

 private:
  std::filesystem::path url_;
};

}  // namespace qd

#pragma once
// Shared helpers of the application-core tests: a temporary application-support
// directory, snapshot fixtures, and recording fakes of the ports.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "models/usage_snapshot.h"
#include "utilities/app_logger.h"
#include "utilities/ports/desktop_services.h"
#include "utilities/ports/notification_sink.h"

namespace qd::testing {

// A fresh directory under the system's temporary directory, removed on destruction.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qd-app-XXXXXX").string();
    if (char* made = ::mkdtemp(tmpl.data())) path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline UsageSnapshot snapshot(Provider p, WindowKind w, Timestamp at, double used, Timestamp resetAt,
                              double durationMins, const char* source = SnapshotSource::codexAppServer) {
  UsageSnapshot s;
  s.provider = p;
  s.windowKind = w;
  s.timestamp = at;
  s.usedPercent = used;
  s.remainingPercent = std::max(0.0, 100.0 - used);
  s.resetAt = resetAt;
  s.windowDurationMins = durationMins;
  s.source = source;
  s.sourceConfidence = SourceConfidence::high;
  return s;
}

struct Delivered {
  std::string title, body, identifier;
};

class RecordingSink final : public NotificationSink {
 public:
  void requestAuthorization(std::function<void(bool)> answer) override { answer(grant); }
  void deliver(const std::string& title, const std::string& body, const std::string& identifier) override {
    delivered.push_back({title, body, identifier});
  }
  bool grant = true;
  std::vector<Delivered> delivered;
};

class RecordingDesktop final : public DesktopServices {
 public:
  bool revealFile(const std::filesystem::path& file) override {
    revealed.push_back(file);
    return true;
  }
  bool copyToClipboard(const std::string& text) override {
    clipboard = text;
    return true;
  }
  [[nodiscard]] bool loginItemEnabled() const override { return login; }
  bool setLoginItemEnabled(bool enabled) override { return login = enabled; }
  std::vector<std::filesystem::path> revealed;
  std::string clipboard;
  bool login = false;
};

}  // namespace qd::testing

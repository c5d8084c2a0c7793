#pragma once
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "utilities/serial_queue.h"

namespace qd {

// The application's plain-text log, `<base>/logs/app.log`: one line per event,
// "[yyyy-MM-dd HH:mm:ss] LEVEL message" in local time, with e-mail addresses,
// token-like words and authentication links scrubbed from the message first.
//
// Thread-safety: every member may be called from any thread. Formatting and
// scrubbing run on the caller's thread; the file append runs on the serial queue
// "quotadial.logger", so lines from one thread keep their order and lines never
// interleave. Nothing here fails or throws: a line that cannot be written is lost.
class AppLogger {
 public:
  // The one process-wide logger, created on first use and never destroyed.
  static AppLogger& shared();

  void info(std::string_view message);
  void warn(std::string_view message);
  // Also remembers the scrubbed message as `lastError`.
  void error(std::string_view message);

  [[nodiscard]] std::optional<std::string> lastError() const;

  // The three scrub rules, in order: "<email>", "<token>", "<auth-url>".
  [[nodiscard]] static std::string scrub(std::string_view message);

  // Where lines go from now on (tests point it into a temporary directory).
  void setFileURL(std::filesystem::path file);
  [[nodiscard]] std::filesystem::path fileURL() const;
  // Blocks until every line submitted so far has reached the file.
  void flush();
  // Forgets `lastError` (tests).
  void resetLastError();

 private:
  AppLogger();
  void log(std::string_view level, std::string_view message, bool isError);

  mutable std::mutex mutex_;  // guards fileURL_ and lastError_
  std::filesystem::path fileURL_;
  std::optional<std::string> lastError_;
  SerialQueue queue_{"quotadial.logger"};
};

}  // namespace qd

#include "utilities/app_logger.h"

#include <fcntl.h>
#include <re2/re2.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "models/timestamp.h"
#include "storage/local_file_store.h"
#include "utilities/local_time.h"
#include "utilities/text.h"
#include "utilities/utf8.h"

namespace qd {

namespace {

struct ScrubRule {
  RE2 pattern;
  const char* replacement;
};

// Rule 3's `\s` also covers the vertical tab, NEL and the Unicode separators so it
// stops at the same whitespace as an ICU pattern would.
const ScrubRule* scrubRules() {
  static const ScrubRule rules[] = {
      {RE2(R"([A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,})"), "<email>"},
      {RE2(R"((?i)(sk|pk|tok|key|bearer|secret)[-_a-z0-9]{8,})"), "<token>"},
      {RE2(R"(https?://[^\s\x0B\x{85}\p{Z}]*?(code|token|verify|auth)[^\s\x0B\x{85}\p{Z}]*)"), "<auth-url>"},
  };
  return rules;
}

void appendLine(const std::filesystem::path& file, const std::string& line) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return;
  // One write keeps the line whole even if another process appends too.
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace

AppLogger& AppLogger::shared() {
  // Leaked on purpose: logging stays usable during static destruction.
  static AppLogger* logger = new AppLogger();
  return *logger;
}

AppLogger::AppLogger() : fileURL_(LocalFileStore::baseDirectory() / "logs" / "app.log") {
  LocalFileStore::ensureDirectories();
}

std::string AppLogger::scrub(std::string_view message) {
  std::string text = repairUTF8(message);
  const ScrubRule* rules = scrubRules();
  for (int i = 0; i < 3; ++i) {
    if (!rules[i].pattern.ok()) continue;
    RE2::GlobalReplace(&text, rules[i].pattern, rules[i].replacement);
  }
  return text;
}

void AppLogger::log(std::string_view level, std::string_view message, bool isError) {
  const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  // One event is one line, whatever outside text the message quotes.
  std::string scrubbed = escapeControlCharacters(scrub(message));
  std::string line;
  line.reserve(scrubbed.size() + 32);
  line += '[';
  line += LocalTime::format(now, "%Y-%m-%d %H:%M:%S", LocalTime::TimeLocale::c());
  line += "] ";
  line += level;
  line += ' ';
  line += scrubbed;
  line += '\n';
  std::filesystem::path file;
  {
    std::lock_guard lock(mutex_);
    if (isError) lastError_ = std::move(scrubbed);
    file = fileURL_;
  }
  queue_.async([file = std::move(file), line = std::move(line)] { appendLine(file, line); });
}

void AppLogger::info(std::string_view message) { log("INFO", message, false); }
void AppLogger::warn(std::string_view message) { log("WARN", message, false); }
void AppLogger::error(std::string_view message) { log("ERROR", message, true); }

std::optional<std::string> AppLogger::lastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void AppLogger::setFileURL(std::filesystem::path file) {
  std::lock_guard lock(mutex_);
  fileURL_ = std::move(file);
}

std::filesystem::path AppLogger::fileURL() const {
  std::lock_guard lock(mutex_);
  return fileURL_;
}

void AppLogger::flush() {
  queue_.sync([] {});
}

void AppLogger::resetLastError() {
  std::lock_guard lock(mutex_);
  lastError_.reset();
}

}  // namespace qd

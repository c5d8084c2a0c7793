#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "utilities/serial_queue.h"

namespace qd {

// Owns one `codex app-server` child and its three pipes. Output lines are handed to
// `onLine` on a background reader thread; writes run on the serial queue
// "quotadial.codex.process" in submission order.
//
// Each launch gets fresh pipes, so a child that exits gives the reader end-of-file
// and later writes fail with EPIPE, which is swallowed. The child's standard error
// is drained and discarded so its log lines can never fill the pipe and stall it.
// The child runs in its own process group; `stop` signals the whole group.
//
// Thread-safety: every public operation may be called from any thread, except that
// `stop` and the destructor must not be called from inside `onLine` or `onTerminate`
// on the reader thread (they then return without waiting for the reader).
class CodexProcessManager {
 public:
  using LineHandler = std::function<void(const std::string& line)>;
  using Locator = std::function<std::optional<std::string>()>;

  static constexpr size_t kMaxLineBytes = 8 * 1024 * 1024;
  // Time between SIGTERM and SIGKILL in `stop`.
  static constexpr double kTerminateGraceSeconds = 2.0;

  // `locate` finds the executable; by default `Shell::which("codex")`.
  explicit CodexProcessManager(Locator locate = {});
  ~CodexProcessManager();
  CodexProcessManager(const CodexProcessManager&) = delete;
  CodexProcessManager& operator=(const CodexProcessManager&) = delete;

  // The executable `start` would launch, or nothing.
  [[nodiscard]] std::optional<std::string> locateExecutable() const;

  // Launches `<codex> app-server`; true on success, and at once when already running.
  [[nodiscard]] bool start();
  // Stops reading, terminates the child (SIGTERM, then SIGKILL after the grace
  // period) and reaps it. Safe to call twice.
  void stop();
  // Queues one message (without its line feed) for the child's standard input.
  // Dropped when no child is running.
  void send(std::string line);

  [[nodiscard]] bool isRunning() const;
  // The running child's process id (for diagnostics and tests).
  [[nodiscard]] std::optional<pid_t> processId() const;

  void setOnLine(LineHandler handler);
  // Called once on the reader thread when the child exits on its own (not after
  // `stop`), with how it ended: "exit status 3", "signal 9 (Killed)".
  using TerminateHandler = std::function<void(const std::string& how)>;
  void setOnTerminate(TerminateHandler handler);

  // The words of `setOnTerminate` for a status from waitpid.
  [[nodiscard]] static std::string describeExit(int waitStatus);

  // Blocks until every write queued so far has been attempted (tests, shutdown).
  void flushWrites();

 private:
  struct Shared;
  struct Session;

  static void readLoop(std::shared_ptr<Session> session, std::shared_ptr<Shared> shared);
  void teardown(std::shared_ptr<Session> session);

  Locator locate_;
  std::shared_ptr<Shared> shared_;
  std::mutex startMutex_;     // serialises start and stop
  mutable std::mutex mutex_;  // guards session_
  std::shared_ptr<Session> session_;
  SerialQueue queue_{"quotadial.codex.process"};
};

}  // namespace qd

#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "providers/codex/codex_process_manager.h"
#include "providers/codex/codex_rate_limits_payload.h"

namespace qd {

// Speaks the app-server's line protocol: the "initialize" handshake, rate-limit
// requests, and the rate-limit and login notifications. Lines that are not JSON
// objects, unknown methods, unknown ids and error answers are ignored.
//
// Thread-safety: `start`, `requestRateLimits` and `sendRequest` may be called from
// any thread (id allocation is locked); lines are handled on the manager's reader
// thread, where the two callbacks run.
class CodexAppServerClient : public std::enable_shared_from_this<CodexAppServerClient> {
 public:
  using RateLimitsHandler = std::function<void(const CodexRateLimitsPayload&)>;

  // Binds the manager's line handler to the new client, held weakly.
  [[nodiscard]] static std::shared_ptr<CodexAppServerClient> create(
      std::shared_ptr<CodexProcessManager> manager);

  // Starts the manager and sends "initialize"; false when the manager fails to start.
  // With `resume` (a relaunch of a client that completed the handshake before),
  // "account/read" and "account/rateLimits/read" follow in the same write, so
  // they precede anything the answer to "initialize" makes the client send.
  [[nodiscard]] bool start(bool resume = false);
  // Sends "account/rateLimits/read" once the handshake has completed; else nothing.
  void requestRateLimits();
  // Sends a request with a fresh id and returns that id (0 when it could not be encoded).
  int64_t sendRequest(std::string_view method, const nlohmann::json& params);
  void sendNotification(std::string_view method, const nlohmann::json& params);

  // One line of the server's output.
  void handle(std::string_view line);

  [[nodiscard]] bool isInitialized() const { return initialized_.load(); }
  [[nodiscard]] const std::shared_ptr<CodexProcessManager>& manager() const { return manager_; }

  void setOnRateLimits(RateLimitsHandler handler);
  void setOnLoginCompleted(std::function<void()> handler);

 private:
  explicit CodexAppServerClient(std::shared_ptr<CodexProcessManager> manager);
  int64_t takeId();
  void send(const nlohmann::json& message);
  // The message's line, or nothing when it cannot be encoded.
  [[nodiscard]] static std::optional<std::string> encode(const nlohmann::json& message);
  void deliver(const nlohmann::ordered_json& payload);

  std::shared_ptr<CodexProcessManager> manager_;
  std::mutex lock_;  // guards nextId_
  int64_t nextId_ = 1;
  std::atomic<int64_t> initializeId_{0};
  std::atomic<int64_t> rateLimitsId_{0};
  std::atomic<bool> initialized_{false};

  std::mutex handlersMutex_;
  RateLimitsHandler onRateLimits_;
  std::function<void()> onLoginCompleted_;
};

}  // namespace qd

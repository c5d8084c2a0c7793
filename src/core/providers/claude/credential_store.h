#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

// Where Claude Code keeps its OAuth credential: one secret text (a JSON document
// holding `claudeAiOauth`). The secret passes only through these calls, never
// through an argument vector or the log.
//
// Thread-safety: implementations allow calls from any thread; the OAuth client
// serialises its own use.
class CredentialStore {
 public:
  virtual ~CredentialStore() = default;

  [[nodiscard]] virtual bool exists() = 0;
  // The whole secret, or nothing when it is missing or unreadable.
  [[nodiscard]] virtual std::optional<std::string> readSecret() = 0;
  // Replaces the secret in one step; false when it could not be stored. The
  // caller verifies by reading back.
  [[nodiscard]] virtual bool addOrUpdate(std::string_view secret) = 0;
  // Keeps a copy of the secret as it was before a rewrite. Best effort.
  virtual void backup(std::string_view secret) = 0;
  // That copy, or nothing.
  [[nodiscard]] virtual std::optional<std::string> readBackup() = 0;

  // Whether a replace of `bytes` bytes can succeed now (not read-only, the folder
  // takes a new file, there is room). Asked before a refresh spends the refresh
  // token, which the server retires.
  [[nodiscard]] virtual bool canReplace(std::size_t bytes) = 0;

  // A rotated secret that could not be stored yet, kept privately until it can
  // be; false when even that failed.
  [[nodiscard]] virtual bool keepPending(std::string_view secret) = 0;
  [[nodiscard]] virtual std::optional<std::string> readPending() = 0;
  virtual void dropPending() = 0;
};

}  // namespace qd

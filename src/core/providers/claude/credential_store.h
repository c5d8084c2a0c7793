#pragma once
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
};

}  // namespace qd

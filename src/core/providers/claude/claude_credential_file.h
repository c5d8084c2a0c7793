#pragma once
#include <filesystem>

#include "providers/claude/credential_store.h"

namespace qd {

// Claude Code's own credential file on Linux, `<Claude home>/.credentials.json`.
// Claude Code re-reads the file when it changes, so a rotated token written here
// keeps it working. Writes replace the file atomically with mode 0600 (through a
// symbolic link to its target); the backup and a rotated credential waiting to be
// written back ("claude-credentials-pending.json") are 0600 files of their own.
//
// Thread-safety: stateless; concurrent calls are safe (the last rename wins).
class ClaudeCredentialFile final : public CredentialStore {
 public:
  // The pending file defaults to "claude-credentials-pending.json" beside the backup.
  ClaudeCredentialFile(std::filesystem::path credentialFile, std::filesystem::path backupFile,
                       std::filesystem::path pendingFile = {});
  // `<Claude home>/.credentials.json`, backup in the application-support directory.
  [[nodiscard]] static ClaudeCredentialFile standard();

  [[nodiscard]] bool exists() override;
  [[nodiscard]] std::optional<std::string> readSecret() override;
  [[nodiscard]] bool addOrUpdate(std::string_view secret) override;
  void backup(std::string_view secret) override;
  [[nodiscard]] std::optional<std::string> readBackup() override;
  [[nodiscard]] bool canReplace(std::size_t bytes) override;
  [[nodiscard]] bool keepPending(std::string_view secret) override;
  [[nodiscard]] std::optional<std::string> readPending() override;
  void dropPending() override;

  [[nodiscard]] const std::filesystem::path& path() const { return file_; }

 private:
  std::filesystem::path file_;
  std::filesystem::path backupFile_;
  std::filesystem::path pendingFile_;
};

}  // namespace qd

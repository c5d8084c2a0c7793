#include "providers/claude/claude_credential_file.h"

#include <system_error>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"

namespace qd {

ClaudeCredentialFile::ClaudeCredentialFile(std::filesystem::path credentialFile, std::filesystem::path backupFile,
                                           std::filesystem::path pendingFile)
    : file_(std::move(credentialFile)),
      backupFile_(std::move(backupFile)),
      pendingFile_(pendingFile.empty() ? backupFile_.parent_path() / "claude-credentials-pending.json"
                                       : std::move(pendingFile)) {}

ClaudeCredentialFile ClaudeCredentialFile::standard() {
  return ClaudeCredentialFile(LocalFileStore::claudeHome() / ".credentials.json",
                              LocalFileStore::baseDirectory() / "claude-credentials-backup.json");
}

bool ClaudeCredentialFile::exists() {
  std::error_code ec;
  return std::filesystem::exists(file_, ec);
}

std::optional<std::string> ClaudeCredentialFile::readSecret() { return readWholeFile(file_); }

bool ClaudeCredentialFile::addOrUpdate(std::string_view secret) {
  return writeFileAtomically(file_, secret, 0600);
}

void ClaudeCredentialFile::backup(std::string_view secret) {
  std::error_code ec;
  std::filesystem::create_directories(backupFile_.parent_path(), ec);
  (void)writeFileAtomically(backupFile_, secret, 0600);
}

std::optional<std::string> ClaudeCredentialFile::readBackup() { return readWholeFile(backupFile_); }

bool ClaudeCredentialFile::canReplace(std::size_t bytes) { return canWriteBeside(file_, bytes); }

bool ClaudeCredentialFile::keepPending(std::string_view secret) {
  std::error_code ec;
  std::filesystem::create_directories(pendingFile_.parent_path(), ec);
  return writeFileAtomically(pendingFile_, secret, 0600);
}

std::optional<std::string> ClaudeCredentialFile::readPending() { return readWholeFile(pendingFile_); }

void ClaudeCredentialFile::dropPending() {
  std::error_code ec;
  std::filesystem::remove(pendingFile_, ec);
}

}  // namespace qd

#include "providers/claude/claude_credential_file.h"

#include <system_error>

#include "storage/atomic_file.h"
#include "storage/local_file_store.h"

namespace qd {

namespace {

// A dotfile manager may keep the file elsewhere behind a link; replace the target,
// not the link.
std::filesystem::path resolvedTarget(const std::filesystem::path& p) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(p, ec)) return p;
  auto target = std::filesystem::canonical(p, ec);
  return ec ? p : target;
}

}  // namespace

ClaudeCredentialFile::ClaudeCredentialFile(std::filesystem::path credentialFile,
                                           std::filesystem::path backupFile)
    : file_(std::move(credentialFile)), backupFile_(std::move(backupFile)) {}

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
  return writeFileAtomically(resolvedTarget(file_), secret, 0600);
}

void ClaudeCredentialFile::backup(std::string_view secret) {
  std::error_code ec;
  std::filesystem::create_directories(backupFile_.parent_path(), ec);
  (void)writeFileAtomically(backupFile_, secret, 0600);
}

}  // namespace qd

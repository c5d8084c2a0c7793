#pragma once
// Lists transcript files: every regular file whose name ends in ".jsonl" under a
// directory, recursively, hidden entries included, symbolic links not followed.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace qd {

struct TranscriptFileInfo {
  std::string path;
  int64_t size = 0;
  double mtime = 0;  // seconds since 1970, with fraction
  dev_t device = 0;
  ino_t inode = 0;
};

// Calls `visit` for each transcript file under `directory` (nothing when it is
// missing or unreadable). Files whose attributes cannot be read are left out.
void listTranscriptFiles(const std::string& directory, const std::function<void(TranscriptFileInfo&&)>& visit);
// The same, also calling `visitDirectory` with each directory walked (the first
// one `directory` itself) before its entries.
void listTranscriptFiles(const std::string& directory, const std::function<void(TranscriptFileInfo&&)>& visit,
                         const std::function<void(const std::string&)>& visitDirectory);
// The attributes of one transcript file (not following a symbolic link), or false.
[[nodiscard]] bool statTranscriptFile(const std::string& path, TranscriptFileInfo& info);

}  // namespace qd

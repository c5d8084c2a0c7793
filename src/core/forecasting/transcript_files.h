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

}  // namespace qd

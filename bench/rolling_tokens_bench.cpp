// Measures the Claude rolling token count once its index is warm: each query
// looks at every Claude transcript, reads what was appended since the last look
// and sums the tokens since a start minute (what a rolling scan does per new minute).
//
//   rolling_tokens_bench --home DIR [--queries N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "forecasting/claude_token_index.h"
#include "forecasting/transcript_files.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
}  // namespace

int main(int argc, char** argv) {
  fs::path home;
  int queries = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--home") home = argv[i + 1];
    if (std::string(argv[i]) == "--queries") queries = std::max(1, std::atoi(argv[i + 1]));
  }
  if (home.empty()) {
    std::fprintf(stderr, "usage: %s --home DIR [--queries N]\n", argv[0]);
    return 2;
  }
  const std::string projects = (home / ".claude" / "projects").string();
  std::vector<qd::TranscriptFileInfo> files;
  uint64_t bytes = 0;
  qd::listTranscriptFiles(projects, [&](qd::TranscriptFileInfo&& f) {
    bytes += static_cast<uint64_t>(f.size);
    files.push_back(std::move(f));
  });
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.mtime > b.mtime; });
  if (files.empty()) return 1;

  qd::ClaudeTokenIndex index(projects);
  auto t = Clock::now();
  index.update();
  std::printf("index built: %zu files, %.1f MiB, %zu events in %.2f s\n", index.fileCount(),
              static_cast<double>(bytes) / 1048576.0, index.eventCount(), since(t));

  const auto now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  // The newest session keeps growing between queries, as a live one does.
  const std::string growing = files.front().path;
  std::vector<double> times, updates;
  int64_t last = 0;
  size_t filesRead = 0;
  int64_t bytesRead = 0;
  for (int q = 0; q < queries; ++q) {
    {
      std::ofstream(growing, std::ios::app)
          << R"({"type":"assistant","timestamp":")" << qd::formatISO8601(now) << R"(","requestId":"req_b)" << q
          << R"(","message":{"id":"msg_b)" << q << R"(","usage":{"input_tokens":10,"output_tokens":5}}})" << "\n";
    }
    const qd::Timestamp windowStart = now - std::chrono::minutes(300 - q % 300);  // a new start minute each time
    t = Clock::now();
    index.update();
    updates.push_back(since(t));
    filesRead += index.lastFilesRead();
    bytesRead += index.lastBytesRead();
    last = index.tokensSince(windowStart);
    times.push_back(since(t));
  }
  std::sort(times.begin(), times.end());
  std::sort(updates.begin(), updates.end());
  std::printf("update alone: median %.2f ms; per query %.1f files and %.0f bytes read on average\n",
              updates[updates.size() / 2] * 1000, static_cast<double>(filesRead) / queries,
              static_cast<double>(bytesRead) / queries);
  std::printf("per query (update + count), %d queries: median %.2f ms, p95 %.2f ms, max %.2f ms (last count %lld)\n",
              queries, times[times.size() / 2] * 1000, times[times.size() * 95 / 100] * 1000, times.back() * 1000,
              static_cast<long long>(last));
  // A week-long window costs the same: the sums are kept per file.
  t = Clock::now();
  const int64_t week = index.tokensSince(now - std::chrono::hours(24 * 7));
  std::printf("7-day count: %lld in %.2f ms\n", static_cast<long long>(week), since(t) * 1000);
  return 0;
}

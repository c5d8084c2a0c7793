// Measures the transcript scan over a corpus (see transcript_corpus_gen):
//   cold scan throughput beside `cat` over the same files, sequential == parallel,
//   warm rescan of unchanged files, and the scan's peak memory above the idle process.
//
//   history_scan_bench --home DIR [--repeat N]
//
// The files are read once first so that both `cat` and the scan find them in the
// page cache. Peak memory is taken in a child process (VmHWM after the scan minus
// VmRSS before it).
#include <fcntl.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "forecasting/transcript_files.h"
#include "forecasting/pricing.h"
#include "forecasting/usage_history.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// CPU seconds used by the whole process (all threads).
double cpuSeconds() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

qd::UsageHistory::Options options(const fs::path& home, const fs::path& cache, unsigned threads) {
  qd::UsageHistory::Options o;
  o.claudeProjects = (home / ".claude" / "projects").string();
  o.codexDirectories = {(home / ".codex" / "sessions").string(), (home / ".codex" / "archived_sessions").string()};
  o.cacheFile = cache.string();
  o.scanThreads = threads;
  o.prices = qd::PriceList::load().list;  // spend is priced as in a real run
  return o;
}

// Reads every file to the end through a 1 MiB buffer, as `cat f > /dev/null` does.
double catSeconds(const std::vector<std::string>& files, uint64_t& bytes) {
  static std::vector<char> buf(1 << 20);
  bytes = 0;
  const auto t = Clock::now();
  for (const auto& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) > 0) bytes += static_cast<uint64_t>(n);
    ::close(fd);
  }
  return since(t);
}

}  // namespace

// Peak memory of one cold scan in this (fresh) process: the resident set is
// sampled every millisecond while the scan runs, beside the kernel's high-water mark.
int memoryOnly(const fs::path& home) {
  ::setenv("TZ", "UTC0", 0);
  const fs::path cache = fs::temp_directory_path() / ("qd-scan-mem-" + std::to_string(::getpid()) + ".json");
  fs::remove(cache);
  qd::UsageHistory history(options(home, cache, 0));
  const long idle = statusKiB("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";
  std::atomic<bool> done{false};
  std::atomic<long> sampled{idle};
  std::thread sampler([&] {
    while (!done) {
      sampled = std::max(sampled.load(), statusKiB("VmRSS:"));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  history.refreshSync();
  done = true;
  sampler.join();
  const long peak = std::max(statusKiB("VmHWM:"), sampled.load());
  int64_t tokens = 0;
  for (const auto& day : history.tables()->dailyTokens[1]) tokens += day.second;
  std::printf("peak memory of a cold scan: %.1f MiB above the idle process (idle %.1f MiB, peak %.1f MiB; %lld Claude tokens)\n",
              static_cast<double>(peak - idle) / 1024.0, static_cast<double>(idle) / 1024.0,
              static_cast<double>(peak) / 1024.0, static_cast<long long>(tokens));
  fs::remove(cache);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--memory") return memoryOnly(argv[2]);
  fs::path home;
  int repeat = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--home") home = argv[i + 1];
    if (std::string(argv[i]) == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
  }
  if (home.empty()) {
    std::fprintf(stderr, "usage: %s --home DIR [--repeat N]\n", argv[0]);
    return 2;
  }
  ::setenv("TZ", "UTC0", 0);
  const fs::path work = fs::temp_directory_path() / ("qd-scan-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);

  std::vector<std::string> files;
  for (const auto& dir : {home / ".codex" / "sessions", home / ".codex" / "archived_sessions", home / ".claude" / "projects"})
    qd::listTranscriptFiles(dir.string(), [&](qd::TranscriptFileInfo&& f) { files.push_back(std::move(f.path)); });
  uint64_t bytes = 0;
  (void)catSeconds(files, bytes);  // into the page cache
  std::printf("corpus: %zu files, %.1f MiB\n", files.size(), static_cast<double>(bytes) / 1048576.0);

  double bestCat = 1e9, bestScan = 1e9, bestWarm = 1e9, scanCpu = 0, catCpu = 0;
  std::shared_ptr<const qd::UsageTables> parallelTables;
  for (int r = 0; r < repeat; ++r) {
    double c0 = cpuSeconds();
    const double catWall = catSeconds(files, bytes);
    if (catWall < bestCat) {
      bestCat = catWall;
      catCpu = cpuSeconds() - c0;
    }
    fs::remove(work / "cache.json");
    qd::UsageHistory history(options(home, work / "cache.json", 0));
    c0 = cpuSeconds();
    auto t = Clock::now();
    history.refreshSync();
    const double wall = since(t);
    if (wall < bestScan) {
      bestScan = wall;
      scanCpu = cpuSeconds() - c0;
    }
    for (int w = 0; w < 5; ++w) {
      t = Clock::now();
      history.refreshSync();
      bestWarm = std::min(bestWarm, since(t));
    }
    parallelTables = history.tables();
  }
  // A restart: a new history on the cache file written above lists and stats every file once.
  double bestRestart = 1e9;
  for (int r = 0; r < repeat; ++r) {
    qd::UsageHistory restarted(options(home, work / "cache.json", 0));
    const auto t = Clock::now();
    restarted.refreshSync();
    bestRestart = std::min(bestRestart, since(t));
  }
  const double gb = static_cast<double>(bytes) / 1e9;
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
  std::printf("load average at start: %s", [] {
    std::ifstream in("/proc/loadavg");
    std::string l;
    std::getline(in, l);
    return l + "\n";
  }().c_str());
  std::printf("cat:        %7.3f s  %6.2f GB/s  (cpu %.3f s)\n", bestCat, gb / bestCat, catCpu);
  std::printf("cold scan:  %7.3f s  %6.2f GB/s  (%u threads; cpu %.3f s = %.2f GB per cpu-second)\n", bestScan,
              gb / bestScan, threads, scanCpu, gb / scanCpu);
  std::printf("warm rescan of %zu unchanged files: %.2f ms (watched); first scan after a restart with the cache: %.2f ms\n",
              files.size(), bestWarm * 1000, bestRestart * 1000);

  {
    fs::remove(work / "seq.json");
    qd::UsageHistory sequential(options(home, work / "seq.json", 1));
    const auto t = Clock::now();
    sequential.refreshSync();
    const double s = since(t);
    std::printf("sequential scan: %.3f s  %.2f GB/s; tables identical to the parallel scan: %s\n", s, gb / s,
                *sequential.tables() == *parallelTables ? "yes" : "NO");
  }

  // Peak memory of a cold scan, in a fresh process.
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/proc/self/exe", argv[0], "--memory", home.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::error_code ec;
  fs::remove_all(work, ec);
  return 0;
}

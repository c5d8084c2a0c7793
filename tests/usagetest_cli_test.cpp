// `quotadial --usagetest` over a prepared home: the printed daily totals and
// seven-day spend equal an independent count of the lines written here.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
  int status = -1;
  std::string out;
};

ChildRun runQuotadial(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view kv(*e);
    bool drop = false;
    for (const char* name : {"HOME=", "XDG_DATA_HOME=", "CLAUDE_CONFIG_DIR=", "CODEX_HOME=", "TZ="})
      drop |= kv.starts_with(name);
    if (!drop) env.emplace_back(kv);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv{QUOTADIAL_EXECUTABLE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argp;
  for (auto& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);

  ChildRun run;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  if (rc == 0) ::waitpid(pid, &run.status, 0);
  return run;
}

class ScopedTZ {
 public:
  explicit ScopedTZ(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    ::unsetenv("TZ");
    ::tzset();
  }
};

std::string localDay(time_t t) {
  struct tm tm {};
  ::localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

std::string iso(time_t t, int ms) {
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

// What the test itself expects, day by day: tokens, and spend in nano-dollars.
struct Expected {
  std::map<std::string, long long> tokens[2];
  std::map<std::string, long long> nano[2];
};

TEST(UsageTestMode, PrintsIndependentlyCountedDailyTotalsAndSpend) {
  const char* zone = "America/New_York";
  ScopedTZ tz(zone);
  std::string tmpl = (fs::temp_directory_path() / "qd-usagetest-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const fs::path home = tmpl;
  const fs::path projects = home / ".claude" / "projects" / "-home-dev-app";
  const fs::path sessions = home / ".codex" / "sessions" / "2026" / "01" / "01";
  fs::create_directories(projects / "sess-1" / "subagents");
  fs::create_directories(sessions);
  fs::create_directories(home / ".codex" / "archived_sessions");

  const time_t now = ::time(nullptr);
  std::mt19937 rng(42);
  Expected want;
  // Claude lines: (message id, request id) pairs repeated per content block and across files.
  struct Pair {
    long long tokens = 0, nano = 0;
    std::string day;
  };
  std::map<std::string, Pair> pairs;  // counted once, by the largest line
  std::ofstream a(projects / "sess-1.jsonl"), b(projects / "sess-2.jsonl"), sub(projects / "sess-1" / "subagents" / "agent-1.jsonl");
  std::ofstream codex(sessions / "rollout-1.jsonl");
  for (int i = 0; i < 400; ++i) {
    const time_t t = now - 60 - static_cast<time_t>(rng() % (6 * 86400 + 20 * 3600));
    const std::string day = localDay(t), ts = iso(t, static_cast<int>(rng() % 1000));
    const bool opus = rng() % 3 == 0;
    const long long in = rng() % 5000, out = rng() % 2000, cr = rng() % 90000, cw = rng() % 9000;
    const long long tokens = in + out + cr + cw;
    // Today's list prices: an Opus newer than the list gets the Opus family's 5/25/0.50/6.25.
    const long long nano = opus ? in * 5000 + out * 25000 + cr * 500 + cw * 6250
                                : in * 3000 + out * 15000 + cr * 300 + cw * 3750;
    const std::string usage = "{\"input_tokens\":" + std::to_string(in) + ",\"output_tokens\":" + std::to_string(out) +
                              ",\"cache_read_input_tokens\":" + std::to_string(cr) +
                              ",\"cache_creation_input_tokens\":" + std::to_string(cw) + "}";
    const std::string model = opus ? "claude-opus-4-8" : "claude-sonnet-4-5";
    const std::string id = std::to_string(i);
    const std::string line = R"({"type":"assistant","timestamp":")" + ts + R"(","requestId":"req_)" + id +
                             R"(","message":{"id":"msg_)" + id + R"(","model":")" + model +
                             R"(","content":[{"type":"text","text":"line\u2028with separators"}],"usage":)" + usage + "}}\n";
    // Two or three content blocks of the same message; a fifth also in a resumed session.
    a << line << line;
    if (i % 2) a << line;
    if (i % 5 == 0) b << line;
    if (tokens > 0) pairs["msg_" + id] = Pair{tokens, nano, day};
    // A subagent's line without identifiers counts as it is.
    if (i % 4 == 0) {
      sub << R"({"timestamp":")" << ts << R"(","message":{"model":"claude-haiku-4-5","usage":{"input_tokens":)" << in
          << "}}}\n";
      if (in > 0) {
        want.tokens[1][day] += in;
        want.nano[1][day] += in * 1000;
      }
    }
    // Codex token_count events, and lines that must not count.
    const long long cin = rng() % 40000, cached = rng() % 50000, cout = rng() % 3000, reason = rng() % 1000;
    codex << R"({"timestamp":")" << ts << R"(","type":"event_msg","payload":{"type":"token_count","info":{"last_token_usage":{"input_tokens":)"
          << cin << R"(,"cached_input_tokens":)" << cached << R"(,"output_tokens":)" << cout
          << R"(,"reasoning_output_tokens":)" << reason << R"(,"total_tokens":)" << cin + cout << "}}}}\n";
    codex << R"({"timestamp":")" << ts << R"(","type":"event_msg","payload":{"type":"agent_message","message":"hi"}})" << "\n";
    if (cin + cout > 0) {
      want.tokens[0][day] += cin + cout;
      // Cached input is part of the input and reasoning part of the output: each priced once.
      const long long cachedIn = std::min(cached, cin);
      want.nano[0][day] += cachedIn * 125 + (cin - cachedIn) * 1250 + cout * 10000;
    }
  }
  a << "not json at all\n{\"timestamp\":\"2026-01-01\",\"usage\":{\"input_tokens\":";  // truncated last line
  for (const auto& [id, p] : pairs) {
    want.tokens[1][p.day] += p.tokens;
    want.nano[1][p.day] += p.nano;
  }
  a.close(), b.close(), sub.close(), codex.close();

  const ChildRun run = runQuotadial({"--usagetest"}, {"HOME=" + home.string(), "XDG_DATA_HOME=" + (home / "data").string(),
                                                 std::string("TZ=") + zone});
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.out;

  // The seven local days, oldest first, under each provider's heading.
  std::vector<std::string> days;
  for (int k = 6; k >= 0; --k) {
    struct tm tm {};
    ::localtime_r(&now, &tm);
    tm.tm_mday -= k;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    days.push_back(localDay(::mktime(&tm)));
  }
  std::istringstream lines(run.out);
  std::string line;
  int provider = -1;
  std::map<std::string, long long> printed[2];
  std::string spend[2];
  while (std::getline(lines, line)) {
    if (line == "=== Codex daily tokens ===") provider = 0;
    else if (line == "=== Claude Code daily tokens ===") provider = 1;
    else if (provider >= 0 && line.rfind("  est spend 7d: ", 0) == 0) spend[provider] = line;
    else if (provider >= 0 && line.size() > 14 && line.rfind("  20", 0) == 0) {
      const auto open = line.rfind('(');
      printed[provider][line.substr(2, 10)] = std::stoll(line.substr(open + 1));
    }
  }
  for (int p = 0; p < 2; ++p) {
    ASSERT_EQ(printed[p].size(), 7u) << run.out;
    long long nano = 0, total = 0;
    for (const auto& [d, n] : printed[p]) total += n;
    EXPECT_GT(total, 100000) << run.out;  // the corpus is not empty
    for (const auto& d : days) {
      EXPECT_EQ(printed[p][d], want.tokens[p][d]) << "provider " << p << " day " << d;
      nano += want.nano[p][d];
    }
    // Spend of the last 604,800 seconds: the local days from the day seven days ago.
    const time_t weekAgo = now - 604800;
    for (const auto& [d, n] : want.nano[p])
      if (d >= localDay(weekAgo) && d < days.front()) nano += n;
    char buf[128];
    const double dollars = static_cast<double>(nano) / 1e9;
    std::snprintf(buf, sizeof buf, "  est spend 7d: $%.2f (~\u00a3%.2f)", dollars, dollars * 0.79);
    EXPECT_EQ(spend[p], buf);
  }
  // A fresh data folder is made, and the scan kept for the next run.
  EXPECT_TRUE(fs::is_regular_file(home / "data" / "Quotadial" / "usage-history-cache.json"));
  EXPECT_TRUE(fs::is_regular_file(home / "data" / "Quotadial" / "usage-figures.json"));
  std::error_code ec;
  fs::remove_all(home, ec);
}

}  // namespace

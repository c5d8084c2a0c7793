// Writes a synthetic transcript corpus shaped like the two tools' own files:
// Claude Code projects with sessions, one line per content block of an assistant
// message (same message id, request id and usage), long texts, tool results with
// file contents, subagent folders and resumed sessions that repeat earlier lines;
// Codex rollouts by date with session metadata, function calls and outputs, and
// token_count events. Timestamps spread over the last days before now.
//
//   transcript_corpus_gen --home DIR [--mib N] [--files N] [--days N] [--seed N]
//
// DIR receives .claude/projects/... and .codex/sessions/...; modification times
// follow the newest line of each file. Prints the totals it wrote.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  fs::path home;
  double mib = 256;
  int files = 400;
  int days = 10;
  unsigned seed = 1;
};

std::mt19937_64 rng;

uint64_t rnd(uint64_t n) { return n ? rng() % n : 0; }

std::string hex(int n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(digits[rnd(16)]);
  return s;
}

std::string uuid() { return hex(8) + "-" + hex(4) + "-4" + hex(3) + "-a" + hex(3) + "-" + hex(12); }

std::string base62(int n) {
  static const char* digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(digits[rnd(62)]);
  return s;
}

const char* kWords[] = {"the", "function", "returns", "a", "value", "when", "called", "with", "an", "argument",
                        "we", "should", "update", "test", "cache", "file", "error", "handling", "for", "parser",
                        "état", "naïve", "über", "→", "✓", "日本", "build", "compile", "refactor", "module"};

// Prose, JSON-escaped, about `bytes` long.
std::string prose(size_t bytes) {
  std::string s;
  while (s.size() < bytes) {
    s += kWords[rnd(std::size(kWords))];
    const auto r = rnd(40);
    s += r == 0 ? "\\n\\n" : r == 1 ? ". " : r == 2 ? "\\\"" : " ";
  }
  return s;
}

// At most `bytes` of `s`, cut at a space: never inside a UTF-8 character or an
// escape sequence, so the line stays valid UTF-8 and valid JSON.
std::string wholeWords(const std::string& s, size_t bytes) {
  if (bytes >= s.size()) return s;
  const size_t cut = s.rfind(' ', bytes);
  return cut == std::string::npos ? std::string() : s.substr(0, cut);
}

// Source code as a tool result carries it: escaped quotes, tabs and line breaks.
std::string code(size_t bytes) {
  std::string s;
  int line = 1;
  while (s.size() < bytes) {
    s += std::to_string(line++) + "\\u2192";
    s += rnd(3) ? "    if (value != nullptr) { return \\\"" + base62(8) + "\\\"; }\\n" : "\\t// " + prose(40) + "\\n";
  }
  return s;
}

std::string iso(int64_t ms) {
  const time_t secs = static_cast<time_t>(ms / 1000);
  struct tm tm {};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

struct Totals {
  uint64_t bytes = 0, lines = 0, usageLines = 0, files = 0;
};

void setMtime(const fs::path& p, int64_t ms) {
  struct timespec t[2];
  t[0].tv_sec = t[1].tv_sec = ms / 1000;
  t[0].tv_nsec = t[1].tv_nsec = (ms % 1000) * 1'000'000;
  ::utimensat(AT_FDCWD, p.c_str(), t, 0);
}

const char* kModels[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-8", "claude-haiku-4-5-20251001"};

// One Claude session file of about `target` bytes starting at `startMs`.
// `resumeFrom` lines are copied first, as a resumed session repeats them.
int64_t writeClaudeSession(const fs::path& path, size_t target, int64_t startMs, const std::string& repeated,
                           std::string* keep, Totals& totals) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return startMs;
  std::string out = repeated;
  const std::string session = uuid(), cwd = "/home/dev/src/project-" + base62(4);
  const std::string common = R"("isSidechain":false,"userType":"external","cwd":")" + cwd + R"(","sessionId":")" +
                             session + R"(","version":"2.0.14","gitBranch":"main",)";
  int64_t t = startMs;
  std::string parent = "null";
  const char* model = kModels[rnd(3)];
  while (out.size() < target) {
    // A user prompt.
    std::string uid = uuid();
    out += R"({"parentUuid":)" + parent + "," + common + R"("type":"user","message":{"role":"user","content":")" +
           prose(80 + rnd(600)) + R"("},"uuid":")" + uid + R"(","timestamp":")" + iso(t) + "\"}\n";
    parent = "\"" + uid + "\"";
    ++totals.lines;
    // The assistant's turns: text, thinking and tool use blocks, then tool results.
    const int turns = 1 + static_cast<int>(rnd(6));
    for (int turn = 0; turn < turns && out.size() < target; ++turn) {
      t += 2000 + static_cast<int64_t>(rnd(60000));
      const std::string msg = "msg_01" + base62(22), req = "req_011C" + base62(18);
      const std::string usage = R"({"input_tokens":)" + std::to_string(rnd(20)) + R"(,"cache_creation_input_tokens":)" +
                                std::to_string(rnd(30000)) + R"(,"cache_read_input_tokens":)" +
                                std::to_string(rnd(150000)) +
                                R"(,"cache_creation":{"ephemeral_5m_input_tokens":0,"ephemeral_1h_input_tokens":0},"output_tokens":)" +
                                std::to_string(1 + rnd(4000)) + R"(,"service_tier":"standard"})";
      const int blocks = 1 + static_cast<int>(rnd(3));
      std::string toolId;
      for (int b = 0; b < blocks; ++b) {
        std::string content;
        const auto kind = rnd(10);
        if (kind < 2) content = R"({"type":"thinking","thinking":")" + prose(200 + rnd(3000)) + R"(","signature":")" + base62(300) + "\"}";
        else if (kind < 6) content = R"({"type":"text","text":")" + prose(50 + rnd(2500)) + "\"}";
        else {
          toolId = "toolu_01" + base62(22);
          content = R"({"type":"tool_use","id":")" + toolId + R"(","name":"Edit","input":{"file_path":")" + cwd +
                    "/src/" + base62(6) + R"(.cpp","old_string":")" + code(100 + rnd(1500)) + R"(","new_string":")" +
                    code(100 + rnd(1500)) + "\"}}";
        }
        const std::string aid = uuid();
        out += R"({"parentUuid":)" + parent + "," + common + R"("message":{"id":")" + msg +
               R"(","type":"message","role":"assistant","model":")" + model + R"(","content":[)" + content +
               R"(],"stop_reason":null,"stop_sequence":null,"usage":)" + usage + R"(},"requestId":")" + req +
               R"(","type":"assistant","uuid":")" + aid + R"(","timestamp":")" + iso(t + b * 150) + "\"}\n";
        parent = "\"" + aid + "\"";
        ++totals.lines;
        ++totals.usageLines;
      }
      if (!toolId.empty()) {
        // The tool's answer: sometimes a whole file, occasionally a very long one.
        const size_t size = rnd(50) == 0 ? 1'500'000 + rnd(3'000'000) : 200 + rnd(20000);
        const std::string body = code(size);
        const std::string rid = uuid();
        out += R"({"parentUuid":)" + parent + "," + common +
               R"("type":"user","message":{"role":"user","content":[{"tool_use_id":")" + toolId +
               R"(","type":"tool_result","content":")" + body + R"("}]},"uuid":")" + rid + R"(","timestamp":")" +
               iso(t + 1000) + R"(","toolUseResult":{"stdout":")" + wholeWords(body, body.size() / 4) +
               R"(","stderr":"","interrupted":false}})" + "\n";
        parent = "\"" + rid + "\"";
        ++totals.lines;
      }
    }
    if (rnd(30) == 0) {
      out += R"({"type":"summary","summary":")" + prose(60) + R"(","leafUuid":")" + uuid() + "\"}\n";
      ++totals.lines;
    }
    t += 30000 + static_cast<int64_t>(rnd(600000));
  }
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  if (keep) *keep = out.substr(0, std::min<size_t>(out.size(), 200'000));
  if (keep && !keep->empty()) *keep = keep->substr(0, keep->rfind('\n') + 1);
  totals.bytes += out.size();
  ++totals.files;
  setMtime(path, t);
  return t;
}

int64_t writeCodexRollout(const fs::path& path, size_t target, int64_t startMs, Totals& totals) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return startMs;
  int64_t t = startMs;
  std::string out = R"({"timestamp":")" + iso(t) + R"(","type":"session_meta","payload":{"id":")" + uuid() +
                    R"(","timestamp":")" + iso(t) + R"(","cwd":"/home/dev/src/app","originator":"codex_cli_rs","cli_version":"0.46.0","instructions":")" +
                    prose(3000) + R"(","git":{"commit_hash":")" + hex(40) + R"(","branch":"main"}}})" + "\n";
  ++totals.lines;
  int64_t totalIn = 0, totalOut = 0;
  while (out.size() < target) {
    t += 1000 + static_cast<int64_t>(rnd(20000));
    out += R"({"timestamp":")" + iso(t) + R"(","type":"response_item","payload":{"type":"message","role":"user","content":[{"type":"input_text","text":")" +
           prose(50 + rnd(800)) + "\"}]}}\n";
    const int calls = static_cast<int>(rnd(5));
    for (int c = 0; c < calls; ++c) {
      const std::string call = "call_" + base62(24);
      out += R"({"timestamp":")" + iso(t + 10) + R"(","type":"response_item","payload":{"type":"function_call","name":"shell","arguments":"{\"command\":[\"bash\",\"-lc\",\"rg -n )" +
             base62(6) + R"( src\"]}","call_id":")" + call + "\"}}\n";
      out += R"({"timestamp":")" + iso(t + 500) + R"(","type":"response_item","payload":{"type":"function_call_output","call_id":")" +
             call + R"(","output":"{\"output\":\")" + code(100 + rnd(8000)) + R"(\",\"metadata\":{\"exit_code\":0,\"duration_seconds\":0.1}}"}})" + "\n";
      totals.lines += 2;
    }
    out += R"({"timestamp":")" + iso(t + 900) + R"(","type":"event_msg","payload":{"type":"agent_reasoning","text":")" +
           prose(100 + rnd(1500)) + "\"}}\n";
    const int64_t in = 2000 + static_cast<int64_t>(rnd(60000)), cached = static_cast<int64_t>(rnd(static_cast<uint64_t>(in))),
                  outTok = 10 + static_cast<int64_t>(rnd(3000)), reasoning = static_cast<int64_t>(rnd(2000));
    totalIn += in;
    totalOut += outTok;
    const std::string last = R"({"input_tokens":)" + std::to_string(in) + R"(,"cached_input_tokens":)" +
                             std::to_string(cached) + R"(,"output_tokens":)" + std::to_string(outTok) +
                             R"(,"reasoning_output_tokens":)" + std::to_string(reasoning) + R"(,"total_tokens":)" +
                             std::to_string(in + outTok) + "}";
    out += R"({"timestamp":")" + iso(t + 1000) + R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
           std::to_string(totalIn) + R"(,"output_tokens":)" + std::to_string(totalOut) + R"(,"total_tokens":)" +
           std::to_string(totalIn + totalOut) + R"(},"last_token_usage":)" + last +
           R"(,"model_context_window":272000},"rate_limits":{"primary":{"used_percent":12.0,"window_minutes":300,"resets_in_seconds":9000}}}})" + "\n";
    totals.lines += 3;
    ++totals.usageLines;
  }
  std::fwrite(out.data(), 1, out.size(), f);
  std::fclose(f);
  totals.bytes += out.size();
  ++totals.files;
  setMtime(path, t);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--home") o.home = argv[i + 1];
    else if (k == "--mib") o.mib = std::atof(argv[i + 1]);
    else if (k == "--files") o.files = std::atoi(argv[i + 1]);
    else if (k == "--days") o.days = std::atoi(argv[i + 1]);
    else if (k == "--seed") o.seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
  }
  if (o.home.empty() || o.files < 1) {
    std::fprintf(stderr, "usage: %s --home DIR [--mib N] [--files N] [--days N] [--seed N]\n", argv[0]);
    return 2;
  }
  rng.seed(o.seed);
  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  const double target = o.mib * 1024 * 1024;
  const size_t perFile = static_cast<size_t>(target / o.files);
  Totals totals;
  std::string repeat;
  const fs::path claude = o.home / ".claude" / "projects";
  const fs::path codex = o.home / ".codex" / "sessions";
  for (int i = 0; i < o.files; ++i) {
    // Files vary a lot in size around the mean.
    const size_t size = std::max<size_t>(4096, static_cast<size_t>(perFile * (0.2 + 1.6 * (static_cast<double>(rnd(1000)) / 1000.0))));
    const int64_t start = nowMs - static_cast<int64_t>(rnd(static_cast<uint64_t>(o.days) * 86'400'000ull)) - 3'600'000;
    if (i % 4 == 3) {
      char dir[64];
      const time_t secs = static_cast<time_t>(start / 1000);
      struct tm tm {};
      gmtime_r(&secs, &tm);
      std::snprintf(dir, sizeof dir, "%04d/%02d/%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
      fs::create_directories(codex / dir);
      writeCodexRollout(codex / dir / ("rollout-" + iso(start).substr(0, 19) + "-" + uuid() + ".jsonl"), size, start, totals);
    } else {
      const fs::path project = claude / ("-home-dev-src-project-" + std::to_string(i % 23));
      const std::string session = uuid();
      fs::create_directories(project);
      if (i % 7 == 5) {
        // A subagent's transcript in the session's folder.
        fs::create_directories(project / session / "subagents");
        writeClaudeSession(project / session / "subagents" / ("agent-" + hex(8) + ".jsonl"), size, start, "", nullptr, totals);
      } else {
        // Every tenth session resumes the previous one and repeats its beginning.
        std::string copy = (i % 10 == 0) ? repeat : std::string();
        writeClaudeSession(project / (session + ".jsonl"), size, start, copy, &repeat, totals);
      }
    }
  }
  std::printf("files=%llu bytes=%llu (%.1f MiB) lines=%llu usage_lines=%llu\n",
              static_cast<unsigned long long>(totals.files), static_cast<unsigned long long>(totals.bytes),
              static_cast<double>(totals.bytes) / 1048576.0, static_cast<unsigned long long>(totals.lines),
              static_cast<unsigned long long>(totals.usageLines));
  return 0;
}

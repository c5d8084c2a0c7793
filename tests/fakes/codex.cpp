// A stand-in for `codex app-server` that follows a script, for tests.
//
// Environment:
//   QUOTADIAL_FAKE_CODEX_SCRIPT   script file; without it the fake just serves (below)
//   QUOTADIAL_FAKE_CODEX_LOG      every line received on stdin is appended here
//   QUOTADIAL_FAKE_CODEX_PIDFILE  the fake's pid (and any helper's) is appended here
//   QUOTADIAL_FAKE_CODEX_PAYLOAD  rate-limit payload JSON used by `serve`
//   QUOTADIAL_FAKE_CODEX_EXIT_ON_EOF=1  exit when stdin closes (default: wait to be killed)
//
// Script commands, one per line ("#" starts a comment line; ${id} is the id of the
// last request matched by `expect`):
//   expect METHOD      read input until a line whose "method" is METHOD
//   send TEXT          write TEXT and a line feed in one write
//   write TEXT         write TEXT with \n \r \t \\ \xHH escapes, no line feed added
//   split N TEXT       write TEXT and a line feed in pieces of N bytes, 5 ms apart
//   bigline N TEXT     TEXT with "@PAD@" replaced by N 'x' characters, then a line feed
//   stderr N           write N bytes of log text to standard error
//   sleep MS
//   exit CODE
//   hang               stop reading and wait to be killed
//   ignore-term        ignore SIGTERM from now on
//   spawn-helper       start a helper process in the same group that just sleeps
//   serve              answer initialize, rate-limit and account requests until EOF
//   burst N            write N "account/rateLimits/updated" notifications at once,
//                      the 5-hour window's usedPercent going 1, 2, ... 99, 1, ...
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

// A fake left behind by a broken test still goes away on its own.
constexpr int kLifetimeSeconds = 120;

std::string gLastId = "null";
std::string gBuffer;
bool gEof = false;

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return (v && *v) ? v : nullptr;
}

void writeAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      std::_Exit(3);  // our reader went away
    }
    off += static_cast<size_t>(n);
  }
}

void logLine(const std::string& line) {
  if (const char* path = env("QUOTADIAL_FAKE_CODEX_LOG")) {
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
  }
}

void logPid(pid_t pid) {
  if (const char* path = env("QUOTADIAL_FAKE_CODEX_PIDFILE")) {
    std::ofstream out(path, std::ios::app);
    out << pid << "\n";
  }
}

std::optional<std::string> readLine() {
  for (;;) {
    auto nl = gBuffer.find('\n');
    if (nl != std::string::npos) {
      std::string line = gBuffer.substr(0, nl);
      gBuffer.erase(0, nl + 1);
      logLine(line);
      return line;
    }
    if (gEof) return std::nullopt;
    char buf[65536];
    ssize_t n = ::read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      gEof = true;
      continue;
    }
    gBuffer.append(buf, static_cast<size_t>(n));
  }
}

std::string substitute(std::string text) {
  for (size_t pos; (pos = text.find("${id}")) != std::string::npos;) text.replace(pos, 5, gLastId);
  return text;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

[[noreturn]] void waitToBeKilled() {
  for (int i = 0; i < kLifetimeSeconds * 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::_Exit(0);
}

void atEof() {
  if (env("QUOTADIAL_FAKE_CODEX_EXIT_ON_EOF")) std::_Exit(0);
  waitToBeKilled();
}

std::string defaultPayload() {
  if (const char* p = env("QUOTADIAL_FAKE_CODEX_PAYLOAD")) return p;
  const long now = static_cast<long>(std::time(nullptr));
  std::ostringstream s;
  s << R"({"rateLimits":{"limitId":"codex","limitName":null,)"
    << R"("primary":{"usedPercent":28,"windowDurationMins":300,"resetsAt":)" << now + 3600 << "},"
    << R"("secondary":{"usedPercent":61,"windowDurationMins":10080,"resetsAt":)" << now + 3 * 86400 << "},"
    << R"("credits":null,"planType":"pro","rateLimitReachedType":null}})";
  return s.str();
}

void serve() {
  writeAll(1, R"({"method":"configWarning","params":{"summary":"fake"}})" "\n");
  while (auto line = readLine()) {
    auto message = nlohmann::json::parse(*line, nullptr, false);
    if (message.is_discarded() || !message.is_object() || !message.contains("id")) continue;
    const std::string id = message["id"].dump();
    const std::string method = message.value("method", "");
    writeAll(2, "fake codex: " + method + "\n");
    std::string answer;
    if (method == "initialize")
      answer = R"({"id":)" + id + R"(,"result":{"userAgent":"fake-codex/0.0"}})";
    else if (method == "account/rateLimits/read")
      answer = R"({"id":)" + id + R"(,"result":)" + defaultPayload() + "}";
    else if (method == "account/read")
      answer = R"({"id":)" + id + R"(,"result":{"account":null,"requiresOpenaiAuth":true}})";
    else
      answer = R"({"id":)" + id + R"(,"error":{"code":-32601,"message":"unknown method"}})";
    writeAll(1, answer + "\n");
  }
  atEof();
}

void expect(const std::string& method) {
  while (auto line = readLine()) {
    auto message = nlohmann::json::parse(*line, nullptr, false);
    if (message.is_discarded() || !message.is_object()) continue;
    if (message.value("method", "") != method) continue;
    gLastId = message.contains("id") ? message["id"].dump() : "null";
    return;
  }
  atEof();
}

void spawnHelper() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(0);
    ::close(1);
    waitToBeKilled();
  }
  if (pid > 0) logPid(pid);
}

void runScript(std::istream& script) {
  std::string line;
  while (std::getline(script, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    const auto numberAndText = [&rest]() {
      const auto sp = rest.find(' ');
      return std::make_pair(std::stoul(rest.substr(0, sp)), sp == std::string::npos ? "" : rest.substr(sp + 1));
    };
    if (command == "expect") {
      expect(rest);
    } else if (command == "send") {
      writeAll(1, substitute(rest) + "\n");
    } else if (command == "write") {
      writeAll(1, unescape(substitute(rest)));
    } else if (command == "split") {
      auto [n, text] = numberAndText();
      const std::string data = substitute(text) + "\n";
      for (size_t off = 0; off < data.size(); off += n) {
        writeAll(1, data.substr(off, n));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } else if (command == "bigline") {
      auto [n, text] = numberAndText();
      std::string data = substitute(text);
      const auto pad = data.find("@PAD@");
      if (pad != std::string::npos) data.replace(pad, 5, std::string(n, 'x'));
      data += "\n";
      for (size_t off = 0; off < data.size(); off += 65536) writeAll(1, data.substr(off, 65536));
    } else if (command == "stderr") {
      const size_t n = std::stoul(rest);
      std::string text;
      while (text.size() < n) text += "2026-12-07T00:00:00Z INFO fake log line for the error pipe\n";
      writeAll(2, text.substr(0, n));
    } else if (command == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(rest)));
    } else if (command == "exit") {
      std::_Exit(std::stoi(rest));
    } else if (command == "hang") {
      waitToBeKilled();
    } else if (command == "ignore-term") {
      ::signal(SIGTERM, SIG_IGN);
    } else if (command == "spawn-helper") {
      spawnHelper();
    } else if (command == "burst") {
      const unsigned long n = std::stoul(rest);
      std::string data;
      for (unsigned long i = 0; i < n; ++i) {
        data += R"({"method":"account/rateLimits/updated","params":{"rateLimits":{"primary":{"usedPercent":)" +
                std::to_string(i % 99 + 1) + R"(,"windowDurationMins":300},"secondary":{"usedPercent":40,)"
                R"("windowDurationMins":10080}}}})" "\n";
        if (data.size() > 60000) {
          writeAll(1, data);
          data.clear();
        }
      }
      writeAll(1, data);
    } else if (command == "serve") {
      serve();
    } else {
      std::cerr << "fake codex: unknown script command " << command << "\n";
      std::_Exit(4);
    }
  }
  atEof();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) != "app-server") {
    std::cerr << "usage: codex app-server\n";
    return 2;
  }
  logPid(::getpid());
  if (const char* path = env("QUOTADIAL_FAKE_CODEX_SCRIPT")) {
    std::ifstream script(path);
    if (!script) return 5;
    runScript(script);
  } else {
    serve();
  }
  return 0;
}

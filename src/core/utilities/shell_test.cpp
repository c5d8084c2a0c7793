#include "utilities/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "testing/temp_dir.h"
#include "utilities/app_logger.h"
#include "utilities/utf8.h"

namespace qd {
namespace {

class EnvVar {
 public:
  EnvVar(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvVar() {
    if (saved_)
      ::setenv(name_, saved_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

void makeTool(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\necho tool\n";
  ::chmod(path.c_str(), 0755);
}

TEST(ShellRunTest, OutputAndStatus) {
  struct Case {
    std::vector<std::string> script;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {{"-c", "printf 'hello'; exit 3"}, 3, "hello", ""},
      {{"-c", "echo out; echo err >&2"}, 0, "out\n", "err\n"},
      {{"-c", "printf 'a\\377b\\342\\202'"}, 0, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD", ""},
      {{"-c", "kill -9 $$"}, 9, "", ""},
      {{"-c", "yes | head -c 3"}, 0, "y\ny", ""},  // the child's SIGPIPE is not ignored
  };
  for (const auto& c : cases) {
    auto r = Shell::run("/bin/sh", c.script);
    ASSERT_TRUE(r) << c.script[1];
    EXPECT_EQ(r->status, c.status) << c.script[1];
    EXPECT_EQ(r->stdoutText, c.out) << c.script[1];
    EXPECT_EQ(r->stderrText, c.err) << c.script[1];
  }
}

TEST(ShellRunTest, LargeOutputOnBothPipesDoesNotStall) {
  // 3 MB on stdout and 2 MB on stderr, interleaved, well past any pipe buffer.
  auto r = Shell::run("/bin/sh", {"-c", "head -c 3000000 /dev/zero | tr '\\0' x; head -c 2000000 /dev/zero | tr '\\0' y >&2; "
                                        "head -c 1000000 /dev/zero | tr '\\0' z"},
                      30.0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  EXPECT_EQ(r->stdoutText.size(), 4000000u);
  EXPECT_EQ(r->stderrText.size(), 2000000u);
  EXPECT_EQ(r->stdoutText.back(), 'z');
}

TEST(ShellRunTest, TimeoutTerminatesAndKeepsEarlierOutput) {
  const auto start = std::chrono::steady_clock::now();
  auto r = Shell::run("/bin/sh", {"-c", "echo started; exec sleep 20"}, 0.3);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 15);  // SIGTERM
  EXPECT_EQ(r->stdoutText, "started\n");
  EXPECT_LT(took, 10.0);
}

TEST(ShellRunTest, ChildIgnoringTerminationIsKilled) {
  auto r = Shell::run("/bin/sh", {"-c", "trap '' TERM; echo up; while :; do sleep 0.05; done"}, 0.2);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 9);
  EXPECT_EQ(r->stdoutText, "up\n");
}

TEST(ShellRunTest, GrandchildHoldingThePipesDoesNotHang) {
  const auto start = std::chrono::steady_clock::now();
  auto r = Shell::run("/bin/sh", {"-c", "sleep 30 & echo parent"});
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  EXPECT_EQ(r->stdoutText, "parent\n");
  EXPECT_LT(took, 10.0);
}

TEST(ShellRunTest, MissingExecutableIsAbsentAndLogged) {
  testing::TempDir dir;
  AppLogger::shared().setFileURL(dir / "app.log");
  AppLogger::shared().resetLastError();
  EXPECT_FALSE(Shell::run("/no/such/program", {}));
  ASSERT_TRUE(AppLogger::shared().lastError());
  EXPECT_EQ(*AppLogger::shared().lastError(), "Shell.run failed: No such file or directory");
}

TEST(ShellWhichTest, FixedPlacesThenPathThenUserInstalls) {
  testing::TempDir dir;
  EnvVar home("HOME", (dir / "home").string());
  EnvVar path("PATH", (dir / "path").string() + ":relative/dir");
  const std::string name = "qd-which-probe";

  EXPECT_FALSE(Shell::which(name));
  EXPECT_FALSE(Shell::which("a/b"));
  EXPECT_FALSE(Shell::which(""));

  makeTool(dir / "home/.nvm/versions/node/v9.11.2/bin" / name);
  makeTool(dir / "home/.nvm/versions/node/v20.1.0/bin" / name);
  EXPECT_EQ(Shell::which(name), (dir / "home/.nvm/versions/node/v20.1.0/bin" / name).string());
  makeTool(dir / "home/.bun/bin" / name);
  EXPECT_EQ(Shell::which(name), (dir / "home/.bun/bin" / name).string());
  makeTool(dir / "home/.local/bin" / name);
  EXPECT_EQ(Shell::which(name), (dir / "home/.local/bin" / name).string());
  makeTool(dir / "path" / name);
  EXPECT_EQ(Shell::which(name), (dir / "path" / name).string());

  // Not executable, or a directory: not a match.
  std::filesystem::create_directories(dir / "path/dironly");
  EXPECT_FALSE(Shell::which("dironly"));

  // The four fixed directories come first.
  EXPECT_EQ(Shell::which("sh"), std::filesystem::exists("/usr/bin/sh") ? "/usr/bin/sh" : "/bin/sh");
}

TEST(UTF8Test, RepairReplacesEachMaximalBadSubpart) {
  struct Case {
    std::string in, out;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\x80" "b", "a" + r + "b"},
      {"\xE2\x82", r},                      // truncated three-byte sequence: one replacement
      {"\xE2\x82z", r + "z"},
      {"\xC0\xAF", r + r},                  // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xFF\xFE", r + r},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(repairUTF8(c.in), c.out);
    EXPECT_EQ(isValidUTF8(c.in), c.in == c.out);
    EXPECT_TRUE(isValidUTF8(repairUTF8(c.in)));
  }
}

}  // namespace
}  // namespace qd

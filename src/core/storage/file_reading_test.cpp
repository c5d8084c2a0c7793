#include "storage/file_reading.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace qd {
namespace {

namespace fs = std::filesystem;

// Every case must answer at once: a reader that opened a FIFO blocking would wait
// here for ever (the test's time limit ends it).
TEST(ReadWholeFile, ReadsOnlyRegularFilesWithinTheBound) {
  testing::TempDir dir;
  std::ofstream(dir / "small") << "hello";
  std::ofstream(dir / "empty");
  std::ofstream(dir / "large") << std::string(2000, 'x');
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "directory");
  fs::create_symlink(dir / "fifo", dir / "link-to-fifo");
  fs::create_symlink(dir / "small", dir / "link-to-small");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = (dir / "socket").string();
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  sockPath.copy(addr.sun_path, sockPath.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  struct Case {
    const char* name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"small", "hello"},         {"empty", ""},           {"large", std::nullopt},
      {"fifo", std::nullopt},     {"directory", std::nullopt}, {"link-to-fifo", std::nullopt},
      {"link-to-small", "hello"}, {"socket", std::nullopt},    {"missing", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(readWholeFile(dir / c.name, 1000), c.expected) << c.name;
  EXPECT_EQ(readWholeFile(dir / "large"), std::string(2000, 'x'));
  EXPECT_FALSE(readWholeFile("/dev/zero"));
  ::close(sock);
}

TEST(ReadableFile, KeepsTheDescriptorAndStatusItChecked) {
  testing::TempDir dir;
  std::ofstream(dir / "f") << "abc";
  auto file = ReadableFile::open(dir / "f", kNoFileSizeBound);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size(), 3);
  EXPECT_TRUE(S_ISREG(file->status().st_mode));
  ReadableFile moved = std::move(*file);
  EXPECT_EQ(file->fd(), -1);
  char buf[4] = {};
  EXPECT_EQ(::pread(moved.fd(), buf, 3, 0), 3);
  EXPECT_EQ(moved.readAll(2), std::nullopt);  // grew past the bound since it was opened
}

}  // namespace
}  // namespace qd

#include "providers/codex/codex_config_reader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace qd {
namespace {

TEST(CodexConfigReader, LineScan) {
  struct Case {
    const char* text;
    const char* key;
    std::optional<std::string> value;
  };
  const Case cases[] = {
      {"model = \"gpt-5-codex\"\n", "model", "gpt-5-codex"},
      {"model_reasoning_effort = 'high'\n", "model_reasoning_effort", "high"},
      {"  \tmodel=o3\t \n", "model", "o3"},
      {"model_reasoning_effort = \"low\"\nmodel = \"m\"\n", "model", "m"},  // longer key is not "model"
      {"model = \"\"\nmodel = \"later\"\n", "model", std::nullopt},         // first match decides
      {"model =\nmodel = x\n", "model", "x"},                             // nothing after "=": skipped
      {"model\nmodel = y", "model", "y"},                                 // no "=" at all
      {"model = a=b\n", "model", "a=b"},
      {"model = \"gpt\" # pinned\n", "model", "gpt\" # pinned"},
      {"[profiles.fast]\nmodel = \"p\"\n", "model", "p"},
      {"model = \"gpt\"\r\n", "model", "gpt\"\r"},  // a carriage return stays part of the line
      {"model = \"'both'\"", "model", "both"},
      {"model = \"  \"", "model", "  "},
      {"model = \"\"\"", "model", std::nullopt},
      {"# model = commented\n", "model", std::nullopt},
      {"mode = x\n", "model", std::nullopt},
      {"", "model", std::nullopt},
      {"\n\n\n", "model", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CodexConfigReader::scanValue(c.text, c.key), c.value) << c.text;
}

TEST(CodexConfigReader, FastFallsBackToFastMode) {
  auto config = CodexConfigReader::parse("model = \"gpt-5\"\nfast_mode = true\n");
  EXPECT_EQ(config.model, "gpt-5");
  EXPECT_EQ(config.fastMode, "true");
  EXPECT_EQ(CodexConfigReader::parse("fast = \"on\"\nfast_mode = true\n").fastMode, "on");
  EXPECT_EQ(CodexConfigReader::parse("fast = \"\"\nfast_mode = true\n").fastMode, "true");
}

class CodexConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qd-codex-config-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ::setenv("CODEX_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    ::unsetenv("CODEX_HOME");
  }
  void write(std::string_view text) { std::ofstream(dir_ / "config.toml", std::ios::binary) << text; }
  std::filesystem::path dir_;
};

TEST_F(CodexConfigFile, ReadsFromCodexHome) {
  write("model = \"gpt-5-codex\"\nmodel_reasoning_effort = \"medium\"\nfast = true\n");
  EXPECT_EQ(CodexConfigReader::configFile(), dir_ / "config.toml");
  const CodexConfig expected{"gpt-5-codex", "medium", "true"};
  EXPECT_EQ(CodexConfigReader::read(), expected);
}

TEST_F(CodexConfigFile, UnreadableFilesGiveEverythingAbsent) {
  EXPECT_EQ(CodexConfigReader::read(), CodexConfig{});  // missing
  write("model = \"caf\xC3\x28\"\n");                    // not UTF-8
  EXPECT_EQ(CodexConfigReader::read(), CodexConfig{});
  std::filesystem::remove(dir_ / "config.toml");
  std::filesystem::create_directory(dir_ / "config.toml");  // a directory
  EXPECT_EQ(CodexConfigReader::read(), CodexConfig{});
  std::filesystem::remove(dir_ / "config.toml");
  ASSERT_EQ(::mkfifo((dir_ / "config.toml").c_str(), 0600), 0);  // must not block
  EXPECT_EQ(CodexConfigReader::read(), CodexConfig{});
}

}  // namespace
}  // namespace qd

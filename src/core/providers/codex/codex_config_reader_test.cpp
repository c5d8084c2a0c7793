#include "providers/codex/codex_config_reader.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace qd {
namespace {

TEST(CodexConfigReader, ReadsTopLevelSettingsAsTOML) {
  struct Case {
    const char* text;
    std::optional<std::string> model;
  };
  const Case cases[] = {
      {"model = \"gpt-5-codex\"\n", "gpt-5-codex"},
      {"model='o3'\n", "o3"},
      {"model = \"gpt-5.5\" # default\n", "gpt-5.5"},                        // a trailing comment is not the value
      {"model = \"gpt-5.5\"\r\nmodel_reasoning_effort = \"low\"\r\n", "gpt-5.5"},  // CR LF line ends
      {"[profiles.fast]\nmodel = \"p\"\n", std::nullopt},                   // inside a table: not the setting
      {"model = \"top\"\n[profiles.fast]\nmodel = \"p\"\n", "top"},
      {"model_reasoning_effort = \"low\"\nmodel = \"m\"\n", "m"},
      {"model = \"\"\n", std::nullopt},
      {"\"model\" = \"quoted key\"\n", "quoted key"},
      {"model = \"\"\"multi\"\"\"\n", "multi"},
      {"model = \"esc\\u00e9\"\n", "esc\u00e9"},
      {"model = [\"a\"]\n", std::nullopt},                                    // not a text
      {"# model = \"commented\"\n", std::nullopt},
      {"model = \"a\"\nmodel = \"b\"\n", std::nullopt},                       // a duplicate key is not TOML
      {"model = \"unterminated\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(CodexConfigReader::parse(c.text).model, c.model) << c.text;

  const auto config = CodexConfigReader::parse("model_reasoning_effort = 'high'\nfast = true\n");
  EXPECT_EQ(config.modelReasoningEffort, "high");
  EXPECT_EQ(config.fastMode, "true");
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

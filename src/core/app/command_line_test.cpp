#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/diagnostic_modes.h"

namespace qd {
namespace {

TEST(CommandLine, FlagsAreWholeArgumentsInAnyOrder) {
  auto p = CommandLine::parse({"--start-settings", "--demo", "--capture-height", "900", "--preview"});
  EXPECT_FALSE(p.unknownArgument);
  EXPECT_TRUE(p.options.demo);
  EXPECT_TRUE(p.options.preview);
  EXPECT_TRUE(p.options.startSettings);
  EXPECT_DOUBLE_EQ(p.options.captureHeight, 900);
  EXPECT_FALSE(p.options.diagnosticMode);
  EXPECT_FALSE(CommandLine::parse({"--demonstrate"}).options.demo);
}

TEST(CommandLine, CaptureHeightNeedsAWholeNumber) {
  EXPECT_DOUBLE_EQ(CommandLine::parse({"--capture-height", "812.5"}).options.captureHeight, 812.5);
  EXPECT_DOUBLE_EQ(CommandLine::parse({"--capture-height"}).options.captureHeight, 720);
  EXPECT_DOUBLE_EQ(CommandLine::parse({"--capture-height", " 900"}).options.captureHeight, 720);
  auto p = CommandLine::parse({"--capture-height", "tall"});
  EXPECT_DOUBLE_EQ(p.options.captureHeight, 720);
  EXPECT_EQ(p.unknownArgument, "tall");
}

TEST(CommandLine, TheFirstDiagnosticModeInCheckingOrderWins) {
  EXPECT_EQ(CommandLine::parse({"--selftest", "--logictest"}).options.diagnosticMode, "--logictest");
  EXPECT_EQ(CommandLine::parse({"--dumpstore", "--bundletest"}).options.diagnosticMode, "--bundletest");
  EXPECT_EQ(CommandLine::parse({"--status", "--json"}).options.diagnosticMode, std::nullopt);
}

TEST(CommandLine, UnknownOptionsAreReported) {
  EXPECT_EQ(CommandLine::parse({"--demo", "--frobnicate"}).unknownArgument, "--frobnicate");
}

TEST(CommandLine, ModesOfLaterSubsystemsSayTheyAreNotAvailable) {
  for (const char* flag : {"--oauthtest", "--usagetest"}) {
    auto p = CommandLine::parse({flag});
    std::ostringstream out, err;
    auto status = CommandLine::runIfRequested(p.options, out, err);
    ASSERT_TRUE(status) << flag;
    if (*status == 1) EXPECT_NE(out.str().find("not available"), std::string::npos) << flag;
  }
}

TEST(CommandLine, SelfTestPrintsBothProvidersFiveHourFirst) {
  std::ostringstream out;
  EXPECT_EQ(DiagnosticModes::runSelfTest(CommandLineOptions{}, out), 0);
  const std::string text = out.str();
  const size_t codex = text.find("=== Codex ===");
  const size_t claude = text.find("=== Claude Code ===");
  ASSERT_NE(codex, std::string::npos);
  ASSERT_NE(claude, std::string::npos);
  EXPECT_LT(codex, claude);
  EXPECT_LT(text.find("[5h] used=22%", codex), text.find("[7d] used=34%", codex));
  EXPECT_LT(text.find("[5h] used=28%", claude), text.find("[7d] used=41%", claude));
  EXPECT_NE(text.find("   pace: "), std::string::npos);
  EXPECT_NE(text.find("   scenario: Fast Mode on"), std::string::npos);
}

TEST(CommandLine, LogicChecksAllPass) {
  const auto checks = DiagnosticModes::logicChecks();
  ASSERT_EQ(checks.size(), 23u);
  for (size_t i = 0; i < checks.size(); ++i) {
    const LogicCheckOutcome o = checks[i]();
    EXPECT_TRUE(o.passed) << o.name;
  }
  EXPECT_EQ(checks[0]().name, "runOut crosses at ~5h (got5.00)");
  EXPECT_EQ(checks[15]().name, "latestSeries drops pre-reset samples (3 kept)");
}

TEST(CommandLineRenderPng, TakesThePathThatFollows) {
  const auto p = CommandLine::parse({"--preview", "--demo", "--render-png", "out.png"});
  EXPECT_FALSE(p.unknownArgument.has_value());
  EXPECT_EQ(p.options.renderPng, "out.png");
  EXPECT_EQ(CommandLine::parse({"--render-png"}).unknownArgument, "--render-png");
  EXPECT_FALSE(CommandLine::parse({"--preview"}).options.renderPng.has_value());
}

}  // namespace
}  // namespace qd

#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

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
  struct Case {
    std::vector<std::string> args;
    double height;
    std::optional<std::string> unknown;
  };
  const std::vector<Case> cases = {
      {{"--capture-height", "812.5"}, 812.5, std::nullopt},
      {{"--capture-height"}, 720, std::nullopt},
      {{"--capture-height", " 900"}, 720, std::nullopt},
      // A non-numeric value leaves 720 and is not an error.
      {{"--capture-height", "tall", "--demo"}, 720, std::nullopt},
      // An option after it is not its value.
      {{"--capture-height", "--demo"}, 720, std::nullopt},
      {{"--capture-height", "--demi"}, 720, "--demi"},
  };
  for (const Case& c : cases) {
    auto p = CommandLine::parse(c.args);
    EXPECT_DOUBLE_EQ(p.options.captureHeight, c.height) << c.args.size();
    EXPECT_EQ(p.unknownArgument, c.unknown) << c.args.back();
  }
  EXPECT_TRUE(CommandLine::parse({"--capture-height", "--demo"}).options.demo);
}

TEST(CommandLine, TheToolkitsOwnOptionsPassThrough) {
  const std::vector<std::vector<std::string>> accepted = {
      {"-platform", "offscreen"}, {"--platform", "offscreen", "--preview"}, {"-style=fusion"},
      {"-style", "fusion"},       {"-reverse", "--demo"},                  {"-qwindowgeometry", "460x720+0+0"},
      {"-display", ":1"},
  };
  for (const auto& args : accepted) EXPECT_FALSE(CommandLine::parse(args).unknownArgument) << args[0];
  // The value of a toolkit option is not an unknown word of ours.
  EXPECT_FALSE(CommandLine::parse({"-qwindowtitle", "Range meter"}).unknownArgument);
  // A toolkit option that needs a value and has none is not accepted.
  EXPECT_EQ(CommandLine::parse({"-platform"}).unknownArgument, "-platform");
}

TEST(CommandLine, TheFirstDiagnosticModeInCheckingOrderWins) {
  EXPECT_EQ(CommandLine::parse({"--selftest", "--logictest"}).options.diagnosticMode, "--logictest");
  EXPECT_EQ(CommandLine::parse({"--dumpstore", "--bundletest"}).options.diagnosticMode, "--bundletest");
  EXPECT_EQ(CommandLine::parse({"--status", "--json"}).options.diagnosticMode, std::nullopt);
}

TEST(CommandLine, TyposOfOurFlagsAreRefusedWithTheNearestFlag) {
  struct Case {
    const char* typed;
    std::optional<std::string> near;
  };
  const std::vector<Case> cases = {
      {"--prevew", "--preview"}, {"--stauts", "--status"},     {"status", "--status"},
      {"-demo", "--demo"},       {"--selftets", "--selftest"}, {"--frobnicate", std::nullopt},
      {"x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CommandLine::parse({"--demo", c.typed}).unknownArgument, c.typed);
    EXPECT_EQ(CommandLine::closestFlag(c.typed), c.near) << c.typed;
  }
}

// Each diagnostic flag reaches its own mode and only it (the sandboxed home
// has no credential and no data, so nothing here waits on the network).
TEST(CommandLine, EachDiagnosticFlagRunsItsMode) {
  const std::vector<std::pair<std::string, std::string>> marks = {
      {"--oauthtest", "credential in store: false\nstatus: "},
      {"--usagetest", "\n=== Codex daily tokens ===\n"},
      {"--dumpstore", "Store: 0 snapshot(s) at "},
      {"--selftest", "\n=== Codex ===\n"},
  };
  for (const auto& [flag, mark] : marks) {
    auto p = CommandLine::parse({"--demo", flag});
    std::ostringstream out, err;
    auto status = CommandLine::runIfRequested(p.options, out, err);
    ASSERT_TRUE(status) << flag;
    EXPECT_EQ(*status, 0) << flag;
    for (const auto& [other, otherMark] : marks)
      EXPECT_EQ(out.str().find(otherMark) != std::string::npos, other == flag) << flag << " printed " << out.str();
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

#include "app/status_bar_format.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

using J = nlohmann::ordered_json;
using StatusBarFormat::Kind;

// A report of the shape StatusReport::json gives, trimmed to what the formats read.
J report(const std::string& title, const std::string& global, bool showRemaining, double codexUsed) {
  return J::parse(R"({
    "mode": "live", "globalStatus": ")" + global + R"(", "showRemaining": )" + (showRemaining ? "true" : "false") + R"(,
    "providers": [
      {"provider": "codex", "name": "Codex", "freshness": "live", "health": null,
       "windows": [
         {"window": "fiveHour", "label": "5h", "usedPercent": )" + std::to_string(codexUsed) + R"(,
          "shown": "72%", "shownKind": "left", "resetPhrase": "resets 14:30 today", "secondsUntilReset": 7500,
          "statusLabel": "Safe"},
         {"window": "sevenDay", "label": "7d", "usedPercent": 40, "shown": "60%", "shownKind": "left",
          "resetPhrase": null, "secondsUntilReset": null, "statusLabel": "Watch"}]},
      {"provider": "claude", "name": "Claude Code", "freshness": null,
       "health": {"state": "error", "detail": "Claude sign-in expired"}, "windows": []}],
    "recommendations": [{"provider": null, "status": "safe", "message": "Plenty of room <today> & tomorrow."}],
    "emptyState": null,
    "title": ")" + title + R"(",
    "focus": {"provider": "codex", "window": "fiveHour"}
  })");
}

TEST(StatusBarFormat, WaybarLineCarriesTextTooltipClassAndTheFocusedFigure) {
  const J line = J::parse(StatusBarFormat::render(Kind::waybar, report("AI  C 72%", "watch", true, 28)));
  EXPECT_EQ(line["text"], "AI  C 72%");
  EXPECT_EQ(line["class"], "watch");
  EXPECT_EQ(line["percentage"], 72);
  const std::string tip = line["tooltip"];
  EXPECT_EQ(tip.substr(0, tip.find('\n')), "Quotadial \u00b7 Watch");
  EXPECT_NE(tip.find("\n  5h  72% left \u00b7 resets 14:30 today (2h 5m) \u00b7 Safe"), std::string::npos) << tip;
  EXPECT_NE(tip.find("\n  7d  60% left \u00b7 Watch"), std::string::npos) << tip;
  EXPECT_NE(tip.find("\nClaude Code\n  Claude sign-in expired\n  No data for this provider yet."), std::string::npos)
      << tip;
  // Waybar reads Pango markup.
  EXPECT_NE(tip.find("Plenty of room &lt;today&gt; &amp; tomorrow."), std::string::npos) << tip;
}

TEST(StatusBarFormat, PercentageIsTheFigureTheTitleShows) {
  struct Case {
    bool showRemaining;
    double used;
    long expected;
  };
  for (const Case c : {Case{true, 28, 72}, Case{false, 28, 28}, Case{true, 104, 0}, Case{false, 104, 104},
                       Case{true, 27.5, 73}, Case{false, 0.4, 0}})
    EXPECT_EQ(StatusBarFormat::percentage(report("x", "safe", c.showRemaining, c.used)), c.expected)
        << c.showRemaining << " " << c.used;

  J unfocused = report("x", "safe", true, 28);
  unfocused["focus"] = nullptr;
  EXPECT_FALSE(StatusBarFormat::percentage(unfocused));
  EXPECT_FALSE(J::parse(StatusBarFormat::render(Kind::waybar, unfocused)).contains("percentage"));
}

TEST(StatusBarFormat, TextFollowsTheTitleAndIconOnlyKeepsAMark) {
  EXPECT_EQ(StatusBarFormat::render(Kind::plain, report("Codex 72% \u00b7 7d 60%", "safe", true, 28)),
            "Codex 72% \u00b7 7d 60%");
  EXPECT_EQ(StatusBarFormat::render(Kind::plain, report("", "safe", true, 28)), "AI");
}

TEST(StatusBarFormat, I3blocksColoursTheTextByTheOverallStatus) {
  EXPECT_EQ(StatusBarFormat::render(Kind::i3blocks, report("AI  Risky", "risky", true, 28)),
            "<span foreground=\"#ff8a4c\">AI  Risky</span>");
  EXPECT_EQ(StatusBarFormat::render(Kind::i3blocks, report("AI  Limited", "limited", true, 28)),
            "<span foreground=\"#ff5c6c\">AI  Limited</span>");
  EXPECT_EQ(StatusBarFormat::render(Kind::i3blocks, report("AI \u2014", "noData", true, 28)), "AI \u2014");
}

TEST(StatusBarFormat, EmptyStateAndMissingFieldsStillGiveALine) {
  J empty = J::parse(R"({"mode": "live", "globalStatus": "noData", "providers": [], "recommendations": [],
                         "emptyState": {"title": "Nothing connected yet", "text": "Install the Codex CLI."},
                         "title": "AI \u2014", "focus": null})");
  const J line = J::parse(StatusBarFormat::render(Kind::waybar, empty));
  EXPECT_EQ(line["class"], "noData");
  EXPECT_EQ(line["tooltip"], "Quotadial \u00b7 No data\nNothing connected yet\nInstall the Codex CLI.");

  for (const char* odd : {"{}", "[]", "null", R"({"providers": 3, "globalStatus": 7, "focus": [], "title": {}})"}) {
    const J r = J::parse(odd);
    for (Kind k : {Kind::waybar, Kind::i3blocks, Kind::plain})
      EXPECT_FALSE(StatusBarFormat::render(k, r).empty()) << odd;
  }
}

TEST(StatusBarFormat, KindsByName) {
  EXPECT_EQ(StatusBarFormat::kindNamed("waybar"), Kind::waybar);
  EXPECT_EQ(StatusBarFormat::kindNamed("i3blocks"), Kind::i3blocks);
  EXPECT_EQ(StatusBarFormat::kindNamed("plain"), Kind::plain);
  EXPECT_FALSE(StatusBarFormat::kindNamed("polybar"));
  EXPECT_FALSE(StatusBarFormat::kindNamed(""));
}

}  // namespace
}  // namespace qd

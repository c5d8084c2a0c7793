#include "app/provider_probe.h"

#include <gtest/gtest.h>

namespace qd {
namespace {

using H = ProviderHealth::State;
using S = ClaudeBridgeStatus::State;
using ProviderProbe::Facts;

Timestamp at(const char* iso) { return *parseISO8601(iso); }

TEST(ProviderProbe, HealthFromWhatIsKnownWithoutStartingTheSource) {
  const Timestamp now = at("2026-12-07T12:00:00Z");
  const Timestamp fresh = at("2026-12-07T11:55:00Z"), stale = at("2026-12-07T09:00:00Z");
  struct Case {
    Provider provider;
    Facts facts;
    H state;
    const char* detail;
  };
  const Case cases[] = {
      {Provider::codex, {false, false, {}, {}, fresh}, H::unavailable, "codex not found in PATH"},
      {Provider::codex, {true, false, {}, {}, std::nullopt}, H::unavailable, "codex found, not signed in"},
      {Provider::codex, {true, true, {}, {}, fresh}, H::connected, "last reading 5m ago"},
      {Provider::codex, {true, true, {}, {}, stale}, H::idle, "codex found, signed in; last reading 3h ago"},
      {Provider::codex, {true, true, {}, {}, std::nullopt}, H::idle, "codex found, signed in; no reading yet"},
      {Provider::claude, {false, false, {S::installed, "", {}}, ClaudeLogin::Kind::apiKey, std::nullopt}, H::idle,
       ProviderProbe::kApiKeyDetail},
      {Provider::claude, {false, true, {S::installed, "", {}}, {}, fresh}, H::connected, "last reading 5m ago"},
      {Provider::claude, {false, true, {S::notInstalled, "", {}}, {}, fresh}, H::connected,
       "last reading 5m ago; bridge not installed"},
      {Provider::claude, {false, true, {S::wrapping, "", {}}, {}, std::nullopt}, H::idle,
       "bridge installed, awaiting first response"},
      {Provider::claude, {false, true, {S::installed, "", {}}, {}, stale}, H::idle, "bridge installed, last reading 3h ago"},
      {Provider::claude, {false, true, {S::notInstalled, "", {}}, {}, std::nullopt}, H::unavailable,
       "bridge not installed; no reading yet"},
      {Provider::claude, {false, true, {S::foreign, "", {}}, {}, stale}, H::unavailable,
       "another status line is installed; last reading 3h ago"},
      {Provider::claude, {false, true, {S::error, "Bundle script missing", {}}, {}, std::nullopt}, H::error,
       "Bundle script missing"},
  };
  for (const Case& c : cases) {
    const ProviderHealth h = ProviderProbe::health(c.provider, c.facts, now);
    EXPECT_EQ(h.state, c.state) << c.detail;
    EXPECT_EQ(h.detail, c.detail);
    EXPECT_EQ(h.lastUpdate, c.facts.newestReading) << c.detail;
  }
}

}  // namespace
}  // namespace qd

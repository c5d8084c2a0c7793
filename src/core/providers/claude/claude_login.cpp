#include "providers/claude/claude_login.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "providers/claude/claude_bridge_files.h"
#include "storage/atomic_file.h"
#include "storage/local_file_store.h"

namespace qd::ClaudeLogin {

namespace {

using Json = nlohmann::json;

constexpr double kReadingsCountFor = 7 * 86'400.0;

// A JSON object from a small file of Claude Code's; nested values beyond the
// few levels read here are dropped while parsing.
std::optional<Json> readObject(const std::filesystem::path& path) {
  auto text = readWholeFile(path);
  if (!text || text->size() > (4u << 20)) return std::nullopt;
  Json doc = Json::parse(*text, [](int depth, Json::parse_event_t, Json&) { return depth <= 4; }, false);
  if (!doc.is_object()) return std::nullopt;
  return doc;
}

bool nonEmptyText(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() && !it->get_ref<const std::string&>().empty();
}

}  // namespace

Kind decide(const Evidence& e, Timestamp now) {
  if (e.newestReading && secondsBetween(*e.newestReading, now) < kReadingsCountFor) return Kind::subscription;
  if (e.oauthCredential) return Kind::subscription;
  if (e.apiKeyConfigured || e.bridgeRanAt) return Kind::apiKey;
  return Kind::unknown;
}

Evidence gather(const std::filesystem::path& claudeHome, const std::filesystem::path& claudeJson,
                const std::filesystem::path& supportDirectory, std::optional<Timestamp> newestReading,
                const std::function<const char*(const char*)>& getenv) {
  Evidence e;
  e.newestReading = newestReading;
  const auto credentialFile = claudeHome / ".credentials.json";
  if (auto credentials = readObject(credentialFile)) {
    auto oauth = credentials->find("claudeAiOauth");
    e.oauthCredential = oauth != credentials->end() && oauth->is_object() && nonEmptyText(*oauth, "accessToken");
  } else {
    // A credential file that cannot be read is not taken as the absence of one.
    std::error_code ec;
    e.oauthCredential = std::filesystem::exists(credentialFile, ec);
  }
  for (const char* name : {"ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN"}) {
    const char* value = getenv(name);
    if (value && *value) e.apiKeyConfigured = true;
  }
  if (auto settings = readObject(claudeHome / "settings.json")) {
    if (nonEmptyText(*settings, "apiKeyHelper")) e.apiKeyConfigured = true;
    if (auto env = settings->find("env"); env != settings->end() && env->is_object())
      if (nonEmptyText(*env, "ANTHROPIC_API_KEY") || nonEmptyText(*env, "ANTHROPIC_AUTH_TOKEN"))
        e.apiKeyConfigured = true;
  }
  if (auto state = readObject(claudeJson))
    if (nonEmptyText(*state, "primaryApiKey")) e.apiKeyConfigured = true;
  if (auto meta = ClaudeBridgeFiles::readMeta(supportDirectory / ClaudeBridgeFiles::kMetaFileName))
    e.bridgeRanAt = meta->capturedAt;
  return e;
}

Evidence gather(std::optional<Timestamp> newestReading) {
  // Claude Code keeps .claude.json inside CLAUDE_CONFIG_DIR when that is set, else in the home directory.
  const char* configDir = std::getenv("CLAUDE_CONFIG_DIR");
  const auto claudeJson = (configDir && *configDir ? std::filesystem::path(configDir) : LocalFileStore::homeDirectory()) /
                          ".claude.json";
  return gather(LocalFileStore::claudeHome(), claudeJson, LocalFileStore::baseDirectory(), newestReading,
                [](const char* name) { return std::getenv(name); });
}

}  // namespace qd::ClaudeLogin

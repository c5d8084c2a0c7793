#include "app/claude_modes.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "app/plain_main_loop.h"
#include "providers/claude/claude_bridge_files.h"
#include "providers/claude/claude_credential_file.h"
#include "providers/claude/claude_oauth_usage.h"
#include "providers/claude/claude_status_line_bridge_installer.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"
#include "utilities/curl_http_client.h"
#include "utilities/number_formatting.h"
#include "utilities/ports/clock.h"
#include "utilities/resources.h"

namespace qd::ClaudeModes {

namespace {
constexpr double kOAuthTestWaitSeconds = 20;
constexpr const char* kDash = "\u2014";
}  // namespace

int runBundleTest(const CommandLineOptions&, std::ostream& out) {
  auto script = Resources::locate(ClaudeBridgeFiles::kScriptFileName);
  out << "Bundle.main bridge resource: " << (script ? script->string() : std::string("NOT FOUND")) << "\n";
  return script ? 0 : 1;
}

int runInstallClaudeBridge(const CommandLineOptions&, std::ostream& out) {
  LocalFileStore::ensureDirectories();
  auto outcome = ClaudeStatusLineBridgeInstaller::install();
  out << outcome.message << "\n";
  out << "state: " << rawValue(outcome.status.state) << "\n";
  return 0;
}

int runOAuthTest(const CommandLineOptions&, std::ostream& out) {
  PlainMainLoop loop;
  // A client of its own: the process-wide one would outlive this loop.
  auto oauth = std::make_unique<ClaudeOAuthUsage>(
      ClaudeOAuthUsage::Endpoints::fromEnvironment(), std::make_shared<CurlHttpClient>(),
      std::make_shared<ClaudeCredentialFile>(ClaudeCredentialFile::standard()), loop);
  out << "credential in store: " << (oauth->credentialExists() ? "true" : "false") << "\n";
  out.flush();

  oauth->fetch(SystemClock::instance().now(), [&](std::vector<UsageSnapshot> snapshots) {
    auto status = oauth->lastStatus();
    out << "status: " << (status ? status->label() : std::string(kDash)) << "\n";
    for (const auto& s : snapshots) {
      out << "  " << rawValue(s.windowKind) << ": used=" << NumberFormatting::percent(s.usedPercent);
      out << " reset=" << (s.resetAt ? formatISO8601(*s.resetAt) : std::string(kDash)) << "\n";
    }
    loop.quit();
  });
  if (!loop.runFor(kOAuthTestWaitSeconds)) {
    // The request is still in flight on the client's worker; leave without
    // waiting for it (the client's destructor would).
    out.flush();
    AppLogger::shared().flush();
    std::fflush(nullptr);
    std::_Exit(0);
  }
  AppLogger::shared().flush();
  return 0;
}

}  // namespace qd::ClaudeModes

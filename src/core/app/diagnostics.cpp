// The diagnostics text and the export.
#include "app/app_state.h"
#include "app/app_state_internal.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "storage/snapshot_store.h"
#include "utilities/app_logger.h"
#include "utilities/number_formatting.h"
#include "utilities/shell.h"

namespace qd {

using namespace app_state_detail;

void AppState::exportCSV(std::function<void(std::optional<std::filesystem::path>)> done) {
  std::weak_ptr<AppState> weak = weak_from_this();
  MainLoop* loop = mainLoop_;
  store_->exportCSVAsync(supportDirectory_ / "quotadial-export.csv",
                         [weak, loop, done = std::move(done)](std::optional<std::filesystem::path> written) mutable {
                           loop->post([weak, done = std::move(done), written = std::move(written)] {
                             auto s = weak.lock();
                             if (!s) return;
                             if (written && s->options_.desktopServices)
                               (void)s->options_.desktopServices->revealFile(*written);
                             if (done) done(written);
                           });
                         });
}

std::string AppState::redact(const std::string& text) { return AppLogger::scrub(text); }

std::string AppState::diagnosticsText() const {
  std::vector<std::string> lines;
  lines.emplace_back("Quotadial diagnostics");
  lines.push_back(std::string("mode: ") + (settings_.demoMode ? "demo" : "live"));
  if (viewerOf_) lines.push_back("collector: " + viewerOf_->description() + "; this copy only shows what it stores");
  if (lastRefresh_) {
    const std::time_t t = static_cast<std::time_t>(std::floor(toUnixSeconds(*lastRefresh_)));
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    lines.push_back(std::string("last update: ") + buf);
  }
  for (Provider p : sortedEnabledProviders()) {
    const std::string name(displayName(p));
    if (auto it = providerHealth_.find(p); it != providerHealth_.end())
      lines.push_back(name + ": " + std::string(rawValue(it->second.state)) + " \u2014 " + it->second.detail);
    else
      lines.push_back(name + ": " + (settings_.demoMode ? "demo" : "idle"));
    if (auto f = forecast(p, WindowKind::fiveHour)) {
      std::string burn = "\u2014";
      if (f->burnRatePercentPerHour && std::isfinite(*f->burnRatePercentPerHour)) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.1f%%/h", *f->burnRatePercentPerHour);
        burn = buf;
      }
      lines.push_back("  5h: used " + NumberFormatting::percent(f->currentUsedPercent) + ", status " +
                      std::string(label(f->status)) + ", burn " + burn);
    }
  }
  lines.push_back(std::string("codex in PATH: ") + (Shell::which("codex") ? "yes" : "no"));
  std::string bridge = options_.stages.bridgeStateText ? options_.stages.bridgeStateText()
                                                        : (settings_.claudeBridgeInstalled ? "installed" : "notInstalled");
  lines.push_back("claude bridge: " + bridge);
  if (claudeUsesApiKey()) lines.push_back("claude login: API key (no plan limits; spend from transcripts)");
  if (history_)
    for (const std::string& note : history_->pricingNotes()) lines.push_back(note);
  if (futureStamped_ > 0)
    lines.push_back("readings stamped in the future (ignored): " + std::to_string(futureStamped_));
  if (auto err = AppLogger::shared().lastError()) lines.push_back("last error: " + *err);

  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += "\n";
    text += lines[i];
  }
  return redact(text);
}

}  // namespace qd

#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/app_settings.h"
#include "models/calibrated_projection.h"
#include "models/forecast_result.h"
#include "models/pace_result.h"
#include "models/provider.h"
#include "models/timestamp.h"
#include "utilities/ports/clock.h"
#include "utilities/ports/notification_sink.h"

namespace qd {

// The alert rules: turns forecasts, paces, calibrated projections, the overage
// spend and the weekly recap into notifications when a threshold is crossed.
// Every alert has a key; a key that fired less than its cooldown ago is dropped.
// `lastFired` lives in memory only.
//
// Thread-safety: main thread only, except that the permission answer may arrive
// on any thread (it writes only `authorized`).
class NotificationManager {
 public:
  // The part of Claude's overage record that the budget alerts read.
  // Claude's paid overage; the alerts read `enabled` and `usedGBP`, the
  // overage card also the server's monthly limit.
  struct Overage {
    bool enabled = false;
    double usedGBP = 0;
    std::optional<double> limitGBP;
  };

  // `sink` may be null (alerts are then dropped); it must outlive the manager.
  NotificationManager(NotificationSink* sink, const Clock& clock);

  void requestAuthorizationIfNeeded();
  [[nodiscard]] bool authorized() const;

  // Five-hour threshold alerts from the forecasts (other windows are ignored),
  // then weekly projection and pace alerts from the paces.
  void evaluate(const std::vector<ForecastResult>& forecasts,
                const std::vector<std::pair<Provider, PaceResult>>& paces, const AppSettings& settings);
  void evaluateRunOut(const std::map<Provider, CalibratedProjection>& calibrated, const AppSettings& settings,
                      Timestamp now);
  void evaluateBudget(const std::optional<Overage>& overage, const AppSettings& settings, Timestamp now);
  void weeklyRecap(const std::string& text, const AppSettings& settings, Timestamp now);

  // One refresh's alerts: between `beginBatch` and `endBatch` the rules keep
  // their alerts (cooldowns are taken at once), and `endBatch` sends the alerts
  // of each provider as one notification: the first alert's title, and every
  // alert's text on a line of its own. Outside a batch each alert goes out alone.
  void beginBatch();
  void endBatch();
  // Sunday, 18:00 to 21:59 local time: when the weekly recap may go out.
  [[nodiscard]] static bool recapWindowOpen(Timestamp now);

  [[nodiscard]] const std::map<std::string, Timestamp>& lastFired() const { return lastFired_; }

 private:
  [[nodiscard]] static bool gateOpen(const AppSettings& settings, Timestamp now);
  // `group` joins the alerts of one batch into one notification (the provider's key).
  void fire(const std::string& group, const std::string& key, double cooldownSeconds, const std::string& title,
            const std::string& body);
  void deliver(const std::string& key, const std::string& title, const std::string& body);

  struct Held {
    std::string group, key, title, body;
  };

  NotificationSink* sink_;
  const Clock& clock_;
  std::map<std::string, Timestamp> lastFired_;
  bool batching_ = false;
  std::vector<Held> held_;
  std::shared_ptr<std::atomic<bool>> authorized_;
};

}  // namespace qd

#pragma once
#include <QWidget>
#include <functional>
#include <vector>

#include "popover/widgets.h"

class QVBoxLayout;

namespace qd {

// A "−  + " stepper over [lo, hi] in fixed steps.
class Stepper : public QWidget {
  Q_OBJECT
 public:
  Stepper(double value, double lo, double hi, double step, std::function<void(double)> onChange,
          QWidget* parent = nullptr);
  [[nodiscard]] double value() const { return value_; }
  void stepBy(int steps);
  // Shows `value` without reporting it (the state changed elsewhere).
  void setValue(double value) { value_ = value; }

 private:
  double value_, lo_, hi_, step_;
  std::function<void(double)> onChange_;
};

// The settings screen: providers, forecast basis, menu-bar title, alerts, the
// Claude bridge, Codex, data upkeep and diagnostics. Every control reads the
// state and writes through its operations. The rows are built once and
// updated in place, so keyboard focus and the scroll position survive a change.
//
// Thread-safety: main thread only.
class SettingsView : public QWidget {
  Q_OBJECT
 public:
  SettingsView(UiContext& ctx, std::function<void()> onBack, QWidget* parent = nullptr);
  // Shows the state: builds the rows the first time, then updates them in place.
  void rebuild();
  [[nodiscard]] const QString& bridgeMessage() const { return bridgeMessage_; }

 private:
  QWidget* section(const QString& title, const std::function<void(QVBoxLayout*)>& rows);
  void providers(QVBoxLayout* l);
  void forecast(QVBoxLayout* l);
  void menuBar(QVBoxLayout* l);
  void notifications(QVBoxLayout* l);
  void bridge(QVBoxLayout* l);
  void codex(QVBoxLayout* l);
  void moreProviders(QVBoxLayout* l);
  void data(QVBoxLayout* l);
  void diagnostics(QVBoxLayout* l);
  QWidget* thresholdRow(const QString& label, double lo, double hi,
                        std::function<double&(NotificationThresholds&)> field);
  // A switch row whose state follows `read` on every update.
  QWidget* toggle(const QString& label, std::function<bool()> read, std::function<void(bool)> changed);
  void onUpdate(std::function<void()> update) { updates_.push_back(std::move(update)); }
  void scheduleRebuild();

  UiContext& ctx_;
  std::function<void()> onBack_;
  QString bridgeMessage_;
  std::vector<std::function<void()>> updates_;
  AppState::Subscription subscription_;
  QWidget* body_ = nullptr;
  QVBoxLayout* bodyLayout_ = nullptr;
  bool rebuildPending_ = false;
};

}  // namespace qd

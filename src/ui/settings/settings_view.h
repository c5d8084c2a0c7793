#pragma once
#include <QWidget>
#include <functional>

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

 private:
  double value_, lo_, hi_, step_;
  std::function<void(double)> onChange_;
};

// The settings screen: providers, forecast basis, menu-bar title, alerts, the
// Claude bridge, Codex, data upkeep and diagnostics. Every control reads the
// state and writes through its operations.
//
// Thread-safety: main thread only.
class SettingsView : public QWidget {
  Q_OBJECT
 public:
  SettingsView(UiContext& ctx, std::function<void()> onBack, QWidget* parent = nullptr);
  // Rebuilds every section from the state.
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
  QWidget* thresholdRow(const QString& label, double value, double lo, double hi,
                        std::function<void(NotificationThresholds&, double)> write);
  void scheduleRebuild();

  UiContext& ctx_;
  std::function<void()> onBack_;
  QString bridgeMessage_;
  QWidget* body_ = nullptr;
  QVBoxLayout* bodyLayout_ = nullptr;
  bool rebuildPending_ = false;
};

}  // namespace qd

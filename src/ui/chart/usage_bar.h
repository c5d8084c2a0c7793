#pragma once
#include <QColor>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <optional>

#include "chart/range_chart_geometry.h"

namespace qd {

// A capsule gauge for one percentage with optional projection and ideal-pace
// ticks. The shown value springs to `used` on appearance and on each change.
//
// Thread-safety: main thread only.
class UsageBar : public QWidget {
  Q_OBJECT
 public:
  explicit UsageBar(QWidget* parent = nullptr, int barHeight = 8);

  void setValues(double used, std::optional<double> projected, std::optional<double> idealMarker, QColor color);
  [[nodiscard]] double used() const { return used_; }
  [[nodiscard]] double shown() const { return spring_.value; }
  [[nodiscard]] std::optional<double> projected() const { return projected_; }
  [[nodiscard]] QColor color() const { return color_; }
  // Jumps to the end of the animation (screenshots).
  void settle();

  [[nodiscard]] QSize sizeHint() const override { return {200, barHeight_}; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void showEvent(QShowEvent*) override;

 private:
  void animateTo(double target, double response);
  void tick();

  int barHeight_;
  double used_ = 0;
  std::optional<double> projected_;
  std::optional<double> ideal_;
  QColor color_;
  Spring spring_;
  bool appeared_ = false;
  QTimer frameTimer_;
  QElapsedTimer clock_;
};

}  // namespace qd

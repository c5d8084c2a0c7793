#pragma once
#include <QVariantAnimation>
#include <QWidget>
#include <functional>

#include "chart/range_chart_geometry.h"

namespace qd {

// One quota window over time: observed usage, the forecast to the reset, the
// even-pace line and the run-out / reset markers. Revealed left to right
// (0.7 s ease-out) the first time it is shown.
//
// Thread-safety: main thread only.
class RangeChartView : public QWidget {
  Q_OBJECT
 public:
  explicit RangeChartView(QWidget* parent = nullptr);

  void setData(std::vector<UsageSnapshot> series, std::optional<ChartForecast> forecast, bool showIdealPace);
  // Clock text of a run-out moment ("out " + this).
  void setClockFormatter(std::function<QString(Timestamp)> clock) { clock_ = std::move(clock); }
  [[nodiscard]] double reveal() const { return reveal_; }
  // Skips the reveal animation (screenshots).
  void finishReveal();
  // Where the percentage label of `level` (0, 50, 100) is drawn, and the time
  // labels' texts and places, from the current data; empty without a range.
  struct Label {
    QString text;
    QRectF box;
  };
  [[nodiscard]] std::vector<Label> labels() const;

  [[nodiscard]] QSize sizeHint() const override;
  [[nodiscard]] QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  // Room at the right for the widest percentage label.
  [[nodiscard]] static double percentInset();
  void showEvent(QShowEvent*) override;

 private:
  std::vector<UsageSnapshot> series_;
  std::optional<ChartForecast> forecast_;
  bool showIdealPace_ = false;
  double reveal_ = 0;
  bool revealed_ = false;
  QVariantAnimation* animation_;
  std::function<QString(Timestamp)> clock_;
};

}  // namespace qd

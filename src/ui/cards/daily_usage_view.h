#pragma once
#include "popover/widgets.h"

namespace qd {

// Local token use of the last seven days per provider, with spend estimates.
class DailyUsageView : public Card {
  Q_OBJECT
 public:
  using Card::Card;
  // Enabled providers with at least one token in the last seven days.
  [[nodiscard]] std::vector<Provider> providers() const;

 protected:
  bool build(QVBoxLayout* layout) override;
};

// This week against last week per provider, with a four-week sparkline.
class TrendsView : public Card {
  Q_OBJECT
 public:
  using Card::Card;

 protected:
  bool build(QVBoxLayout* layout) override;
};

// Bars (daily usage) or a line (trend) of a few values, scaled to the largest.
class MiniChart : public QWidget {
  Q_OBJECT
 public:
  enum class Kind { bars, sparkline };
  MiniChart(Kind kind, std::vector<double> values, QColor colour, QWidget* parent = nullptr);
  [[nodiscard]] QSize sizeHint() const override { return {kind_ == Kind::bars ? 84 : 64, 22}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  Kind kind_;
  std::vector<double> values_;
  QColor colour_;
};

}  // namespace qd

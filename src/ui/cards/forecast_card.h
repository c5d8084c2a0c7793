#pragma once
#include <QToolButton>

#include "popover/widgets.h"

namespace qd {

// The detailed forecast of the focused window: provider tabs, the focus menu,
// summary rows, the range chart and the basis selector.
class ForecastCard : public Card {
  Q_OBJECT
 public:
  explicit ForecastCard(UiContext& ctx, QWidget* parent = nullptr);
  // Enabled providers that have a 5-hour, 7-day or weekly forecast.
  [[nodiscard]] std::vector<Provider> tabProviders() const;

 protected:
  bool build(QVBoxLayout* layout) override;

 private:
  QToolButton* focusPicker();
  QWidget* basisControl();
};

}  // namespace qd

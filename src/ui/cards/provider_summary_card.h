#pragma once
#include "cards/card_logic.h"
#include "popover/widgets.h"

namespace qd {

// The at-a-glance card of one provider: status pill, freshness, the 5-hour and
// long-window rows with their outlooks, the Sonnet row, the meta chips.
class ProviderSummaryCard : public Card {
  Q_OBJECT
 public:
  ProviderSummaryCard(UiContext& ctx, Provider provider, QWidget* parent = nullptr);
  [[nodiscard]] Provider provider() const { return provider_; }
  // The header's status: the worst of the 5-hour, long and (Claude) Sonnet forecasts.
  [[nodiscard]] std::optional<ForecastStatus> cardStatus() const;

 protected:
  bool build(QVBoxLayout* layout) override;

 private:
  void usageRow(QVBoxLayout* layout, const ForecastResult& f, const QString& label, const QString& key);
  void outlook(QVBoxLayout* layout, const std::optional<CardLogic::Outlook>& o);
  [[nodiscard]] std::optional<ForecastResult> longForecast() const;
  [[nodiscard]] std::optional<ForecastResult> sonnetForecast() const;
  [[nodiscard]] QStringList metaChips() const;

  Provider provider_;
};

}  // namespace qd

#pragma once
#include "popover/widgets.h"

namespace qd {

// The what-if tiles of the focused window.
class ScenarioCard : public Card {
  Q_OBJECT
 public:
  using Card::Card;

 protected:
  bool build(QVBoxLayout* layout) override;
};

// The advice banner: the first three recommendations, tinted by the worst.
class RecommendationView : public Card {
  Q_OBJECT
 public:
  using Card::Card;

 protected:
  bool build(QVBoxLayout* layout) override;
};

// Claude's paid overage against the budget (or the server's limit).
class ExtraUsageView : public Card {
  Q_OBJECT
 public:
  using Card::Card;

 protected:
  bool build(QVBoxLayout* layout) override;
};

}  // namespace qd

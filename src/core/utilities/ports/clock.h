#pragma once
#include "models/timestamp.h"

namespace qd {

// Where "now" comes from. Engines take `now` as an argument; services that keep
// time (timers, cooldowns, freshness) ask a Clock so tests can drive it.
class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual Timestamp now() const = 0;
};

// The wall clock.
class SystemClock final : public Clock {
 public:
  [[nodiscard]] Timestamp now() const override;
  // One shared instance for code that has no clock injected.
  [[nodiscard]] static const SystemClock& instance();
};

}  // namespace qd

#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "models/enum_cases.h"
#include "models/timestamp.h"

namespace qd {

// The connection state of one live source, as shown to the user and in diagnostics.
struct ProviderHealth {
  enum class State { connected, idle, unavailable, error, demo };

  State state = State::idle;
  std::string detail;
  std::optional<Timestamp> lastUpdate;
  std::optional<std::string> lastError;

  bool operator==(const ProviderHealth&) const = default;
};

template <>
struct EnumCases<ProviderHealth::State> {
  static constexpr std::array<ProviderHealth::State, 5> all{
      ProviderHealth::State::connected, ProviderHealth::State::idle, ProviderHealth::State::unavailable,
      ProviderHealth::State::error, ProviderHealth::State::demo};
};

[[nodiscard]] std::string_view rawValue(ProviderHealth::State s);

}  // namespace qd

#include "models/pace_result.h"

namespace qd {

std::string_view rawValue(PaceResult::Verdict v) {
  switch (v) {
    case PaceResult::Verdict::underPace: return "Under pace";
    case PaceResult::Verdict::onPace: return "On pace";
    case PaceResult::Verdict::overPace: return "Over pace";
    case PaceResult::Verdict::noData: return "No data";
  }
  return "No data";
}

}  // namespace qd

#include "app/live_sources.h"

namespace qd {

std::unique_ptr<UsageProvider> makeLiveProvider(Provider provider, LiveSourceContext& context) {
  switch (provider) {
    case Provider::codex:
      return nullptr;
    case Provider::claude:
      return nullptr;
  }
  return nullptr;
}

}  // namespace qd

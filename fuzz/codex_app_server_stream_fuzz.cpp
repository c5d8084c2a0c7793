// The Codex app-server's output stream: any bytes, cut into pipe-sized pieces by
// the first input byte, are assembled into lines and handled by the protocol
// client without faulting; every rate-limit payload it accepts converts to at
// most two snapshots.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "providers/codex/codex_app_server_client.h"
#include "providers/codex/codex_parsing.h"
#include "providers/codex/codex_process_manager.h"
#include "providers/codex/line_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Never started: messages the client sends are dropped.
  static const auto client = [] {
    auto manager = std::make_shared<qd::CodexProcessManager>([] { return std::optional<std::string>(); });
    auto c = qd::CodexAppServerClient::create(manager);
    c->setOnRateLimits([](const qd::CodexRateLimitsPayload& payload) {
      for (const auto& bucket : payload.allBuckets())
        if (qd::CodexParsing::snapshots(bucket, qd::fromUnixSeconds(1'800'000'000)).size() > 2) __builtin_trap();
    });
    return c;
  }();
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64 * 97;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  qd::LineAssembler assembler(qd::CodexProcessManager::kMaxLineBytes);
  while (!rest.empty()) {
    const size_t n = rest.size() < piece ? rest.size() : piece;
    assembler.feed(rest.substr(0, n), [](std::string_view line) { client->handle(line); });
    rest.remove_prefix(n);
  }
  return 0;
}

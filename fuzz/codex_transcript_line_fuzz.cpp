// The Codex transcript line rule on single lines and on whole files.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forecasting/transcript_line_parser.h"
#include "forecasting/transcript_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qd::TranscriptLineParser parser;
  static qd::TranscriptReader reader(4096);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto u = parser.codex(bytes)) {
    if (u->tokens <= 0 || u->dedupKey != 0) __builtin_trap();
  }
  (void)reader.readBuffer(bytes, qd::TranscriptRule::codex, [](const qd::TranscriptLineUsage&, bool) {});
  return 0;
}

// The Claude transcript line rule on single lines and, through the streaming
// reader with a small block, on whole files (over-long lines are compacted).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "forecasting/transcript_line_parser.h"
#include "forecasting/transcript_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qd::TranscriptLineParser parser;
  static qd::TranscriptReader reader(4096);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto u = parser.claude(bytes)) {
    if (u->tokens <= 0) __builtin_trap();
  }
  (void)parser.claudeModel(bytes);
  int64_t sum = 0;
  (void)reader.readBuffer(bytes, qd::TranscriptRule::claude,
                          [&sum](const qd::TranscriptLineUsage& u, bool) { sum += u.tokens > 0 ? 1 : 0; });
  return 0;
}

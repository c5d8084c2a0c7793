// Writes a file of realistic snapshot lines (fuzz seeds, manual timing).
// Usage: snapshot_corpus_gen OUTPUT [lines=100000] [seed=42] [now]
// With "now" the lines end at the current time (one every 30 seconds) instead of
// starting at a fixed date.
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <string>

#include "snapshot_corpus.h"
#include "storage/atomic_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [lines] [seed]\n", argv[0]);
    return 2;
  }
  const int lines = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::mt19937_64 rng(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 42);
  const bool endNow = argc > 4 && std::string(argv[4]) == "now";
  const double base = endNow ? qd::toUnixSeconds(qd::floorToSecond(std::chrono::time_point_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now()))) - lines * 30.0
                             : qd::bench::kCorpusBase;
  if (!qd::writeFileAtomically(argv[1], qd::bench::corpus(rng, lines, 0, base))) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}

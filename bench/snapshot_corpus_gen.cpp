// Writes a file of realistic snapshot lines (fuzz seeds, manual timing).
// Usage: snapshot_corpus_gen OUTPUT [lines=100000] [seed=42]
#include <cstdio>
#include <cstdlib>

#include "snapshot_corpus.h"
#include "storage/atomic_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT [lines] [seed]\n", argv[0]);
    return 2;
  }
  const int lines = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::mt19937_64 rng(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 42);
  if (!qd::writeFileAtomically(argv[1], qd::bench::corpus(rng, lines))) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}

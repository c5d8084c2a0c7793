// Entry point: command-line modes first, then the desktop or headless run.
#include <cstdio>
#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("quotadial %s\n", QUOTADIAL_VERSION);
      return 0;
    }
  }
  std::fprintf(stderr, "quotadial: this mode is not available yet\n");
  return 1;
}

#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/version.h"

int main(int argc, char** argv) {
  // A write to a closed socket must be an error, never a dead process.
  std::signal(SIGPIPE, SIG_IGN);

  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("Brivane %s\n", brivane::versionText(brivane::programVersion()).c_str());
    return 0;
  }
  std::fprintf(stderr, "brivane: this run mode is not available yet\n");
  return 3;
}

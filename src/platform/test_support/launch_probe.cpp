// A program for the process launcher's tests. It writes what it was started
// with to report.txt beside its own executable (argument vector, process and
// group ids, open descriptors, working folder, SIGPIPE disposition), then
// waits for a signal. With the argument "hold-term" it first ignores SIGTERM
// and starts a child of its own that waits too; with "exit" it ends at once.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  bool holdTerm = false, exitNow = false;
  for (int i = 1; i < argc; ++i) {
    holdTerm = holdTerm || std::strcmp(argv[i], "hold-term") == 0;
    exitNow = exitNow || std::strcmp(argv[i], "exit") == 0;
  }
  std::string report;
  for (int i = 0; i < argc; ++i) report += std::string("arg:") + argv[i] + "\n";
  report += "pid:" + std::to_string(getpid()) + "\n";
  report += "pgid:" + std::to_string(getpgrp()) + "\n";
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d)) report += std::string("fd:") + e->d_name + "\n";
    }
    closedir(d);
  }
  report += "cwd:" + std::filesystem::current_path().string() + "\n";
  struct sigaction pipe {};
  sigaction(SIGPIPE, nullptr, &pipe);
  report += std::string("sigpipe:") + (pipe.sa_handler == SIG_IGN ? "ignored" : "default") + "\n";
  if (holdTerm) {
    signal(SIGTERM, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
      for (;;) pause();
    }
    report += "child:" + std::to_string(child) + "\n";
  }
  const auto dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  {
    std::ofstream out(dir / "report.tmp");
    out << report;
  }
  std::filesystem::rename(dir / "report.tmp", dir / "report.txt");
  if (exitNow) return 0;
  for (;;) pause();
}

#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace brivane {

// For tests: a private Xvfb on a display number it picks and reports through
// -displayfd, stopped on destruction.
class XvfbServer {
 public:
  XvfbServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const std::string fd = std::to_string(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], fds[1]);  // clears close-on-exec for the child
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp", nullptr};
    if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    // The number and a newline come once it accepts connections (up to 60 s
    // on a loaded machine); an Xvfb that ends closes the pipe.
    pollfd p{fds[0], POLLIN, 0};
    for (char c; pid_ > 0 && poll(&p, 1, 60000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n';) name_ += c;
    close(fds[0]);
    if (!name_.empty()) name_.insert(0, ":");
  }
  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Ends the server now (its clients lose their connection).
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // ":N", or empty when the server did not start.
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace brivane

#pragma once
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Starts one program as a process of its own and ends it again, with
// everything it started.
//
// The program is run with fork + execve from an argument vector (no shell,
// so blanks and quotes in a path are plain characters), with the caller's
// environment and current folder. Between fork and execve the child only
// makes itself the leader of a new process group, asks for SIGKILL when its
// parent thread ends (a killed saver never leaves a program covering the
// desktop), puts signal dispositions and the signal mask back to their
// defaults (the caller ignores SIGPIPE) and closes every descriptor above 2.
// Call start() from a thread that lives as long as the program should: the
// parent-death signal follows the thread that forked, not the process.
//
// The launched process is reaped by its pid (and members of its group that
// are this process's own children by the group id), never with waitpid(-1),
// so other children of the program (Qt's, the tests') are left alone.
// Not thread-safe: one owner thread calls every member.
namespace brivane {

class ProcessLauncher {
 public:
  using Duration = std::chrono::milliseconds;

  // `grace`: how long terminate() waits after SIGTERM before SIGKILL.
  explicit ProcessLauncher(Duration grace = std::chrono::seconds(2)) : grace_(grace) {}
  ~ProcessLauncher() { kill(); }
  ProcessLauncher(const ProcessLauncher&) = delete;
  ProcessLauncher& operator=(const ProcessLauncher&) = delete;

  // Runs the program at argv[0] with `argv` as its argument vector. True
  // when execve succeeded; false (with error()) when argv is empty, a
  // process could not be created or the program could not be executed.
  // A program still running from an earlier start() is killed first.
  bool start(const std::vector<std::string>& argv);

  // The started process (and its group id); 0 when none was started.
  pid_t pid() const { return pgid_; }
  const std::string& error() const { return error_; }

  // True when a started program has ended (it is then reaped), waiting at
  // most `wait`. False when none was started.
  bool hasEnded(Duration wait);

  // A descriptor that becomes readable when the started program ends (a
  // process descriptor, owned here, closed with the next start or kill);
  // -1 when none was started or the kernel has none to give.
  int endDescriptor() const { return pidfd_; }

  // How the reaped program ended: "ended with status N" or "was ended by
  // signal N"; empty while it runs.
  const std::string& endReason() const { return endReason_; }

  // SIGTERM to the program's process group; once the program and its group
  // are gone, or after the grace period, SIGKILL to the group, then the
  // program is reaped. Returns after at most the grace period plus a short
  // bounded reap.
  void terminate();

  // SIGKILL to the group at once, then a short bounded reap.
  void kill();

 private:
  bool reap(Duration wait);
  void reapGroupChildren();
  void forget();

  Duration grace_;
  pid_t pgid_ = 0;         // the program's pid, which is its group id
  bool reaped_ = false;    // the program itself has been reaped
  int pidfd_ = -1;
  std::string endReason_;
  std::string error_;
};

}  // namespace brivane

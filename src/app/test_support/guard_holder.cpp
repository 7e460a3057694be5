// Test helper: takes the instance lock as a running instance would, says
// "held" on standard output, and keeps it until its standard input ends (or
// 30 seconds pass, so that it never outlives a broken test).
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "platform/instance_lock.h"

int main() {
  brivane::InstanceLock lock;
  if (lock.tryAcquire() != brivane::InstanceLockResult::Acquired) {
    std::puts("not held");
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  pollfd p{STDIN_FILENO, POLLIN, 0};
  char buf[64];
  while (poll(&p, 1, 30000) > 0 && read(STDIN_FILENO, buf, sizeof buf) > 0) {
  }
  return 0;
}

#include "platform/idle_lock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "temp_dir.h"

namespace brivane {

TEST(IdleLock, OneLockPerXServerWhateverTheScreenAndNoPathTricks) {
  const std::pair<const char*, const char*> rows[] = {
      {":0", ":0"}, {":0.1", ":0"}, {"localhost:10.0", "localhost:10"}, {"host.example:2", "host.example:2"},
      {"../x:1", ".._x:1"}, {"a b/c", "a_b_c"}, {"", ""}};
  for (const auto& [display, key] : rows) EXPECT_EQ(idleDisplayKey(display), key) << display;
}

TEST(IdleLock, TheHolderIsFoundByItsIdUntilItLetsGo) {
  test::TempDir dir;
  const std::string path = dir.path() + "/idle.lock";
  EXPECT_EQ(runningIdleWatcher(path), 0);  // no file
  IdleLock lock;
  ASSERT_EQ(lock.tryAcquire(path), InstanceLockResult::Acquired);
  IdleLock second;
  EXPECT_EQ(second.tryAcquire(path), InstanceLockResult::AlreadyHeld);
  EXPECT_EQ(runningIdleWatcher(path), getpid());
  lock.release();
  EXPECT_EQ(runningIdleWatcher(path), 0);
  EXPECT_FALSE(stopIdleWatcher(path));
}

}  // namespace brivane

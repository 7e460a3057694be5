#include "platform/instance_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "temp_dir.h"

namespace brivane {
namespace {

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstReleases) {
  const test::TempDir dir;
  const std::string path = dir / "lock";
  InstanceLock a, b;
  EXPECT_EQ(a.tryAcquire(path), InstanceLockResult::Acquired);
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::AlreadyHeld);
  a.release();
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::Acquired);
  b.release();
}

TEST(InstanceLock, ASymlinkIsNotFollowed) {
  const test::TempDir dir;
  const std::string target = dir / "target", link = dir / "link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  InstanceLock a;
  EXPECT_EQ(a.tryAcquire(link), InstanceLockResult::Unavailable);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(InstanceLock, DefaultPathUsesTheRuntimeFolder) {
  setenv("XDG_RUNTIME_DIR", "/run/user/42", 1);
  EXPECT_EQ(InstanceLock::defaultPath(), "/run/user/42/Pellucine.lock");
  unsetenv("XDG_RUNTIME_DIR");
  if (!std::filesystem::exists("/run/user/" + std::to_string(getuid()))) {
    EXPECT_EQ(InstanceLock::defaultPath(), "/tmp/Pellucine-" + std::to_string(getuid()) + ".lock");
  }
}

}  // namespace
}  // namespace brivane

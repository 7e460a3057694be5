#include "platform/instance_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace brivane {
namespace {

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstReleases) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("brivane-lock-test-" + std::to_string(getpid()))).string();
  InstanceLock a, b;
  EXPECT_EQ(a.tryAcquire(path), InstanceLockResult::Acquired);
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::AlreadyHeld);
  a.release();
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::Acquired);
  b.release();
  std::filesystem::remove(path);
}

TEST(InstanceLock, ASymlinkIsNotFollowed) {
  const auto dir = std::filesystem::temp_directory_path();
  const std::string target = (dir / ("brivane-lock-target-" + std::to_string(getpid()))).string();
  const std::string link = (dir / ("brivane-lock-link-" + std::to_string(getpid()))).string();
  std::filesystem::remove(link);  // left by an ended run of the same process number
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  InstanceLock a;
  EXPECT_EQ(a.tryAcquire(link), InstanceLockResult::Unavailable);
  EXPECT_FALSE(std::filesystem::exists(target));
  std::filesystem::remove(link);
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

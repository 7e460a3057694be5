#include "platform/instance_lock.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "temp_dir.h"

namespace brivane {
namespace {

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstReleasesAndALinkIsNotFollowed) {
  const test::TempDir dir;
  const std::string path = dir / "lock", target = dir / "target", link = dir / "link";
  InstanceLock a, b;
  EXPECT_EQ(a.tryAcquire(path), InstanceLockResult::Acquired);
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::AlreadyHeld);
  a.release();
  EXPECT_EQ(b.tryAcquire(path), InstanceLockResult::Acquired);
  b.release();
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(a.tryAcquire(link), InstanceLockResult::Unavailable);
  EXPECT_FALSE(std::filesystem::exists(target));
  setenv("XDG_RUNTIME_DIR", "/run/user/42", 1);
  EXPECT_EQ(InstanceLock::defaultPath(), "/run/user/42/Pellucine.lock");
}

}  // namespace
}  // namespace brivane

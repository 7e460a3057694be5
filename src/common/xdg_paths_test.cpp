#include "common/xdg_paths.h"

#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>

#include "common/log_directory.h"

using namespace brivane;
namespace fs = std::filesystem;

namespace {

class UserFolders : public ::testing::Test {
 protected:
  void SetUp() override { base_ = mkdtemp((fs::temp_directory_path() / "brivane-folders-XXXXXX").string().data()); }
  void TearDown() override { fs::remove_all(base_); }
  // Opens base/<rel> with two own levels, as the log folder is opened.
  bool opens(const std::string& rel, bool create = true) {
    const int fd = openUserFolder(base_ + "/" + rel, 2, create);
    return fd >= 0 && ::close(fd) == 0;
  }
  std::string base_;
};

// An own level that is a link (even to a good folder), open to others or someone
// else's is refused; above them a link of the user's is followed (a moved home).
TEST_F(UserFolders, OwnLevelsAreNeverLinksOrOthersFolders) {
  ASSERT_TRUE(opens("a/Torvex/Brivane"));
  EXPECT_EQ(fs::status(base_ + "/a/Torvex/Brivane").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_FALSE(opens("b/Torvex/Brivane", false));  // missing and not to be created
  fs::create_directories(base_ + "/c/Torvex");
  fs::create_directory_symlink(base_ + "/a/Torvex/Brivane", base_ + "/c/Torvex/Brivane");
  EXPECT_FALSE(opens("c/Torvex/Brivane"));
  fs::create_directories(base_ + "/d/Torvex/Brivane");
  fs::permissions(base_ + "/d/Torvex", fs::perms::group_write, fs::perm_options::add);
  EXPECT_FALSE(opens("d/Torvex/Brivane"));
  fs::create_directories(base_ + "/e/Torvex/Brivane");
  // Only root can give a folder away.
  EXPECT_TRUE(getuid() != 0 || (chown((base_ + "/e/Torvex").c_str(), 4242, 4242) == 0 && !opens("e/Torvex/Brivane")));
  fs::create_directory_symlink(base_ + "/a", base_ + "/moved");
  EXPECT_TRUE(opens("moved/Torvex/Brivane"));
}

// Without XDG_RUNTIME_DIR (cron, a service) the runtime folder is the system's
// per-user one when it is the user's own, so every process finds the same lock.
TEST_F(UserFolders, LogRuntimeAndConfigFoldersFollowOneRule) {
  setenv("XDG_STATE_HOME", (base_ + "/state/").c_str(), 1);
  std::string dir;
  ASSERT_TRUE(GetLogDirectory(dir));
  EXPECT_EQ(dir, base_ + "/state/Torvex/Brivane/");
  EXPECT_EQ(logDirectoryPath(), dir);
  fs::permissions(dir, fs::perms::others_write, fs::perm_options::add);
  EXPECT_FALSE(GetLogDirectory(dir));
  unsetenv("XDG_RUNTIME_DIR");
  const std::string own = base_ + "/" + std::to_string(getuid());
  EXPECT_EQ(xdgRuntimeDir(base_), "");
  ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
  EXPECT_EQ(xdgRuntimeDir(base_), own);
  chmod(own.c_str(), 0777);
  EXPECT_EQ(xdgRuntimeDir(base_), "");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // ignored: the rules ask for an absolute path
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(xdgConfigHome(), "/home/u/.config");
}

}  // namespace

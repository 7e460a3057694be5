#include "config_ui/screensaver_discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "temp_dir.h"

namespace brivane {
namespace {
namespace fs = std::filesystem;

// Everything the walk must get right in one tree: files before subfolders and
// both sorted; non-executables, helpers, folders and dot-folders skipped;
// links to folders (one a loop) not followed; a folder listed twice (once
// through a link) searched once; same-named files in two folders both
// listed; the program's own file excluded through a link to it; a stop asked
// for ends the walk.
TEST(ScreensaverDiscovery, WalkOrderLinksDuplicatesAndOwnFile) {
  test::TempDir dir;
  const fs::path root = dir.path();
  const auto program = [&](const std::string& rel, bool executable = true) {
    const fs::path p = root / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return p.string();
  };
  const std::string zeta = program("a/zeta"), alpha = program("a/Alpha.scr");
  const std::string beta = program("a/sub/beta"), other = program("b/Alpha.scr");
  program("a/notes.txt", false);
  for (const char* skipped : {"a/getimage", "a/text", "a/sub/saver-getimage-file", "b/any-text", "a/.hidden/gamma"})
    program(skipped);
  fs::create_directory_symlink(root / "a", root / "a/sub/loop");
  fs::create_directory_symlink(root / "b", root / "a/aa-link-to-b");
  fs::create_directory_symlink(root / "b", root / "b-again");
  ASSERT_FALSE(OwnProgramFile().empty());
  fs::create_symlink(OwnProgramFile(), root / "b/brivane-itself");
  const auto found = FindScreensaverPrograms(
      {(root / "a").string(), (root / "b").string(), (root / "b-again").string(), (root / "none").string()},
      OwnProgramFile());
  EXPECT_EQ(found, (std::vector<std::string>{alpha, zeta, beta, other}));
  EXPECT_EQ(ScreensaverDisplayName(alpha) + "|" + ScreensaverDisplayName(zeta), "Alpha|zeta");
  std::atomic<bool> stop{true};
  EXPECT_TRUE(FindScreensaverPrograms({(root / "a").string()}, "", &stop).empty());
}

TEST(ScreensaverDiscovery, SaverPathVariableReplacesTheHackFolders) {
  setenv("BRIVANE_SAVER_PATH", "/x/one::/y/two:", 1);
  EXPECT_EQ(ScreensaverFolders(), (std::vector<std::string>{"/x/one", "/y/two"}));
  unsetenv("BRIVANE_SAVER_PATH");
  EXPECT_FALSE(ScreensaverFolders().empty());
}

}  // namespace
}  // namespace brivane

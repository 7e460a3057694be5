#include "config_ui/screensaver_discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "temp_dir.h"

namespace brivane {
namespace {
namespace fs = std::filesystem;

struct TempTree {
  test::TempDir dir;
  fs::path root = dir.path();
  std::string program(const std::string& rel, bool executable = true) {
    const fs::path p = root / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    return p.string();
  }
};

// Everything the walk must get right in one tree: files before subfolders and
// both sorted; non-executables, folders and dot-folders skipped; links to
// folders (one a loop) not followed; a folder listed twice (once through a
// link) searched once; same-named files in two folders both listed; the
// program's own file excluded through a link to it.
TEST(ScreensaverDiscovery, WalkOrderLinksDuplicatesAndOwnFile) {
  TempTree t;
  const std::string zeta = t.program("a/zeta"), alpha = t.program("a/Alpha.scr");
  const std::string beta = t.program("a/sub/beta"), other = t.program("b/Alpha.scr");
  t.program("a/notes.txt", false);
  for (const char* helper : {"a/getimage", "a/text", "a/sub/saver-getimage-file", "b/any-text"})
    t.program(helper);
  t.program("a/.hidden/gamma");
  fs::create_directory_symlink(t.root / "a", t.root / "a/sub/loop");
  fs::create_directory_symlink(t.root / "b", t.root / "a/aa-link-to-b");
  fs::create_directory_symlink(t.root / "b", t.root / "b-again");
  fs::create_symlink(OwnProgramFile(), t.root / "b/brivane-itself");
  ASSERT_FALSE(OwnProgramFile().empty());

  const auto found = FindScreensaverPrograms(
      {(t.root / "a").string(), (t.root / "b").string(), (t.root / "b-again").string(), (t.root / "none").string()},
      OwnProgramFile());
  EXPECT_EQ(found, (std::vector<std::string>{alpha, zeta, beta, other}));
  EXPECT_EQ(ScreensaverDisplayName(alpha), "Alpha");
  EXPECT_EQ(ScreensaverDisplayName(zeta), "zeta");

  std::atomic<bool> stop{true};
  EXPECT_TRUE(FindScreensaverPrograms({(t.root / "a").string()}, "", &stop).empty());
}

TEST(ScreensaverDiscovery, SaverPathVariableReplacesTheHackFolders) {
  setenv("BRIVANE_SAVER_PATH", "/x/one::/y/two:", 1);
  EXPECT_EQ(ScreensaverFolders(), (std::vector<std::string>{"/x/one", "/y/two"}));
  unsetenv("BRIVANE_SAVER_PATH");
  EXPECT_FALSE(ScreensaverFolders().empty());
}

}  // namespace
}  // namespace brivane

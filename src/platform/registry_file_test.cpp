#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

bool writeV(RegistryStore& t) { return t.writeDword("\\K", "v", 1); }

// The file backend, in a fresh folder per test.
class FileStore : public test::TempDirTest {
 protected:
  std::string path = dir / "store.reg";
};

TEST_F(FileStore, LoadCreatesTheFileOnlyWhenThereIsNone) {
  path = dir / "a/b/store.reg";
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load({"\\Software\\X\\Main", "\\Software\\X\\Accounts"})) << s.lastError();
  EXPECT_EQ(test::readAll(path),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\X\\Accounts]\n\n"
            "[HKEY_CURRENT_USER\\Software\\X\\Main]\n\n");
  EXPECT_EQ(modeOf(dir / "a/b"), 0700u);

  // An existing file is read, never rewritten, even when keys are missing.
  const std::string existing = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Other]\r\n";
  test::writeAll(path, existing);
  FileRegistryStore again(path);
  ASSERT_TRUE(again.load({"\\Software\\X\\Main"}));
  EXPECT_TRUE(again.openKey("\\Software\\X\\Main"));
  EXPECT_EQ(test::readAll(path), existing);
}

TEST_F(FileStore, CommitRereadsTheFileAndWrites0600) {
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load({"\\K"}));
  // Another process changes the file after our load: a commit keeps that change.
  test::writeAll(path, "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n\"theirs\"=dword:00000007\n");
  const mode_t old = umask(022);
  const bool ok = s.transact([](RegistryStore& t) { return t.writeString("\\K", "mine", "x"); });
  umask(old);
  ASSERT_TRUE(ok) << s.lastError();
  EXPECT_EQ(s.readDword("\\K", "theirs").value, 7u);
  FileRegistryStore fresh(path);
  ASSERT_TRUE(fresh.load());
  EXPECT_EQ(fresh.readString("\\K", "mine").value, "x");
  EXPECT_EQ(fresh.readDword("\\K", "theirs").value, 7u);
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
}

// Each way a commit can fail, from the lock to the rename: the commit says
// why, and the file, the store in memory and the folder are as before.
struct CommitFailure {
  const char* name;
  std::function<void(FileRegistryStore&, const std::string& dir, int& lockFd)> before;
  std::function<void(RegistryStore&)> change;  // besides deleting \K and adding \New
  const char* error;                           // a part of the reason
};
void PrintTo(const CommitFailure& c, std::ostream* os) { *os << c.name; }

class CommitFails : public FileStore, public ::testing::WithParamInterface<CommitFailure> {
 protected:
  void TearDown() override {
    if (lockFd >= 0) close(lockFd);
  }
  int lockFd = -1;
};

TEST_P(CommitFails, AndLeavesFileAndContentAsTheyWere) {
  const CommitFailure& c = GetParam();
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load({"\\K"}));
  ASSERT_TRUE(s.transact(writeV));
  if (c.before) c.before(s, dir.path(), lockFd);
  const std::string before = test::readAll(path);
  EXPECT_FALSE(s.transact([&](RegistryStore& t) {
    t.deleteKey("\\K");
    if (c.change) c.change(t);
    return t.writeDword("\\New", "v", 2);
  }));
  EXPECT_TRUE(contains(s.lastError(), c.error)) << s.lastError();
  EXPECT_EQ(test::readAll(path), before);
  EXPECT_EQ(s.readDword("\\K", "v").value, 1u);
  EXPECT_FALSE(s.keyExists("\\New"));
  EXPECT_FALSE(fs::exists(path + ".tmp"));
}

const auto stopAt = [](FileRegistryStore::CommitStep step) {
  return [step](FileRegistryStore& s, const std::string&, int&) {
    s.setCommitHook([step](FileRegistryStore::CommitStep at) { return at != step; });
  };
};

INSTANTIATE_TEST_SUITE_P(
    FileStore, CommitFails,
    ::testing::Values(
        CommitFailure{"LockHeldBeyondTheTimeout",
                      [](FileRegistryStore& s, const std::string& dir, int& fd) {
                        fd = open((dir + "/store.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                        ASSERT_EQ(flock(fd, LOCK_EX), 0);
                        s.setLockTimeout(std::chrono::milliseconds(50));
                      },
                      nullptr, "lock"},
        CommitFailure{"FolderOthersMayWriteInto",
                      [](FileRegistryStore&, const std::string& dir, int&) { chmod(dir.c_str(), 0777); }, nullptr,
                      "cannot use the folder"},
        CommitFailure{"FileNoLongerAStore",
                      [](FileRegistryStore&, const std::string& dir, int&) {
                        test::writeAll(dir + "/store.reg", "not a store\n");
                      },
                      nullptr, "store.reg"},
        CommitFailure{"ResultTooLargeToReadBack", nullptr,
                      [](RegistryStore& t) { t.writeString("\\Big", "v", std::string(kMaxStoreFileSize, 'x')); },
                      "cannot be read back"},
        CommitFailure{"ResultWithTooManyKeysToReadBack", nullptr,
                      [](RegistryStore& t) {
                        for (size_t i = 0; i <= kMaxStoreKeys; ++i) t.openKey("\\k" + std::to_string(i));
                      },
                      "cannot be read back"},
        CommitFailure{"TemporaryFileWritten", stopAt(FileRegistryStore::CommitStep::TempWritten), nullptr,
                      "after writing"},
        CommitFailure{"BeforeTheRename", stopAt(FileRegistryStore::CommitStep::BeforeRename), nullptr,
                      "before renaming"}),
    [](const ::testing::TestParamInfo<CommitFailure>& info) { return std::string(info.param.name); });

// A file that is not a store, one beyond the key limit (after a key that did
// load) and a FIFO are refused on load: nothing of them is served, and no
// commit overwrites them.
TEST_F(FileStore, RefusesToLoadAFileItCannotRead) {
  std::string many = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000005\n";
  for (size_t i = 0; i <= kMaxStoreKeys; ++i) many += "[HKEY_CURRENT_USER\\k" + std::to_string(i) + "]\n";
  for (const std::string& text : {std::string("not a store\n"), many, std::string()}) {
    fs::remove(path);
    if (text.empty()) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // refused at once, never waited on
    } else {
      test::writeAll(path, text);
    }
    FileRegistryStore s(path);
    EXPECT_FALSE(s.load({"\\K"}));
    EXPECT_FALSE(s.readDword("\\K", "v").ok());
    EXPECT_FALSE(s.transact(writeV));
    if (!text.empty()) {
      EXPECT_EQ(test::readAll(path), text);
    }
  }
}

// A store kept as a link (a dotfile manager's) stays a link; the file it
// points to gets the new content, and its folder too must be the user's own.
TEST_F(FileStore, CommitsThroughALink) {
  fs::create_directory(dir / "dotfiles");
  const std::string target = dir / "dotfiles/brivane.reg";
  test::writeAll(target, "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n");
  ASSERT_EQ(symlink("dotfiles/brivane.reg", path.c_str()), 0);
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load());
  ASSERT_TRUE(s.transact(writeV)) << s.lastError();
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_TRUE(contains(test::readAll(target), "\"v\"=dword:00000001"));
  chmod((dir / "dotfiles").c_str(), 0777);
  EXPECT_FALSE(s.transact([](RegistryStore& t) { return t.writeDword("\\K", "v", 2); }));
  EXPECT_TRUE(contains(test::readAll(target), "\"v\"=dword:00000001"));
}

TEST(FileRegistryStore, DefaultPathFollowsTheEnvironment) {
  const char* old = std::getenv("BRIVANE_STORE");
  const std::string keep = old ? old : "";
  setenv("BRIVANE_STORE", "/x/y.reg", 1);
  EXPECT_EQ(FileRegistryStore::defaultPath(), "/x/y.reg");
  unsetenv("BRIVANE_STORE");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(FileRegistryStore::defaultPath(), "/cfg/torvex/Brivane/brivane.reg");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(FileRegistryStore::defaultPath(), "/home/u/.config/torvex/Brivane/brivane.reg");
  unsetenv("XDG_CONFIG_HOME");
  if (old) setenv("BRIVANE_STORE", keep.c_str(), 1);
}

}  // namespace
}  // namespace brivane

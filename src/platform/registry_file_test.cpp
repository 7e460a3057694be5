#include "platform/registry_file.h"
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <filesystem>
#include <functional>

#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }
bool writeV(RegistryStore& t) { return t.writeDword("\\K", "v", 1); }
fs::perms modeOf(const std::string& path) { return fs::status(path).permissions() & fs::perms::all; }

class FileStore : public test::TempDirTest {
 protected:
  std::string path = dir / "store.reg";
};

// A missing file is created with the initial keys, an existing one never
// rewritten on load; a commit keeps what another process wrote after our load.
TEST_F(FileStore, LoadCreatesOnlyAMissingFileAndACommitReadsItAgain) {
  FileRegistryStore s(dir / "a/b/store.reg");
  ASSERT_TRUE(s.load({"\\Software\\X\\Main", "\\Software\\X\\Accounts"})) << s.lastError();
  EXPECT_EQ(test::readAll(dir / "a/b/store.reg"), "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\X\\Accounts]\n\n[HKEY_CURRENT_USER\\Software\\X\\Main]\n\n");
  EXPECT_EQ(modeOf(dir / "a/b"), fs::perms::owner_all);
  const std::string existing = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n";
  test::writeAll(path, existing);
  FileRegistryStore again(path);
  ASSERT_TRUE(again.load({"\\Software\\X\\Main"}));
  EXPECT_EQ(test::readAll(path), existing);
  test::writeAll(path, existing + "\"theirs\"=dword:00000007\r\n");
  const mode_t old = umask(022);
  const bool ok = again.transact([](RegistryStore& t) { return t.writeString("\\K", "mine", "x"); });
  umask(old);
  ASSERT_TRUE(ok && again.readDword("\\K", "theirs").value == 7u) << again.lastError();
  FileRegistryStore fresh(path);
  ASSERT_TRUE(fresh.load());
  EXPECT_EQ(fresh.readString("\\K", "mine").value + std::to_string(fresh.readDword("\\K", "theirs").value), "x7");
  EXPECT_TRUE(modeOf(path) == (fs::perms::owner_read | fs::perms::owner_write) && !fs::exists(path + ".tmp"));
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
  void TearDown() override { close(lockFd); }
  int lockFd = -1;
};

TEST_P(CommitFails, AndLeavesFileAndContentAsTheyWere) {
  const CommitFailure& c = GetParam();
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load({"\\K"}) && s.transact(writeV));
  if (c.before) c.before(s, dir.path(), lockFd);
  const std::string before = test::readAll(path);
  EXPECT_FALSE(s.transact([&](RegistryStore& t) {
    t.deleteKey("\\K");
    if (c.change) c.change(t);
    return t.writeDword("\\New", "v", 2);
  }));
  EXPECT_TRUE(contains(s.lastError(), c.error)) << s.lastError();
  EXPECT_TRUE(test::readAll(path) == before && s.readDword("\\K", "v").value == 1u);
  EXPECT_FALSE(s.keyExists("\\New") || fs::exists(path + ".tmp"));
}

using Step = FileRegistryStore::CommitStep;
const auto stopAt = [](Step step) {
  return [step](FileRegistryStore& s, auto&, int&) { s.setCommitHook([step](Step at) { return at != step; }); };
};
const auto holdLock = [](FileRegistryStore& s, const std::string& dir, int& fd) {
  fd = open((dir + "/store.reg.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  flock(fd, LOCK_EX);
  s.setLockTimeout(std::chrono::milliseconds(50));
};
const auto openToOthers = [](FileRegistryStore&, const std::string& dir, int&) { chmod(dir.c_str(), 0777); };
const auto damage = [](FileRegistryStore&, const std::string& dir, int&) { test::writeAll(dir + "/store.reg", "x\n"); };
const auto tooLarge = [](RegistryStore& t) { t.writeString("\\Big", "v", std::string(kMaxStoreFileSize, 'x')); };
const auto tooManyKeys = [](RegistryStore& t) {
  for (size_t i = 0; i <= kMaxStoreKeys; ++i) t.openKey("\\k" + std::to_string(i));
};

INSTANTIATE_TEST_SUITE_P(
    FileStore, CommitFails,
    ::testing::Values(CommitFailure{"LockHeldBeyondTheTimeout", holdLock, nullptr, "lock"},
                      CommitFailure{"FolderOthersMayWriteInto", openToOthers, nullptr, "cannot use the folder"},
                      CommitFailure{"FileNoLongerAStore", damage, nullptr, "store.reg"},
                      CommitFailure{"ResultTooLargeToReadBack", nullptr, tooLarge, "cannot be read back"},
                      CommitFailure{"ResultWithTooManyKeysToReadBack", nullptr, tooManyKeys, "cannot be read back"},
                      CommitFailure{"TemporaryFileWritten", stopAt(Step::TempWritten), nullptr, "after writing"},
                      CommitFailure{"BeforeTheRename", stopAt(Step::BeforeRename), nullptr, "before renaming"}),
    [](const auto& info) { return std::string(info.param.name); });

// Not a store, beyond the key limit (after a key that did load), a FIFO (never
// waited on): refused on load, nothing of them served, no commit overwrites them.
TEST_F(FileStore, RefusesToLoadAFileItCannotRead) {
  std::string many = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000005\n";
  for (size_t i = 0; i <= kMaxStoreKeys; ++i) many += "[HKEY_CURRENT_USER\\k" + std::to_string(i) + "]\n";
  for (const std::string& text : {std::string("not a store\n"), many, std::string()}) {
    fs::remove(path);
    text.empty() ? (void)mkfifo(path.c_str(), 0600) : test::writeAll(path, text);
    FileRegistryStore s(path);
    EXPECT_FALSE(s.load({"\\K"}) || s.readDword("\\K", "v").ok() || s.transact(writeV));
    EXPECT_EQ(text.empty() ? text : test::readAll(path), text);
  }
}

// A store kept as a link (a dotfile manager's) stays a link; the file it
// points to gets the new content, and its folder too must be the user's own.
TEST_F(FileStore, CommitsThroughALink) {
  const std::string target = dir / "dotfiles/brivane.reg";
  test::writeAll(target, "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n");
  ASSERT_EQ(symlink("dotfiles/brivane.reg", path.c_str()), 0);
  FileRegistryStore s(path);
  ASSERT_TRUE(s.load() && s.transact(writeV)) << s.lastError();
  EXPECT_TRUE(fs::is_symlink(path) && contains(test::readAll(target), "\"v\"=dword:00000001"));
  chmod((dir / "dotfiles").c_str(), 0777);
  EXPECT_FALSE(s.transact([](RegistryStore& t) { return t.writeDword("\\K", "v", 2); }));
  EXPECT_TRUE(contains(test::readAll(target), "\"v\"=dword:00000001"));
}

// $BRIVANE_STORE, else the program's file in the configuration folder.
TEST(FileRegistryStore, DefaultPathFollowsTheEnvironment) {
  setenv("BRIVANE_STORE", "/x/y.reg", 1);
  EXPECT_EQ(FileRegistryStore::defaultPath(), "/x/y.reg");
  unsetenv("BRIVANE_STORE");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(FileRegistryStore::defaultPath(), "/cfg/torvex/Brivane/brivane.reg");
}

TEST_F(FileStore, InstanceLockRefusesASecondHolderUntilTheFirstReleasesAndFollowsNoLink) {
  const std::string lock = dir / "lock", target = dir / "target", link = dir / "link";
  InstanceLock a, b;
  EXPECT_EQ(a.tryAcquire(lock), InstanceLockResult::Acquired);
  EXPECT_EQ(b.tryAcquire(lock), InstanceLockResult::AlreadyHeld);
  a.release();
  EXPECT_EQ(b.tryAcquire(lock), InstanceLockResult::Acquired);
  b.release();
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_TRUE(a.tryAcquire(link) == InstanceLockResult::Unavailable && !fs::exists(target));
  setenv("XDG_RUNTIME_DIR", "/run/user/42", 1);
  EXPECT_EQ(InstanceLock::defaultPath(), "/run/user/42/Pellucine.lock");
}

}  // namespace
}  // namespace brivane

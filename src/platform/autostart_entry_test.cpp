#include "platform/autostart_entry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/idle_lock.h"
#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;
using test::readAll;

// What a reader of the Exec line gets back is the argument itself: a
// program path with any of the reserved characters, a '%' that is not a
// field code, a newline; what cannot be written is refused.
TEST(AutostartEntry, ExecArgumentsQuotedAndEscapedAsTheDesktopEntryRulesSay) {
  const struct {
    const char* name;
    std::string argument, expected;
  } rows[] = {
      {"plain path as it is", "/usr/bin/brivane", "/usr/bin/brivane"},
      {"blank: quoted", "/opt/my apps/brivane", R"("/opt/my apps/brivane")"},
      {"quote, backtick, dollar, backslash: escaped, then the backslashes once more",
       "/a\"b`c$d\\e", R"("/a\\"b\\`c\\$d\\\\e")"},
      {"the other reserved characters: quoted only", "/x'~|&;*?#()<>", R"("/x'~|&;*?#()<>")"},
      {"percent: doubled, not a reason to quote", "/x%u", "/x%%u"},
      {"newline and tab: quoted, string escapes", "/a\nb\tc", R"("/a\nb\tc")"},
      {"UTF-8 kept", "/home/jürgen/brivane", "/home/jürgen/brivane"},
      {"empty: an empty quoted argument", "", R"("")"},
      {"not UTF-8: refused", "/home/j\xFCrgen/brivane", ""},
      {"other control character: refused", "/a\x01z", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(desktopExecArgument(row.argument), row.expected) << row.name;
}

// The entry for the program found on PATH is, byte for byte, the template
// installed under share/brivane/ for copying by hand.
TEST(AutostartEntry, ContentStartsTheWatcherAndRefusesAnUnwritableProgram) {
  const std::string installed = readAll(BRIVANE_AUTOSTART_TEMPLATE);
  ASSERT_NE(installed.find("\nExec=brivane --idle\n"), std::string::npos) << installed;
  EXPECT_EQ(autostartEntryContent("brivane"), installed);
  const std::string spaced = autostartEntryContent("/opt/a b\\c/brivane").value_or("");
  EXPECT_NE(spaced.find("\nExec=\"/opt/a b\\\\\\\\c/brivane\" --idle\n"), std::string::npos) << spaced;
  EXPECT_NE(spaced.find("\nTryExec=/opt/a b\\\\c/brivane\n"), std::string::npos) << spaced;
  EXPECT_FALSE(autostartEntryContent("/bad\x02name"));
}

// The name alone only when the first program of that name on PATH is this
// very file; a relative PATH entry never counts.
TEST(AutostartEntry, ExecNamesTheProgramByNameOnlyWhenPathFindsThisFile) {
  const test::TempDir dir("brivane-autostart");
  const std::string self = dir / "inst/brivane", other = dir / "other/brivane";
  test::writeAll(self, "#!/bin/sh\n");
  test::writeAll(other, "#!/bin/sh\n");
  fs::permissions(self, fs::perms::owner_all), fs::permissions(other, fs::perms::owner_all);
  fs::create_directories(dir / "linked");
  fs::create_symlink(self, dir / "linked/brivane");
  const struct {
    const char* name;
    std::string path;
    std::string expected;
  } rows[] = {
      {"found first", "/nowhere:" + dir / "inst" + ":/usr/bin", "brivane"},
      {"a link to it", dir / "linked", "brivane"},
      {"another program of that name first", dir / "other" + ":" + dir / "inst", self},
      {"not on PATH", "/usr/bin:/bin", self},
      {"relative entry ignored", "inst", self},
      {"empty PATH", "", self},
  };
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  for (const auto& row : rows) EXPECT_EQ(execProgramName(self, row.path), row.expected) << row.name;
  fs::current_path(cwd);
}

// Written whole (no temporary left), readable by all, its folder made 0700
// when missing; replaced on a second write; removed, and removing nothing
// is no error. A folder others may write to is refused.
TEST(AutostartEntry, WrittenAtomicallyRemovedAndRefusedInAnUnsafeFolder) {
  const test::TempDir dir("brivane-autostart");
  const std::string path = dir / "config/autostart/brivane-idle.desktop";
  std::string why;
  EXPECT_FALSE(autostartEntryPresent(path));
  ASSERT_TRUE(writeAutostartEntry(path, "first\n", &why)) << why;
  ASSERT_TRUE(writeAutostartEntry(path, "second\n", &why)) << why;
  EXPECT_TRUE(autostartEntryPresent(path));
  EXPECT_EQ(readAll(path), "second\n");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
  EXPECT_EQ(fs::status(dir / "config/autostart").permissions(), fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "config/autostart"), fs::directory_iterator()), 1);
  EXPECT_TRUE(removeAutostartEntry(path, &why) && !autostartEntryPresent(path)) << why;
  EXPECT_TRUE(removeAutostartEntry(path, &why) && removeAutostartEntry(dir / "none/x.desktop", &why)) << why;

  fs::create_directories(dir / "open/autostart");
  fs::permissions(dir / "open/autostart", fs::perms::all);
  EXPECT_FALSE(writeAutostartEntry(dir / "open/autostart/brivane-idle.desktop", "x\n", &why));
  EXPECT_NE(why.find("writable by group or others"), std::string::npos) << why;
  EXPECT_FALSE(writeAutostartEntry("", "x\n", &why));
}

// The dialog's OK, ticked: the entry names the program by its path (not on
// PATH), and the watcher runs detached: its own session, not our child,
// "--idle", standard streams on /dev/null, none of our other descriptors.
// Cleared: the entry goes, and the watcher holding this display's lock gets
// SIGTERM. A program that cannot run is said.
TEST(AutostartEntry, ApplyStartsDetachedThenRemovesAndStops) {
  const test::TempDir dir("brivane-autostart");
  const std::string probe = dir / "bin/probe", entry = dir / "config/autostart/brivane-idle.desktop";
  fs::create_directories(dir / "bin"), fs::create_directories(dir / "run");
  fs::copy_file(BRIVANE_LAUNCH_PROBE, probe);
  struct Env {  // set for this test, put back after it
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    void set(const char* name, const std::string& value) {
      const char* old = std::getenv(name);
      saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      setenv(name, value.c_str(), 1);
    }
    ~Env() {
      for (const auto& [name, value] : saved) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
  } env;
  env.set("XDG_CONFIG_HOME", dir / "config"), env.set("XDG_RUNTIME_DIR", dir / "run");
  env.set("DISPLAY", ":97"), env.set("PATH", "/usr/bin:/bin");
  const int leaked = ::open("/dev/zero", O_RDONLY);  // no close-on-exec
  std::string why;
  EXPECT_TRUE(applyStartAtLogin(true, probe, &why)) << why;
  ::close(leaked);
  EXPECT_NE(readAll(entry).find("\nExec=" + probe + " --idle\n"), std::string::npos);
  for (int i = 0; i < 500 && !fs::exists(dir / "bin/report.txt"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string report = readAll(dir / "bin/report.txt"), proc = "/proc/" + report.substr(report.find("pid:") + 4);
  ASSERT_NE(report.find("arg:--idle\n"), std::string::npos) << "the watcher was not started";
  const std::string pid = proc.substr(0, proc.find('\n')), stat = readAll(pid + "/stat");
  int ppid = 0, session = 0;
  std::sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %d %*d %d", &ppid, &session);
  EXPECT_EQ(fs::read_symlink(pid + "/fd/0"), "/dev/null");
  ::kill(std::atoi(pid.c_str() + 6), SIGTERM);
  EXPECT_TRUE(ppid != getpid() && session != getsid(0)) << stat;
  EXPECT_EQ(report.find("fd:" + std::to_string(leaked) + "\n"), std::string::npos) << report;

  const std::string lockPath = idleLockPath(":97");
  const pid_t watcher = ::fork();
  if (watcher == 0) {  // a watcher of this display: holds the lock until a signal
    IdleLock lock;
    if (lock.tryAcquire(lockPath) != InstanceLockResult::Acquired) ::_exit(1);
    for (;;) ::pause();
  }
  for (int i = 0; i < 500 && runningIdleWatcher(lockPath) != watcher; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(applyStartAtLogin(false, probe, &why)) << why;
  int status = 0;
  ASSERT_EQ(::waitpid(watcher, &status, 0), watcher);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(autostartEntryPresent(entry));

  EXPECT_FALSE(startIdleWatcherDetached(dir / "missing", &why));
  EXPECT_NE(why.find("No such file"), std::string::npos) << why;
}

}  // namespace
}  // namespace brivane

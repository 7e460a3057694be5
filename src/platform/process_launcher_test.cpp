#include "platform/process_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/screensaver_background.h"
#include "platform/screensaver_program.h"
#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;
using Argv = std::vector<std::string>;
using std::chrono::milliseconds;

// The probe program in a folder whose name holds blanks and quotes. Orphans come
// to this process, as to a reaping init (this machine's may leave zombies).
class Launch : public test::TempDirTest {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    fs::copy_file(BRIVANE_LAUNCH_PROBE, probe_);
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }
  void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  // The probe's report lines with the given prefix, waiting for the report.
  Argv report(const std::string& prefix) {
    for (int i = 0; i < 500 && !fs::exists(dir_ / "report.txt"); ++i) std::this_thread::sleep_for(milliseconds(10));
    std::ifstream in(dir_ / "report.txt");
    Argv values;
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix + ":", 0) == 0) values.push_back(line.substr(prefix.size() + 1));
    return values;
  }
  pid_t reportedPid(const std::string& prefix) { return report(prefix).empty() ? -1 : std::stoi(report(prefix)[0]); }
  const fs::path dir_ = dir / "dir with blanks 'and\" quotes";
  const std::string probe_ = (dir_ / "launch probe").string();
};

// True when no process (a zombie neither) is left in the group.
bool groupGone(pid_t pgid) { return ::kill(-pgid, 0) != 0 && errno == ESRCH; }

// The program ignores SIGTERM and has a child of its own: terminate() still ends the whole group.
TEST_F(Launch, ProgramGetsItsArgumentsItsOwnGroupAndNoDescriptorAndTerminateEndsTheGroup) {
  const int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec
  auto* oldPipe = signal(SIGPIPE, SIG_IGN);
  ProcessLauncher launcher(milliseconds(300));
  const Argv argv = {probe_, "two words", "it's \"quoted\"", "", "$HOME;|*", "hold-term"};
  ASSERT_TRUE(launcher.start(argv)) << launcher.error();
  signal(SIGPIPE, oldPipe);
  close(leaked);
  const pid_t pid = launcher.pid(), child = reportedPid("child");
  EXPECT_EQ(std::tuple(report("arg"), reportedPid("pgid"), reportedPid("pid"), getpgid(child), report("fd")),
            std::tuple(argv, pid, pid, pid, Argv{"0", "1", "2"}));
  EXPECT_EQ(report("sigpipe"), Argv{"default"});
  EXPECT_FALSE(pid == getpgrp() || launcher.hasEnded(milliseconds(5)));
  launcher.terminate();
  EXPECT_TRUE(groupGone(pid) && launcher.pid() == 0);
}

TEST_F(Launch, ProgramDiesWithTheProcessThatStartedIt) {
  const pid_t starter = fork();
  if (starter == 0) {
    ProcessLauncher launcher;
    if (launcher.start({probe_})) pause();
    _exit(0);
  }
  const pid_t pid = reportedPid("pid");
  ::kill(starter, SIGKILL);  // the saver is killed
  waitpid(starter, nullptr, 0);
  ASSERT_GT(pid, 0);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(milliseconds(10));
  if (!WIFSIGNALED(status)) ::kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

// The end is announced on the descriptor as it happens, and how it ended is kept for the log.
TEST_F(Launch, EndedProgramIsSeenAndReaped) {
  ProcessLauncher killed, launcher;
  ASSERT_TRUE(killed.start({"/bin/sh", "-c", "kill -9 $$"}));
  pollfd end{killed.endDescriptor(), POLLIN, 0};
  ASSERT_GE(end.fd, 0);
  EXPECT_EQ(poll(&end, 1, 5000), 1);
  EXPECT_TRUE(killed.hasEnded(milliseconds(0)) && killed.endReason() == "was ended by signal 9");
  ASSERT_TRUE(launcher.start({probe_, "exit"}));
  const pid_t pid = launcher.pid();
  EXPECT_EQ(launcher.endReason(), "");
  EXPECT_TRUE(launcher.hasEnded(milliseconds(5000)) && launcher.endReason() == "ended with status 0");
  EXPECT_TRUE(groupGone(pid));  // reaped: no zombie
  launcher.kill();
  EXPECT_FALSE(launcher.hasEnded(milliseconds(0)));  // nothing started any more
}

TEST_F(Launch, ProgramThatCannotRunIsAFailedStart) {
  for (const Argv& argv : {Argv{}, Argv{""}, Argv{dir_ / "missing"}}) {
    ProcessLauncher launcher;
    EXPECT_FALSE(launcher.start(argv) || launcher.error().empty() || launcher.pid() != 0) << argv.size();
  }
}

// Hacks of the collection (by the folder list, also through links) get the
// window id, never --root; other programs the screensaver switches.
TEST(ScreensaverProgram, CollectionHacksGetTheWindowIdAndOthersTheScreensaverSwitches) {
  const test::TempDir dir;
  const fs::path root = dir.path();
  for (const char* sub : {"libexec/hacks", "bin"}) fs::create_directories(root / sub);
  fs::create_directory_symlink(root / "libexec/hacks", root / "lib-hacks");
  const std::string hack = root / "libexec/hacks/bloom", link = root / "bin/my bloom", other = root / "bin/other",
                    missing = root / "lib-hacks/missing";
  for (const std::string& file : {hack, other}) std::ofstream(file).put('x');
  fs::create_symlink(hack, link);
  const std::tuple<std::string, bool, Argv> cases[] = {
      {hack, false, {hack, "--window-id", "4194311"}}, {hack, true, {hack, "--window-id", "4194311"}},
      {link, false, {link, "--window-id", "4194311"}}, {other, false, {other, "-p", "4194311"}},
      {other, true, {other, "-s"}},                    {missing, false, {missing, "-p", "4194311"}}};
  for (const auto& [path, fullScreen, argv] : cases)
    EXPECT_EQ(screensaverCommand(path, 4194311, fullScreen, {"/nonexistent", root / "lib-hacks"}), argv) << path;
}

TEST_F(Launch, BackgroundStartsTheProgramByTheScreensaverRule) {
  using Row = std::pair<Argv, Argv>;
  for (const auto& [folders, args] : {Row{{}, {probe_, "-s"}}, Row{{dir_}, {probe_, "--window-id", "77"}}}) {
    fs::remove(dir_ / "report.txt");
    ScreensaverBackground background(folders);
    ASSERT_TRUE(background.start(probe_, 77, true));
    EXPECT_EQ(report("arg"), args);
    background.terminate();
  }
}

}  // namespace
}  // namespace brivane

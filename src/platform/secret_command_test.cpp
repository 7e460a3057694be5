#include "platform/secret_command.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Reaps what the group left behind (orphans come to this process, as to a
// reaping init) and tells whether no member, zombies included, is left.
bool groupGoneSoon(pid_t pgid) {
  for (int i = 0; i < 200; ++i) {
    while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
    }
    if (::kill(-pgid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

struct Row {
  const char* name = "";
  std::string command{};
  int limitMs = 3000;
  int stopAfterMs = 0;  // the stop flag is set from another thread after this long
  std::string secret{};  // expected when no failure is
  std::string failure{};
  std::string firstErrorLine{};
  size_t errorBytes = std::string::npos;
  bool groupEnded = false;  // the runner had to end the group: nothing of it may be left
};

void PrintTo(const Row& run, std::ostream* os) { *os << run.name; }

class SecretCommandRun : public test::TempDirTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

TEST_P(SecretCommandRun, GivesTheFirstLineOrNamesTheFailure) {
  const Row& run = GetParam();
  // A value of our own must give way to the account's.
  setenv("BRIVANE_USER", "stale", 1);
  const std::string pgidFile = dir / "pgid";
  std::atomic<bool> stop{false};
  // The shell's process number and its group's, as the shell itself sees them.
  SecretCommand request{.command = "cut -d' ' -f1,5 /proc/$$/stat > '" + pgidFile + "'; " + run.command,
                        .account = "Work",
                        .user = "ann@example.org",
                        .server = "imap.example.org",
                        .timeLimit = milliseconds(run.limitMs),
                        .stop = &stop};
  std::thread stopper;
  if (run.stopAfterMs > 0) {
    stopper = std::thread([&] {
      std::this_thread::sleep_for(milliseconds(run.stopAfterMs));
      stop = true;
    });
  }
  const SecretCommandResult result = runSecretCommand(request);
  if (stopper.joinable()) stopper.join();

  EXPECT_EQ(std::tuple(result.ok, result.failure, result.secret, result.firstErrorLine),
            std::tuple(run.failure.empty(), run.failure, run.failure.empty() ? run.secret : "", run.firstErrorLine));
  if (run.errorBytes != std::string::npos) {
    EXPECT_EQ(result.errorOutput.size(), run.errorBytes);
  }
  pid_t pid = 0, pgid = 0;
  std::istringstream(test::readAll(pgidFile)) >> pid >> pgid;
  ASSERT_TRUE(pgid == pid && pgid != getpgrp()) << "the command has no group of its own";
  if (run.groupEnded) {
    EXPECT_TRUE(groupGoneSoon(pgid));
  }
  ::kill(-pgid, SIGKILL);  // what a row leaves running on purpose
  groupGoneSoon(pgid);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SecretCommandRun,
    ::testing::Values(
        Row{.name = "AccountValuesInTheEnvironmentFirstLineOnly",
            .command = R"(printf '%s|%s|%s\nsecond line\n' "$BRIVANE_ACCOUNT" "$BRIVANE_USER" "$BRIVANE_SERVER")",
            .secret = "Work|ann@example.org|imap.example.org"},
        Row{.name = "TrailingCrDropped", .command = R"(printf ' to ken \r\n')", .secret = " to ken "},
        Row{.name = "LastLineWithoutLineEnd", .command = "printf token", .secret = "token"},
        Row{.name = "StdinIsDevNull", .command = "cat; readlink /proc/$$/fd/0", .secret = "/dev/null"},
        Row{.name = "EmptyLine", .command = "echo; echo later", .failure = "it printed an empty line"},
        Row{.name = "NoOutput", .command = "exit 0", .failure = "it printed nothing"},
        Row{.name = "NonZeroExitShowsFirstErrorLineEscaped",
            .command = R"(printf '\n\033[31mno key\tfor "x"\r\nsecond\n' >&2; echo pw; exit 3)",
            .failure = "it exited with status 3",
            .firstErrorLine = R"(\x1B[31mno key\tfor "x")"},
        Row{.name = "SecretWrittenToErrorOutputIsHidden",
            .command = R"(echo 's3cr3t'; echo 'got s3cr3t;s3cr3t.' >&2)",
            .secret = "s3cr3t",
            .firstErrorLine = "got ***;***."},
        Row{.name = "KilledBySignal", .command = "echo pw; kill -9 $$", .failure = "it was ended by signal 9"},
        Row{.name = "EndlessLineIsCut",
            .command = "cat /dev/zero",
            .failure = "it printed 64 KiB without a line end",
            .groupEnded = true},
        Row{.name = "HugeErrorOutputDoesNotBlock",
            .command = R"(head -c 10000000 /dev/zero | tr '\0' x >&2; echo ok)",
            .secret = "ok",
            .firstErrorLine = std::string(200, 'x'),
            .errorBytes = 2048},
        Row{.name = "BackgroundProcessHoldingThePipesIsNotWaitedFor",
            .command = "sleep 30 & echo token",
            .secret = "token"},
        Row{.name = "TimeLimitEndsAGroupThatIgnoresTerm",
            .command = "trap '' TERM; echo waiting >&2; sleep 60 & sleep 30",
            .limitMs = 300,
            .failure = "it did not finish within 300 ms",
            .firstErrorLine = "waiting",
            .groupEnded = true},
        Row{.name = "StopRequestEndsItAtOnce",
            .command = "sleep 30 & sleep 30",
            .limitMs = 20000,
            .stopAfterMs = 200,
            .failure = "it was stopped",
            .groupEnded = true}),
    [](const auto& info) { return std::string(info.param.name); });

// The C library's own signals may arrive ignored (the new program's C library takes them
// over); the ones the program ignores, SIGPIPE first, must not.
TEST(SecretCommand, NoDescriptorOrIgnoredSignalOfOursReachesTheCommand) {
  const int leaked = open("/dev/null", O_RDONLY);  // not close-on-exec
  auto* oldPipe = signal(SIGPIPE, SIG_IGN);
  auto* oldHup = signal(SIGHUP, SIG_IGN);
  const std::string leakTest = "test -e /proc/$$/fd/" + std::to_string(leaked) + " && echo leaked; ";
  const SecretCommandResult result =
      runSecretCommand({.command = leakTest + R"(sed -n 's/^SigIgn:\t//p' /proc/$$/status)"});
  signal(SIGPIPE, oldPipe);
  signal(SIGHUP, oldHup);
  close(leaked);
  ASSERT_EQ(result.secret.size(), 16u) << result.secret << result.failure;
  EXPECT_EQ(std::stoull(result.secret, nullptr, 16) & 0x7FFFFFFFull, 0u) << result.secret;  // signals 1 to 31
}

// The store file decides what runs: the command runs only when no one else could have written it.
TEST(SecretCommand, RunsOnlyFromAStoreOnlyTheUserCanChange) {
  struct Store {
    const char* name;
    mode_t fileMode, folderMode;
    bool link;  // the store path is a link to the file
    std::string failure;  // after the path
  };
  const Store stores[] = {
      {"own", 0600, 0700, false, ""},
      {"group-writable file", 0620, 0700, false, " can be changed by other users (others may write it)"},
      {"other-writable folder", 0600, 0707, false, " can be changed by other users (others may write its folder)"},
      {"link", 0600, 0700, true, " is not a regular file"},
  };
  for (const Store& s : stores) {
    SCOPED_TRACE(s.name);
    test::TempDir dir;
    const std::string folder = dir / "config", file = folder + "/settings.ini", marker = dir / "ran";
    test::writeAll(file, "x");
    std::string store = file;
    if (s.link) {
      store = folder + "/link.ini";
      fs::create_symlink(file, store);
    }
    chmod(file.c_str(), s.fileMode);
    chmod(folder.c_str(), s.folderMode);
    const SecretCommandResult result =
        runSecretCommand({.command = "touch '" + marker + "'; echo pw", .storePath = store});
    chmod(folder.c_str(), 0700);
    EXPECT_EQ(std::tuple(result.failure, result.ok, fs::exists(marker)),
              std::tuple(s.failure.empty() ? "" : "the settings file " + store + s.failure, s.failure.empty(),
                         s.failure.empty()));
  }
}

}  // namespace
}  // namespace brivane

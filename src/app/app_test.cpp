#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/command_line.h"
#include "common/version.h"

extern char** environ;

namespace brivane {
namespace {

namespace fs = std::filesystem;

TEST(CommandLine, ModeAndWindow) {
  struct Case {
    std::vector<std::string> args;
    uint8_t mode;
    int32_t window;
  };
  const Case cases[] = {
      {{}, kRunSettings, 0},
      {{""}, kRunSettings, 0},
      {{"", "55"}, kRunSettings, 0},
      {{"/s"}, kRunFullScreen, 0},
      {{"/S"}, kRunFullScreen, 0},
      {{"-s"}, kRunFullScreen, 0},
      {{"s"}, kRunFullScreen, 0},
      {{"/-S"}, kRunFullScreen, 0},
      {{"/p", "123456"}, kRunPreview, 123456},
      {{"/P", "0"}, kRunPreview, 0},
      {{"/l", "5678"}, kRunPreview, 5678},
      {{"/c:98765"}, kRunSettings, 98765},
      {{"/c:abc"}, kRunSettings, 0},
      {{"/C"}, kRunSettings, 0},
      {{"/c", "-42"}, kRunSettings, -42},
      {{"/a"}, kRunSettings, 0},
      {{"/"}, kRunSettings, 0},
      {{"-"}, kRunSettings, 0},
      {{"/s:12"}, kRunFullScreen, 12},
      {{"/p", "12x"}, kRunPreview, 0},
      {{"/p", "2147483648"}, kRunPreview, 0},
      {{"/p", "-2147483648"}, kRunPreview, INT32_MIN},
      {{"/p:7", "8"}, kRunPreview, 7},
      {{"/p", " 5"}, kRunPreview, 0},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    const CommandLine cl = parseCommandLine(c.args);
    EXPECT_EQ(cl.runMode, c.mode) << shown;
    EXPECT_EQ(cl.parentWindow, c.window) << shown;
  }
}

struct ProcessRun {
  int status = -1;
  std::string out, err;
};

// Runs a program with extra environment variables, stdin from /dev/null,
// and collects its output and exit status.
ProcessRun run(const std::string& exe, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  int out[2], err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<std::string> all = {exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = env;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);  // earlier entries win
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  ProcessRun r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && poll(fds, 2, 10000) > 0) {
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[k].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      } else {
        (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return r;
}

class Executable : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "brivane-app-XXXXXX").string();
    dir_ = mkdtemp(t.data());
    env_ = {"XDG_RUNTIME_DIR=" + dir_, "BRIVANE_STORE=" + dir_ + "/store/brivane.reg",
            "XDG_STATE_HOME=" + dir_ + "/state", "XDG_CONFIG_HOME=" + dir_ + "/config"};
  }
  void TearDown() override { fs::remove_all(dir_); }
  ProcessRun brivane(const std::vector<std::string>& args) { return run(BRIVANE_EXE, args, env_); }

  std::string dir_;
  std::vector<std::string> env_;
};

TEST_F(Executable, VersionAndHelp) {
  ProcessRun v = brivane({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "Brivane " + versionText(programVersion()) + "\n");
  EXPECT_EQ(v.out, "Brivane 1.0.0.0\n");

  ProcessRun h = brivane({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.err, "");
  for (const std::string& word : {std::string("/s"), std::string("/p <window>"), std::string("/l"),
                                  std::string("/c[:<window>]"), std::string("--help"), std::string("--version"),
                                  dir_ + "/store/brivane.reg", dir_ + "/state/Torvex/Brivane/"})
    EXPECT_NE(h.out.find(word), std::string::npos) << word;

  ProcessRun bad = brivane({"--nonsense"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--nonsense"), std::string::npos);
  // Long options neither take the guard nor touch the store.
  EXPECT_FALSE(fs::exists(dir_ + "/Pellucine.lock"));
  EXPECT_FALSE(fs::exists(dir_ + "/store"));
}

TEST_F(Executable, PreviewWithoutAWindowEndsAtOnce) {
  const ProcessRun r = brivane({"/p", "0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(Executable, AModeWithoutItsWindowsSaysSo) {
  for (const auto& args : {std::vector<std::string>{"/s"}, std::vector<std::string>{"/c"},
                           std::vector<std::string>{}, std::vector<std::string>{"/p", "1234"}}) {
    const ProcessRun r = brivane(args);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not available"), std::string::npos);
  }
}

TEST_F(Executable, ASecondInstanceEndsSilently) {
  // The first instance: a helper that holds the guard until its input ends.
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::string exe = BRIVANE_GUARD_HOLDER;
  char* argv[] = {exe.data(), nullptr};
  std::vector<std::string> envStore = env_;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t holder = -1;
  ASSERT_EQ(posix_spawn(&holder, exe.c_str(), &fa, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  char said[16] = {};
  pollfd p{out[0], POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 10000), 0);
  ASSERT_GT(read(out[0], said, sizeof said - 1), 0);
  ASSERT_STREQ(said, "held\n");

  for (const auto& args : {std::vector<std::string>{"/s"}, std::vector<std::string>{"/c"}}) {
    const ProcessRun r = brivane(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_EQ(brivane({"--version"}).status, 0);  // long options never take the guard

  close(in[1]);  // the helper ends and the guard is free again
  int ws = 0;
  waitpid(holder, &ws, 0);
  close(out[0]);
  EXPECT_EQ(brivane({"/s"}).status, 3);
}

}  // namespace
}  // namespace brivane

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/command_line.h"

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
      {{}, kRunSettings, 0},        {{""}, kRunSettings, 0},           {{"", "55"}, kRunSettings, 0},
      {{"/s"}, kRunFullScreen, 0},  {{"/S"}, kRunFullScreen, 0},       {{"-s"}, kRunFullScreen, 0},
      {{"s"}, kRunFullScreen, 0},   {{"/-S"}, kRunFullScreen, 0},      {{"/p", "123456"}, kRunPreview, 123456},
      {{"/P", "0"}, kRunPreview, 0}, {{"/l", "5678"}, kRunPreview, 5678}, {{"/c:98765"}, kRunSettings, 98765},
      {{"/c:abc"}, kRunSettings, 0}, {{"/C"}, kRunSettings, 0},        {{"/c", "-42"}, kRunSettings, -42},
      {{"/a"}, kRunSettings, 0},    {{"/"}, kRunSettings, 0},          {{"-"}, kRunSettings, 0},
      {{"/s:12"}, kRunFullScreen, 12}, {{"/p", "12x"}, kRunPreview, 0}, {{"/p", "2147483648"}, kRunPreview, 0},
      {{"/p", "-2147483648"}, kRunPreview, INT32_MIN}, {{"/p:7", "8"}, kRunPreview, 7}, {{"/p", " 5"}, kRunPreview, 0},
      // X11 tools print window ids in hexadecimal.
      {{"/p", "0x1a00007"}, kRunPreview, 0x1a00007}, {{"/p:0X7FFFFFFF"}, kRunPreview, INT32_MAX},
      {{"/p", "0x80000000"}, kRunPreview, 0}, {{"/p", "0x"}, kRunPreview, 0}, {{"/p", "0x12g"}, kRunPreview, 0},
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

// Starts exe with stdin from `in` (or /dev/null), stdout and stderr to the
// given descriptors, and extra environment variables that win over ours.
pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, int in, int out, int err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in < 0) posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  else posix_spawn_file_actions_adddup2(&fa, in, 0);
  posix_spawn_file_actions_adddup2(&fa, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

std::string readAll(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

// Runs a program to its end, its output going to files in `dir`, and
// collects that output and its exit status.
ProcessRun run(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& dir) {
  const std::string outPath = dir + "/stdout.txt", errPath = dir + "/stderr.txt";
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_TRUE(out >= 0 && err >= 0);
  const pid_t pid = spawn(std::move(args), env, -1, out, err);
  close(out);
  close(err);
  int ws = 0;
  waitpid(pid, &ws, 0);
  return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), readAll(outPath), readAll(errPath)};
}

class Executable : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string t = (fs::temp_directory_path() / "brivane-app-XXXXXX").string();
    dir_ = mkdtemp(t.data());
    env_ = {"XDG_RUNTIME_DIR=" + dir_, "BRIVANE_STORE=" + dir_ + "/store/brivane.reg",
            "XDG_STATE_HOME=" + dir_ + "/state", "XDG_CONFIG_HOME=" + dir_ + "/config",
            // No display, whatever the test runs under: the windowed modes must not start.
            "DISPLAY=", "QT_QPA_PLATFORM="};
  }
  void TearDown() override { fs::remove_all(dir_); }
  ProcessRun brivane(std::vector<std::string> args) {
    args.insert(args.begin(), BRIVANE_EXE);
    return run(std::move(args), env_, dir_);
  }

  std::string dir_;
  std::vector<std::string> env_;
};

TEST_F(Executable, VersionAndHelp) {
  ProcessRun v = brivane({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "Brivane 1.0.0.0\n");

  ProcessRun h = brivane({"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.err, "");
  using namespace std::string_literals;
  for (const std::string& word : {"/s"s, "/p <window>"s, "/l"s, "/c[:<window>]"s, "--help"s, "--version"s,
                                  dir_ + "/store/brivane.reg", dir_ + "/state/Torvex/Brivane/"})
    EXPECT_NE(h.out.find(word), std::string::npos) << word;

  ProcessRun bad = brivane({"--nonsense"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--nonsense"), std::string::npos);
  // Long options neither take the guard nor touch the store.
  EXPECT_FALSE(fs::exists(dir_ + "/Pellucine.lock"));
  EXPECT_FALSE(fs::exists(dir_ + "/store"));
}

// "/p 0" ends at once and silently; the saver, the preview and the settings
// dialog need an X display and say so without one.
TEST_F(Executable, ModesWithoutADisplay) {
  using Args = std::vector<std::string>;
  struct Case {
    Args args;
    int status;
    const char* says;
  };
  const Case cases[] = {{{"/p", "0"}, 0, ""},
                        {{"/s"}, 1, "cannot open the X display"},
                        {{"/p", "0x1234"}, 1, "cannot open the X display"},
                        {{"/c"}, 1, "cannot open the X display"},
                        {{"/c:0x1a2b"}, 1, "cannot open the X display"},
                        {{}, 1, "cannot open the X display"}};
  for (const Case& c : cases) {
    const ProcessRun r = brivane(c.args);
    EXPECT_EQ(r.status, c.status) << c.says;
    EXPECT_EQ(r.out, "");
    if (*c.says == '\0') EXPECT_EQ(r.err, "");
    else EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  // Nothing was cleared or written for a run that could not start.
  EXPECT_FALSE(fs::exists(dir_ + "/state/Torvex/Brivane/brivan.log"));
}

TEST_F(Executable, ASecondInstanceEndsSilently) {
  // The first instance: a helper that holds the guard until its input ends.
  int in[2], out[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t holder = spawn({BRIVANE_GUARD_HOLDER}, env_, in[0], out[1], -1);
  ASSERT_GT(holder, 0);
  close(in[0]);
  close(out[1]);
  char said[16] = {};
  pollfd p{out[0], POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 10000), 0);
  ASSERT_GT(read(out[0], said, sizeof said - 1), 0);
  ASSERT_STREQ(said, "held\n");

  for (const char* mode : {"/s", "/c"}) {
    const ProcessRun r = brivane({mode});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
  }
  EXPECT_EQ(brivane({"--version"}).status, 0);  // long options never take the guard

  close(in[1]);  // the helper ends and the guard is free again
  int ws = 0;
  waitpid(holder, &ws, 0);
  close(out[0]);
  EXPECT_EQ(brivane({"/c"}).status, 1);  // the guard is taken again: the mode runs (and finds no display)
}

}  // namespace
}  // namespace brivane

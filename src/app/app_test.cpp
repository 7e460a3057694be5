#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/command_line.h"
#include "saver/xvfb_server.h"

#include <X11/Xlib.h>  // last: its macros clash with other names

extern char** environ;

namespace brivane {
namespace {

namespace fs = std::filesystem;

#ifdef BRIVANE_HAVE_SAVER
constexpr bool kHaveSaver = true;
#else
constexpr bool kHaveSaver = false;  // the core alone: no "/s" to run
#endif

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

// A DNS server that never answers (the preloaded shim holds every lookup of
// a *.held.test name for 30 s) must not hold a stop: the saver, asked to
// end while the update check or a mail check looks its host up, ends at once
// and normally; "--check --timeout 2" ends soon after its two seconds (the
// account unchecked, so status 1).
TEST_F(Executable, AHeldLookupNeverHoldsTheEnd) {
  using Clock = std::chrono::steady_clock;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string store;  // the Main key's values and any account
    const char* held;   // the name being looked up when the saver is stopped (nullptr: not stopped)
    int status;
    // From the stop (or the start) to the process's end: well under the held
    // lookup's 30 s and the saver's 15 s close wait, so a stop that waits for
    // the lookup fails, with room for a sanitizer build on a loaded machine.
    std::chrono::milliseconds within;
  };
  const std::string main = "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Main]\r\n";
  const std::string account = "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Accounts\\0 Held]\r\n"
                              "\"isIMAP\"=dword:00000001\r\n\"username\"=\"me\"\r\n\"password\"=\"pw\"\r\n\"server\"=\"mail.held.test\"\r\n"
                              "\"port\"=dword:0000008f\r\n";
  using std::chrono::milliseconds;
  const Case cases[] = {
      {"update check", {"/s"}, main + "\"checkForUpdates\"=dword:00000001\r\n", "update.held.test", 0,
       milliseconds(12000)},
      {"mail check", {"/s"}, main + "\"checkForUpdates\"=dword:00000000\r\n" + account, "mail.held.test", 0,
       milliseconds(12000)},
      {"--check", {"--check", "--timeout", "2"}, account, nullptr, 1, milliseconds(12000)},
  };
  const char* asan = std::getenv("ASAN_OPTIONS");
  for (const Case& c : cases) {
    if (c.args[0] == "/s" && !kHaveSaver) continue;
    SCOPED_TRACE(c.name);
    const std::string held = dir_ + "/held.txt";
    fs::remove(held);
    fs::create_directories(dir_ + "/store");
    std::ofstream(dir_ + "/store/brivane.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n" << c.store;
    std::vector<std::string> env = {"LD_PRELOAD=" BRIVANE_HELD_LOOKUP, "BRIVANE_HELD_LOOKUP_MS=30000",
                                    "BRIVANE_HELD_LOOKUP_LOG=" + held, "QT_QPA_PLATFORM=offscreen",
                                    "BRIVANE_UPDATE_URL=http://update.held.test/version.txt", "no_proxy=*",
                                    // The shim comes before the sanitizer's run-time library.
                                    std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    env.insert(env.end(), env_.begin(), env_.end());
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), BRIVANE_EXE);
    const int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = spawn(args, env, -1, out, out);
    close(out);
    ASSERT_GT(pid, 0);
    auto from = Clock::now();
    if (c.held != nullptr) {
      // Stopped once the lookup is under way.
      while (readAll(held).find(c.held) == std::string::npos && Clock::now() - from < std::chrono::seconds(20))
        std::this_thread::sleep_for(milliseconds(20));
      EXPECT_NE(readAll(held).find(c.held), std::string::npos);
      from = Clock::now();
      kill(pid, SIGTERM);
    }
    int ws = 0;
    while (waitpid(pid, &ws, WNOHANG) == 0) {
      if (Clock::now() - from > c.within + std::chrono::seconds(5)) {
        kill(pid, SIGKILL);
        waitpid(pid, &ws, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - from);
    EXPECT_LE(took, c.within) << readAll(dir_ + "/out.txt");
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == c.status) << ws;
    EXPECT_EQ(readAll(dir_ + "/state/Torvex/Brivane/brivan.log").find("Halted"), std::string::npos);
  }
}

// Losing the X server while the saver runs ends the process at once with a
// line in the log (the window framework alone would end it silently).
TEST_F(Executable, LosingTheXServerIsLogged) {
  if (!kHaveSaver) GTEST_SKIP() << "built without the saver";
  XvfbServer x;
  ASSERT_FALSE(x.name().empty()) << "Xvfb did not start";
  std::vector<std::string> env = {"DISPLAY=" + x.name(), "QT_QPA_PLATFORM=xcb"};
  env.insert(env.end(), env_.begin(), env_.end());
  const int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = spawn({BRIVANE_EXE, "/s"}, env, -1, out, out);
  close(out);
  ASSERT_GT(pid, 0);
  const std::string log = dir_ + "/state/Torvex/Brivane/brivan.log";
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  // The log folder is set up once the window exists.
  while (!fs::exists(dir_ + "/state/Torvex/Brivane") && Clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  x.stop();
  int ws = 0;
  const auto stopped = Clock::now();
  while (waitpid(pid, &ws, WNOHANG) == 0) {
    if (Clock::now() - stopped > std::chrono::seconds(10)) {
      kill(pid, SIGKILL);
      waitpid(pid, &ws, 0);
      ADD_FAILURE() << "still running";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 1) << ws << " " << readAll(dir_ + "/out.txt");
  EXPECT_NE(readAll(log).find("Lost the connection to the X server; Brivane ended"), std::string::npos)
      << readAll(log);
}

// A window another program maps while the saver runs (a notification
// bubble, a menu) ends up below the saver.
TEST_F(Executable, WindowsMappedLaterStayBelowTheSaver) {
  if (!kHaveSaver) GTEST_SKIP() << "built without the saver";
  XvfbServer x;
  ASSERT_FALSE(x.name().empty()) << "Xvfb did not start";
  std::vector<std::string> env = {"DISPLAY=" + x.name(), "QT_QPA_PLATFORM=xcb"};
  env.insert(env.end(), env_.begin(), env_.end());
  const int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = spawn({BRIVANE_EXE, "/s"}, env, -1, out, out);
  close(out);
  ASSERT_GT(pid, 0);
  Display* d = XOpenDisplay(x.name().c_str());
  ASSERT_NE(d, nullptr);
  const Window root = DefaultRootWindow(d);
  // The topmost mapped window on the screen.
  auto top = [&] {
    Window r, parent, *children = nullptr, found = 0;
    unsigned count = 0;
    if (XQueryTree(d, root, &r, &parent, &children, &count) != 0) {
      for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, children[i], &a) != 0 && a.map_state == IsViewable) found = children[i];
      }
    }
    if (children != nullptr) XFree(children);
    return found;
  };
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  while (top() == 0 && Clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const Window saver = top();
  ASSERT_NE(saver, 0u) << "the saver did not show";
  // Its start-up is over (panels shown, and raised as they show).
  std::this_thread::sleep_for(std::chrono::seconds(3));

  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = WhitePixel(d, DefaultScreen(d));
  const Window bubble = XCreateWindow(d, root, 700, 20, 300, 80, 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(d, bubble);
  XSync(d, False);
  // Restacked as soon as the saver sees the new window; a loaded machine may
  // take a while, a saver that does not restack never does.
  const auto mapped = Clock::now();
  while (top() == bubble && Clock::now() - mapped < std::chrono::seconds(15))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NE(top(), bubble) << "the bubble stayed above the saver";
  XCloseDisplay(d);
  kill(pid, SIGTERM);
  int ws = 0;
  waitpid(pid, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << ws << " " << readAll(dir_ + "/out.txt");
}

// A screen-capturing background holds the saver window back for its first
// seconds: a key pressed meanwhile still ends the run at once.
TEST_F(Executable, AKeyEndsTheRunBeforeAHeldWindowShows) {
  if (!kHaveSaver) GTEST_SKIP() << "built without the saver";
  XvfbServer x;
  ASSERT_FALSE(x.name().empty()) << "Xvfb did not start";
  const std::string program = dir_ + "/capture";
  std::ofstream(program) << "#!/bin/sh\nwhile :; do sleep 1; done\n";
  fs::permissions(program, fs::perms::owner_all);
  fs::create_directories(dir_ + "/store");
  std::ofstream(dir_ + "/store/brivane.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Main]\r\n"
         "\"checkForUpdates\"=dword:00000000\r\n\"useScreensaverBackground\"=dword:00000001\r\n"
         "\"supportScreenCapSavers\"=dword:00000001\r\n\"screensaverPath\"=\"" << program << "\"\r\n";
  std::vector<std::string> env = {"DISPLAY=" + x.name(), "QT_QPA_PLATFORM=xcb"};
  env.insert(env.end(), env_.begin(), env_.end());
  const int out = open((dir_ + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = spawn({BRIVANE_EXE, "/s"}, env, -1, out, out);
  close(out);
  ASSERT_GT(pid, 0);
  using Clock = std::chrono::steady_clock;
  // Once the saver holds the keyboard (a grab of ours fails), while no
  // window of it shows yet, a key is pressed.
  Display* d = XOpenDisplay(x.name().c_str());
  ASSERT_NE(d, nullptr);
  const auto start = Clock::now();
  for (;;) {
    const int grab = XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (grab == GrabSuccess) XUngrabKeyboard(d, CurrentTime);
    XSync(d, False);
    if (grab == AlreadyGrabbed || Clock::now() - start > std::chrono::seconds(20)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Window r0, p0, *children = nullptr;
  unsigned count = 0, shown = 0;
  XQueryTree(d, DefaultRootWindow(d), &r0, &p0, &children, &count);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (XGetWindowAttributes(d, children[i], &a) != 0 && a.map_state == IsViewable) ++shown;
  }
  if (children != nullptr) XFree(children);
  XCloseDisplay(d);
  EXPECT_EQ(shown, 0u) << "the keyboard was taken only with the window";
  EXPECT_EQ(run({"/usr/bin/xdotool", "key", "a"}, {"DISPLAY=" + x.name()}, dir_).status, 0);
  const auto pressed = Clock::now();
  int ws = 0;
  pid_t r = 0;
  while ((r = waitpid(pid, &ws, WNOHANG)) == 0 && Clock::now() - pressed < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const bool ended = r == pid;
  EXPECT_TRUE(ended) << "the key did not end the run";
  if (!ended) {
    kill(pid, SIGTERM);
    waitpid(pid, &ws, 0);
  }
}

}  // namespace
}  // namespace brivane

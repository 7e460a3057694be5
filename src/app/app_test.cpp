#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/command_line.h"
#include "xvfb_server.h"
#include "temp_dir.h"

#include <X11/Xlib.h>  // last: its macros clash with other names

extern char** environ;

namespace brivane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::readAll;

#ifdef BRIVANE_HAVE_SAVER
constexpr bool kHaveSaver = true;
#else
constexpr bool kHaveSaver = false;  // the core alone: no "/s" to run
#endif

TEST(CommandLine, ModeAndWindow) {
  const struct {
    std::vector<std::string> args;
    uint8_t mode;
    int32_t window;
  } cases[] = {
      {{}, kRunSettings, 0}, {{""}, kRunSettings, 0}, {{"", "55"}, kRunSettings, 0}, {{"/s"}, kRunFullScreen, 0},
      {{"/S"}, kRunFullScreen, 0}, {{"-s"}, kRunFullScreen, 0}, {{"s"}, kRunFullScreen, 0},
      {{"/-S"}, kRunFullScreen, 0},
      {{"/p", "123456"}, kRunPreview, 123456}, {{"/P", "0"}, kRunPreview, 0}, {{"/l", "5678"}, kRunPreview, 5678},
      {{"/c:98765"}, kRunSettings, 98765}, {{"/c:abc"}, kRunSettings, 0}, {{"/C"}, kRunSettings, 0},
      {{"/c", "-42"}, kRunSettings, -42}, {{"/a"}, kRunSettings, 0}, {{"/"}, kRunSettings, 0}, {{"-"}, kRunSettings, 0},
      {{"/s:12"}, kRunFullScreen, 12}, {{"/p", "12x"}, kRunPreview, 0}, {{"/p", "2147483648"}, kRunPreview, 0},
      {{"/p", "-2147483648"}, kRunPreview, INT32_MIN}, {{"/p:7", "8"}, kRunPreview, 7}, {{"/p", " 5"}, kRunPreview, 0},
      // X11 tools print window ids in hexadecimal.
      {{"/p", "0x1a00007"}, kRunPreview, 0x1a00007}, {{"/p:0X7FFFFFFF"}, kRunPreview, INT32_MAX},
      {{"/p", "0x80000000"}, kRunPreview, 0}, {{"/p", "0x"}, kRunPreview, 0}, {{"/p", "0x12g"}, kRunPreview, 0},
  };
  for (const auto& c : cases) {
    const CommandLine cl = parseCommandLine(c.args);
    EXPECT_EQ(std::pair(cl.runMode, cl.parentWindow), std::pair(c.mode, c.window)) << ::testing::PrintToString(c.args);
  }
}

// The host switches come before the one-letter switches, which would read
// "-root" as "r" and "-window-id" as "w" (the settings dialog).
TEST(CommandLine, HostSwitches) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* variable;  // $XSCREENSAVER_WINDOW
    bool matched;
    unsigned long window;
    bool error;
  } cases[] = {
      {"long decimal", {"--window-id", "12345"}, nullptr, true, 12345, false},
      {"short hexadecimal", {"-window-id", "0x1A00007"}, nullptr, true, 0x1a00007, false},
      {"largest id", {"--window-id", "0xFFFFFFFF"}, nullptr, true, 0xFFFFFFFFul, false},
      {"root without a host window", {"-root"}, nullptr, true, 0, false},
      {"root with an empty variable", {"--root"}, "", true, 0, false},
      {"root in the host's window", {"--root"}, "0x2c00003", true, 0x2c00003, false},
      {"missing id", {"--window-id"}, nullptr, true, 0, true},
      {"zero", {"-window-id", "0"}, nullptr, true, 0, true},
      {"negative", {"--window-id", "-5"}, nullptr, true, 0, true},
      {"not a number", {"--window-id", "12x"}, nullptr, true, 0, true},
      {"over 32 bits", {"--window-id", "0x100000000"}, nullptr, true, 0, true},
      {"extra argument", {"-root", "1"}, nullptr, true, 0, true},
      {"bad variable", {"-root"}, "window", true, 0, true},
      {"system switch r", {"-r"}, "0x2c00003", false, 0, false},
      {"another spelling", {"/root"}, nullptr, false, 0, false},
      {"preview", {"/p", "0x12"}, nullptr, false, 0, false},
  };
  for (const auto& c : cases) {
    const HostSwitch h = parseHostSwitch(c.args, c.variable);
    EXPECT_EQ(std::tuple(h.matched, h.window, !h.error.empty()), std::tuple(c.matched, c.window, c.error)) << c.name;
    EXPECT_EQ(h.error.find('\n'), std::string::npos) << c.name;
  }
  // Without the host switches "-root" is the settings switch "r".
  EXPECT_EQ(parseCommandLine({"-root"}).runMode, kRunSettings);
}

bool waitUntil(const std::function<bool()>& done, Clock::duration limit) {
  for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(10ms))
    if (Clock::now() > end) return false;
  return true;
}

// Waits up to `limit` for `pid` to end, else kills it: its wait status, or -1.
int waitEnd(pid_t pid, Clock::duration limit) {
  int ws = 0;
  if (waitUntil([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, limit)) return ws;
  kill(pid, SIGKILL);
  waitpid(pid, &ws, 0);
  return -1;
}
bool exitedWith(int ws, int status) { return ws != -1 && WIFEXITED(ws) && WEXITSTATUS(ws) == status; }

struct ProcessRun { int status = -1; std::string out, err; };

class Executable : public ::testing::Test {
 protected:
  // Starts `args` with stdin from `in` (or /dev/null), stdout and stderr to
  // out.txt and err.txt, and the extra `env` over ours and the inherited.
  pid_t start(std::vector<std::string> args, std::vector<std::string> env, int in = -1) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in < 0) posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    else posix_spawn_file_actions_adddup2(&fa, in, 0);
    for (int fd : {1, 2})
      posix_spawn_file_actions_addopen(&fa, fd, (dir / (fd == 1 ? "out.txt" : "err.txt")).c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    env.insert(env.end(), env_.begin(), env_.end());
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    const auto pointers = [](std::vector<std::string>& v) {
      std::vector<char*> p(v.size() + 1, nullptr);
      std::transform(v.begin(), v.end(), p.begin(), [](std::string& s) { return s.data(); });
      return p;
    };
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, args[0].c_str(), &fa, nullptr, pointers(args).data(), pointers(env).data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }
  ProcessRun run(std::vector<std::string> args, std::vector<std::string> env = {}) {
    int ws = 0;
    waitpid(start(std::move(args), std::move(env)), &ws, 0);
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), readAll(dir / "out.txt"), readAll(dir / "err.txt")};
  }
  ProcessRun brivane(std::vector<std::string> args) { return args.insert(args.begin(), BRIVANE_EXE), run(args); }
  std::string output() { return readAll(dir / "out.txt") + readAll(dir / "err.txt"); }
  void writeStore(const std::string& keys) {
    test::writeAll(dir / "store/brivane.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + keys);
  }

  test::TempDir dir{"brivane-app"};
  const std::string mainKey = "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Main]\r\n";
  const std::string mainLog = dir / "state/Torvex/Brivane/brivan.log";
  std::vector<std::string> env_ = {"XDG_RUNTIME_DIR=" + dir.path(), "BRIVANE_STORE=" + (dir / "store/brivane.reg"),
                                   "XDG_STATE_HOME=" + (dir / "state"), "XDG_CONFIG_HOME=" + (dir / "config"),
                                   // No display, whatever the test runs under: the windowed modes must not start.
                                   "DISPLAY=", "QT_QPA_PLATFORM="};
};

TEST_F(Executable, VersionAndHelp) {
  const ProcessRun v = brivane({"--version"}), h = brivane({"--help"}), bad = brivane({"--nonsense"});
  EXPECT_EQ(std::tuple(v.status, v.out, h.status, h.err, bad.status, bad.err.find("--nonsense") != std::string::npos),
            std::tuple(0, std::string("Brivane 1.0.0.0\n"), 0, std::string(), 2, true));
  for (const std::string& word : std::vector<std::string>{"/s", "/p <window>", "/l", "/c[:<window>]", "--help",
                                                          "--version", "--certificate ACCOUNT",
                                                          "--trust-certificate ACCOUNT SHA256",
                                                          dir / "store/brivane.reg", dir / "state/Torvex/Brivane/"})
    EXPECT_NE(h.out.find(word), std::string::npos) << word;
  // Long options neither take the guard nor touch the store.
  EXPECT_FALSE(fs::exists(dir / "Pellucine.lock") || fs::exists(dir / "store"));
}

// "/p 0" ends at once and silently; the saver (also in a host's window), the
// preview and the settings dialog need an X display and say so in one line
// without one, writing no log. Bad host switches are usage errors.
TEST_F(Executable, ModesWithoutADisplay) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* said;  // nullptr: nothing
  } cases[] = {
      {{"/p", "0"}, 0, nullptr},
      {{"/s"}, 1, "DISPLAY is not set"},
      {{"/p", "0x1234"}, 1, "DISPLAY is not set"},
      {{"--window-id", "0x1234"}, 1, "DISPLAY is not set"},
      {{"-root"}, 1, "DISPLAY is not set"},
      {{"/c"}, 1, "cannot open the X display"},
      {{"/c:0x1a2b"}, 1, "cannot open the X display"},
      {{}, 1, "cannot open the X display"},
      {{"-window-id"}, 2, "needs a window id"},
      {{"--window-id", "0x12g"}, 2, "is not a window id"},
      {{"--root", "--window-id"}, 2, "unexpected"},
  };
  for (const auto& c : cases) {
    const ProcessRun r = brivane(c.args);
    const bool said = c.said == nullptr ? r.err.empty()
                                        : r.err.find(c.said) != std::string::npos && r.err.find('\n') == r.err.size() - 1;
    EXPECT_EQ(std::tuple(r.status, r.out, said), std::tuple(c.status, std::string(), true))
        << ::testing::PrintToString(c.args) << r.err;
  }
  EXPECT_FALSE(fs::exists(mainLog));
}

// While another instance (a helper that holds the guard until its input
// ends) runs, "/s" and "/c" end silently.
TEST_F(Executable, ASecondInstanceEndsSilently) {
  int in[2];
  ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
  const pid_t holder = start({BRIVANE_GUARD_HOLDER}, {}, in[0]);
  close(in[0]);
  ASSERT_TRUE(waitUntil([&] { return readAll(dir / "out.txt") == "held\n"; }, 10s));
  for (const char* mode : {"/s", "/c"}) {
    const ProcessRun r = brivane({mode});
    EXPECT_EQ(std::pair(r.status, r.out + r.err), std::pair(0, std::string())) << mode;
  }
  close(in[1]);  // the helper ends and the guard is free again
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(brivane({"/c"}).status, 1);  // the mode runs (and finds no display)
}

// A lookup that never ends (the preloaded shim holds *.held.test names for
// 30 s) must not hold a stop: the saver, stopped while the update check or a
// mail check looks its host up, ends at once with 0; "--check --timeout 2"
// soon after its two seconds, with 1. 12 s is well under 30 s and the 15 s close wait.
TEST_F(Executable, AHeldLookupNeverHoldsTheEnd) {
  const std::string account = "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Accounts\\0 Held]\r\n"
                              "\"isIMAP\"=dword:00000001\r\n\"username\"=\"me\"\r\n\"password\"=\"pw\"\r\n"
                              "\"server\"=\"mail.held.test\"\r\n\"port\"=dword:0000008f\r\n";
  const struct {
    std::vector<std::string> args;
    std::string store;
    const char* held;  // the name being looked up when the saver is stopped (nullptr: not stopped)
    int status;
  } cases[] = {
      {{BRIVANE_EXE, "/s"}, mainKey + "\"checkForUpdates\"=dword:00000001\r\n", "update.held.test", 0},
      {{BRIVANE_EXE, "/s"}, mainKey + "\"checkForUpdates\"=dword:00000000\r\n" + account, "mail.held.test", 0},
      {{BRIVANE_EXE, "--check", "--timeout", "2"}, account, nullptr, 1},
  };
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string held = dir / "held.txt";
  for (const auto& c : cases) {
    if (c.args[1] == "/s" && !kHaveSaver) continue;
    SCOPED_TRACE(c.held ? c.held : "--check");
    fs::remove(held);
    writeStore(c.store);
    const pid_t pid = start(c.args, {"LD_PRELOAD=" BRIVANE_HELD_LOOKUP, "BRIVANE_HELD_LOOKUP_MS=30000",
                                   "BRIVANE_HELD_LOOKUP_LOG=" + held, "QT_QPA_PLATFORM=offscreen",
                                   "BRIVANE_UPDATE_URL=http://update.held.test/version.txt", "no_proxy=*",
                                   // The shim comes before the sanitizer's run-time library.
                                   std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    ASSERT_GT(pid, 0);
    if (c.held != nullptr) {  // stopped once the lookup is under way
      EXPECT_TRUE(waitUntil([&] { return readAll(held).find(c.held) != std::string::npos; }, 20s));
      kill(pid, SIGTERM);
    }
    const auto from = Clock::now();
    const int ws = waitEnd(pid, 17s);
    EXPECT_LE(Clock::now() - from, 12s) << output();
    EXPECT_TRUE(exitedWith(ws, c.status)) << ws;
    EXPECT_EQ(readAll(mainLog).find("Halted"), std::string::npos);
  }
}

// The saver ("/s") on a fresh Xvfb: the tests below need a real X server.
class SaverOnX : public Executable {
 protected:
  void SetUp() override {
    if (!kHaveSaver) GTEST_SKIP() << "built without the saver";
    ASSERT_FALSE(x_.name().empty()) << "Xvfb did not start";
  }
  pid_t startSaver(std::vector<std::string> env = {}) {
    env.insert(env.end(), {"DISPLAY=" + x_.name(), "QT_QPA_PLATFORM=xcb"});
    return start({BRIVANE_EXE, "/s"}, env);
  }
  // The mapped top-level windows, bottom to top.
  static std::vector<Window> shown(Display* d) {
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    std::vector<Window> out;
    XWindowAttributes a;
    if (XQueryTree(d, DefaultRootWindow(d), &r, &parent, &children, &count) != 0)
      for (unsigned i = 0; i < count; ++i)
        if (XGetWindowAttributes(d, children[i], &a) != 0 && a.map_state == IsViewable) out.push_back(children[i]);
    if (children != nullptr) XFree(children);
    return out;
  }
  XvfbServer x_;
};

// Losing the X server while the saver runs ends the process at once with a
// line in the log (the window framework alone would end it silently).
TEST_F(SaverOnX, LosingTheXServerIsLogged) {
  const pid_t pid = startSaver();
  waitUntil([&] { return fs::exists(dir / "state/Torvex/Brivane"); }, 20s);  // set up once the window exists
  std::this_thread::sleep_for(300ms);
  x_.stop();
  EXPECT_TRUE(exitedWith(waitEnd(pid, 10s), 1)) << output();
  EXPECT_NE(readAll(mainLog).find("Lost the connection to the X server; Brivane ended"), std::string::npos)
      << readAll(mainLog);
}

// A window another program maps while the saver runs (a notification
// bubble, a menu) ends up below the saver; SIGTERM ends the run normally.
TEST_F(SaverOnX, WindowsMappedLaterStayBelowTheSaver) {
  const pid_t pid = startSaver();
  Display* d = XOpenDisplay(x_.name().c_str());
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(waitUntil([&] { return !shown(d).empty(); }, 20s)) << "the saver did not show";
  std::this_thread::sleep_for(3s);  // its start-up is over (panels shown, and raised as they show)
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = WhitePixel(d, DefaultScreen(d));
  const Window bubble = XCreateWindow(d, DefaultRootWindow(d), 700, 20, 300, 80, 0, CopyFromParent, InputOutput,
                                      CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(d, bubble);
  XSync(d, False);
  // Restacked as soon as the saver sees the new window (a loaded machine may take a while).
  EXPECT_TRUE(waitUntil([&] { return shown(d).back() != bubble; }, 15s)) << "the bubble stayed above the saver";
  XCloseDisplay(d);
  kill(pid, SIGTERM);
  EXPECT_TRUE(exitedWith(waitEnd(pid, 20s), 0)) << output();
}

// A host window that does not exist: one line and status 1, never an X error abort.
TEST_F(SaverOnX, AMissingHostWindowIsOneLine) {
  // A client of ours keeps the server from resetting between the program's
  // display check and its own connection (a reset refuses connections).
  Display* d = XOpenDisplay(x_.name().c_str());
  const ProcessRun r = run({BRIVANE_EXE, "--window-id", "0x3fffff0"}, {"DISPLAY=" + x_.name(), "QT_QPA_PLATFORM=xcb"});
  EXPECT_EQ(std::pair(r.status, r.err), std::pair(1, std::string("brivane: window 0x3fffff0 does not exist\n")));
  if (d != nullptr) XCloseDisplay(d);
}

// A screen-capturing background holds the saver window back for its first
// seconds: a key pressed meanwhile still ends the run at once.
TEST_F(SaverOnX, AKeyEndsTheRunBeforeAHeldWindowShows) {
  const std::string program = dir / "capture";
  test::writeAll(program, "#!/bin/sh\nwhile :; do sleep 1; done\n");
  fs::permissions(program, fs::perms::owner_all);
  writeStore(mainKey + "\"checkForUpdates\"=dword:00000000\r\n\"useScreensaverBackground\"=dword:00000001\r\n"
             "\"supportScreenCapSavers\"=dword:00000001\r\n\"screensaverPath\"=\"" + program + "\"\r\n");
  // A hold of 8 s leaves a slow (sanitizer) build time to take the keyboard within it.
  const pid_t pid = startSaver({"BRIVANE_BACKGROUND_HOLD_MS=8000"});
  // Once the saver holds the keyboard (a grab of ours fails), while no window of it shows yet.
  Display* d = XOpenDisplay(x_.name().c_str());
  ASSERT_NE(d, nullptr);
  waitUntil([&] {
    const int grab = XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (grab == GrabSuccess) XUngrabKeyboard(d, CurrentTime);
    XSync(d, False);
    return grab == AlreadyGrabbed;
  }, 20s);
  EXPECT_TRUE(shown(d).empty()) << "the keyboard was taken only with the window";
  XCloseDisplay(d);
  EXPECT_EQ(run({"/usr/bin/xdotool", "key", "a"}, {"DISPLAY=" + x_.name()}).status, 0);
  EXPECT_NE(waitEnd(pid, 20s), -1) << "the key did not end the run";
}

}  // namespace
}  // namespace brivane

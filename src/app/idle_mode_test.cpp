#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <utility>

#include "temp_dir.h"
#include "xvfb_server.h"

#ifdef BRIVANE_HAVE_SAVER
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#endif

#include <X11/Xatom.h>
#include <X11/Xlib.h>  // after the others: its macros clash with other names
#include <X11/extensions/scrnsaver.h>

extern char** environ;

namespace brivane {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::readAll;

bool waitUntil(const std::function<bool()>& done, Clock::duration limit) {
  for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(20ms))
    if (Clock::now() > end) return false;
  return true;
}

// The exit status of `pid` within `limit`; else it is killed and -1.
int exitStatus(pid_t pid, Clock::duration limit) {
  int ws = 0;
  if (waitUntil([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, limit)) return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  kill(pid, SIGKILL);
  waitpid(pid, &ws, 0);
  return -1;
}

// `brivane --idle` run as a whole, with its files in a temporary folder.
class IdleMode : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef BRIVANE_HAVE_SAVER
    GTEST_SKIP() << "built without the saver";
#endif
  }
  // Starts `args` with both outputs to NAME.out and `env` over the fixture's and the inherited.
  pid_t start(std::vector<std::string> args, std::vector<std::string> env, const std::string& name = "run") {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (dir / (name + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    env.insert(env.end(), env_.begin(), env_.end());
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> a, e;
    for (auto* v : {&args, &env}) {
      auto& p = v == &args ? a : e;
      for (std::string& s : *v) p.push_back(s.data());
      p.push_back(nullptr);
    }
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, args[0].c_str(), &fa, nullptr, a.data(), e.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }
  // A run of `brivane --idle` to its end: exit status and output.
  std::pair<int, std::string> runIdle(std::vector<std::string> env) {
    const int status = exitStatus(start({BRIVANE_EXE, "--idle"}, std::move(env), "once"), 20s);
    return {status, readAll(dir / "once.out")};
  }

  test::TempDir dir{"brivane-idle"};
  const std::string mainLog = dir / "state/Torvex/Brivane/brivan.log";
  std::vector<std::string> env_ = {"XDG_RUNTIME_DIR=" + dir.path(), "BRIVANE_STORE=" + (dir / "store/brivane.reg"),
                                   "XDG_STATE_HOME=" + (dir / "state"), "XDG_CONFIG_HOME=" + (dir / "config"),
                                   "XDG_SESSION_TYPE=", "WAYLAND_DISPLAY=", "BRIVANE_IDLE_SECONDS=2"};
};

// A Wayland session (XWayland included) and a missing display are refused
// in one line with status 1.
TEST_F(IdleMode, RefusedInAWaylandSessionAndWithoutADisplay) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"}, "Wayland session"},
      {{"XDG_SESSION_TYPE=wayland", "DISPLAY=:0"}, "Wayland session"},
      {{"DISPLAY="}, "DISPLAY is not set"}};
  for (const auto& [env, says] : cases) {
    const auto [status, out] = runIdle(env);
    EXPECT_EQ(std::tuple(status, std::count(out.begin(), out.end(), '\n'), out.find(says) != std::string::npos),
              std::tuple(1, 1, true))
        << out;
  }
  EXPECT_FALSE(fs::exists(mainLog));
}

class IdleOnX : public IdleMode {
 protected:
  void SetUp() override {
    IdleMode::SetUp();
    if (IsSkipped()) return;
    ASSERT_FALSE(x_.name().empty()) << "Xvfb did not start";
    ASSERT_NE(d_ = XOpenDisplay(x_.name().c_str()), nullptr);
  }
  void TearDown() override {
    if (d_ != nullptr) XCloseDisplay(d_);
  }
  pid_t startWatcher(std::vector<std::string> env) {
    env.push_back("DISPLAY=" + x_.name());
    return start({BRIVANE_EXE, "--idle"}, env);
  }
  void moveThePointer() {
    static int step = 0;
    const std::string x = std::to_string(100 + 50 * (++step % 8));
    EXPECT_EQ(exitStatus(start({"/usr/bin/xdotool", "mousemove", x, "300"}, {"DISPLAY=" + x_.name()}, "xdotool"), 10s),
              0);
  }
  // A window in the full-screen state made the active one, as a window
  // manager would (there is none here); `active` false takes that away.
  void fullScreenWindow(bool active) {
    const Atom activeAtom = XInternAtom(d_, "_NET_ACTIVE_WINDOW", False);
    const Window w = XCreateSimpleWindow(d_, DefaultRootWindow(d_), 0, 0, 1024, 768, 0, 0, 0);
    Atom state[] = {XInternAtom(d_, "_NET_WM_STATE_ABOVE", False), XInternAtom(d_, "_NET_WM_STATE_FULLSCREEN", False)};
    XChangeProperty(d_, w, XInternAtom(d_, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(state), 2);
    if (active)
      XChangeProperty(d_, DefaultRootWindow(d_), activeAtom, XA_WINDOW, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&w), 1);
    else
      XDeleteProperty(d_, DefaultRootWindow(d_), activeAtom);
    XSync(d_, False);
  }
  size_t mappedWindows() {
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    size_t mapped = 0;
    XWindowAttributes a;
    if (XQueryTree(d_, DefaultRootWindow(d_), &r, &parent, &children, &count) != 0)
      for (unsigned i = 0; i < count; ++i)
        if (XGetWindowAttributes(d_, children[i], &a) != 0 && a.map_state == IsViewable) ++mapped;
    if (children != nullptr) XFree(children);
    return mapped;
  }
  // The X server's idle time (ms) and whether its own saver blanks now.
  std::pair<unsigned long, bool> serverSaver() {
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    XScreenSaverQueryInfo(d_, DefaultRootWindow(d_), info);
    const std::pair<unsigned long, bool> state(info->idle, info->state == ScreenSaverOn);
    XFree(info);
    return state;
  }
  // A stand-in saver that notes its start and ends at once.
  std::string standInSaver() {
    const std::string saver = dir / "saver";
    test::writeAll(saver, "#!/bin/sh\necho \"$1\" >> '" + (dir / "starts") + "'\n");
    fs::permissions(saver, fs::perms::owner_all);
    return saver;
  }
  size_t saverStarts() {
    const std::string text = readAll(dir / "starts");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  bool logged(const char* text) {
    return waitUntil([&] { return readAll(mainLog).find(text) != std::string::npos; }, 10s);
  }

  XvfbServer x_;
  Display* d_ = nullptr;
};

// With a stand-in saver that ends at once: it starts after the idle time
// (resetting the X server's own saver, which blanks after one second here),
// not again without input, again after input (and, the run having been
// short, two idle periods), not while a full-screen window is active, and
// once that window is no longer active. A second watcher is refused.
TEST_F(IdleOnX, StartsAfterIdleOnlyAgainAfterInputNeverOverAFullScreenWindow) {
  XSetScreenSaver(d_, 1, 0, DontPreferBlanking, AllowExposures);
  XSync(d_, False);
  const pid_t watcher = startWatcher({"BRIVANE_IDLE_SAVER=" + standInSaver()});
  ASSERT_TRUE(waitUntil([&] { return saverStarts() == 1; }, 15s)) << readAll(dir / "run.out");
  // Two idle seconds passed, but the reset restarted the server's count.
  EXPECT_LT(serverSaver().first, 1500u) << "the blanked X saver was not reset";
  EXPECT_EQ(readAll(dir / "starts"), "/s\n");

  std::this_thread::sleep_for(5s);
  EXPECT_EQ(saverStarts(), 1u) << "started again without input";
  moveThePointer();
  EXPECT_TRUE(waitUntil([&] { return saverStarts() == 2; }, 15s)) << "not started again after input";

  const auto [status, out] = runIdle({"DISPLAY=" + x_.name()});
  EXPECT_EQ(std::pair(status, out.find("already running") != std::string::npos), std::pair(0, true)) << out;

  // Input within a quarter second of a start that reset the X saver is taken for that reset.
  std::this_thread::sleep_for(500ms);
  fullScreenWindow(true);
  moveThePointer();
  std::this_thread::sleep_for(7s);
  EXPECT_EQ(saverStarts(), 2u) << "started over a full-screen window";
  fullScreenWindow(false);
  EXPECT_TRUE(waitUntil([&] { return saverStarts() == 3; }, 10s)) << "not started once the window was not active";

  kill(watcher, SIGTERM);
  EXPECT_EQ(exitStatus(watcher, 10s), 0);
  for (const char* line : {"Idle watcher started on display", "started the screensaver", "ended with status 0",
                           "held off, the active window is full screen", "Idle watcher ended"})
    EXPECT_TRUE(logged(line)) << line << "\n" << readAll(mainLog);
}

#ifdef BRIVANE_HAVE_SAVER
// Programs that keep the screen on through the session bus's service (a
// private bus here), on either object path, hold the saver off, and the X
// server's own saver with it, until they end the request or leave the bus.
TEST_F(IdleOnX, InhibitorsOnEitherPathHoldTheSaverOff) {
  if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) GTEST_SKIP() << "no dbus-daemon";
  static int argc = 1;
  static char name[] = "brivane_idle_mode_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  std::string address;
  pid_t bus = 0;
  if (FILE* out = popen(("'" BRIVANE_PRIVATE_BUS "' '" + (dir / "bus") + "' " + std::to_string(getpid()) +
                         " --no-keyring").c_str(), "r")) {
    char line[512] = {};
    if (std::fgets(line, sizeof line, out) != nullptr) address = std::string(line, std::strcspn(line, "\n"));
    if (std::fscanf(out, "%d", &bus) != 1) bus = 0;
    pclose(out);
  }
  ASSERT_GT(bus, 0) << "the private bus did not start";
  XSetScreenSaver(d_, 1, 0, DontPreferBlanking, AllowExposures);
  XSync(d_, False);
  const pid_t watcher = startWatcher(
      {"BRIVANE_IDLE_SAVER=" + standInSaver(), "DBUS_SESSION_BUS_ADDRESS=" + address, "BRIVANE_IDLE_SECONDS=3"});
  ASSERT_TRUE(logged("Serving org.freedesktop.ScreenSaver")) << readAll(mainLog);
  QDBusConnection client = QDBusConnection::connectToBus(QString::fromStdString(address), "client");
  const auto call = [&](const char* path, const char* method, const QVariantList& args) {
    QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.ScreenSaver", path,
                                                    "org.freedesktop.ScreenSaver", method);
    m.setArguments(args);
    return client.call(m);
  };
  const QDBusMessage reply = call("/ScreenSaver", "Inhibit", {QString("player"), QString("video")});
  ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(std::pair(saverStarts(), serverSaver().second), std::pair(size_t{0}, false))
      << "the saver, or the X server's, started while a program kept the screen on";
  call("/ScreenSaver", "UnInhibit", {reply.arguments().value(0)});
  EXPECT_TRUE(waitUntil([&] { return saverStarts() == 1; }, 10s)) << "not started once the request ended";

  std::this_thread::sleep_for(500ms);
  moveThePointer();
  call("/org/freedesktop/ScreenSaver", "Inhibit", {QString("slides"), QString("presenting")});
  std::this_thread::sleep_for(8s);
  EXPECT_EQ(saverStarts(), 1u) << "started while a program kept the screen on";
  client = QDBusConnection(QString());
  QDBusConnection::disconnectFromBus("client");  // the program leaves the bus
  EXPECT_TRUE(waitUntil([&] { return saverStarts() == 2; }, 10s)) << "not started once the program left";
  kill(watcher, SIGTERM);
  EXPECT_EQ(exitStatus(watcher, 10s), 0);
  kill(bus, SIGTERM);
  EXPECT_TRUE(logged("Screen kept on for")) << readAll(mainLog);
}
#endif

// A new inactivity time saved while the watcher runs (the store replaced
// by a rename, as every save does; the first save also makes its folder) is
// taken over without a restart.
TEST_F(IdleOnX, FollowsTheStoredInactivityTime) {
  const auto store = [&](int minutes) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", minutes);
    test::writeAll(dir / "store/new.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_CURRENT_USER\\Software\\torvex\\Brivane\\1.0\\Main]\r\n"
                   "\"startAfterMinutes\"=dword:" + std::string(hex) + "\r\n");
    fs::rename(dir / "store/new.reg", dir / "store/brivane.reg");
  };
  const pid_t watcher = startWatcher({"BRIVANE_IDLE_SECONDS="});
  EXPECT_TRUE(logged("after 10 min without input"));
  store(3);
  EXPECT_TRUE(logged("now starts after 180 s")) << readAll(mainLog);
  store(7);
  EXPECT_TRUE(logged("now starts after 420 s")) << readAll(mainLog);
  kill(watcher, SIGTERM);
  EXPECT_EQ(exitStatus(watcher, 10s), 0);
}

// Losing the X server ends the watcher at once (status 1, a line in the log).
TEST_F(IdleOnX, LosingTheXServerEndsIt) {
  const pid_t watcher = startWatcher({"BRIVANE_IDLE_SECONDS=3600"});
  ASSERT_TRUE(logged("Idle watcher started"));
  XCloseDisplay(std::exchange(d_, nullptr));  // ours would end this test
  x_.stop();
  EXPECT_EQ(exitStatus(watcher, 10s), 1);
  EXPECT_TRUE(logged("lost the connection to the X server")) << readAll(mainLog);
}

// The real saver shows after the idle time; SIGTERM ends the watcher and
// the saver with it.
TEST_F(IdleOnX, StartsTheRealSaverAndSigtermEndsBoth) {
  const pid_t watcher = startWatcher({"QT_QPA_PLATFORM=xcb", "BRIVANE_IDLE_SAVER="});
  EXPECT_TRUE(waitUntil([&] { return mappedWindows() > 0; }, 30s)) << "the saver did not show";
  std::this_thread::sleep_for(1s);
  kill(watcher, SIGTERM);
  EXPECT_EQ(exitStatus(watcher, 15s), 0);
  EXPECT_TRUE(waitUntil([&] { return mappedWindows() == 0; }, 5s)) << "the saver outlived the watcher";
}

}  // namespace
}  // namespace brivane

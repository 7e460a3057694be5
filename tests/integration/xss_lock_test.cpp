// The real xss-lock under Xvfb starts `brivane /s` when the X server's
// screen saver activates (`xset s 2 2`), and ends it. xss-lock asks the login
// manager for its session at start; a stand-in (tests/support/fake_logind)
// answers on a private bus given to it as the system bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"
#include "xvfb_server.h"

// Xlib last: its macros clash with GoogleTest names.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::readAll;

// Polls `done` every 100 ms for up to 30 s (a sanitizer build on a loaded machine).
bool waitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(100ms))
    if (done()) return true;
  return done();
}

// A child with exactly `env` (plus the sanitizers' options); killed on destruction unless ended.
struct Child {
  Child(const std::vector<std::string>& args, std::vector<std::string> env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    env.push_back("LSAN_OPTIONS=suppressions=" BRIVANE_SOURCE_DIR "/tests/support/lsan.supp:print_suppressions=0");
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr), envp.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  }
  ~Child() {
    if (running()) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  bool running() {
    int s = 0;
    if (pid > 0 && status < 0 && ::waitpid(pid, &s, WNOHANG) == pid) status = WIFEXITED(s) ? WEXITSTATUS(s) : 128;
    return pid > 0 && status < 0;
  }
  int waitExit() { return waitFor([&] { return !running(); }), status; }
  pid_t pid = -1;
  int status = -1;
};

// The live processes whose command line starts with `program` on `display`
// only (other tests run theirs in parallel): (pid, parent pid).
std::vector<std::pair<pid_t, pid_t>> processesOf(const std::string& program, const std::string& display) {
  std::vector<std::pair<pid_t, pid_t>> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = readAll(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && stat.substr(close + 1, 3) != " Z " &&
        readAll(entry.path() / "cmdline").rfind(program + '\0', 0) == 0 &&
        ('\0' + readAll(entry.path() / "environ")).find(std::string("\0DISPLAY=", 9) + display + '\0') !=
            std::string::npos)
      found.emplace_back(std::atoi(entry.path().filename().c_str()), std::atoi(stat.c_str() + close + 4));
  }
  return found;
}

class XssLock : public ::testing::TestWithParam<bool /* ended by input, else by xss-lock's SIGTERM */> {};

// xss-lock starts the saver after the idle time as its own child (no fork
// in between); the first check finds mail new to the run with "turn on
// monitor" and "keep it on" set, and the X server's saver stays active, so
// xss-lock keeps the saver. Its end (xss-lock's SIGTERM, or the user's
// input) ends the run cleanly: status 0, no "Halted" line in the main log.
TEST_P(XssLock, StartsTheSaverWhenIdleAndItsEndEndsTheRun) {
  if (!fs::exists("/usr/bin/xss-lock")) GTEST_SKIP() << "xss-lock is not installed (Debian package xss-lock)";
  const auto dovecot = test::DovecotEnv::load();
  ASSERT_TRUE(dovecot) << "Dovecot harness not running";
  // The saver outlives xss-lock for a moment when xss-lock is ended: this process then collects it.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  XvfbServer xvfb;
  // Open for the whole test: the server keeps the `xset` settings while it has a client.
  Display* display = XOpenDisplay(xvfb.name().c_str());
  ASSERT_NE(display, nullptr) << "Xvfb did not start";
  const test::TempDir tmp("brivane-xss");
  const std::string home = tmp.path();
  const fs::path logs = home + "/state/Torvex/Brivane";
  fs::create_directories(home + "/run"), fs::permissions(home + "/run", fs::perms::owner_all);
  std::vector<std::string> env = {"DISPLAY=" + xvfb.name(), "BRIVANE_STORE=" + home + "/brivane.reg",
                                  "XDG_STATE_HOME=" + home + "/state", "XDG_RUNTIME_DIR=" + home + "/run",
                                  "HOME=" + home, "QT_QPA_PLATFORM=xcb", "PATH=/usr/local/bin:/usr/bin:/bin"};
  if (const char* ca = std::getenv("SSL_CERT_FILE")) env.push_back(std::string("SSL_CERT_FILE=") + ca);

  // A private bus (address, process id) with the stand-in login manager on it, as xss-lock's system bus.
  ASSERT_EQ(Child({"sh", "-c", "\"$0\" \"$1/bus\" \"$2\" --no-keyring > \"$1/bus.txt\"", BRIVANE_KEYRING_SESSION,
                   home, std::to_string(getpid())},
                  env)
                .waitExit(),
            0);
  const std::string bus = readAll(home + "/bus.txt"), address = bus.substr(0, bus.find('\n'));
  struct BusEnd {
    pid_t pid;
    ~BusEnd() { ::kill(pid, SIGTERM); }
  } busEnd{std::atoi(bus.c_str() + address.size() + 1)};
  ASSERT_GT(busEnd.pid, 0) << bus;
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address);
  Child logind({BRIVANE_FAKE_LOGIND, address, home + "/logind-ready"}, env);
  ASSERT_TRUE(waitFor([&] { return fs::exists(home + "/logind-ready") || !logind.running(); }) && logind.running());

  FileRegistryStore store(home + "/brivane.reg");
  ASSERT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
  ASSERT_TRUE(store.transact([&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeDword(kMainKey, "monitorOn", 1);
    s.writeDword(kMainKey, "monitorStayOn", 1);
    SaveAccounts(s, {{.name = "Dovecot POP3", .isPOP = true, .username = dovecot->user, .password = dovecot->password,
                      .server = dovecot->host, .port = dovecot->pop3Port, .folders = {}}});
    return true;
  }));
  ASSERT_EQ(Child({"xset", "s", "2", "2"}, env).waitExit(), 0) << "xset (Debian package x11-xserver-utils)";
  Child xssLock({"sh", "-c", "exec xss-lock --verbose -- \"$@\" 2> \"$HOME/xss-lock.log\"", "sh", BRIVANE_EXE, "/s"},
                env);

  std::vector<std::pair<pid_t, pid_t>> savers;
  ASSERT_TRUE(waitFor([&] { return !(savers = processesOf(BRIVANE_EXE, xvfb.name())).empty() || !xssLock.running(); }) &&
              xssLock.running())
      << "xss-lock did not start the saver: " << readAll(home + "/xss-lock.log");
  ASSERT_EQ(savers, (std::vector<std::pair<pid_t, pid_t>>{{savers[0].first, xssLock.pid}}))
      << "not one saver, xss-lock's child";
  ASSERT_TRUE(waitFor([&] {
    return readAll(logs / "brivan_conn_Dovecot POP3.log").find("check completed") != std::string::npos;
  })) << "the check did not complete";
  std::this_thread::sleep_for(3s);  // past the power steps and more than the X saver's timeout
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  XScreenSaverQueryInfo(display, DefaultRootWindow(display), info);
  EXPECT_EQ(info->state, ScreenSaverOn) << "the run ended the X server's saver";
  XFree(info);
  // The wake for new mail asked for DPMS, which Xvfb lacks: noted once.
  EXPECT_NE(readAll(logs / "brivan.log").find("the X server has no DPMS"), std::string::npos)
      << "the monitor was not woken for new mail";
  EXPECT_EQ(processesOf(BRIVANE_EXE, xvfb.name()), savers) << "the saver ended or another one started";

  if (GetParam()) {  // xss-lock stays and collects the saver: it logs a status that is not 0
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 100, 100);
    XFlush(display);
    EXPECT_TRUE(waitFor([&] { return processesOf(BRIVANE_EXE, xvfb.name()).empty(); })) << "the saver did not end";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(readAll(home + "/xss-lock.log").find("exited abnormally"), std::string::npos)
        << readAll(home + "/xss-lock.log");
    ::kill(xssLock.pid, SIGTERM);  // and with it any saver it started again
  } else {  // xss-lock sends SIGTERM to the saver and leaves at once: the saver is ours to collect
    ASSERT_EQ(::kill(xssLock.pid, SIGTERM), 0);
    EXPECT_EQ(xssLock.waitExit(), 0);
    int status = -1;
    EXPECT_TRUE(waitFor([&] { return ::waitpid(savers[0].first, &status, WNOHANG) == savers[0].first; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_EQ(readAll(logs / "brivan.log").find("Halted"), std::string::npos) << readAll(logs / "brivan.log");
  XCloseDisplay(display);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, XssLock, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "EndedByInput" : "EndedByXssLock"; });

}  // namespace
}  // namespace brivane

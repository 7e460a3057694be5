// The real `brivane` executable under Xvfb: showing the mail of the suite's
// Dovecot bare and under a window manager with a compositor, with a
// background program, with an update notice, and as a preview in a foreign
// window.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "xvfb_server.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

// Xlib last: its macros clash with Qt and GoogleTest names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::readAll;

// How long a wait for something that must happen may take before the test
// fails. Each wait ends as soon as its condition holds; the limit is generous
// for a sanitizer build on a loaded machine (speed is the benchmarks' business).
constexpr int kPatienceMs = 30000;

// Polls `done` every 100 ms until it holds or the patience is used up.
bool waitFor(const std::function<bool()>& done) {
  for (int i = 0; i < kPatienceMs / 100; ++i, std::this_thread::sleep_for(100ms))
    if (done()) return true;
  return done();
}

// A child process with its own environment; killed on destruction. The
// sanitizers' options reach it too (a sanitizer build of the program exits
// with their status on a finding), with the suppressions of leaks inside
// system libraries that the X platform loads.
struct Child {
  Child(const std::vector<std::string>& args, std::vector<std::string> env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    env.push_back("LSAN_OPTIONS=suppressions=" BRIVANE_SOURCE_DIR "/tests/support/lsan.supp:print_suppressions=0");
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  }
  ~Child() {
    if (pid > 0 && status < 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // The exit status once the process has ended within the patience, or -1.
  int waitExit() {
    waitFor([&] {
      int s = 0;
      if (pid > 0 && ::waitpid(pid, &s, WNOHANG) == pid) status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
      return status >= 0;
    });
    return status;
  }
  pid_t pid = -1;
  int status = -1;
};

// A private Xvfb with a connection to it and a home folder for the program:
// its store, state and runtime folders and the environment pointing at them.
struct XSession {
  XSession() {
    fs::create_directories(home + "/state");
    fs::create_directories(home + "/run");
    fs::permissions(home + "/run", fs::perms::owner_all);
    if (display) movePointer(600, 500);
  }
  ~XSession() {
    if (display) XCloseDisplay(display);
  }
  void writeStore(const std::function<void(RegistryStore&)>& fill) {
    FileRegistryStore store(home + "/brivane.reg");
    ASSERT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(store.transact([&](RegistryStore& s) {
      fill(s);
      return true;
    }));
  }
  // Pixels of the root window brighter than a dark background.
  int litPixels(int x, int y, int w, int h) {
    XImage* img = XGetImage(display, DefaultRootWindow(display), x, y, w, h, AllPlanes, ZPixmap);
    int lit = 0;
    for (int j = 0; img && j < h; ++j)
      for (int i = 0; i < w; ++i) {
        const unsigned long p = XGetPixel(img, i, j);
        lit += ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) > 300;
      }
    if (img) XDestroyImage(img);
    return lit;
  }
  // Waits until at least `least` pixels of the area are lit; their number.
  int waitLit(int x, int y, int w, int h, int least) {
    int lit = 0;
    waitFor([&] { return (lit = litPixels(x, y, w, h)) >= least; });
    return lit;
  }
  // The whole screen as a PNG in the build tree's saver-shots/, for a person to look at.
  void shot(const std::string& name) {
    fs::create_directories(BRIVANE_SHOT_DIR);
    const int w = DisplayWidth(display, 0), h = DisplayHeight(display, 0);
    XImage* img = XGetImage(display, DefaultRootWindow(display), 0, 0, w, h, AllPlanes, ZPixmap);
    ASSERT_NE(img, nullptr);
    QImage out(w, h, QImage::Format_RGB32);
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) out.setPixel(i, j, static_cast<QRgb>(XGetPixel(img, i, j)) | 0xFF000000u);
    XDestroyImage(img);
    out.save(QString::fromStdString(std::string(BRIVANE_SHOT_DIR "/") + name + ".png"));
  }
  void movePointer(int x, int y) {
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
    XFlush(display);
  }

  XvfbServer xvfb;
  Display* display = XOpenDisplay(xvfb.name().c_str());
  test::TempDir tmp;
  const std::string home = tmp.path();
  std::vector<std::string> env = {"DISPLAY=" + xvfb.name(), "BRIVANE_STORE=" + home + "/brivane.reg",
                                  "XDG_STATE_HOME=" + home + "/state", "XDG_RUNTIME_DIR=" + home + "/run",
                                  "HOME=" + home, "QT_QPA_PLATFORM=xcb", "PATH=/usr/local/bin:/usr/bin:/bin"};
};

struct E2eCase {
  const char* name;
  int dpi;
  bool windowManager;  // openbox and the xcompmgr compositor
};

class SaverEndToEnd : public ::testing::TestWithParam<E2eCase> {};

TEST_P(SaverEndToEnd, ShowsTheRowsAndEndsOnAPointerMove) {
  const E2eCase c = GetParam();
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  const AccountList accounts = {
      {.name = "Dovecot IMAP", .username = env->user, .password = env->password, .server = env->host,
       .port = env->imapsPort, .useTLS = true, .folders = {"INBOX;Inbox", "Archive;Archive"}},
      {.name = "Dovecot POP3", .isPOP = true, .username = env->user, .password = env->password,
       .server = env->host, .port = env->pop3Port, .folders = {}}};
  XSession x;
  ASSERT_NE(x.display, nullptr) << "Xvfb did not start";
  x.env.push_back("QT_FONT_DPI=" + std::to_string(c.dpi));
  x.writeStore([&](RegistryStore& s) {
    SaveAccounts(s, accounts);
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeDword(kModulesKey, "displayTime", 1);
  });
  std::unique_ptr<Child> wm, compositor;
  if (c.windowManager) {
    wm = std::make_unique<Child>(std::vector<std::string>{"openbox"}, x.env);
    compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"}, x.env);
    std::this_thread::sleep_for(500ms);
  }
  Child saver({BRIVANE_EXE, "/s"}, x.env);
  ASSERT_GT(saver.pid, 0);

  // Both checks end, and the panel fills with their rows (it may have moved
  // away from 30/60 when it grew below the screen: look at the whole width).
  const fs::path logs = x.home + "/state/Torvex/Brivane";
  EXPECT_TRUE(waitFor([&] {
    return readAll(logs / "brivan_conn_Dovecot IMAP.log").find("check completed") != std::string::npos &&
           readAll(logs / "brivan_conn_Dovecot POP3.log").find("check completed") != std::string::npos;
  }));
  EXPECT_GE(x.waitLit(0, 0, 1024, 700, 5000), 5000) << "the panel's rows are not drawn";
  x.shot(std::string("saver-") + c.name);
  EXPECT_NE(readAll(logs / "brivan.log").find("IMAP4:127.0.0.1:"), std::string::npos);

  // Four pixels of pointer movement end the run with status 0.
  x.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, SaverEndToEnd,
                         ::testing::Values(E2eCase{"bare96", 96, false}, E2eCase{"bare192", 192, false},
                                           E2eCase{"openbox96", 96, true}, E2eCase{"openbox192", 192, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Live (not zombie) processes of `program` on `display` only: the tests run
// in parallel, each with its own Xvfb, so another test's program must not count.
int liveProcessesOf(const std::string& program, const std::string& display) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = readAll(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.substr(close + 1, 3) == " Z " ||
        readAll(entry.path() / "cmdline").rfind(program, 0) != 0)
      continue;
    n += (std::string(1, '\0') + readAll(entry.path() / "environ")).find(std::string("\0DISPLAY=", 9) + display + '\0') !=
         std::string::npos;
  }
  return n;
}

class SaverBackgroundProgram : public ::testing::TestWithParam<bool> {};

TEST_P(SaverBackgroundProgram, DrawsInsideTheSaverWindowAndEndsWithTheRun) {
  const std::string hack = "/usr/libexec/xscreensaver/deco";
  if (!fs::exists(hack)) GTEST_SKIP() << "xscreensaver-data is not installed";
  XSession x;
  ASSERT_NE(x.display, nullptr);
  x.writeStore([&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeDword(kMainKey, "useScreensaverBackground", 1);
    s.writeString(kMainKey, "screensaverPath", hack);
  });
  std::unique_ptr<Child> compositor;
  if (GetParam()) compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"}, x.env);
  Child saver({BRIVANE_EXE, "/s"}, x.env);
  // The program starts once the window has faded in; its pictures then fill
  // the window around the panel (Xvfb's own root pattern is not counted: the
  // window is opaque by then).
  EXPECT_TRUE(waitFor([&] { return liveProcessesOf(hack, x.xvfb.name()) == 1; }));
  std::this_thread::sleep_for(3000ms);  // the panels show 2 s after the program started
  EXPECT_GE(x.waitLit(450, 100, 500, 500, 20000), 20000) << "the background program draws nothing";
  x.shot(GetParam() ? "hack-composited" : "hack-bare");
  x.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(), 0);
  EXPECT_EQ(liveProcessesOf(hack, x.xvfb.name()), 0);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, SaverBackgroundProgram, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "composited" : "bare"); });

TEST(SaverUpdate, NewerVersionIsShownTopRightAndUOpensTheDownloadPage) {
  XSession x;
  ASSERT_NE(x.display, nullptr);
  // The manifest, served from 127.0.0.1 on a port the server writes into a
  // file; a stand-in for xdg-open records what it opens. Each address is
  // added to a new copy renamed into place, so the test never sees the file
  // half written.
  fs::create_directories(x.home + "/www");
  fs::create_directories(x.home + "/bin");
  std::ofstream(x.home + "/www/manifest.xml") << "<Product><latestversion>9.1.0.0</LatestVersion></Product>\n";
  const std::string opened = "'" + x.home + "/opened'";
  std::ofstream(x.home + "/bin/xdg-open") << "#!/bin/sh\n{ cat " << opened << " 2>/dev/null; echo \"$@\"; } > "
                                          << opened << ".new\nmv " << opened << ".new " << opened << "\n";
  fs::permissions(x.home + "/bin/xdg-open", fs::perms::owner_all);
  Child server({"python3", "-c",
                "import functools, http.server, os, sys\n"
                "s = http.server.HTTPServer(('127.0.0.1', 0), functools.partial("
                "http.server.SimpleHTTPRequestHandler, directory=sys.argv[1]))\n"
                "open(sys.argv[2] + '.new', 'w').write(str(s.server_port))\n"
                "os.rename(sys.argv[2] + '.new', sys.argv[2])\ns.serve_forever()\n",
                x.home + "/www", x.home + "/port"},
               x.env);
  ASSERT_TRUE(waitFor([&] { return fs::exists(x.home + "/port"); })) << "the manifest server did not start";
  x.env.back() = "PATH=" + x.home + "/bin:/usr/bin:/bin";
  x.env.push_back("BRIVANE_UPDATE_URL=http://127.0.0.1:" + readAll(x.home + "/port") + "/manifest.xml");
  x.env.push_back("BRIVANE_DOWNLOAD_URL=https://downloads.example.org/brivane");
  x.writeStore([](RegistryStore& s) { s.writeDword(kMainKey, "checkForUpdates", 1); });
  Child saver({BRIVANE_EXE, "/s"}, x.env);
  EXPECT_GE(x.waitLit(1024 - 393, 0, 393, 97, 300), 300) << "no update panel at the top-right corner";
  x.shot("update");
  Child({"xdotool", "key", "u"}, x.env).waitExit();
  EXPECT_EQ(saver.waitExit(), 0);
  waitFor([&] { return fs::exists(x.home + "/opened"); });
  EXPECT_EQ(readAll(x.home + "/opened"), "https://downloads.example.org/brivane\n");
}

TEST(SaverPreview, DrawsIntoAForeignWindowUntilItIsDestroyed) {
  XSession x;
  ASSERT_NE(x.display, nullptr);
  Display* d = x.display;
  const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 100, 152, 112, 0, 0, 0xFFFFFF);
  XMapWindow(d, w);
  XSync(d, False);
  Child preview({BRIVANE_EXE, "/p", "0x" + QString::number(static_cast<qulonglong>(w), 16).toStdString()}, x.env);
  // The white window turns black with a miniature on it: some pixels lit, most not.
  int lit = 0;
  waitFor([&] {
    lit = x.litPixels(100, 100, 152, 112);
    return lit > 20 && lit < 152 * 112 / 2;
  });
  EXPECT_GT(lit, 20);
  EXPECT_LT(lit, 152 * 112 / 2);
  XDestroyWindow(d, w);
  XSync(d, False);
  EXPECT_EQ(preview.waitExit(), 0);
}

}  // namespace
}  // namespace brivane

// The real `brivane` executable under Xvfb: showing the mail of the suite's
// Dovecot bare and under a window manager with a compositor, with a
// background program and with an update notice, and inside another
// program's window; screenshots go to saver-shots/.
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

// Polls `done` every 100 ms for up to 30 s (for a sanitizer build on a loaded machine).
bool waitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(100ms))
    if (done()) return true;
  return done();
}

// A child process with its own environment (plus the sanitizers' options, with
// the suppressions of leaks inside the X platform's libraries, and the trust
// store $SSL_CERT_FILE: the harness's CA); killed on destruction.
struct Child {
  Child(const std::vector<std::string>& args, std::vector<std::string> env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "SSL_CERT_FILE"})
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
    if (pid > 0 && status < 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  int waitExit() {  // the exit status once ended within the patience, or -1
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

// A private Xvfb, a connection to it, and a home (store, state, runtime) for the program.
struct XSession {
  XSession() {
    fs::create_directories(home + "/state"), fs::create_directories(home + "/run");
    fs::permissions(home + "/run", fs::perms::owner_all);
    if (display) movePointer(600, 500);
  }
  ~XSession() { if (display) XCloseDisplay(display); }
  void writeStore(const std::function<void(RegistryStore&)>& fill) {
    FileRegistryStore store(home + "/brivane.reg");
    ASSERT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(store.transact([&](RegistryStore& s) { return fill(s), true; }));
  }
  QImage grab(int x, int y, int w, int h) {
    XImage* img = XGetImage(display, DefaultRootWindow(display), x, y, w, h, AllPlanes, ZPixmap);
    QImage out(w, h, QImage::Format_RGB32);
    for (int j = 0; img && j < h; ++j)
      for (int i = 0; i < w; ++i) out.setPixel(i, j, static_cast<QRgb>(XGetPixel(img, i, j)) | 0xFF000000u);
    if (img) XDestroyImage(img);
    return out;
  }
  // Waits until at least `least` pixels of the area are brighter than a dark background; their number.
  int waitLit(int x, int y, int w, int h, int least) {
    int lit = 0;
    waitFor([&] {
      const QImage img = grab(x, y, w, h);
      lit = 0;
      for (int k = 0; k < w * h; ++k) {
        const QRgb p = img.pixel(k % w, k / w);
        lit += qRed(p) + qGreen(p) + qBlue(p) > 300;
      }
      return lit >= least;
    });
    return lit;
  }
  void shot(const std::string& name) {  // the whole screen, for a person to look at
    fs::create_directories(BRIVANE_SHOT_DIR);
    grab(0, 0, DisplayWidth(display, 0), DisplayHeight(display, 0))
        .save(QString::fromStdString(std::string(BRIVANE_SHOT_DIR "/") + name + ".png"));
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

// Live (not zombie) processes of `program` on `display` only: the tests run
// in parallel, each with its own Xvfb, so another test's program must not count.
int liveProcessesOf(const std::string& program, const std::string& display) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = readAll(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && stat.substr(close + 1, 3) != " Z " &&
        readAll(entry.path() / "cmdline").rfind(program, 0) == 0)
      n += ('\0' + readAll(entry.path() / "environ")).find(std::string("\0DISPLAY=", 9) + display + '\0') !=
           std::string::npos;
  }
  return n;
}

struct E2eCase {
  const char* shot;
  int dpi;
  bool windowManager, compositor;  // openbox; xcompmgr
  const char* background;          // a background program instead of the accounts
};

class SaverEndToEnd : public ::testing::TestWithParam<E2eCase> {};

// Both accounts are checked and their rows drawn, or the background program
// starts once the window has faded in and fills the window around the panel;
// four pixels of pointer movement end the run with status 0 (and the program).
TEST_P(SaverEndToEnd, ShowsItsPicturesAndEndsOnAPointerMove) {
  const E2eCase c = GetParam();
  const auto env = test::DovecotEnv::load();
  if (!env && !c.background) GTEST_SKIP() << "Dovecot harness not running";
  if (c.background && !fs::exists(c.background)) GTEST_SKIP() << "xscreensaver-data is not installed";
  XSession x;
  ASSERT_NE(x.display, nullptr) << "Xvfb did not start";
  x.env.push_back("QT_FONT_DPI=" + std::to_string(c.dpi));
  x.writeStore([&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeDword(kMainKey, "useScreensaverBackground", c.background != nullptr);
    if (c.background) return s.writeString(kMainKey, "screensaverPath", c.background), void();
    SaveAccounts(s, {{.name = "Dovecot IMAP", .username = env->user, .password = env->password, .server = env->host,
                      .port = env->imapsPort, .useTLS = true, .folders = {"INBOX;Inbox", "Archive;Archive"}},
                     {.name = "Dovecot POP3", .isPOP = true, .username = env->user, .password = env->password,
                      .server = env->host, .port = env->pop3Port, .folders = {}}});
    s.writeDword(kModulesKey, "displayTime", 1);
  });
  std::unique_ptr<Child> wm, compositor;
  if (c.windowManager) wm = std::make_unique<Child>(std::vector<std::string>{"openbox"}, x.env);
  if (c.compositor) compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"}, x.env);
  if (c.windowManager) std::this_thread::sleep_for(500ms);
  Child saver({BRIVANE_EXE, "/s"}, x.env);
  ASSERT_GT(saver.pid, 0);
  const fs::path logs = x.home + "/state/Torvex/Brivane";
  if (c.background) {
    EXPECT_TRUE(waitFor([&] { return liveProcessesOf(c.background, x.xvfb.name()) == 1; }));
    std::this_thread::sleep_for(3000ms);  // the panels show 2 s after the program started
    EXPECT_GE(x.waitLit(450, 100, 500, 500, 20000), 20000) << "the background program draws nothing";
  } else {
    EXPECT_TRUE(waitFor([&] {
      return readAll(logs / "brivan_conn_Dovecot IMAP.log").find("check completed") != std::string::npos &&
             readAll(logs / "brivan_conn_Dovecot POP3.log").find("check completed") != std::string::npos;
    }));
    // The panel may have moved from 30/60 when it grew below the screen: the whole width counts.
    EXPECT_GE(x.waitLit(0, 0, 1024, 700, 5000), 5000) << "the panel's rows are not drawn";
  }
  x.shot(c.shot);
  x.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(), 0);
  EXPECT_EQ(c.background ? liveProcessesOf(c.background, x.xvfb.name()) : 0, 0);
}

constexpr const char* kDeco = "/usr/libexec/xscreensaver/deco";
INSTANTIATE_TEST_SUITE_P(Xvfb, SaverEndToEnd,
                         ::testing::Values(E2eCase{"saver-bare96", 96, false, false, nullptr},
                                           E2eCase{"saver-bare192", 192, false, false, nullptr},
                                           E2eCase{"saver-openbox96", 96, true, true, nullptr},
                                           E2eCase{"saver-openbox192", 192, true, true, nullptr},
                                           E2eCase{"hack-bare", 96, false, false, kDeco},
                                           E2eCase{"hack-composited", 96, false, true, kDeco}),
                         [](const auto& info) { return QString(info.param.shot).replace('-', '_').toStdString(); });

// The manifest is served from 127.0.0.1 by Python's own HTTP server; a
// stand-in for xdg-open records what it opens (renamed into place, so never
// seen half written).
TEST(SaverUpdate, NewerVersionIsShownTopRightAndUOpensTheDownloadPage) {
  XSession x;
  ASSERT_NE(x.display, nullptr);
  test::writeAll(x.home + "/www/manifest.xml", "<Product><latestversion>9.1.0.0</LatestVersion></Product>\n");
  const std::string opened = "'" + x.home + "/opened'";
  test::writeAll(x.home + "/bin/xdg-open", "#!/bin/sh\n{ cat " + opened + " 2>/dev/null; echo \"$@\"; } > " + opened +
                                               ".new\nmv " + opened + ".new " + opened + "\n");
  fs::permissions(x.home + "/bin/xdg-open", fs::perms::owner_all);
  Child server({"sh", "-c", "cd \"$HOME/www\" && exec python3 -u -m http.server --bind 127.0.0.1 0 > ../served"},
               x.env);
  std::string url;  // from "Serving HTTP on 127.0.0.1 port N (http://127.0.0.1:N/) ..."
  ASSERT_TRUE(waitFor([&] {
    const std::string said = readAll(x.home + "/served");
    const size_t from = said.find("(http://"), to = said.find("/)", from);
    return to != std::string::npos && !(url = said.substr(from + 1, to - from)).empty();
  })) << "the manifest server did not start";
  x.env.back() = "PATH=" + x.home + "/bin:/usr/bin:/bin";
  x.env.push_back("BRIVANE_UPDATE_URL=" + url + "manifest.xml");
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

// A window of the test's own, as a screensaver host makes one for its program.
struct HostWindow {
  HostWindow(Display* d, int x, int y, int w, int h) : display(d) {
    id = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, w, h, 0, 0, 0);
    XSetWindowAttributes a{};
    a.override_redirect = True;
    XChangeWindowAttributes(d, id, CWOverrideRedirect, &a);
    XMapRaised(d, id);
    XSync(d, False);
  }
  ~HostWindow() { destroy(); }
  void destroy() {
    if (id != 0) XDestroyWindow(display, id), XSync(display, False), id = 0;
  }
  std::string arg() const { return "0x" + QString::number(static_cast<qulonglong>(id), 16).toStdString(); }
  // The size of the program's window inside, or an empty size while there is none.
  QSize childSize() const {
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    QSize size;
    XWindowAttributes a;
    if (XQueryTree(display, id, &root, &parent, &children, &n) != 0 && n > 0 &&
        XGetWindowAttributes(display, children[0], &a) != 0)
      size = QSize(a.width, a.height);
    if (children != nullptr) XFree(children);
    return size;
  }
  Display* display;
  Window id = 0;
};

bool running(const Child& c) {
  int s = 0;
  return c.pid > 0 && ::waitpid(c.pid, &s, WNOHANG) == 0;
}

// "--window-id": the panel with the account's rows inside the host's window,
// nothing above the desktop, no grab (the test takes the keyboard itself),
// input ignored, the host window's size followed; its destruction ends the run.
TEST(SaverInAHostWindow, DrawsTheRunInsideAndEndsWithTheWindow) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  XSession x;
  ASSERT_NE(x.display, nullptr);
  x.writeStore([&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    SaveAccounts(s, {{.name = "Dovecot IMAP", .username = env->user, .password = env->password, .server = env->host,
                      .port = env->imapsPort, .useTLS = true, .folders = {"INBOX;Inbox"}}});
    s.writeDword(kModulesKey, "displayTime", 1);
  });
  HostWindow host(x.display, 100, 80, 800, 600);
  Child saver({BRIVANE_EXE, "-window-id", host.arg()}, x.env);
  const fs::path logs = x.home + "/state/Torvex/Brivane";
  EXPECT_TRUE(waitFor([&] {
    return readAll(logs / "brivan_conn_Dovecot IMAP.log").find("check completed") != std::string::npos;
  }));
  EXPECT_GE(x.waitLit(100, 80, 800, 600, 3000), 3000) << "the panel's rows are not drawn in the window";
  x.shot("hosted-window");
  EXPECT_EQ(host.childSize(), QSize(800, 600));
  EXPECT_EQ(XGrabKeyboard(x.display, DefaultRootWindow(x.display), False, GrabModeAsync, GrabModeAsync, CurrentTime),
            GrabSuccess) << "the saver holds the keyboard";
  XUngrabKeyboard(x.display, CurrentTime);
  Child({"xdotool", "mousemove", "400", "300", "click", "1", "key", "a"}, x.env).waitExit();
  XResizeWindow(x.display, host.id, 640, 480);
  XSync(x.display, False);
  EXPECT_TRUE(waitFor([&] { return host.childSize() == QSize(640, 480); })) << "the window's size is not followed";
  EXPECT_TRUE(running(saver)) << "input or the resize ended the run";
  host.destroy();
  EXPECT_EQ(saver.waitExit(), 0);
}

// A copy started while another runs (a host runs one per monitor) fills its
// window with the background colour and checks no mail (it has no log
// folder); SIGTERM ends both copies normally.
TEST(SaverInAHostWindow, ASecondCopyDrawsTheColourOnly) {
  XSession x;
  ASSERT_NE(x.display, nullptr);
  x.writeStore([&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeString(kMainKey, "backColor", "$00804020");  // BGR: RGB 0x204080
    SaveAccounts(s, {{.name = "Nowhere", .username = "u", .password = "p", .server = "127.0.0.1", .port = 1}});
  });
  HostWindow first(x.display, 0, 0, 500, 400), second(x.display, 520, 0, 500, 400);
  Child one({BRIVANE_EXE, "--window-id", std::to_string(first.id)}, x.env);
  ASSERT_TRUE(waitFor([&] { return fs::exists(x.home + "/state/Torvex/Brivane/brivan_conn_Nowhere.log"); }));
  std::vector<std::string> otherEnv = x.env;
  for (auto& e : otherEnv)
    if (e.rfind("XDG_STATE_HOME=", 0) == 0) e = "XDG_STATE_HOME=" + x.home + "/state2";
  otherEnv.push_back("XSCREENSAVER_WINDOW=" + second.arg());  // as the host starts "brivane -root"
  Child two({BRIVANE_EXE, "-root"}, otherEnv);
  EXPECT_TRUE(waitFor([&] {
    const QImage img = x.grab(520, 0, 500, 400);
    for (int k = 0; k < 500 * 400; k += 7)
      if ((img.pixel(k % 500, k / 500) & 0xFFFFFF) != 0x204080) return false;
    return true;
  })) << "the second window is not all the background colour";
  x.shot("hosted-second-copy");
  EXPECT_FALSE(fs::exists(x.home + "/state2")) << "the second copy checked or logged";
  for (Child* c : {&two, &one}) {
    ::kill(c->pid, SIGTERM);
    EXPECT_EQ(c->waitExit(), 0);
  }
}

}  // namespace
}  // namespace brivane

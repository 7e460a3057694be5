// The saver against the suite's Dovecot (CTest fixture "dovecot"): in
// process on the offscreen platform, and the real `brivane` executable
// end to end under Xvfb, bare and under a window manager with a compositor.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dovecot_env.h"
#include "platform/power_sound_fakes.h"
#include "platform/registry_file.h"
#include "saver/frm_saver.h"
#include "saver/xvfb_server.h"
#include "settings/accounts.h"
#include "settings/settings.h"

// Xlib last: its macros clash with Qt and GoogleTest names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace brivane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

AccountList dovecotAccounts(const test::DovecotEnv& env) {
  TEmlAccount imap;
  imap.name = "Dovecot IMAP";
  imap.server = env.host;
  imap.port = env.imapsPort;
  imap.useTLS = true;
  imap.username = env.user;
  imap.password = env.password;
  imap.folders = {"INBOX;Inbox", "Archive;Archive"};
  TEmlAccount pop = imap;
  pop.name = "Dovecot POP3";
  pop.isPOP = true;
  pop.useTLS = false;
  pop.port = env.pop3Port;
  pop.folders.clear();
  return {imap, pop};
}

std::string listText(RichListBox& list) {
  std::string out;
  for (int i = 0; i < list.count(); ++i) out += list.rowLayout(i).plainText() + "\n";
  return out;
}

class SaverDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env = *loaded;
  }
  test::DovecotEnv env;
};

TEST_F(SaverDovecot, RowsOfBothAccountsAppearWithinThreeSeconds) {
  MemoryRegistryStore store;
  SaveAccounts(store, dovecotAccounts(env));
  QTemporaryDir logs;
  FakeDisplayPower power;
  FakeNotificationSound sound;
  SaverDeps deps;
  deps.store = &store;
  deps.logDirectory = [&](std::string& dir) {
    dir = logs.path().toStdString() + "/";
    return true;
  };
  deps.power = &power;
  deps.sound = &sound;
  deps.takeScreens = false;
  deps.cursorPos = [] { return QPoint(1, 1); };
  TfrmSaver saver(std::move(deps));
  saver.start();
  RichListBox& list = *saver.popMessages->lstMessages;
  QElapsedTimer t;
  t.start();
  auto done = [&] {
    const std::string text = listText(list);
    // Both accounts list the INBOX's unseen messages in a folder row.
    return text.find("Dovecot IMAP") != std::string::npos && text.find("Dovecot POP3") != std::string::npos &&
           text.find("Inbox (") != text.rfind("Inbox (");
  };
  while (!done() && t.elapsed() < 3000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(done()) << listText(list);
  saver.closeRun();
}

// --- end to end -------------------------------------------------------------

// A child process with its own environment; stopped on destruction.
struct Child {
  Child(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  }
  ~Child() {
    if (pid > 0 && !exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  // The exit status within `ms`, or -1.
  int waitExit(int ms) {
    for (int i = 0; i < ms / 10 && pid > 0; ++i) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  pid_t pid = -1;
  bool exited = false;
};

struct Screen {
  explicit Screen(const std::string& name) : display(XOpenDisplay(name.c_str())) {}
  ~Screen() {
    if (display) XCloseDisplay(display);
  }
  // Pixels of the root window brighter than a dark background.
  int litPixels(int x, int y, int w, int h) {
    XImage* img = XGetImage(display, DefaultRootWindow(display), x, y, w, h, AllPlanes, ZPixmap);
    if (!img) return 0;
    int lit = 0;
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) {
        unsigned long p = XGetPixel(img, i, j);
        if (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) > 300) ++lit;
      }
    XDestroyImage(img);
    return lit;
  }
  // The whole screen as a PNG, for a person to look at.
  void save(const std::string& path) {
    const int w = DisplayWidth(display, 0), h = DisplayHeight(display, 0);
    XImage* img = XGetImage(display, DefaultRootWindow(display), 0, 0, w, h, AllPlanes, ZPixmap);
    if (!img) return;
    QImage out(w, h, QImage::Format_RGB32);
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) out.setPixel(i, j, static_cast<QRgb>(XGetPixel(img, i, j)) | 0xFF000000u);
    XDestroyImage(img);
    out.save(QString::fromStdString(path));
  }
  void movePointer(int x, int y) {
    XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
    XFlush(display);
  }
  Display* display;
};

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct E2eCase {
  const char* name;
  int dpi;
  bool windowManager;
};

class SaverEndToEnd : public SaverDovecot, public ::testing::WithParamInterface<E2eCase> {};

TEST_P(SaverEndToEnd, ShowsTheRowsAndEndsOnAPointerMove) {
  const E2eCase c = GetParam();
  XvfbServer xvfb;
  ASSERT_FALSE(xvfb.name().empty()) << "Xvfb did not start";
  QTemporaryDir home;
  const std::string root = home.path().toStdString();
  fs::create_directories(root + "/state");
  fs::create_directories(root + "/run");
  fs::permissions(root + "/run", fs::perms::owner_all);
  const std::string storePath = root + "/brivane.reg";
  {
    FileRegistryStore store(storePath);
    ASSERT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(store.transact([&](RegistryStore& s) {
      SaveAccounts(s, dovecotAccounts(env));
      s.writeDword(kMainKey, "checkForUpdates", 0);
      s.writeDword(kModulesKey, "displayTime", 1);
      return true;
    }));
  }
  const std::vector<std::string> childEnv = {
      "DISPLAY=" + xvfb.name(), "BRIVANE_STORE=" + storePath, "XDG_STATE_HOME=" + root + "/state",
      "XDG_RUNTIME_DIR=" + root + "/run", "HOME=" + root, "QT_FONT_DPI=" + std::to_string(c.dpi),
      "PATH=/usr/local/bin:/usr/bin:/bin", "QT_QPA_PLATFORM=xcb"};
  std::unique_ptr<Child> wm, compositor;
  if (c.windowManager) {
    wm = std::make_unique<Child>(std::vector<std::string>{"openbox"}, childEnv);
    compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"}, childEnv);
    std::this_thread::sleep_for(500ms);
  }
  Screen screen(xvfb.name());
  ASSERT_NE(screen.display, nullptr);
  screen.movePointer(600, 500);
  Child saver({BRIVANE_EXE, "/s"}, childEnv);
  ASSERT_GT(saver.pid, 0);

  // Both checks end, and the panel fills with their rows (it may have moved
  // away from 30/60 when it grew below the screen: look at the whole width).
  const fs::path logs = fs::path(root) / "state/Torvex/Brivane";
  auto checked = [&](const char* account) {
    return readFile(logs / (std::string("brivan_conn_") + account + ".log")).find("check completed") !=
           std::string::npos;
  };
  for (int i = 0; i < 150 && !(checked("Dovecot IMAP") && checked("Dovecot POP3")); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(checked("Dovecot IMAP") && checked("Dovecot POP3"));
  int lit = 0;
  for (int i = 0; i < 30 && lit < 5000; ++i) {
    std::this_thread::sleep_for(100ms);
    lit = screen.litPixels(0, 0, 1024, 700);
  }
  EXPECT_GE(lit, 5000) << "the panel's rows are not drawn";
  const fs::path shots = fs::path(BRIVANE_SHOT_DIR);
  fs::create_directories(shots);
  screen.save((shots / (std::string("saver-") + c.name + ".png")).string());

  // A second instance shows nothing, ends with 0 and leaves the logs alone.
  const std::string mainLog = readFile(logs / "brivan.log");
  EXPECT_NE(mainLog.find("IMAP4:127.0.0.1:"), std::string::npos) << mainLog;
  {
    Child second({BRIVANE_EXE, "/s"}, childEnv);
    EXPECT_EQ(second.waitExit(5000), 0);
  }
  EXPECT_EQ(readFile(logs / "brivan.log"), mainLog);

  // Four pixels of pointer movement end the run with status 0 within a second.
  screen.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(1000), 0);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, SaverEndToEnd,
                         ::testing::Values(E2eCase{"bare96", 96, false}, E2eCase{"bare192", 192, false},
                                           E2eCase{"openbox96", 96, true}, E2eCase{"openbox192", 192, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SaverPreview, DrawsIntoAForeignWindowUntilItIsDestroyed) {
  XvfbServer xvfb;
  ASSERT_FALSE(xvfb.name().empty());
  Screen screen(xvfb.name());
  Display* d = screen.display;
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 100, 152, 112, 0, 0, 0xFFFFFF);
  XMapWindow(d, w);
  XSync(d, False);
  QTemporaryDir home;
  const std::string root = home.path().toStdString();
  const std::vector<std::string> childEnv = {"DISPLAY=" + xvfb.name(), "BRIVANE_STORE=" + root + "/b.reg",
                                             "XDG_STATE_HOME=" + root, "XDG_RUNTIME_DIR=" + root, "HOME=" + root,
                                             "PATH=/usr/bin:/bin"};
  char id[32];
  std::snprintf(id, sizeof id, "0x%lx", static_cast<unsigned long>(w));
  Child preview({BRIVANE_EXE, "/p", id}, childEnv);
  // The white window turns black with a miniature on it: some pixels lit, most not.
  int lit = 152 * 112;
  for (int i = 0; i < 50 && !(lit > 20 && lit < 152 * 112 / 2); ++i) {
    std::this_thread::sleep_for(100ms);
    lit = screen.litPixels(100, 100, 152, 112);
  }
  EXPECT_GT(lit, 20);
  EXPECT_LT(lit, 152 * 112 / 2);
  XDestroyWindow(d, w);
  XSync(d, False);
  EXPECT_EQ(preview.waitExit(2000), 0);
}

}  // namespace
}  // namespace brivane

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

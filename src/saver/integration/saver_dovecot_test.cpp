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
#include <functional>
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

// --- end to end ---------------------------------------------------------

// How long a wait for something that must happen may take before the test
// fails. Each wait ends as soon as its condition holds, so this costs nothing
// when all is well; it is generous because a sanitizer build on a loaded
// machine runs many times slower, and how fast things happen is measured by
// the benchmarks, not here.
constexpr int kPatienceMs = 30000;

// A child process with its own environment; stopped on destruction. The
// sanitizers' options reach it too (a sanitizer build of the program exits
// with their status on a finding), with the suppressions of leaks inside
// system libraries that the X platform loads.
struct Child {
  Child(const std::vector<std::string>& args, std::vector<std::string> env) {
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    }
    env.push_back("LSAN_OPTIONS=suppressions=" BRIVANE_SOURCE_DIR "/tests/support/lsan.supp:print_suppressions=0");
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
    fs::create_directories(fs::path(path).parent_path());
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
  for (int i = 0; i < 600 && !(checked("Dovecot IMAP") && checked("Dovecot POP3")); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(checked("Dovecot IMAP") && checked("Dovecot POP3"));
  int lit = 0;
  for (int i = 0; i < 300 && lit < 5000; ++i) {
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
    EXPECT_EQ(second.waitExit(kPatienceMs), 0);
  }
  EXPECT_EQ(readFile(logs / "brivan.log"), mainLog);

  // Four pixels of pointer movement end the run with status 0 within a second.
  screen.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(kPatienceMs), 0);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, SaverEndToEnd,
                         ::testing::Values(E2eCase{"bare96", 96, false}, E2eCase{"bare192", 192, false},
                                           E2eCase{"openbox96", 96, true}, E2eCase{"openbox192", 192, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A store without accounts for the runs below, written into `root`.
std::string writeStore(const std::string& root, const std::function<void(RegistryStore&)>& fill) {
  const std::string path = root + "/brivane.reg";
  FileRegistryStore store(path);
  EXPECT_TRUE(store.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
  EXPECT_TRUE(store.transact([&](RegistryStore& s) {
    fill(s);
    return true;
  }));
  return path;
}

std::vector<std::string> runEnvironment(const std::string& root, const std::string& display) {
  fs::create_directories(root + "/state");
  fs::create_directories(root + "/run");
  fs::permissions(root + "/run", fs::perms::owner_all);
  return {"DISPLAY=" + display, "BRIVANE_STORE=" + root + "/brivane.reg", "XDG_STATE_HOME=" + root + "/state",
          "XDG_RUNTIME_DIR=" + root + "/run", "HOME=" + root, "QT_QPA_PLATFORM=xcb"};
}

// Live (not zombie) processes running `program`.
// Live processes of `program` on `display` only: the tests run in parallel,
// each with its own Xvfb, so another test's hack must not be counted.
int liveProcessesOf(const std::string& program, const std::string& display) {
  const std::string want = "DISPLAY=" + display;
  int n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmd = readFile(entry.path() / "cmdline");
    std::string stat = readFile(entry.path() / "stat");
    const size_t close = stat.rfind(')');
    const bool zombie = close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
    if (zombie || cmd.rfind(program, 0) != 0) continue;
    const std::string env = readFile(entry.path() / "environ");
    size_t at = 0;
    for (size_t end; (end = env.find('\0', at)) != std::string::npos; at = end + 1) {
      if (env.compare(at, end - at, want) == 0) {
        ++n;
        break;
      }
    }
  }
  return n;
}

class SaverBackgroundHack : public ::testing::TestWithParam<bool> {};

TEST_P(SaverBackgroundHack, DrawsInsideTheSaverWindowAndEndsWithTheRun) {
  const std::string hack = "/usr/libexec/xscreensaver/deco";
  if (!fs::exists(hack)) GTEST_SKIP() << "xscreensaver-data is not installed";
  XvfbServer xvfb;
  ASSERT_FALSE(xvfb.name().empty());
  QTemporaryDir home;
  const std::string root = home.path().toStdString();
  std::vector<std::string> env = runEnvironment(root, xvfb.name());
  env.push_back("PATH=/usr/bin:/bin");
  writeStore(root, [&](RegistryStore& s) {
    s.writeDword(kMainKey, "checkForUpdates", 0);
    s.writeDword(kMainKey, "useScreensaverBackground", 1);
    s.writeString(kMainKey, "screensaverPath", hack);
  });
  std::unique_ptr<Child> compositor;
  if (GetParam()) compositor = std::make_unique<Child>(std::vector<std::string>{"xcompmgr"}, env);
  Screen screen(xvfb.name());
  screen.movePointer(600, 500);
  Child saver({BRIVANE_EXE, "/s"}, env);
  // The program starts once the window has faded in; its pictures then fill
  // the window around the panel (Xvfb's own root pattern is not counted: the
  // window is opaque by then).
  for (int i = 0; i < 300 && liveProcessesOf(hack, xvfb.name()) == 0; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(liveProcessesOf(hack, xvfb.name()), 1);
  std::this_thread::sleep_for(3000ms);  // the panels show 2 s after the program started
  int lit = 0;
  for (int i = 0; i < 300 && lit < 20000; ++i) {
    std::this_thread::sleep_for(100ms);
    lit = screen.litPixels(450, 100, 500, 500);
  }
  EXPECT_GE(lit, 20000) << "the background program draws nothing";
  screen.save((fs::path(BRIVANE_SHOT_DIR) / (GetParam() ? "hack-composited.png" : "hack-bare.png")).string());
  screen.movePointer(604, 500);
  EXPECT_EQ(saver.waitExit(kPatienceMs), 0);
  EXPECT_EQ(liveProcessesOf(hack, xvfb.name()), 0);
}

INSTANTIATE_TEST_SUITE_P(Xvfb, SaverBackgroundHack, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "composited" : "bare"); });

TEST(SaverUpdate, NewerVersionIsShownTopRightAndUOpensTheDownloadPage) {
  XvfbServer xvfb;
  ASSERT_FALSE(xvfb.name().empty());
  QTemporaryDir home;
  const std::string root = home.path().toStdString();
  // The manifest, served from 127.0.0.1; a stand-in for xdg-open records what it opens.
  fs::create_directories(root + "/www");
  std::ofstream(root + "/www/manifest.xml") << "<Product><latestversion>9.1.0.0</LatestVersion></Product>\n";
  fs::create_directories(root + "/bin");
  // Each address is added to a new copy renamed into place, so the test,
  // reading once the file exists, never sees it half written.
  const std::string opened = "'" + root + "/opened'";
  std::ofstream(root + "/bin/xdg-open") << "#!/bin/sh\n{ cat " << opened << " 2>/dev/null; echo \"$@\"; } > "
                                        << opened << ".new\nmv " << opened << ".new " << opened << "\n";
  fs::permissions(root + "/bin/xdg-open", fs::perms::owner_all);
  std::vector<std::string> env = runEnvironment(root, xvfb.name());
  env.push_back("PATH=" + root + "/bin:/usr/bin:/bin");
  Child server({"python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory", root + "/www", "0"}, env);
  // The server prints nothing we can read here: find its port in /proc/net/tcp by its pid's sockets.
  int port = 0;
  for (int i = 0; i < 300 && port == 0; ++i) {
    std::this_thread::sleep_for(100ms);
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(server.pid) + "/fd")) {
      std::error_code ec;
      const std::string target = fs::read_symlink(fd.path(), ec).string();
      if (target.rfind("socket:[", 0) != 0) continue;
      const std::string inode = target.substr(8, target.size() - 9);
      std::istringstream tcp(readFile("/proc/net/tcp"));
      std::string line;
      while (std::getline(tcp, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st, q, tr, rt, uid, to, ino;
        f >> sl >> local >> remote >> st >> q >> tr >> rt >> uid >> to >> ino;
        if (ino == inode && st == "0A") port = std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
      }
    }
  }
  ASSERT_GT(port, 0) << "the manifest server did not start";
  env.push_back("BRIVANE_UPDATE_URL=http://127.0.0.1:" + std::to_string(port) + "/manifest.xml");
  env.push_back("BRIVANE_DOWNLOAD_URL=https://downloads.example.org/brivane");
  writeStore(root, [](RegistryStore& s) { s.writeDword(kMainKey, "checkForUpdates", 1); });
  Screen screen(xvfb.name());
  screen.movePointer(600, 500);
  Child saver({BRIVANE_EXE, "/s"}, env);
  int lit = 0;
  for (int i = 0; i < 300 && lit < 300; ++i) {
    std::this_thread::sleep_for(100ms);
    lit = screen.litPixels(1024 - 393, 0, 393, 97);
  }
  EXPECT_GE(lit, 300) << "no update panel at the top-right corner";
  screen.save((fs::path(BRIVANE_SHOT_DIR) / "update.png").string());
  Child key({"xdotool", "key", "u"}, env);
  key.waitExit(kPatienceMs);
  EXPECT_EQ(saver.waitExit(kPatienceMs), 0);
  for (int i = 0; i < 300 && !fs::exists(root + "/opened"); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(readFile(root + "/opened"), "https://downloads.example.org/brivane\n");
}

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
  for (int i = 0; i < 300 && !(lit > 20 && lit < 152 * 112 / 2); ++i) {
    std::this_thread::sleep_for(100ms);
    lit = screen.litPixels(100, 100, 152, 112);
  }
  EXPECT_GT(lit, 20);
  EXPECT_LT(lit, 152 * 112 / 2);
  XDestroyWindow(d, w);
  XSync(d, False);
  EXPECT_EQ(preview.waitExit(kPatienceMs), 0);
}

}  // namespace
}  // namespace brivane

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

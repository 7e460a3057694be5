#include "saver/frm_saver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <qpa/qplatformscreen.h>
#include <qpa/qwindowsysteminterface.h>
#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>

#include "checking/fake_checkers.h"
#include "common/messages.h"
#include "common/status_words.h"
#include "platform/power_sound_fakes.h"
#include "settings/accounts.h"
#include "temp_dir.h"

namespace brivane {

// Reaches the saver's private controls, timers, panels and handlers.
class TfrmSaverTestPeer {
 public:
  explicit TfrmSaverTestPeer(TfrmSaver& saver) : s(saver) {}
  void MovePanel() { s.MovePanel(); }
  void pollHandler() { s.pollHandler(); }
  TfrmSaver& s;
  QWidget*& pnlPreview = s.pnlPreview;
  QTimer &tmrMailCheck = s.tmrMailCheck, &tmrMove = s.tmrMove, &tmrDetectScrnTerminate = s.tmrDetectScrnTerminate,
         &tmrListUpdate = s.tmrListUpdate;
  TpopMessages*& popMessages = s.popMessages;
  TpopDateTime*& popDateTime = s.popDateTime;
  TpopUpdate*& popUpdate = s.popUpdate;
  bool &panelSuppressed = s.panelSuppressed, &updateOffered = s.updateOffered;
  void key(QEvent::Type type, Qt::Key k, const char* text = "") {  // to the hidden button that holds the focus
    QKeyEvent e(type, k, Qt::NoModifier, QString::fromLatin1(text));
    QApplication::sendEvent(s.btnFocusSteal, &e);
  }
};

namespace {

using testing::FakeChecker;
using testing::FakeFactory;

bool waitUntil(const std::function<bool()>& done, int ms = 3000) {
  QElapsedTimer t;
  for (t.start(); !done() && t.elapsed() < ms;) QApplication::processEvents(QEventLoop::AllEvents, 5);
  return done();
}
void pump(int ms) { waitUntil([] { return false; }, ms); }

class FakeBackground : public BackgroundLauncher {
 public:
  FakeBackground() { (void)::pipe(endPipe); }
  ~FakeBackground() override { ::close(endPipe[0]), ::close(endPipe[1]); }
  bool start(const std::string& path, unsigned long window, bool fullScreen) override {
    starts.emplace_back(path, window, fullScreen);
    return startSucceeds;
  }
  bool hasEnded(std::chrono::milliseconds) override { return ended; }
  void terminate() override { ++terminations, onTerminate ? onTerminate() : void(); }
  void kill() override {}
  int endDescriptor() const override { return endPipe[0]; }
  std::string error() const override { return startError; }
  std::string endReason() const override { return reason; }
  void end(std::string why) {  // the program ends: its descriptor becomes readable
    ended = true, reason = std::move(why);
    ::close(std::exchange(endPipe[1], -1));
  }
  std::vector<std::tuple<std::string, unsigned long, bool>> starts;  // path, window, full screen
  bool startSucceeds = true, ended = false;
  int terminations = 0, endPipe[2] = {-1, -1};
  std::function<void()> onTerminate;
  std::string startError, reason;
};

class FakeUpdate : public UpdateStarter {
 public:
  void start(MessageTarget& target) override { ++starts, target.post(WM_UPDATECHECKDONE, 0); }
  std::string latestVersion() override { return latest; }
  void requestStop() override {}
  bool waitFor(std::chrono::steady_clock::time_point) override { return true; }
  void openDownloadPage() override { ++opened; }
  std::string latest;
  int starts = 0, opened = 0;
};

// A saver window over a memory store, fake services and short intervals.
struct SaverRig {
  explicit SaverRig(std::initializer_list<std::pair<const char*, uint32_t>> main = {}, int accounts = 1) {
    TEmlAccount a;
    a.name = "Account0", a.server = "mail.example.org", a.port = 143, a.folders = {"INBOX;Inbox"};
    SaveAccounts(store, AccountList(accounts, a));
    for (auto [name, value] : main) store.writeDword(kMainKey, name, value);
  }
  // A background program (an existing file) with the given switches on.
  std::string useBackground(std::initializer_list<const char*> switches = {}) {
    const std::string path = programs.path().toStdString() + "/hack";
    std::ofstream(path) << "x";
    for (const char* name : switches) store.writeDword(kMainKey, name, 1);
    store.writeDword(kMainKey, "useScreensaverBackground", 1);
    store.writeString(kMainKey, "screensaverPath", path);
    return path;
  }
  TfrmSaver& make() {
    saver = std::make_unique<TfrmSaver>(SaverDeps{
        .store = &store, .logDirectory = [this](std::string& dir) { return !(dir = logPath()).empty(); },
        .checkers = std::make_unique<FakeFactory>(bodies), .power = &power, .sound = &sound,
        .background = &background, .update = &update, .cursorPos = [this] { return cursor; },
        .random = [](int lo, int) { return lo; }, .closeWait = std::chrono::milliseconds(closeWaitMs), .intervals = {
            .fadeStep = 1, .initialize2WithBackground = 5, .initializeBlankWithBackground = 5, .move = 100000},
        .takeScreens = takeScreens});
    QObject::connect(saver.get(), &TfrmSaver::runEnded, [this] { ended = true; });
    return *saver;
  }
  TfrmSaver& run() {  // started, the panels shown
    make().start();
    EXPECT_TRUE(waitUntil([&] { return saver->panelsShown(); }));
    return *saver;
  }
  std::string logPath() const { return logDir.empty() ? logs.path().toStdString() + "/" : logDir; }
  std::string mainLog() const { return test::readAll(logPath() + "brivan.log"); }
  bool logged(const std::string& line) const { return mainLog().find(line) != std::string::npos; }

  MemoryRegistryStore store;
  QTemporaryDir logs, programs;
  std::string logDir;  // empty: `logs`
  std::map<std::string, FakeChecker::Body> bodies;
  FakeDisplayPower power;
  FakeNotificationSound sound;
  FakeBackground background;
  FakeUpdate update;
  QPoint cursor{500, 400};
  int closeWaitMs = 15000;
  bool takeScreens = false, ended = false;
  std::unique_ptr<TfrmSaver> saver;
};

// Started: checked at once, panels placed, timers running; a newer version
// is offered top-right and "U" opens its download page.
TEST(TfrmSaver, StartsUpChecksAtOnceAndOffersANewerVersion) {
  SaverRig rig({{"pollInterval", 60000}});
  rig.update.latest = "99.0.0.0";
  int checks = 0;
  rig.bodies["Account0"] = [&](FakeChecker& c) { ++checks, c.addRow("hello"), c.PublishResults(); };
  TfrmSaver& saver = rig.run();
  TfrmSaverTestPeer peer(saver);
  // The window's own colour repaints what panels uncover: no preview panel.
  EXPECT_EQ(std::tuple(saver.fadeOpacity(), rig.background.starts.size(), peer.pnlPreview->isVisible(),
                       peer.popMessages->isVisible(), peer.popMessages->pos(), peer.popDateTime),
            std::tuple(255, size_t{0}, false, true, QPoint(30, 60), nullptr));
  EXPECT_EQ(std::tuple(peer.tmrMailCheck.isActive(), peer.tmrMailCheck.interval(), peer.tmrMove.isActive()),
            std::tuple(true, 60000, true));
  ASSERT_TRUE(waitUntil([&] { return checks == 1 && peer.popMessages->lstMessages->count() == 3; }));
  EXPECT_EQ(peer.popMessages->lstMessages->rowLayout(2).plainText(), "- \nhello");
  EXPECT_TRUE(rig.logged("IMAP4:mail.example.org:143"));  // the main log was written afresh
  ASSERT_TRUE(waitUntil([&] { return rig.update.starts == 1 && peer.popUpdate && peer.popUpdate->isVisible(); }));
  EXPECT_EQ(std::pair(peer.updateOffered, peer.popUpdate->geometry().topRight()),
            std::pair(true, saver.clientArea().topRight()));
  EXPECT_NE(peer.popUpdate->lstUpdateMessage->text(0).find("99.0.0.0"), std::string::npos);
  peer.key(QEvent::KeyPress, Qt::Key_U, "u");
  EXPECT_EQ(std::pair(rig.ended, rig.update.opened), std::pair(true, 1));
}

// The program starts in the preview panel before the first cycle. Leaving
// hides the window before the program is asked to end, so its grace period
// never delays the desktop. One that dies after a good start is noticed at
// once: its window goes, the log says how it ended, nothing is left to end.
TEST(TfrmSaver, BackgroundProgramRunsInThePreviewPanel) {
  for (bool dies : {false, true}) {
    SCOPED_TRACE(dies ? "dies" : "runs");
    SaverRig rig;
    const std::string path = rig.useBackground();
    bool cycleSeenStart = false;
    rig.bodies["Account0"] = [&](FakeChecker&) { cycleSeenStart = !rig.background.starts.empty(); };
    TfrmSaver& saver = rig.run();
    TfrmSaverTestPeer peer(saver);
    const auto window = static_cast<unsigned long>(peer.pnlPreview->winId());
    EXPECT_EQ(rig.background.starts, (decltype(rig.background.starts){{path, window, false}}));
    EXPECT_TRUE(peer.pnlPreview->isVisible());
    ASSERT_TRUE(waitUntil([&] { return saver.cycle().liveCheckers() == 0 && !saver.cycle().firstCycle; }));
    EXPECT_TRUE(cycleSeenStart);
    if (dies) {
      rig.background.end("was ended by signal 11");
      EXPECT_TRUE(waitUntil([&] { return !peer.pnlPreview->isVisible(); }, 500));
      EXPECT_TRUE(rig.logged("The background screensaver " + path + " was ended by signal 11")) << rig.mainLog();
    }
    bool hiddenFirst = false;
    rig.background.onTerminate = [&] { hiddenFirst = !saver.isVisible(); };
    rig.cursor += QPoint(10, 0);
    ASSERT_TRUE(waitUntil([&] { return rig.ended; }));
    EXPECT_EQ(std::pair(rig.background.terminations, hiddenFirst), std::pair(dies ? 0 : 1, !dies));
  }
}

// A full-screen program shows through and ends the run when it exits; one
// that cannot start is logged with the reason and the plain colour fades in.
// A screen-capturing one keeps the window hidden at first: moving the
// pointer meanwhile still ends the run.
TEST(TfrmSaver, FullScreenAndScreenCapturingBackgrounds) {
  for (bool starts : {true, false}) {
    SCOPED_TRACE(starts ? "starts" : "cannot start");
    SaverRig rig;
    const std::string path = rig.useBackground({"supportNonPreviewSavers"});
    rig.background.startSucceeds = starts;
    rig.background.startError = "cannot run " + path + ": Permission denied";
    TfrmSaver& saver = rig.run();
    TfrmSaverTestPeer peer(saver);
    ASSERT_EQ(rig.background.starts.size(), 1u);
    EXPECT_EQ(std::tuple(std::get<2>(rig.background.starts[0]), saver.fadeOpacity(),
                         peer.tmrDetectScrnTerminate.isActive(), peer.pnlPreview->isVisible()),
              std::tuple(true, starts ? 1 : 255, starts, starts));
    EXPECT_EQ(rig.logged("Could not start the background screensaver " + path + ": " + rig.background.startError),
              !starts) << rig.mainLog();
    if (!starts) continue;
    QElapsedTimer t;
    t.start();
    rig.background.end("ended with status 0");
    ASSERT_TRUE(waitUntil([&] { return rig.ended; }, 1000));
    EXPECT_LT(t.elapsed(), 150);
  }
  SaverRig rig;
  rig.useBackground({"supportScreenCapSavers"});
  rig.takeScreens = true;
  rig.make().start();
  EXPECT_FALSE(rig.saver->isVisible());
  rig.cursor += QPoint(0, 10);
  EXPECT_TRUE(waitUntil([&] { return rig.ended; }, 1000));
}

// No accounts: one row and no cycle. A poll interval of zero runs only the
// first cycle; one the store could not hold is used as the settings bring it,
// with their one line in the log.
TEST(TfrmSaver, PollIntervalAndNoAccounts) {
  for (auto [stored, interval] : {std::pair{0u, 0}, {1u, 60000}}) {
    SCOPED_TRACE(stored);
    SaverRig rig({{"pollInterval", stored}});
    int checks = 0;
    rig.bodies["Account0"] = [&](FakeChecker&) { ++checks; };
    TfrmSaverTestPeer peer(rig.run());
    const QTimer& t = peer.tmrMailCheck;
    EXPECT_EQ(std::pair(t.isActive(), t.isActive() ? t.interval() : 0), std::pair(interval != 0, interval));
    EXPECT_TRUE(waitUntil([&] { return checks == 1; }));
    const std::string log = rig.mainLog();
    const size_t said = log.find("Setting \"pollInterval\" = 1 is out of range; 60000 is used");
    EXPECT_EQ(said != std::string::npos, stored == 1u) << log;
    EXPECT_TRUE(said == std::string::npos || log.find("pollInterval", said + 20) == std::string::npos) << "said once";
  }
  SaverRig rig({}, 0);
  TfrmSaverTestPeer peer(rig.run());
  EXPECT_EQ(std::tuple(peer.tmrMailCheck.isActive() || peer.tmrMove.isActive(),
                       peer.popMessages->lstMessages->count(), rig.saver->cycle().liveCheckers()),
            std::tuple(false, 1, size_t{0}));
}

// Four pixels of pointer movement in any direction end the run, three do
// not; a key press ends it (a "U" with no newer version offered opens nothing), a
// release does not, and the hide steps wake the monitor and give back the
// user's power settings.
TEST(TfrmSaver, PointerMovesOfFourPixelsAndKeyPressesEndTheRun) {
  for (QPoint d : {QPoint(4, 0), QPoint(-4, 0), QPoint(0, 4), QPoint(0, -4)}) {
    SCOPED_TRACE(::testing::Message() << d.x() << "," << d.y());
    SaverRig rig;
    const QPoint start = rig.cursor;
    rig.run();
    rig.cursor = start + d * 3 / 4;
    pump(250);
    EXPECT_FALSE(rig.ended);
    rig.cursor = start + d;
    EXPECT_TRUE(waitUntil([&] { return rig.ended; }, 1000));
    EXPECT_FALSE(rig.saver->isVisible());
  }
  SaverRig rig;
  rig.update.latest = "1.0.0.0";
  TfrmSaverTestPeer peer(rig.run());
  ASSERT_TRUE(waitUntil([&] { return rig.update.starts == 1 && peer.popUpdate; }));
  pump(20);
  EXPECT_FALSE(peer.updateOffered || peer.popUpdate->isVisible());
  peer.key(QEvent::KeyRelease, Qt::Key_Return);
  EXPECT_FALSE(rig.ended);
  peer.key(QEvent::KeyPress, Qt::Key_U, "u");
  EXPECT_EQ(std::pair(rig.ended, rig.update.opened), std::pair(true, 0));
  ASSERT_GE(rig.power.calls.size(), 2u);
  EXPECT_EQ(std::vector(rig.power.calls.end() - 2, rig.power.calls.end()), (std::vector<std::string>{"on", "restore"}));
}

// Rows published together are rebuilt together, once, after the list
// timer's delay; without a publish the list is never rebuilt.
TEST(TfrmSaver, ABurstOfPublishedRowsRebuildsTheListOnce) {
  SaverRig rig;
  std::atomic<int> step{0};  // 1: publish the burst, 2: end the check
  auto waitFor = [&](FakeChecker& c, int s) {
    while (step.load() < s && !c.stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  rig.bodies["Account0"] = [&](FakeChecker& c) {
    waitFor(c, 1);
    for (const char* subject : {"one", "two", "three"}) c.addRow(subject), c.PublishResults();
    waitFor(c, 2);
  };
  TfrmSaverTestPeer peer(rig.run());
  int rebuilds = 0;
  QObject::connect(&peer.tmrListUpdate, &QTimer::timeout, [&] { ++rebuilds; });
  auto settled = [&] { return pump(3 * peer.tmrListUpdate.interval()), !peer.tmrListUpdate.isActive(); };
  ASSERT_TRUE(settled());  // the checker's status rows, published while the run started
  const int before = rebuilds;
  step = 1;
  auto& list = *peer.popMessages->lstMessages;
  ASSERT_TRUE(waitUntil([&] { return list.count() > 0 && list.rowLayout(list.count() - 1).plainText() == "three"; }));
  ASSERT_TRUE(settled());
  EXPECT_EQ(rebuilds, before + 1);
  ASSERT_TRUE(settled());  // nothing published: no rebuild
  EXPECT_EQ(rebuilds, before + 1);
  step = 2;
}

TEST(TfrmSaver, EndOfCycleDrivesSoundPowerAndTheHiddenPanel) {
  SaverRig rig({{"hideAccounts", 1}, {"playNotification", 1}});
  rig.store.writeString(kMainKey, "notificationPath", "/tmp/mail.wav");
  bool mail = false;
  rig.bodies["Account0"] = [&](FakeChecker& c) {
    if (!mail) return c.SetStatus(status::kNoMsg, RowKind::NoMessages);
    c.addRow("news"), c.PublishResults(), c.markCycleHasMessages(), c.markNewMailArrived();
  };
  TfrmSaverTestPeer peer(rig.run());
  ASSERT_TRUE(waitUntil([&] { return peer.panelSuppressed && !peer.popMessages->isVisible(); }));
  peer.MovePanel();  // suppressed: neither moved nor shown
  EXPECT_FALSE(peer.popMessages->isVisible() || !rig.sound.played.empty());
  mail = true;
  peer.pollHandler();
  ASSERT_TRUE(waitUntil([&] { return !peer.panelSuppressed && peer.popMessages->isVisible(); }));
  EXPECT_EQ(rig.sound.played, std::vector<std::string>{"/tmp/mail.wav"});
}

TEST(TfrmSaver, MoveWaitsForTheFadeOutAndANewerMoveReplacesIt) {
  SaverRig rig;
  TfrmSaver& saver = rig.run();
  TfrmSaverTestPeer peer(saver);
  TpopMessages& panel = *peer.popMessages;
  ASSERT_TRUE(waitUntil([&] { return panel.opacity() == 255; }));
  peer.MovePanel();
  EXPECT_TRUE(panel.fadingOut());
  peer.MovePanel();  // a second move during the fade-out: still one fade, one show
  ASSERT_TRUE(waitUntil([&] { return !panel.fadingOut() && panel.isVisible(); }));
  EXPECT_EQ(panel.pos(), QPoint(10, 10));  // the random source gives the low end
  // A cycle that suppresses the panel while a move waits: it stays hidden.
  peer.MovePanel();
  peer.panelSuppressed = true;
  waitUntil([&] { return !panel.isVisible(); });
  pump(50);
  EXPECT_FALSE(panel.isVisible());
  peer.panelSuppressed = false;
  peer.MovePanel();
  ASSERT_TRUE(waitUntil([&] { return panel.isVisible(); }));
  // A close while a move waits for its fade-out leaves the panel hidden.
  peer.MovePanel();
  saver.closeRun();
  pump(100);
  EXPECT_FALSE(panel.isVisible());
}

// A screen the offscreen platform lacks, added and resized by the test.
class ExtraScreen : public QPlatformScreen {
 public:
  explicit ExtraScreen(QRect area) : area(area) {}
  QRect geometry() const override { return area; }
  int depth() const override { return 32; }
  QImage::Format format() const override { return QImage::Format_ARGB32_Premultiplied; }
  QRect area;
};

// A shown top-level window, neither the saver nor a panel, that covers `area`.
bool covered(const TfrmSaver& saver, QRect area) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != &saver && w->isVisible() && w->geometry() == area && !qobject_cast<PopupPanel*>(w)) return true;
  return false;
}

TEST(TfrmSaver, EveryScreenIsCoveredWhileShownAndFollowsResolutionChanges) {
  auto* second = new ExtraScreen(QRect(2000, 0, 640, 480));
  QWindowSystemInterface::handleScreenAdded(second);
  QScreen* primary = QGuiApplication::primaryScreen();
  const QRect before = primary->geometry(), bigger(0, 0, 1280, 1024);
  SaverRig rig;
  rig.store.writeDword(kModulesKey, "displayTime", 1);
  rig.takeScreens = true;
  TfrmSaver& saver = rig.make();
  TfrmSaverTestPeer peer(saver);
  saver.start();
  ASSERT_TRUE(saver.isVisible());
  EXPECT_TRUE(covered(saver, second->area)) << "from the moment the saver shows";
  ASSERT_TRUE(waitUntil([&] { return saver.panelsShown() && peer.popDateTime->width() < 300; }));
  second->area = QRect(1280, 0, 1024, 768);  // both screens change their resolution
  QWindowSystemInterface::handleScreenGeometryChange(second->screen(), second->area, second->area);
  QWindowSystemInterface::handleScreenGeometryChange(primary, bigger, bigger);
  EXPECT_TRUE(waitUntil([&] { return saver.geometry() == bigger; }));
  EXPECT_TRUE(covered(saver, second->area));
  EXPECT_EQ(peer.popDateTime->geometry().bottomRight(), bigger.bottomRight() - QPoint(20, 20)) << "the clock moved";
  saver.closeRun();
  EXPECT_FALSE(covered(saver, second->area));
  QWindowSystemInterface::handleScreenGeometryChange(primary, before, before);
  QWindowSystemInterface::handleScreenRemoved(second);
  QApplication::processEvents();
}

// A checker that ignores its stop request: after the close wait the process
// ends with status 100 and the halt line; a signal during the wait ends it
// at once instead of being swallowed until the wait runs out.
TEST(TfrmSaverDeathTest, HangingCheckerEndsTheProcessWithTheHaltLine) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares the parent's paths
  QTemporaryDir logs;
  const std::string dir = logs.path().toStdString() + "/";
  for (bool signal : {true, false}) {  // the last run leaves its log
    SCOPED_TRACE(signal ? "signal" : "close wait");
    const auto hangingClose = [&] {
      SaverRig rig;
      rig.logDir = dir;
      rig.closeWaitMs = signal ? 20000 : 200;
      rig.bodies["Account0"] = [](FakeChecker&) { for (;;) ::usleep(10000); };
      rig.run();
      waitUntil([&] { return rig.saver->cycle().liveCheckers() == 1; });
      if (signal) std::thread([] { ::usleep(300000), ::kill(::getpid(), SIGTERM); }).detach();
      rig.saver->closeRun();
      std::_Exit(7);
    };
    if (signal) EXPECT_EXIT(hangingClose(), ::testing::KilledBySignal(SIGTERM), "");
    else EXPECT_EXIT(hangingClose(), ::testing::ExitedWithCode(100), "");
  }
  EXPECT_NE(test::readAll(dir + "brivan.log").find("Brivane Halted at "), std::string::npos);
}

}  // namespace
}  // namespace brivane

#include "saver/frm_saver.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QSocketNotifier>
#include <QWindow>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "checking/connection_log.h"
#include "common/log_directory.h"
#include "common/messages.h"
#include "common/version.h"
#include "markup/markup_parser.h"
#include "desktop/foreign_drawn_widget.h"
#include "desktop/posted_target.h"
#include "platform/screensaver_program.h"
#include "desktop/compositor.h"
#include "desktop/x11_application.h"
#include "desktop/x11_host_window.h"
#include "settings/colors.h"

namespace brivane {

namespace {

bool realWindows() {
  static const bool real = QGuiApplication::platformName() != QLatin1String("offscreen") &&
                           QGuiApplication::platformName() != QLatin1String("minimal");
  return real;
}

// SIGTERM, SIGINT and SIGHUP end the run like any input: the handler only
// writes a byte into a pipe that the event loop watches. Once the run is
// closing (the desktop shown, workers waited for), nothing reads that pipe:
// a signal then ends the process at once, as the signal's default does.
std::atomic<int> signalPipeWrite{-1};
std::atomic<bool> runClosing{false};

extern "C" void onEndSignal(int sig) {
  const int savedErrno = errno;
  if (runClosing.load()) {
    std::signal(sig, SIG_DFL);
    ::raise(sig);
  }
  const int fd = signalPipeWrite.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

Qt::WindowFlags coverFlags() {
  // Above every other window and outside the window manager's care: the
  // saver covers the screen, it is not a window among others.
  return Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint;
}

constexpr int kGrabAttempts = 10;  // every 100 ms: one second in all
constexpr int kGrabRetryMs = 100;
constexpr int kMovePixels = 4;      // the pointer moved this far ends the run
constexpr int kDefaultPollInterval = 300000;

}  // namespace

TfrmSaver::TfrmSaver(SaverDeps deps, QWidget* parent)
    : QWidget(parent, coverFlags()), deps_(std::move(deps)), target_(std::make_unique<PostedTarget>(this)) {
  setObjectName(QStringLiteral("frmSaver"));
  setWindowTitle(QStringLiteral("Brivane"));
  if (hosted()) {
    // A child of the host's window: nothing to cover, nothing to grab.
    deps_.takeScreens = false;
    // Outside a window manager's care also when the host is the root window.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    // The panels are painted into this window's backing store: pnlPreview
    // being native must not make its siblings, the panels, native too.
    QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
  }
  // 1. and 2.: flags, then the message panel.
  popMessages = new TpopMessages(this);
  adoptPanel(popMessages);
  // 3.: the cycle with its result list, locks and flags.
  cycle_ = std::make_unique<CheckCycle>(*target_, std::move(deps_.checkers));
  cycle_->EndOfCycle = [this](bool last) { EndOfCycle(last); };
  // A publish after a rebuild wakes the window once; the rows that follow
  // within the list timer's delay join the same rebuild.
  cycle_->onListChanged = [target = target_.get()] { target->post(WM_LISTCHANGED, 0); };
  if (deps_.logDirectory) cycle_->logDirectory = deps_.logDirectory;
  // What earlier runs announced, in the log folder's "seen" folder (made
  // here, read at the first check): step 5 empties the log folder of files
  // only. Tests that give a log folder find the file there.
  std::string seenLogFolder;
  cycle_->memory = std::make_shared<CheckMemory>(
      !deps_.logDirectory                ? CheckMemory::saverStateFile()
      : deps_.logDirectory(seenLogFolder) ? CheckMemory::stateFileIn(seenLogFolder, "saver")
                                          : std::string());

  // 4.: settings and accounts, once for the run.
  std::vector<std::string> clamped;
  if (deps_.store != nullptr)
    LoadSettings(*deps_.store, settings_, windowColor_, panelWidth_, cycle_->Accounts, &clamped);
  cycle_->displayMsgPreview = settings_.displayMsgPreview;
  cycle_->fetchForPanel = true;
  // In a host's window a background program draws into pnlPreview only: a
  // window of its own would cover the screen outside the host's window.
  if (hosted()) settings_.supportNonPreviewSavers = settings_.supportScreenCapSavers = false;
  const uint32_t rgb = ColorToRgb(windowColor_);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(QRgb(0xFF000000u | rgb)));
  setPalette(pal);
  popMessages->setPanelSize({panelWidth_ > 0 ? panelWidth_ : TpopMessages::kDesignWidth, popMessages->height()});
  // Not in a host's window: the panels are child widgets there, painted
  // into this window's image.
  serverPaints_ = realWindows() && !hosted();
  if (serverPaints_) {
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
  }

  // 5.: log housekeeping.
  hasLogDir_ = deps_.logDirectory ? deps_.logDirectory(logDir_) : GetLogDirectory(logDir_);
  if (hasLogDir_) ResetLogFolder(logDir_, cycle_->Accounts);
  for (const std::string& line : clamped) logLine(line);

  pnlPreview = new ForeignDrawnWidget(this);
  pnlPreview->setObjectName(QStringLiteral("pnlPreview"));
  pnlPreview->setAutoFillBackground(false);
  pnlPreview->setAttribute(Qt::WA_TransparentForMouseEvents);
  // A native child window that only the background program draws into.
  pnlPreview->setAttribute(Qt::WA_NativeWindow);
  pnlPreview->setAttribute(Qt::WA_PaintOnScreen);
  pnlPreview->setAttribute(Qt::WA_NoSystemBackground);
  pnlPreview->setUpdatesEnabled(false);
  // Shown only while a background program draws into it: nothing repaints
  // its native window, so over the plain colour it would keep the image of
  // a panel that moved away.
  pnlPreview->hide();
  btnFocusSteal = new QPushButton(this);
  btnFocusSteal->setObjectName(QStringLiteral("btnFocusSteal"));
  btnFocusSteal->setGeometry(0, 0, 0, 0);
  btnFocusSteal->setFocus();

  // 10.: the panel's target opacity; the power steps look up the idle-timer reset.
  popMessages->setTag(settings_.overlayTransparency);
  power_ = std::make_unique<PowerSoundSteps>(settings_, *deps_.power, *deps_.sound, [this](bool run) {
    if (run && !tmrKeepDisplayOn.isActive()) tmrKeepDisplayOn.start();
    if (!run) tmrKeepDisplayOn.stop();
  });
  random_ = deps_.random ? RandomInRange(deps_.random) : ClockSeededRandom();
  view_ = std::make_unique<MessageView>(
      *popMessages, [this] { return clientArea(); }, [this] { moveDue_ = true; });
  view_->model.setSettings(settings_);

  const SaverIntervals& iv = deps_.intervals;
  for (QTimer* t : {&tmrInitialize2, &tmrListUpdate}) t->setSingleShot(true);
  tmrInitialize.setInterval(iv.initializeFirst);
  tmrListUpdate.setInterval(iv.listUpdate);
  tmrMove.setInterval(iv.move);
  tmrKeepDisplayOn.setInterval(iv.keepDisplayOn);
  tmrHideUpdateMsg.setInterval(iv.hideUpdateMsg);
  tmrDetectMouseMove.setInterval(iv.detectMouseMove);
  tmrDetectScrnTerminate.setInterval(iv.detectScrnTerminate);
  tmrFreshness.setInterval(iv.freshness);
  tmrFreshness.setTimerType(Qt::PreciseTimer);  // never early: a minute must have passed
  connect(&tmrInitialize, &QTimer::timeout, this, &TfrmSaver::onInitialize);
  connect(&tmrInitialize2, &QTimer::timeout, this, &TfrmSaver::onInitialize2);
  connect(&tmrInitializeBlank, &QTimer::timeout, this, &TfrmSaver::onInitializeBlank);
  connect(&tmrMailCheck, &QTimer::timeout, this, &TfrmSaver::pollHandler);
  connect(&tmrListUpdate, &QTimer::timeout, this, &TfrmSaver::onListUpdate);
  connect(&tmrMove, &QTimer::timeout, this, &TfrmSaver::MovePanel);
  connect(&tmrKeepDisplayOn, &QTimer::timeout, this, [this] { power_->keepDisplayOnTick(); });
  connect(&tmrHideUpdateMsg, &QTimer::timeout, this, &TfrmSaver::onHideUpdateMsg);
  connect(&tmrDetectMouseMove, &QTimer::timeout, this, &TfrmSaver::onDetectMouseMove);
  connect(&tmrDetectScrnTerminate, &QTimer::timeout, this, &TfrmSaver::onDetectScrnTerminate);
  connect(&tmrFreshness, &QTimer::timeout, this, [this] { view_->model.UpdateFreshness(*cycle_); });
  tmrBackgroundEnd_.setInterval(1000);
  connect(&tmrBackgroundEnd_, &QTimer::timeout, this, &TfrmSaver::onBackgroundEnded);
  popMessages->installEventFilter(this);
}

TfrmSaver::~TfrmSaver() {
  if (signalNotifier_ != nullptr) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) std::signal(sig, SIG_DFL);
    runClosing.store(false);
    const int fd = signalPipeWrite.exchange(-1);
    if (fd >= 0) ::close(fd);
    ::close(static_cast<int>(signalNotifier_->socket()));
  }
  if (qApp != nullptr) qApp->removeEventFilter(this);
  // Every checker has ended (the close request waited for them), or none ran.
  cycle_->closing = 1;
  cycle_->requestStopAll();
}

QRect TfrmSaver::clientArea() const {
  if (!deps_.takeScreens) return QRect(QPoint(0, 0), size());
  QScreen* s = QGuiApplication::primaryScreen();
  return s != nullptr ? s->geometry() : QRect(QPoint(0, 0), size());
}

QPoint TfrmSaver::cursorPos() const {
  if (deps_.cursorPos) return deps_.cursorPos();
  // In screen pixels: with a scaled desktop Qt reports device-independent
  // positions, and four pixels of movement must stay four pixels.
  QScreen* s = QGuiApplication::primaryScreen();
  const qreal ratio = s != nullptr ? s->devicePixelRatio() : 1.0;
  return (QPointF(QCursor::pos()) * ratio).toPoint();
}

void TfrmSaver::logLine(const std::string& text) {
  if (hasLogDir_) AppendMainLogLine(logDir_, logTimestamp() + " " + text);
}

QPaintEngine* TfrmSaver::paintEngine() const { return serverPaints_ ? nullptr : QWidget::paintEngine(); }

void TfrmSaver::paintEvent(QPaintEvent*) {
  if (serverPaints_) return;  // the X server fills what is exposed
  QPainter p(this);
  p.fillRect(rect(), palette().color(QPalette::Window));
}

void TfrmSaver::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  // The host window was resized: the run's whole area changed.
  if (hosted() && !closing_) fitPanels(true);
}

void TfrmSaver::adoptPanel(QWidget* panel) {
  if (hosted()) panel->setWindowFlags(Qt::Widget);
}

// --- start ------------------------------------------------------------------

void TfrmSaver::start() {
  setCursor(Qt::BlankCursor);
  for (PopupPanel* p : {static_cast<PopupPanel*>(popMessages)}) p->setCursor(Qt::BlankCursor);
  if (deps_.takeScreens) {
    coverScreens();
    connect(qApp, &QGuiApplication::screenAdded, this, &TfrmSaver::coverScreens);
    connect(qApp, &QGuiApplication::screenRemoved, this, &TfrmSaver::coverScreens);
    connect(qApp, &QGuiApplication::primaryScreenChanged, this, &TfrmSaver::coverScreens);
  } else if (hosted()) {
    deps_.host->onDestroyed = [this] {
      logLine("The host window ended the run");
      closeRun();
    };
    deps_.host->embed(this);
  } else {
    resize(1024, 768);
  }
  installSignalHandlers();
  pnlPreview->setGeometry(rect());
  setFadeOpacity(1);
  // A screen-capturing background must capture the desktop, not this
  // window: the window is created (the program needs pnlPreview's id) but
  // shown only when the second fade-in ends.
  holdWindow_ = settings_.supportScreenCapSavers && deps_.takeScreens;
  if (holdWindow_) {
    (void)winId();
    (void)pnlPreview->winId();
    // Until the window shows, the pointer is watched from the start: moving
    // it ends the run as it would over the window.
    startCursor = cursorPos();
    running_ = true;
    tmrDetectMouseMove.start();
    // ... and a key press too.
    if (realWindows()) {
      keyWatch_ = std::make_unique<X11KeyWatch>(
          [this] { QMetaObject::invokeMethod(this, &TfrmSaver::closeRun, Qt::QueuedConnection); });
    }
  } else {
    showWindow();
  }
  tmrInitialize.start();
}

void TfrmSaver::showWindow() {
  keyWatch_.reset();  // the window's own grab follows
  show();
  setFadeOpacity(fadeOpacity_);  // on the native window the show created
  if (serverPaints_) setServerBackground(this, ColorToRgb(windowColor_));
  raise();
  // The other screens are covered from the same moment.
  for (auto& w : otherScreens_) {
    if (w != nullptr) {
      w->show();
      w->raise();
    }
  }
  // When shown: the monitor is not lowered, the pointer's place is the
  // reference for movement, and the filter sees every event.
  power_->windowShown();
  if (!running_) startCursor = cursorPos();  // a run held until now keeps its reference
  qApp->installEventFilter(this);
  running_ = true;
  if (!hosted()) tmrDetectMouseMove.start();  // a host ends the run on input itself
  if (deps_.takeScreens) grabInput(0);
  if (deps_.takeScreens && realWindows() && !mapWatch_)
    mapWatch_ = std::make_unique<X11MapWatch>([this](unsigned long window) { restack(window); });
}

void TfrmSaver::restack(unsigned long mapped) {
  if (closing_ || !isVisible()) return;
  std::vector<QWidget*> own = {this, popMessages, popDateTime, popUpdate};
  for (auto& w : otherScreens_) own.push_back(w.data());
  for (QWidget* w : own) {
    if (w != nullptr && w->internalWinId() == mapped) return;  // one of ours
  }
  // A program in a full-screen window of its own stays above the saver window.
  if (!backgroundOwnWindow_) {
    raise();
    for (auto& w : otherScreens_) {
      if (w != nullptr) w->raise();
    }
  }
  for (PopupPanel* p : {static_cast<PopupPanel*>(popMessages), static_cast<PopupPanel*>(popDateTime),
                        static_cast<PopupPanel*>(popUpdate)}) {
    if (p != nullptr && p->isVisible()) p->raise();
  }
}

void TfrmSaver::coverScreens() {
  if (closing_) return;
  const QRect area = clientArea();
  const bool moved = area != geometry();
  setGeometry(area);
  pnlPreview->setGeometry(rect());
  // Every other screen gets a plain window of the background colour, shown
  // whenever the saver window is. A change of screens or resolutions moves
  // the windows there are: replacing them could take the focus from the run.
  std::vector<QScreen*> others;
  for (QScreen* s : QGuiApplication::screens()) {
    connect(s, &QScreen::geometryChanged, this, &TfrmSaver::coverScreens, Qt::UniqueConnection);
    if (s != QGuiApplication::primaryScreen()) others.push_back(s);
  }
  std::erase_if(otherScreens_, [](const QPointer<QWidget>& w) { return w.isNull(); });
  while (otherScreens_.size() > others.size()) {
    delete otherScreens_.back().data();
    otherScreens_.pop_back();
  }
  while (otherScreens_.size() < others.size()) {
    auto* w = new QWidget(nullptr, coverFlags() | Qt::WindowDoesNotAcceptFocus);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->setAttribute(Qt::WA_ShowWithoutActivating);
    w->setAutoFillBackground(true);
    w->setPalette(palette());
    w->setCursor(Qt::BlankCursor);
    otherScreens_.emplace_back(w);
  }
  for (size_t i = 0; i < others.size(); ++i) {
    QWidget* w = otherScreens_[i].data();
    w->setGeometry(others[i]->geometry());
    if (isVisible() && !w->isVisible()) {
      w->show();
      w->raise();
    }
  }
  fitPanels(moved);
}

void TfrmSaver::fitPanels(bool moved) {
  const QRect area = clientArea();
  pnlPreview->setGeometry(rect());
  // The panels stay on the primary screen (or in the host window), within its new size.
  if (popDateTime != nullptr) {
    popDateTime->setScreenOrigin(area.topLeft());
    popDateTime->setScreenSize(area.size());
  }
  if (moved && popUpdate != nullptr && popUpdate->isVisible())
    popUpdate->move(area.topLeft() + QPoint(area.width() - popUpdate->width(), 0));
  if (moved && panelsShown_) MovePanel();
  for (PopupPanel* p : {static_cast<PopupPanel*>(popMessages), static_cast<PopupPanel*>(popDateTime),
                        static_cast<PopupPanel*>(popUpdate)}) {
    if (p != nullptr && p->isVisible()) p->raise();
  }
}

void TfrmSaver::grabInput(int attempt) {
  // Keys must never reach the program underneath: grab both, and keep trying
  // for a second while another program still holds a grab.
  QWindow* w = windowHandle();
  if (w == nullptr || closing_) return;
  const bool keyboard = w->setKeyboardGrabEnabled(true);
  const bool mouse = w->setMouseGrabEnabled(true);
  if (keyboard && mouse) {
    // Every motion now reaches the filter: no need to wake ten times a
    // second to look at the pointer.
    tmrDetectMouseMove.stop();
    return;
  }
  if (attempt + 1 >= kGrabAttempts) {
    logLine(std::string("Could not grab the ") + (keyboard ? "pointer" : mouse ? "keyboard" : "keyboard and pointer"));
    return;
  }
  QTimer::singleShot(kGrabRetryMs, this, [this, attempt] { grabInput(attempt + 1); });
}

void TfrmSaver::releaseInput() {
  if (QWindow* w = windowHandle()) {
    w->setKeyboardGrabEnabled(false);
    w->setMouseGrabEnabled(false);
  }
}

void TfrmSaver::installSignalHandlers() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  signalPipeWrite.store(fds[1]);
  signalNotifier_ = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
  connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
    char buf[16];
    while (::read(static_cast<int>(signalNotifier_->socket()), buf, sizeof buf) > 0) {
    }
    closeRun();
  });
  struct sigaction sa {};
  sa.sa_handler = onEndSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void TfrmSaver::setFadeOpacity(int opacity) {
  fadeOpacity_ = std::clamp(opacity, 0, 255);
  // A child window's opacity reaches no compositor: the host shows it as it is.
  if (realWindows() && !hosted() && !setCompositorOpacity(this, fadeOpacity_)) setWindowOpacity(fadeOpacity_ / 255.0);
}

// --- the start-up chain -----------------------------------------------------

void TfrmSaver::onInitialize() {
  tmrInitialize.setInterval(deps_.intervals.fadeStep);
  if (!settings_.supportScreenCapSavers && fadeOpacity_ < 255) {
    setFadeOpacity(fadeOpacity_ + 5);
    return;
  }
  tmrInitialize.stop();
  backgroundRunning_ = false;
  const std::string& path = settings_.screensaverPath;
  if (!path.empty() && ::access(path.c_str(), F_OK) == 0) {
    StartBackground();
    tmrInitialize2.setInterval(deps_.intervals.initialize2WithBackground);
    tmrInitializeBlank.setInterval(deps_.intervals.initializeBlankWithBackground);
  } else {
    tmrInitialize2.setInterval(deps_.intervals.noBackground);
    tmrInitializeBlank.setInterval(deps_.intervals.noBackground);
  }
  tmrInitialize2.start();
}

void TfrmSaver::StartBackground() {
  const std::string& path = settings_.screensaverPath;
  const bool fullScreen = settings_.supportNonPreviewSavers;
  // The program draws into pnlPreview, a native child window that Qt never
  // paints; it is mapped with the saver window, before its id is handed on.
  pnlPreview->show();
  const auto window = static_cast<unsigned long>(pnlPreview->winId());
  backgroundRunning_ = deps_.background != nullptr && deps_.background->start(path, window, fullScreen);
  if (!backgroundRunning_) {
    pnlPreview->hide();
    const std::string why = deps_.background != nullptr ? deps_.background->error() : std::string();
    logLine("Could not start the background screensaver " + path + (why.empty() ? "" : ": " + why));
    return;
  }
  watchBackground();
  // A program in a full-screen window of its own shows through the saver
  // window, which goes see-through only now that the program runs. Programs
  // of the hack collections always draw into pnlPreview.
  backgroundOwnWindow_ = fullScreen && screensaverKind(path) == ScreensaverKind::Standard;
  if (backgroundOwnWindow_) setFadeOpacity(1);
  for (PopupPanel* p : {static_cast<PopupPanel*>(popMessages), static_cast<PopupPanel*>(popDateTime),
                        static_cast<PopupPanel*>(popUpdate)}) {
    if (p != nullptr && p->isVisible()) p->raise();
  }
}

void TfrmSaver::watchBackground() {
  const int fd = deps_.background->endDescriptor();
  if (fd >= 0) {
    backgroundEnd_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(backgroundEnd_, &QSocketNotifier::activated, this, &TfrmSaver::onBackgroundEnded);
  } else {
    tmrBackgroundEnd_.start();  // no descriptor to watch: asked once a second
  }
}

void TfrmSaver::stopWatchingBackground() {
  tmrBackgroundEnd_.stop();
  delete backgroundEnd_;
  backgroundEnd_ = nullptr;
}

void TfrmSaver::onBackgroundEnded() {
  if (closing_ || !backgroundRunning_ || deps_.background == nullptr) return;
  if (!deps_.background->hasEnded(std::chrono::milliseconds(0))) return;  // reaped here
  stopWatchingBackground();
  const std::string reason = deps_.background->endReason();
  logLine("The background screensaver " + settings_.screensaverPath + " " + (reason.empty() ? "ended" : reason));
  // A program in a full-screen window of its own ends the run (its detector
  // does that); one that drew into pnlPreview leaves the plain colour.
  if (settings_.supportNonPreviewSavers) return;
  backgroundRunning_ = false;
  pnlPreview->hide();
  update();
}

void TfrmSaver::onInitialize2() {
  tmrInitialize2.stop();
  if (!settings_.screensaverPath.empty()) tmrInitializeBlank.start();
  const QRect area = clientArea();
  if (settings_.displayDate || settings_.displayTime) {
    popDateTime = new TpopDateTime(this);
    adoptPanel(popDateTime);
    popDateTime->setCursor(Qt::BlankCursor);
    popDateTime->setTag(settings_.overlayTransparency);
    popDateTime->setScreenOrigin(area.topLeft());
    popDateTime->setScreenSize(area.size());
    popDateTime->move(area.topLeft() + QPoint(area.width(), area.height()));
    popDateTime->setShowDate(settings_.displayDate);
    popDateTime->setShowTime(settings_.displayTime);
  }
  view_->model.FillInitialList(cycle_->Accounts);
  // Also without accounts: the "not set up" row stands where mail would.
  popMessages->move(area.topLeft() + QPoint(30, 60));
  if (!cycle_->Accounts.empty()) {
    // A poll interval of 0 would fire without pause: only the first cycle
    // runs. A negative one is taken as the default.
    int interval = settings_.pollInterval < 0 ? kDefaultPollInterval : settings_.pollInterval;
    if (interval > 0) {
      tmrMailCheck.setInterval(interval);
      tmrMailCheck.start();
    }
    tmrMove.start();
    tmrFreshness.start();
    pollHandler();
  }
  if (moveDue_) {
    moveDue_ = false;
    MovePanel();
  }
  if (settings_.screensaverPath.empty()) tmrInitializeBlank.start();
}

void TfrmSaver::onInitializeBlank() {
  tmrInitializeBlank.setInterval(deps_.intervals.fadeStep);
  if (fadeOpacity_ < 255 && !backgroundOwnWindow_) {
    setFadeOpacity(fadeOpacity_ + 5);
    return;
  }
  tmrInitializeBlank.stop();
  if (settings_.supportNonPreviewSavers && backgroundRunning_) tmrDetectScrnTerminate.start();
  // A screen-capturing background has taken its picture of the desktop:
  // the saver window comes into view.
  if (holdWindow_) {
    holdWindow_ = false;
    showWindow();
  }
  if (popDateTime != nullptr) popDateTime->show();
  panelsShown_ = true;
  if (!panelSuppressed) popMessages->show();
  if (settings_.checkForUpdates && deps_.update != nullptr) {
    popUpdate = new TpopUpdate(this);
    adoptPanel(popUpdate);
    popUpdate->setCursor(Qt::BlankCursor);
    popUpdate->setTag(settings_.overlayTransparency);
    updateRunning_ = true;
    deps_.update->start(*target_);
  }
}

// --- the run ----------------------------------------------------------------

void TfrmSaver::pollHandler() { cycle_->StartCheckCycle(); }

void TfrmSaver::onListChanged() {
  // The first publish since the last rebuild starts the delay; what the
  // checkers publish within it is rebuilt with it, in one go.
  if (!closing_ && !tmrListUpdate.isActive()) tmrListUpdate.start();
}

void TfrmSaver::onListUpdate() {
  view_->model.RebuildList(*cycle_);
  // A move the list asked for runs now, with the rows complete and no lock held.
  if (moveDue_) {
    moveDue_ = false;
    MovePanel();
  }
}

void TfrmSaver::EndOfCycle(bool last) {
  if (!last || closing_) return;
  // The last rows of the cycle at once, not after the list timer's delay.
  tmrListUpdate.stop();
  onListUpdate();
  // The headers' minutes count from the checks' ends.
  tmrFreshness.start();
  power_->endOfCycle(cycle_->newMailArrived.load() != 0, cycle_->hasMessages.load() != 0);
  // The checkers' sessions are freed: give their pages back to the system
  // rather than hold them until the next cycle.
  malloc_trim(0);
  if (settings_.hideAccounts) {
    const bool has = cycle_->hasMessages.load() != 0;
    panelSuppressed = !has;
    if (popMessages->isVisible() && !has) popMessages->closeWithFade();
    if (!popMessages->isVisible() && has && panelsShown_) popMessages->show();
  }
}

void TfrmSaver::MovePanel() {
  if (panelSuppressed || closing_) return;
  const QRect area = clientArea();
  PanelPlaceInput in;
  in.clientWidth = area.width();
  in.clientHeight = area.height();
  in.panelWidth = popMessages->width();
  in.panelHeight = popMessages->height();
  if (popDateTime != nullptr) {
    in.dateTimeLeft = popDateTime->x() - area.left();
    in.dateTimeTop = popDateTime->y() - area.top();
  }
  const PanelPlace place = ChoosePanelPlace(in, random_);
  // A newer move replaces one still waiting for its fade-out.
  pendingMove_ = area.topLeft() + QPoint(place.x, place.y);
  if (popMessages->isVisible() && !popMessages->fadingOut()) popMessages->closeWithFade();
  if (!popMessages->isVisible()) finishMove();
  // Otherwise the move continues when the fade-out has hidden the panel.
}

void TfrmSaver::finishMove() {
  if (!pendingMove_) return;
  const QPoint to = *pendingMove_;
  pendingMove_.reset();
  popMessages->move(to);
  // The state may have changed while the panel faded out.
  if (closing_ || panelSuppressed || !isVisible() || !panelsShown_) return;
  popMessages->show();
}

void TfrmSaver::onHideUpdateMsg() {
  tmrHideUpdateMsg.stop();
  updateOffered = false;
  if (popUpdate != nullptr) popUpdate->closeWithFade();
}

void TfrmSaver::onUpdateCheckDone() {
  if (closing_ || !updateRunning_ || deps_.update == nullptr) return;
  const std::string latest = deps_.update->latestVersion();
  const auto version = parseVersion(latest);
  if (version && *version > programVersion() && popUpdate != nullptr) {
    const QRect area = clientArea();
    popUpdate->move(area.topLeft() + QPoint(area.width() - popUpdate->width(), 0));
    popUpdate->lstUpdateMessage->clear();
    popUpdate->lstUpdateMessage->add("<B>Version: </B>" + EscapeMarkup(latest) +
                                     "<BR><BR>Press <B>U</B> to update now");
    updateOffered = true;
    popUpdate->show();
    tmrHideUpdateMsg.start();
  }
  deps_.update->waitFor(std::chrono::steady_clock::now() + deps_.closeWait);
  updateRunning_ = false;
}

void TfrmSaver::onDetectScrnTerminate() {
  if (settings_.screensaverPath.empty() || !backgroundRunning_ || deps_.background == nullptr) return;
  if (deps_.background->hasEnded(std::chrono::milliseconds(5))) closeRun();
}

// --- input ------------------------------------------------------------------

void TfrmSaver::checkCursor(QPoint pos) {
  if (std::abs(pos.x() - startCursor.x()) >= kMovePixels || std::abs(pos.y() - startCursor.y()) >= kMovePixels) {
    closeRun();
  }
}

void TfrmSaver::onDetectMouseMove() {
  if (running_) checkCursor(cursorPos());
}

bool TfrmSaver::eventFilter(QObject* watched, QEvent* e) {
  if (watched == popMessages && e->type() == QEvent::Hide && pendingMove_) {
    QMetaObject::invokeMethod(this, &TfrmSaver::finishMove, Qt::QueuedConnection);
    return false;
  }
  // In a host window, input belongs to the host, which ends the run itself.
  if (!running_ || closing_ || hosted()) return false;
  switch (e->type()) {
    case QEvent::MouseMove:
      checkCursor(cursorPos());
      break;
    case QEvent::MouseButtonPress:
    case QEvent::Wheel:
      closeRun();
      break;
    case QEvent::KeyPress: {
      // Only a press: the release of the key that started the saver must not end it.
      auto* key = static_cast<QKeyEvent*>(e);
      if (key->key() == Qt::Key_U && updateOffered && deps_.update != nullptr) deps_.update->openDownloadPage();
      closeRun();
      return true;
    }
    case QEvent::KeyRelease:
      return true;
    case QEvent::ApplicationStateChange: {
      const auto state = QGuiApplication::applicationState();
      if (state == Qt::ApplicationActive) wasActive_ = true;
      else if (wasActive_) closeRun();
      break;
    }
    default:
      break;
  }
  return false;
}

bool TfrmSaver::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::type()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    if (m->message == WM_UPDATECHECKDONE) onUpdateCheckDone();
    else if (m->message == WM_LISTCHANGED) onListChanged();
    else cycle_->onDone(m->message, m->wParam);
    return true;
  }
  return QWidget::event(e);
}

// --- ending the run ---------------------------------------------------------

void TfrmSaver::closeEvent(QCloseEvent* e) {
  if (!closing_) closeRun();
  e->accept();
}

void TfrmSaver::hideSteps() {
  for (PopupPanel* p : {static_cast<PopupPanel*>(popUpdate), static_cast<PopupPanel*>(popDateTime),
                        static_cast<PopupPanel*>(popMessages)}) {
    if (p != nullptr && p->isVisible()) p->hide();
  }
  qApp->removeEventFilter(this);
  mapWatch_.reset();
  keyWatch_.reset();
  releaseInput();
  unsetCursor();
  power_->windowHidden();
  for (auto& w : otherScreens_) delete w.data();
  otherScreens_.clear();
  hide();
  FlushX11Display();
  // The user sees the desktop already: a program slow to end takes its
  // grace period from here on.
  stopWatchingBackground();
  if (backgroundRunning_ && deps_.background != nullptr) deps_.background->terminate();
}

void TfrmSaver::closeRun() {
  if (closing_) return;
  closing_ = true;
  if (signalNotifier_ != nullptr) runClosing.store(true);
  running_ = false;
  for (QTimer* t : {&tmrInitialize, &tmrInitialize2, &tmrInitializeBlank, &tmrMailCheck, &tmrListUpdate, &tmrMove,
                    &tmrKeepDisplayOn, &tmrHideUpdateMsg, &tmrDetectMouseMove, &tmrDetectScrnTerminate}) {
    t->stop();
  }
  tmrFreshness.stop();
  // Every worker is asked to stop first, so that their ending overlaps the
  // background program's grace period in the hide steps; then all are
  // waited for at once.
  const auto deadline = std::chrono::steady_clock::now() + deps_.closeWait;
  cycle_->requestStopAll();
  if (updateRunning_ && deps_.update != nullptr) deps_.update->requestStop();
  hideSteps();
  bool ended = cycle_->waitAll(deadline);
  if (updateRunning_ && deps_.update != nullptr) ended = deps_.update->waitFor(deadline) && ended;
  cycle_->closing = 1;
  if (!ended) {
    // A worker hangs: the process ends here, without running library exit
    // handlers under live threads.
    if (hasLogDir_) AppendHaltLine(logDir_);
    if (deps_.background != nullptr) deps_.background->kill();
    std::fflush(nullptr);
    std::_Exit(100);
  }
  emit runEnded();
}

void NoUpdateCheck::start(MessageTarget& target) { target.post(WM_UPDATECHECKDONE, 0); }

}  // namespace brivane

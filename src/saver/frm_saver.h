#pragma once
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "checking/check_cycle.h"
#include "platform/display_power.h"
#include "platform/notification_sound.h"
#include "platform/registry_store.h"
#include "saver/message_view.h"
#include "saver/panel_place.h"
#include "saver/popup_date_time.h"
#include "saver/popup_messages.h"
#include "saver/popup_update.h"
#include "saver/power_sound_steps.h"
#include "saver/saver_services.h"
#include "settings/settings.h"

class QSocketNotifier;

namespace brivane {

class PostedTarget;
class X11HostWindow;
class X11MapWatch;
class X11KeyWatch;

// Timer intervals of the saver window, in milliseconds (tests shorten them).
struct SaverIntervals {
  int initializeFirst = 1;             // first tick of tmrInitialize
  int fadeStep = 10;                   // every fade tick after the first
  int initialize2WithBackground = 1000;
  int initializeBlankWithBackground = 1000;
  int noBackground = 1;                // both one-shots when no background runs
  int listUpdate = 100;                // a publish's rows wait this long for the rows after them
  int move = 20000;
  int keepDisplayOn = 30000;
  int hideUpdateMsg = 5000;
  int detectMouseMove = 100;
  int detectScrnTerminate = 100;
  int freshness = 60000;  // the headers' "checked 5 min ago"
};

// What the saver window runs with. The run's own code passes the real
// services; tests pass fakes.
struct SaverDeps {
  RegistryStore* store = nullptr;  // settings and accounts, read once
  // The log folder (with its trailing "/"); false when there is none.
  std::function<bool(std::string&)> logDirectory;
  std::unique_ptr<CheckerFactory> checkers;  // empty: the real checkers
  DisplayPower* power = nullptr;             // required
  NotificationSound* sound = nullptr;        // required
  BackgroundLauncher* background = nullptr;  // empty: none can start
  UpdateStarter* update = nullptr;           // empty: no update check
  std::function<QPoint()> cursorPos;         // empty: the pointer's position
  std::function<int(int, int)> random;       // empty: seeded from the clock
  std::chrono::milliseconds closeWait{15000};
  SaverIntervals intervals;
  // Cover the screens and grab keyboard and pointer (off in window-less tests).
  bool takeScreens = true;
  // Set: the run draws inside this foreign window (a screensaver host's)
  // instead of covering the screens. The host owns input and display power:
  // nothing is grabbed, input does not end the run, and the caller passes a
  // DisplayPower that does nothing. The window follows the host window's
  // size; the host window's destruction ends the run. The panels are child
  // widgets inside it. Watched already (X11HostWindow::watch).
  X11HostWindow* host = nullptr;
};

// The full-screen saver window: owns the check cycle, the message list, the
// three panels, the settings and accounts for the whole run. A chain of
// one-shot timers brings the run up (fade in, background, initial list and
// first cycle, panels); `tmrMailCheck` starts cycles, `tmrListUpdate`
// (single shot, started by a checker's publish) rebuilds the list once for a
// burst of results, `tmrMove` moves the panel; any input ends the run.
// Between checks and moves nothing ticks faster than once a minute.
// Everything runs on the UI thread; checkers reach it only through the
// cycle's shared state and posted done messages.
class TfrmSaver : public QWidget {
  Q_OBJECT

 public:
  explicit TfrmSaver(SaverDeps deps, QWidget* parent = nullptr);
  ~TfrmSaver() override;

  // Shows the window on the primary screen and starts the run.
  void start();

  // The close request: hides everything, stops every worker and waits for
  // them at most the close wait; when they do not end, writes the halt line
  // and ends the process with exit status 100.
  void closeRun();

  CheckCycle& cycle() { return *cycle_; }
  MessageListModel& messageList() { return view_->model; }
  const SaverSettings& settings() const { return settings_; }
  int32_t panelWidth() const { return panelWidth_; }

  // The window's own opacity, 1..255 (kept here: the window system may
  // round or ignore what it is given).
  int fadeOpacity() const { return fadeOpacity_; }
  bool running() const { return running_; }
  bool panelsShown() const { return panelsShown_; }
  // The primary screen's area: every panel place is an offset from its origin.
  QRect clientArea() const;

  // Appends a line to the main log (with the time), when there is a log folder.
  void logLine(const std::string& text);

 signals:
  // The run has ended normally; the process may leave its event loop.
  void runEnded();

 protected:
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  // None while the X server paints the window (serverPaints_).
  QPaintEngine* paintEngine() const override;
  void resizeEvent(QResizeEvent* e) override;

 private:
  friend class TfrmSaverTestPeer;  // tests reach the controls, timers and panels

  // Controls.
  QWidget* pnlPreview;          // fills the window: the background draws into it
  QPushButton* btnFocusSteal;   // zero-sized, first in the tab order

  QTimer tmrInitialize, tmrInitialize2, tmrInitializeBlank, tmrMailCheck, tmrListUpdate, tmrMove,
      tmrKeepDisplayOn, tmrHideUpdateMsg, tmrDetectMouseMove, tmrDetectScrnTerminate;
  // Once a minute while accounts are checked, restarted at each cycle's end
  // so that its minutes count from the checks' ends: the headers say how
  // long ago each was last checked (only the header rows change).
  QTimer tmrFreshness;

  // Panels: the message panel always, the others when their settings ask.
  TpopMessages* popMessages;
  TpopDateTime* popDateTime = nullptr;
  TpopUpdate* popUpdate = nullptr;

  bool panelSuppressed = false;
  bool updateOffered = false;
  QPoint startCursor;

  // Handlers of the timers and the check cycle.
  void pollHandler();
  void StartBackground();
  void MovePanel();
  void EndOfCycle(bool last);
  void onInitialize();
  void onInitialize2();
  void onInitializeBlank();
  void onListChanged();  // a checker's publish (WM_LISTCHANGED)
  void onListUpdate();
  void onDetectMouseMove();
  void onDetectScrnTerminate();
  void onHideUpdateMsg();
  void onUpdateCheckDone();
  void finishMove();
  void checkCursor(QPoint pos);
  void setFadeOpacity(int opacity);
  void coverScreens();
  // The panels and the background follow a new size of the run's area.
  void fitPanels(bool moved);
  // In a host window the panels are child widgets (no windows of their own).
  void adoptPanel(QWidget* panel);
  bool hosted() const { return deps_.host != nullptr; }
  void showWindow();
  void grabInput(int attempt);
  void releaseInput();
  void hideSteps();
  void installSignalHandlers();
  // The background program's end, noticed as it happens (its process
  // descriptor) or, without one, once a second.
  void watchBackground();
  void stopWatchingBackground();
  void onBackgroundEnded();
  // Above every window mapped while the saver shows.
  void restack(unsigned long mapped);
  QPoint cursorPos() const;

  SaverDeps deps_;
  std::unique_ptr<PostedTarget> target_;
  std::unique_ptr<CheckCycle> cycle_;
  SaverSettings settings_;
  TColor windowColor_ = 0;
  // The X server fills the full-screen window with its colour: no image of
  // the screen's size in the program, no repaint when a panel uncovers it.
  bool serverPaints_ = false;
  int32_t panelWidth_ = 350;
  std::string logDir_;
  bool hasLogDir_ = false;
  std::unique_ptr<MessageView> view_;
  std::unique_ptr<PowerSoundSteps> power_;
  RandomInRange random_;
  int fadeOpacity_ = 1;
  bool running_ = false;
  bool closing_ = false;
  bool panelsShown_ = false;
  bool moveDue_ = false;
  bool wasActive_ = false;
  bool backgroundRunning_ = false;
  bool backgroundOwnWindow_ = false;
  bool holdWindow_ = false;  // not shown before the second fade-in ends  // a full-screen program shows through the window
  bool updateRunning_ = false;
  std::optional<QPoint> pendingMove_;
  std::vector<QPointer<QWidget>> otherScreens_;
  QSocketNotifier* signalNotifier_ = nullptr;
  QSocketNotifier* backgroundEnd_ = nullptr;
  QTimer tmrBackgroundEnd_;
  std::unique_ptr<X11MapWatch> mapWatch_;
  std::unique_ptr<X11KeyWatch> keyWatch_;  // keys while the window is held back
};

}  // namespace brivane

#include "app/run_modes.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/command_line.h"

#ifdef BRIVANE_HAVE_SAVER
#include <QApplication>
#include <QDesktopServices>
#include <QSocketNotifier>
#include <QUrl>

#include "app/instance_guard.h"
#include "checking/connection_log.h"
#include "common/log_directory.h"
#include "config_ui/frm_options.h"
#include "desktop/canberra_sound.h"
#include "desktop/x11_application.h"
#include "desktop/x11_display_power.h"
#include "desktop/x11_host_window.h"
#include "common/xdg_paths.h"
#include "settings/colors.h"
#include "platform/http_fetch.h"
#include "platform/screensaver_background.h"
#include "saver/frm_saver.h"
#include "saver/saver_preview.h"
#include "settings/settings.h"
#include "update/update_addresses.h"
#include "update/update_check_starter.h"
#endif

namespace brivane {

namespace {

#ifndef BRIVANE_HAVE_SAVER
// A build without windows (the core alone).
int notAvailable(const char* what) {
  std::fprintf(stderr, "brivane: the %s is not available in this build\n", what);
  return kExitModeNotAvailable;
}

int runPreview(int32_t, int, char**) { return notAvailable("preview"); }
int runHosted(unsigned long) { return notAvailable("screensaver"); }
int runFullScreen(int32_t, int, char**) { return notAvailable("full-screen saver"); }
int runSettingsDialog(int32_t, int, char**) { return notAvailable("settings dialog"); }
#else

// The saver draws on X11. Without a display Qt would abort: say so and end.
bool haveDisplay() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && !platform.startsWith("xcb")) return true;  // offscreen runs, tests
  std::string error;
  if (!CanOpenX11Display(error)) {
    std::fprintf(stderr, "brivane: %s\n", error.c_str());
    return false;
  }
  if (platform.isEmpty()) qputenv("QT_QPA_PLATFORM", "xcb");
  return true;
}

// The saver's modes (/s, /p, a host's window) draw on X11 only: DISPLAY
// itself must be set (a Wayland session without XWayland has none, and Qt
// would pick its Wayland platform) and open. Offscreen test runs need none.
bool haveX11Display() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform == "offscreen" || platform == "minimal") return true;
  if (qgetenv("DISPLAY").isEmpty()) {
    std::fprintf(stderr, "brivane: DISPLAY is not set: the screensaver runs only on an X11 display%s\n",
                 isWaylandSession() ? " (this Wayland session has no XWayland)" : "");
    return false;
  }
  std::string error;
  if (!CanOpenX11Display(error)) {
    std::fprintf(stderr, "brivane: %s\n", error.c_str());
    return false;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  return true;
}

SaverSettings loadSaverSettings() {
  SaverSettings settings;
  std::unique_ptr<FileRegistryStore> store = OpenSettingsStore();
  TColor color = 0;
  int32_t width = 0;
  AccountList accounts;
  if (store) LoadSettings(*store, settings, color, width, accounts);
  return settings;
}

int runPreview(int32_t parentWindow, int /*argc*/, char** /*argv*/) {
  if (!haveX11Display()) return 1;
  return RunSaverPreview(static_cast<unsigned long>(static_cast<uint32_t>(parentWindow)), loadSaverSettings(),
                         [] { ReleaseInstanceGuard(); });
}

// The saver's run in the application `app`: full screen, or inside `host`.
int runSaver(QApplication& app, X11HostWindow* host) {
  std::string storeError;
  std::unique_ptr<FileRegistryStore> store = OpenSettingsStore(&storeError);
  std::string logDir;
  const bool hasLogDir = GetLogDirectory(logDir);
  auto log = [hasLogDir, logDir](const std::string& line) {
    if (hasLogDir) AppendMainLogLine(logDir, logTimestamp() + " " + line);
  };
  // A lost X server ends the run with a line in the log, not silently.
  EndOnX11ConnectionLoss([log] { log("Lost the connection to the X server; Brivane ended"); });
  // In a host's window the host owns the monitor's power.
  std::unique_ptr<DisplayPower> power;
  if (host != nullptr) power = std::make_unique<NoDisplayPower>();
  else power = std::make_unique<X11DisplayPower>(ApplicationX11Display(), log);
  CanberraSound sound(log);
  ScreensaverBackground background;
  CurlHttpFetcher fetcher;
  UpdateCheckStarter update(updateAddresses(), fetcher, [](const std::string& address) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
  });

  SaverDeps deps;
  // Tests on a slow machine lengthen the time a screen-capturing background
  // keeps the window back ($BRIVANE_BACKGROUND_HOLD_MS, up to a minute), so
  // what happens within it can be watched.
  if (const char* text = std::getenv("BRIVANE_BACKGROUND_HOLD_MS")) {
    const std::string_view s(text);
    int ms = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), ms);
    if (ec == std::errc() && end == s.data() + s.size() && ms > 0 && ms <= 60000)
      deps.intervals.initialize2WithBackground = ms;
  }
  deps.store = store.get();
  deps.logDirectory = [hasLogDir, logDir](std::string& dir) {
    dir = logDir;
    return hasLogDir;
  };
  deps.power = power.get();
  deps.host = host;
  deps.sound = &sound;
  deps.background = &background;
  deps.update = &update;
  TfrmSaver saver(std::move(deps));
  if (!storeError.empty()) saver.logLine("Settings not read: " + storeError);
  QObject::connect(&saver, &TfrmSaver::runEnded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  saver.start();
  return QApplication::exec();
}

int runFullScreen(int32_t /*parentWindow*/, int argc, char** argv) {
  if (!haveX11Display()) return 1;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brivane"));
  QApplication::setQuitOnLastWindowClosed(false);
  return runSaver(app, nullptr);
}

// Another copy runs the saver: the host's window shows the background
// colour only, until the window goes or a signal ends the copy.
int runHostedColour(QApplication& app, X11HostWindow& host, int signalFd) {
  SaverSettings settings;
  TColor color = 0;
  int32_t width = 0;
  AccountList accounts;
  if (std::unique_ptr<FileRegistryStore> store = OpenSettingsStore()) LoadSettings(*store, settings, color, width, accounts);
  QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, QColor(QRgb(0xFF000000u | ColorToRgb(color))));
  window.setPalette(palette);
  window.setAutoFillBackground(true);
  window.setCursor(Qt::BlankCursor);
  host.onDestroyed = [&app] { app.quit(); };
  host.embed(&window);
  std::unique_ptr<QSocketNotifier> signalled;
  if (signalFd >= 0) {
    signalled = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    QObject::connect(signalled.get(), &QSocketNotifier::activated, &app, &QCoreApplication::quit);
  }
  window.show();
  return QApplication::exec();
}

int runHosted(unsigned long window) {
  if (!haveX11Display()) return 1;
  const bool first = TakeInstanceGuard();
  // The colour-only copy ends on these signals through a descriptor that the
  // event loop watches; blocked before any thread starts, so every thread
  // leaves them to it. (The saver installs its own handlers.)
  int signalFd = -1;
  if (!first) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  static int argc = 1;
  static char name[] = "brivane";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brivane"));
  QApplication::setQuitOnLastWindowClosed(false);
  X11HostWindow host(window);
  std::string error;
  if (!host.watch(error)) {
    std::fprintf(stderr, "brivane: %s\n", error.c_str());
    return 1;
  }
  const int status = first ? runSaver(app, &host) : runHostedColour(app, host, signalFd);
  if (signalFd >= 0) ::close(signalFd);
  ReleaseInstanceGuard();
  return status;
}

// The settings dialog is the main window: closing it ends the program.
int runSettingsDialog(int32_t parentWindow, int argc, char** argv) {
  if (!haveDisplay()) return 1;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brivane"));

  std::string storeError;
  std::unique_ptr<FileRegistryStore> store = OpenSettingsStore(&storeError);
  CanberraSound sound;
  CurlHttpFetcher fetcher;
  OptionsDeps deps;
  deps.store = store.get();
  deps.storeLoadError = storeError;
  deps.sound = &sound;
  deps.fetcher = &fetcher;
  deps.addresses = updateAddresses();
  deps.openUrl = [](const std::string& address) { QDesktopServices::openUrl(QUrl(QString::fromStdString(address))); };
  // The window id as X11 knows it (the command line's number, read unsigned).
  deps.parentWindow = static_cast<uint32_t>(parentWindow);
  TfrmOptions dialog(std::move(deps));
  dialog.show();
  return QApplication::exec();
}
#endif

}  // namespace

int RunHostedMode(unsigned long window) { return runHosted(window); }

int RunSelectedMode(uint8_t runMode, int32_t parentWindow, int argc, char** argv) {
  switch (runMode) {
    case kRunPreview:
      // No window to draw into: nothing to do.
      if (parentWindow == 0) return 0;
      return runPreview(parentWindow, argc, argv);
    case kRunFullScreen:
      return runFullScreen(parentWindow, argc, argv);
    default:
      return runSettingsDialog(parentWindow, argc, argv);
  }
}

}  // namespace brivane

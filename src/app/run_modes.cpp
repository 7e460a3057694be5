#include "app/run_modes.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/command_line.h"

#ifdef BRIVANE_HAVE_SAVER
#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

#include "app/instance_guard.h"
#include "checking/connection_log.h"
#include "common/log_directory.h"
#include "config_ui/frm_options.h"
#include "desktop/canberra_sound.h"
#include "desktop/x11_application.h"
#include "desktop/x11_display_power.h"
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
  if (!haveDisplay()) return 1;
  return RunSaverPreview(static_cast<unsigned long>(static_cast<uint32_t>(parentWindow)), loadSaverSettings(),
                         [] { ReleaseInstanceGuard(); });
}


int runFullScreen(int32_t /*parentWindow*/, int argc, char** argv) {
  if (!haveDisplay()) return 1;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Brivane"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::string storeError;
  std::unique_ptr<FileRegistryStore> store = OpenSettingsStore(&storeError);
  std::string logDir;
  const bool hasLogDir = GetLogDirectory(logDir);
  auto log = [hasLogDir, logDir](const std::string& line) {
    if (hasLogDir) AppendMainLogLine(logDir, logTimestamp() + " " + line);
  };
  // A lost X server ends the run with a line in the log, not silently.
  EndOnX11ConnectionLoss([log] { log("Lost the connection to the X server; Brivane ended"); });
  X11DisplayPower power(ApplicationX11Display(), log);
  CanberraSound sound(log);
  ScreensaverBackground background;
  CurlHttpFetcher fetcher;
  UpdateCheckStarter update(updateAddresses(), fetcher, [](const std::string& address) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
  });

  SaverDeps deps;
  deps.store = store.get();
  deps.logDirectory = [hasLogDir, logDir](std::string& dir) {
    dir = logDir;
    return hasLogDir;
  };
  deps.power = &power;
  deps.sound = &sound;
  deps.background = &background;
  deps.update = &update;
  TfrmSaver saver(std::move(deps));
  if (!storeError.empty()) saver.logLine("Settings not read: " + storeError);
  QObject::connect(&saver, &TfrmSaver::runEnded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  saver.start();
  return QApplication::exec();
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

#include "app/idle_mode.h"

#include <cstdio>

#ifdef BRIVANE_HAVE_SAVER
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "checking/connection_log.h"
#include "common/log_directory.h"
#include "common/xdg_paths.h"
#include "desktop/screensaver_service.h"
#include "desktop/x11_idle_monitor.h"
#include "platform/idle_lock.h"
#include "platform/idle_watch.h"
#include "platform/process_launcher.h"
#include "settings/settings.h"

#endif

namespace brivane {

#ifndef BRIVANE_HAVE_SAVER
int idleModeMain(const std::vector<std::string>&) {
  std::fprintf(stderr, "brivane: the idle watcher is not available in this build\n");
  return 3;
}
#else

namespace {

using Log = std::function<void(const std::string&)>;

std::atomic<int> signalPipeWrite{-1};

void onEndSignal(int) {
  const int fd = signalPipeWrite.load();
  if (fd >= 0) {
    const char byte = 1;
    (void)!::write(fd, &byte, 1);
  }
}

int64_t monotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// $BRIVANE_IDLE_SECONDS as milliseconds, or 0 when it is not a positive number.
int64_t idleSecondsOverride() {
  const char* text = std::getenv("BRIVANE_IDLE_SECONDS");
  if (text == nullptr) return 0;
  const std::string_view s(text);
  int64_t seconds = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), seconds);
  if (ec != std::errc() || end != s.data() + s.size() || seconds <= 0 || seconds > 24 * 3600) return 0;
  return seconds * 1000;
}

// The idle time the settings ask for. A store that does not exist yet is
// not created here: the defaults apply.
int64_t settingsIdleTime() {
  if (const int64_t overridden = idleSecondsOverride()) return overridden;
  SaverSettings settings;
  const std::string path = FileRegistryStore::defaultPath();
  std::error_code ec;
  if (!path.empty() && std::filesystem::exists(path, ec)) {
    FileRegistryStore store(path);
    TColor color = 0;
    int32_t width = 0;
    AccountList accounts;
    if (store.load()) LoadSettings(store, settings, color, width, accounts);
  }
  return int64_t{settings.startAfterMinutes} * 60000;
}

// The program started as the saver: this executable with "/s", or for
// tests the program named by $BRIVANE_IDLE_SAVER.
std::string saverProgram() {
  if (const char* standIn = std::getenv("BRIVANE_IDLE_SAVER"); standIn != nullptr && *standIn != '\0')
    return standIn;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  return QCoreApplication::applicationFilePath().toStdString();
}

class ServiceInhibitors : public IdleInhibitors {
 public:
  bool inhibited() const override { return service.inhibited(); }
  void setActive(bool active) override { service.setActive(active); }
  ScreenSaverService service;
};

// Connects the session bus's org.freedesktop.ScreenSaver service to the
// watcher: its inhibitors and their changes, SimulateUserActivity, and
// GetActive (through setActive). When the name belongs to another program
// (a desktop's own screensaver), the log says so and only full-screen
// windows hold the saver off.
std::unique_ptr<IdleInhibitors> connectScreenSaverService(std::function<void(bool)> onInhibitedChanged,
                                                          std::function<void()> onUserActivity, const Log& log) {
  auto inhibitors = std::make_unique<ServiceInhibitors>();
  ScreenSaverService* service = &inhibitors->service;
  // The service's own lines (name taken or lost, who keeps the screen on)
  // go to the main log too.
  service->setLog(log);
  QObject::connect(service, &ScreenSaverService::inhibitedChanged, service,
                   [onInhibitedChanged](bool inhibited) { onInhibitedChanged(inhibited); });
  QObject::connect(service, &ScreenSaverService::userActivity, service, [onUserActivity] { onUserActivity(); });
  std::string error;
  if (!service->registerOnBus(error))
    log("Idle watcher: not serving org.freedesktop.ScreenSaver (" + error +
        "); only full-screen windows hold the screensaver off");
  return inhibitors;
}

// The event loop's side of the watcher: one single-shot timer to the next
// decision, the saver's end descriptor, the X connection, the store file and
// the end signals.
class IdleWatcher : public QObject {
 public:
  IdleWatcher(X11IdleMonitor& monitor, Log log) : monitor_(monitor), log_(std::move(log)) {
    // The store is watched before its first reading, so that no save slips
    // between the two (reaching the bus may take a while).
    watchSettings();
    inhibitors_ = connectScreenSaverService(
        [this](bool inhibited) {
          if (!watch_) return;
          watch_->inhibitedChanged(inhibited);
          if (!watch_->saverRunning()) schedule(watch_->wake());
        },
        [this] {
          if (!watch_) return;
          watch_->userActivity();
          if (!watch_->saverRunning()) schedule(watch_->wake());
        },
        log_);
    IdleWatch::Deps deps;
    deps.sensor = &monitor_;
    deps.inhibitors = inhibitors_.get();
    deps.startSaver = [this](std::string& error) { return startSaver(error); };
    deps.log = log_;
    deps.now = monotonicMs;
    watch_ = std::make_unique<IdleWatch>(std::move(deps), settingsIdleTime());
    if (inhibitors_->inhibited()) watch_->inhibitedChanged(true);

    tmrWake_.setSingleShot(true);
    tmrWake_.setTimerType(Qt::PreciseTimer);
    connect(&tmrWake_, &QTimer::timeout, this, [this] { schedule(watch_->wake()); });

    xNotifier_ = new QSocketNotifier(monitor_.connectionFd(), QSocketNotifier::Read, this);
    connect(xNotifier_, &QSocketNotifier::activated, this, [this] { monitor_.checkConnection(); });
  }

  void start() { schedule(watch_->wake()); }
  int64_t idleTime() const { return watch_->idleTime(); }

  // Ends the saver and lets go of the X server's saver and the service.
  void stop() {
    tmrWake_.stop();
    watch_->stop();
    if (launcher_.pid() != 0 && !launcher_.hasEnded(std::chrono::milliseconds(0))) {
      launcher_.terminate();
      log_("Idle watcher: ended the screensaver");
    }
  }

 private:
  void schedule(int64_t ms) {
    if (ms == IdleWatch::kNoWake) {
      tmrWake_.stop();
      return;
    }
    tmrWake_.start(static_cast<int>(std::clamp<int64_t>(ms, 1, INT32_MAX)));
  }

  bool startSaver(std::string& error) {
    const std::string program = saverProgram();
    if (!launcher_.start({program, "/s"})) {
      error = launcher_.error();
      return false;
    }
    delete saverEnd_;
    saverEnd_ = nullptr;
    if (launcher_.endDescriptor() >= 0) {
      saverEnd_ = new QSocketNotifier(launcher_.endDescriptor(), QSocketNotifier::Read, this);
      connect(saverEnd_, &QSocketNotifier::activated, this, &IdleWatcher::onSaverEnd);
    } else {
      // No process descriptor from the kernel: asked once a second.
      saverEnd_ = nullptr;
      QTimer::singleShot(1000, this, &IdleWatcher::onSaverEnd);
    }
    return true;
  }

  void onSaverEnd() {
    if (!launcher_.hasEnded(std::chrono::milliseconds(0))) {
      if (saverEnd_ == nullptr) QTimer::singleShot(1000, this, &IdleWatcher::onSaverEnd);
      return;
    }
    if (saverEnd_ != nullptr) {
      saverEnd_->setEnabled(false);
      saverEnd_->deleteLater();
      saverEnd_ = nullptr;
    }
    watch_->saverEnded(launcher_.endReason());
    schedule(watch_->wake());
  }

  // The store is replaced by a rename on every save, so its folder is
  // watched as well as the file; changes are read once they settle.
  void watchSettings() {
    const std::string path = FileRegistryStore::defaultPath();
    if (path.empty()) return;
    storePath_ = QString::fromStdString(path);
    tmrSettings_.setSingleShot(true);
    tmrSettings_.setInterval(250);
    connect(&tmrSettings_, &QTimer::timeout, this, &IdleWatcher::onSettingsChanged);
    connect(&settingsWatch_, &QFileSystemWatcher::fileChanged, this, [this] { tmrSettings_.start(); });
    connect(&settingsWatch_, &QFileSystemWatcher::directoryChanged, this, [this] { tmrSettings_.start(); });
    followStoreFile();
  }

  // Watches the store file and its folder; while the folder does not exist
  // yet (nothing was ever saved), the nearest folder above it that does.
  void followStoreFile() {
    QString folder = QFileInfo(storePath_).absolutePath();
    while (!QFileInfo(folder).isDir() && folder != QStringLiteral("/")) folder = QFileInfo(folder).absolutePath();
    for (const QString& watched : settingsWatch_.directories())
      if (watched != folder) settingsWatch_.removePath(watched);
    if (!settingsWatch_.directories().contains(folder)) settingsWatch_.addPath(folder);
    if (QFileInfo::exists(storePath_) && !settingsWatch_.files().contains(storePath_))
      settingsWatch_.addPath(storePath_);
  }

  void onSettingsChanged() {
    followStoreFile();
    const int64_t before = watch_->idleTime();
    watch_->setIdleTime(settingsIdleTime());
    if (watch_->idleTime() != before && !watch_->saverRunning()) schedule(watch_->wake());
  }

  X11IdleMonitor& monitor_;
  Log log_;
  std::unique_ptr<IdleInhibitors> inhibitors_;
  std::unique_ptr<IdleWatch> watch_;
  ProcessLauncher launcher_;
  QTimer tmrWake_;
  QTimer tmrSettings_;
  QFileSystemWatcher settingsWatch_;
  QString storePath_;
  QSocketNotifier* xNotifier_ = nullptr;
  QSocketNotifier* saverEnd_ = nullptr;
};

std::string minutesText(int64_t ms) {
  if (ms % 60000 == 0) return std::to_string(ms / 60000) + " min";
  return std::to_string(ms / 1000) + " s";
}

}  // namespace

int idleModeMain(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "brivane: --idle takes no arguments\n");
    return 2;
  }
  if (isWaylandSession()) {
    std::fprintf(stderr,
                 "brivane: --idle does not run in a Wayland session (the X server's idle time misses input to "
                 "Wayland windows)\n");
    return 1;
  }
  const char* displayName = std::getenv("DISPLAY");
  if (displayName == nullptr || *displayName == '\0') {
    std::fprintf(stderr, "brivane: --idle needs an X display, and DISPLAY is not set\n");
    return 1;
  }
  const std::string display = displayName;
  X11IdleMonitor monitor;
  std::string error;
  if (!monitor.open(error)) {
    std::fprintf(stderr, "brivane: --idle: %s\n", error.c_str());
    return 1;
  }
  // One watcher per display: a second one is no fault (a login autostart
  // and a manual start meet), so it ends with 0.
  const std::string lockPath = idleLockPath(display);
  IdleLock lock;
  switch (lock.tryAcquire(lockPath)) {
    case InstanceLockResult::Acquired:
      break;
    case InstanceLockResult::AlreadyHeld: {
      const pid_t other = runningIdleWatcher(lockPath);
      const std::string who = other > 0 ? " (process " + std::to_string(other) + ")" : std::string();
      std::fprintf(stderr, "brivane: an idle watcher is already running for display %s%s\n", display.c_str(),
                   who.c_str());
      return 0;
    }
    default:
      std::fprintf(stderr, "brivane: --idle: cannot take the lock %s\n", lockPath.c_str());
      return 1;
  }

  std::string logDir;
  const bool hasLogDir = GetLogDirectory(logDir);
  const Log log = [hasLogDir, logDir](const std::string& line) {
    if (hasLogDir) AppendMainLogLine(logDir, logTimestamp() + " " + line);
  };
  X11IdleMonitor::setConnectionLossHandler(
      [log] { log("Idle watcher: lost the connection to the X server; the idle watcher ended"); });

  static int argc = 1;
  static char name[] = "brivane";
  static char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Brivane"));

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "brivane: --idle: cannot set up its signal handling\n");
    return 1;
  }
  signalPipeWrite.store(fds[1]);
  QSocketNotifier signalNotifier(fds[0], QSocketNotifier::Read);
  QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
    char buf[16];
    while (::read(fds[0], buf, sizeof buf) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = onEndSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);

  IdleWatcher watcher(monitor, log);
  // Written once the watcher follows the store, so a save after this line
  // is always taken over.
  log("Idle watcher started on display " + display + " (process " + std::to_string(::getpid()) +
      "): the screensaver starts after " + minutesText(watcher.idleTime()) + " without input");
  watcher.start();
  QCoreApplication::exec();
  watcher.stop();
  log("Idle watcher ended");
  return 0;
}

#endif

}  // namespace brivane

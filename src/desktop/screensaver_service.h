#pragma once
#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <string>

#include "platform/inhibit_list.h"

class QDBusServiceWatcher;

namespace brivane {

class ScreenSaverAdaptor;

// The screen-saver service of the session bus that programs call to keep the
// screen on: the interface org.freedesktop.ScreenSaver on the object paths
// /ScreenSaver and /org/freedesktop/ScreenSaver, under the well-known name
// org.freedesktop.ScreenSaver.
//
// Inhibit(s application, s reason) -> u cookie; UnInhibit(u cookie);
// GetActive() -> b; SimulateUserActivity(); the signal ActiveChanged(b).
//
// The name is requested so that a desktop's own screen saver may take it
// over (and without waiting in the bus's queue): then this object stops
// serving, forgets every request, says so in the log and emits serviceLost().
// A request ends by UnInhibit from the connection that made it, or when
// that connection leaves the bus. The bookkeeping and its limits are
// InhibitList's; a call over the limits is answered with the D-Bus error
// org.freedesktop.DBus.Error.LimitsExceeded.
//
// Lives on the thread of the connection's calls (the UI thread): Qt delivers
// the bus's calls there.
class ScreenSaverService : public QObject {
  Q_OBJECT
 public:
  using Log = std::function<void(const std::string& line)>;

  static constexpr const char* kServiceName = "org.freedesktop.ScreenSaver";
  static constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
  static constexpr const char* kPaths[] = {"/ScreenSaver", "/org/freedesktop/ScreenSaver"};

  // On the session bus.
  explicit ScreenSaverService(QObject* parent = nullptr);
  // On the given bus (tests: a private one).
  explicit ScreenSaverService(const QDBusConnection& bus, QObject* parent = nullptr);
  ~ScreenSaverService() override;

  // Lines for the program's log: name taken or lost, requests made and ended.
  void setLog(Log log) { log_ = std::move(log); }

  // Exports the interface on both paths and takes the name. False, with
  // `error` saying why, when there is no bus, or another program owns the
  // name (the error names that program), or the bus refused.
  bool registerOnBus(std::string& error);
  bool serving() const { return serving_; }

  // True while at least one request to keep the screen on holds.
  bool inhibited() const { return !inhibitors_.empty(); }
  const InhibitList& inhibitors() const { return inhibitors_; }

  // What GetActive answers: whether the saver runs. ActiveChanged is sent
  // on both paths when the value changes while serving.
  void setActive(bool active);
  bool active() const { return active_; }

 signals:
  void inhibitedChanged(bool inhibited);
  void userActivity();  // SimulateUserActivity was called
  void serviceLost();   // another program took the name over

 private slots:
  void onNameLost(const QString& name);
  void onCallerGone(const QString& caller);

 private:
  friend class ScreenSaverAdaptor;
  // The calls of the interface, from the adaptor. `caller` is the unique
  // name of the connection that called. Inhibit gives 0 and fills `error`
  // when the request is over a limit.
  uint32_t inhibit(const QString& caller, const QString& application, const QString& reason, QString& error);
  void unInhibit(const QString& caller, uint32_t cookie);
  void simulateUserActivity();

  void stopServing();
  void watchCaller(const QString& caller);
  void unwatchIfDone(const QString& caller);
  void changed(bool wasInhibited);
  void log(const std::string& line) const;
  std::string describeOwner() const;

  QDBusConnection bus_;
  QObject* adaptor_ = nullptr;
  QDBusServiceWatcher* callers_ = nullptr;
  InhibitList inhibitors_;
  bool active_ = false;
  bool serving_ = false;
  Log log_;
};

}  // namespace brivane

#include "desktop/screensaver_service.h"

#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFile>

namespace brivane {
namespace {

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kBusInterface = "org.freedesktop.DBus";
// The bus daemon answers at once; a daemon that does not is not waited for long.
constexpr int kBusCallTimeoutMs = 5000;

// RequestName's flags and answers, as the D-Bus protocol numbers them.
constexpr uint kAllowReplacement = 0x1;
constexpr uint kDoNotQueue = 0x4;
constexpr uint kPrimaryOwner = 1;
constexpr uint kAlreadyOwner = 4;

QDBusMessage busMethod(const char* method, const QVariantList& args) {
  QDBusMessage call = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusInterface, method);
  call.setArguments(args);
  return call;
}

// The first argument of a successful reply, else an invalid QVariant.
QVariant callBus(const QDBusConnection& bus, const char* method, const QVariantList& args) {
  const QDBusMessage reply = bus.call(busMethod(method, args), QDBus::Block, kBusCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().front();
}

std::string inQuotes(const std::string& escaped) { return "\"" + escaped + "\""; }

}  // namespace

// The object the bus calls, exported on both paths. It turns each call into
// a call of the service with the caller's unique name, and a refusal into a
// D-Bus error reply.
class ScreenSaverAdaptor : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
 public:
  explicit ScreenSaverAdaptor(ScreenSaverService* service) : QObject(service), service_(service) {}

 public slots:
  uint Inhibit(const QString& application, const QString& reason) {
    QString error;
    const uint32_t cookie = service_->inhibit(message().service(), application, reason, error);
    if (cookie == 0) sendErrorReply(QDBusError::LimitsExceeded, error);
    return cookie;
  }
  void UnInhibit(uint cookie) { service_->unInhibit(message().service(), cookie); }
  bool GetActive() { return service_->active(); }
  void SimulateUserActivity() { service_->simulateUserActivity(); }

 signals:
  // Declared for introspection only: ScreenSaverService::setActive sends it
  // itself, once on each path.
  void ActiveChanged(bool active);

 private:
  ScreenSaverService* service_;
};

ScreenSaverService::ScreenSaverService(QObject* parent) : ScreenSaverService(QDBusConnection::sessionBus(), parent) {}

ScreenSaverService::ScreenSaverService(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus), adaptor_(new ScreenSaverAdaptor(this)) {
  callers_ = new QDBusServiceWatcher(this);
  callers_->setConnection(bus_);
  callers_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(callers_, &QDBusServiceWatcher::serviceUnregistered, this, &ScreenSaverService::onCallerGone);
}

ScreenSaverService::~ScreenSaverService() {
  if (!serving_) return;
  // Gives the name back at once (the connection may outlive this object), without waiting for an answer.
  bus_.call(busMethod("ReleaseName", {QString(kServiceName)}), QDBus::NoBlock);
  for (const char* path : kPaths) bus_.unregisterObject(path);
}

bool ScreenSaverService::registerOnBus(std::string& error) {
  if (serving_) return true;
  if (!bus_.isConnected()) {
    error = "no session bus (" + bus_.lastError().message().toStdString() + ")";
    return false;
  }
  for (const char* path : kPaths) {
    if (!bus_.registerObject(path, adaptor_, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
      for (const char* done : kPaths) bus_.unregisterObject(done);
      error = std::string("could not export ") + path + " on the session bus";
      return false;
    }
  }
  // Listening before the request: a take-over right after it is not missed
  // (the notice is handled once this call has returned and serving_ is set).
  bus_.connect(kBusService, kBusPath, kBusInterface, "NameLost", this, SLOT(onNameLost(QString)));
  // Not queued: a name held by another program stays theirs, and this
  // process relies on its other rules instead of waiting in line.
  const QDBusMessage request = busMethod("RequestName", {QString(kServiceName), kAllowReplacement | kDoNotQueue});
  const QDBusMessage reply = bus_.call(request, QDBus::Block, kBusCallTimeoutMs);
  const uint answer = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                          ? reply.arguments().front().toUInt()
                          : 0;
  if (answer != kPrimaryOwner && answer != kAlreadyOwner) {
    bus_.disconnect(kBusService, kBusPath, kBusInterface, "NameLost", this, SLOT(onNameLost(QString)));
    for (const char* path : kPaths) bus_.unregisterObject(path);
    if (reply.type() == QDBusMessage::ErrorMessage || answer == 0)
      error = std::string("the session bus refused the name ") + kServiceName + " (" +
              reply.errorMessage().toStdString() + ")";
    else
      error = std::string("another program owns ") + kServiceName + " on the session bus: " + describeOwner();
    return false;
  }
  serving_ = true;
  log(std::string("Serving ") + kServiceName + " on the session bus");
  return true;
}

std::string ScreenSaverService::describeOwner() const {
  const QString owner = callBus(bus_, "GetNameOwner", {QString(kServiceName)}).toString();
  if (owner.isEmpty()) return "an unknown program";
  const uint pid = callBus(bus_, "GetConnectionUnixProcessID", {owner}).toUInt();
  if (pid == 0) return "connection " + inhibitText(owner.toStdString());
  // The program's name as the kernel keeps it (at most 15 characters).
  QFile comm(QString("/proc/%1/comm").arg(pid));
  std::string name;
  if (comm.open(QIODevice::ReadOnly)) name = inhibitText(comm.read(64).trimmed().toStdString());
  const std::string who = "process " + std::to_string(pid) + ", connection " + inhibitText(owner.toStdString());
  return name.empty() ? who : name + " (" + who + ")";
}

void ScreenSaverService::onNameLost(const QString& name) {
  if (name != kServiceName || !serving_) return;
  log(std::string("Another program took over ") + kServiceName + " on the session bus (" + describeOwner() +
      "); no longer serving it");
  stopServing();
  emit serviceLost();
}

void ScreenSaverService::stopServing() {
  serving_ = false;
  bus_.disconnect(kBusService, kBusPath, kBusInterface, "NameLost", this, SLOT(onNameLost(QString)));
  for (const char* path : kPaths) bus_.unregisterObject(path);
  callers_->setWatchedServices({});
  const bool was = inhibited();
  inhibitors_.clear();
  changed(was);
}

void ScreenSaverService::setActive(bool active) {
  if (active == active_) return;
  active_ = active;
  if (!serving_) return;
  for (const char* path : kPaths) {
    QDBusMessage signal = QDBusMessage::createSignal(path, kInterface, "ActiveChanged");
    signal << active;
    bus_.send(signal);
  }
}

uint32_t ScreenSaverService::inhibit(const QString& caller, const QString& application, const QString& reason,
                                     QString& error) {
  const bool was = inhibited();
  const std::string who = caller.toStdString();
  const InhibitList::Added added = inhibitors_.add(who, application.toStdString(), reason.toStdString());
  if (added.result != InhibitList::AddResult::Added) {
    error = added.result == InhibitList::AddResult::CallerLimit
                ? QString("Too many requests to keep the screen on from one caller (at most %1)")
                      .arg(InhibitList::kPerCallerLimit)
                : QString("Too many requests to keep the screen on (at most %1)").arg(InhibitList::kTotalLimit);
    log("Refused a request to keep the screen on from " + inhibitText(who) + ": " + error.toStdString());
    return 0;
  }
  const Inhibitor& entry = *inhibitors_.find(added.cookie);
  log("Screen kept on for " + inQuotes(entry.application) + " (" + inQuotes(entry.reason) + "), cookie " +
      std::to_string(added.cookie) + ", caller " + inhibitText(who));
  watchCaller(caller);
  changed(was);
  return added.cookie;
}

void ScreenSaverService::unInhibit(const QString& caller, uint32_t cookie) {
  const bool was = inhibited();
  const std::string who = caller.toStdString();
  std::string application;
  if (const Inhibitor* entry = inhibitors_.find(cookie)) application = entry->application;
  // Another caller's cookie is treated as unknown: a caller learns nothing of others' requests.
  if (inhibitors_.remove(who, cookie) != InhibitList::RemoveResult::Removed) {
    log("Ignored the end of an unknown request to keep the screen on (cookie " + std::to_string(cookie) +
        ", caller " + inhibitText(who) + ")");
    return;
  }
  log("Screen no longer kept on for " + inQuotes(application) + ", cookie " + std::to_string(cookie));
  unwatchIfDone(caller);
  changed(was);
}

void ScreenSaverService::simulateUserActivity() { emit userActivity(); }

void ScreenSaverService::watchCaller(const QString& caller) {
  if (caller.isEmpty() || callers_->watchedServices().contains(caller)) return;
  callers_->addWatchedService(caller);
  // A caller that left before the watch began sent no notice to this
  // object: ask the bus whether it is still there (the question follows
  // the watch's match rule on the same connection, so nothing falls between).
  const QDBusPendingCall call = bus_.asyncCall(busMethod("NameHasOwner", {caller}), kBusCallTimeoutMs);
  auto* pending = new QDBusPendingCallWatcher(call, this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this, caller](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        !reply.arguments().front().toBool())
      onCallerGone(caller);
  });
}

void ScreenSaverService::unwatchIfDone(const QString& caller) {
  if (inhibitors_.countOf(caller.toStdString()) == 0) callers_->removeWatchedService(caller);
}

void ScreenSaverService::onCallerGone(const QString& caller) {
  callers_->removeWatchedService(caller);
  const bool was = inhibited();
  const size_t ended = inhibitors_.removeCaller(caller.toStdString());
  if (ended == 0) return;
  log("Caller " + inhibitText(caller.toStdString()) + " left the session bus; " + std::to_string(ended) +
      " request(s) to keep the screen on ended");
  changed(was);
}

void ScreenSaverService::changed(bool wasInhibited) {
  if (inhibited() != wasInhibited) emit inhibitedChanged(inhibited());
}

void ScreenSaverService::log(const std::string& line) const {
  if (log_) log_(line);
}

}  // namespace brivane

#include "screensaver_service.moc"

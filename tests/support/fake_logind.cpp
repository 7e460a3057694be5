// fake_logind BUS-ADDRESS READY-FILE
// A stand-in for the login manager (org.freedesktop.login1) on a private bus,
// for idle tools that ask it for their session at start (xss-lock stops on an
// assertion when it has none). It answers GetSessionByPID and GetSession
// with one session object that takes the idle and locked hints; Inhibit is
// not served (the tool logs that and goes on without a sleep delay). Writes
// READY-FILE once the name is owned; runs until it is killed.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QFile>
#include <cstdio>

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/test");

class Manager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
 public slots:
  QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(kSessionPath); }
  QDBusObjectPath GetSession(const QString&) { return QDBusObjectPath(kSessionPath); }
};

class Session : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
 public slots:
  void SetIdleHint(bool) {}
  void SetLockedHint(bool) {}
 signals:
  void Lock();
  void Unlock();
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) return std::fprintf(stderr, "usage: fake_logind BUS-ADDRESS READY-FILE\n"), 2;
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(argv[1]), QStringLiteral("logind"));
  Manager manager;
  Session session;
  const auto all = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals;
  if (!bus.isConnected() || !bus.registerObject(QStringLiteral("/org/freedesktop/login1"), &manager, all) ||
      !bus.registerObject(kSessionPath, &session, all) ||
      !bus.registerService(QStringLiteral("org.freedesktop.login1")))
    return std::fprintf(stderr, "fake_logind: %s\n", qPrintable(bus.lastError().message())), 1;
  QFile ready(QString::fromLocal8Bit(argv[2]));
  if (!ready.open(QIODevice::WriteOnly)) return 1;
  ready.close();
  return app.exec();
}

#include "fake_logind.moc"

// The screen-saver service over a private bus: each test starts its own
// dbus-daemon (tests/support/keyring/keyring-session without a keyring: its
// own configuration, activating nothing), and the service and its clients
// connect to that address by name, never to the user's session bus.
#include "desktop/screensaver_service.h"

#include <signal.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDeadlineTimer>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "temp_dir.h"

namespace brivane {
namespace {

using test::commandOutput;

using Service = ScreenSaverService;

void ensureApplication() {
  static int argc = 1;
  static char name[] = "brivane_desktop_tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

// Runs the event loop until `done` or 5 s have passed.
bool waitFor(const std::function<bool()>& done) {
  const QDeadlineTimer deadline(5000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Records the ActiveChanged signals a client receives.
class ActiveRecorder : public QObject {
  Q_OBJECT
 public:
  std::vector<std::pair<QString, bool>> seen;
 public slots:
  void activeChanged(bool active, const QDBusMessage& message) { seen.emplace_back(message.path(), active); }
};

class ScreenSaverServiceTest : public test::TempDirTest {
 protected:
  void SetUp() override {
    ensureApplication();
    if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "dbus-daemon is not installed: the service tests need a private bus";
    std::istringstream out(
        commandOutput("'" BRIVANE_PRIVATE_BUS "' '" + dir.path() + "' " + std::to_string(getpid()) + " --no-keyring"));
    std::getline(out, address_);
    out >> busPid_;
    ASSERT_GT(busPid_, 0) << "the private bus did not start";
  }
  void TearDown() override {
    services_.clear();
    for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
    if (busPid_ > 0) kill(busPid_, SIGTERM);
  }

  QDBusConnection connect(const std::string& address = {}) {
    static int count = 0;
    names_.push_back(QString("test-%1").arg(++count));
    return QDBusConnection::connectToBus(QString::fromStdString(address.empty() ? address_ : address), names_.back());
  }
  // Closes a client's connection: the bus sees it leave once no object refers to it.
  static void disconnect(QDBusConnection& connection) {
    const QString name = connection.name();
    connection = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
  }

  // A serving service on a connection of its own, its inhibitedChanged values recorded in `changes`.
  Service& service() {
    services_.push_back(std::make_unique<Service>(connect()));
    Service& s = *services_.back();
    QObject::connect(&s, &Service::inhibitedChanged, [this](bool on) { changes.push_back(on); });
    std::string error;
    EXPECT_TRUE(s.registerOnBus(error)) << error;
    return s;
  }

  // Calls the service from `client` and waits for the answer.
  static QDBusMessage call(const QDBusConnection& client, const char* path, const char* method,
                           const QVariantList& args = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(Service::kServiceName, path, Service::kInterface, method);
    message.setArguments(args);
    QDBusPendingCall pending = client.asyncCall(message, 5000);
    EXPECT_TRUE(waitFor([&] { return pending.isFinished(); })) << method;
    return pending.reply();
  }
  static uint inhibit(const QDBusConnection& client, const char* path = Service::kPaths[0]) {
    const QDBusMessage reply = call(client, path, "Inhibit", {QString("player"), QString("video")});
    return reply.arguments().isEmpty() ? 0 : reply.arguments().front().toUInt();
  }

  std::vector<bool> changes;

 private:
  std::string address_;
  pid_t busPid_ = 0;
  std::vector<QString> names_;
  std::vector<std::unique_ptr<Service>> services_;
};

TEST_F(ScreenSaverServiceTest, RequestsOnEitherPathEndByTheirCallerOrWhenItLeaves) {
  Service& s = service();
  QDBusConnection owner = connect();
  const QDBusConnection other = connect();
  for (const char* path : Service::kPaths) {
    call(owner, path, "UnInhibit", {inhibit(owner, path)});
    EXPECT_FALSE(s.inhibited()) << path;
  }
  EXPECT_EQ(changes, (std::vector<bool>{true, false, true, false}));

  const uint cookie = inhibit(owner, Service::kPaths[0]);
  inhibit(owner, Service::kPaths[1]);
  // Harmless calls: the requests stay, the answer is an error only for bad arguments.
  const std::tuple<const char*, QVariantList, bool> rows[] = {
      {"UnInhibit", {cookie}, false},  // another caller's cookie
      {"UnInhibit", {12345u}, false},
      {"UnInhibit", {QString("1")}, true},
      {"Inhibit", {QString("no reason")}, true},
  };
  for (const auto& [method, args, error] : rows) {
    const QDBusMessage reply = call(other, Service::kPaths[0], method, args);
    EXPECT_EQ(reply.type() == QDBusMessage::ErrorMessage, error)
        << method << " " << args.front().toString().toStdString();
  }
  EXPECT_EQ(s.inhibitors().size(), 2u);
  disconnect(owner);
  EXPECT_TRUE(waitFor([&] { return !s.inhibited(); })) << "the requests of a caller that left stay";
}

// A caller that asks and leaves at once may be gone before the service
// begins to watch it; its request must not stay for good.
TEST_F(ScreenSaverServiceTest, ACallerGoneBeforeItsRequestIsHandledIsForgotten) {
  Service& s = service();
  QDBusConnection client = connect();
  QDBusMessage message =
      QDBusMessage::createMethodCall(Service::kServiceName, Service::kPaths[1], Service::kInterface, "Inhibit");
  message << QString("player") << QString("video");
  client.send(message);
  disconnect(client);
  EXPECT_TRUE(waitFor([&] { return changes.size() == 2; }));
  EXPECT_EQ(changes, (std::vector<bool>{true, false}));
  EXPECT_FALSE(s.inhibited());
}

TEST_F(ScreenSaverServiceTest, OverTheLimitACallerGetsAnError) {
  Service& s = service();
  const QDBusConnection client = connect();
  for (size_t i = 0; i < InhibitList::kPerCallerLimit; ++i) ASSERT_NE(inhibit(client), 0u);
  const QDBusMessage reply = call(client, Service::kPaths[0], "Inhibit", {QString("player"), QString("video")});
  EXPECT_EQ(reply.errorName().toStdString(), "org.freedesktop.DBus.Error.LimitsExceeded");
  EXPECT_EQ(s.inhibitors().size(), InhibitList::kPerCallerLimit);
}

TEST_F(ScreenSaverServiceTest, UserActivityAndTheActiveStateOnBothPaths) {
  Service& s = service();
  int activity = 0;
  QObject::connect(&s, &Service::userActivity, [&] { ++activity; });
  QDBusConnection client = connect();
  ActiveRecorder recorder;
  for (const char* path : Service::kPaths) {
    ASSERT_TRUE(client.connect(Service::kServiceName, path, Service::kInterface, "ActiveChanged", &recorder,
                               SLOT(activeChanged(bool, QDBusMessage))));
    call(client, path, "SimulateUserActivity");
  }
  EXPECT_EQ(activity, 2);

  EXPECT_FALSE(call(client, Service::kPaths[0], "GetActive").arguments().value(0).toBool());
  s.setActive(true);
  s.setActive(true);  // no change, no signal
  EXPECT_TRUE(call(client, Service::kPaths[1], "GetActive").arguments().value(0).toBool());
  s.setActive(false);
  const std::vector<std::pair<QString, bool>> expected = {
      {Service::kPaths[0], true}, {Service::kPaths[1], true}, {Service::kPaths[0], false}, {Service::kPaths[1], false}};
  EXPECT_TRUE(waitFor([&] { return recorder.seen.size() >= expected.size(); }));
  EXPECT_EQ(recorder.seen, expected);
}

TEST_F(ScreenSaverServiceTest, WithoutTheNameItSaysWhyAndServesNothing) {
  std::string error;
  EXPECT_FALSE(Service(connect("unix:path=" + dir / "no-bus")).registerOnBus(error));
  EXPECT_EQ(error.rfind("no session bus", 0), 0u) << error;

  service();
  Service second(connect());
  EXPECT_FALSE(second.registerOnBus(error));
  EXPECT_EQ(error.rfind("another program owns org.freedesktop.ScreenSaver on the session bus: ", 0), 0u) << error;
  EXPECT_NE(error.find("process " + std::to_string(getpid())), std::string::npos) << error;
}

TEST_F(ScreenSaverServiceTest, ReplacedByAnotherProgramItStopsServing) {
  Service& s = service();
  std::vector<std::string> log;
  s.setLog([&](const std::string& line) { log.push_back(line); });
  bool lost = false;
  QObject::connect(&s, &Service::serviceLost, [&] { lost = true; });
  const QDBusConnection client = connect();
  ASSERT_NE(inhibit(client), 0u);

  const QDBusConnection desktop = connect();
  QDBusMessage request = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                        "org.freedesktop.DBus", "RequestName");
  request << QString(Service::kServiceName) << 2u;  // replace the owner
  ASSERT_EQ(desktop.call(request).arguments().value(0).toUInt(), 1u) << "the name was not handed over";
  ASSERT_TRUE(waitFor([&] { return lost; }));
  EXPECT_FALSE(s.serving());
  EXPECT_FALSE(s.inhibited());
  EXPECT_EQ(changes, (std::vector<bool>{true, false}));
  EXPECT_NE(log.back().find("took over"), std::string::npos);
}

}  // namespace
}  // namespace brivane

#include "screensaver_service_test.moc"

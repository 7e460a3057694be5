// The keyring client against a real Secret Service. Each test that needs one
// starts its own with tests/support/keyring/keyring-session: a private
// dbus-daemon (its own configuration, activating nothing) and
// gnome-keyring-daemon --unlock fed a test password, with HOME and the XDG
// folders in a temporary folder. That takes about 0.1 s, so every test starts
// from an empty keyring; it works as root and leaves the user's own session
// bus alone (the client keeps no bus connection between calls, so it follows
// DBUS_SESSION_BUS_ADDRESS as each test sets it). A dbus-monitor on the private bus shows whether a call asked
// the keyring to prompt. Without dbus-daemon, dbus-monitor,
// gnome-keyring-daemon or gdbus these tests skip and say which is missing.
#include "platform/keyring.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>

#include "temp_dir.h"

// GIO's D-Bus proxies leave a few bytes behind on every initialisation (seen
// with GLib 2.74); LeakSanitizer builds of this program take that as given.
// GLib has no frame pointers: the full unwind is what lets the suppression
// see GIO on the allocation's stack.
extern "C" const char* __lsan_default_suppressions() { return "leak:libgio-2.0.so\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
// GLib locks with futexes of its own, which ThreadSanitizer does not see: what
// it reports inside GLib, GIO and libsecret (their allocator, the D-Bus
// worker thread) is not a race of this program's.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\nrace:libgio-2.0.so\nrace:libgobject-2.0.so\nrace:libsecret-1.so\n";
}

namespace brivane {
namespace {

using test::commandOutput;

using std::chrono::milliseconds;
using Outcome = KeyringResult::Outcome;

std::string missingTool() {
  for (const char* tool : {"dbus-daemon", "dbus-monitor", "gnome-keyring-daemon", "gdbus"}) {
    if (std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) != 0) return tool;
  }
  return {};
}

// Points the session bus address somewhere for the test's length.
class BusAddress {
 public:
  explicit BusAddress(const std::string& address) {
    if (const char* old = getenv("DBUS_SESSION_BUS_ADDRESS")) old_ = old;
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~BusAddress() {
    if (old_) setenv("DBUS_SESSION_BUS_ADDRESS", old_->c_str(), 1);
    else unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }

 private:
  std::optional<std::string> old_;
};

// A private bus with (or without) an unlocked keyring on it.
class KeyringSession : public test::TempDirTest {
 protected:
  void start(bool withKeyring = true) {
    if (const std::string tool = missingTool(); !tool.empty())
      GTEST_SKIP() << tool << " is not installed: the desktop keyring tests need dbus-daemon, dbus-monitor, gnome-keyring-daemon and gdbus";
    const std::string command = "'" BRIVANE_KEYRING_SESSION "' '" + dir.path() + "' " + std::to_string(getpid());
    std::istringstream out(commandOutput(command + (withKeyring ? "" : " --no-keyring")));
    std::string address;
    std::getline(out, address);
    out >> busPid_ >> keyringPid_;
    ASSERT_GT(busPid_, 0) << "the session did not start";
    bus_.emplace(address);
    address_ = address;
  }
  // Records every call of the Secret Service's prompt interface on the bus.
  void watchPrompts() {
    const std::string log = dir / "prompts", pidFile = dir / "monitor.pid";
    std::system(("dbus-monitor --address '" + address_ + "' \"interface='org.freedesktop.Secret.Prompt'\" > '" +
                 log + "' 2>&1 & echo $! > '" + pidFile + "'")
                    .c_str());
    monitorPid_ = std::atoi(test::readAll(pidFile).c_str());
    // The monitor prints its own name once it is listening.
    for (int i = 0; i < 250 && test::readAll(log).find("NameAcquired") == std::string::npos; ++i)
      std::this_thread::sleep_for(milliseconds(20));
  }
  bool promptSeen() { return test::readAll(dir / "prompts").find("member=Prompt") != std::string::npos; }
  void TearDown() override {
    bus_.reset();
    for (pid_t pid : {monitorPid_, keyringPid_, busPid_}) {
      if (pid > 0) kill(pid, SIGTERM);
    }
  }
  // Locks the login collection (the default one) as a user would.
  void lockKeyring() {
    ASSERT_NE(commandOutput("gdbus call --session --dest org.freedesktop.secrets --object-path "
                            "/org/freedesktop/secrets --method org.freedesktop.Secret.Service.Lock "
                            "\"['/org/freedesktop/secrets/collection/login']\"")
                  .find("collection/login"),
              std::string::npos);
  }

  KeyringOptions options;
  const KeyringEntry work{.pop = false, .server = "imap.example.org", .port = 993, .user = "ann@example.org"};

 private:
  pid_t busPid_ = 0, keyringPid_ = 0, monitorPid_ = 0;
  std::string address_;
  std::optional<BusAddress> bus_;
};

std::string outcomeOf(const KeyringResult& r) { return keyringOutcomeText(r) + (r.ok() ? " " + r.secret : ""); }

TEST_F(KeyringSession, StoresLooksUpReplacesAndRemoves) {
  start();
  if (IsSkipped()) return;
  KeyringEntry pop = work;
  pop.pop = true;
  KeyringEntry otherUser = work;
  otherUser.user = "bob@example.org";

  EXPECT_EQ(outcomeOf(keyringLookup(work, options)), "No password for this account in the desktop keyring");
  ASSERT_TRUE(keyringStore(work, "Brivane: Work (imap.example.org)", "first", options).ok());
  ASSERT_TRUE(keyringStore(work, "Brivane: Work (imap.example.org)", "s3cret \xc3\xa9", options).ok());
  EXPECT_EQ(outcomeOf(keyringLookup(work, options)), "OK s3cret \xc3\xa9") << "a second store replaces the first";
  // Every attribute takes part in the match.
  EXPECT_EQ(keyringLookup(pop, options).outcome, Outcome::NotFound);
  EXPECT_EQ(keyringLookup(otherUser, options).outcome, Outcome::NotFound);

  EXPECT_EQ(keyringRemove(work, options).outcome, Outcome::Ok);
  EXPECT_EQ(keyringLookup(work, options).outcome, Outcome::NotFound);
  EXPECT_EQ(keyringRemove(work, options).outcome, Outcome::NotFound);
}

TEST_F(KeyringSession, LockedKeyringIsReportedWithoutPrompting) {
  start();
  if (IsSkipped()) return;
  ASSERT_TRUE(keyringStore(work, "Brivane: Work", "s3cret", options).ok());
  lockKeyring();
  watchPrompts();
  // A prompt would wait for a person (or for the time limit): every call must
  // come back at once instead, and none may ask.
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(outcomeOf(keyringLookup(work, options)), "The desktop keyring is locked");
  EXPECT_EQ(keyringStore(work, "Brivane: Work", "other", options).outcome, Outcome::Locked);
  EXPECT_EQ(keyringRemove(work, options).outcome, Outcome::Locked);
  EXPECT_LT(std::chrono::steady_clock::now() - began, milliseconds(3000));
  std::this_thread::sleep_for(milliseconds(100));  // the monitor's output to arrive
  EXPECT_FALSE(promptSeen());

  // Where prompting is allowed the service is asked to unlock; here nobody
  // can answer, so the keyring stays locked.
  options.mayPrompt = true;
  options.timeLimit = milliseconds(3000);
  EXPECT_EQ(keyringLookup(work, options).outcome, Outcome::Locked);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_TRUE(promptSeen());
}

TEST_F(KeyringSession, BusWithoutKeyringMeansNoService) {
  start(false);
  if (IsSkipped()) return;
  EXPECT_EQ(outcomeOf(keyringLookup(work, options)), "No desktop keyring is running");
}

// A socket that takes connections and never says a word: a hung bus.
class SilentBus : public test::TempDirTest {
 protected:
  void SetUp() override {
    test::TempDirTest::SetUp();
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir / "bus";
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd_, 8), 0);
    bus_.emplace("unix:path=" + path);
  }
  void TearDown() override {
    bus_.reset();
    close(fd_);
  }
  int fd_ = -1;
  std::optional<BusAddress> bus_;
};

TEST_F(SilentBus, TimeLimitAndStopFlagEndTheWait) {
  const KeyringEntry entry{.server = "imap.example.org", .port = 993, .user = "ann"};
  struct Row {
    const char* name;
    int limitMs, stopAfterMs;
    Outcome expected;
  } rows[] = {
      {"time limit", 300, 0, Outcome::TimedOut},
      {"stop flag", 10000, 200, Outcome::Stopped},
      {"stop flag already set", 10000, -1, Outcome::Stopped},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::atomic<bool> stop{row.stopAfterMs < 0};
    std::thread stopper([&] {
      if (row.stopAfterMs <= 0) return;
      std::this_thread::sleep_for(milliseconds(row.stopAfterMs));
      stop = true;
    });
    const auto began = std::chrono::steady_clock::now();
    const KeyringResult r = keyringLookup(entry, {.timeLimit = milliseconds(row.limitMs), .stop = &stop});
    const auto took = std::chrono::steady_clock::now() - began;
    stopper.join();
    EXPECT_EQ(r.outcome, row.expected) << keyringOutcomeText(r);
    EXPECT_LT(took, milliseconds(std::max(row.limitMs < 10000 ? row.limitMs : 0, row.stopAfterMs) + 700));
  }
}

TEST(Keyring, BusAddressPointingNowhereMeansNoServiceAtOnce) {
  BusAddress nowhere("unix:path=/nonexistent/brivane-bus");
  const auto began = std::chrono::steady_clock::now();
  const KeyringResult r = keyringLookup({.server = "imap.example.org", .port = 993, .user = "ann"}, {});
  EXPECT_EQ(r.outcome, Outcome::NoService) << r.message;
  EXPECT_LT(std::chrono::steady_clock::now() - began, milliseconds(1000));
}

}  // namespace
}  // namespace brivane

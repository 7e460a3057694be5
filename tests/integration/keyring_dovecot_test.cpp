// A keyring account checked against the suite's Dovecot, with a Secret
// Service of the test's own (tests/support/keyring/keyring-session): the
// password comes from the keyring, the account holds none; a locked keyring
// gives its row without a prompt, and so does a missing one.
#include <gmock/gmock.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "checking/checker_test_support.h"
#include "dovecot_env.h"
#include "platform/keyring.h"
#include "temp_dir.h"

// GLib locks with futexes of its own, which ThreadSanitizer does not see, and
// GIO keeps its D-Bus proxies to the end of the process: what the sanitizers
// report inside GLib, GIO and libsecret is not this program's.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\nrace:libgio-2.0.so\nrace:libgobject-2.0.so\nrace:libsecret-1.so\n";
}
extern "C" const char* __lsan_default_suppressions() { return "leak:libgio-2.0.so\n"; }
// Slow unwinding on allocations, so that GIO's frames (built without frame
// pointers) show on a leak's stack and the suppression above matches.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace brivane {
namespace {

using test::commandOutput;

using namespace brivane::testing;
using ::testing::ElementsAre;

class KeyringDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env = *loaded;
    for (const char* tool : {"dbus-daemon", "gnome-keyring-daemon", "gdbus"})
      if (std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << tool << " is not installed";
    std::istringstream out(
        commandOutput("'" BRIVANE_KEYRING_SESSION "' '" + dir.path() + "' " + std::to_string(getpid())));
    std::getline(out, address);
    out >> busPid >> keyringPid;
    ASSERT_GT(busPid, 0) << "the keyring session did not start";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    for (pid_t pid : {keyringPid, busPid})
      if (pid > 0) ::kill(pid, SIGTERM);
  }
  TEmlAccount account() const {
    TEmlAccount a{.name = "Keyring box", .isPOP = false, .username = env.user, .password = "", .server = env.host,
                  .port = env.imapPort, .folders = {"INBOX;Inbox"}};
    a.signIn = SignIn::Keyring;
    return a;
  }
  test::DovecotEnv env;
  test::TempDir dir{"brivane-kr"};
  std::string address;
  pid_t busPid = 0, keyringPid = 0;
};

TEST_F(KeyringDovecot, PasswordFromTheKeyringLockedAndMissing) {
  const TEmlAccount a = account();
  ASSERT_TRUE(keyringStore({false, a.server, a.port, a.username}, "test", env.password, {}).ok());
  CheckRun run = runOne(a);
  EXPECT_GE(run.rows.size(), 6u);
  EXPECT_FALSE(run.rows.empty() || run.rows[0].isStatus());
  EXPECT_TRUE(run.account.password.empty());
  for (const std::string& line : run.log) EXPECT_EQ(line.find(env.password), std::string::npos) << line;

  commandOutput("gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
         "--method org.freedesktop.Secret.Service.Lock \"['/org/freedesktop/secrets/collection/login']\"");
  run = runOne(a);
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "ERRKEYRING"));
  EXPECT_EQ(run.rows.at(0).preview, "The desktop keyring is locked");

  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  run = runOne(a);
  EXPECT_EQ(run.rows.at(0).preview, "No desktop keyring is running");
}

}  // namespace
}  // namespace brivane

// Accounts that sign in with an OAuth 2.0 access token printed by a command,
// checked by the real checkers and "brivane --check" against the suite's
// Dovecot, whose OAuth user takes only the token in the harness's token file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "checking/checker_test_support.h"
#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

using namespace brivane::testing;
namespace fs = std::filesystem;

// A token the server never accepts (the harness's tokens start "at-").
constexpr const char* kWrongToken = "wrong-token-0f3c9a";

// The files under `folder` whose text holds `secret`.
std::vector<std::string> filesHolding(const std::string& folder, const std::string& secret) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file() && test::readAll(e.path()).find(secret) != std::string::npos) out.push_back(e.path());
  return out;
}

class OAuthDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env = *loaded;
    if (env.oauthUser.empty()) GTEST_SKIP() << "the harness has no OAuth user";
    token = test::readAll(env.tokenFile);
    token = token.substr(0, token.find('\n'));
    ASSERT_FALSE(token.empty());
    // Commands run only from a store file of ours that others cannot change:
    // the checkers look at the one $BRIVANE_STORE names.
    test::writeAll(dir / "check.reg", "");
    ::setenv("BRIVANE_STORE", (dir / "check.reg").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("BRIVANE_STORE"); }
  // A shell command that counts its runs in dir/runs and prints what
  // `first` prints on the first run, what `later` prints on every other.
  std::string command(const std::string& first, const std::string& later) const {
    test::writeAll(dir / "token.sh", "n=$(( $(cat '" + dir / "runs" + "' 2>/dev/null || echo 0) + 1 ))\necho $n >'" +
                                         dir / "runs" + "'\nif [ $n = 1 ]; then " + first + "; else " + later +
                                         "; fi\n");
    return "sh '" + dir / "token.sh" + "'";
  }
  std::string printCurrent() const { return "cat '" + env.tokenFile + "'"; }
  int runs() const { return std::atoi(test::readAll(dir / "runs").c_str()); }
  TEmlAccount account(const std::string& name, bool pop, Encryption mode, const std::string& secretCommand) const {
    TEmlAccount a{.name = name, .isPOP = pop, .username = env.oauthUser, .password = {}, .server = env.host,
                  .port = pop ? (mode == Encryption::Tls ? env.pop3sPort : env.pop3Port)
                              : (mode == Encryption::Tls ? env.imapsPort : env.imapPort),
                  .signIn = SignIn::TokenCommand, .secretCommand = secretCommand, .folders = {"INBOX;Inbox"}};
    setEncryption(a, mode);
    return a;
  }
  // Checks `a` alone with the real checkers: its rows as "N messages" or
  // "STATUS detail", and the files of the run's log folder that hold a token.
  std::pair<std::string, std::vector<std::string>> check(const TEmlAccount& a,
                                                        const std::vector<std::string>& secrets) {
    CycleRig rig;
    rig.cycle.Accounts = {a};
    EXPECT_TRUE(rig.run());
    const auto rows = rowsOf(rig.cycle, 0);
    std::vector<std::string> leaks;
    for (const std::string& secret : secrets)
      for (const std::string& f : filesHolding(rig.dir.path(), secret)) leaks.push_back(f);
    if (rows.size() == 1 && rows[0].isStatus()) return {rows[0].subject + " " + rows[0].preview, leaks};
    return {std::to_string(rows.size()) + " messages", leaks};
  }

  test::DovecotEnv env;
  std::string token;  // the OAuth user's current token
  test::TempDir dir;
};

struct Case {
  const char* name;
  bool pop;
  Encryption mode;
  std::string expected;  // INBOX holds 7 messages, 1 seen: IMAP lists the unseen, POP3 all
};
const Case kCases[] = {
    {"ImapTls", false, Encryption::Tls, "6 messages"},
    {"ImapStartTls", false, Encryption::StartTls, "6 messages"},
    {"Pop3Plain", true, Encryption::None, "7 messages"},
    {"Pop3Tls", true, Encryption::Tls, "7 messages"},
};

// The current token signs in at once: the command runs once per check.
TEST_F(OAuthDovecot, TokenFromTheCommandSignsInAndListsMail) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "runs");
    const auto [rows, leaks] = check(account(c.name, c.pop, c.mode, command(printCurrent(), printCurrent())), {token});
    EXPECT_EQ(rows, c.expected);
    EXPECT_EQ(runs(), 1);
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
  }
}

// A stale token is refused; the command's second run gives the current one
// and the sign-in is tried again on the same check.
TEST_F(OAuthDovecot, RefusedTokenIsAskedForAgainAndTheFreshOneSignsIn) {
  const std::string stale = "at-stale-token-51d2";
  for (const Case& c : {kCases[0], kCases[2]}) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "runs");
    const auto [rows, leaks] =
        check(account(c.name, c.pop, c.mode, command("echo " + stale, printCurrent())), {token, stale});
    EXPECT_EQ(rows, c.expected);
    EXPECT_EQ(runs(), 2);
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
  }
}

// A token refused twice is a wrong login, with the command run no more than
// twice, and the token is in no log.
TEST_F(OAuthDovecot, WrongTokenEndsInTheLoginError) {
  const std::string wrong = std::string("echo ") + kWrongToken;
  for (const Case& c : {kCases[0], kCases[2]}) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "runs");
    const auto [rows, leaks] = check(account(c.name, c.pop, c.mode, command(wrong, wrong)), {kWrongToken});
    EXPECT_EQ(rows.substr(0, rows.find(' ')), "INVUSERPASS") << rows;
    EXPECT_EQ(runs(), 2);
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
  }
}

// "brivane --check" runs the command of a token account from the store: the
// mail is listed and the token is neither printed nor logged.
TEST_F(OAuthDovecot, CheckCommandSignsInWithTheToken) {
  const std::string store = dir / "brivane.reg";
  {
    FileRegistryStore s(store);
    ASSERT_TRUE(s.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(s.transact([&](RegistryStore& r) {
      SaveAccounts(r, {account("Token", false, Encryption::Tls, command(printCurrent(), printCurrent()))});
      return true;
    }));
  }
  const int status = std::system(("BRIVANE_STORE='" + store + "' XDG_STATE_HOME='" + (dir / "state") + "' '" BRIVANE_EXE
                                   "' --check --json --timeout 60 >'" + (dir / "out.json") + "' 2>'" +
                                   (dir / "err.txt") + "'")
                                      .c_str());
  const std::string out = test::readAll(dir / "out.json");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << out << test::readAll(dir / "err.txt");
  const auto doc = nlohmann::json::parse(out);
  ASSERT_EQ(doc["accounts"].size(), 1u);
  EXPECT_EQ(doc["accounts"][0]["messages"].size(), 6u) << out;
  EXPECT_EQ(runs(), 1);
  ASSERT_TRUE(fs::exists(dir / "state/Torvex/Brivane/brivan_conn_Token.log"));
  EXPECT_EQ(out.find(token), std::string::npos);
  EXPECT_EQ(test::readAll(dir / "err.txt").find(token), std::string::npos);
  EXPECT_TRUE(filesHolding(dir / "state", token).empty());
}

}  // namespace
}  // namespace brivane

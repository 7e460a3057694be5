#include "checking/sign_in.h"

#include <gmock/gmock.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "checking/checker_test_support.h"
#include "common/status_words.h"
#include "protocols/sasl_oauth.h"

using namespace brivane;
using namespace brivane::testing;
using ::testing::Contains;
using ::testing::ElementsAre;

namespace {

// A private store file and a counting command: each run of the command
// appends a line to `runs` and prints the next of `secrets`.
struct SignInRig {
  test::TempDir dir{"brivane-signin"};
  std::string runs = dir.path() + "/runs";
  SignInRig() {
    const std::string store = dir.path() + "/brivane.reg";
    std::ofstream(store) << "";
    ::chmod(store.c_str(), 0600);
    ::setenv("BRIVANE_STORE", store.c_str(), 1);
  }
  ~SignInRig() { ::unsetenv("BRIVANE_STORE"); }
  // Prints secrets[k] at the k-th run (the last one again after that).
  std::string command(const std::vector<std::string>& secrets) const {
    std::string cases;
    for (size_t i = 0; i < secrets.size(); ++i)
      cases += (i + 1 == secrets.size() ? "*" : std::to_string(i + 1)) + ") printf '%s\\n' '" + secrets[i] + "';; ";
    return "echo run >> '" + runs + "'; n=$(wc -l < '" + runs + "'); case $n in " + cases + "esac";
  }
  int runCount() const {
    std::ifstream in(runs);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  TEmlAccount account(SignIn kind, const std::string& command, bool pop = false, int port = 143) const {
    TEmlAccount a = loopbackAccount("Signin box", pop, port, {"INBOX;Inbox"});
    a.password.clear();
    a.signIn = kind;
    a.secretCommand = command;
    return a;
  }
};

const std::string kGreeting = "S: * OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=OAUTHBEARER] ready\n";
// After the sign-in: an INBOX with nothing unseen, from tag `t` on.
std::string listNothing(int t) {
  const auto c = [](int n) { return "C" + std::to_string(n); };
  return "C: " + c(t) + " LIST \"\" *\nS: * LIST () \"/\" INBOX\nS: " + c(t) + " OK\nC: " + c(t + 1) +
         " EXAMINE \"INBOX\"\nS: " + c(t + 1) + " OK [READ-ONLY]\nC: " + c(t + 2) + " UID SEARCH UNSEEN\nS: * SEARCH\nS: " +
         c(t + 2) + " OK\nC: " + c(t + 3) + " LOGOUT\nS: * BYE\nS: " + c(t + 3) + " OK\nX\n";
}

CheckRun checkWith(const std::shared_ptr<CheckMemory>& memory, const TEmlAccount& account, const std::string& script,
                   bool strict = true) {
  test::MemoryServer server(script);
  CheckRun run = runOne(account, false, [&](CheckCycle& c) {
    c.memory = memory;
    c.connector = server.connector();
  });
  if (strict) {
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
  }
  return run;
}

// A password from the command: run once per run, asked again after the
// server refused it; never in the log.
TEST(SignIn, PasswordFromACommandOncePerRun) {
  SignInRig rig;
  auto memory = std::make_shared<CheckMemory>();
  const TEmlAccount account = rig.account(SignIn::PasswordCommand, rig.command({"pw one", "pw two"}));
  const std::string loggedIn = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann \"pw one\"\nS: C1 OK\n"
                               "C: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n";
  EXPECT_THAT(checkWith(memory, account, loggedIn + listNothing(4)).published, Contains("NOMSG"));
  CheckRun run = checkWith(memory, account, loggedIn + listNothing(4));
  EXPECT_THAT(run.published, Contains("NOMSG"));
  EXPECT_EQ(rig.runCount(), 1);
  run = checkWith(memory, account, "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann \"pw one\"\nS: C1 NO wrong\n"
                                   "C: C2 CAPABILITY\nS: C2 OK\nC: C3 LOGOUT\nS: * BYE\nS: C3 OK\nX\n");
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "INVUSERPASS"));
  run = checkWith(memory, account, "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann \"pw two\"\nS: C1 OK\n"
                                   "C: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n" + listNothing(4));
  EXPECT_EQ(rig.runCount(), 2);
  for (const std::string& line : run.log) EXPECT_EQ(line.find("pw "), std::string::npos) << line;
}

// A token from the command: run at every check; a refused token makes it
// run once more and the sign-in is tried again.
TEST(SignIn, TokenFromACommandIsRefreshedOnceWhenRefused) {
  SignInRig rig;
  auto memory = std::make_shared<CheckMemory>();
  const TEmlAccount account = rig.account(SignIn::TokenCommand, rig.command({"stale", "fresh"}));
  const auto ir = [](const char* token) {
    return oauthInitialResponse(OAuthMechanism::OAuthBearer, "ann", "127.0.0.1", 143, token);
  };
  const CheckRun run = checkWith(memory, account,
                                 kGreeting + "C: C1 AUTHENTICATE OAUTHBEARER " + ir("stale") +
                                     "\nS: + eyJzdGF0dXMiOiI0MDEifQ==\nC: AQ==\nS: C1 NO no\nC: C2 AUTHENTICATE OAUTHBEARER " +
                                     ir("fresh") + "\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\nC: C4 CAPABILITY\nS: C4 OK\n" +
                                     listNothing(5));
  EXPECT_THAT(run.published, Contains("NOMSG"));
  EXPECT_EQ(rig.runCount(), 2);
  EXPECT_THAT(run.log, Contains(" Signing in with OAUTHBEARER"));
  EXPECT_THAT(run.log, Contains(" The server refused the token: {\"status\":\"401\"}"));
  for (const std::string& line : run.log)
    EXPECT_TRUE(line.find("stale") == std::string::npos && line.find("fresh") == std::string::npos) << line;
}

// Failures: the command's own, before any connection; an empty command is
// a missing password; a server without OAuth.
TEST(SignIn, FailuresGiveTheirRows) {
  SignInRig rig;
  auto memory = std::make_shared<CheckMemory>();
  CheckRun run = checkWith(memory, rig.account(SignIn::TokenCommand, "echo 'no such entry' >&2; exit 3"), "");
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "ERRCMD"));
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].preview, "it exited with status 3: no such entry");
  EXPECT_THAT(run.log, Contains(" The sign-in command wrote: no such entry\\n"));
  run = checkWith(memory, rig.account(SignIn::PasswordCommand, ""), "");
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "NOPASS"));
  run = checkWith(memory, rig.account(SignIn::TokenCommand, "echo tok"),
                  "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\nC: C1 LOGOUT\nS: * BYE\nS: C1 OK\nX\n");
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "CONNECTING", "NOOAUTH"));
}

// The keyring kind: read once per run without ever allowing a prompt; a
// keyring that is not there or locked gives its row before any connection,
// and is asked again at the next check.
TEST(SignIn, PasswordFromTheKeyringOncePerRunNeverPrompting) {
  SignInRig rig;
  auto memory = std::make_shared<CheckMemory>();
  std::vector<KeyringResult> answers;
  int asked = 0;
  const auto keyring = [&](const KeyringEntry& entry, const KeyringOptions& options) {
    EXPECT_FALSE(options.mayPrompt);
    EXPECT_EQ(std::tie(entry.server, entry.port, entry.user), std::make_tuple("127.0.0.1", 143, "ann"));
    return answers.at(asked++);
  };
  const auto check = [&](const std::string& script) {
    test::MemoryServer server(script);
    CheckRun run = runOne(rig.account(SignIn::Keyring, ""), false, [&](CheckCycle& c) {
      c.memory = memory;
      c.connector = server.connector();
      c.keyring = keyring;
    });
    EXPECT_THAT(server.errors(), ::testing::IsEmpty());
    return run;
  };
  answers = {{KeyringResult::Outcome::NoService, "", ""}, {KeyringResult::Outcome::Locked, "", ""},
             {KeyringResult::Outcome::Ok, "from keyring", ""}};
  CheckRun run = check("");
  EXPECT_THAT(run.published, ElementsAre("QUEUED", "ERRKEYRING"));
  EXPECT_EQ(run.rows.at(0).preview, "No desktop keyring is running");
  run = check("");
  EXPECT_EQ(run.rows.at(0).preview, "The desktop keyring is locked");
  const std::string loggedIn = "S: * OK [CAPABILITY IMAP4rev1] ready\nC: C1 LOGIN ann \"from keyring\"\nS: C1 OK\n"
                               "C: C2 CAPABILITY\nS: C2 OK\nC: C3 CAPABILITY\nS: C3 OK\n";
  EXPECT_THAT(check(loggedIn + listNothing(4)).published, Contains("NOMSG"));
  EXPECT_THAT(check(loggedIn + listNothing(4)).published, Contains("NOMSG"));
  EXPECT_EQ(asked, 3);
}

}  // namespace

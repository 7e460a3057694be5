// The checkers and "brivane --check" against the suite's Dovecot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "checking/checker_test_support.h"
#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "protocols/pop3_session.h"
#include "settings/accounts.h"
#include "settings/settings.h"

namespace brivane {
namespace {

using namespace brivane::testing;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

std::string message(const std::string& subject, const std::string& body) {
  return "From: Tester <tester@example.org>\r\nTo: brivane@example.test\r\nSubject: " + subject +
         "\r\nDate: Sun, 6 Dec 2026 19:54:40 +0100\r\nMessage-ID: <" + subject.substr(0, 8) +
         "@example.org>\r\n\r\n" + body;
}

// Each message file of a Maildir folder (base name) and whether it carries \Seen.
std::map<std::string, bool> seenState(const fs::path& dir) {
  std::map<std::string, bool> state;
  for (const char* sub : {"cur", "new"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / sub, ec)) {
      const std::string file = entry.path().filename().string();
      const size_t info = file.find(":2,");
      state[file.substr(0, info)] = info != std::string::npos && file.find('S', info) != std::string::npos;
    }
  }
  return state;
}

class CheckingDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = test::DovecotEnv::load();
    if (!loaded) GTEST_SKIP() << "Dovecot harness not running";
    env = *loaded;
  }

  fs::path maildir(const std::string& user) const { return fs::path(env.mailRoot) / user / "Maildir"; }

  // A fresh folder of the main user holding `messages` as new (unseen and
  // recent) mail, so that no other test touches its flags.
  std::string makeFolder(const std::vector<std::string>& messages) {
    static std::atomic<int> counter{0};
    const std::string name = "Check" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
    const fs::path dir = maildir(env.user) / ("." + name);
    struct stat owner {};
    ::stat(maildir(env.user).c_str(), &owner);
    std::vector<fs::path> files = {dir, dir / "cur", dir / "new", dir / "tmp"};
    for (const auto& d : files) fs::create_directories(d);
    for (size_t i = 0; i < messages.size(); ++i) {
      files.push_back(dir / "new" / (std::to_string(1800000000 + i) + ".M" + std::to_string(i) + "P1.check"));
      std::ofstream(files.back(), std::ios::binary) << messages[i];
    }
    for (const auto& f : files) EXPECT_EQ(::chown(f.c_str(), owner.st_uid, owner.st_gid), 0) << f;
    return name;
  }

  TEmlAccount account(const std::string& name, bool pop, bool tls, std::vector<std::string> folders = {}) const {
    return {.name = name, .isPOP = pop, .username = env.user, .password = env.password, .server = env.host,
            .port = pop ? (tls ? env.pop3sPort : env.pop3Port) : (tls ? env.imapsPort : env.imapPort),
            .useTLS = tls, .folders = std::move(folders)};
  }

  test::DovecotEnv env;
};

TEST_F(CheckingDovecot, FullCycleOverSeveralAccountsPlainAndTls) {
  const std::string f1 = makeFolder({message("First new", "one\r\n"), message("Second new", "two\r\n")});
  const std::string f2 = makeFolder({message("Over TLS", "three\r\n")});
  const std::string folder = testLogFolder();
  MessageQueue queue;
  CheckCycle cycle(queue);
  cycle.logDirectory = [folder](std::string& out) {
    out = folder;
    return true;
  };
  cycle.Accounts = {account("Plain IMAP", false, false, {f1 + ";Mine", "Nowhere;Nowhere"}),
                    account("TLS IMAP", false, true, {" " + f2 + " ;Other"}), account("Plain POP", true, false),
                    account("TLS POP", true, true)};
  auto runCycle = [&] {
    ASSERT_TRUE(cycle.StartCheckCycle());
    const auto deadline = CheckCycle::Clock::now() + 30s;
    while (cycle.liveCheckers() > 0) {
      auto m = queue.waitNext(deadline);
      ASSERT_TRUE(m) << "a checker did not end";
      cycle.onDone(m->message, m->wParam);
    }
  };
  ASSERT_NO_FATAL_FAILURE(runCycle());
  EXPECT_TRUE(cycle.newMailArrived.load());
  EXPECT_TRUE(cycle.hasMessages.load());
  const auto plain = rowsOf(cycle, 0);
  EXPECT_THAT(subjectsOf(plain), ElementsAre("First new", "Second new"));
  EXPECT_EQ(plain[0].folder, f1);
  EXPECT_FALSE(plain[0].messageUid.empty());
  EXPECT_EQ(plain[0].received, 1796583280);
  EXPECT_THAT(subjectsOf(rowsOf(cycle, 1)), ElementsAre("Over TLS"));
  for (int index : {2, 3}) {
    const auto rows = rowsOf(cycle, index);
    ASSERT_EQ(rows.size(), 7u) << index;
    EXPECT_EQ(rows.front().subject, "Lines starting with dots");  // newest number first
    EXPECT_EQ(rows[1].subject, "Multipart with \xE2\x82\xAC");
    EXPECT_EQ(rows.back().subject, "Welcome to the test mailbox");
    EXPECT_EQ(cycle.Accounts[index].lastMessageCount, 7);
  }
  EXPECT_THAT(logSteps(folder, "Plain IMAP"),
              ElementsAre(" queued for check",
                          " created, host: 127.0.0.1, username: " + env.user + ", usetls: False",
                          " Connected successfully", " Authenticated successfully", " 2 new messages in " + f1,
                          " Disconnecting...", " Disconnected successfully - check completed"));
  EXPECT_EQ(logSteps(folder, "TLS POP").back(), " Disconnected successfully - check completed");

  // The same messages again: listed, but no longer new mail.
  ASSERT_NO_FATAL_FAILURE(runCycle());
  EXPECT_FALSE(cycle.newMailArrived.load());
  EXPECT_TRUE(cycle.hasMessages.load());
  EXPECT_EQ(rowsOf(cycle, 0).size(), 2u);
  EXPECT_EQ(rowsOf(cycle, 2).size(), 7u);
  fs::remove_all(folder);
}

// Previews over IMAP and over POP3 (TOP) leave every message unseen, also
// on a server left at its POP3 defaults, where RETR does set \Seen.
TEST_F(CheckingDovecot, PreviewsMarkNothingSeen) {
  const std::string f = makeFolder({message("With preview", "Dear tester,\r\n" + std::string(120, 'p') + "\r\n")});
  const CheckRun run = runOne(account("Preview IMAP", false, false, {f + ";F"}), true);
  ASSERT_EQ(run.rows.size(), 1u);
  EXPECT_EQ(run.rows[0].preview, "Dear tester, " + std::string(67, 'p'));
  for (const auto& [file, seen] : seenState(maildir(env.user) / ("." + f))) EXPECT_FALSE(seen) << file;

  TEmlAccount popDefault = account("Default POP", true, false);
  popDefault.username = env.popDefaultUser;
  popDefault.password = env.popDefaultPassword;
  const auto before = seenState(maildir(env.popDefaultUser));
  const CheckRun popRun = runOne(popDefault, true);
  ASSERT_EQ(popRun.rows.size(), 7u);
  EXPECT_EQ(popRun.rows.front().subject, "Lines starting with dots");
  EXPECT_EQ(popRun.rows[1].preview, "Part one text. .");  // the text part, not the preamble
  EXPECT_EQ(popRun.rows.back().preview, "Hello, this message has been read already.");
  EXPECT_EQ(seenState(maildir(env.popDefaultUser)), before);

  Transport t;
  Pop3Session s(&t);
  s.setHost(env.host);
  s.setPort(env.pop3Port);
  s.setUsername(env.popDefaultUser);
  s.setPassword(env.popDefaultPassword);
  s.connect();
  MailMessage m;
  ASSERT_TRUE(s.retrieve(2, m));
  s.disconnect();
  EXPECT_NE(seenState(maildir(env.popDefaultUser)), before);
}

TEST_F(CheckingDovecot, CheckCommandPrintsJson) {
  const std::string f = makeFolder({message("For the command", "body\r\n")});
  const fs::path dir = testLogFolder();
  const fs::path store = dir / "brivane.reg";
  {
    FileRegistryStore s(store.string());
    ASSERT_TRUE(s.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(s.transact([&](RegistryStore& r) {
      SaveAccounts(r, {account("Home", false, true, {f + ";Mine"}), account("Pop box", true, false)});
      return true;
    }));
  }
  const auto storeBefore = fs::last_write_time(store);
  const std::string cmd = "BRIVANE_STORE='" + store.string() + "' XDG_STATE_HOME='" + (dir / "state").string() +
                          "' '" BRIVANE_EXE "' --check --json --timeout 60 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int status = ::pclose(p);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  const auto doc = nlohmann::json::parse(out);
  ASSERT_EQ(doc["accounts"].size(), 2u);
  const auto& home = doc["accounts"][0];
  EXPECT_EQ(home["port"], env.imapsPort);
  EXPECT_EQ(home["finished"], true);
  ASSERT_EQ(home["messages"].size(), 1u);
  EXPECT_EQ(home["messages"][0]["subject"], "For the command");
  EXPECT_EQ(home["messages"][0]["folder"], f);
  EXPECT_TRUE(home["messages"][0]["received"].is_string());
  EXPECT_EQ(doc["accounts"][1]["messages"].size(), 7u);
  EXPECT_EQ(doc["newMailArrived"], true);
  // The store is only read; the logs were written as usual.
  EXPECT_EQ(fs::last_write_time(store), storeBefore);
  EXPECT_TRUE(fs::exists(dir / "state" / "Torvex" / "Brivane" / "brivan_conn_Home.log"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace brivane

// The checkers and "brivane --check" against the suite's Dovecot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <nlohmann/json.hpp>

#include "checking/checker_test_support.h"
#include "dovecot_env.h"
#include "platform/registry_file.h"
#include "protocols/imap_session.h"
#include "settings/accounts.h"
#include "settings/settings.h"
#include "temp_dir.h"

namespace brivane {
namespace {

using namespace brivane::testing;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

std::string message(const std::string& subject, const std::string& body) {
  return "From: Tester <tester@example.org>\r\nTo: brivane@example.test\r\nSubject: " + subject +
         "\r\nDate: Sun, 6 Dec 2026 19:54:40 +0100\r\nMessage-ID: <" + subject.substr(0, 8) + "@example.org>\r\n\r\n" + body;
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
  std::string makeFolder(const std::vector<std::string>& messages, std::string name = {}) {
    static std::atomic<int> counter{0};
    if (name.empty()) name = "Check" + std::to_string(::getpid()) + "x" + std::to_string(counter++);
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

// Plain and TLS accounts of both protocols with previews; that the previews
// leave the messages unseen is proved by the fake server's exact dialogues.
TEST_F(CheckingDovecot, FullCycleOverSeveralAccountsPlainAndTls) {
  const std::string f1 = makeFolder({message("First new", "Dear tester,\r\n" + std::string(120, 'p') + "\r\n"),
                                     message("Second new", "two\r\n")});
  const std::string f2 = makeFolder({message("Over TLS", "three\r\n")});
  CycleRig rig;
  rig.cycle.displayMsgPreview = true;
  rig.cycle.Accounts = {account("Plain IMAP", false, false, {f1 + ";Mine", "Nowhere;Nowhere"}),
                        account("TLS IMAP", false, true, {" " + f2 + " ;Other"}), account("Plain POP", true, false),
                        account("TLS POP", true, true)};
  ASSERT_TRUE(rig.run());
  EXPECT_TRUE(rig.cycle.newMailArrived.load() && rig.cycle.hasMessages.load());
  // The rows' fields and the log are proved against the fake server; here every account's rows come.
  EXPECT_THAT(subjectsOf(rowsOf(rig.cycle, 0)), ElementsAre("First new", "Second new"));
  EXPECT_EQ(rowsOf(rig.cycle, 0).at(0).preview, "Dear tester, " + std::string(67, 'p'));
  EXPECT_THAT(subjectsOf(rowsOf(rig.cycle, 1)), ElementsAre("Over TLS"));
  for (int i : {2, 3})
    EXPECT_EQ(std::pair(rowsOf(rig.cycle, i).size(), rig.cycle.Accounts[i].lastMessageCount), std::pair(7ul, 7)) << i;
}

// Certificates against the harness's CA (or an empty trust store), by the
// address the certificate names or another, pinned or not; STARTTLS and STLS
// on the plain ports. Each account is checked by the real checkers.
TEST_F(CheckingDovecot, CertificatesAndStartTls) {
  const test::TempDir dir;
  const std::string empty = dir / "empty.pem";
  std::ofstream(empty).flush();
  const std::string ca = std::getenv("SSL_CERT_FILE") ? std::getenv("SSL_CERT_FILE") : "";
  std::string seen;  // the fingerprint the server presented
  const auto check = [&](TEmlAccount a, Encryption mode, bool trusted) {
    setEncryption(a, mode);
    a.folders = {"INBOX;Inbox"};
    ::setenv("SSL_CERT_FILE", (trusted ? ca : empty).c_str(), 1);  // no checker runs now
    const CheckRun run = runOne(a, false, [&](CheckCycle& c) {
      c.certificateObserver = [&](int32_t, const CertificateInfo& info) { seen = info.sha256; };
    });
    ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
    const MessageSummary& first = run.rows.at(0);
    return first.isStatus() ? first.subject + " " + first.preview : std::to_string(run.rows.size()) + " messages";
  };
  const TEmlAccount imap = account("Cert", false, true), pop = account("Cert", true, true);
  EXPECT_EQ(check(imap, Encryption::Tls, true), "6 messages");
  EXPECT_EQ(check(imap, Encryption::Tls, false), "ERRCERT unknown issuer or self-signed");
  const std::string fingerprint = seen;
  ASSERT_EQ(normalizeFingerprint(fingerprint), fingerprint);
  TEmlAccount other = imap;
  other.server = env.altHost;
  EXPECT_EQ(check(other, Encryption::Tls, true), "ERRCERT name does not match");
  TEmlAccount pinned = imap;
  pinned.trustedCertificate = fingerprint;
  EXPECT_EQ(check(pinned, Encryption::Tls, false), "6 messages");
  pinned.trustedCertificate = std::string(95, 'A');
  EXPECT_EQ(check(pinned, Encryption::Tls, false), "ERRCERT changed since you trusted it");
  TEmlAccount plainImap = account("Cert", false, false), plainPop = account("Cert", true, false);
  EXPECT_EQ(check(plainImap, Encryption::StartTls, true), "6 messages");
  EXPECT_EQ(check(plainPop, Encryption::StartTls, true), "7 messages");
  EXPECT_EQ(check(plainPop, Encryption::StartTls, false), "ERRCERT unknown issuer or self-signed");
  EXPECT_EQ(check(pop, Encryption::Tls, true), "7 messages");
}

// The command checks with the real checkers (the output's form is proved
// with fake ones); the store is only read, the logs are written as usual.
TEST_F(CheckingDovecot, CheckCommandPrintsJson) {
  const std::string f = makeFolder({message("For the command", "body\r\n")});
  const test::TempDir dir;
  const std::string store = dir / "brivane.reg";
  {
    FileRegistryStore s(store);
    ASSERT_TRUE(s.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(s.transact([&](RegistryStore& r) {
      SaveAccounts(r, {account("Home", false, true, {f + ";Mine"}), account("Pop box", true, false)});
      return true;
    }));
  }
  const auto storeBefore = fs::last_write_time(store);
  const int status = std::system(("BRIVANE_STORE='" + store + "' XDG_STATE_HOME='" + (dir / "state") + "' '" BRIVANE_EXE
                                   "' --check --json --timeout 60 >'" + (dir / "out.json") + "' 2>/dev/null").c_str());
  const std::string out = test::readAll(dir / "out.json");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  const auto doc = nlohmann::json::parse(out);
  ASSERT_EQ(doc["accounts"].size(), 2u);
  ASSERT_EQ(doc["accounts"][0]["messages"].size(), 1u);
  EXPECT_EQ(doc["accounts"][0]["messages"][0]["subject"], "For the command");
  EXPECT_EQ(doc["accounts"][1]["messages"].size(), 7u);
  EXPECT_EQ(fs::last_write_time(store), storeBefore);
  EXPECT_TRUE(fs::exists(dir / "state/Torvex/Brivane/brivan_conn_Home.log"));
}

// UID-based checks of one folder through its life, each compared with a
// check by a run that remembers nothing (which fetches every header): the
// same rows, new mail announced once and by UID, whoever took \Recent; and
// no check changes a flag on the server.
class UidChecks : public CheckingDovecot {
 protected:
  // A session of another client: plain, logged in as the main user.
  struct Client {
    Transport transport;
    ImapSession session;
  };
  std::unique_ptr<Client> client() {
    auto c = std::make_unique<Client>();
    c->session.setTransport(&c->transport);
    c->session.setHost(env.host);
    c->session.setPort(env.imapPort);
    c->session.setUsername(env.user);
    c->session.setPassword(env.password);
    c->session.connect(true);
    return c;
  }
  // The UIDs flagged \Seen and \Recent, looked at read-only.
  std::pair<std::vector<uint32_t>, std::vector<uint32_t>> flags(const std::string& folder) {
    auto c = client();
    EXPECT_TRUE(c->session.examine(folder));
    c->session.uidSearch("SEEN");
    auto seen = c->session.mailbox().searchResult;
    c->session.uidSearch("RECENT");
    auto recent = c->session.mailbox().searchResult;
    c->session.disconnect();
    return {seen, recent};
  }
  struct Outcome {
    std::vector<std::string> rows;
    bool newMail = false;
  };
  Outcome check(const std::shared_ptr<CheckMemory>& memory, const std::string& folder) {
    CycleRig rig;
    rig.cycle.memory = memory;
    rig.cycle.displayMsgPreview = true;
    rig.cycle.Accounts = {account("UID box", false, false, {folder + ";F"})};
    EXPECT_TRUE(rig.run());
    return {rowsText(rowsOf(rig.cycle, 0)), rig.cycle.newMailArrived.load() != 0};
  }
  // A check with `memory` that must change no flag and give the rows of a
  // check that remembers nothing.
  Outcome checkAndCompare(const std::shared_ptr<CheckMemory>& memory, const std::string& folder) {
    const auto before = flags(folder);
    const Outcome outcome = check(memory, folder);
    EXPECT_EQ(flags(folder), before) << "a check changed flags";
    EXPECT_EQ(check(std::make_shared<CheckMemory>(), folder).rows, outcome.rows);
    return outcome;
  }
  fs::path folderDir(const std::string& folder) { return maildir(env.user) / ("." + folder); }
  void deliver(const std::string& folder, const std::string& text) {
    static int counter = 0;
    const fs::path file = folderDir(folder) / "new" / ("1810000000.D" + std::to_string(counter++) + "P1.uid");
    std::ofstream(file, std::ios::binary) << text;
    struct stat owner {};
    ::stat(folderDir(folder).c_str(), &owner);
    EXPECT_EQ(::chown(file.c_str(), owner.st_uid, owner.st_gid), 0);
  }
  // The file of the message with `subject`, wherever Dovecot keeps it now.
  fs::path fileOf(const std::string& folder, const std::string& subject) {
    for (const char* sub : {"new", "cur"})
      for (const auto& e : fs::directory_iterator(folderDir(folder) / sub))
        if (test::readAll(e.path()).find("Subject: " + subject + "\r\n") != std::string::npos) return e.path();
    ADD_FAILURE() << "no message " << subject;
    return {};
  }
};

TEST_F(UidChecks, NewMailOnceByUidRowsAsAFreshCheckAndNoFlagChanged) {
  const std::string f = makeFolder({message("One", "1\r\n"), message("Two", "2\r\n")});
  auto memory = std::make_shared<CheckMemory>();
  const auto subjects = [](const Outcome& o) {
    std::vector<std::string> out;
    for (const std::string& row : o.rows) out.push_back(row.substr(row.find('|', row.find('|') + 1) + 1, 3));
    return out;
  };
  // First check: nothing remembered; both are still \Recent, and stay so.
  EXPECT_EQ(flags(f).second.size(), 2u);
  Outcome o = checkAndCompare(memory, f);
  EXPECT_THAT(subjects(o), ElementsAre("One", "Two"));
  EXPECT_TRUE(o.newMail);
  EXPECT_FALSE(checkAndCompare(memory, f).newMail) << "announced twice";
  // Another client takes \Recent of a new message before the check.
  deliver(f, message("Three", "3\r\n"));
  auto other = client();
  ASSERT_TRUE(other->session.select(f));
  other->session.disconnect();
  EXPECT_TRUE(flags(f).second.empty());
  o = checkAndCompare(memory, f);
  EXPECT_THAT(subjects(o), ElementsAre("One", "Two", "Thr"));
  EXPECT_TRUE(o.newMail);
  // One read elsewhere, one expunged: listed as a fresh check lists them.
  const fs::path one = fileOf(f, "One");
  fs::rename(one, folderDir(f) / "cur" / (one.filename().string().substr(0, one.filename().string().find(':')) + ":2,S"));
  fs::remove(fileOf(f, "Two"));
  o = checkAndCompare(memory, f);
  EXPECT_THAT(subjects(o), ElementsAre("Thr"));
  EXPECT_FALSE(o.newMail);
  // The folder made anew (a new UIDVALIDITY): nothing remembered holds.
  fs::remove_all(folderDir(f));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // UIDVALIDITY counts seconds
  ASSERT_EQ(makeFolder({message("Four", "4\r\n")}, f), f);
  o = checkAndCompare(memory, f);
  EXPECT_THAT(subjects(o), ElementsAre("Fou"));
  EXPECT_TRUE(o.newMail);  // \Recent again, in the new folder
}

// Separate runs of "brivane --check" share what they remember through their
// state file: new mail is announced by the first run that sees it, once,
// also when another client took \Recent; the saver's file is not touched.
TEST_F(UidChecks, CheckRunsAnnounceNewMailOnceAcrossRuns) {
  const std::string f = makeFolder({message("Old", "1\r\n")});
  const test::TempDir dir;
  const std::string store = dir / "brivane.reg";
  {
    FileRegistryStore s(store);
    ASSERT_TRUE(s.load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)}));
    ASSERT_TRUE(s.transact([&](RegistryStore& r) { return SaveAccounts(r, {account("Home", false, false, {f + ";F"})}), true; }));
  }
  const auto run = [&] {
    const int status = std::system(("BRIVANE_STORE='" + store + "' XDG_STATE_HOME='" + (dir / "state") + "' '" BRIVANE_EXE
                                     "' --check --json --timeout 60 >'" + (dir / "out.json") + "' 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto doc = nlohmann::json::parse(test::readAll(dir / "out.json"));
    return std::pair{doc["accounts"][0]["messages"].size(), doc["newMailArrived"].get<bool>()};
  };
  EXPECT_EQ(run(), std::pair(size_t{1}, true));  // nothing remembered: \Recent
  EXPECT_EQ(run(), std::pair(size_t{1}, false));
  deliver(f, message("New", "2\r\n"));
  auto other = client();
  ASSERT_TRUE(other->session.select(f));
  other->session.disconnect();
  EXPECT_EQ(run(), std::pair(size_t{2}, true));
  EXPECT_EQ(run(), std::pair(size_t{2}, false));
  const fs::path seen = dir / "state/Torvex/Brivane/seen";
  struct stat st {};
  ASSERT_EQ(::stat((seen / "check").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(seen / "saver"));
}

}  // namespace
}  // namespace brivane

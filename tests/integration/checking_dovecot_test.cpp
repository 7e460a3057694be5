// The checkers and "brivane --check" against the suite's Dovecot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace brivane

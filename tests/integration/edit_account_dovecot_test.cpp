// The account editor against the suite's Dovecot: the real folder list, a
// folder name in modified UTF-7 shown decoded; Test connection on the
// verified server; a certificate that does not verify, reviewed, trusted
// and then listed.
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <optional>
#include <gtest/gtest.h>

#include "config_ui/certificate_dialog.h"
#include "config_ui/frm_edit_account.h"
#include "dovecot_env.h"
#include "temp_dir.h"
#include "widgets/rich_check_list.h"

namespace brivane {
namespace {

std::string rowsOf(const RichCheckList& list) {
  std::string rows;  // each row's text after its picture
  for (int i = 0; i < list.count(); ++i) rows += list.rowLayout(i).texts.back().text + "|";
  return rows;
}

TEmlAccount dovecotAccount(const test::DovecotEnv& env, bool pop, int port, Encryption mode) {
  TEmlAccount a{.name = "Dovecot", .isPOP = pop, .username = env.user, .password = env.password, .server = env.host,
                .port = port, .folders = {"INBOX;Inbox"}};
  setEncryption(a, mode);
  return a;
}

// Sets an environment variable for a scope and restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(EditAccountDovecot, ListsTheRealFoldersDecoded) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  TfrmEditAccount dlg;
  dlg.setTimerIntervals(1, 5);
  dlg.setAccount(dovecotAccount(*env, false, env->imapPort, Encryption::None));
  dlg.show();
  auto* list = dlg.findChild<RichCheckList*>("lstFolders");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && list->count() > 1; }, 20000));
  EXPECT_NE(rowsOf(*list).find(" Entw\xC3\xBC" "rfe|"), std::string::npos) << rowsOf(*list);
}

// Over TLS from the first byte and over STARTTLS, IMAP and POP3: the
// certificate verifies against the harness's CA and the login succeeds.
TEST(EditAccountDovecot, TestConnectionSucceedsOnTheVerifiedServer) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  const struct {
    const char* what;
    bool pop;
    int port;
    Encryption mode;
  } cases[] = {
      {"IMAP over TLS", false, env->imapsPort, Encryption::Tls},
      {"POP3 with STARTTLS", true, env->pop3Port, Encryption::StartTls},
  };
  for (const auto& c : cases) {
    TfrmEditAccount dlg;
    dlg.setTimerIntervals(1, 5);
    dlg.setAccount(dovecotAccount(*env, c.pop, c.port, c.mode));
    dlg.show();
    dlg.findChild<QPushButton*>("btnTestConnection")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.testRunning(); }, 20000)) << c.what;
    EXPECT_EQ(dlg.findChild<QLabel*>("lblTestStatus")->text(), "Connected and logged in successfully") << c.what;
  }
}

// With a trust store that trusts nothing, the listing is refused on the
// certificate and offers its review; trusting it lists the folders, and OK
// keeps the fingerprint the dialog showed.
TEST(EditAccountDovecot, AnUntrustedCertificateReviewedThenListed) {
  const auto env = test::DovecotEnv::load();
  if (!env) GTEST_SKIP() << "Dovecot harness not running";
  test::TempDir dir;
  test::writeAll(dir / "empty.pem", "");
  const ScopedEnv trustNothing("SSL_CERT_FILE", dir / "empty.pem");  // OpenSSL reads it at each connection

  TfrmEditAccount dlg;
  dlg.setTimerIntervals(1, 5);
  dlg.setAccount(dovecotAccount(*env, false, env->imapsPort, Encryption::Tls));
  dlg.show();
  auto* review = dlg.findChild<QPushButton*>("btnReviewFolderCertificate");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && review->isVisible(); }, 20000));
  EXPECT_EQ(dlg.findChild<QLabel*>("lblFolderStatus")->text().toStdString(),
            "The certificate of " + env->host + " is not trusted (unknown issuer or self-signed)");
  std::string shown;  // the fingerprint as the dialog shows it, on two lines
  SetCertificateReviewHook([&](TfrmCertificate& d) {
    shown = d.findChild<QLabel*>("lblSha256")->text().toStdString();
    return true;
  });
  review->click();
  SetCertificateReviewHook(nullptr);
  auto* list = dlg.findChild<RichCheckList*>("lstFolders");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && list->count() > 1; }, 20000)) << rowsOf(*list);
  EXPECT_NE(rowsOf(*list).find(" Entw\xC3\xBC" "rfe|"), std::string::npos) << rowsOf(*list);
  dlg.findChild<QPushButton*>("Button1")->click();
  ASSERT_EQ(dlg.result(), QDialog::Accepted);
  const std::string fingerprint = dlg.account().trustedCertificate;
  EXPECT_EQ(fingerprint.size(), 95u);
  EXPECT_EQ(shown, fingerprint.substr(0, 48) + "\n" + fingerprint.substr(48));
}

}  // namespace
}  // namespace brivane

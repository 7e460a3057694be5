#include "config_ui/frm_edit_account.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "config_ui/certificate_dialog.h"
#include "config_ui/message_dialog.h"
#include "config_ui/size_hint_check.h"
#include "fake_server.h"
#include "widgets/rich_check_list.h"

namespace brivane {
namespace {

using test::LoopbackServer;
using ::testing::ElementsAre;
using Certificate = LoopbackServer::Options::Certificate;

// Messages shown while a test runs (heading, text, default button), answered
// with gAnswer once, then Yes.
std::vector<std::tuple<std::string, std::string, int>> gShown;
int gAnswer = mrYes;
int answer(const QString&, const QString& heading, const QString& text, int, int, int defaultButton) {
  gShown.emplace_back(heading.toStdString(), text.toStdString(), defaultButton);
  return std::exchange(gAnswer, mrYes);
}

// A login as ann/secret and a listing with a second level and a name that
// looks like mark-up.
const std::string kFolderScript = std::string(testing::kImapLoggedIn) + "C: C4 LIST \"\" *\n"
    "S: * LIST () \".\" \"INBOX\"\nS: * LIST () \".\" \"INBOX.Sent\"\n"
    "S: * LIST () \".\" \"Archive\"\nS: * LIST () \".\" \"<b>&-x\"\nS: C4 OK done\n"
    "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n";

TEmlAccount imapAccount(int port, std::vector<std::string> folders = {}) {
  return testing::loopbackAccount("Work", false, port, std::move(folders));
}

// A POP3 login and logout as the connection test makes them, and a refused
// password.
const std::string kTestLogin = std::string(testing::kPopLoggedIn) + "C: QUIT\nS: +OK bye\nX\n";
const std::string kTestLoginRefused =
    "S: +OK ready <1.2@x>\nC: CAPA\nS: -ERR no capabilities\nC: USER ann\nS: +OK\nC: PASS secret\n"
    "S: -ERR [AUTH] wrong\nC: QUIT\nS: +OK bye\nX\n";

class EditAccount : public ::testing::Test {
 protected:
  void SetUp() override {
    gShown.clear();
    SetMessageHook(answer);
    dlg.setTimerIntervals(1, 5);
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetCertificateReviewHook(nullptr);
  }

  template <class T = QLineEdit>
  T* w(const char* name) {
    T* widget = dlg.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  RichCheckList* list() { return w<RichCheckList>("lstFolders"); }
  std::string port() { return w("edtPort")->text().toStdString(); }
  void open(const TEmlAccount& a) {
    dlg.setAccount(a);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  }
  // The user changes a field's text and moves on to the next field.
  void retype(const char* name, const QString& text) {
    QLineEdit* e = w(name);
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, text);
    w("edtAccountName")->setFocus();
  }
  void chooseType(bool pop) {
    QComboBox* type = w<QComboBox>("edtAccountType");
    type->setFocus();
    QTest::keyClick(type, pop ? Qt::Key_Down : Qt::Key_Up);
  }
  // Picks a mode in the encryption box with the arrow keys (through
  // STARTTLS, between TLS and None: the same ports in the end).
  void chooseMode(const char* mode) {
    QComboBox* box = w<QComboBox>("cmbEncryption");
    box->setFocus();
    const int to = box->findText(mode);
    while (box->currentIndex() != to)
      QTest::keyClick(box, box->currentIndex() < to ? Qt::Key_Down : Qt::Key_Up);
  }
  std::string testStatus() {
    const QLabel* l = w<QLabel>("lblTestStatus");
    return l->isVisible() ? l->text().toStdString() : std::string();
  }
  void clickTest() { QTest::mouseClick(w<QPushButton>("btnTestConnection"), Qt::LeftButton); }
  bool waitForRows(int n) {
    return QTest::qWaitFor([&] { return list()->count() == n && list()->rowLayout(0).pictures.size() == 1; }, 5000);
  }
  bool waitForLine(const char* line) {
    return QTest::qWaitFor([&] { return list()->count() == 1 && list()->text(0) == line; }, 5000);
  }
  void pressOK() { QTest::mouseClick(w<QPushButton>("Button1"), Qt::LeftButton); }
  void tick(int row) {
    const QRect r = list()->rowRect(row);
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 8, r.center().y()));
  }
  // A row's text as drawn, after its picture.
  std::string shown(int row) {
    const std::string& t = list()->rowLayout(row).texts.back().text;
    return t.substr(t.find_first_not_of(' '));
  }
  std::vector<std::string> ticked() {
    std::vector<std::string> t;
    for (int i = 0; i < list()->count(); ++i)
      if (list()->isChecked(i)) t.push_back(shown(i));
    return t;
  }

  TfrmEditAccount dlg;
};

// Filling the editor runs no rule (a stored POP 992 shows as stored) and OK
// returns every field. The secure box and a deliberate type choice move the
// port; the wheel over the type box changes nothing; a type change empties
// the server and the credentials, a new server the credentials.
TEST_F(EditAccount, TypeSecureAndServerFields) {
  TEmlAccount a = imapAccount(992);
  a.isPOP = a.useTLS = true;
  a.password = "p\xC3\xA4ss w\xC3\xB6rd";
  open(a);
  EXPECT_TRUE(w<QComboBox>("edtAccountType")->currentText() == "POP" && w<QCheckBox>("chkSecure")->isChecked());
  EXPECT_EQ(std::tuple(port(), w("edtServer")->text(), w("edtUsername")->text()),
            std::tuple("992", "127.0.0.1", "ann"));
  EXPECT_EQ(w("edtPassword")->displayText(), QString(9, QChar(0x25CF)));
  EXPECT_EQ(ticked(), std::vector<std::string>{"Inbox"});
  EXPECT_FALSE(list()->isEnabled()) << "a POP account shows a disabled Inbox row";
  pressOK();
  const TEmlAccount& got = dlg.account();
  EXPECT_EQ(std::tuple(dlg.result(), got.port, got.isPOP, got.useTLS, got.password, gShown.size()),
            std::tuple(int(QDialog::Accepted), 992, true, true, a.password, 0u));

  a = imapAccount(143);
  a.server = "localhost";  // no listing
  open(a);
  for (const char* name : {"edtAccountType", "cmbEncryption"}) {
    QComboBox* box = w<QComboBox>(name);
    const int before = box->currentIndex();
    for (bool focused : {false, true}) {
      if (focused) box->setFocus();
      const QPoint at = box->rect().center();
      QWheelEvent wheel(at, box->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
      QApplication::sendEvent(box, &wheel);
      EXPECT_EQ(box->currentIndex(), before) << name << focused;
    }
  }
  QTest::mouseClick(w<QCheckBox>("chkSecure"), Qt::LeftButton);
  EXPECT_EQ(std::tuple(port(), w("edtServer")->text()), std::tuple("993", "localhost"));
  chooseType(true);
  EXPECT_EQ(std::tuple(port(), w("edtServer")->text() + w("edtUsername")->text() + w("edtPassword")->text(),
                       list()->isEnabled()), std::tuple("995", "", false));
  chooseType(false);
  EXPECT_TRUE(list()->isEnabled());
  retype("edtServer", "a.example");
  w("edtUsername")->setText("ann");
  w("edtPassword")->setText("pw");
  retype("edtServer", "b.example");
  EXPECT_TRUE(w("edtUsername")->text().isEmpty() && w("edtPassword")->text().isEmpty());
  // The store cannot keep "\" in a name: the field does not take it.
  QTest::keyClicks(w("edtAccountName"), "a\\b");
  EXPECT_FALSE(w("edtAccountName")->text().contains('\\'));
}

// The encryption box moves the default ports and shows the padlock, closed
// for TLS and STARTTLS, open with a warning for None; the hidden "Secure
// server" box mirrors it and, clicked, picks TLS or None. A type change
// keeps its port rules with the mode; other ports stay. OK stores the mode.
TEST_F(EditAccount, EncryptionModesPortsAndTheSecureMirror) {
  TEmlAccount a = imapAccount(143);
  a.server = "localhost";  // no listing
  open(a);
  QCheckBox* secure = w<QCheckBox>("chkSecure");
  EXPECT_FALSE(secure->isVisible());
  const struct {
    const char* what;
    std::function<void()> act;
    std::string port;
    const char* mode;
  } steps[] = {
      {"stored: None", [] {}, "143", "None"},
      {"to TLS", [&] { chooseMode("TLS"); }, "993", "TLS"},
      {"to STARTTLS", [&] { chooseMode("STARTTLS"); }, "143", "STARTTLS"},
      {"to None", [&] { chooseMode("None"); }, "143", "None"},
      {"secure box ticked", [&] { secure->click(); }, "993", "TLS"},
      {"secure box unticked", [&] { secure->click(); }, "143", "None"},
      {"to POP", [&] { chooseType(true); }, "110", "None"},
      {"POP to TLS", [&] { chooseMode("TLS"); }, "995", "TLS"},
      {"to IMAP with TLS", [&] { chooseType(false); }, "993", "TLS"},
      {"a port of the user's", [&] { retype("edtPort", "1993"); }, "1993", "TLS"},
      {"is kept", [&] { chooseMode("STARTTLS"); }, "1993", "STARTTLS"},
      {"a server and credentials", [&] {
         retype("edtServer", "localhost");
         retype("edtUsername", "ann");
         retype("edtPassword", "pw");
       }, "1993", "STARTTLS"},
  };
  for (const auto& step : steps) {
    step.act();
    const bool none = std::string(step.mode) == "None";
    EXPECT_EQ(std::tuple(port(), w<QComboBox>("cmbEncryption")->currentText().toStdString(), secure->isChecked(),
                         w<QWidget>("imgPadlock")->property("closed").toBool(), w<QLabel>("lblUnencrypted")->isVisible()),
              std::tuple(step.port, step.mode, std::string(step.mode) == "TLS", !none, none)) << step.what;
  }
  pressOK();
  EXPECT_EQ(std::tuple(dlg.account().encryption, dlg.account().useTLS, dlg.account().port),
            std::tuple(std::optional(Encryption::StartTls), false, 1993));

}

// The trusted fingerprint is kept on OK while the server and port stay;
// changing either (the field left, a mode that moves the port, or a server
// confirmed with Enter without leaving the field) drops it.
TEST_F(EditAccount, TrustedCertificateFollowsTheServerAndPort) {
  const std::string pin = test::certificateSha256(Certificate::SelfSigned);
  const struct {
    const char* what;
    Encryption mode;
    std::function<void()> act;
    bool kept;
  } cases[] = {
      {"nothing changed", Encryption::Tls, [] {}, true},
      {"another user", Encryption::Tls, [&] { retype("edtUsername", "bob"); }, true},
      {"the same server typed again", Encryption::Tls, [&] { retype("edtServer", "localhost"); }, true},
      {"STARTTLS to None on the same port", Encryption::StartTls, [&] { chooseMode("None"); }, true},
      {"another server", Encryption::Tls, [&] { retype("edtServer", "otherhost"); }, false},
      {"another port", Encryption::Tls, [&] { retype("edtPort", "1993"); }, false},
      {"TLS to STARTTLS moves the port", Encryption::Tls, [&] { chooseMode("STARTTLS"); }, false},
      {"another server confirmed with Enter", Encryption::Tls, [&] {
         w("edtServer")->setFocus();
         w("edtServer")->setText("otherhost");
         QTest::keyClick(w("edtServer"), Qt::Key_Return);
       }, false},
  };
  for (const auto& c : cases) {
    TEmlAccount a = imapAccount(c.mode == Encryption::Tls ? 993 : 143);
    a.server = "localhost";  // no listing
    setEncryption(a, c.mode);
    a.trustedCertificate = pin;
    open(a);
    c.act();
    if (dlg.isVisible()) {
      w("edtPassword")->setText("secret");  // a new server empties the credentials
      w("edtUsername")->setText("ann");
      pressOK();
    }
    EXPECT_EQ(dlg.result(), QDialog::Accepted) << c.what;
    EXPECT_EQ(dlg.account().trustedCertificate, c.kept ? pin : "") << c.what;
  }
}

// "Test connection" reports in its status line, never in a message box: a
// login, a refused password, a certificate that does not verify (with its
// review, opened at once). Trusting keeps the fingerprint and tests again;
// cancelling leaves "Review certificate..." to come back to.
TEST_F(EditAccount, TestConnectionReportsInTheStatusLine) {
  const struct {
    const char* what;
    std::string script;
    std::string status;
  } cases[] = {
      {"logged in", kTestLogin, "Connected and logged in successfully"},
      {"password refused", kTestLoginRefused, "Could not login to server - please check your username and password"},
  };
  for (const auto& c : cases) {
    LoopbackServer server(c.script);
    open(testing::loopbackAccount("Work", true, server.port()));  // POP: no listing beside the test
    clickTest();
    EXPECT_EQ(std::tuple(dlg.testRunning(), testStatus()), std::tuple(true, std::string("Connecting..."))) << c.what;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.testRunning(); }, 10000)) << c.what;
    EXPECT_EQ(std::tuple(testStatus(), w<QPushButton>("btnReviewCertificate")->isVisible(), gShown.size()),
              std::tuple(c.status, false, 0u)) << c.what;
    server.finish();
    EXPECT_TRUE(server.errors().empty()) << c.what << ::testing::PrintToString(server.errors());
  }

  LoopbackServer selfSigned("S: +OK ready\n", {.tls = true, .certificate = Certificate::SelfSigned});
  TEmlAccount a = testing::loopbackAccount("Work", true, selfSigned.port());
  setEncryption(a, Encryption::Tls);
  open(a);
  std::vector<std::string> reviewed;
  bool trust = false;
  SetCertificateReviewHook([&](TfrmCertificate& d) {
    reviewed.push_back(d.findChild<QLabel*>("lblHeading")->text().toStdString());
    return trust;
  });
  clickTest();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !reviewed.empty(); }, 10000));
  const std::string refused = "The certificate of 127.0.0.1 is not trusted (unknown issuer or self-signed)";
  EXPECT_EQ(reviewed, std::vector<std::string>{refused + "."});
  EXPECT_EQ(std::tuple(testStatus(), w<QPushButton>("btnReviewCertificate")->isVisible(), dlg.testRunning()),
            std::tuple(refused, true, false));
  trust = true;
  QTest::mouseClick(w<QPushButton>("btnReviewCertificate"), Qt::LeftButton);
  EXPECT_EQ(std::tuple(reviewed.size(), dlg.testRunning()), std::tuple(2u, true)) << "trusting tests again";
  pressOK();  // stops the test; keeps the fingerprint
  EXPECT_EQ(std::tuple(dlg.result(), dlg.testRunning(), dlg.account().trustedCertificate),
            std::tuple(int(QDialog::Accepted), false, test::certificateSha256(Certificate::SelfSigned)));
  selfSigned.finish(0);
}

// A running test stops when a field changes (its line goes), when a new
// test starts, and when the editor closes.
TEST_F(EditAccount, TestStopsOnChangeRestartAndClose) {
  LoopbackServer silent("STALL\n");
  open(testing::loopbackAccount("Work", true, silent.port()));
  clickTest();
  EXPECT_EQ(std::tuple(dlg.testRunning(), testStatus()), std::tuple(true, std::string("Connecting...")));
  retype("edtUsername", "bob");
  EXPECT_EQ(std::tuple(dlg.testRunning(), testStatus()), std::tuple(false, std::string()));
  clickTest();
  clickTest();
  EXPECT_EQ(std::tuple(dlg.testRunning(), testStatus()), std::tuple(true, std::string("Connecting...")));
  w<QPushButton>("Button2")->click();
  EXPECT_FALSE(dlg.testRunning());
  silent.finish(0);
}

// Missing details, then a refused connection, keep the stored folders; the
// listing's rows show names literally and tick the stored folders still
// there. Listing again keeps the user's ticks and unticks; a field left
// unchanged starts no listing; names are stored raw. The controls fit.
TEST_F(EditAccount, FolderListKeepsTheChoiceAndSizeHintsFit) {
  LoopbackServer first(kFolderScript), second(kFolderScript);
  TEmlAccount a = imapAccount(testing::closedPort(), {"Archive;Archive", "Gone;Gone"});
  a.password.clear();
  open(a);
  ASSERT_TRUE(waitForLine(TIMAPFolderGet::kIncomplete));
  retype("edtPassword", "secret");
  ASSERT_TRUE(waitForLine(TIMAPFolderGet::kCannotConnect));
  retype("edtPort", QString::number(first.port()));
  ASSERT_TRUE(waitForRows(4));
  EXPECT_THAT((std::vector{shown(0), shown(1), shown(2), shown(3)}), ElementsAre("<b>&x", "Archive", "Inbox", "Sent"));
  EXPECT_TRUE(ControlsThatDoNotFit(dlg).isEmpty()) << ControlsThatDoNotFit(dlg).join("\n").toStdString();
  retype("edtServer", "127.0.0.1");  // unchanged: the script would refuse a second connection
  QTest::qWait(20);
  EXPECT_EQ(ticked(), std::vector<std::string>{"Archive"});
  tick(0);  // <b>&x
  tick(1);  // Archive
  retype("edtPort", QString::number(second.port()));
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.done() && !dlg.listingRunning(); }, 5000));
  QTest::qWait(50);  // the last result drawn
  ASSERT_TRUE(waitForRows(4));
  EXPECT_EQ(ticked(), std::vector<std::string>{"<b>&x"});
  pressOK();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_THAT(dlg.account().folders, ElementsAre("<b>&x;<b>&x"));
  first.finish();
  second.finish();
  EXPECT_TRUE(first.errors().empty() && second.errors().empty()) << ::testing::PrintToString(first.errors());
}

// OK on an unconfirmed server asks first (No the default, so that Enter
// twice does not save it); No keeps the editor open and the listing running;
// Yes keeps the folders the account had.
TEST_F(EditAccount, UnconfirmedSettingsQuestions) {
  LoopbackServer silent("STALL\n");
  const std::tuple<std::string, int, const char*, std::string, bool> cases[] = {
      {"127.0.0.1", silent.port(), TIMAPFolderGet::kConnecting, "Server settings have not been confirmed", true},
      {"127.0.0.1", testing::closedPort(), TIMAPFolderGet::kCannotConnect, "Error connecting to server", false},
      {"localhost", 143, TIMAPFolderGet::kIncomplete, "Error connecting to server", false}};  // no dot
  for (const auto& [server, port, line, heading, listing] : cases) {
    SCOPED_TRACE(line);
    gShown.clear();
    TEmlAccount a = imapAccount(port, {"INBOX;Inbox", "Lists.Qt;Qt"});
    a.server = server;
    open(a);
    ASSERT_TRUE(waitForLine(line));
    EXPECT_TRUE(listing || QTest::qWaitFor([&] { return !dlg.listingRunning(); }, 5000));
    gAnswer = mrNo;
    pressOK();
    ASSERT_EQ(gShown.size(), 1u);
    EXPECT_EQ(std::tuple(std::get<0>(gShown[0]), std::get<2>(gShown[0]), dlg.isVisible(), dlg.listingRunning()),
              std::tuple(heading, int(mbNo), true, listing));
    pressOK();  // answered Yes
    EXPECT_EQ(std::tuple(dlg.result(), dlg.isVisible(), dlg.listingRunning(), dlg.account().server),
              std::tuple(int(QDialog::Accepted), false, false, server));
    EXPECT_THAT(dlg.account().folders, ElementsAre("INBOX;Inbox", "Lists.Qt;Qt"));
  }
  silent.finish(0);
}

// The first failing check refuses OK with its message and focuses its field.
TEST_F(EditAccount, ValidationOrder) {
  // Field, the message, the value given before the next OK.
  const std::tuple<const char*, std::string, const char*> steps[] = {
      {"edtAccountName", "Please enter a name for this email account", "Home"},
      {"edtServer", "Please enter the server to connect to", "localhost"},
      {"edtPort", "Please enter a valid port", nullptr},
      {"edtUsername", "Please enter your username", "ann"},
      {"edtPassword", "Please enter your password", "pw"}};
  open(TEmlAccount());
  w("edtPort")->setText("99999");
  for (const auto& [field, message, value] : steps) {
    gShown.clear();
    pressOK();
    ASSERT_EQ(gShown.size(), 1u) << field;
    EXPECT_EQ(std::tuple(std::get<0>(gShown[0]), std::get<1>(gShown[0]), w(field)->hasFocus()),
              std::tuple("Account details missing or invalid", message, true)) << field;
    if (value) w(field)->setText(value);
  }
  EXPECT_EQ(w("edtPort")->text(), "143");
  pressOK();  // the one remaining question ("localhost" starts no listing) answered Yes
  EXPECT_EQ(std::tuple(dlg.result(), dlg.account().name), std::tuple(int(QDialog::Accepted), std::string("Home")));
  EXPECT_THAT(dlg.account().folders, ElementsAre("INBOX;Inbox")) << "never listed: Inbox, not nothing";
}

}  // namespace
}  // namespace brivane

#include "config_ui/frm_edit_account.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTest>
#include <QWheelEvent>
#include <atomic>
#include <cstdlib>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "checking/checker_test_support.h"
#include "config_ui/certificate_dialog.h"
#include "config_ui/keyring_fake.h"
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
  a.panelPrivacy = PanelPrivacy::SendersOnly;
  open(a);
  EXPECT_TRUE(w<QComboBox>("edtAccountType")->currentText() == "POP" && w<QCheckBox>("chkSecure")->isChecked());
  EXPECT_EQ(w<QComboBox>("cmbPanelPrivacy")->currentText(), "Senders only");
  QTest::keyClick(w<QComboBox>("cmbPanelPrivacy"), Qt::Key_Down);
  EXPECT_EQ(std::tuple(port(), w("edtServer")->text(), w("edtUsername")->text()),
            std::tuple("992", "127.0.0.1", "ann"));
  EXPECT_EQ(w("edtPassword")->displayText(), QString(9, QChar(0x25CF)));
  EXPECT_EQ(ticked(), std::vector<std::string>{"Inbox"});
  EXPECT_FALSE(list()->isEnabled()) << "a POP account shows a disabled Inbox row";
  pressOK();
  const TEmlAccount& got = dlg.account();
  EXPECT_EQ(std::tuple(dlg.result(), got.port, got.isPOP, got.useTLS, got.password, got.panelPrivacy, gShown.size()),
            std::tuple(int(QDialog::Accepted), 992, true, true, a.password, PanelPrivacy::CountsOnly, 0u));

  a = imapAccount(143);
  a.server = "localhost";  // no listing
  open(a);
  for (const char* name : {"edtAccountType", "cmbEncryption", "cmbSignIn", "cmbPanelPrivacy"}) {
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

SecretCommandResult commandResult(bool ok, std::string secret, std::string failure = "", std::string errors = "",
                                  std::string firstErrorLine = "") {
  return {ok, std::move(secret), std::move(failure), std::move(errors), std::move(firstErrorLine)};
}

// The sign-in kind and its command come back from OK as chosen and typed;
// a password account keeps no value unless it had one, a command kind
// keeps no password. The command line takes the password field's place.
TEST_F(EditAccount, SignInKindAndCommandRoundTrip) {
  const struct {
    const char* row;
    std::optional<SignIn> given;
    const char* choose;  // the kind picked in the box, or nullptr
    const char* typed;   // the command typed, or nullptr
    std::optional<SignIn> signIn;
    std::string command, password;
  } rows[] = {
      {"a plain account stays without a value", std::nullopt, nullptr, nullptr, std::nullopt, "old", "secret"},
      {"a stored Password value is kept", SignIn::Password, nullptr, nullptr, SignIn::Password, "old", "secret"},
      {"a token command as stored", SignIn::TokenCommand, nullptr, nullptr, SignIn::TokenCommand, "old", ""},
      {"a password command chosen, typed with spaces", std::nullopt, "Password from a command",
       "  pass show 'mail/work' ", SignIn::PasswordCommand, "  pass show 'mail/work' ", ""},
      {"back to the password from a token", SignIn::TokenCommand, "Password", nullptr, SignIn::Password, "old",
       "secret"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    TEmlAccount a = imapAccount(143);
    a.server = "localhost";  // no listing
    a.signIn = r.given;
    a.secretCommand = "old";
    open(a);
    QComboBox* box = w<QComboBox>("cmbSignIn");
    if (r.choose) {
      box->setFocus();
      const int to = box->findText(r.choose);
      while (box->currentIndex() != to) QTest::keyClick(box, box->currentIndex() < to ? Qt::Key_Down : Qt::Key_Up);
    }
    if (r.typed) retype("edtCommand", r.typed);
    const bool command = r.signIn && *r.signIn != SignIn::Password;
    EXPECT_EQ(std::tuple(w("edtPassword")->isVisible(), w("edtCommand")->isVisible(), w<QPushButton>("btnTry")->isVisible()),
              std::tuple(!command, command, command));
    pressOK();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    const TEmlAccount& got = dlg.account();
    EXPECT_EQ(std::tuple(got.signIn, got.secretCommand, got.password), std::tuple(r.signIn, r.command, r.password));
  }
}

// For a command kind the command stands in for the password: OK asks for
// the command (worded for the kind), never the password.
TEST_F(EditAccount, CommandKindsAskForTheCommandNotThePassword) {
  const struct {
    const char* row;
    SignIn kind;
    const char* command;
    std::string message;  // empty: accepted
  } rows[] = {
      {"password without one", SignIn::Password, "", "Please enter your password"},
      {"password command without one", SignIn::PasswordCommand, " ",
       "Please enter the command that prints the password"},
      {"token command without one", SignIn::TokenCommand, "", "Please enter the command that prints the token"},
      {"token command given, no password", SignIn::TokenCommand, "oauth-helper --token", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    gShown.clear();
    TEmlAccount a = imapAccount(testing::closedPort());
    a.password.clear();
    a.signIn = r.kind;
    a.secretCommand = r.command;
    open(a);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning() && list()->count() == 1; }, 5000));
    pressOK();
    if (r.message.empty()) {
      EXPECT_EQ(dlg.result(), QDialog::Accepted);  // after the "could not connect" question answered Yes
      continue;
    }
    ASSERT_EQ(gShown.size(), 1u);
    const char* field = r.kind == SignIn::Password ? "edtPassword" : "edtCommand";
    EXPECT_EQ(std::tuple(std::get<1>(gShown[0]), w(field)->hasFocus(), dlg.isVisible()),
              std::tuple(r.message, true, true));
    dlg.reject();
  }
}

// Try runs the command off the UI thread with the account's fields and the
// store path and shows the length of the line or the failure, never the
// secret; a second Try waits for the first; closing the editor stops it.
TEST_F(EditAccount, TryShowsTheOutcomeNeverTheSecret) {
  std::atomic<int> calls{0};
  SecretCommand seen;
  SecretCommandResult answer;
  std::atomic<bool> hold{false};
  dlg.setStorePath("/home/ann/.config/store.reg");
  dlg.setSecretCommandRunner([&](const SecretCommand& request) {
    ++calls;
    seen = request;
    while (hold && !request.stop->load()) QThread::msleep(2);
    if (request.stop->load()) return commandResult(false, "", "it was stopped");
    return answer;
  });
  TEmlAccount a = imapAccount(143);
  a.server = "localhost";  // no listing
  a.signIn = SignIn::TokenCommand;
  a.secretCommand = "oauth-helper --account work";
  const std::string secret = "ya29.s3cr\xC3\xA9t";  // 11 characters, 12 bytes
  const struct {
    const char* row;
    SecretCommandResult result;
    std::string shown;
  } rows[] = {
      {"a line printed", commandResult(true, secret), "The command printed one line of 11 characters"},
      {"a failure with its first error line",
       commandResult(false, "", "it exited with status 1", "no such entry\nmore", "no such entry"),
       "The command failed: it exited with status 1: no such entry"},
      {"a failure without error output", commandResult(false, "", "it did not finish within 20 s"),
       "The command failed: it did not finish within 20 s"},
  };
  auto* tryButton = w<QPushButton>("btnTry");
  auto* shown = w<QLabel>("lblTryResult");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    open(a);
    answer = r.result;
    QTest::mouseClick(tryButton, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.tryRunning(); }, 5000));
    EXPECT_EQ(shown->text().toStdString(), r.shown);
    EXPECT_TRUE(shown->isVisible() && tryButton->isEnabled());
    EXPECT_FALSE(shown->text().contains(QStringLiteral("s3cr")));
    EXPECT_EQ(std::tuple(seen.command, seen.account, seen.user, seen.server, seen.storePath),
              std::tuple(a.secretCommand, a.name, a.username, a.server, std::string("/home/ann/.config/store.reg")));
    dlg.reject();
  }
  calls = 0;
  hold = true;
  open(a);
  QTest::mouseClick(tryButton, Qt::LeftButton);
  EXPECT_FALSE(tryButton->isEnabled());
  QTest::mouseClick(tryButton, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls == 1; }, 5000));
  dlg.reject();
  EXPECT_FALSE(dlg.tryRunning()) << "closing stopped and joined it";
  EXPECT_EQ(calls, 1);
  QTest::qWait(20);  // the stopped Try's result, if posted, is ignored
  EXPECT_TRUE(shown->text().isEmpty());
}

// Without a fake, Try runs the real command with the account's variables,
// and the store path decides whether it may run at all.
TEST_F(EditAccount, TryRunsTheCommandAfterTheStoreCheck) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string store = dir.filePath(QStringLiteral("store.reg")).toStdString();
  ASSERT_TRUE(QFile(QString::fromStdString(store)).open(QIODevice::WriteOnly));
  QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  TEmlAccount a = imapAccount(143);
  a.server = "localhost";  // no listing
  a.signIn = SignIn::PasswordCommand;
  a.secretCommand = "echo \"$BRIVANE_USER@$BRIVANE_SERVER\"; echo 'no such entry' >&2; exit 1";
  const std::pair<QFile::Permissions, std::string> rows[] = {
      {QFile::ReadOwner | QFile::WriteOwner, "The command failed: it exited with status 1: no such entry"},
      {QFile::ReadOwner | QFile::WriteOwner | QFile::WriteOther, "The command failed: the settings file"}};
  dlg.setStorePath(store);
  for (const auto& [permissions, shown] : rows) {
    QFile::setPermissions(QString::fromStdString(store), permissions);
    open(a);
    QTest::mouseClick(w<QPushButton>("btnTry"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.tryRunning(); }, 5000));
    EXPECT_THAT(w<QLabel>("lblTryResult")->text().toStdString(), ::testing::StartsWith(shown));
    dlg.reject();
  }
  a.secretCommand = "echo \"$BRIVANE_USER@$BRIVANE_SERVER\"";
  QFile::setPermissions(QString::fromStdString(store), QFile::ReadOwner | QFile::WriteOwner);
  open(a);
  QTest::mouseClick(w<QPushButton>("btnTry"), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.tryRunning(); }, 5000));
  EXPECT_EQ(w<QLabel>("lblTryResult")->text(), "The command printed one line of 13 characters");  // ann@localhost
}

// The keyring kind: OK writes the typed password (moving a stored one on
// conversion) and keeps none in the account; an empty field keeps the
// keyring's password; an entry no longer used is removed after the new one
// is written.
TEST_F(EditAccount, KeyringKindWritesMovesAndRemoves) {
  const char* const keyringKind = "Password in the desktop keyring";
  const std::string label = " Brivane: Work (localhost)";
  const struct {
    const char* row;
    std::optional<SignIn> given;
    const char* choose;  // the kind picked in the box, or nullptr
    const char* port;    // the port typed, or nullptr
    const char* typed;   // the password typed, or nullptr
    std::vector<std::string> calls;
    std::optional<SignIn> signIn;
    std::string password;
  } rows[] = {
      {"a stored password moves to the keyring", std::nullopt, keyringKind, nullptr, nullptr,
       {"store imap ann@localhost:143 secret" + label}, SignIn::Keyring, ""},
      {"an empty field keeps the keyring's password", SignIn::Keyring, nullptr, nullptr, nullptr, {},
       SignIn::Keyring, ""},
      {"a typed password replaces it", SignIn::Keyring, nullptr, nullptr, "new", {"store imap ann@localhost:143 new" + label},
       SignIn::Keyring, ""},
      {"a new port writes there, then removes the old entry", SignIn::Keyring, nullptr, "144", "new",
       {"store imap ann@localhost:144 new" + label, "remove imap ann@localhost:143"}, SignIn::Keyring, ""},
      {"back to a stored password removes the entry", SignIn::Keyring, "Password", nullptr, "new",
       {"remove imap ann@localhost:143"}, SignIn::Password, "new"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    test::FakeKeyring keyring;
    dlg.setKeyringCalls(keyring.seam());
    TEmlAccount a = imapAccount(143);
    a.server = "localhost";  // no listing
    a.signIn = r.given;
    if (r.given == SignIn::Keyring) a.password.clear();
    open(a);
    EXPECT_EQ(w("edtPassword")->placeholderText().isEmpty(), r.given != SignIn::Keyring);
    QComboBox* box = w<QComboBox>("cmbSignIn");
    if (r.choose) {
      box->setFocus();
      const int to = box->findText(r.choose);
      while (box->currentIndex() != to) QTest::keyClick(box, box->currentIndex() < to ? Qt::Key_Down : Qt::Key_Up);
    }
    EXPECT_TRUE(w("edtPassword")->isVisible() && !w("edtCommand")->isVisible());
    if (r.port) retype("edtPort", r.port);
    if (r.typed) retype("edtPassword", r.typed);
    pressOK();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(keyring.calls, r.calls);
    EXPECT_TRUE(keyring.prompted);
    EXPECT_EQ(std::tuple(dlg.account().signIn, dlg.account().password), std::tuple(r.signIn, r.password));
  }
}

// A failed write keeps the editor open with the keyring's reason and
// removes nothing; an entry moved with the field left empty asks for the
// password (the keyring holds it under the old entry); a failed removal is
// said but the editor closes.
TEST_F(EditAccount, KeyringFailuresAndTheMovedEntry) {
  using Outcome = KeyringResult::Outcome;
  const struct {
    const char* row;
    const char* port;   // the port typed, or nullptr
    const char* typed;  // the password typed, or nullptr
    Outcome store, remove;
    std::vector<std::string> calls;
    bool accepted;
    std::string heading, text;
  } rows[] = {
      {"a locked keyring refuses the write", "144", "new", Outcome::Locked, Outcome::Ok,
       {"store imap ann@localhost:144 new Brivane: Work (localhost)"}, false,
       "The password could not be kept in the desktop keyring", keyringOutcomeText(test::FakeKeyring::result(Outcome::Locked))},
      {"a moved entry needs the password typed", "144", nullptr, Outcome::Ok, Outcome::Ok, {}, false,
       "Account details missing or invalid", "Please enter your password"},
      {"a failed removal is said", "144", "new", Outcome::Ok, Outcome::Failed,
       {"store imap ann@localhost:144 new Brivane: Work (localhost)", "remove imap ann@localhost:143"}, true,
       "The old password could not be removed from the desktop keyring",
       keyringOutcomeText(test::FakeKeyring::result(Outcome::Failed))},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.row);
    gShown.clear();
    test::FakeKeyring keyring;
    keyring.storeOutcome = r.store;
    keyring.removeOutcome = r.remove;
    dlg.setKeyringCalls(keyring.seam());
    TEmlAccount a = imapAccount(143);
    a.server = "localhost";  // no listing
    a.signIn = SignIn::Keyring;
    a.password.clear();
    open(a);
    if (r.port) retype("edtPort", r.port);
    if (r.typed) retype("edtPassword", r.typed);
    pressOK();
    EXPECT_EQ(keyring.calls, r.calls);
    EXPECT_EQ(std::pair(dlg.isVisible(), dlg.isEnabled()), std::pair(!r.accepted, true));
    ASSERT_FALSE(gShown.empty());
    EXPECT_EQ(std::pair(std::get<0>(gShown.back()), std::get<1>(gShown.back())), std::pair(r.heading, r.text));
    dlg.reject();
  }
}

// The sign-in rows line up with the other fields and fit, for each kind
// (run again at 192 dpi). With BRIVANE_SHOT_DIR set, each kind is also
// saved as a picture for looking at.
TEST_F(EditAccount, SignInKindsSizeHintsFit) {
  dlg.setSecretCommandRunner([](const SecretCommand& request) {
    if (request.command.starts_with("pass ")) return commandResult(true, "correct horse battery staple");
    return commandResult(false, "", "it exited with status 1", "",
                         "gpg: decryption failed: No secret key; see the agent's log "
                         "for the details of this rather long line of error output");
  });
  const char* shots = std::getenv("BRIVANE_SHOT_DIR");
  const std::pair<SignIn, const char*> kinds[] = {
      {SignIn::Password, "password"}, {SignIn::PasswordCommand, "password-command"}, {SignIn::TokenCommand, "token"},
      {SignIn::Keyring, "keyring"}};
  for (const auto& [kind, name] : kinds) {
    SCOPED_TRACE(name);
    TEmlAccount a = imapAccount(993);
    setEncryption(a, Encryption::Tls);
    a.server = "localhost";  // no listing
    a.signIn = kind;
    a.secretCommand = kind == SignIn::TokenCommand ? "oauth2-helper --account work" : "pass show mail/work";
    if (kind == SignIn::Keyring) a.password.clear();  // shows the placeholder
    open(a);
    const bool command = kind == SignIn::PasswordCommand || kind == SignIn::TokenCommand;
    if (command) {
      QTest::mouseClick(w<QPushButton>("btnTry"), Qt::LeftButton);
      ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.tryRunning(); }, 5000));
      QApplication::processEvents();
    }
    EXPECT_TRUE(ControlsThatDoNotFit(dlg).isEmpty()) << ControlsThatDoNotFit(dlg).join("\n").toStdString();
    // At 96 dpi the whole editor fits a 1366 x 768 screen with room for a panel and the title bar.
    if (qEnvironmentVariable("QT_FONT_DPI", QStringLiteral("96")) == QStringLiteral("96"))
      EXPECT_TRUE(dlg.sizeHint().width() <= 1366 && dlg.sizeHint().height() <= 768 - 80) << dlg.sizeHint().height();
    const QWidget* user = w("edtUsername");
    const QWidget* last = !command ? static_cast<QWidget*>(w("edtPassword")) : w<QPushButton>("btnTry");
    const QWidget* first = !command ? static_cast<QWidget*>(w("edtPassword")) : w("edtCommand");
    EXPECT_EQ(std::pair(first->x(), last->geometry().right()), std::pair(user->x(), user->geometry().right()));
    if (shots) {
      const QString dpi = qEnvironmentVariable("QT_FONT_DPI", QStringLiteral("96"));
      dlg.grab().save(QStringLiteral("%1/edit-account-%2-%3dpi.png").arg(shots, name, dpi));
    }
    dlg.reject();
  }
}

}  // namespace
}  // namespace brivane

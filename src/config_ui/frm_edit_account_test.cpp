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
#include "config_ui/message_dialog.h"
#include "config_ui/size_hint_check.h"
#include "fake_server.h"
#include "widgets/rich_check_list.h"

namespace brivane {
namespace {

using test::LoopbackServer;
using ::testing::ElementsAre;

// Messages shown while a test runs, answered from `answers` (Yes when empty).
struct Shown {
  QString heading, text;
  int defaultButton = 0;
};
std::vector<Shown> gShown;
std::vector<int> gAnswers;
int answer(const QString&, const QString& heading, const QString& text, int, int, int defaultButton) {
  gShown.push_back({heading, text, defaultButton});
  if (gAnswers.empty()) return mrYes;
  const int a = gAnswers.front();
  gAnswers.erase(gAnswers.begin());
  return a;
}

const char* kLoggedIn =
    "S: * OK ready\n"
    "C: C1 LOGIN ann secret\nS: C1 OK done\n"
    "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n"
    "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK done\n";

std::string folderScript() {
  return std::string(kLoggedIn) +
         "C: C4 LIST \"\" *\n"
         "S: * LIST () \".\" \"INBOX\"\nS: * LIST () \".\" \"INBOX.Sent\"\n"
         "S: * LIST () \".\" \"Archive\"\nS: * LIST () \".\" \"<b>&-x\"\nS: C4 OK done\n"
         "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n";
}

TEmlAccount imapAccount(int port, std::vector<std::string> folders = {}) {
  TEmlAccount a;
  a.name = "Work";
  a.server = "127.0.0.1";
  a.port = port;
  a.username = "ann";
  a.password = "secret";
  a.folders = std::move(folders);
  return a;
}

class EditAccount : public ::testing::Test {
 protected:
  void SetUp() override {
    gShown.clear();
    gAnswers.clear();
    SetMessageHook(answer);
    dlg.setTimerIntervals(1, 5);
  }
  void TearDown() override { SetMessageHook(nullptr); }

  template <class T>
  T* w(const char* name) {
    T* widget = dlg.findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  QLineEdit* edit(const char* name) { return w<QLineEdit>(name); }
  RichCheckList* list() { return w<RichCheckList>("lstFolders"); }
  std::string port() { return edit("edtPort")->text().toStdString(); }

  void open(const TEmlAccount& a) {
    dlg.setAccount(a);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  }
  // The user changes a field's text and moves on to the next field.
  void retype(const char* name, const QString& text) {
    QLineEdit* e = edit(name);
    e->setFocus();
    e->selectAll();
    QTest::keyClicks(e, text.isEmpty() ? QString() : text);
    if (text.isEmpty()) QTest::keyClick(e, Qt::Key_Delete);
    edit("edtAccountName")->setFocus();
  }
  void chooseType(bool pop) {
    QComboBox* type = w<QComboBox>("edtAccountType");
    type->setFocus();
    QTest::keyClick(type, pop ? Qt::Key_Down : Qt::Key_Up);
  }
  bool waitForRows(int n) {
    return QTest::qWaitFor([&] { return list()->count() == n && list()->rowLayout(0).pictures.size() == 1; }, 5000);
  }
  bool waitForLine(const char* line) {
    return QTest::qWaitFor([&] { return list()->count() == 1 && list()->text(0) == line; }, 5000);
  }
  void pressOK() { QTest::mouseClick(w<QPushButton>("Button1"), Qt::LeftButton); }
  std::vector<std::string> ticked() {
    std::vector<std::string> t;
    for (int i = 0; i < list()->count(); ++i)
      if (list()->isChecked(i)) t.push_back(shown(i));
    return t;
  }
  // A row's text as drawn, after its picture.
  std::string shown(int row) {
    const std::string& t = list()->rowLayout(row).texts.back().text;
    return t.substr(t.find_first_not_of(' '));
  }

  TfrmEditAccount dlg;
};

// The type box and the secure box move the port by the port rules; a type
// change also empties the server and the credentials; only a deliberate
// choice changes the type: the wheel over the type box changes nothing.
// Filling the editor runs no rule: a stored POP 992 shows as stored.
TEST_F(EditAccount, TypeAndSecureBoxes) {
  TEmlAccount a = imapAccount(992);
  a.isPOP = a.useTLS = true;
  a.password = "p\xC3\xA4ss w\xC3\xB6rd";
  open(a);
  EXPECT_EQ(w<QComboBox>("edtAccountType")->currentText(), "POP");
  EXPECT_EQ(port(), "992");
  EXPECT_TRUE(w<QCheckBox>("chkSecure")->isChecked());
  EXPECT_EQ(edit("edtServer")->text(), "127.0.0.1");
  EXPECT_EQ(edit("edtUsername")->text(), "ann");
  EXPECT_EQ(edit("edtPassword")->displayText(), QString(9, QChar(0x25CF)));
  EXPECT_EQ(ticked(), std::vector<std::string>{"Inbox"});
  EXPECT_FALSE(list()->isEnabled()) << "a POP account shows a disabled Inbox row";
  pressOK();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.account().port, 992);
  EXPECT_TRUE(dlg.account().isPOP && dlg.account().useTLS);
  EXPECT_EQ(dlg.account().password, a.password);
  EXPECT_TRUE(gShown.empty());

  a = imapAccount(143);
  a.server = "localhost";  // no listing
  open(a);
  QComboBox* type = w<QComboBox>("edtAccountType");
  for (bool focused : {false, true}) {
    if (focused) type->setFocus();
    const QPoint at = type->rect().center();
    QWheelEvent wheel(at, type->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(type, &wheel);
    EXPECT_EQ(type->currentIndex(), 0) << focused;
  }
  QTest::mouseClick(w<QCheckBox>("chkSecure"), Qt::LeftButton);
  EXPECT_EQ(port(), "993");
  EXPECT_EQ(edit("edtServer")->text(), "localhost") << "the secure box empties nothing";
  chooseType(true);
  EXPECT_EQ(port(), "995");
  for (const char* f : {"edtServer", "edtUsername", "edtPassword"}) EXPECT_TRUE(edit(f)->text().isEmpty()) << f;
  EXPECT_FALSE(list()->isEnabled());
  chooseType(false);
  EXPECT_EQ(port(), "993");
  EXPECT_TRUE(list()->isEnabled());
  // A different server empties the credentials, which were for the old one.
  retype("edtServer", "a.example");
  edit("edtUsername")->setText("ann");
  edit("edtPassword")->setText("pw");
  retype("edtServer", "b.example");
  EXPECT_TRUE(edit("edtUsername")->text().isEmpty() && edit("edtPassword")->text().isEmpty());
  // The store cannot keep "\" in a name: the field does not take it.
  QTest::keyClicks(edit("edtAccountName"), "a\\b");
  EXPECT_FALSE(edit("edtAccountName")->text().contains('\\'));
}

// The folder list drawn from the server's paths: sorted, indented by level,
// INBOX shown and ticked as "Inbox", names shown literally and stored raw.
TEST_F(EditAccount, FolderListFromTheServer) {
  LoopbackServer server(folderScript());
  TEmlAccount a = imapAccount(server.port());
  a.password.clear();
  open(a);
  EXPECT_TRUE(waitForLine(TIMAPFolderGet::kIncomplete));
  retype("edtPassword", "secret");  // a listing without the saved selection
  ASSERT_TRUE(waitForRows(4));
  std::vector<std::string> rows;
  for (int i = 0; i < 4; ++i) rows.push_back(shown(i));
  EXPECT_THAT(rows, ElementsAre("<b>&x", "Archive", "Inbox", "Sent"));
  EXPECT_EQ(list()->rowLayout(3).pictures[0].x, 12);
  EXPECT_EQ(list()->rowLayout(2).pictures[0].x, 0);
  EXPECT_EQ(ticked(), std::vector<std::string>{"Inbox"});
  const QRect box = list()->rowRect(0);
  QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, QPoint(box.left() + 8, box.center().y()));
  pressOK();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_THAT(dlg.account().folders, ElementsAre("<b>&x;<b>&x", "INBOX;Inbox"));
  server.finish();
  EXPECT_TRUE(server.errors().empty()) << ::testing::PrintToString(server.errors());
}

// Listing again never loses the user's choice: after a failed listing the
// stored folders still on the server are ticked, after a shown list its
// ticks and unticks. A field left unchanged starts no listing.
TEST_F(EditAccount, ListingAgainKeepsTheChosenFolders) {
  LoopbackServer first(folderScript()), second(folderScript());
  open(imapAccount(testing::closedPort(), {"Archive;Archive", "Gone;Gone"}));
  ASSERT_TRUE(waitForLine(TIMAPFolderGet::kCannotConnect));
  retype("edtPort", QString::number(first.port()));  // the corrected port
  ASSERT_TRUE(waitForRows(4));
  retype("edtServer", "127.0.0.1");  // left unchanged: no new listing
  QTest::qWait(20);
  EXPECT_EQ(ticked(), std::vector<std::string>{"Archive"});
  const QRect sent = list()->rowRect(3), archive = list()->rowRect(1);
  QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, QPoint(sent.left() + 8, sent.center().y()));
  QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, QPoint(archive.left() + 8, archive.center().y()));
  retype("edtPort", QString::number(second.port()));
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.done() && !dlg.listingRunning(); }, 5000));
  QTest::qWait(50);  // the last result drawn
  ASSERT_TRUE(waitForRows(4));
  EXPECT_EQ(ticked(), std::vector<std::string>{"Sent"});
  pressOK();
  EXPECT_THAT(dlg.account().folders, ElementsAre("INBOX.Sent;Sent"));
  first.finish();
  second.finish();
}

// OK on an unconfirmed server asks first; No keeps the editor open and the
// listing running; Yes keeps the folders the account had.
TEST_F(EditAccount, UnconfirmedSettingsQuestions) {
  LoopbackServer silent("STALL\n");
  struct Case {
    const char* what;
    std::string server;
    int port;
    const char* line;
    const char* heading;
    bool listing;
  } cases[] = {
      {"connecting", "127.0.0.1", silent.port(), TIMAPFolderGet::kConnecting,
       "Server settings have not been confirmed", true},
      {"refused", "127.0.0.1", testing::closedPort(), TIMAPFolderGet::kCannotConnect,
       "Error connecting to server", false},
      {"no dot in the server", "localhost", 143, TIMAPFolderGet::kIncomplete, "Error connecting to server", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gShown.clear();
    TEmlAccount a = imapAccount(c.port, {"INBOX;Inbox", "Lists.Qt;Qt"});
    a.server = c.server;
    open(a);
    ASSERT_TRUE(waitForLine(c.line));
    if (!c.listing) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.listingRunning(); }, 5000));
    }
    gAnswers = {mrNo};
    pressOK();
    ASSERT_EQ(gShown.size(), 1u);
    EXPECT_EQ(gShown[0].heading, c.heading);
    EXPECT_EQ(gShown[0].defaultButton, mbNo) << "Enter twice must not save it";
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.listingRunning(), c.listing);
    pressOK();  // answered Yes
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.listingRunning());
    EXPECT_THAT(dlg.account().folders, ElementsAre("INBOX;Inbox", "Lists.Qt;Qt"));
    EXPECT_EQ(dlg.account().server, c.server);
  }
  silent.finish(0);
}

// The first failing check refuses OK with its message and focuses its field.
TEST_F(EditAccount, ValidationOrder) {
  struct Step {
    const char* field;
    const char* value;  // given before the next OK
    const char* message;
  } steps[] = {
      {"edtAccountName", "Home", "Please enter a name for this email account"},
      {"edtServer", "localhost", "Please enter the server to connect to"},
      {"edtPort", nullptr, "Please enter a valid port"},
      {"edtUsername", "ann", "Please enter your username"},
      {"edtPassword", "pw", "Please enter your password"},
  };
  TEmlAccount a;
  open(a);
  edit("edtPort")->setText("99999");
  for (const Step& s : steps) {
    SCOPED_TRACE(s.field);
    gShown.clear();
    pressOK();
    ASSERT_EQ(gShown.size(), 1u);
    EXPECT_EQ(gShown[0].heading, "Account details missing or invalid");
    EXPECT_EQ(gShown[0].text, s.message);
    EXPECT_TRUE(edit(s.field)->hasFocus());
    if (s.value) edit(s.field)->setText(s.value);
  }
  EXPECT_EQ(edit("edtPort")->text(), "143");
  pressOK();  // the one remaining question ("localhost" starts no listing) answered Yes
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(dlg.account().name, "Home");
  EXPECT_THAT(dlg.account().folders, ElementsAre("INBOX;Inbox")) << "never listed: Inbox, not nothing";
}

TEST_F(EditAccount, SizeHintsFit) {
  LoopbackServer server(folderScript());
  open(imapAccount(server.port()));
  ASSERT_TRUE(waitForRows(4));
  EXPECT_TRUE(ControlsThatDoNotFit(dlg).isEmpty()) << ControlsThatDoNotFit(dlg).join("\n").toStdString();
  server.finish();
}

}  // namespace
}  // namespace brivane

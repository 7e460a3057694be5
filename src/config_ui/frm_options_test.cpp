#include "config_ui/frm_options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "common/version.h"
#include "config_ui/background_tab.h"
#include "config_ui/frm_edit_account.h"
#include "config_ui/message_dialog.h"
#include "config_ui/size_hint_check.h"
#include "fake_server.h"
#include "platform/power_sound_fakes.h"
#include "temp_dir.h"
#include "widgets/rich_check_list.h"
#include "widgets/rich_list_box.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

struct Shown {
  QString heading, text;
  int defaultButton = 0;
};
std::vector<Shown> shown;
int answer = mrOK;
int recordMessage(const QString&, const QString& heading, const QString& text, int, int, int defaultButton) {
  shown.push_back({heading, text, defaultButton});
  return answer;
}
bool waitUntil(std::function<bool()> done) { return QTest::qWaitFor(done, 5000); }

class FakeFetcher : public HttpFetcher {
 public:
  HttpResult result;
  HttpResult fetch(const std::string&, const std::atomic<bool>&) override { return result; }
};

class Options : public ::testing::Test {
 public:
  void SetUp() override {
    // Screensaver programs are looked for only in this test's own folder.
    fs::create_directories(dir_ + "/savers");
    setenv("BRIVANE_SAVER_PATH", (dir_ + "/savers").c_str(), 1);
    shown.clear();
    answer = mrOK;
    SetMessageHook(recordMessage);
  }
  void TearDown() override {
    dialog_.reset();
    SetMessageHook(nullptr);
    unsetenv("BRIVANE_SAVER_PATH");
  }
  // A store file written from `d` (through the settings layer).
  void writeStore(const DialogSettings& d) {
    FileRegistryStore s(path_);
    ASSERT_TRUE(s.load());
    ASSERT_TRUE(SaveSettings(s, d));
  }
  std::string touch(const std::string& name) {
    test::writeAll(dir_ + "/" + name, "RIFF");
    return dir_ + "/" + name;
  }
  TfrmOptions& open(OptionsDeps deps = {}) {
    store_ = std::make_unique<FileRegistryStore>(path_);
    if (!store_->load()) deps.storeLoadError = store_->lastError();
    deps.store = store_.get();
    deps.sound = &sound_;
    if (!deps.editAccount && !realEditor_) deps.editAccount = [this](QWidget*, TEmlAccount& a) {
      edited_.push_back(a);
      a.server = "edited.example";
      return editorAnswer_;
    };
    dialog_ = std::make_unique<TfrmOptions>(std::move(deps));
    dialog_->show();
    return *dialog_;
  }
  template <class T>
  T* w(const char* name) {
    T* found = dialog_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  void click(const char* button) { w<QAbstractButton>(button)->click(); }
  void selectRow(int row) {
    RichListBox* list = w<RichListBox>("lstAccounts");
    const QPointF at = list->rowRect(row).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &press);
  }
  std::optional<int32_t> stored(std::string_view key, const char* name) {
    FileRegistryStore s(path_);
    EXPECT_TRUE(s.load());
    const auto v = s.readInteger(key, name);
    return v.ok() ? std::optional<int32_t>(v.value) : std::nullopt;
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path(), path_ = dir_ + "/brivane.reg";
  std::unique_ptr<FileRegistryStore> store_;
  std::unique_ptr<TfrmOptions> dialog_;
  FakeNotificationSound sound_;
  std::vector<TEmlAccount> edited_;
  bool editorAnswer_ = true;
  bool realEditor_ = false;
};

TEmlAccount account(std::string name, bool tls = false) {
  TEmlAccount a;
  a.name = std::move(name);
  a.useTLS = tls;
  a.server = "mail.example";
  a.port = 143;
  return a;
}

// Every value off its default, three accounts, loaded and written back by OK:
// the store file comes out byte for byte as it went in.
TEST_F(Options, FullStoreIsWrittenBackUnchanged) {
  DialogSettings d;
  d.hideAccounts = true;
  d.hideFolders = false;
  d.playNotification = true;
  d.notificationPath = touch("my \"loud\" bell.WAV");
  d.pollMinutes = "17";
  d.monitorOff = true;  // forces monitorOn, so that one stays on
  d.monitorStayOn = true;
  d.checkForUpdates = false;
  d.useScreensaverBackground = true;
  d.screensaverPath = dir_ + "/savers/big wave";
  std::ofstream(d.screensaverPath) << "#!/bin/sh\nexec sleep 30\n";
  fs::permissions(d.screensaverPath, fs::perms::owner_all);
  d.supportScreenCapSavers = d.supportNonPreviewSavers = true;
  d.transparentOverlay = false;
  d.displayDate = d.displayTime = d.displayMsgPreview = true;
  d.displayMsgDate = false;
  d.width = WidthPreset::Wide;
  for (int i = 0; i < 3; ++i) {
    TEmlAccount a = account("Account " + std::to_string(i), i != 1);
    a.isPOP = i == 0;
    a.port = 990 + i;
    a.username = "user" + std::to_string(i);
    a.password = "pässwörd€ \"" + std::to_string(i);
    a.folders = {"INBOX;Inbox", "Work \"Q\" 1;Work \"Q\" 1", "a/b c;b c"};
    d.accounts.push_back(a);
  }
  d.accounts[1].name = "<b>&x";
  writeStore(d);
  const std::string before = test::readAll(path_);

  TfrmOptions& dlg = open();
  // The saved program is chosen again once the discovery has found it.
  ASSERT_TRUE(waitUntil([&] { return w<BackgroundTab>("BackgroundTab")->discovered(); }));
  EXPECT_EQ(w<QComboBox>("cboScreensaverSelect")->currentText(), "big wave");
  EXPECT_EQ(w<RichListBox>("lstAccounts")->count(), 3);
  EXPECT_EQ(w<RichListBox>("lstAccounts")->text(1), "<IMG src=\"idx:1\" align=\"middle\"> &lt;b&gt;&amp;x");
  EXPECT_EQ(w<RichListBox>("lstAccounts")->text(2), "<IMG src=\"idx:0\" align=\"middle\"> Account 2");
  EXPECT_TRUE(w<QRadioButton>("radWide")->isChecked());
  EXPECT_FALSE(w<QCheckBox>("chkMonitorOn")->isEnabled());  // held on by "turn off"
  std::vector<std::pair<bool, bool>> dateTime;
  QObject::connect(&dlg, &TfrmOptions::dateTimeDisplayChanged, [&](bool d, bool t) { dateTime.emplace_back(d, t); });
  w<QCheckBox>("chkDisplayTime")->click();
  EXPECT_EQ(dateTime, (std::vector<std::pair<bool, bool>>{{true, false}}));
  w<QCheckBox>("chkDisplayTime")->click();

  click("btnOK");
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(test::readAll(path_), before);
}

TEST_F(Options, AccountListButtons) {
  DialogSettings d;
  d.accounts = {account("Email Account 1"), account("Email Account 3", true)};
  writeStore(d);
  TfrmOptions& dlg = open();
  w<QTabWidget>("PageControl1")->setCurrentIndex(1);
  auto names = [&] {
    std::vector<std::string> n;
    for (const auto& a : dlg.accounts()) n.push_back(a.name);
    return n;
  };
  EXPECT_FALSE(w<QPushButton>("btnEdit")->isEnabled());
  EXPECT_FALSE(w<QLabel>("lblType")->isVisible());

  // Add proposes the first free number; the editor's OK appends.
  click("btnAdd");
  ASSERT_EQ(edited_.size(), 1u);
  EXPECT_EQ(edited_[0].name, "Email Account 2");
  EXPECT_EQ(edited_[0].port, 143);
  EXPECT_FALSE(edited_[0].isPOP);
  EXPECT_EQ(names(), (std::vector<std::string>{"Email Account 1", "Email Account 3", "Email Account 2"}));
  EXPECT_EQ(dlg.accounts()[2].server, "edited.example");

  // The selection's details; the editor's Cancel changes nothing.
  selectRow(1);
  EXPECT_EQ(w<QLabel>("lblType")->text(), "IMAP (Secure)");
  EXPECT_TRUE(w<QLabel>("lblServer")->isVisible());
  editorAnswer_ = false;
  click("btnEdit");
  EXPECT_EQ(edited_.back().name, "Email Account 3");
  EXPECT_EQ(dlg.accounts()[1].server, "mail.example");

  // Moving the first up does nothing; down exchanges and keeps it selected.
  selectRow(0);
  EXPECT_FALSE(w<QToolButton>("btnMoveUp")->isEnabled());
  w<QToolButton>("btnMoveUp")->click();
  click("btnMoveDown");
  EXPECT_EQ(names(), (std::vector<std::string>{"Email Account 3", "Email Account 1", "Email Account 2"}));
  EXPECT_EQ(w<RichListBox>("lstAccounts")->currentRow(), 1);
  EXPECT_TRUE(w<QToolButton>("btnMoveUp")->isEnabled());

  // Deleting down to an empty list leaves every row button disabled.
  for (int i = 0; i < 3; ++i) {
    selectRow(0);
    click("btnDelete");
  }
  EXPECT_TRUE(dlg.accounts().empty());
  for (const char* b : {"btnEdit", "btnDelete", "btnMoveUp", "btnMoveDown"})
    EXPECT_FALSE(w<QAbstractButton>(b)->isEnabled()) << b;
  EXPECT_FALSE(w<QLabel>("lblUser")->isVisible());
}

// Keys pressed where the keyboard focus is, as a user types them.
void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
}
void type(const char* text) { QTest::keyClicks(QApplication::focusWidget(), QString::fromUtf8(text)); }

// Makes `window` the active one, as a window manager does for a window that
// is shown or whose modal child has closed.
void activate(QWidget* window) {
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([window] { return window->isActiveWindow(); }, 5000));
}

// Runs `step` once the account editor is up (inside its modal loop).
void whenEditorShown(std::function<void(TfrmEditAccount&)> step) {
  QTimer::singleShot(0, [step] {
    auto* editor = qobject_cast<TfrmEditAccount*>(QApplication::activeModalWidget());
    if (editor == nullptr) return whenEditorShown(step);  // not yet shown: look again
    activate(editor);
    step(*editor);
  });
}

std::string folderScript() {
  return "S: * OK ready\n"
         "C: C1 LOGIN ann secret\nS: C1 OK done\n"
         "C: C2 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C2 OK done\n"
         "C: C3 CAPABILITY\nS: * CAPABILITY IMAP4rev1\nS: C3 OK done\n"
         "C: C4 LIST \"\" *\n"
         "S: * LIST () \".\" \"INBOX\"\nS: * LIST () \".\" \"INBOX.Sent\"\n"
         "S: * LIST () \".\" \"Archive\"\nS: * LIST () \".\" \"Junk\"\nS: C4 OK done\n"
         "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n";
}

// The whole account path without a mouse: add an account, list its folders,
// tick two, OK; reach the list by Tab and delete it.
TEST_F(Options, KeyboardOnlyAccountPath) {
  test::LoopbackServer first(folderScript());
  realEditor_ = true;
  TfrmOptions& dlg = open();
  activate(&dlg);
  auto* accounts = w<RichListBox>("lstAccounts");
  press(Qt::Key_Tab, Qt::ControlModifier);
  ASSERT_EQ(w<QTabWidget>("PageControl1")->currentIndex(), 1);

  const auto listed = [](TfrmEditAccount& editor) {
    auto* list = editor.findChild<RichCheckList*>("lstFolders");
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->count() == 4 && !list->isHeader(0); }, 5000));
  };
  const auto ticked = [](TfrmEditAccount& editor) {
    auto* list = editor.findChild<RichCheckList*>("lstFolders");
    std::vector<int> rows;
    for (int i = 0; i < list->count(); ++i)
      if (list->isChecked(i)) rows.push_back(i);
    return rows;
  };
  whenEditorShown([&](TfrmEditAccount& editor) {
    press(Qt::Key_S, Qt::AltModifier);
    type("127.0.0.1");
    press(Qt::Key_P, Qt::AltModifier);
    type(std::to_string(first.port()).c_str());
    press(Qt::Key_U, Qt::AltModifier);
    type("ann");
    press(Qt::Key_W, Qt::AltModifier);
    type("secret");
    press(Qt::Key_Tab);  // leaving the password starts the listing
    listed(editor);
    press(Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), editor.findChild<RichCheckList*>("lstFolders"));
    press(Qt::Key_Down);  // Archive
    press(Qt::Key_Space);
    press(Qt::Key_End);  // Junk
    press(Qt::Key_Space);
    EXPECT_EQ(ticked(editor), (std::vector<int>{0, 1, 3}));
    press(Qt::Key_Return);
  });
  press(Qt::Key_A, Qt::AltModifier);  // a mnemonic clicks after a short animation
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.accounts().size() == 1; }, 10000));
  activate(&dlg);
  EXPECT_EQ(dlg.accounts()[0].folders,
            (std::vector<std::string>{"Archive;Archive", "INBOX;Inbox", "Junk;Junk"}));
  EXPECT_EQ(accounts->currentRow(), 0) << "the new account is selected";

  for (int i = 0; i < 30 && QApplication::focusWidget() != accounts; ++i) press(Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), accounts) << "Tab reaches the account list";
  answer = mrNo;
  press(Qt::Key_Delete);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].defaultButton, mbNo);
  EXPECT_EQ(dlg.accounts().size(), 1u);
  answer = mrYes;
  press(Qt::Key_Delete);
  EXPECT_TRUE(dlg.accounts().empty());
  first.finish();
}

// Control states that the store must receive as the dialog's rules say.
TEST_F(Options, StoredValuesFollowTheRules) {
  const struct {
    const char* name;
    int32_t storedValue;  // written under `value` first; -1: nothing
    std::function<void(Options&)> act;
    std::string_view key;
    const char* value;
    std::optional<int32_t> expected;
  } cases[] = {
      {"unknown width kept", 400,
       [](Options& t) {
         for (const char* r : {"radSlim", "radModerate", "radWide"}) EXPECT_FALSE(t.w<QRadioButton>(r)->isChecked());
       },
       kModulesKey, "previewWidth", 400},
      {"minutes stored as ms", -1, [](Options& t) { t.w<QSpinBox>("edtPollInterval")->setValue(10); }, kMainKey,
       "pollInterval", 600000},
      {"1.5 minutes shown rounded, kept unless changed", 90000,
       [](Options& t) { EXPECT_EQ(t.w<QSpinBox>("edtPollInterval")->value(), 2); }, kMainKey, "pollInterval",
       90000},
      {"0 shown as 1 minute, kept unless changed", 0,
       [](Options& t) { EXPECT_EQ(t.w<QSpinBox>("edtPollInterval")->value(), 1); }, kMainKey, "pollInterval", 0},
      {"stay on needs monitor on", -1,
       [](Options& t) {
         t.w<QCheckBox>("chkMonitorStayOn")->click();
         t.w<QCheckBox>("chkMonitorOn")->click();
         EXPECT_FALSE(t.w<QCheckBox>("chkMonitorStayOn")->isEnabled());
       },
       kMainKey, "monitorStayOn", 0},
      {"turning off checks on", -1,
       [](Options& t) {
         t.w<QCheckBox>("chkMonitorOn")->click();
         t.w<QCheckBox>("chkMonitorOff")->click();
       },
       kMainKey, "monitorOn", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path_);
    if (c.storedValue >= 0) {
      FileRegistryStore s(path_);
      ASSERT_TRUE(s.load());
      ASSERT_TRUE(s.transact([&](RegistryStore& r) { return r.writeInteger(c.key, c.value, c.storedValue); }));
    }
    open();
    c.act(*this);
    click("btnOK");
    EXPECT_EQ(stored(c.key, c.value), c.expected);
  }
}

TEST_F(Options, SoundFileRulesOnOk) {
  const std::string wav = touch("bell.WaV"), text = touch("bell.txt");
  const struct {
    bool play;
    std::string path;
    bool closes;
    std::string pathAfter;
  } cases[] = {
      {true, wav, true, wav},
      {true, text, false, text},           // refused, with the message
      {true, dir_ + "/gone.wav", false, dir_ + "/gone.wav"},
      {false, text, true, ""},             // silently emptied
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    fs::remove(path_);
    shown.clear();
    TfrmOptions& dlg = open();
    w<QCheckBox>("chkPlayNotification")->setChecked(c.play);
    w<QLineEdit>("edtNotification")->setText(QString::fromStdString(c.path));
    w<QCheckBox>("chkHideAccounts")->setChecked(true);
    click("btnOK");
    EXPECT_EQ(dlg.isVisible(), !c.closes);
    EXPECT_EQ(w<QLineEdit>("edtNotification")->text().toStdString(), c.pathAfter);
    ASSERT_EQ(shown.size(), c.closes ? 0u : 1u);
    if (!c.closes) {
      EXPECT_EQ(shown[0].heading, "The file you chose cannot be used");
    }
    // Written on every OK, also the refused one.
    EXPECT_EQ(stored(kMainKey, "hideAccounts"), 1);
  }
  // Play goes through the sound interface.
  open();
  w<QCheckBox>("chkPlayNotification")->setChecked(true);
  w<QLineEdit>("edtNotification")->setText(QString::fromStdString(wav));
  click("btnPlay");
  EXPECT_EQ(sound_.played, std::vector<std::string>{wav});
}

TEST_F(Options, CancelAndCloseBoxWriteNothing) {
  writeStore(DialogSettings());
  const std::string before = test::readAll(path_);
  for (int how = 0; how < 2; ++how) {
    TfrmOptions& dlg = open();
    w<QCheckBox>("chkHideAccounts")->click();
    if (how == 0) click("btnCancel");
    else dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(test::readAll(path_), before);
  }
}

TEST_F(Options, StoreFailuresAreReportedAndKeepTheDialogOpen) {
  // A file that is not a store: said when the dialog opens, never written.
  test::writeAll(path_, "this is not a store\n");
  TfrmOptions& bad = open();
  ASSERT_TRUE(waitUntil([] { return shown.size() == 1; }));
  EXPECT_EQ(shown[0].heading, "The settings could not be read");
  click("btnOK");
  EXPECT_TRUE(bad.isVisible());
  EXPECT_EQ(shown.back().heading, "The settings could not be saved");
  EXPECT_EQ(test::readAll(path_), "this is not a store\n");

  // A commit that fails says why and keeps the dialog; the next OK may succeed.
  fs::remove(path_);
  shown.clear();
  TfrmOptions& dlg = open();
  bool fail = true;
  store_->setCommitHook([&](FileRegistryStore::CommitStep) { return !fail; });
  w<QCheckBox>("chkHideAccounts")->click();
  click("btnOK");
  EXPECT_TRUE(dlg.isVisible());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].heading, "The settings could not be saved");
  EXPECT_FALSE(shown[0].text.isEmpty());
  fail = false;
  click("btnOK");
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(stored(kMainKey, "hideAccounts"), 1);
}

// Closing while a screensaver's own settings window is open asks first (No
// the default, keeping both open); Yes asks that program to end (SIGTERM).
TEST_F(Options, ClosingWithTheSaversSettingsOpenAsksFirst) {
  const std::string saver = dir_ + "/savers/waves";
  std::ofstream(saver) << "#!/bin/sh\nif [ \"$1\" = -c ]; then trap 'touch \"$0.term\"; exit 0' TERM\n"
                       << "touch \"$0.open\"; fi\nwhile :; do sleep 0.02; done\n";
  fs::permissions(saver, fs::perms::owner_all);
  TfrmOptions& dlg = open();
  auto* tab = dlg.findChild<BackgroundTab*>();
  ASSERT_TRUE(waitUntil([&] { return tab->discovered(); }));
  w<QComboBox>("cboScreensaverSelect")->setCurrentIndex(1);
  click("btnScreensaverSettings");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(saver + ".open"); }));
  answer = mrNo;
  dlg.close();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].heading, "The screensaver's settings are still open");
  EXPECT_TRUE(shown[0].text.contains("\"waves\"")) << shown[0].text.toStdString();
  EXPECT_EQ(shown[0].defaultButton, mbNo);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_NE(tab->settingsPid(), 0);
  answer = mrYes;
  click("btnCancel");
  EXPECT_FALSE(dlg.isVisible());
  dialog_.reset();
  EXPECT_TRUE(fs::exists(saver + ".term"));
}

TEST_F(Options, UpdateButtonReportsEachOutcome) {
  open();  // no manifest address in this build
  EXPECT_FALSE(w<QPushButton>("btnCheckUpdates")->isEnabled());
  EXPECT_FALSE(w<QCheckBox>("chkUpdateNotify")->isEnabled()) << "a build that cannot check offers no notice";
  EXPECT_TRUE(w<QPushButton>("btnCheckUpdates")->toolTip().contains("no update address"));

  const struct {
    HttpResult result;
    int answer;
    const char* heading;
    bool opened;
  } cases[] = {
      {{false, 0, "", false, "refused"}, mrOK, "Error checking for updates", false},
      {{true, 200, "<latestversion>65535.0.0.0</LATESTVERSION>", false, ""}, mrYes, "Brivane Updates are available", true},
      {{true, 200, "<LatestVersion>65535.0.0.0</LatestVersion>", false, ""}, mrNo, "Brivane Updates are available", false},
      {{true, 200, "<LatestVersion>" + versionText(programVersion()) + "</LatestVersion>", false, ""}, mrOK,
       "Your version of Brivane is up to date", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.heading);
    FakeFetcher fetcher;
    fetcher.result = c.result;
    std::vector<std::string> opened;
    OptionsDeps deps;
    deps.fetcher = &fetcher;
    deps.addresses = {"http://updates.example/m.xml", "https://example.org/get"};
    deps.openUrl = [&](const std::string& a) { opened.push_back(a); };
    open(std::move(deps));
    shown.clear();
    answer = c.answer;
    click("btnCheckUpdates");
    EXPECT_EQ(w<QPushButton>("btnCheckUpdates")->text(), "Please wait...");
    ASSERT_TRUE(waitUntil([] { return shown.size() == 1; }));
    EXPECT_EQ(shown[0].heading, c.heading);
    EXPECT_FALSE(shown[0].text.contains(".If")) << shown[0].text.toStdString();
    EXPECT_TRUE(w<QCheckBox>("chkUpdateNotify")->isEnabled());
    EXPECT_EQ(opened.size(), c.opened ? 1u : 0u);
    EXPECT_TRUE(w<QPushButton>("btnCheckUpdates")->isEnabled());
    EXPECT_EQ(w<QPushButton>("btnCheckUpdates")->text(), "Check for &Updates Now...");
    EXPECT_FALSE(dialog_->updateCheckRunning());
  }
}

TEST(OptionsPlacement, ThirtyPixelsFromTheParentInsideTheScreen) {
  const QRect screen(0, 0, 1000, 800);
  const QSize frame(400, 300);
  EXPECT_EQ(OptionsPosition(screen, frame, std::nullopt), QPoint(300, 250));
  EXPECT_EQ(OptionsPosition(screen, frame, QPoint(100, 50)), QPoint(130, 80));
  EXPECT_EQ(OptionsPosition(screen, frame, QPoint(900, 700)), QPoint(600, 500));
  EXPECT_EQ(OptionsPosition(QRect(1000, 0, 1000, 800), frame, QPoint(980, -40)), QPoint(1010, 0));
}

TEST_F(Options, SizeHintsFitOnEveryTab) {
  DialogSettings d;
  d.accounts = {account("A rather long account name for the list", true)};
  d.accounts[0].server = "imap.a-long-server-name.example.org";
  d.accounts[0].username = "somebody@a-long-server-name.example.org";
  writeStore(d);
  TfrmOptions& dlg = open();
  selectRow(0);
  QTabWidget* tabs = w<QTabWidget>("PageControl1");
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    QApplication::processEvents();
    EXPECT_EQ(ControlsThatDoNotFit(dlg).join("\n").toStdString(), "") << tabs->tabText(i).toStdString();
  }
}

}  // namespace
}  // namespace brivane

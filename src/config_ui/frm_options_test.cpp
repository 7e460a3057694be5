#include "config_ui/frm_options.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <filesystem>

#include "checking/checker_test_support.h"
#include "common/version.h"
#include "config_ui/background_tab.h"
#include "config_ui/frm_adv_scrn_options.h"
#include "config_ui/frm_edit_account.h"
#include "config_ui/frm_no_scrn_options.h"
#include "config_ui/keyring_fake.h"
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
bool waitUntil(std::function<bool()> done, int ms = 5000) { return QTest::qWaitFor(done, ms); }

struct FakeFetcher : HttpFetcher {
  HttpResult result;
  HttpResult fetch(const std::string&, const std::atomic<bool>&) override { return result; }
};

TEmlAccount account(std::string name, bool tls = false) {
  return {.name = std::move(name), .username = {}, .password = {}, .server = "mail.example", .port = 143,
          .useTLS = tls, .folders = {}};
}

class Options : public ::testing::Test {
 public:
  void SetUp() override {
    // Screensaver programs are looked for only in this test's own folder.
    fs::create_directories(dir_ + "/savers");
    setenv("BRIVANE_SAVER_PATH", (dir_ + "/savers").c_str(), 1);
    // The autostart folder is this test's own, and the session is not Wayland.
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    unsetenv("XDG_SESSION_TYPE"), unsetenv("WAYLAND_DISPLAY");
    shown.clear();
    answer = mrOK;
    SetMessageHook(recordMessage);
  }
  void TearDown() override {
    dialog_.reset();
    SetMessageHook(nullptr);
    unsetenv("BRIVANE_SAVER_PATH");
  }
  void writeStore(const DialogSettings& d) {
    FileRegistryStore s(path_);
    ASSERT_TRUE(s.load() && SaveSettings(s, d));
  }
  std::string touch(const std::string& name, const std::string& text = "RIFF") {
    test::writeAll(dir_ + "/" + name, text);
    return dir_ + "/" + name;
  }
  // An executable script in the screensaver folder.
  std::string saver(const std::string& name, const std::string& script) {
    const std::string path = touch("savers/" + name, "#!/bin/sh\n" + script);
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }
  TfrmOptions& open(OptionsDeps deps = {}) {
    store_ = std::make_unique<FileRegistryStore>(path_);
    if (!store_->load()) deps.storeLoadError = store_->lastError();
    deps.store = store_.get();
    deps.sound = &sound_;
    if (!deps.startAtLogin) deps.startAtLogin = [this](bool on, std::string& why) {
      startAtLoginCalls_.push_back(on);
      why = "No space left on device";
      return startAtLoginResult_;
    };
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
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, list->rowRect(row).center());
  }
  std::optional<int32_t> stored(std::string_view key, const char* name) {
    FileRegistryStore s(path_);
    EXPECT_TRUE(s.load());
    const auto v = s.readInteger(key, name);
    return v.ok() ? std::optional<int32_t>(v.value) : std::nullopt;
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (const auto& a : dialog_->accounts()) n.push_back(a.name);
    return n;
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path(), path_ = dir_ + "/brivane.reg";
  std::unique_ptr<FileRegistryStore> store_;
  std::unique_ptr<TfrmOptions> dialog_;
  FakeNotificationSound sound_;
  std::vector<TEmlAccount> edited_;
  bool editorAnswer_ = true, realEditor_ = false;
  std::vector<bool> startAtLoginCalls_;
  bool startAtLoginResult_ = true;
};

// Every value off its default, two accounts, loaded and written back by OK:
// the store file comes out byte for byte as it went in.
TEST_F(Options, FullStoreIsWrittenBackUnchanged) {
  DialogSettings d{.hideAccounts = true, .hideFolders = false, .playNotification = true,
                   .notificationPath = touch("my \"loud\" bell.WAV"), .pollMinutes = "17",
                   .monitorOff = true, .monitorStayOn = true,  // "off" holds "on" on
                   .checkForUpdates = false, .useScreensaverBackground = true,
                   .screensaverPath = saver("big wave", "exec sleep 30\n"), .supportScreenCapSavers = true,
                   .supportNonPreviewSavers = true, .transparentOverlay = false, .displayDate = true,
                   .displayTime = true, .displayMsgDate = false, .displayMsgPreview = true,
                   .width = WidthPreset::Wide, .accounts = {}};
  for (int i = 0; i < 2; ++i) {
    TEmlAccount a = account(i == 0 ? "<b>&x" : "Account 1", i != 0);
    std::tie(a.isPOP, a.port, a.username, a.password) = std::tuple(i == 1, 990 + i, "u" + std::to_string(i), "pä€");
    a.folders = {"INBOX;Inbox", "Work \"Q\" 1;Work \"Q\" 1"};
    d.accounts.push_back(a);
  }
  writeStore(d);
  const std::string before = test::readAll(path_);
  TfrmOptions& dlg = open();
  // The saved program must be chosen again once the discovery has found it.
  ASSERT_TRUE(waitUntil([&] { return w<BackgroundTab>("BackgroundTab")->discovered(); }));
  EXPECT_EQ(w<RichListBox>("lstAccounts")->text(0), "<IMG src=\"idx:1\" align=\"middle\"> &lt;b&gt;&amp;x");
  EXPECT_EQ(w<RichListBox>("lstAccounts")->text(1), "<IMG src=\"idx:0\" align=\"middle\"> Account 1");
  EXPECT_FALSE(w<QCheckBox>("chkMonitorOn")->isEnabled());
  std::vector<std::pair<bool, bool>> dateTime;
  QObject::connect(&dlg, &TfrmOptions::dateTimeDisplayChanged, [&](bool d, bool t) { dateTime.emplace_back(d, t); });
  w<QCheckBox>("chkDisplayTime")->click();
  EXPECT_EQ(dateTime, (std::vector<std::pair<bool, bool>>{{true, false}}));
  w<QCheckBox>("chkDisplayTime")->click();
  click("btnOK");
  EXPECT_FALSE(dlg.isVisible() || !shown.empty());
  EXPECT_EQ(test::readAll(path_), before);
}

TEST_F(Options, AccountListButtons) {
  DialogSettings d;
  d.accounts = {account("Email Account 1"), account("Email Account 3", true)};
  writeStore(d);
  TfrmOptions& dlg = open();
  w<QTabWidget>("PageControl1")->setCurrentIndex(1);
  EXPECT_FALSE(w<QPushButton>("btnEdit")->isEnabled() || w<QLabel>("lblType")->isVisible());
  // Add proposes the first free number, IMAP over TLS; the editor's OK appends.
  click("btnAdd");
  ASSERT_EQ(edited_.size(), 1u);
  EXPECT_EQ(std::tuple(edited_[0].name, edited_[0].port, edited_[0].isPOP, encryptionOf(edited_[0])),
            std::tuple("Email Account 2", 993, false, Encryption::Tls));
  EXPECT_EQ(names(), (std::vector<std::string>{"Email Account 1", "Email Account 3", "Email Account 2"}));
  EXPECT_EQ(dlg.accounts()[2].server, "edited.example");
  // The selection's details; the editor's Cancel changes nothing.
  selectRow(1);
  EXPECT_TRUE(w<QLabel>("lblType")->text() == "IMAP (Secure)" && w<QLabel>("lblServer")->isVisible());
  editorAnswer_ = false;
  click("btnEdit");
  EXPECT_EQ(std::tuple(edited_.back().name, dlg.accounts()[1].server), std::tuple("Email Account 3", "mail.example"));
  // Moving the first up does nothing; down exchanges and keeps it selected.
  selectRow(0);
  EXPECT_FALSE(w<QToolButton>("btnMoveUp")->isEnabled());
  w<QToolButton>("btnMoveUp")->click();
  click("btnMoveDown");
  EXPECT_EQ(names(), (std::vector<std::string>{"Email Account 3", "Email Account 1", "Email Account 2"}));
  EXPECT_TRUE(w<RichListBox>("lstAccounts")->currentRow() == 1 && w<QToolButton>("btnMoveUp")->isEnabled());
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
// Makes `window` the active one, as a window manager does.
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

// The whole account path without a mouse: add an account (the plain test
// server needs encryption None), list its folders, tick two, OK; reach the
// list by Tab and delete it (No first, the default).
TEST_F(Options, KeyboardOnlyAccountPath) {
  test::LoopbackServer server(
      std::string(testing::kImapLoggedIn) + "C: C4 LIST \"\" *\n"
      "S: * LIST () \".\" \"INBOX\"\nS: * LIST () \".\" \"INBOX.Sent\"\n"
      "S: * LIST () \".\" \"Archive\"\nS: * LIST () \".\" \"Junk\"\nS: C4 OK done\n"
      "C: C5 LOGOUT\nS: * BYE\nS: C5 OK done\nX\n");
  realEditor_ = true;
  TfrmOptions& dlg = open();
  activate(&dlg);
  press(Qt::Key_Tab, Qt::ControlModifier);
  ASSERT_EQ(w<QTabWidget>("PageControl1")->currentIndex(), 1);
  whenEditorShown([&](TfrmEditAccount& editor) {
    const std::pair<Qt::Key, std::string> fields[] = {
        {Qt::Key_S, "127.0.0.1"}, {Qt::Key_P, std::to_string(server.port())}, {Qt::Key_U, "ann"},
        {Qt::Key_W, "secret"}};
    press(Qt::Key_E, Qt::AltModifier);
    press(Qt::Key_End);  // None
    for (const auto& [mnemonic, text] : fields) {
      press(mnemonic, Qt::AltModifier);
      QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(text));
    }
    press(Qt::Key_Tab);  // leaving the password starts the listing
    auto* list = editor.findChild<RichCheckList*>("lstFolders");
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->count() == 4 && !list->isHeader(0); }, 5000));
    press(Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), list);
    for (Qt::Key k : {Qt::Key_Down, Qt::Key_Space, Qt::Key_End, Qt::Key_Space}) press(k);  // Archive, Junk
    press(Qt::Key_Return);
  });
  press(Qt::Key_A, Qt::AltModifier);  // a mnemonic clicks after a short animation
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.accounts().size() == 1; }, 10000));
  activate(&dlg);
  EXPECT_EQ(dlg.accounts()[0].folders, (std::vector<std::string>{"Archive;Archive", "INBOX;Inbox", "Junk;Junk"}));
  EXPECT_EQ(encryptionOf(dlg.accounts()[0]), Encryption::None);
  auto* accounts = w<RichListBox>("lstAccounts");
  EXPECT_EQ(accounts->currentRow(), 0) << "the new account is selected";
  for (int i = 0; i < 30 && QApplication::focusWidget() != accounts; ++i) press(Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), accounts) << "Tab reaches the account list";
  answer = mrNo;
  press(Qt::Key_Delete);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(std::tuple(shown[0].defaultButton, dlg.accounts().size()), std::tuple(int(mbNo), size_t(1)));
  answer = mrYes;
  press(Qt::Key_Delete);
  EXPECT_TRUE(dlg.accounts().empty());
  server.finish();
}

// The dialog's own rules: a poll interval and a width the user did not touch
// stay as stored (90000 ms shows as 2 minutes, 400 is no preset); an edited
// interval is stored in ms; "stay on" needs "on", and "off" holds "on" on.
TEST_F(Options, ControlRulesAndUntouchedValues) {
  {
    FileRegistryStore s(path_);
    ASSERT_TRUE(s.load() && s.transact([](RegistryStore& r) {
      return r.writeInteger(kMainKey, "pollInterval", 90000) && r.writeInteger(kModulesKey, "previewWidth", 400);
    }));
  }
  open();
  EXPECT_EQ(w<QSpinBox>("edtPollInterval")->value(), 2);
  for (const char* r : {"radSlim", "radModerate", "radWide"}) EXPECT_FALSE(w<QRadioButton>(r)->isChecked()) << r;
  click("chkMonitorStayOn");
  click("chkMonitorOn");
  EXPECT_FALSE(w<QCheckBox>("chkMonitorStayOn")->isEnabled());
  click("btnOK");
  EXPECT_EQ(std::tuple(stored(kMainKey, "pollInterval"), stored(kModulesKey, "previewWidth"),
                       stored(kMainKey, "monitorStayOn")), std::tuple(90000, 400, 0));
  open();
  w<QSpinBox>("edtPollInterval")->setValue(10);
  click("chkMonitorOff");
  EXPECT_TRUE(w<QCheckBox>("chkMonitorOn")->isChecked() && !w<QCheckBox>("chkMonitorOn")->isEnabled());
  click("btnOK");
  EXPECT_EQ(stored(kMainKey, "pollInterval"), 600000);
}

// OK refuses a sound file that is no .wav or is gone (with a message) while
// the sound is on, empties it silently while off, and writes the other
// settings in every case; Play goes through the sound interface.
TEST_F(Options, SoundFileOnOkAndPlay) {
  const std::string wav = touch("bell.WaV"), text = touch("bell.txt"), gone = dir_ + "/gone.wav";
  // Sound on, the path, whether OK closes the dialog, the path then.
  const std::tuple<bool, std::string, bool, std::string> cases[] = {
      {true, wav, true, wav}, {true, text, false, text}, {true, gone, false, gone}, {false, text, true, ""}};
  for (const auto& [play, path, closes, after] : cases) {
    SCOPED_TRACE(path);
    fs::remove(path_);
    shown.clear();
    TfrmOptions& dlg = open();
    w<QCheckBox>("chkPlayNotification")->setChecked(play);
    w<QLineEdit>("edtNotification")->setText(QString::fromStdString(path));
    w<QCheckBox>("chkHideAccounts")->setChecked(true);
    click("btnOK");
    EXPECT_EQ(std::tuple(dlg.isVisible(), w<QLineEdit>("edtNotification")->text().toStdString(),
                         stored(kMainKey, "hideAccounts")), std::tuple(!closes, after, 1));
    std::string headings;
    for (const Shown& m : shown) headings += m.heading.toStdString();
    EXPECT_EQ(headings, closes ? "" : "The file you chose cannot be used");
  }
  w<QCheckBox>("chkPlayNotification")->setChecked(true);
  w<QLineEdit>("edtNotification")->setText(QString::fromStdString(wav));
  click("btnPlay");
  EXPECT_EQ(sound_.played, std::vector<std::string>{wav});
}

TEST_F(Options, CancelAndCloseBoxWriteNothing) {
  writeStore({});
  const std::string before = test::readAll(path_);
  for (bool cancel : {true, false}) {
    TfrmOptions& dlg = open();
    w<QCheckBox>("chkHideAccounts")->click();
    cancel ? click("btnCancel") : void(dlg.close());
    EXPECT_EQ(std::pair(dlg.isVisible(), test::readAll(path_)), std::pair(false, before));
  }
}

// Deleted keyring accounts take their keyring password with them on the OK
// that saves the list, not on Cancel; an entry a remaining keyring account
// still uses stays, an account of another kind has none; a failed removal
// is said and the dialog closes all the same.
TEST_F(Options, DeletedKeyringAccountsLeaveTheKeyringOnOk) {
  auto keyringAccount = [](std::string name, std::string user, std::optional<SignIn> kind = SignIn::Keyring) {
    TEmlAccount a = account(std::move(name));
    a.username = std::move(user);
    a.signIn = kind;
    return a;
  };
  DialogSettings d;
  d.accounts = {keyringAccount("Gone", "bob"), keyringAccount("Plain", "carl", std::nullopt),
                keyringAccount("Twin", "ann"), keyringAccount("Kept", "ann"), keyringAccount("Late", "dora")};
  writeStore(d);
  for (bool ok : {false, true}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    shown.clear();
    test::FakeKeyring keyring;
    keyring.removeOutcome = KeyringResult::Outcome::Failed;
    OptionsDeps deps;
    deps.keyring = keyring.seam();
    TfrmOptions& dlg = open(std::move(deps));
    w<QTabWidget>("PageControl1")->setCurrentIndex(1);
    for (int row : {0, 0, 0}) {  // Gone, Plain, Twin
      selectRow(row);
      click("btnDelete");
    }
    selectRow(1);
    click("btnDelete");
    ASSERT_EQ(names(), std::vector<std::string>{"Kept"});
    click(ok ? "btnOK" : "btnCancel");
    EXPECT_FALSE(dlg.isVisible());
    if (!ok) {
      EXPECT_TRUE(keyring.calls.empty() && shown.empty());
      continue;
    }
    EXPECT_EQ(keyring.calls,
              (std::vector<std::string>{"remove imap bob@mail.example:143", "remove imap dora@mail.example:143"}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].heading.toStdString(), "Passwords could not be removed from the desktop keyring");
    const std::string why = keyringOutcomeText(test::FakeKeyring::result(KeyringResult::Outcome::Failed));
    EXPECT_EQ(shown[0].text.toStdString(), "bob@mail.example: " + why + "\ndora@mail.example: " + why);
  }
}

TEST_F(Options, StoreFailuresAreReportedAndKeepTheDialogOpen) {
  // A file that is not a store: said when the dialog opens, never written.
  test::writeAll(path_, "this is not a store\n");
  TfrmOptions& bad = open();
  ASSERT_TRUE(waitUntil([] { return shown.size() == 1; }));
  EXPECT_EQ(shown[0].heading, "The settings could not be read");
  click("btnOK");
  EXPECT_EQ(std::tuple(bad.isVisible(), shown.back().heading.toStdString(), test::readAll(path_)),
            std::tuple(true, "The settings could not be saved", "this is not a store\n"));
  // A commit that fails says why and keeps the dialog; the next OK may succeed.
  fs::remove(path_);
  shown.clear();
  TfrmOptions& dlg = open();
  bool fail = true;
  store_->setCommitHook([&](FileRegistryStore::CommitStep) { return !fail; });
  w<QCheckBox>("chkHideAccounts")->click();
  click("btnOK");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(std::tuple(dlg.isVisible(), shown[0].heading.toStdString(), shown[0].text.isEmpty()),
            std::tuple(true, "The settings could not be saved", false));
  fail = false;
  click("btnOK");
  EXPECT_EQ(std::tuple(dlg.isVisible(), stored(kMainKey, "hideAccounts")), std::tuple(false, 1));
}

// Closing while a screensaver's own settings window is open asks first (No
// the default, keeping both open); Yes asks that program to end (SIGTERM).
TEST_F(Options, ClosingWithTheSaversSettingsOpenAsksFirst) {
  const std::string waves = saver("waves", "if [ \"$1\" = -c ]; then trap 'touch \"$0.term\"; exit 0' TERM\n"
                                           "touch \"$0.open\"; fi\nwhile :; do sleep 0.02; done\n");
  TfrmOptions& dlg = open();
  auto* tab = dlg.findChild<BackgroundTab*>();
  ASSERT_TRUE(waitUntil([&] { return tab->discovered(); }));
  w<QComboBox>("cboScreensaverSelect")->setCurrentIndex(1);
  click("btnScreensaverSettings");
  ASSERT_TRUE(waitUntil([&] { return fs::exists(waves + ".open"); }));
  answer = mrNo;
  dlg.close();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(std::tuple(shown[0].heading.toStdString(), shown[0].defaultButton),
            std::tuple("The screensaver's settings are still open", int(mbNo)));
  EXPECT_TRUE(shown[0].text.contains("\"waves\"")) << shown[0].text.toStdString();
  EXPECT_TRUE(dlg.isVisible() && tab->settingsPid() != 0);
  answer = mrYes;
  click("btnCancel");
  EXPECT_FALSE(dlg.isVisible());
  dialog_.reset();
  EXPECT_TRUE(fs::exists(waves + ".term"));
}

TEST_F(Options, UpdateButtonReportsEachOutcome) {
  open();  // no manifest address in this build: no check, no notice
  EXPECT_FALSE(w<QPushButton>("btnCheckUpdates")->isEnabled() || w<QCheckBox>("chkUpdateNotify")->isEnabled() ||
               !w<QPushButton>("btnCheckUpdates")->toolTip().contains("no update address"));
  const std::string newer = "<LatestVersion>65535.0.0.0</LatestVersion>";
  const std::tuple<HttpResult, int, const char*, size_t> cases[] = {
      {{false, 0, "", false, "refused"}, mrOK, "Error checking for updates", 0},
      {{true, 200, newer, false, ""}, mrYes, "Brivane Updates are available", 1},
      {{true, 200, newer, false, ""}, mrNo, "Brivane Updates are available", 0},
      {{true, 200, "<LatestVersion>" + versionText(programVersion()) + "</LatestVersion>", false, ""}, mrOK,
       "Your version of Brivane is up to date", 0}};
  for (const auto& [result, given, heading, opens] : cases) {
    SCOPED_TRACE(heading);
    FakeFetcher fetcher;
    fetcher.result = result;
    std::vector<std::string> opened;
    OptionsDeps deps;
    std::tie(deps.fetcher, deps.addresses) = std::tuple(&fetcher, UpdateAddresses{"http://u/m.xml", "https://e.org/"});
    deps.openUrl = [&](const std::string& a) { opened.push_back(a); };
    open(std::move(deps));
    shown.clear();
    answer = given;
    click("btnCheckUpdates");
    EXPECT_EQ(w<QPushButton>("btnCheckUpdates")->text(), "Please wait...");
    ASSERT_TRUE(waitUntil([] { return shown.size() == 1; }));
    EXPECT_EQ(std::tuple(shown[0].heading.toStdString(), opened.size()), std::tuple(heading, opens));
    EXPECT_FALSE(shown[0].text.contains(".If")) << shown[0].text.toStdString();  // sentences keep their blank
    EXPECT_TRUE(w<QCheckBox>("chkUpdateNotify")->isEnabled() && w<QPushButton>("btnCheckUpdates")->isEnabled());
    EXPECT_EQ(w<QPushButton>("btnCheckUpdates")->text(), "Check for &Updates Now...");
  }
}

// "Starting": the minutes and the box are stored on OK. The box's action
// runs on OK as the box says, but never for a box that was and stays clear
// (a watcher started some other way is left alone); a failed action is
// said and keeps the dialog open, the other settings saved.
TEST_F(Options, StartingGroupStoresAndActsOnOk) {
  DialogSettings d;
  d.startAfterMinutes = 25;
  writeStore(d);
  open();
  EXPECT_EQ(w<QSpinBox>("edtStartAfter")->value(), 25);
  EXPECT_TRUE(w<QCheckBox>("chkStartAtLogin")->isEnabled() && !w<QCheckBox>("chkStartAtLogin")->isChecked());
  EXPECT_FALSE(w<QLabel>("lblStartAtLoginNote")->isVisible());
  click("btnOK");
  EXPECT_TRUE(startAtLoginCalls_.empty());

  TfrmOptions& dlg = open();
  w<QSpinBox>("edtStartAfter")->setValue(30);
  w<QCheckBox>("chkStartAtLogin")->click();
  startAtLoginResult_ = false;
  click("btnOK");
  EXPECT_EQ(startAtLoginCalls_, std::vector<bool>{true});
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(shown[0].text.startsWith("No space left on device")) << shown[0].text.toStdString();
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(std::tuple(stored(kMainKey, "startAfterMinutes"), stored(kMainKey, "startAtLogin")),
            std::tuple(std::optional<int32_t>(30), std::optional<int32_t>(1)));
  startAtLoginResult_ = true;
  click("btnOK");
  EXPECT_FALSE(dlg.isVisible());

  open();
  EXPECT_TRUE(w<QCheckBox>("chkStartAtLogin")->isChecked());
  w<QCheckBox>("chkStartAtLogin")->click();
  click("btnOK");
  EXPECT_EQ(startAtLoginCalls_, (std::vector<bool>{true, true, false}));
  EXPECT_EQ(stored(kMainKey, "startAtLogin"), 0);
}

// In a Wayland session the box cannot be changed, says why (the note fits),
// and OK neither acts nor changes the stored choice.
TEST_F(Options, StartAtLoginIsRefusedUnderWayland) {
  DialogSettings d;
  d.startAtLogin = true;
  writeStore(d);
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  open();
  unsetenv("XDG_SESSION_TYPE");
  QCheckBox* box = w<QCheckBox>("chkStartAtLogin");
  EXPECT_FALSE(box->isEnabled());
  EXPECT_TRUE(w<QLabel>("lblStartAtLoginNote")->isVisible());
  EXPECT_TRUE(w<QLabel>("lblStartAtLoginNote")->text().contains("Wayland"));
  EXPECT_TRUE(box->toolTip().contains("typing")) << box->toolTip().toStdString();
  QApplication::processEvents();
  EXPECT_EQ(ControlsThatDoNotFit(*dialog_).join("\n").toStdString(), "");
  if (const char* shots = std::getenv("BRIVANE_SHOT_DIR")) {
    const QString dpi = qEnvironmentVariable("QT_FONT_DPI", QStringLiteral("96"));
    dialog_->grab().save(QStringLiteral("%1/options-notification-wayland-%2dpi.png").arg(shots, dpi));
  }
  box->setChecked(false);  // even if it were cleared somehow
  click("btnOK");
  EXPECT_TRUE(startAtLoginCalls_.empty());
  EXPECT_EQ(stored(kMainKey, "startAtLogin"), 1);
}

TEST(OptionsPlacement, ThirtyPixelsFromTheParentInsideTheScreen) {
  const QRect screen(0, 0, 1000, 800);
  const QSize frame(400, 300);
  EXPECT_EQ(OptionsPosition(screen, frame, std::nullopt), QPoint(300, 250));
  EXPECT_EQ(OptionsPosition(screen, frame, QPoint(100, 50)), QPoint(130, 80));
  EXPECT_EQ(OptionsPosition(screen, frame, QPoint(900, 700)), QPoint(600, 500));
  EXPECT_EQ(OptionsPosition(QRect(1000, 0, 1000, 800), frame, QPoint(980, -40)), QPoint(1010, 0));
}

// Every page, and the Background page's two dialogs.
TEST_F(Options, SizeHintsFitOnEveryTab) {
  TEmlAccount a = account("A rather long account name for the list", true);
  a.server = "imap.a-long-server-name.example.org";
  a.username = "somebody@a-long-server-name.example.org";
  DialogSettings d;
  d.accounts = {a};
  writeStore(d);
  TfrmOptions& dlg = open();
  selectRow(0);
  QTabWidget* tabs = w<QTabWidget>("PageControl1");
  const char* shots = std::getenv("BRIVANE_SHOT_DIR");
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    QApplication::processEvents();
    EXPECT_EQ(ControlsThatDoNotFit(dlg).join("\n").toStdString(), "") << tabs->tabText(i).toStdString();
    if (shots && i == 0) {  // for looking at, with BRIVANE_SHOT_DIR set
      const QString dpi = qEnvironmentVariable("QT_FONT_DPI", QStringLiteral("96"));
      dlg.grab().save(QStringLiteral("%1/options-notification-%2dpi.png").arg(shots, dpi));
    }
  }
  TfrmNoScrnOptions colour;
  TfrmAdvScrnOptions advanced;
  for (QDialog* d : std::initializer_list<QDialog*>{&colour, &advanced}) {
    d->show();
    QApplication::processEvents();
    EXPECT_EQ(ControlsThatDoNotFit(*d).join("\n").toStdString(), "");
  }
}

}  // namespace
}  // namespace brivane

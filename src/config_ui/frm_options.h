#pragma once
#include <QDialog>
#include <QPoint>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config_ui/keyring_calls.h"
#include "desktop/posted_target.h"
#include "platform/http_fetch.h"
#include "platform/notification_sound.h"
#include "platform/registry_file.h"
#include "settings/settings.h"
#include "update/update_addresses.h"

namespace Ui {
class TfrmOptions;
}

// The settings dialog: every stored setting and the account list.
//
// The controls map only to and from a DialogSettings record: the store is
// read into it once when the dialog is created (LoadDialogSettings) and
// written from it on every OK (SaveSettings); Cancel and the close box write
// nothing. The background values of the record belong to the Background
// page (BackgroundTab), which loads and writes them.
//
// Store failures are said, never hidden: a store file that could not be read
// is reported when the dialog opens, and is then never written (OK says so
// and keeps the dialog open); a save that fails shows the reason and keeps
// the dialog open, so the user's changes are not lost.
//
// A deleted account of the keyring kind takes its keyring password with
// it, on the OK that saves the list (Cancel keeps both).
//
// "Start the screensaver automatically when I log in": an OK with the box
// ticked writes the autostart entry and starts the idle watcher; an OK with
// it cleared removes them, when the box was ticked before or the entry is
// there (a watcher the user runs by other means is left alone). In a
// Wayland session the box is disabled, says why, and OK changes nothing.
//
// The update check runs on a TUpdateCheck thread owned by the dialog; its
// done message arrives through a PostedTarget. Closing the dialog stops and
// joins a running check (the fetcher honours the stop within about 100 ms).
// Everything here runs on the UI thread.
namespace brivane {

// Fills the account editor from `account`, shows it modally over `parent`,
// and on OK writes the edited fields back and returns true.
using AccountEditor = std::function<bool(QWidget* parent, TEmlAccount& account)>;

struct OptionsDeps {
  FileRegistryStore* store = nullptr;  // loaded by the caller
  std::string storeLoadError;          // non-empty: the store file could not be read
  NotificationSound* sound = nullptr;
  HttpFetcher* fetcher = nullptr;
  UpdateAddresses addresses;           // manifest empty: the update button is off
  std::function<void(const std::string& address)> openUrl;  // the browser
  AccountEditor editAccount;
  unsigned long parentWindow = 0;      // X11 window given on the command line; 0: none
  KeyringCalls keyring;                // removes the keyring passwords of deleted accounts
  // Starting at login, on OK: true writes the autostart entry and starts the
  // idle watcher, false removes both (applyStartAtLogin); false with `why`
  // on a failure. Empty: the real one, for this program's own file.
  std::function<bool(bool on, std::string& why)> startAtLogin;
};

// Where the dialog goes: 30/30 pixels right of and below the parent's
// top-left corner, moved left or up so that it ends inside `screen` (and
// never beyond its top-left); centred on `screen` without a parent.
QPoint OptionsPosition(const QRect& screen, const QSize& frame, std::optional<QPoint> parentOrigin);

class TUpdateCheck;
class BackgroundTab;
class TfrmEditAccount;

class TfrmOptions : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmOptions(OptionsDeps deps, QWidget* parent = nullptr);
  ~TfrmOptions() override;

  // The record the controls stand for now (background values as loaded).
  DialogSettings settings() const;
  // The working copy of the account list.
  const AccountList& accounts() const { return accounts_; }
  bool updateCheckRunning() const { return updateCheck_ != nullptr; }

  void done(int result) override;

 signals:
  // chkDisplayDate / chkDisplayTime changed, and once after loading.
  void dateTimeDisplayChanged(bool date, bool time);

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // One set-up per page of the dialog, called once by the constructor.
  void setUpAccountsTab();
  void setUpNotificationTab();
  void setUpModulesTab();
  void setUpBackgroundTab();
  void setUpAboutTab();
  void loadControls(const DialogSettings& d);
  void fillAccountList();
  static std::string accountRow(const TEmlAccount& account);
  void updateAccountSelection();
  void addAccount();
  void editAccount();
  void deleteAccount();
  // The Delete key: removes the selected account after asking.
  void askDeleteAccount();
  void moveAccount(int step);
  void updateSoundControls();
  void updateMonitorControls();
  // After a save: the autostart entry and the idle watcher as the box says;
  // false (said to the user) when that failed.
  bool applyStartAtLogin();
  void browseSound();
  void playSound();
  void startUpdateCheck();
  void updateCheckDone();
  void stopUpdateCheck();
  bool soundFileValid() const;
  bool writeSettings();
  // After a save: removes the keyring entries of the deleted accounts that
  // no remaining keyring account uses; failures are said, not blocking.
  void removeDroppedKeyringEntries();
  void place();

  std::unique_ptr<Ui::TfrmOptions> ui;
  OptionsDeps deps_;
  DialogSettings loaded_;
  AccountList accounts_;
  PostedTarget target_{this};
  std::unique_ptr<TUpdateCheck> updateCheck_;
  bool loadErrorShown_ = false;
  bool placedWithFrame_ = false;
  bool pollEdited_ = false;                 // the user changed the poll interval
  bool wayland_ = false;                    // a Wayland session: no starting at login
  BackgroundTab* background_ = nullptr;     // child of the Background page
  TfrmEditAccount* editor_ = nullptr;       // child of this dialog, made on first use
  // The keyring entries of the keyring accounts deleted since the dialog
  // opened: removed from the keyring only when OK saves the list.
  std::vector<KeyringEntry> droppedKeyringEntries_;
  bool keyringBusy_ = false;                // a keyring call runs (the dialog is disabled meanwhile)
};

}  // namespace brivane

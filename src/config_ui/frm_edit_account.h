#pragma once
#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "checking/connection_tester.h"
#include "checking/imap_folder_get.h"
#include "config_ui/folder_list_rules.h"
#include "config_ui/keyring_calls.h"
#include "platform/secret_command.h"
#include "protocols/certificate.h"
#include "settings/account.h"

namespace Ui {
class TfrmEditAccount;
}
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace brivane {

// The modal editor of one mail account. The settings dialog fills it with
// setAccount(), shows it with exec() and, after OK, reads account(). It is
// created once and reused for every add and edit.
//
// For a complete IMAP account the editor lists the server's folders on a
// TIMAPFolderGet thread while the user edits: 100 ms after showing, and
// again after each change of the connection details the user makes. The
// thread writes `FolderGetResult` under its lock; `tmrUpdateList` takes it
// on the UI thread and redraws `lstFolders`. A listing is stopped (asked to
// stop, then joined) before the next one starts and when the editor closes,
// always on the UI thread and never while the result lock is held; the
// transport notices a stop within a fraction of a second even when the
// server is silent.
//
// Each listing's done message (0x953F) carries the listing's number as its
// wParam, so the message of an earlier, already released listing is ignored
// and never waits for the current one.
//
// Every listing keeps what the user chose: it carries over the ticks of the
// folder list shown before it, or restores the account's folders when none
// was shown yet (ApplyTicks). OK builds the folder selection from a folder
// list actually drawn (from the paths it was drawn from, kept on the UI
// thread); while the list shows a status line the account keeps the ticks
// of the list shown last, else the folders it was given, else Inbox.
//
// The encryption is one choice (TLS, STARTTLS, None) with a padlock beside
// it and, for None, a plain warning; choosing a mode moves a default port
// (PortAfterEncryptionChange). The hidden check box `chkSecure` mirrors it
// (checked exactly for TLS; clicking it picks TLS or None) for callers that
// still drive the old control.
//
// "Test connection" runs a TConnectionTest with the fields as they stand
// (the trusted fingerprint included) and reports in the status line above
// the dialog's buttons, never in a message box. The test follows the listing's rules: a new
// test, a changed field and closing the editor stop it (asked to stop,
// then joined, on the UI thread), and its done message
// (WM_CONNECTIONTESTDONE) carries its number so that a stopped test's
// message is ignored.
//
// A listing or a test refused on the certificate says so in its status
// line ("The certificate of <server> is not trusted (<reason>)") with a
// "Review certificate..." button; a test opens the review at once. Trusting
// keeps the certificate's fingerprint for the account (account()
// .trustedCertificate after OK) and runs the listing (IMAP) or the test
// again. The fingerprint belongs to the server and port it was trusted
// for: a change of either (seen when the field is left, a type or mode
// chosen, or OK pressed) drops it.
//
// The sign-in is one choice: the stored password, a password from a
// command, an OAuth 2.0 token from a command, or a password in the desktop
// keyring. For the command kinds the
// password field gives way to the command line, a "Try" button and a
// one-line result. Try runs the command on a worker thread (the runner is a
// seam: runSecretCommand, a fake in tests) with the account's name, user and
// server and the store path, and posts the result back; the result names
// the length of the line printed or the failure with the first line of
// standard error, never the secret. One Try runs at a time (the button is
// disabled meanwhile); closing the editor stops it (asked to stop, then
// joined). The account gets `signIn` when a command kind is chosen or it
// had one already; the command is kept as typed; a command kind keeps no
// password. The listing and the connection test get both.
//
// The keyring kind keeps the password field: OK writes what it holds to
// the desktop keyring (the keyring may prompt to unlock) under the
// account's protocol, server, port and user, and the account keeps no
// password. An account that already is of the keyring kind opens with the
// field empty ("kept in the desktop keyring"): left empty, OK keeps the
// keyring's password (allowed only while the entry is the same), typed, it
// replaces it. The password is never read back from the keyring. A failed
// write keeps the editor open and says why. Once the new entry is written,
// the entry the account used before is removed when the kind changes away
// from the keyring or the entry moves; a failed removal is said, not
// blocking. Keyring calls run on a worker thread while the editor is
// disabled under a busy cursor (each call is bounded).
//
// Filling the editor runs no change rule: the rules react only to what the
// user does (type or mode chosen, an edit field left). A type or mode is
// chosen only from the open list or with the keyboard: the wheel over these
// boxes changes nothing, as a type change empties the server and the
// credentials.
class TfrmEditAccount : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kDelayedPopulateMs = 100;
  static constexpr int kUpdateListMs = 100;

  explicit TfrmEditAccount(QWidget* parent = nullptr);
  ~TfrmEditAccount() override;

  // Fills every field and the folder selection.
  void setAccount(const TEmlAccount& account);
  // The fields as they were when OK closed the editor: name, isPOP, server,
  // port, encryption (and useTLS), username, password, sign-in kind and
  // command, trusted certificate, folders.
  TEmlAccount account() const { return account_; }

  // For tests: the timers' intervals.
  void setTimerIntervals(int delayedPopulateMs, int updateListMs);
  // For tests: whether a listing thread is held.
  bool listingRunning() const { return listing_ != nullptr; }
  // For tests: whether a connection test thread is held.
  bool testRunning() const { return test_ != nullptr; }

  // Runs a sign-in command for Try (on a worker thread).
  using SecretCommandRunner = std::function<SecretCommandResult(const SecretCommand&)>;
  void setSecretCommandRunner(SecretCommandRunner runner) { runner_ = std::move(runner); }
  // The settings store the commands come from; empty (the default): the
  // program's store file, FileRegistryStore::defaultPath().
  void setStorePath(std::string path) { storePath_ = std::move(path); }
  // The desktop keyring's calls (fakes in tests).
  void setKeyringCalls(KeyringCalls calls) { keyring_ = std::move(calls); }
  // For tests: whether a Try thread is held.
  bool tryRunning() const { return try_ != nullptr; }

  QTimer delayedPopulateFolders;
  QTimer tmrUpdateList;

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  struct Listing;
  struct ConnectionTest;
  struct CommandTry;
  // Where a refused certificate came from.
  enum class CertificateSource { Listing, Test };

  bool isPOP() const;
  bool complete() const;
  Encryption encryption() const;
  SignIn signIn() const;
  // The sign-in value the account carries: the kind chosen, left unset for
  // a password when the account had none.
  std::optional<SignIn> signInValue() const;
  void signInChosen(int index);
  // Shows the password field or the command line for `kind`.
  void showSignIn(SignIn kind);
  void startTry();
  void stopTry();
  void tryDone(uintptr_t generation);
  void showTryResult(const QString& text);
  // Sets the dialog's height after the rows of the user group changed.
  void fitUserRows();
  // Whether the account as given keeps its password in the keyring.
  bool keyringHeld() const;
  // The keyring kind with an empty field that keeps the keyring's password.
  bool keepsKeyringPassword() const;
  // OK's keyring work for `details`: writes the typed password, removes an
  // entry no longer used. False (and the reason shown) when the write fails.
  bool applyKeyring(const TEmlAccount& details);
  KeyringResult runKeyring(const std::function<KeyringResult()>& call);
  // The connection details as the fields stand, with the trusted fingerprint.
  TEmlAccount connectionDetails() const;
  void typeChosen(int index);
  void encryptionChosen(int index);
  void secureClicked(bool checked);
  // Shows a mode: the combo box, the mirrored check box, padlock and warning.
  void showEncryption(Encryption mode);
  void fieldLeft(QLineEdit* edit);
  // Drops the trusted fingerprint when the server or port is no longer the
  // one it was trusted for.
  void dropMovedTrust();
  // A connection detail changed: a shown test result no longer holds.
  void connectionDetailsChanged();
  void refreshFolders();
  void showOneLineState();
  // Shows `status` (lines) whole in place of the folder list; the list
  // itself when empty. `review` shows "Review certificate..." under it.
  void showFolderStatus(const std::string& status, bool review = false);
  void startListing();
  void stopListing();
  void clearSharedResult();
  void updateList();
  void listingDone(uintptr_t generation);
  void startTest();
  void stopTest();
  void testDone(uintptr_t generation);
  void showTestStatus(const QString& text, bool busy, bool review);
  // Opens the certificate dialog for the refused certificate of `source`;
  // trusting it keeps its fingerprint and connects again.
  void reviewCertificate(CertificateSource source);
  // The close rules of OK: false (and a message shown) when it is refused.
  bool closeQuery();
  // Shows the validation message, focuses the field; returns false.
  bool refuse(const char* text, QLineEdit* focus);
  bool folderRowsShown() const;
  // The selection of the folder list as shown, with the user's ticks.
  std::vector<std::string> tickedSelection() const;
  // Remembers the ticks of the folder list shown, before it is replaced.
  void keepShownTicks();

  std::unique_ptr<Ui::TfrmEditAccount> ui;
  QStackedWidget* folderStack_ = nullptr;   // page 0 the folder list, page 1 a status line
  QLabel* lblFolderStatus_ = nullptr;
  QProgressBar* busy_ = nullptr;
  QPushButton* btnReviewFolderCertificate_ = nullptr;
  FolderGetResult result_;
  std::unique_ptr<Listing> listing_;
  uintptr_t generation_ = 0;
  std::unique_ptr<ConnectionTest> test_;
  uintptr_t testGeneration_ = 0;
  SecretCommandRunner runner_ = runSecretCommand;
  std::string storePath_;
  std::unique_ptr<CommandTry> try_;
  KeyringCalls keyring_;
  bool keyringBusy_ = false;               // a keyring call runs: the editor stays open
  uintptr_t tryGeneration_ = 0;
  SignIn shownSignIn_ = SignIn::Password;  // the kind the fields were last set up for
  bool shownPOP_ = false;                  // the type the fields were last set up for
  Encryption shownEncryption_ = Encryption::Tls;  // the mode the port was last set up for
  // The fingerprint the user trusted (empty for none) and the server and
  // port it belongs to.
  std::string trusted_;
  TEmlAccount trustedEndpoint_;
  // The refused certificates the status lines offer for review, with the
  // server each connection went to.
  std::optional<CertificateInfo> listingCertificate_, testCertificate_;
  std::string listedServer_, testedServer_;
  std::vector<std::string> selection_;     // the folders the editor was given
  std::vector<FolderRow> drawnRows_;       // the folder rows as last drawn, in list order
  // The selection of the folder list shown last, once one was replaced (by
  // a status line or a new listing): the next listing carries it over.
  std::optional<std::vector<std::string>> shownTicks_;
  QString enteredText_;                    // the text of the focused edit when it got the focus
  TEmlAccount account_;
};

}  // namespace brivane

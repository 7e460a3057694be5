#include "config_ui/frm_options.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "common/messages.h"
#include "common/xdg_paths.h"
#include "common/text.h"
#include "common/version.h"
#include "config_ui/background_tab.h"
#include "config_ui/frm_edit_account.h"
#include "config_ui/message_dialog.h"
#include "desktop/x11_dialog_parent.h"
#include "markup/markup_parser.h"
#include "platform/autostart_entry.h"
#include "settings/accounts.h"
#include "widgets/qt_text_metrics.h"
#include "widgets/rich_graphics.h"
#include "ui_frm_options.h"
#include "update/update_check.h"

namespace brivane {

namespace {

const QString kUpdateTitle = QStringLiteral("Brivane Update Checker");
const QString kCheckCaption = QStringLiteral("Check for &Updates Now...");

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QString& q) { return q.toStdString(); }

std::string accountName(int n) { return "Email Account " + std::to_string(n); }

}  // namespace

QPoint OptionsPosition(const QRect& screen, const QSize& frame, std::optional<QPoint> parentOrigin) {
  if (!parentOrigin) {
    return {screen.x() + (screen.width() - frame.width()) / 2, screen.y() + (screen.height() - frame.height()) / 2};
  }
  QPoint p = *parentOrigin + QPoint(30, 30);
  p.setX(std::max(screen.left(), std::min(p.x(), screen.x() + screen.width() - frame.width())));
  p.setY(std::max(screen.top(), std::min(p.y(), screen.y() + screen.height() - frame.height())));
  return p;
}

TfrmOptions::TfrmOptions(OptionsDeps deps, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmOptions>()), deps_(std::move(deps)) {
  // The account editor: one window, created on first use and reused for
  // every add and edit (tests inject their own).
  if (!deps_.editAccount) {
    deps_.editAccount = [this](QWidget* owner, TEmlAccount& account) {
      if (editor_ == nullptr) editor_ = new TfrmEditAccount(owner);
      editor_->setAccount(account);
      if (editor_->exec() != QDialog::Accepted) return false;
      account = editor_->account();
      return true;
    };
  }
  ui->setupUi(this);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setUpAccountsTab();
  setUpNotificationTab();
  setUpModulesTab();
  setUpAboutTab();

  connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);

  // A store that could not be read shows every default; it is said once the
  // dialog is up (showEvent) and never written.
  if (deps_.store != nullptr && deps_.storeLoadError.empty()) LoadDialogSettings(*deps_.store, loaded_);
  setUpBackgroundTab();
  background_->load(loaded_);
  loadControls(loaded_);
  background_->start();
  ui->PageControl1->setCurrentIndex(0);
  place();
}

// The Accounts page: the account list and the buttons that change it.
void TfrmOptions::setUpAccountsTab() {
  // The account list: the secure / not-secure images, rows selectable.
  setupAccountListGraphics(ui->lstAccounts->graphics());
  ui->lstAccounts->graphicsChanged();
  // The rows follow the dialog's font, so large desktop fonts give large rows.
  const double points = font().pointSizeF() > 0 ? font().pointSizeF() : 9;
  ui->lstAccounts->setDefaultFont({uiFontFamily().toStdString(), points, false, false},
                                  palette().color(QPalette::Text));
  ui->lstAccounts->setBackground(palette().color(QPalette::Base));
  // A framed list for the keyboard too: focus, arrows, Enter to edit,
  // Delete to remove (asked first), a scroll bar when the rows do not fit.
  ui->lstAccounts->setFrameShape(QFrame::StyledPanel);
  ui->lstAccounts->setFrameShadow(QFrame::Sunken);
  ui->lstAccounts->setScrollBarShown(true);
  ui->lstAccounts->setSelectable(true);
  // Rows a little taller than the text, so that the list reads and clicks like a list.
  ui->lstAccounts->setAutoRowHeight(false);
  ui->lstAccounts->setItemHeight(std::max(20, QFontMetrics(toQFont(ui->lstAccounts->defaultFont())).height() + 8));
  ui->lstAccounts->setMinimumHeight(fontMetrics().height() * 8);
  // The details keep their room while hidden, so the list does not jump on selection.
  ui->accountsLayout->setRowMinimumHeight(1, ui->detailLayout->sizeHint().height());
  connect(ui->lstAccounts, &RichListBox::currentRowChanged, this, [this] { updateAccountSelection(); });
  connect(ui->lstAccounts, &RichListBox::rowActivated, this, [this] { editAccount(); });
  connect(ui->lstAccounts, &RichListBox::deleteRequested, this, [this] { askDeleteAccount(); });
  connect(ui->btnAdd, &QPushButton::clicked, this, [this] { addAccount(); });
  connect(ui->btnEdit, &QPushButton::clicked, this, [this] { editAccount(); });
  connect(ui->btnDelete, &QPushButton::clicked, this, [this] { deleteAccount(); });
  connect(ui->btnMoveUp, &QToolButton::clicked, this, [this] { moveAccount(-1); });
  connect(ui->btnMoveDown, &QToolButton::clicked, this, [this] { moveAccount(+1); });
}

// The Notification page: the poll interval, the sound and the monitor choices.
void TfrmOptions::setUpNotificationTab() {
  // Whole minutes, 1 to 35791 (more would overflow the stored milliseconds).
  // Only a value the user sets is written: a stored value the box cannot
  // show exactly (out of range, not whole minutes) stays as it is.
  connect(ui->edtPollInterval, &QSpinBox::valueChanged, this, [this] { pollEdited_ = true; });
  connect(ui->chkPlayNotification, &QCheckBox::toggled, this, [this] { updateSoundControls(); });
  connect(ui->btnBrowse, &QToolButton::clicked, this, [this] { browseSound(); });
  connect(ui->btnPlay, &QPushButton::clicked, this, [this] { playSound(); });
  connect(ui->chkMonitorOff, &QCheckBox::toggled, this, [this](bool on) {
    if (on) ui->chkMonitorOn->setChecked(true);
    updateMonitorControls();
  });
  connect(ui->chkMonitorOn, &QCheckBox::toggled, this, [this] { updateMonitorControls(); });

  // Starting: the idle time, and starting at login. Under Wayland the X
  // server's idle time misses input to Wayland windows, so the idle watcher
  // refuses to run there and the box is not offered.
  if (!deps_.startAtLogin) {
    deps_.startAtLogin = [](bool on, std::string& why) {
      return brivane::applyStartAtLogin(on, QCoreApplication::applicationFilePath().toStdString(), &why);
    };
  }
  wayland_ = isWaylandSession();
  ui->chkStartAtLogin->setEnabled(!wayland_);
  ui->lblStartAtLoginNote->setVisible(wayland_);
  if (wayland_) {
    // One short line beside the box; the whole reason in its tooltip.
    ui->lblStartAtLoginNote->setText(QStringLiteral("Not available in a Wayland session."));
    ui->chkStartAtLogin->setToolTip(QStringLiteral(
        "Not available in a Wayland session: the screensaver cannot see your typing in Wayland windows, so it "
        "would start while you work."));
  }
}

// The Modules page: the panels shown and the update check.
void TfrmOptions::setUpModulesTab() {
  const auto dateTime = [this] {
    emit dateTimeDisplayChanged(ui->chkDisplayDate->isChecked(), ui->chkDisplayTime->isChecked());
  };
  connect(ui->chkDisplayDate, &QCheckBox::toggled, this, dateTime);
  connect(ui->chkDisplayTime, &QCheckBox::toggled, this, dateTime);
  // The message preview is not offered (the saver shows none), as before.
  ui->chkDisplayMsgPreview->hide();

  // The update check; a build without a manifest address cannot check.
  connect(ui->btnCheckUpdates, &QPushButton::clicked, this, [this] { startUpdateCheck(); });
  if (deps_.addresses.manifest.empty()) {
    // Nothing to check against: the stored choice is kept, but not offered.
    ui->btnCheckUpdates->setEnabled(false);
    ui->chkUpdateNotify->setEnabled(false);
    const QString why = QStringLiteral("This build has no update address, so it cannot check for updates.");
    ui->btnCheckUpdates->setToolTip(why);
    ui->chkUpdateNotify->setToolTip(why);
  }
}

// The Background page (BackgroundTab): the background values of the record, the
// discovery of the screensaver programs and the live preview.
void TfrmOptions::setUpBackgroundTab() {
  background_ = new BackgroundTab(ui->tabBackground);
  // The page's own margins only: the tab's content lines up with the other pages.
  ui->backgroundLayout->setContentsMargins(0, 0, 0, 0);
  ui->backgroundLayout->addWidget(background_);
  connect(this, &TfrmOptions::dateTimeDisplayChanged, background_, &BackgroundTab::setDateTimeShown);
}

// The About page: title, version, icon and the download address.
void TfrmOptions::setUpAboutTab() {
  QFont title = font();
  title.setPointSizeF(title.pointSizeF() * 1.6);
  title.setBold(true);
  ui->lblTitle->setFont(title);
  ui->lblVersion->setText(q(versionText(programVersion())));
  const int icon = style()->pixelMetric(QStyle::PM_MessageBoxIconSize) * 3 / 2;
  QPixmap pixmap(QSize(icon, icon) * devicePixelRatioF());
  pixmap.setDevicePixelRatio(devicePixelRatioF());
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    art::message(painter, QRectF(0, 0, icon, icon), 0);
  }
  ui->imgIcon->setPixmap(pixmap);
  if (isWebAddress(deps_.addresses.download)) {
    const QString address = q(deps_.addresses.download).toHtmlEscaped();
    ui->lblHyperlink->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(address));
    connect(ui->lblHyperlink, &QLabel::linkActivated, this, [this] {
      if (deps_.openUrl) deps_.openUrl(deps_.addresses.download);
    });
  } else {
    ui->lblHyperlink->hide();
  }
}

TfrmOptions::~TfrmOptions() { stopUpdateCheck(); }

void TfrmOptions::place() {
  if (!isVisible()) adjustSize();
  std::optional<QPoint> origin;
  if (deps_.parentWindow != 0) {
    origin = X11WindowOrigin(deps_.parentWindow);
    if (origin && !isVisible()) X11SetTransientFor(this, deps_.parentWindow);
  }
  QScreen* screen = QGuiApplication::primaryScreen();
  if (origin) {
    if (QScreen* at = QGuiApplication::screenAt(*origin)) screen = at;
  }
  if (screen == nullptr) return;
  move(OptionsPosition(screen->availableGeometry(), frameGeometry().size().expandedTo(size()), origin));
}

void TfrmOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!placedWithFrame_) {
    // The window manager's frame is known only once the window is mapped:
    // place again with it, so that the title bar too ends inside the screen.
    placedWithFrame_ = true;
    QTimer::singleShot(50, this, [this] {
      if (frameGeometry().size() != size()) place();
    });
  }
  if (!deps_.storeLoadError.empty() && !loadErrorShown_) {
    loadErrorShown_ = true;
    QTimer::singleShot(0, this, [this] {
      ShowMessage(this, windowTitle(), QStringLiteral("The settings could not be read"),
                  q(deps_.storeLoadError) +
                      QStringLiteral("\n\nThe dialog shows the default settings. The settings file is left as it is "
                                     "and cannot be saved from here until it is repaired or removed."),
                  mbOK, miError);
    });
  }
}

void TfrmOptions::loadControls(const DialogSettings& d) {
  ui->chkHideAccounts->setChecked(d.hideAccounts);
  ui->chkHideFolders->setChecked(d.hideFolders);
  ui->chkPlayNotification->setChecked(d.playNotification);
  ui->edtNotification->setText(q(d.notificationPath));
  {
    const QSignalBlocker block(ui->edtPollInterval);
    bool ok = false;
    const qlonglong minutes = q(d.pollMinutes).toLongLong(&ok);
    ui->edtPollInterval->setValue(static_cast<int>(
        ok ? std::clamp<qlonglong>(minutes, ui->edtPollInterval->minimum(), ui->edtPollInterval->maximum()) : 5));
    pollEdited_ = false;
  }
  // The monitor boxes in this order, so that their rules leave them as stored
  // (a stored "off" with "on" unchecked shows "on" checked, as the rule says).
  ui->chkMonitorOn->setChecked(d.monitorOn);
  ui->chkMonitorStayOn->setChecked(d.monitorStayOn);
  ui->chkMonitorOff->setChecked(d.monitorOff);
  ui->edtStartAfter->setValue(
      std::clamp<int>(d.startAfterMinutes, ui->edtStartAfter->minimum(), ui->edtStartAfter->maximum()));
  ui->chkStartAtLogin->setChecked(d.startAtLogin);
  ui->chkUpdateNotify->setChecked(d.checkForUpdates);
  ui->chkDisplayDate->setChecked(d.displayDate);
  ui->chkDisplayTime->setChecked(d.displayTime);
  ui->chkDisplayMsgDate->setChecked(d.displayMsgDate);
  ui->chkDisplayMsgPreview->setChecked(d.displayMsgPreview);
  // A stored width matching no preset leaves all three clear.
  for (QRadioButton* r : {ui->radSlim, ui->radModerate, ui->radWide}) {
    r->setAutoExclusive(false);
    r->setChecked(false);
    r->setAutoExclusive(true);
  }
  if (d.width == WidthPreset::Slim) ui->radSlim->setChecked(true);
  if (d.width == WidthPreset::Moderate) ui->radModerate->setChecked(true);
  if (d.width == WidthPreset::Wide) ui->radWide->setChecked(true);
  accounts_ = d.accounts;
  fillAccountList();
  updateSoundControls();
  updateMonitorControls();
  emit dateTimeDisplayChanged(d.displayDate, d.displayTime);
}

DialogSettings TfrmOptions::settings() const {
  DialogSettings d = loaded_;
  background_->save(d);
  d.hideAccounts = ui->chkHideAccounts->isChecked();
  d.hideFolders = ui->chkHideFolders->isChecked();
  d.playNotification = ui->chkPlayNotification->isChecked();
  d.notificationPath = s(ui->edtNotification->text());
  // Unchanged by the user: no minutes, so the stored value is kept as it is.
  d.pollMinutes = pollEdited_ ? std::to_string(ui->edtPollInterval->value()) : std::string();
  d.monitorOff = ui->chkMonitorOff->isChecked();
  d.monitorOn = ui->chkMonitorOn->isChecked();
  d.monitorStayOn = d.monitorOn && ui->chkMonitorStayOn->isChecked();
  d.startAfterMinutes = ui->edtStartAfter->value();
  if (!wayland_) d.startAtLogin = ui->chkStartAtLogin->isChecked();
  d.checkForUpdates = ui->chkUpdateNotify->isChecked();
  d.displayDate = ui->chkDisplayDate->isChecked();
  d.displayTime = ui->chkDisplayTime->isChecked();
  d.displayMsgDate = ui->chkDisplayMsgDate->isChecked();
  d.displayMsgPreview = ui->chkDisplayMsgPreview->isChecked();
  d.width = ui->radSlim->isChecked()       ? WidthPreset::Slim
            : ui->radModerate->isChecked() ? WidthPreset::Moderate
            : ui->radWide->isChecked()     ? WidthPreset::Wide
                                           : WidthPreset::None;
  d.accounts = accounts_;
  return d;
}

// ---- account list ----

std::string TfrmOptions::accountRow(const TEmlAccount& a) {
  // The closed padlock for any encrypted connection, STARTTLS included.
  return std::string(encryptionOf(a) != Encryption::None ? "<IMG src=\"idx:0\" align=\"middle\">" : "<IMG src=\"idx:1\" align=\"middle\">") +
         " " + EscapeMarkup(a.name);
}

void TfrmOptions::fillAccountList() {
  RichListBox& list = *ui->lstAccounts;
  list.beginUpdate();
  list.clear();
  for (const TEmlAccount& a : accounts_) list.add(accountRow(a));
  list.endUpdate();
  list.setCurrentRow(-1);
  updateAccountSelection();
}

void TfrmOptions::updateAccountSelection() {
  const int i = ui->lstAccounts->currentRow();
  const int count = static_cast<int>(accounts_.size());
  const bool selected = i >= 0 && i < count;
  ui->btnEdit->setEnabled(selected);
  ui->btnDelete->setEnabled(selected);
  ui->btnMoveUp->setEnabled(selected && i >= 1);
  ui->btnMoveDown->setEnabled(selected && i < count - 1);
  for (QLabel* l : {ui->lblTypeCaption, ui->lblType, ui->lblServerCaption, ui->lblServer, ui->lblUserCaption,
                    ui->lblUser})
    l->setVisible(selected);
  if (!selected) return;
  const TEmlAccount& a = accounts_[i];
  ui->lblType->setText(QString(a.isPOP ? "POP" : "IMAP") + (encryptionOf(a) != Encryption::None ? " (Secure)" : ""));
  ui->lblServer->setText(q(a.server));
  ui->lblUser->setText(q(a.username));
}

void TfrmOptions::addAccount() {
  TEmlAccount account;
  for (int n = 1;; ++n) {
    const std::string name = accountName(n);
    if (std::none_of(accounts_.begin(), accounts_.end(), [&](const TEmlAccount& a) { return a.name == name; })) {
      account.name = name;
      break;
    }
  }
  // A new account starts encrypted: IMAP over TLS on its default port.
  account.isPOP = false;
  setEncryption(account, Encryption::Tls);
  account.port = DefaultPort(false, Encryption::Tls);
  if (!deps_.editAccount || !deps_.editAccount(this, account)) return;
  accounts_.push_back(account);
  ui->lstAccounts->add(accountRow(account));
  // The new account selected and in view.
  ui->lstAccounts->setCurrentRow(ui->lstAccounts->count() - 1);
  ui->lstAccounts->scrollToRow(ui->lstAccounts->count() - 1);
  updateAccountSelection();
}

void TfrmOptions::editAccount() {
  const int i = ui->lstAccounts->currentRow();
  if (i < 0 || i >= static_cast<int>(accounts_.size()) || !deps_.editAccount) return;
  TEmlAccount account = accounts_[i];
  if (!deps_.editAccount(this, account)) return;
  accounts_[i] = account;
  ui->lstAccounts->setText(i, accountRow(account));
  updateAccountSelection();
}

void TfrmOptions::deleteAccount() {
  const int i = ui->lstAccounts->currentRow();
  if (i < 0 || i >= static_cast<int>(accounts_.size())) return;
  if (signInOf(accounts_[i]) == SignIn::Keyring) droppedKeyringEntries_.push_back(KeyringEntryOf(accounts_[i]));
  accounts_.erase(accounts_.begin() + i);
  ui->lstAccounts->remove(i);
  ui->lstAccounts->setCurrentRow(-1);
  updateAccountSelection();
}

void TfrmOptions::askDeleteAccount() {
  const int i = ui->lstAccounts->currentRow();
  if (i < 0 || i >= static_cast<int>(accounts_.size())) return;
  // A key pressed by mistake removes nothing: No is the default.
  if (ShowMessage(this, windowTitle(), QStringLiteral("Delete this account?"),
                  QStringLiteral("The account \"%1\" and its settings will be removed when you press OK.")
                      .arg(q(accounts_[i].name)),
                  mbYes | mbNo, miQuestion, mbNo) != mrYes)
    return;
  deleteAccount();
  ui->lstAccounts->setFocus(Qt::OtherFocusReason);
}

void TfrmOptions::moveAccount(int step) {
  const int i = ui->lstAccounts->currentRow();
  const int j = i + step;
  if (i < 0 || j < 0 || j >= static_cast<int>(accounts_.size())) return;
  std::swap(accounts_[i], accounts_[j]);
  ui->lstAccounts->setText(i, accountRow(accounts_[i]));
  ui->lstAccounts->setText(j, accountRow(accounts_[j]));
  ui->lstAccounts->setCurrentRow(j);
  updateAccountSelection();
}

// ---- sound and monitor ----

void TfrmOptions::updateSoundControls() {
  const bool on = ui->chkPlayNotification->isChecked();
  ui->edtNotification->setEnabled(on);
  ui->btnBrowse->setEnabled(on);
  ui->btnPlay->setEnabled(on);
}

void TfrmOptions::updateMonitorControls() {
  ui->chkMonitorOn->setEnabled(!ui->chkMonitorOff->isChecked());
  ui->chkMonitorStayOn->setEnabled(ui->chkMonitorOn->isChecked());
}

void TfrmOptions::browseSound() {
  const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Select notification sound"),
                                                    QDir::currentPath(), QStringLiteral("WAV files (*.wav)"));
  std::error_code ec;
  if (!file.isEmpty() && std::filesystem::exists(file.toStdString(), ec)) ui->edtNotification->setText(file);
}

void TfrmOptions::playSound() {
  if (deps_.sound != nullptr) deps_.sound->play(s(ui->edtNotification->text()));
}

bool TfrmOptions::soundFileValid() const {
  const std::filesystem::path path(s(ui->edtNotification->text()));
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(path, ec) &&
         ui->edtNotification->text().endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive);
}

bool TfrmOptions::applyStartAtLogin() {
  if (wayland_) return true;
  const bool on = ui->chkStartAtLogin->isChecked();
  // Cleared: only what this box set up is undone, not a watcher the user
  // starts some other way.
  if (!on && !loaded_.startAtLogin && !autostartEntryPresent(autostartEntryPath())) return true;
  std::string why;
  if (deps_.startAtLogin(on, why)) {
    loaded_.startAtLogin = on;
    return true;
  }
  ShowMessage(this, windowTitle(),
              on ? QStringLiteral("Brivane could not be set to start when you log in")
                 : QStringLiteral("Brivane could not be kept from starting when you log in"),
              q(why) + QStringLiteral("\n\nThe other settings are saved."), mbOK, miError);
  return false;
}

// ---- update check ----

void TfrmOptions::startUpdateCheck() {
  if (updateCheck_ || deps_.fetcher == nullptr || deps_.addresses.manifest.empty()) return;
  updateCheck_ = std::make_unique<TUpdateCheck>(*deps_.fetcher, deps_.addresses.manifest, target_);
  ui->btnCheckUpdates->setEnabled(false);
  ui->btnCheckUpdates->setText(QStringLiteral("Please wait..."));
  updateCheck_->start();  // posts its message also when no thread could be started
}

void TfrmOptions::updateCheckDone() {
  if (!updateCheck_) return;  // a check already stopped by closing
  // The thread has posted its last act; take the result and release it
  // before the message, so no thread outlives a modal answer.
  const std::string latest = updateCheck_->latestVersion();
  stopUpdateCheck();
  ui->btnCheckUpdates->setText(kCheckCaption);
  ui->btnCheckUpdates->setEnabled(true);
  const QString current = q(versionText(programVersion()));
  if (latest.empty()) {
    ShowMessage(this, kUpdateTitle, QStringLiteral("Error checking for updates"),
                QStringLiteral("Brivane could not connect to the update server at this time. Please try again "
                               "later. If this error continues to occur, please contact Torvex Software."),
                mbOK, miError);
  } else if (isNewerVersion(latest)) {
    const int answer =
        ShowMessage(this, kUpdateTitle, QStringLiteral("Brivane Updates are available"),
                    QStringLiteral("Would you like to update now? (Current Version: %1 / Latest Version: %2)")
                        .arg(current, q(latest)),
                    mbYes | mbNo, miInformation);
    if (answer == mrYes && deps_.openUrl && isWebAddress(deps_.addresses.download))
      deps_.openUrl(deps_.addresses.download);
  } else {
    ShowMessage(this, kUpdateTitle, QStringLiteral("Your version of Brivane is up to date"),
                QStringLiteral("You are currently running the latest version of Brivane. (Current Version: %1)")
                    .arg(current),
                mbOK, miInformation);
  }
}

void TfrmOptions::stopUpdateCheck() {
  if (!updateCheck_) return;
  updateCheck_->requestStop();
  updateCheck_->join();
  updateCheck_.reset();
}

bool TfrmOptions::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::type()) {
    if (static_cast<WindowMessageEvent*>(e)->message == WM_UPDATECHECKDONE) updateCheckDone();
    return true;
  }
  return QDialog::event(e);
}

// ---- closing ----

bool TfrmOptions::writeSettings() {
  std::string reason;
  if (deps_.store == nullptr) {
    reason = "There is no settings store.";
  } else if (!deps_.storeLoadError.empty()) {
    reason = deps_.storeLoadError + "\n\nThe settings file could not be read when the dialog opened, so it is "
                                    "not overwritten.";
  } else if (!SaveSettings(*deps_.store, settings())) {
    reason = deps_.store->lastError();
    if (reason.empty()) reason = "The settings store refused the change.";
  } else {
    return true;
  }
  ShowMessage(this, windowTitle(), QStringLiteral("The settings could not be saved"), q(reason), mbOK, miError);
  return false;
}

void TfrmOptions::removeDroppedKeyringEntries() {
  std::vector<KeyringEntry> entries = std::move(droppedKeyringEntries_);
  droppedKeyringEntries_.clear();
  QString failures;
  for (const KeyringEntry& entry : entries) {
    // An account added or edited since may use the same entry again.
    const bool used = std::any_of(accounts_.begin(), accounts_.end(), [&](const TEmlAccount& account) {
      return signInOf(account) == SignIn::Keyring && SameKeyringEntry(KeyringEntryOf(account), entry);
    });
    if (used) continue;
    KeyringOptions options;
    options.mayPrompt = true;  // the user is here to unlock the keyring
    keyringBusy_ = true;
    const KeyringResult removed = RunKeyringCall(this, [&] { return deps_.keyring.remove(entry, options); });
    keyringBusy_ = false;
    if (!removed.ok() && removed.outcome != KeyringResult::Outcome::NotFound)
      failures += QStringLiteral("%1@%2: %3\n").arg(q(entry.user), q(entry.server), q(keyringOutcomeText(removed)));
  }
  if (!failures.isEmpty())
    ShowMessage(this, windowTitle(), QStringLiteral("Passwords could not be removed from the desktop keyring"),
                failures.trimmed(), mbOK, miWarning);
}

void TfrmOptions::done(int result) {
  if (keyringBusy_) return;  // the OK that runs the keyring calls closes the dialog
  // A screensaver's own settings window is still open: what the user has
  // open there would be lost, so closing is asked first.
  if (background_->settingsPid() != 0 &&
      ShowMessage(this, windowTitle(), QStringLiteral("The screensaver's settings are still open"),
                  QStringLiteral("Closing this dialog also closes the settings window of \"%1\"; changes not "
                                 "saved there are lost. Close it?")
                      .arg(q(background_->settingsProgramName())),
                  mbYes | mbNo, miQuestion, mbNo) != mrYes)
    return;
  if (result == QDialog::Accepted) {
    // The sound: refused while it is to be played; otherwise a bad path is
    // simply dropped. The settings are written in both cases.
    bool refuse = false;
    if (!soundFileValid()) {
      if (ui->chkPlayNotification->isChecked()) refuse = true;
      else ui->edtNotification->clear();
    }
    const bool written = writeSettings();
    if (refuse) {
      ShowMessage(this, QStringLiteral("Select Mail Notification Sound"),
                  QStringLiteral("The file you chose cannot be used"),
                  QStringLiteral("Please enter a valid wave soundfile to use as a notification sound"), mbOK,
                  miError);
    }
    if (refuse || !written) return;
    removeDroppedKeyringEntries();
    if (!applyStartAtLogin()) return;
  }
  stopUpdateCheck();
  background_->shutdown();
  QDialog::done(result);
}

}  // namespace brivane

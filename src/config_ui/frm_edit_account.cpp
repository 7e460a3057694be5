#include "config_ui/frm_edit_account.h"

#include <algorithm>

#include <QFocusEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QFontMetrics>
#include <QRegularExpressionValidator>
#include <QShowEvent>

#include "common/messages.h"
#include "config_ui/certificate_dialog.h"
#include "config_ui/keyring_calls.h"
#include "config_ui/message_dialog.h"
#include "config_ui/window_fit.h"
#include "markup/markup_parser.h"
#include "desktop/posted_target.h"
#include "platform/registry_file.h"
#include "platform/worker_thread.h"
#include "settings/accounts.h"
#include "ui_frm_edit_account.h"

namespace brivane {

namespace {
const char* const kTitle = "Edit Account";
const char* const kPopInboxRow = "<IMG src=\"idx:0\" align=\"middle\"> Inbox";
const char* const kTestConnecting = "Connecting...";
const char* const kTestSucceeded = "Connected and logged in successfully";

// The modes in the order of the encryption box.
constexpr Encryption kModes[] = {Encryption::Tls, Encryption::StartTls, Encryption::None};
int modeIndex(Encryption mode) {
  for (int i = 0; i < 3; ++i)
    if (kModes[i] == mode) return i;
  return 0;
}

// The sign-in kinds in the order of the sign-in box.
constexpr SignIn kSignIns[] = {SignIn::Password, SignIn::PasswordCommand, SignIn::TokenCommand,
                               SignIn::Keyring};
constexpr int kSignInCount = static_cast<int>(std::size(kSignIns));
int signInIndex(SignIn kind) {
  for (int i = 0; i < kSignInCount; ++i)
    if (kSignIns[i] == kind) return i;
  return 0;
}

const char* const kKeptInKeyring = "kept in the desktop keyring";

bool commandKind(SignIn kind) { return kind == SignIn::PasswordCommand || kind == SignIn::TokenCommand; }

const char* const kTryRunning = "Running the command...";
// A result line past this length says nothing more useful (the label wraps).
constexpr qsizetype kTryResultMax = 300;

std::string text(const QLineEdit* edit) { return edit->text().toStdString(); }

// Focus changes caused by another window (a message box, a menu) are not
// the user entering or leaving a field.
bool windowFocusChange(const QFocusEvent* event) {
  return event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason;
}
}  // namespace

// One listing thread with the target its done message goes through. The
// message carries the listing's generation, so a message of an earlier
// listing (already stopped and released) is told apart from the current
// one's and never waits for a thread that is still running.
struct TfrmEditAccount::Listing {
  class Target : public MessageTarget {
   public:
    Target(QObject* receiver, uintptr_t generation) : receiver_(receiver), generation_(generation) {}
    void post(uint32_t message, uintptr_t) override {
      QCoreApplication::postEvent(receiver_, new WindowMessageEvent(message, generation_));
    }

   private:
    QObject* receiver_;
    uintptr_t generation_;
  };

  Listing(QObject* receiver, uintptr_t generation, FolderGetResult& result)
      : target(receiver, generation), thread(result, target) {}
  Target target;
  TIMAPFolderGet thread;  // destroyed first: asks the thread to stop and joins it
};

// One connection test with the target its done message goes through; the
// message carries the test's generation, as the listing's does.
struct TfrmEditAccount::ConnectionTest {
  ConnectionTest(QObject* receiver, uintptr_t generation)
      : target(receiver), thread(target, WM_CONNECTIONTESTDONE, generation) {}
  PostedTarget target;
  TConnectionTest thread;  // destroyed first: asks the thread to stop and joins it
};

// One Try of the sign-in command on a worker thread. The result is posted
// back to the editor with the Try's generation, so the result of a Try
// already stopped and released is ignored.
struct TfrmEditAccount::CommandTry : WorkerThread {
  CommandTry(QObject* receiver, uintptr_t generation, SecretCommandRunner runner, SecretCommand request)
      : receiver(receiver), generation(generation), runner(std::move(runner)), request(std::move(request)) {
    this->request.stop = &stopFlag();
  }
  ~CommandTry() override {
    requestStop();
    join();  // the runner ends the command at once on the stop request
  }

  void execute() override {
    result = runner(request);
    post();
  }
  void abandoned(const std::string& why) override {
    result = SecretCommandResult{};
    result.failure = "it could not be run (" + why + ")";
    post();
  }
  void post() {
    // The editor releases this Try only on its own thread, and joins it
    // first: the receiver outlives the call. The result is read after the
    // join (done posted as the last step), so no lock is needed.
    QMetaObject::invokeMethod(
        receiver, [receiver = receiver, generation = generation] {
          static_cast<TfrmEditAccount*>(receiver)->tryDone(generation);
        },
        Qt::QueuedConnection);
  }

  QObject* receiver;
  uintptr_t generation;
  SecretCommandRunner runner;
  SecretCommand request;
  SecretCommandResult result;
};

TfrmEditAccount::TfrmEditAccount(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TfrmEditAccount>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  // The captions of all groups share one width, so that the edits of the
  // groups line up.
  int captionWidth = 0;
  const auto captions = {ui->lblAccountName, ui->lblAccountType, ui->lblServer,  ui->lblEncryption, ui->lblUsername,
                         ui->lblSignIn,      ui->lblPassword,    ui->lblCommand, ui->lblPanelPrivacy};
  for (QLabel* l : captions) captionWidth = std::max(captionWidth, l->sizeHint().width());
  for (QLabel* l : captions) l->setMinimumWidth(captionWidth);
  // Room for real host and user names (about 30 characters); the fields
  // take their share of any width the dialog is given.
  // At least as wide as the warning under the encryption, so that choosing
  // None does not widen the dialog.
  for (QLineEdit* e : {ui->edtAccountName, ui->edtServer, ui->edtUsername, ui->edtPassword})
    e->setMinimumWidth(std::max(e->fontMetrics().averageCharWidth() * 30, ui->lblUnencrypted->sizeHint().width()));
  // The command line and its Try button together as wide as the other fields.
  ui->edtCommand->setMinimumWidth(ui->edtPassword->minimumWidth() - ui->btnTry->sizeHint().width() -
                                  ui->commandLayout->spacing());
  {
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(ui->edtCommand->font().pointSizeF() > 0 ? ui->edtCommand->font().pointSizeF()
                                                               : mono.pointSizeF());
    ui->edtCommand->setFont(mono);
  }
  ui->columnsLayout->setStretch(0, 1);
  ui->columnsLayout->setStretch(1, 1);
  // Room for any port number, at every font size.
  ui->edtPort->setFixedWidth(ui->edtPort->fontMetrics().horizontalAdvance(QStringLiteral("000000")) +
                               ui->edtPort->sizeHint().height() / 2);
  setStyleSheet(QStringLiteral("QGroupBox::title { color: rgb(19, 112, 171); }"));
  // Every character masked by a round bullet, at once.
  ui->edtPassword->setStyleSheet(
      QStringLiteral("lineedit-password-character: 9679; lineedit-password-mask-delay: 0;"));
  // The store cannot keep "\", CR or LF in an account name.
  ui->edtAccountName->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^\\\\\\r\\n]*")), this));

  // A status line (connecting, an error and its advice) is shown whole, wrapped, in
  // place of the folder list, with a busy bar while a connection is tried.
  {
    folderStack_ = new QStackedWidget(ui->grpFolders);
    delete ui->grpFoldersLayout->replaceWidget(ui->lstFolders, folderStack_);  // the list's old layout item
    folderStack_->addWidget(ui->lstFolders);
    auto* page = new QFrame;
    page->setObjectName(QStringLiteral("folderStatus"));
    page->setFrameShape(QFrame::StyledPanel);
    page->setFrameShadow(QFrame::Sunken);
    page->setBackgroundRole(QPalette::Base);
    page->setAutoFillBackground(true);
    auto* column = new QVBoxLayout(page);
    auto* row = new QHBoxLayout;
    busy_ = new QProgressBar;
    busy_->setObjectName(QStringLiteral("folderBusy"));
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setFixedSize(fontMetrics().height() * 2, fontMetrics().height());
    lblFolderStatus_ = new QLabel;
    lblFolderStatus_->setObjectName(QStringLiteral("lblFolderStatus"));
    lblFolderStatus_->setTextFormat(Qt::PlainText);
    lblFolderStatus_->setWordWrap(true);
    lblFolderStatus_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    row->addWidget(busy_, 0, Qt::AlignTop);
    row->addWidget(lblFolderStatus_, 1);
    column->addLayout(row);
    // A listing refused on the certificate offers its review here.
    btnReviewFolderCertificate_ = new QPushButton(QStringLiteral("Re&view certificate..."));
    btnReviewFolderCertificate_->setObjectName(QStringLiteral("btnReviewFolderCertificate"));
    btnReviewFolderCertificate_->setAutoDefault(false);
    btnReviewFolderCertificate_->hide();
    column->addWidget(btnReviewFolderCertificate_, 0, Qt::AlignLeft);
    column->addStretch();
    folderStack_->addWidget(page);
  }
  setupFolderListGraphics(ui->lstFolders->graphics());
  ui->lstFolders->graphicsChanged();
  // The rows follow the dialog's font, so large desktop fonts give large rows.
  const double points = font().pointSizeF() > 0 ? font().pointSizeF() : 9;
  ui->lstFolders->setDefaultFont({font().family().toStdString(), points, false, false},
                                 palette().color(QPalette::Text));
  // Wide enough for the hint shown while the details are incomplete, at
  // every font size (longer folder names end in "...").
  {
    const QFont rowFont = font();
    const int text = QFontMetrics(rowFont).horizontalAdvance(QString::fromUtf8(TIMAPFolderGet::kIncomplete));
    ui->lstFolders->setMinimumWidth(text + style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                                    4 * ui->lstFolders->frameWidth() + QFontMetrics(rowFont).averageCharWidth() * 2);
  }

  delayedPopulateFolders.setObjectName(QStringLiteral("delayedPopulateFolders"));
  tmrUpdateList.setObjectName(QStringLiteral("tmrUpdateList"));
  setTimerIntervals(kDelayedPopulateMs, kUpdateListMs);
  connect(&delayedPopulateFolders, &QTimer::timeout, this, [this] {
    delayedPopulateFolders.stop();
    startListing();
  });
  connect(&tmrUpdateList, &QTimer::timeout, this, &TfrmEditAccount::updateList);

  // The encryption: the padlock follows the font; the old check box stays,
  // hidden, as a mirror of the choice.
  ui->imgPadlock->setPicture(art::lockSecure);
  ui->chkSecure->hide();
  ui->lblUnencrypted->hide();
  // The status line of a connection test, shown once there is one.
  ui->testBusy->setFixedSize(fontMetrics().height() * 2, fontMetrics().height());
  ui->testBusy->hide();
  ui->lblTestStatus->hide();
  ui->btnReviewCertificate->hide();
  showSignIn(SignIn::Password);

  connect(ui->edtAccountType, &QComboBox::activated, this, &TfrmEditAccount::typeChosen);
  connect(ui->cmbEncryption, &QComboBox::activated, this, &TfrmEditAccount::encryptionChosen);
  connect(ui->chkSecure, &QCheckBox::clicked, this, &TfrmEditAccount::secureClicked);
  connect(ui->cmbSignIn, &QComboBox::activated, this, &TfrmEditAccount::signInChosen);
  connect(ui->btnTry, &QPushButton::clicked, this, &TfrmEditAccount::startTry);
  // A result shown belongs to the command it ran.
  connect(ui->edtCommand, &QLineEdit::textEdited, this, [this] {
    if (!try_) showTryResult({});
  });
  connect(ui->btnTestConnection, &QPushButton::clicked, this, &TfrmEditAccount::startTest);
  connect(ui->btnReviewCertificate, &QPushButton::clicked, this,
          [this] { reviewCertificate(CertificateSource::Test); });
  connect(btnReviewFolderCertificate_, &QPushButton::clicked, this,
          [this] { reviewCertificate(CertificateSource::Listing); });
  for (QLineEdit* edit : {ui->edtServer, ui->edtPort, ui->edtUsername, ui->edtPassword, ui->edtCommand})
    edit->installEventFilter(this);
  for (QComboBox* box : {ui->edtAccountType, ui->cmbEncryption, ui->cmbSignIn, ui->cmbPanelPrivacy})
    box->installEventFilter(this);
  connect(ui->Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(ui->Button2, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmEditAccount::~TfrmEditAccount() {
  stopTry();
  stopTest();
  stopListing();
}

void TfrmEditAccount::setTimerIntervals(int delayedPopulateMs, int updateListMs) {
  delayedPopulateFolders.setInterval(delayedPopulateMs);
  tmrUpdateList.setInterval(updateListMs);
}

void TfrmEditAccount::setAccount(const TEmlAccount& account) {
  account_ = account;
  ui->edtAccountName->setText(QString::fromStdString(account.name));
  ui->edtAccountType->setCurrentIndex(account.isPOP ? 1 : 0);
  ui->edtServer->setText(QString::fromStdString(account.server));
  ui->edtPort->setText(QString::number(account.port));
  showEncryption(encryptionOf(account));
  ui->edtUsername->setText(QString::fromStdString(account.username));
  ui->edtPassword->setText(QString::fromStdString(account.password));
  ui->edtCommand->setText(QString::fromStdString(account.secretCommand));
  ui->edtCommand->setCursorPosition(0);  // a long command shows its start
  showSignIn(signInOf(account));
  showTryResult({});
  ui->cmbPanelPrivacy->setCurrentIndex(static_cast<int>(account.panelPrivacy));
  shownPOP_ = account.isPOP;
  trusted_ = account.trustedCertificate;
  trustedEndpoint_ = account;
  selection_ = account.folders;
  shownTicks_.reset();
}

bool TfrmEditAccount::isPOP() const { return ui->edtAccountType->currentIndex() == 1; }

bool TfrmEditAccount::complete() const {
  // A command kind needs its command in place of the password.
  std::string secret = commandKind(signIn()) ? ui->edtCommand->text().trimmed().toStdString()
                                             : text(ui->edtPassword);
  if (secret.empty() && keepsKeyringPassword()) secret = kKeptInKeyring;
  return DetailsComplete(text(ui->edtServer), text(ui->edtUsername), secret, text(ui->edtPort));
}

SignIn TfrmEditAccount::signIn() const {
  const int i = ui->cmbSignIn->currentIndex();
  return i >= 0 && i < kSignInCount ? kSignIns[i] : SignIn::Password;
}

std::optional<SignIn> TfrmEditAccount::signInValue() const {
  const SignIn kind = signIn();
  if (kind == SignIn::Password && !account_.signIn) return std::nullopt;
  return kind;
}

Encryption TfrmEditAccount::encryption() const {
  const int i = ui->cmbEncryption->currentIndex();
  return i >= 0 && i < 3 ? kModes[i] : Encryption::Tls;
}

TEmlAccount TfrmEditAccount::connectionDetails() const {
  TEmlAccount a;
  a.isPOP = isPOP();
  a.server = text(ui->edtServer);
  a.port = ui->edtPort->text().toInt();
  setEncryption(a, encryption());
  a.username = text(ui->edtUsername);
  a.signIn = signInValue();
  // A command kind signs in with what the command prints, never a stored password.
  if (!usesSecretCommand(a)) a.password = text(ui->edtPassword);
  a.secretCommand = text(ui->edtCommand);
  a.trustedCertificate = trusted_;
  return a;
}

bool TfrmEditAccount::keyringHeld() const { return signInOf(account_) == SignIn::Keyring; }

bool TfrmEditAccount::keepsKeyringPassword() const {
  return signIn() == SignIn::Keyring && ui->edtPassword->text().isEmpty() && keyringHeld() &&
         SameKeyringEntry(KeyringEntryOf(account_), KeyringEntryOf(connectionDetails()));
}

void TfrmEditAccount::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;  // restored from minimised: not a new showing
  showTestStatus({}, false, false);
  testCertificate_.reset();
  listingCertificate_.reset();
  clearSharedResult();
  drawnRows_.clear();
  shownTicks_.reset();
  if (complete() && !isPOP()) {
    ui->lstFolders->clear();
    showFolderStatus({});
    delayedPopulateFolders.start();
  } else {
    showOneLineState();
  }
  ui->edtAccountName->setFocus(Qt::OtherFocusReason);
  ui->edtAccountName->selectAll();
}

void TfrmEditAccount::typeChosen(int index) {
  const bool toPOP = index == 1;
  if (toPOP == shownPOP_) return;  // the same type chosen again changes nothing
  shownPOP_ = toPOP;
  ui->edtPort->setText(QString::fromStdString(PortAfterTypeChange(toPOP, encryption(), text(ui->edtPort))));
  ui->edtServer->clear();
  ui->edtUsername->clear();
  ui->edtPassword->clear();
  connectionDetailsChanged();
  refreshFolders();
}

void TfrmEditAccount::encryptionChosen(int index) {
  if (index < 0 || index >= 3) return;
  const Encryption mode = kModes[index];
  if (mode == shownEncryption_) return;  // the same mode chosen again changes nothing
  ui->edtPort->setText(
      QString::fromStdString(PortAfterEncryptionChange(isPOP(), shownEncryption_, mode, text(ui->edtPort))));
  showEncryption(mode);
  connectionDetailsChanged();
  refreshFolders();
}

void TfrmEditAccount::signInChosen(int index) {
  if (index < 0 || index >= kSignInCount) return;
  const SignIn kind = kSignIns[index];
  if (kind == shownSignIn_) return;  // the same kind chosen again changes nothing
  showSignIn(kind);
  connectionDetailsChanged();
  refreshFolders();
}

void TfrmEditAccount::showSignIn(SignIn kind) {
  shownSignIn_ = kind;
  ui->cmbSignIn->setCurrentIndex(signInIndex(kind));
  const bool command = commandKind(kind);
  ui->lblPassword->setVisible(!command);
  ui->edtPassword->setVisible(!command);
  ui->lblCommand->setVisible(command);
  ui->edtCommand->setVisible(command);
  ui->btnTry->setVisible(command);
  ui->lblTryResult->setVisible(command && !ui->lblTryResult->text().isEmpty());
  ui->edtCommand->setPlaceholderText(kind == SignIn::TokenCommand ? QStringLiteral("prints the access token")
                                                                  : QStringLiteral("prints the password"));
  // An empty field keeps the password the keyring holds for the account.
  ui->edtPassword->setPlaceholderText(kind == SignIn::Keyring && keyringHeld()
                                          ? QString::fromUtf8(kKeptInKeyring) : QString());
  if (!command) stopTry();
  fitUserRows();
}

void TfrmEditAccount::secureClicked(bool checked) {
  encryptionChosen(modeIndex(checked ? Encryption::Tls : Encryption::None));
}

void TfrmEditAccount::showEncryption(Encryption mode) {
  shownEncryption_ = mode;
  ui->cmbEncryption->setCurrentIndex(modeIndex(mode));
  ui->chkSecure->setChecked(mode == Encryption::Tls);
  const bool encrypted = mode != Encryption::None;
  ui->imgPadlock->setPicture(encrypted ? art::lockSecure : art::lockOpen);
  ui->imgPadlock->setProperty("closed", encrypted);
  ui->imgPadlock->setToolTip(encrypted ? QStringLiteral("The connection is encrypted")
                                       : QStringLiteral("The connection is not encrypted"));
  ui->lblUnencrypted->setVisible(!encrypted);
  FitMinimumHeight(*this);
}

void TfrmEditAccount::dropMovedTrust() {
  if (!trusted_.empty() && !SameEndpoint(trustedEndpoint_, connectionDetails())) trusted_.clear();
}

void TfrmEditAccount::connectionDetailsChanged() {
  dropMovedTrust();
  stopTest();
  testCertificate_.reset();
  showTestStatus({}, false, false);
}

bool TfrmEditAccount::eventFilter(QObject* watched, QEvent* event) {
  // A wheel turned on the way to another field must not pick a type or mode.
  if ((watched == ui->edtAccountType || watched == ui->cmbEncryption || watched == ui->cmbSignIn ||
       watched == ui->cmbPanelPrivacy) &&
      event->type() == QEvent::Wheel)
    return true;
  auto* edit = qobject_cast<QLineEdit*>(watched);
  if (edit && (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) &&
      !windowFocusChange(static_cast<QFocusEvent*>(event)) && isVisible()) {
    if (event->type() == QEvent::FocusIn)
      enteredText_ = edit->text();
    else
      fieldLeft(edit);
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmEditAccount::fieldLeft(QLineEdit* edit) {
  // A field left unchanged (the server field too) changes nothing: a new
  // listing would come without the saved selection and untick the folders.
  if (edit->text() == enteredText_) return;
  // A different server: the credentials were for the old one.
  if (edit == ui->edtServer && !enteredText_.isEmpty()) {
    ui->edtUsername->clear();
    ui->edtPassword->clear();
  }
  enteredText_ = edit->text();
  connectionDetailsChanged();
  refreshFolders();
}

void TfrmEditAccount::refreshFolders() {
  if (complete() && !isPOP())
    startListing();
  else
    showOneLineState();
}

void TfrmEditAccount::showOneLineState() {
  tmrUpdateList.stop();
  stopListing();  // its result would never be shown
  keepShownTicks();
  drawnRows_.clear();
  RichCheckList* list = ui->lstFolders;
  const std::string line = isPOP() ? kPopInboxRow : TIMAPFolderGet::kIncomplete;
  if (list->count() != 1 || list->text(0) != line) {
    list->clear();
    list->add(line, !isPOP(), isPOP());
  }
  list->setEnabled(!isPOP());
  list->setSelectionHidden(!isPOP());
  listingCertificate_.reset();
  showFolderStatus(isPOP() ? std::string() : line);
}

void TfrmEditAccount::showFolderStatus(const std::string& status, bool review) {
  btnReviewFolderCertificate_->setVisible(review);
  if (status.empty()) {
    folderStack_->setCurrentIndex(0);
    return;
  }
  lblFolderStatus_->setText(QString::fromStdString(status));
  busy_->setVisible(status == TIMAPFolderGet::kConnecting || status == TIMAPFolderGet::kDownloading);
  folderStack_->setCurrentIndex(1);
}

void TfrmEditAccount::clearSharedResult() {
  std::lock_guard guard(result_.lock);
  result_.newResult = false;
  result_.kind = FolderGetResult::Message;
  result_.lines.clear();
  result_.certificate.reset();
}

void TfrmEditAccount::startListing() {
  delayedPopulateFolders.stop();  // a change made in the first 100 ms lists at once, and once
  tmrUpdateList.start();
  stopListing();
  clearSharedResult();
  listingCertificate_.reset();
  btnReviewFolderCertificate_->hide();
  listing_ = std::make_unique<Listing>(this, ++generation_, result_);
  listing_->thread.account = connectionDetails();
  listedServer_ = listing_->thread.account.server;
  listing_->thread.start();  // a thread that cannot start still posts its done message
}

void TfrmEditAccount::stopListing() {
  if (!listing_) return;
  listing_->thread.requestStop();
  listing_.reset();  // joins: the transport notices the stop within one read slice
}

void TfrmEditAccount::listingDone(uintptr_t generation) {
  // The current listing posts as its very last step, so joining it returns
  // at once; an earlier listing's message finds its thread already released.
  if (listing_ && generation == generation_) listing_.reset();
}

bool TfrmEditAccount::event(QEvent* event) {
  if (event->type() == WindowMessageEvent::type()) {
    auto* message = static_cast<WindowMessageEvent*>(event);
    if (message->message == WM_FOLDERGETDONE) listingDone(message->wParam);
    if (message->message == WM_CONNECTIONTESTDONE) testDone(message->wParam);
    return true;
  }
  return QDialog::event(event);
}

void TfrmEditAccount::updateList() {
  std::optional<FolderGetResult::Snapshot> result = result_.take();  // copies under the lock
  if (!result) return;
  RichCheckList* list = ui->lstFolders;
  list->setUpdatesEnabled(false);
  keepShownTicks();
  list->setEnabled(true);
  list->clear();
  list->setSelectionHidden(true);
  drawnRows_.clear();
  listingCertificate_.reset();
  if (result->kind == FolderGetResult::Message && result->certificate) {
    // Refused on the certificate: said in the editor's words, with its review.
    listingCertificate_ = std::move(result->certificate);
    const std::string line = UntrustedCertificateLine(listedServer_, *listingCertificate_);
    list->add(EscapeMarkup(line), true);
    showFolderStatus(line, true);
  } else if (result->kind == FolderGetResult::Message) {
    std::string status;
    for (const std::string& line : result->lines) {
      list->add(EscapeMarkup(line), true);
      status += (status.empty() ? "" : "\n") + line;
    }
    showFolderStatus(status);
  } else {
    showFolderStatus({});
    std::vector<FolderRow> rows = FolderRowsFromPaths(std::move(result->lines));
    ApplyTicks(rows, shownTicks_, selection_);
    for (const FolderRow& row : rows) list->add(row.markup, false, row.ticked);
    drawnRows_ = std::move(rows);
    list->setSelectionHidden(false);
  }
  list->setUpdatesEnabled(true);
}

bool TfrmEditAccount::folderRowsShown() const {
  return !drawnRows_.empty() && ui->lstFolders->count() == static_cast<int>(drawnRows_.size());
}

std::vector<std::string> TfrmEditAccount::tickedSelection() const {
  std::vector<bool> ticked;
  for (int i = 0; i < ui->lstFolders->count(); ++i) ticked.push_back(ui->lstFolders->isChecked(i));
  return SelectionFromRows(drawnRows_, ticked);
}

void TfrmEditAccount::keepShownTicks() {
  if (folderRowsShown()) shownTicks_ = tickedSelection();
}

bool TfrmEditAccount::refuse(const char* message, QLineEdit* focus) {
  ShowMessage(this, kTitle, "Account details missing or invalid", message, mbOK, miWarning);
  focus->setFocus(Qt::OtherFocusReason);
  return false;
}

bool TfrmEditAccount::closeQuery() {
  std::vector<std::string> folders;
  if (!isPOP()) {
    folders = folderRowsShown() ? tickedSelection() : SelectionWithoutList(shownTicks_, selection_);
  }

  if (ui->edtAccountName->text().isEmpty())
    return refuse("Please enter a name for this email account", ui->edtAccountName);
  if (ui->edtServer->text().isEmpty()) return refuse("Please enter the server to connect to", ui->edtServer);
  if (!IsValidPort(text(ui->edtPort))) {
    ui->edtPort->setText(isPOP() ? "110" : "143");
    refuse("Please enter a valid port", ui->edtPort);
    ui->edtPort->selectAll();
    return false;
  }
  if (ui->edtUsername->text().isEmpty()) return refuse("Please enter your username", ui->edtUsername);
  // A keyring account's empty field keeps the password the keyring holds,
  // but only under the entry it was stored for.
  if (!commandKind(signIn()) && ui->edtPassword->text().isEmpty() && !keepsKeyringPassword())
    return refuse("Please enter your password", ui->edtPassword);
  if (commandKind(signIn()) && ui->edtCommand->text().trimmed().isEmpty())
    return refuse(signIn() == SignIn::TokenCommand ? "Please enter the command that prints the token"
                                                   : "Please enter the command that prints the password",
                  ui->edtCommand);

  // An unconfirmed account is saved only on a clear Yes: No is the default,
  // so that Enter pressed twice does not save it.
  const RichCheckList* list = ui->lstFolders;
  if (!isPOP() && list->count() == 1 && !folderRowsShown()) {
    const std::string& row = list->text(0);
    const bool busy = row == EscapeMarkup(TIMAPFolderGet::kConnecting) ||
                      row == EscapeMarkup(TIMAPFolderGet::kDownloading);
    const int answer =
        busy ? ShowMessage(this, kTitle, "Server settings have not been confirmed",
                           "Brivane is in the process of connecting to the server to confirm your settings and "
                           "allow you to select subscribed folders. If you quit now, you may experience problems "
                           "with this account. Continue anyway?",
                           mbYes | mbNo, miQuestion, mbNo)
             : ShowMessage(this, kTitle, "Error connecting to server",
                           "Brivane could not connect to the server to confirm your settings. Continue anyway?",
                           mbYes | mbNo, miQuestion, mbNo);
    if (answer != mrYes) return false;
  }

  dropMovedTrust();  // a server typed and confirmed with Enter was never left
  TEmlAccount details = connectionDetails();
  details.name = text(ui->edtAccountName);
  if (!applyKeyring(details)) return false;
  account_.name = text(ui->edtAccountName);
  account_.isPOP = details.isPOP;
  account_.server = details.server;
  account_.port = details.port;
  setEncryption(account_, encryption());
  account_.username = details.username;
  // The keyring kind keeps its password out of the store.
  account_.password = signIn() == SignIn::Keyring ? std::string() : details.password;
  account_.signIn = details.signIn;
  account_.secretCommand = details.secretCommand;
  account_.trustedCertificate = details.trustedCertificate;
  account_.panelPrivacy = PanelPrivacyFromDword(static_cast<uint32_t>(ui->cmbPanelPrivacy->currentIndex()));
  account_.folders = std::move(folders);
  return true;
}

KeyringResult TfrmEditAccount::runKeyring(const std::function<KeyringResult()>& call) {
  keyringBusy_ = true;
  KeyringResult result = RunKeyringCall(this, call);
  keyringBusy_ = false;
  return result;
}

bool TfrmEditAccount::applyKeyring(const TEmlAccount& details) {
  const KeyringEntry held = KeyringEntryOf(account_);
  const KeyringEntry entry = KeyringEntryOf(details);
  KeyringOptions options;
  options.mayPrompt = true;  // the user is here to unlock the keyring
  if (signIn() == SignIn::Keyring && !ui->edtPassword->text().isEmpty()) {
    const std::string password = text(ui->edtPassword);
    const std::string label = KeyringLabelOf(details);
    const KeyringResult stored =
        runKeyring([&] { return keyring_.store(entry, label, password, options); });
    if (!stored.ok()) {
      ShowMessage(this, kTitle, "The password could not be kept in the desktop keyring",
                  QString::fromStdString(keyringOutcomeText(stored)), mbOK, miError);
      ui->edtPassword->setFocus(Qt::OtherFocusReason);
      return false;
    }
  }
  // The entry the keyring held for this account is no longer used: removed
  // after the new one is written. A failure is said but keeps nothing open.
  if (keyringHeld() && (signIn() != SignIn::Keyring || !SameKeyringEntry(held, entry))) {
    const KeyringResult removed = runKeyring([&] { return keyring_.remove(held, options); });
    if (!removed.ok() && removed.outcome != KeyringResult::Outcome::NotFound)
      ShowMessage(this, kTitle, "The old password could not be removed from the desktop keyring",
                  QString::fromStdString(keyringOutcomeText(removed)), mbOK, miWarning);
  }
  return true;
}

void TfrmEditAccount::done(int result) {
  if (keyringBusy_) return;  // a keyring call is under way: OK decides when it ends
  if (result == QDialog::Accepted && !closeQuery()) return;
  delayedPopulateFolders.stop();
  tmrUpdateList.stop();
  stopTry();
  stopTest();
  stopListing();
  QDialog::done(result);
}

// ---- connection test ----

void TfrmEditAccount::startTest() {
  stopTest();
  testCertificate_.reset();
  test_ = std::make_unique<ConnectionTest>(this, ++testGeneration_);
  test_->thread.account = connectionDetails();
  testedServer_ = test_->thread.account.server;
  showTestStatus(QString::fromUtf8(kTestConnecting), true, false);
  test_->thread.start();  // a thread that cannot start still posts its done message
}

void TfrmEditAccount::stopTest() {
  if (!test_) return;
  test_->thread.requestStop();
  test_.reset();  // joins: the transport notices the stop within one read slice
}

void TfrmEditAccount::testDone(uintptr_t generation) {
  // A stopped test's message finds its thread already released.
  if (!test_ || generation != testGeneration_) return;
  const ConnectionTestResult result = test_->thread.result();
  test_.reset();  // it posted as its last step: joins at once
  using Outcome = ConnectionTestResult::Outcome;
  if (result.outcome == Outcome::Certificate && result.certificate) {
    testCertificate_ = result.certificate;
    showTestStatus(QString::fromStdString(UntrustedCertificateLine(testedServer_, *testCertificate_)), false,
                   true);
    // The user asked for this connection: the review comes at once, after
    // this message is handled.
    QMetaObject::invokeMethod(this, [this] {
      if (testCertificate_ && isVisible()) reviewCertificate(CertificateSource::Test);
    }, Qt::QueuedConnection);
    return;
  }
  std::string line = result.message;
  if (line.empty()) line = result.outcome == Outcome::Success ? kTestSucceeded : "";
  showTestStatus(QString::fromStdString(line), false, false);
}

void TfrmEditAccount::showTestStatus(const QString& text, bool busy, bool review) {
  ui->lblTestStatus->setText(text);
  ui->lblTestStatus->setVisible(!text.isEmpty());
  ui->testBusy->setVisible(busy);
  ui->btnReviewCertificate->setVisible(review);
  FitMinimumHeight(*this);
}

void TfrmEditAccount::reviewCertificate(CertificateSource source) {
  const bool fromTest = source == CertificateSource::Test;
  const std::optional<CertificateInfo> info = fromTest ? testCertificate_ : listingCertificate_;
  if (!info) return;
  const std::string server = fromTest ? testedServer_ : listedServer_;
  if (!ReviewCertificate(this, server, *info, trusted_)) return;
  trusted_ = info->sha256;
  trustedEndpoint_ = connectionDetails();
  if (!isPOP() && complete()) startListing();
  if (fromTest || isPOP()) startTest();
}

// ---- Try of the sign-in command ----

void TfrmEditAccount::startTry() {
  if (try_ || signIn() == SignIn::Password) return;  // one at a time: the button is disabled meanwhile
  SecretCommand request;
  request.command = text(ui->edtCommand);
  request.account = text(ui->edtAccountName);
  request.user = text(ui->edtUsername);
  request.server = text(ui->edtServer);
  request.storePath = storePath_.empty() ? FileRegistryStore::defaultPath() : storePath_;
  try_ = std::make_unique<CommandTry>(this, ++tryGeneration_, runner_, std::move(request));
  ui->btnTry->setEnabled(false);
  showTryResult(QString::fromUtf8(kTryRunning));
  try_->start();  // a thread that cannot start posts its result all the same
}

void TfrmEditAccount::stopTry() {
  if (!try_) return;
  try_.reset();  // asks the command to stop and joins
  ui->btnTry->setEnabled(true);
  showTryResult({});
}

void TfrmEditAccount::tryDone(uintptr_t generation) {
  if (!try_ || generation != tryGeneration_) return;  // a stopped Try
  try_->join();
  const SecretCommandResult result = std::move(try_->result);
  try_.reset();
  ui->btnTry->setEnabled(true);
  // What the command printed stays here: only its length is shown.
  QString line;
  if (result.ok) {
    const qsizetype characters = QString::fromStdString(result.secret).toUcs4().size();
    line = QStringLiteral("The command printed one line of %1 character%2")
               .arg(characters)
               .arg(characters == 1 ? "" : "s");
  } else {
    line = QStringLiteral("The command failed: ") + QString::fromStdString(result.failure);
    if (!result.firstErrorLine.empty()) line += QStringLiteral(": ") + QString::fromStdString(result.firstErrorLine);
  }
  showTryResult(line);
}

void TfrmEditAccount::showTryResult(const QString& text) {
  QString shown = text;
  if (shown.size() > kTryResultMax) shown = shown.left(kTryResultMax - 1) + QChar(0x2026);
  ui->lblTryResult->setText(shown);
  ui->lblTryResult->setToolTip(shown.size() < text.size() ? text : QString());
  ui->lblTryResult->setVisible(!text.isEmpty() && signIn() != SignIn::Password);
  fitUserRows();
}

void TfrmEditAccount::fitUserRows() {
  // The group box tells the dialog's layout of its new rows only on its
  // next layout request; the dialog's height is set now.
  ui->grpUser->updateGeometry();
  FitMinimumHeight(*this);
}

}  // namespace brivane

#include "config_ui/background_tab.h"

#include <QComboBox>
#include <QSignalBlocker>

#include "common/text.h"
#include "config_ui/frm_adv_scrn_options.h"
#include "config_ui/frm_no_scrn_options.h"
#include "config_ui/screensaver_discovery.h"
#include "desktop/posted_target.h"
#include "platform/screensaver_program.h"
#include "ui_background_tab.h"

namespace brivane {

BackgroundTab::BackgroundTab(QWidget* parent, std::chrono::milliseconds previewInterval)
    : QWidget(parent),
      ui(new Ui::BackgroundTab),
      hackFolders_(defaultHackFolders()),
      target_(std::make_unique<PostedTarget>(this)) {
  ui->setupUi(this);
  preview = new BackgroundPreview(this, previewInterval);
  ui->previewLayout->addStretch();
  ui->previewLayout->addWidget(preview);
  ui->previewLayout->addStretch();
  tmrSettingsProcess.setInterval(kSettingsPollInterval);
  connect(&tmrSettingsProcess, &QTimer::timeout, this, &BackgroundTab::tmrSettingsProcessTimer);
  connect(ui->cboScreensaverSelect, &QComboBox::currentIndexChanged, this, [this] { selectionChanged(true); });
  connect(ui->btnScreensaverSettings, &QPushButton::clicked, this, &BackgroundTab::settingsClicked);
  connect(ui->btnAdvancedScreensaverSettings, &QPushButton::clicked, this, &BackgroundTab::advancedClicked);
  updateButtons();
}

BackgroundTab::~BackgroundTab() { shutdown(); }

void BackgroundTab::load(const DialogSettings& d) {
  loaded_ = d;
  screenCapSaver_ = d.supportScreenCapSavers;
  activeSaver_ = d.supportNonPreviewSavers;
  backColor_ = d.backColor;
  savedPath_ = d.useScreensaverBackground ? d.screensaverPath : std::string();
  ui->chkTransparentOverlay->setChecked(d.transparentOverlay);
}

void BackgroundTab::start() {
  if (discovery_ || discovered_ || shutDown_) return;
  discovery_ = std::make_unique<TGetScreensaverNames>(*target_, ScreensaverFolders(), OwnProgramFile());
  discovery_->start();  // a thread that cannot start still posts its (empty) list
}

void BackgroundTab::save(DialogSettings& d) const {
  if (!discovered_) {
    d.useScreensaverBackground = loaded_.useScreensaverBackground;
    d.screensaverPath = loaded_.screensaverPath;
    d.supportScreenCapSavers = loaded_.supportScreenCapSavers;
    d.supportNonPreviewSavers = loaded_.supportNonPreviewSavers;
    d.backColor = loaded_.backColor;
    d.transparentOverlay = loaded_.transparentOverlay;
    return;
  }
  const int index = ui->cboScreensaverSelect->currentIndex();
  d.useScreensaverBackground = index >= 1;
  // The values of the branch not chosen are passed on as loaded.
  d.screensaverPath = index >= 1 ? paths_[static_cast<size_t>(index)] : loaded_.screensaverPath;
  d.supportScreenCapSavers = screenCapSaver_;
  d.supportNonPreviewSavers = activeSaver_;
  d.backColor = backColor_;
  d.transparentOverlay = ui->chkTransparentOverlay->isChecked();
}

void BackgroundTab::setDateTimeShown(bool date, bool time) {
  using M = BackgroundPreview;
  preview->setDateTimeMode(date && time ? M::dtDateTime : date ? M::dtDate : time ? M::dtTime : M::dtNone);
}

void BackgroundTab::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (discovery_) {
    discovery_->requestStop();
    discovery_->join();
    discovery_.reset();
  }
  tmrSettingsProcess.stop();
  preview->tmrPreview.stop();
  preview->stopProgram();
  // The settings program may hold the user's unsaved changes: asked to end
  // (SIGTERM to its group), killed only when it has not after a short wait.
  settingsProcess_.terminate();
}

std::string BackgroundTab::settingsProgramName() const {
  const int index = ui->cboScreensaverSelect->currentIndex();
  if (index < 1 || static_cast<size_t>(index) >= paths_.size()) return {};
  return ScreensaverDisplayName(paths_[static_cast<size_t>(index)]);
}

void BackgroundTab::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (preview->programPid() == 0) startPreview();
}

void BackgroundTab::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  preview->stopProgram();
}

bool BackgroundTab::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::type()) {
    if (static_cast<WindowMessageEvent*>(e)->message == TGetScreensaverNames::kScreensaverNamesDone)
      screensaverNamesDone();
    return true;
  }
  return QWidget::event(e);
}

void BackgroundTab::screensaverNamesDone() {
  if (shutDown_ || !discovery_) return;
  discovery_->join();  // it has posted as its last step
  paths_ = discovery_->takeNames();
  discovery_.reset();
  if (paths_.empty()) paths_.push_back(TGetScreensaverNames::kNone);
  discovered_ = true;

  // The saved program, compared trimmed and without regard to case; the last match wins.
  int selected = 0;
  const std::string saved = trimControl(savedPath_);
  {
    const QSignalBlocker block(ui->cboScreensaverSelect);
    ui->cboScreensaverSelect->clear();
    ui->cboScreensaverSelect->addItem(QString::fromUtf8(TGetScreensaverNames::kNone));
    for (size_t i = 1; i < paths_.size(); ++i) {
      ui->cboScreensaverSelect->addItem(QString::fromUtf8(ScreensaverDisplayName(paths_[i])));
      ui->cboScreensaverSelect->setItemData(static_cast<int>(i), QString::fromUtf8(paths_[i]), Qt::ToolTipRole);
      if (!saved.empty() && equalsIgnoreCase(trimControl(paths_[i]), saved)) selected = static_cast<int>(i);
    }
    // Also with nothing found "(None)" is selected, so its colour stays reachable.
    ui->cboScreensaverSelect->setCurrentIndex(selected);
  }
  selectionChanged(false);
}

void BackgroundTab::selectionChanged(bool byUser) {
  if (shutDown_ || !discovered_) return;
  preview->stopProgram();
  // The user's "(None)" makes the overlays opaque; the discovery's own
  // selection leaves the box as loaded.
  if (byUser && ui->cboScreensaverSelect->currentIndex() == 0) ui->chkTransparentOverlay->setChecked(false);
  updateButtons();
  startPreview();
}

void BackgroundTab::startPreview() {
  const int index = ui->cboScreensaverSelect->currentIndex();
  // Only while the page is shown: another page shown stops it (hideEvent).
  if (shutDown_ || !discovered_ || !isVisible() || index < 1 || settingsProcess_.pid() != 0) return;
  preview->startProgram(paths_[static_cast<size_t>(index)], hackFolders_);  // one that cannot start leaves it black
}

void BackgroundTab::updateButtons() {
  const int index = discovered_ ? ui->cboScreensaverSelect->currentIndex() : -1;
  const bool chosen = index >= 1;
  bool settings = index == 0;
  if (chosen)
    settings = screensaverKind(paths_[static_cast<size_t>(index)], hackFolders_) != ScreensaverKind::CollectionHack;
  ui->btnScreensaverSettings->setEnabled(settings && settingsProcess_.pid() == 0);
  ui->btnAdvancedScreensaverSettings->setEnabled(chosen);
  ui->cboScreensaverSelect->setEnabled(discovered_);
  ui->chkTransparentOverlay->setEnabled(discovered_);
}

void BackgroundTab::settingsClicked() {
  const int index = ui->cboScreensaverSelect->currentIndex();
  if (!discovered_ || index < 0 || settingsProcess_.pid() != 0) return;
  if (index == 0) {
    TfrmNoScrnOptions dialog(this);
    dialog.setColor(backColor_);
    if (dialog.exec() == QDialog::Accepted) backColor_ = dialog.color();
    return;
  }
  // The program's own settings window: the preview stops while it is open;
  // the dialog stays responsive and looks at it every poll interval.
  if (!settingsProcess_.start({paths_[static_cast<size_t>(index)], "-c"})) return;
  preview->stopProgram();
  updateButtons();
  tmrSettingsProcess.start();
}

void BackgroundTab::tmrSettingsProcessTimer() {
  if (!settingsProcess_.hasEnded(std::chrono::milliseconds(0))) return;
  tmrSettingsProcess.stop();
  settingsProcess_.kill();  // reaps what is left of its group and forgets it
  updateButtons();
  startPreview();
}

void BackgroundTab::advancedClicked() {
  TfrmAdvScrnOptions dialog(this);
  dialog.setOptions(screenCapSaver_, activeSaver_);
  if (dialog.exec() != QDialog::Accepted) return;
  screenCapSaver_ = dialog.screenCapSaver();
  activeSaver_ = dialog.activeSaver();
}

}  // namespace brivane

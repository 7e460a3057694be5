#pragma once
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config_ui/background_preview.h"
#include "platform/process_launcher.h"
#include "settings/settings.h"

namespace Ui {
class BackgroundTab;
}

// The settings dialog's "Background" page: the background screensaver
// (found by TGetScreensaverNames), its settings, the two advanced options,
// the overlay transparency, or, with "(None)", a plain background colour;
// and the live preview of the choice.
//
// Lifecycle (UI thread only): load() the dialog's record, start() the
// discovery; when its list arrives the saved program is preselected and the
// preview starts, and runs while the page is shown (never behind another
// page). save() writes the six background values back: until the
// list has arrived they are exactly the loaded ones (the controls are
// disabled meanwhile), so an early OK never loses the saved program.
// shutdown() (also run by the destructor, idempotent) stops and joins the
// discovery and ends the preview and settings programs; the settings
// program, which may hold unsaved work, is asked to end first (SIGTERM to
// its group) and killed only after kSettingsGrace.
namespace brivane {

class TGetScreensaverNames;
class PostedTarget;

class BackgroundTab : public QWidget {
  Q_OBJECT
 public:
  // How often a running settings program is looked at.
  static constexpr std::chrono::milliseconds kSettingsPollInterval{200};
  // How long a settings program asked to end (SIGTERM) has before SIGKILL.
  static constexpr std::chrono::milliseconds kSettingsGrace{1000};

  explicit BackgroundTab(QWidget* parent = nullptr,
                         std::chrono::milliseconds previewInterval = BackgroundPreview::kPreviewInterval);
  ~BackgroundTab() override;

  void load(const DialogSettings& d);
  void start();
  void save(DialogSettings& d) const;
  void setDateTimeShown(bool date, bool time);
  void shutdown();

  // True once the discovery's list has arrived.
  bool discovered() const { return discovered_; }
  // The full paths, index-aligned with cboScreensaverSelect (entry 0 "(None)").
  const std::vector<std::string>& screensaverPaths() const { return paths_; }
  // The running preview / settings program (0 when none).
  pid_t previewPid() const { return preview->programPid(); }
  pid_t settingsPid() const { return settingsProcess_.pid(); }
  // The chosen program's name, as the list shows it ("" for "(None)").
  std::string settingsProgramName() const;
  // Tests: the folders whose programs take the collection's switches.
  void setHackFolders(std::vector<std::string> folders) { hackFolders_ = std::move(folders); }

  std::unique_ptr<Ui::BackgroundTab> ui;
  BackgroundPreview* preview = nullptr;
  QTimer tmrSettingsProcess;

 protected:
  bool event(QEvent* e) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void screensaverNamesDone();
  void selectionChanged(bool byUser);
  void updateButtons();
  void startPreview();
  void settingsClicked();
  void advancedClicked();
  void tmrSettingsProcessTimer();

  DialogSettings loaded_;  // the background values as loaded
  std::string savedPath_;
  TColor backColor_ = clBlack;
  bool screenCapSaver_ = false;  // the advanced options while the dialog is open
  bool activeSaver_ = false;
  std::vector<std::string> paths_;
  std::vector<std::string> hackFolders_;
  bool discovered_ = false;
  bool shutDown_ = false;
  std::unique_ptr<PostedTarget> target_;
  std::unique_ptr<TGetScreensaverNames> discovery_;
  ProcessLauncher settingsProcess_{kSettingsGrace};
};

}  // namespace brivane

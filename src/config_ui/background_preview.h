#pragma once
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/process_launcher.h"

// The Background tab's live preview: a picture of a monitor whose screen,
// pnlPreview (152 x 112 at 96 dpi, scaled with the font resolution), is a
// native child window that only the chosen screensaver program draws into.
// Over it two native miniatures: the message panel (pnlPrevMail, 49 x 40),
// moved to a random place every tmrPreview interval, and the date/time panel
// (pnlPrevDT) at the screen's bottom-right corner.
//
// At most one preview program runs. It is started with
// screensaverCommand(path, pnlPreview's window, false) and ended at once
// (SIGKILL to its group, then reaped) by stopProgram(), by the next
// startProgram() and on destruction. A program that cannot be started
// leaves the screen black, without a message; one that ends by itself is
// reaped within kReapInterval and the screen painted black again. The screen
// is painted black each time the preview is shown, so it never keeps the
// pixels of another page.
namespace brivane {

class BackgroundPreview : public QWidget {
  Q_OBJECT
 public:
  static constexpr std::chrono::milliseconds kPreviewInterval{5000};
  static constexpr std::chrono::milliseconds kReapInterval{250};
  static constexpr int kScreenWidth = 152, kScreenHeight = 112;
  static constexpr int kMailWidth = 49, kMailHeight = 40;

  // Modes of the date/time miniature.
  enum DateTimeMode { dtNone = 0, dtTime = 1, dtDate = 2, dtDateTime = 3 };

  explicit BackgroundPreview(QWidget* parent = nullptr,
                             std::chrono::milliseconds previewInterval = kPreviewInterval);
  ~BackgroundPreview() override;

  // Runs the program at `path` into the screen (any running one is ended
  // first); `hackFolders` tell which programs take the collection's switches.
  bool startProgram(const std::string& path, const std::vector<std::string>& hackFolders);
  // Ends the running program, if any, and paints the screen black.
  void stopProgram();
  // The running preview program's pid (its group), 0 when none.
  pid_t programPid() const { return launcher_.pid(); }

  void setDateTimeMode(DateTimeMode mode);
  DateTimeMode dateTimeMode() const { return mode_; }

  // The random source for the miniature's place: a number in [0, bound).
  void setRandom(std::function<int(int bound)> random) { random_ = std::move(random); }

  QWidget* pnlPreview = nullptr;
  QWidget* pnlPrevMail = nullptr;
  QWidget* pnlPrevDT = nullptr;
  QTimer tmrPreview;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void tmrPreviewTimer();
  void placeScreen();
  void paintScreenBlack();
  int scaled(int v) const;

  ProcessLauncher launcher_;
  QTimer reap_;  // looks for a program that has ended by itself
  DateTimeMode mode_ = dtNone;
  std::function<int(int)> random_;
  QRect screen_;  // pnlPreview's place
};

}  // namespace brivane

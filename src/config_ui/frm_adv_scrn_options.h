#pragma once
#include <QDialog>
#include <memory>

namespace Ui {
class TfrmAdvScrnOptions;
}

// The two compatibility options of a background screensaver, each with a
// grey note; OK and Cancel. The caller fills the boxes, shows the dialog
// modally and reads them back after OK.
namespace brivane {

class TfrmAdvScrnOptions : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmAdvScrnOptions(QWidget* parent = nullptr);
  ~TfrmAdvScrnOptions() override;

  void setOptions(bool screenCapSaver, bool activeSaver);
  bool screenCapSaver() const;
  bool activeSaver() const;

  std::unique_ptr<Ui::TfrmAdvScrnOptions> ui;
};

}  // namespace brivane

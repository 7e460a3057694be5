#pragma once
#include <QColor>
#include <QDialog>
#include <functional>
#include <memory>
#include <optional>

#include "settings/colors.h"

namespace Ui {
class TfrmNoScrnOptions;
}

// The background colour used when no background screensaver is chosen: a
// colour box with the standard and extended named colours under readable
// names ("Black", "Money Green", ...), a "Default" entry and "Custom...",
// which opens a colour dialog. A colour that is none of the named ones
// (a "$" number or a system colour from the store) is shown as the custom
// entry and kept unchanged unless the user picks another.
namespace brivane {

class TfrmNoScrnOptions : public QDialog {
  Q_OBJECT
 public:
  // Asks the user for a colour, starting from `initial`; nothing when cancelled.
  using ColorPicker = std::function<std::optional<QColor>(QWidget* parent, const QColor& initial)>;

  explicit TfrmNoScrnOptions(QWidget* parent = nullptr);
  ~TfrmNoScrnOptions() override;

  void setColor(TColor color);
  TColor color() const;

  // Tests replace the colour dialog.
  void setColorPicker(ColorPicker picker) { picker_ = std::move(picker); }

  std::unique_ptr<Ui::TfrmNoScrnOptions> ui;

 private:
  void colorActivated(int index);
  void setCustom(TColor color);
  int customIndex() const;

  ColorPicker picker_;
  int lastIndex_ = 0;
};

// QColor <-> the store's 0x00BBGGRR colour value (system colours drawn in the usual scheme).
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

}  // namespace brivane

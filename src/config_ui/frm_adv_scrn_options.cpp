#include "config_ui/frm_adv_scrn_options.h"

#include <QFontMetrics>
#include <QStyle>

#include "ui_frm_adv_scrn_options.h"

namespace brivane {

TfrmAdvScrnOptions::TfrmAdvScrnOptions(QWidget* parent) : QDialog(parent), ui(new Ui::TfrmAdvScrnOptions) {
  ui->setupUi(this);
  // The notes: grey, indented under their box, lines of a comfortable length.
  const int indent = style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                     style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  const int lineWidth = fontMetrics().averageCharWidth() * 60;
  for (QLabel* note : {ui->lblScreenCapNote, ui->lblActiveNote}) {
    QPalette pal = note->palette();
    // Grey, yet readable: two thirds of the way from the background to the text colour.
    const QColor text = pal.color(QPalette::WindowText), back = pal.color(QPalette::Window);
    pal.setColor(QPalette::WindowText, QColor((back.red() + 2 * text.red()) / 3, (back.green() + 2 * text.green()) / 3,
                                              (back.blue() + 2 * text.blue()) / 3));
    note->setPalette(pal);
    note->setIndent(indent);
    note->setFixedWidth(lineWidth + indent);
  }
}

TfrmAdvScrnOptions::~TfrmAdvScrnOptions() = default;

void TfrmAdvScrnOptions::setOptions(bool screenCapSaver, bool activeSaver) {
  ui->chkScreenCapSaver->setChecked(screenCapSaver);
  ui->chkActiveSaver->setChecked(activeSaver);
}

bool TfrmAdvScrnOptions::screenCapSaver() const { return ui->chkScreenCapSaver->isChecked(); }
bool TfrmAdvScrnOptions::activeSaver() const { return ui->chkActiveSaver->isChecked(); }

}  // namespace brivane

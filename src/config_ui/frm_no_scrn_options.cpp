#include "config_ui/frm_no_scrn_options.h"

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>

#include "ui_frm_no_scrn_options.h"

namespace brivane {
namespace {

// The standard and extended colours, then the default entry, by identifier.
struct Entry {
  const char* id;
  const char* name;
};
constexpr Entry kEntries[] = {
    {"clBlack", "Black"},          {"clMaroon", "Maroon"},       {"clGreen", "Green"},
    {"clOlive", "Olive"},          {"clNavy", "Navy"},           {"clPurple", "Purple"},
    {"clTeal", "Teal"},            {"clGray", "Gray"},           {"clSilver", "Silver"},
    {"clRed", "Red"},              {"clLime", "Lime"},           {"clYellow", "Yellow"},
    {"clBlue", "Blue"},            {"clFuchsia", "Fuchsia"},     {"clAqua", "Aqua"},
    {"clWhite", "White"},          {"clMoneyGreen", "Money Green"}, {"clSkyBlue", "Sky Blue"},
    {"clCream", "Cream"},          {"clMedGray", "Medium Gray"}, {"clDefault", "Default"},
};

constexpr int kValueRole = Qt::UserRole;

QIcon swatch(const QColor& color, int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(0x60, 0x60, 0x60));
  p.setBrush(color);
  p.drawRect(0, 0, size - 1, size - 1);
  return QIcon(pm);
}

}  // namespace

QColor ToQColor(TColor color) { return QColor(QRgb(0xFF000000u | ColorToRgb(color))); }

TColor FromQColor(const QColor& c) {
  return static_cast<TColor>(c.red()) | static_cast<TColor>(c.green()) << 8 | static_cast<TColor>(c.blue()) << 16;
}

TfrmNoScrnOptions::TfrmNoScrnOptions(QWidget* parent) : QDialog(parent), ui(new Ui::TfrmNoScrnOptions) {
  ui->setupUi(this);
  picker_ = [](QWidget* owner, const QColor& initial) -> std::optional<QColor> {
    const QColor c = QColorDialog::getColor(initial, owner);
    if (!c.isValid()) return std::nullopt;
    return c;
  };
  const int icon = fontMetrics().height() - 2;
  ui->cboBackColor->setIconSize(QSize(icon, icon));
  for (const Entry& e : kEntries) {
    const TColor value = *StringToColor(e.id);
    ui->cboBackColor->addItem(swatch(ToQColor(value), icon), QString::fromLatin1(e.name), QVariant::fromValue(value));
  }
  ui->cboBackColor->addItem(swatch(Qt::black, icon), tr("Custom..."), QVariant::fromValue(TColor{clBlack}));
  connect(ui->cboBackColor, &QComboBox::activated, this, &TfrmNoScrnOptions::colorActivated);
  setColor(clBlack);
}

TfrmNoScrnOptions::~TfrmNoScrnOptions() = default;

int TfrmNoScrnOptions::customIndex() const { return ui->cboBackColor->count() - 1; }

void TfrmNoScrnOptions::setCustom(TColor color) {
  const int icon = ui->cboBackColor->iconSize().height();
  ui->cboBackColor->setItemData(customIndex(), QVariant::fromValue(color), kValueRole);
  ui->cboBackColor->setItemIcon(customIndex(), swatch(ToQColor(color), icon));
}

void TfrmNoScrnOptions::setColor(TColor color) {
  int index = -1;
  for (int i = 0; i < customIndex(); ++i)
    if (ui->cboBackColor->itemData(i, kValueRole).value<TColor>() == color) index = i;
  if (index < 0) {
    setCustom(color);
    index = customIndex();
  }
  ui->cboBackColor->setCurrentIndex(index);
  lastIndex_ = index;
}

TColor TfrmNoScrnOptions::color() const { return ui->cboBackColor->currentData(kValueRole).value<TColor>(); }

void TfrmNoScrnOptions::colorActivated(int index) {
  if (index != customIndex()) {
    lastIndex_ = index;
    return;
  }
  const TColor from = ui->cboBackColor->itemData(lastIndex_, kValueRole).value<TColor>();
  if (const std::optional<QColor> picked = picker_(this, ToQColor(from))) {
    setCustom(FromQColor(*picked));
    lastIndex_ = index;
  } else {
    ui->cboBackColor->setCurrentIndex(lastIndex_);  // cancelled: the colour stays
  }
}

}  // namespace brivane

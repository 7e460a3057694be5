#pragma once
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

// For tests: the controls of a shown dialog whose geometry is smaller than
// what they need to show their text (clipped captions, squeezed edits), as
// "objectName: w x h < hint" lines; empty when everything fits. Run at the
// desktop's font sizes (QT_FONT_DPI 96 and 192).
namespace brivane {

inline QStringList ControlsThatDoNotFit(const QWidget& dialog) {
  QStringList misfits;
  for (const QWidget* w : dialog.findChildren<QWidget*>()) {
    if (!w->isVisibleTo(&dialog)) continue;
    // A spin box is one control: its own edit is laid out inside its frame.
    if (qobject_cast<const QAbstractSpinBox*>(w->parentWidget())) continue;
    const bool control = qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLabel*>(w) ||
                         qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
                         qobject_cast<const QAbstractSpinBox*>(w);
    if (!control) continue;
    const QSize have = w->size();
    QSize need = w->minimumSizeHint().expandedTo(QSize(0, 0));
    if (const auto* label = qobject_cast<const QLabel*>(w); label && label->wordWrap()) {
      need = QSize(0, label->heightForWidth(have.width()));
    } else if (qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLabel*>(w)) {
      need = w->sizeHint();  // a caption must show whole
    }
    if (have.width() < need.width() || have.height() < need.height())
      misfits << QStringLiteral("%1 (%2): %3 x %4 < %5 x %6")
                     .arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()))
                     .arg(have.width())
                     .arg(have.height())
                     .arg(need.width())
                     .arg(need.height());
  }
  return misfits;
}

}  // namespace brivane

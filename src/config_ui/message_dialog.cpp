#include "config_ui/message_dialog.h"

#include <QMessageBox>
#include <QTextDocument>

namespace brivane {
namespace {

MessageHook gHook = nullptr;

struct ButtonMap {
  int bit;
  QMessageBox::StandardButton button;
  int result;
};
// Close is shown as Qt's Close button (its role ends the box like Abort would).
constexpr ButtonMap kButtons[] = {
    {mbOK, QMessageBox::Ok, mrOK},          {mbYes, QMessageBox::Yes, mrYes},
    {mbNo, QMessageBox::No, mrNo},          {mbCancel, QMessageBox::Cancel, mrCancel},
    {mbRetry, QMessageBox::Retry, mrRetry}, {mbClose, QMessageBox::Close, mrClose},
};

QMessageBox::Icon iconFor(int icon) {
  switch (icon) {
    case miInformation: return QMessageBox::Information;
    case miWarning: return QMessageBox::Warning;
    case miError: return QMessageBox::Critical;
    case miQuestion: return QMessageBox::Question;
    default: return QMessageBox::NoIcon;
  }
}

}  // namespace

void SetMessageHook(MessageHook hook) { gHook = hook; }

int ShowMessage(QWidget* parent, const QString& title, const QString& heading, const QString& text, int buttons,
                int icon, int defaultButton) {
  if (gHook) return gHook(title, heading, text, buttons, icon, defaultButton);
  QMessageBox box(iconFor(icon), title, heading, QMessageBox::NoButton, parent);
  box.setTextFormat(Qt::PlainText);
  // Always as rich text made from the plain text, so that "<" in a text
  // (a server name, a path) shows as typed; its blanks stay breakable, so
  // that a long text wraps rather than running off the screen.
  box.setInformativeText(Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
  QMessageBox::StandardButtons set;
  for (const ButtonMap& b : kButtons)
    if (buttons & b.bit) set |= b.button;
  if (!set) set = QMessageBox::Ok;
  box.setStandardButtons(set);
  // Yes is the natural default of a question, OK of anything else, unless
  // the caller names another.
  QMessageBox::StandardButton chosen = QMessageBox::NoButton;
  for (const ButtonMap& b : kButtons)
    if (b.bit == defaultButton && (set & b.button)) chosen = b.button;
  if (chosen != QMessageBox::NoButton) box.setDefaultButton(chosen);
  else if (set & QMessageBox::Yes) box.setDefaultButton(QMessageBox::Yes);
  else if (set & QMessageBox::Ok) box.setDefaultButton(QMessageBox::Ok);
  box.exec();
  const QAbstractButton* pressed = box.clickedButton();
  const QMessageBox::StandardButton which = box.standardButton(const_cast<QAbstractButton*>(pressed));
  for (const ButtonMap& b : kButtons)
    if (b.button == which) return b.result;
  // Closed without a button (the title bar's close box with no Cancel).
  return (buttons & mbCancel) ? mrCancel : mrClose;
}

}  // namespace brivane

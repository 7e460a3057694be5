#include "saver/popup_messages.h"

#include "widgets/qt_text_metrics.h"

namespace brivane {

TpopMessages::TpopMessages(QWidget* owner) : PopupPanel(owner, Qt::black, true) {
  setObjectName(QStringLiteral("popMessages"));
  edtFocusSteal = new QLineEdit(this);
  edtFocusSteal->setObjectName(QStringLiteral("edtFocusSteal"));
  lstMessages = new RichListBox(this);
  lstMessages->setObjectName(QStringLiteral("lstMessages"));
  lstMessages->setBackground(Qt::black);
  lstMessages->setScrollBarShown(false);
  lstMessages->setDefaultFont({uiFontFamily().toStdString(), 9, false, false}, Qt::white);
  setupMessageListGraphics(lstMessages->graphics());
  lstMessages->graphicsChanged();
  edtFocusSteal->lower();
  setTabOrder(edtFocusSteal, lstMessages);
  tmrFade = fadeTimer();
  setPanelSize({kDesignWidth, kDesignHeight});
}

void TpopMessages::layoutChildren() {
  QRect inner = rect().adjusted(kBorder, kBorder, -kBorder, -kBorder);
  lstMessages->setGeometry(inner);
  // Holds the focus for the panel without ever showing: no size, under the list.
  edtFocusSteal->setGeometry(QRect(inner.topLeft(), QSize(0, 0)));
}

}  // namespace brivane

#include "saver/popup_update.h"

#include <QPainter>

#include "widgets/qt_text_metrics.h"

namespace brivane {

namespace {
constexpr int kMargin = 12;
}

TpopUpdate::TpopUpdate(QWidget* owner) : PopupPanel(owner, QColor(56, 56, 56), true) {
  setObjectName(QStringLiteral("popUpdate"));
  lblUpdateTitle = new QLabel(QStringLiteral("an updated version of brivane is available"), this);
  lblUpdateTitle->setObjectName(QStringLiteral("lblUpdateTitle"));
  // The modern desktop branch: the title keeps its 10 points but is not bold.
  lblUpdateTitle->setFont(toQFont({uiFontFamily().toStdString(), 10, false, false}));
  QPalette pal = lblUpdateTitle->palette();
  pal.setColor(QPalette::WindowText, Qt::white);
  lblUpdateTitle->setPalette(pal);
  lstUpdateMessage = new RichListBox(this);
  lstUpdateMessage->setObjectName(QStringLiteral("lstUpdateMessage"));
  lstUpdateMessage->setBackground(QColor());
  lstUpdateMessage->setScrollBarShown(false);
  lstUpdateMessage->setDefaultFont({uiFontFamily().toStdString(), 9, false, false}, Qt::white);
  tmrFade = fadeTimer();
  setPanelSize({kDesignWidth, kDesignHeight});
}

int TpopUpdate::ruleY() const {
  return lblUpdateTitle->geometry().bottom() + 5;
}

void TpopUpdate::layoutChildren() {
  int titleHeight = lblUpdateTitle->sizeHint().height();
  lblUpdateTitle->setGeometry(kMargin, 9, width() - 2 * kMargin, titleHeight);
  int listTop = ruleY() + 6;
  lstUpdateMessage->setGeometry(kMargin, listTop, width() - 2 * kMargin,
                                std::max(0, height() - listTop - 6));
}

void TpopUpdate::paintEvent(QPaintEvent* event) {
  PopupPanel::paintEvent(event);
  QPainter p(this);
  int y = ruleY();
  p.fillRect(QRect(kMargin, y, width() - 2 * kMargin, 1), QColor(110, 110, 110));
}

}  // namespace brivane

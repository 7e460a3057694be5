#include "saver/message_view.h"

#include <QDateTime>
#include <QLocale>

#include "saver/popup_date_time.h"

namespace brivane {

void TpopMessagesHost::setPanelHeight(int height) {
  if (height != panel_.height()) panel_.setPanelSize({panel_.width(), height});
}

MessageView::MessageView(TpopMessages& panel, std::function<QRect()> clientArea, std::function<void()> moveDue)
    : host(panel, std::move(clientArea), std::move(moveDue)),
      model(*panel.lstMessages, host, panel.lstMessages->textMetrics(),
            MessageListFonts::from(panel.lstMessages->defaultFont())),
      panel_(panel) {
  model.setShortDate([](int64_t when) {
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(when).date(), QLocale::ShortFormat).toStdString();
  });
  // Hours and minutes, as the clock panel shows them (no seconds).
  model.setShortTime([](int64_t when) {
    const QLocale locale;
    return locale.toString(QDateTime::fromSecsSinceEpoch(when).time(), shortTimeFormat(locale)).toStdString();
  });
  refreshMetrics();
}

void MessageView::refreshMetrics() {
  RichListBox& list = *panel_.lstMessages;
  model.setFonts(MessageListFonts::from(list.defaultFont()));
  const int dpi = list.logicalDpiX();
  model.setPictureScale(dpi > 0 ? dpi / 96.0 : 1.0);
}

}  // namespace brivane

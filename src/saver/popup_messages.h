#pragma once
#include <QLineEdit>
#include <QTimer>

#include "widgets/rich_list_box.h"
#include "saver/popup_panel.h"

namespace brivane {

// The message panel: a black rounded panel holding the message list
// `lstMessages` inside 8-pixel borders. The saver sets its width to the
// "previewWidth" setting and fits its height to the rows.
class TpopMessages : public PopupPanel {
  Q_OBJECT

 public:
  static constexpr int kDesignWidth = 350;
  static constexpr int kDesignHeight = 400;
  static constexpr int kBorder = 8;

  explicit TpopMessages(QWidget* owner = nullptr);

  // Panel height that shows `listHeight` pixels of rows.
  static int heightForList(int listHeight) { return listHeight + 2 * kBorder; }

  QLineEdit* edtFocusSteal;   // covered by the list, first in the tab order
  RichListBox* lstMessages;   // white 9-point rows, no scroll bar
  QTimer* tmrFade;            // 10 ms fade steps

 protected:
  void layoutChildren() override;
};

}  // namespace brivane

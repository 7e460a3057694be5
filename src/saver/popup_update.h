#pragma once
#include <QLabel>
#include <QTimer>

#include "widgets/rich_list_box.h"
#include "saver/popup_panel.h"

namespace brivane {

// The update notice: a dark grey panel with a title, a rule under it and the
// one-row list `lstUpdateMessage` ("Version: ...", "Press U to update now").
class TpopUpdate : public PopupPanel {
  Q_OBJECT

 public:
  static constexpr int kDesignWidth = 393;
  static constexpr int kDesignHeight = 97;

  explicit TpopUpdate(QWidget* owner = nullptr);

  QLabel* lblUpdateTitle;
  RichListBox* lstUpdateMessage;
  QTimer* tmrFade;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void layoutChildren() override;

 private:
  int ruleY() const;
};

}  // namespace brivane

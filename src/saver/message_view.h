#pragma once
#include <QRect>
#include <functional>

#include "message_list/message_list.h"
#include "saver/popup_messages.h"

namespace brivane {

// The message panel as the message list's host. Places are measured from
// the saver window's client area (the primary screen's geometry).
class TpopMessagesHost : public MessagePanelHost {
 public:
  TpopMessagesHost(TpopMessages& panel, std::function<QRect()> clientArea, std::function<void()> moveDue)
      : panel_(panel), clientArea_(std::move(clientArea)), moveDue_(std::move(moveDue)) {}
  int clientHeight() const override { return clientArea_().height(); }
  int panelTop() const override { return panel_.y() - clientArea_().top(); }
  int panelHeight() const override { return panel_.height(); }
  void setPanelHeight(int height) override;
  int panelFrameHeight() const override { return 2 * TpopMessages::kBorder; }
  void requestMove() override {
    if (moveDue_) moveDue_();
  }

 private:
  TpopMessages& panel_;
  std::function<QRect()> clientArea_;
  std::function<void()> moveDue_;
};

// The message list of the message panel: the model over `lstMessages`,
// measuring with the fonts that paint and writing dates and times in the
// locale's short format.
class MessageView {
 public:
  MessageView(TpopMessages& panel, std::function<QRect()> clientArea, std::function<void()> moveDue);
  // Takes the fonts and the picture scale of the list again (after a screen
  // or dpi change).
  void refreshMetrics();

  TpopMessagesHost host;
  MessageListModel model;

 private:
  TpopMessages& panel_;
};

}  // namespace brivane

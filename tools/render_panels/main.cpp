// Renders the three pop-up panels with representative rows to PNG files, or
// shows them on the screen over a dark backdrop.
//
//   render_panels OUTDIR          writes messages.png, datetime.png,
//                                 update.png, overview.png (the panels over
//                                 a backdrop) and icons.png into OUTDIR
//   render_panels --show [SECS]   shows the panels in real windows for SECS
//                                 seconds (default 10)
#include <QApplication>
#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <string>
#include <vector>

#include "checking/check_cycle.h"
#include "checking/message_queue.h"
#include "common/status_words.h"
#include "saver/message_view.h"
#include "saver/popup_date_time.h"
#include "saver/popup_messages.h"
#include "saver/popup_update.h"

using namespace brivane;

namespace {

// Sample rows as checkers publish them: two accounts with messages (grouped
// senders, previews), accounts in progress and accounts with errors.
void fillResults(CheckCycle& cycle, int64_t now) {
  auto account = [&](const char* name, bool pop, const char* server, std::vector<std::string> folders) {
    TEmlAccount a;
    a.name = name;
    a.isPOP = pop;
    a.server = server;
    a.folders = std::move(folders);
    cycle.Accounts.push_back(a);
  };
  account("Personal", false, "imap.example.org", {"INBOX;Inbox", "Lists;Mailing lists"});
  account("Work", true, "pop.example.com", {});
  account("Archive", false, "archive.example.net", {"INBOX;Inbox"});
  account("Newsletters", false, "news.example.net", {"INBOX;Inbox"});
  account("Old server", false, "mail.old-provider.example", {"INBOX;Inbox"});
  account("Shared", false, "shared.example.org", {"INBOX;Inbox"});
  struct Msg {
    int account;
    const char* folder;
    const char* sender;
    const char* subject;
    int64_t ago;
    const char* preview;
  };
  const Msg msgs[] = {
      {0, "INBOX", "Alice Martin", "Dinner on Friday?", 130,
       "Hi! Are we still on for Friday? I booked a table for seven."},
      {0, "INBOX", "Alice Martin", "Photos from the trip", 3900,
       "Here are the pictures I promised, the lake ones came out great."},
      {0, "INBOX", "AT&T Billing", "Your statement <December> is ready & waiting", 0, "View your bill online."},
      {0, "INBOX", "Alice Martin", "Re: Book club", 90000, "I finished it last night."},
      {0, "Lists", "Project Updates",
       "Weekly summary of every change to the shared planning documents and the release calendar", 260000, ""},
      {1, "INBOX", "Build server", "Nightly build #2841 passed", 1500, "All 2,318 tests passed in 41 minutes."},
      {1, "INBOX", "Jonas Weber", "Quarterly report draft", 7300, "Attached is the draft; comments welcome by Monday."},
  };
  for (const Msg& m : msgs) {
    MessageSummary row;
    row.accountIndex = m.account;
    row.setFolder(m.folder);
    row.setSender(m.sender);
    row.setSubject(m.subject);
    row.setPreview(m.preview);
    row.received = now - m.ago;
    cycle.resultList.push_back(row);
  }
  cycle.resultList.push_back(statusRow(status::kChecking, RowKind::Progress, 2));
  cycle.resultList.push_back(statusRow(status::kNoMsg, RowKind::NoMessages, 3));
  cycle.resultList.push_back(statusRow(status::kErrConn, RowKind::Error, 4));
  cycle.resultList.push_back(statusRow(status::kInvUserPass, RowKind::Error, 5));
  cycle.listChanged = 1;
}

void fillMessages(TpopMessages& panel, QSize screen) {
  const int64_t now = QDateTime(QDate(2026, 12, 6), QTime(21, 5)).toSecsSinceEpoch();
  MessageQueue target;
  CheckCycle cycle(target);
  fillResults(cycle, now);
  MessageView view(panel, [screen] { return QRect(QPoint(0, 0), screen); }, [] {});
  SaverSettings settings;
  settings.displayMsgPreview = true;
  view.model.setSettings(settings);
  view.model.setClock([now] { return now; });
  view.model.FillInitialList(cycle.Accounts);
  view.model.RebuildList(cycle);
}

struct Panels {
  TpopMessages messages;
  TpopDateTime dateTime;
  TpopUpdate update;

  Panels(QWidget* owner, QSize screen) : messages(owner), dateTime(owner), update(owner) {
    for (PopupPanel* p : {static_cast<PopupPanel*>(&messages), static_cast<PopupPanel*>(&dateTime),
                          static_cast<PopupPanel*>(&update)}) {
      p->setTag(180);
    }
    fillMessages(messages, screen);
    dateTime.setScreenSize(screen);
    dateTime.setClock([] { return QDateTime(QDate(2026, 12, 6), QTime(21, 5)); });
    dateTime.setShowDate(true);
    dateTime.setShowTime(true);
    dateTime.updateDateTime();
    update.lstUpdateMessage->add("<B>Version: </B>1.1.0.0<BR><BR>Press <B>U</B> to update now");
  }
};

void paintBackdrop(QPainter& p, QRect r) {
  QLinearGradient g(r.topLeft(), r.bottomRight());
  g.setColorAt(0, QColor(24, 44, 78));
  g.setColorAt(1, QColor(70, 30, 60));
  p.fillRect(r, g);
}

class Backdrop : public QWidget {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    paintBackdrop(p, rect());
  }
};

QImage grabPanel(PopupPanel& panel) {
  panel.show();
  for (int i = 0; i < 200 && panel.opacity() < panel.tag(); ++i) panel.fadeTick();
  QCoreApplication::processEvents();
  QImage img(panel.size() * panel.devicePixelRatioF(), QImage::Format_ARGB32_Premultiplied);
  img.setDevicePixelRatio(panel.devicePixelRatioF());
  img.fill(Qt::transparent);
  panel.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
  return img.convertToFormat(QImage::Format_ARGB32);
}

// Every picture at 16 and 32 pixels, on the dark panel and on a light dialog.
QImage iconSheet() {
  struct Source {
    void (*setup)(RichGraphics&);
    int images;
    std::vector<std::string> names;
  };
  const Source sources[] = {
      {setupMessageListGraphics, 6, {"throbbersml"}},
      {setupAccountListGraphics, 2, {}},
      {setupFolderListGraphics, 1, {"arrow", "throbber", "largethrobber"}},
  };
  QImage sheet(QSize(13 * 40 + 8, 4 * 40 + 8), QImage::Format_ARGB32);
  QPainter p(&sheet);
  p.fillRect(QRect(0, 0, sheet.width(), sheet.height() / 2), Qt::black);
  p.fillRect(QRect(0, sheet.height() / 2, sheet.width(), sheet.height() / 2), QColor(240, 240, 240));
  int column = 0;
  for (const Source& src : sources) {
    RichGraphics g;
    src.setup(g);
    std::vector<LaidOutPicture> pictures;
    for (int i = 0; i < src.images; ++i) {
      LaidOutPicture pic;
      pic.index = i;
      pictures.push_back(pic);
    }
    for (const std::string& n : src.names) {
      LaidOutPicture pic;
      pic.name = n;
      pictures.push_back(pic);
    }
    for (const LaidOutPicture& pic : pictures) {
      for (int row = 0; row < 4; ++row) {
        int side = row % 2 == 0 ? 16 : 32;
        QPixmap pm = g.pixmap(pic, QSize(side, side), 1.0, 0);
        p.drawPixmap(QPoint(8 + column * 40, 8 + row * 40), pm);
      }
      ++column;
    }
  }
  return sheet;
}

int render(const QString& dir) {
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "render_panels: cannot create %s\n", qPrintable(dir));
    return 1;
  }
  Panels panels(nullptr, QSize(1000, 700));
  QImage messages = grabPanel(panels.messages);
  QImage dateTime = grabPanel(panels.dateTime);
  QImage update = grabPanel(panels.update);

  QImage overview(QSize(1000, 700), QImage::Format_ARGB32);
  {
    QPainter p(&overview);
    paintBackdrop(p, overview.rect());
    p.setOpacity(180 / 255.0);
    p.drawImage(QPoint(30, 60), messages);
    p.drawImage(QPoint(1000 - update.width(), 0), update);
    p.drawImage(panels.dateTime.pos(), dateTime);
  }
  bool ok = messages.save(dir + "/messages.png") && dateTime.save(dir + "/datetime.png") &&
            update.save(dir + "/update.png") && overview.save(dir + "/overview.png") &&
            iconSheet().save(dir + "/icons.png");
  if (!ok) {
    std::fprintf(stderr, "render_panels: cannot write the images to %s\n", qPrintable(dir));
    return 1;
  }
  std::printf("render_panels: wrote messages.png, datetime.png, update.png, overview.png, "
              "icons.png to %s\n",
              qPrintable(dir));
  return 0;
}

int show(int seconds) {
  Backdrop backdrop;
  QRect screen = QGuiApplication::primaryScreen()->geometry();
  backdrop.setGeometry(screen);
  backdrop.show();
  Panels panels(&backdrop, screen.size());
  panels.messages.move(screen.topLeft() + QPoint(30, 60));
  panels.update.move(screen.topLeft() + QPoint(screen.width() - panels.update.width(), 0));
  panels.messages.show();
  panels.dateTime.show();
  panels.update.show();
  QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.size() >= 1 && args[0] == QLatin1String("--show")) {
    int seconds = args.size() >= 2 ? args[1].toInt() : 10;
    return show(seconds > 0 ? seconds : 10);
  }
  if (args.size() != 1 || args[0].startsWith(QLatin1String("-"))) {
    std::fprintf(stderr, "usage: render_panels OUTDIR | render_panels --show [SECONDS]\n");
    return 2;
  }
  return render(args[0]);
}

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

#include "markup/markup_parser.h"
#include "saver/pop_date_time.h"
#include "saver/pop_messages.h"
#include "saver/pop_update.h"

using namespace brivane;

namespace {

const std::string kHeaderStart = "<IMG src=\"idx:0\" align=\"middle\"><FONT size=\"11\"><B>  ";
const std::string kHeaderEnd = "</B></FONT><BR><IMG src=\"hrfullwide\" align=\"middle\"><BR>";
const std::string kFolderIcon = "<IMG src=\"idx:1\" align=\"middle\"> ";
const std::string kMessageStart = "<IND x=\"24\"><IMG src=\"idx:3\" align=\"middle\"><FONT color=\"clGray\">";
const std::string kSenderStart = "<IND x=\"12\"><FONT color=\"clGray\"><B>- ";
const std::string kSenderEnd = "</B></FONT><BR>";
const std::string kPreviewStart = "<BR><IND x=\"46\"><FONT color=\"clGray\" size=\"8\">";
const std::string kFontEnd = "</FONT>";
const std::string kStatusStart = "<I></I><B></B><B></B>";

// Cuts escaped text to a width with "...", whole characters and entities only.
std::string fitText(const RichListBox& list, const std::string& text, int width) {
  const TextMetrics& m = list.textMetrics();
  FontSpec font = list.defaultFont();
  if (m.width(decodeEntities(text), font) < width) return text;
  std::vector<std::string_view> units = markupTextUnits(text);
  std::string out;
  while (!units.empty()) {
    units.pop_back();
    out.clear();
    for (std::string_view u : units) out += u;
    if (m.width(decodeEntities(out) + "...", font) < width) break;
  }
  return out + "...";
}

// The subject cut to the width with the time flush right.
std::string fitWithRight(const RichListBox& list, const std::string& text,
                         const std::string& right, int width) {
  const TextMetrics& m = list.textMetrics();
  FontSpec font = list.defaultFont();
  int rightWidth = m.width(right, font);
  std::string out = fitText(list, text, width - rightWidth);
  while (m.width(decodeEntities(out) + " ", font) + rightWidth < width) out += ' ';
  return out + right;
}

std::string messageLine(const RichListBox& list, const std::string& subject,
                        const std::string& time, const std::string& preview) {
  int width = list.rowRect(0).width();
  std::string line = kMessageStart + fitWithRight(list, EscapeMarkup(subject), time, width - 60) +
                     kFontEnd;
  if (!preview.empty()) {
    line += kPreviewStart + fitText(list, EscapeMarkup(preview), width - 60) + kFontEnd;
  }
  return line;
}

void fillMessages(TpopMessages& panel) {
  RichListBox& list = *panel.lstMessages;
  list.beginUpdate();
  list.add(kHeaderStart + EscapeMarkup("Personal") + kHeaderEnd);
  int width = list.rowRect(0).width();
  list.add(kFolderIcon + fitText(list, "Inbox (5)", width - 53));
  list.add(kSenderStart + EscapeMarkup("Alice Martin (3)") + kSenderEnd +
           messageLine(list, "Dinner on Friday?", "2 mins ago",
                       "Hi! Are we still on for Friday? I booked a table for seven."));
  list.add(messageLine(list, "Photos from the trip", "1 hrs ago",
                       "Here are the pictures I promised, the lake ones came out great."));
  list.add(messageLine(list, "Re: Book club", "Yesterday", "I finished it last night."));
  list.add(kSenderStart + EscapeMarkup("AT&T Billing") + kSenderEnd +
           messageLine(list, "Your statement <b>December</b> is ready & waiting", "Just received",
                       "View your bill online."));
  list.add(kSenderStart + EscapeMarkup("Project Updates") + kSenderEnd +
           messageLine(list,
                       "Weekly summary of every change to the shared planning documents and "
                       "the release calendar",
                       "3 days ago", ""));

  struct Status {
    const char* account;
    std::string row;
  };
  const std::vector<Status> statuses = {
      {"Work", "<IMG src=\"throbbersml\" align=\"middle\">  Connecting to imap.example.com"},
      {"Archive", "<IMG src=\"throbbersml\" align=\"middle\">  Retrieving status..."},
      {"Family", "<IMG src=\"idx:4\" align=\"middle\">  Queued for check"},
      {"Newsletters", "<IMG src=\"idx:5\" align=\"middle\">  No New Messages"},
      {"Old server",
       "<IMG src=\"idx:2\" align=\"middle\">  ERROR - Could not connect to <BR><IND x=\"26\">"
       "mail.old-provider.example"},
      {"Shared", "<IMG src=\"idx:2\" align=\"middle\">  ERROR - Username/password is invalid"},
      {"Lists",
       "<IMG src=\"idx:2\" align=\"middle\">  You currently are not subscribed to any folders on "
       "lists.example.org"},
      {"Email Account 1",
       "<IMG src=\"idx:2\" align=\"middle\">  No server specified for this account - please "
       "configure accounts in the screensaver options dialog"},
  };
  for (const Status& s : statuses) {
    list.add("<BR>" + kHeaderStart + EscapeMarkup(s.account) + kHeaderEnd);
    list.add(kStatusStart + s.row);
  }
  list.endUpdate();
  int last = list.count() - 1;
  QRect r = list.rowRect(last);
  panel.setPanelSize({panel.width(), TpopMessages::heightForList(r.bottom() + 1 + r.height())});
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
    fillMessages(messages);
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

// Shows the settings dialog's Background page on its own, for looking at it
// (screenshots under Xvfb at several font resolutions):
//   background_tab_demo [--saver PATH] [--date] [--time] [--colour | --advanced]
// --saver preselects a program (by default the first one found runs), --date
// and --time show the date/time miniature, --colour and --advanced open the
// two small dialogs over the page.
#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <QVBoxLayout>

#include "config_ui/background_tab.h"
#include "config_ui/frm_adv_scrn_options.h"
#include "config_ui/frm_no_scrn_options.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  brivane::DialogSettings d;
  bool date = false, time = false, colour = false, advanced = false;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == "--saver" && i + 1 < args.size()) {
      d.useScreensaverBackground = true;
      d.screensaverPath = args[++i].toStdString();
    } else if (args[i] == "--date") {
      date = true;
    } else if (args[i] == "--time") {
      time = true;
    } else if (args[i] == "--colour") {
      colour = true;
    } else if (args[i] == "--advanced") {
      advanced = true;
    }
  }
  QWidget window;
  window.setWindowTitle(QStringLiteral("Background"));
  auto* layout = new QVBoxLayout(&window);
  auto* tab = new brivane::BackgroundTab(&window);
  layout->addWidget(tab);
  tab->load(d);
  tab->setDateTimeShown(date, time);
  tab->start();
  window.show();
  window.move(20, 20);
  QTimer::singleShot(1500, [&] {
    if (!d.useScreensaverBackground && tab->screensaverPaths().size() > 1)
      tab->findChild<QComboBox*>(QStringLiteral("cboScreensaverSelect"))->setCurrentIndex(1);
    if (colour) {
      auto* dialog = new brivane::TfrmNoScrnOptions(&window);
      dialog->setColor(brivane::clBlack);
      dialog->show();
    } else if (advanced) {
      auto* dialog = new brivane::TfrmAdvScrnOptions(&window);
      dialog->show();
    }
  });
  const int rc = app.exec();
  tab->shutdown();
  return rc;
}

#include "config_ui/background_tab.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "config_ui/frm_adv_scrn_options.h"
#include "config_ui/frm_no_scrn_options.h"
#include "temp_dir.h"
#include "ui_background_tab.h"
#include "ui_frm_adv_scrn_options.h"
#include "ui_frm_no_scrn_options.h"

namespace brivane {
namespace {
namespace fs = std::filesystem;

bool waitFor(std::function<bool()> done) { return QTest::qWaitFor(done, 5000); }

// Two program folders: "hacks" (taking the collection's switches, so no
// settings program) and "other". Every program is a script that records its
// arguments (written whole, then renamed into place); as a preview it
// sleeps, with -c it waits for the file "go" and, asked to end (SIGTERM),
// leaves the file "<program>.term".
class BackgroundTabTest : public test::TempDirTest {
 protected:
  fs::path root = dir.path();
  std::string hack = program("hacks/hack"), Sleeper = program("other/Sleeper"), sleeper = program("other/sleeper"),
              waiter = program("other/waiter");

  void SetUp() override {
    setenv("BRIVANE_SAVER_PATH", ((root / "hacks").string() + ":" + (root / "other").string()).c_str(), 1);
  }
  void TearDown() override { unsetenv("BRIVANE_SAVER_PATH"); }
  std::string program(const std::string& rel, const std::string& script = "") {
    const fs::path p = root / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n" << script << "if [ \"$1\" = -c ]; then\n"
                     << "trap 'touch \"$0.term\"; exit 0' TERM\n"
                     << "echo \"$@\" > \"$0.settings.new\"; mv \"$0.settings.new\" \"$0.settings\"\n"
                     << "while [ ! -e '" << (root / "go").string() << "' ]; do sleep 0.02; done; exit 0; fi\n"
                     << "echo \"$@\" > \"$0.args.new\"; mv \"$0.args.new\" \"$0.args\"\nexec sleep 30\n";
    fs::permissions(p, fs::perms::owner_all);
    return p.string();
  }
  // Children of this process: running ones, or every one (zombies too).
  static int children(bool zombies = false) {
    int n = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
      std::ifstream children(task.path() / "children");
      for (pid_t pid; children >> pid;) {
        std::string line;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
        const auto close = line.rfind(')');
        if (close != std::string::npos && line.size() > close + 2 && (zombies || line[close + 2] != 'Z')) ++n;
      }
    }
    return n;
  }
  std::unique_ptr<BackgroundTab> openTab(const DialogSettings& d) {
    auto tab = std::make_unique<BackgroundTab>();
    tab->setHackFolders({(root / "hacks").string()});
    tab->load(d);
    tab->show();  // the preview runs only while the page is shown
    tab->start();
    EXPECT_TRUE(waitFor([&] { return tab->discovered(); }));
    return tab;
  }
  static std::string firstLine(const std::string& path) {
    std::string line;
    std::getline(std::ifstream(path), line);
    return line;
  }
  static DialogSettings using_(const std::string& path) {
    DialogSettings d;
    d.useScreensaverBackground = d.transparentOverlay = true;
    d.screensaverPath = path;
    return d;
  }
  // Answers the next modal dialog of type D with `answer`, then accepts it.
  template <class D, class F>
  static void answerModal(F answer) {
    QTimer::singleShot(0, [answer] {
      auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      answer(*dialog);
      dialog->accept();
    });
  }
};

// The saved path is preselected (blanks and case ignored, the last of two
// matches), else "(None)". The discovery's own selection leaves the overlay
// box as loaded; the user's "(None)" unchecks it.
TEST_F(BackgroundTabTest, SavedPathPreselectedTrimmedCaselessLastMatchElseNone) {
  std::string upper = sleeper;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  DialogSettings notInUse = using_(waiter);
  notInUse.useScreensaverBackground = false;
  const std::pair<DialogSettings, std::string> rows[] = {
      {using_(waiter), waiter}, {using_("  " + upper + " "), sleeper}, {using_((root / "other/gone").string()), ""},
      {notInUse, ""}};
  for (const auto& [loaded, selected] : rows) {
    SCOPED_TRACE(loaded.screensaverPath + (loaded.useScreensaverBackground ? "" : " (not in use)"));
    auto tab = openTab(loaded);
    ASSERT_EQ(tab->screensaverPaths(), (std::vector<std::string>{"(None)", hack, Sleeper, sleeper, waiter}));
    EXPECT_EQ(tab->ui->cboScreensaverSelect->itemText(3), "sleeper");
    DialogSettings saved;
    tab->save(saved);
    EXPECT_EQ(std::tuple(saved.useScreensaverBackground, selected.empty() ? "" : saved.screensaverPath,
                         saved.transparentOverlay), std::tuple(!selected.empty(), selected, true));
    tab->ui->cboScreensaverSelect->setCurrentIndex(1);
    tab->ui->cboScreensaverSelect->setCurrentIndex(0);
    tab->save(saved);
    EXPECT_FALSE(saved.useScreensaverBackground || saved.transparentOverlay);
  }
}

// An OK before the list arrived writes the loaded values; the discovery
// stopped by shutdown() delivers nothing late.
TEST_F(BackgroundTabTest, SaveBeforeTheListArrivedWritesTheLoadedValues) {
  DialogSettings loaded = using_((root / "other/gone").string());
  loaded.supportScreenCapSavers = loaded.supportNonPreviewSavers = true;
  loaded.backColor = 0x00123456;
  BackgroundTab tab;
  tab.load(loaded);
  tab.start();
  DialogSettings saved;
  tab.save(saved);
  EXPECT_EQ(std::tuple(saved.useScreensaverBackground, saved.screensaverPath, saved.backColor),
            std::tuple(true, loaded.screensaverPath, loaded.backColor));
  EXPECT_TRUE(saved.supportScreenCapSavers && saved.supportNonPreviewSavers && saved.transparentOverlay &&
              !tab.ui->cboScreensaverSelect->isEnabled());
  tab.shutdown();
  QCoreApplication::processEvents();
  EXPECT_FALSE(tab.discovered());
}

// One preview program at a time, only while the page is shown, none after
// shutdown; a hack gets the window to draw into; a program that ends by
// itself is reaped at once, never left a zombie.
TEST_F(BackgroundTabTest, OnePreviewProgramOnlyWhileShownAndEndedOnesReaped) {
  auto tab = openTab(using_(sleeper));
  EXPECT_EQ(children(), 1);
  pid_t last = tab->previewPid();
  for (int index : {4, 2, 1}) {
    tab->ui->cboScreensaverSelect->setCurrentIndex(index);
    EXPECT_EQ(std::pair(tab->previewPid() != last, children()), std::pair(true, 1));
    last = tab->previewPid();
  }
  EXPECT_TRUE(waitFor([&] { return fs::exists(hack + ".args"); }));
  EXPECT_EQ(firstLine(hack + ".args"), "--window-id " + std::to_string(tab->preview->pnlPreview->winId()));
  tab->ui->cboScreensaverSelect->setCurrentIndex(0);
  EXPECT_EQ(children(), 0);
  tab->ui->cboScreensaverSelect->setCurrentIndex(3);
  tab->hide();
  EXPECT_EQ(std::tuple(tab->previewPid(), children()), std::tuple(0, 0));
  tab->show();
  EXPECT_EQ(children(), 1);
  tab->preview->startProgram(program("other/quitter", "exit 0\n"), {});
  EXPECT_TRUE(waitFor([&] { return tab->previewPid() == 0; }));
  EXPECT_EQ(children(true), 0) << "reaped, not a zombie";
  tab->ui->cboScreensaverSelect->setCurrentIndex(2);
  EXPECT_EQ(children(), 1);
  tab->shutdown();
  EXPECT_EQ(children(), 0);
}

// A hack has no settings program but the advanced dialog; another program's
// settings run with -c while the dialog keeps working; "(None)" offers the
// colour dialog. Each dialog's choice reaches the saved record.
TEST_F(BackgroundTabTest, SettingsButtonPerKindAndColourAndAdvancedRoundTrips) {
  auto tab = openTab(using_(hack));
  QPushButton* settings = tab->ui->btnScreensaverSettings;
  EXPECT_TRUE(!settings->isEnabled() && tab->ui->btnAdvancedScreensaverSettings->isEnabled());
  answerModal<TfrmAdvScrnOptions>([](TfrmAdvScrnOptions& d) { d.ui->chkActiveSaver->setChecked(true); });
  tab->ui->btnAdvancedScreensaverSettings->click();
  tab->ui->cboScreensaverSelect->setCurrentIndex(4);
  ASSERT_TRUE(settings->isEnabled());
  settings->click();
  EXPECT_EQ(std::tuple(tab->settingsPid() != 0, tab->previewPid()), std::tuple(true, 0));
  QTest::qWait(300);  // events keep flowing while it runs
  EXPECT_FALSE(settings->isEnabled());
  std::ofstream(root / "go") << "";
  EXPECT_TRUE(waitFor([&] { return settings->isEnabled(); }));
  EXPECT_EQ(std::tuple(tab->settingsPid(), tab->previewPid() != 0), std::tuple(0, true));
  EXPECT_EQ(firstLine(waiter + ".settings"), "-c");
  tab->ui->cboScreensaverSelect->setCurrentIndex(0);
  EXPECT_FALSE(tab->ui->btnAdvancedScreensaverSettings->isEnabled());
  answerModal<TfrmNoScrnOptions>([](TfrmNoScrnOptions& d) { d.ui->cboBackColor->setCurrentText("Red"); });
  settings->click();
  DialogSettings saved;
  tab->save(saved);
  EXPECT_EQ(std::tuple(saved.backColor, saved.supportNonPreviewSavers, saved.supportScreenCapSavers),
            std::tuple(*StringToColor("clRed"), true, false));
}

// Named colours and "Default" show by name, any other (a system colour from
// the store too) as "Custom...", which opens the colour dialog from the
// current colour; its Cancel keeps the colour.
TEST(BackgroundColourDialog, NamedDefaultAndCustomColoursRoundTrip) {
  TfrmNoScrnOptions dialog;
  QComboBox* box = dialog.ui->cboBackColor;
  const std::pair<TColor, const char*> rows[] = {{*StringToColor("clMoneyGreen"), "Money Green"},
      {clDefault, "Default"}, {0x00123456, "Custom..."}, {*StringToColor("clBtnFace"), "Custom..."}};
  for (const auto& [color, shown] : rows) {
    dialog.setColor(color);
    EXPECT_EQ(std::pair(box->currentText(), dialog.color()), std::pair(QString(shown), color));
  }
  dialog.setColor(*StringToColor("clNavy"));
  QColor offered;
  std::optional<QColor> answer = QColor(0x12, 0x34, 0x56);
  dialog.setColorPicker([&](QWidget*, const QColor& initial) {
    offered = initial;
    return answer;
  });
  const auto choose = [box](int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
  };
  choose(box->count() - 1);
  EXPECT_EQ(std::pair(offered, dialog.color()), std::pair(QColor(0, 0, 0x80), TColor{0x00563412u}));
  answer.reset();
  choose(3);
  choose(box->count() - 1);
  EXPECT_EQ(dialog.color(), *StringToColor("clOlive"));
}

TEST_F(BackgroundTabTest, DateTimeMiniatureSitsAtTheScreensBottomRight) {
  auto tab = openTab(using_(""));
  const QWidget* dt = tab->preview->pnlPrevDT;
  const QRect screen = tab->preview->pnlPreview->geometry();
  for (auto [date, time, heightAt96] : {std::tuple{true, true, 15}, {true, false, 8}, {false, true, 7}}) {
    tab->setDateTimeShown(date, time);
    EXPECT_EQ(std::tuple(dt->isVisible(), dt->geometry().bottomRight(), dt->height() * 96 / tab->logicalDpiY()),
              std::tuple(true, screen.bottomRight(), heightAt96));
  }
  tab->setDateTimeShown(false, false);
  EXPECT_FALSE(dt->isVisible());
}

}  // namespace
}  // namespace brivane

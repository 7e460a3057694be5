#include "config_ui/background_tab.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "config_ui/frm_adv_scrn_options.h"
#include "config_ui/frm_no_scrn_options.h"
#include "config_ui/size_hint_check.h"
#include "temp_dir.h"
#include "ui_background_tab.h"
#include "ui_frm_adv_scrn_options.h"
#include "ui_frm_no_scrn_options.h"

namespace brivane {
namespace {
namespace fs = std::filesystem;

template <class F>
bool waitFor(F done, int ms) {
  return QTest::qWaitFor(done, ms);
}

// Two program folders: "hacks" (taking the collection's switches, so no
// settings program) and "other". Every program is a script that records its
// arguments (written whole, then renamed into place, so that a reader never
// sees a half-written file); as a preview it sleeps, with -c it waits for the
// file "go" and, asked to end (SIGTERM), leaves the file "<program>.term".
class BackgroundTabTest : public test::TempDirTest {
 protected:
  fs::path root = dir.path();
  std::string hack, sleeper, Sleeper, waiter;

  void SetUp() override {
    hack = program("hacks/hack");
    Sleeper = program("other/Sleeper");
    sleeper = program("other/sleeper");
    waiter = program("other/waiter");
    setenv("BRIVANE_SAVER_PATH", ((root / "hacks").string() + ":" + (root / "other").string()).c_str(), 1);
  }
  void TearDown() override { unsetenv("BRIVANE_SAVER_PATH"); }
  std::string program(const std::string& rel) {
    const fs::path p = root / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\nif [ \"$1\" = -c ]; then\n"
                     << "trap 'touch \"$0.term\"; exit 0' TERM\n"
                     << "echo \"$@\" > \"$0.settings.new\"; mv \"$0.settings.new\" \"$0.settings\"\n"
                     << "while [ ! -e '" << (root / "go").string() << "' ]; do sleep 0.02; done; exit 0; fi\n"
                     << "echo \"$@\" > \"$0.args.new\"; mv \"$0.args.new\" \"$0.args\"\nexec sleep 30\n";
    fs::permissions(p, fs::perms::owner_all);
    return p.string();
  }
  // Children of this process: running ones, or every one (zombies too).
  int livePrograms() const { return children(false); }
  int children(bool zombies) const {
    int n = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
      std::ifstream children(task.path() / "children");
      for (pid_t pid; children >> pid;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
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
    EXPECT_TRUE(waitFor([&] { return tab->discovered(); }, 5000));
    return tab;
  }
  static DialogSettings using_(const std::string& path) {
    DialogSettings d;
    d.useScreensaverBackground = true;
    d.screensaverPath = path;
    d.transparentOverlay = true;
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

TEST_F(BackgroundTabTest, SavedPathPreselectedTrimmedCaselessLastMatchElseNone) {
  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
  };
  struct Row {
    const char* what;
    DialogSettings loaded;
    std::string selected;  // "" for "(None)"
  } rows[] = {
      {"exact", using_(waiter), waiter},
      {"blanks and case; the last of two matches", using_("  " + upper(sleeper) + " "), sleeper},
      {"missing file", using_((root / "other/gone").string()), ""},
      {"path stored but not in use", [&] { auto d = using_(waiter); d.useScreensaverBackground = false; return d; }(), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto tab = openTab(row.loaded);
    const auto& paths = tab->screensaverPaths();
    ASSERT_EQ(paths, (std::vector<std::string>{"(None)", hack, Sleeper, sleeper, waiter}));
    EXPECT_EQ(tab->ui->cboScreensaverSelect->itemText(3), "sleeper");
    DialogSettings saved;
    tab->save(saved);
    EXPECT_EQ(saved.useScreensaverBackground, !row.selected.empty());
    if (!row.selected.empty()) {
      EXPECT_EQ(saved.screensaverPath, row.selected);
    }
    // The discovery's own selection, "(None)" too, leaves the overlay box as
    // loaded; the user's "(None)" unchecks it: 255 is stored.
    EXPECT_TRUE(saved.transparentOverlay);
    tab->ui->cboScreensaverSelect->setCurrentIndex(1);
    tab->ui->cboScreensaverSelect->setCurrentIndex(0);
    EXPECT_FALSE(tab->ui->chkTransparentOverlay->isChecked());
    tab->save(saved);
    EXPECT_FALSE(saved.useScreensaverBackground);
    EXPECT_FALSE(saved.transparentOverlay);
  }
}

TEST_F(BackgroundTabTest, SaveBeforeTheListArrivedWritesTheLoadedValues) {
  DialogSettings loaded = using_((root / "other/gone").string());
  loaded.supportScreenCapSavers = loaded.supportNonPreviewSavers = true;
  loaded.backColor = 0x00123456;
  BackgroundTab tab;
  tab.load(loaded);
  tab.start();
  DialogSettings saved;
  tab.save(saved);
  EXPECT_TRUE(saved.useScreensaverBackground);
  EXPECT_EQ(saved.screensaverPath, loaded.screensaverPath);
  EXPECT_TRUE(saved.supportScreenCapSavers && saved.supportNonPreviewSavers && saved.transparentOverlay);
  EXPECT_EQ(saved.backColor, loaded.backColor);
  EXPECT_FALSE(tab.ui->cboScreensaverSelect->isEnabled());
  tab.shutdown();  // the discovery thread is stopped and joined; the late message is ignored
  QCoreApplication::processEvents();
  EXPECT_FALSE(tab.discovered());
}

TEST_F(BackgroundTabTest, OnePreviewProgramAtATimeAndNoneAfterShutdown) {
  auto tab = openTab(using_(sleeper));
  EXPECT_EQ(livePrograms(), 1);
  pid_t last = tab->previewPid();
  for (int index : {4, 2, 1}) {
    tab->ui->cboScreensaverSelect->setCurrentIndex(index);
    EXPECT_NE(tab->previewPid(), last);
    last = tab->previewPid();
    EXPECT_EQ(livePrograms(), 1);
  }
  // The hack got the window to draw into.
  EXPECT_TRUE(waitFor([&] { return fs::exists(hack + ".args"); }, 3000));
  std::string args;
  std::getline(std::ifstream(hack + ".args"), args);
  EXPECT_EQ(args, "--window-id " + std::to_string(tab->preview->pnlPreview->winId()));
  tab->ui->cboScreensaverSelect->setCurrentIndex(0);
  EXPECT_EQ(livePrograms(), 0);
  tab->ui->cboScreensaverSelect->setCurrentIndex(3);
  EXPECT_EQ(livePrograms(), 1);
  tab->shutdown();
  EXPECT_EQ(livePrograms(), 0);
}

TEST_F(BackgroundTabTest, SettingsButtonPerKindAndColourAndAdvancedRoundTrips) {
  auto tab = openTab(using_(hack));
  QPushButton* settings = tab->ui->btnScreensaverSettings;
  EXPECT_FALSE(settings->isEnabled());  // the collection's programs have no settings program
  EXPECT_TRUE(tab->ui->btnAdvancedScreensaverSettings->isEnabled());
  answerModal<TfrmAdvScrnOptions>([](TfrmAdvScrnOptions& d) { d.ui->chkActiveSaver->setChecked(true); });
  tab->ui->btnAdvancedScreensaverSettings->click();

  // Another program: its settings run with -c while the dialog keeps working.
  tab->ui->cboScreensaverSelect->setCurrentIndex(4);
  ASSERT_TRUE(settings->isEnabled());
  settings->click();
  EXPECT_NE(tab->settingsPid(), 0);
  EXPECT_EQ(tab->previewPid(), 0);
  EXPECT_FALSE(settings->isEnabled());
  QTest::qWait(300);  // events keep flowing while it runs
  EXPECT_FALSE(settings->isEnabled());
  std::ofstream(root / "go") << "";
  EXPECT_TRUE(waitFor([&] { return settings->isEnabled(); }, 5000));
  EXPECT_EQ(tab->settingsPid(), 0);
  EXPECT_NE(tab->previewPid(), 0);
  std::string args;
  std::getline(std::ifstream(waiter + ".settings"), args);
  EXPECT_EQ(args, "-c");

  // "(None)": the colour dialog.
  tab->ui->cboScreensaverSelect->setCurrentIndex(0);
  EXPECT_FALSE(tab->ui->btnAdvancedScreensaverSettings->isEnabled());
  answerModal<TfrmNoScrnOptions>([](TfrmNoScrnOptions& d) { d.ui->cboBackColor->setCurrentText("Red"); });
  settings->click();
  DialogSettings saved;
  tab->save(saved);
  EXPECT_EQ(saved.backColor, *StringToColor("clRed"));
  EXPECT_TRUE(saved.supportNonPreviewSavers);
  EXPECT_FALSE(saved.supportScreenCapSavers);
}

// Closing asks an open settings program to end (SIGTERM to its group), so
// that it can keep what the user had open there; SIGKILL only follows.
TEST_F(BackgroundTabTest, ShutdownAsksTheSettingsProgramToEnd) {
  auto tab = openTab(using_(waiter));
  tab->ui->btnScreensaverSettings->click();
  ASSERT_TRUE(waitFor([&] { return fs::exists(waiter + ".settings"); }, 5000));
  tab->shutdown();
  EXPECT_TRUE(fs::exists(waiter + ".term"));
  EXPECT_EQ(livePrograms(), 0);
}

// The preview runs only while its page is shown, and a program that ends by
// itself (a helper) is reaped at once, never left a zombie.
TEST_F(BackgroundTabTest, PreviewOnlyWhileShownAndEndedProgramsReaped) {
  auto tab = openTab(using_(sleeper));
  EXPECT_NE(tab->previewPid(), 0);
  tab->hide();
  EXPECT_EQ(tab->previewPid(), 0);
  EXPECT_EQ(livePrograms(), 0);
  tab->show();
  EXPECT_NE(tab->previewPid(), 0);

  const fs::path quitter = root / "other/quitter";
  std::ofstream(quitter) << "#!/bin/sh\nexit 0\n";
  fs::permissions(quitter, fs::perms::owner_all);
  tab->preview->startProgram(quitter.string(), {});
  EXPECT_TRUE(waitFor([&] { return tab->previewPid() == 0; }, 2000));
  EXPECT_EQ(children(true), 0) << "reaped, not a zombie";
}

TEST(BackgroundColourDialog, NamedDefaultAndCustomColoursRoundTrip) {
  TfrmNoScrnOptions dialog;
  QComboBox* box = dialog.ui->cboBackColor;
  const struct {
    TColor color;
    const char* shown;
  } rows[] = {{*StringToColor("clMoneyGreen"), "Money Green"},
              {clDefault, "Default"},
              {0x00123456, "Custom..."},
              {*StringToColor("clBtnFace"), "Custom..."}};  // a system colour from the store is kept
  for (const auto& row : rows) {
    dialog.setColor(row.color);
    EXPECT_EQ(box->currentText(), row.shown);
    EXPECT_EQ(dialog.color(), row.color);
  }
  // "Custom..." opens the colour dialog from the current colour; Cancel keeps it.
  dialog.setColor(*StringToColor("clNavy"));
  QColor offered;
  std::optional<QColor> answer = QColor(0x12, 0x34, 0x56);
  dialog.setColorPicker([&](QWidget*, const QColor& initial) {
    offered = initial;
    return answer;
  });
  const int custom = box->count() - 1;
  box->setCurrentIndex(custom);
  emit box->activated(custom);
  EXPECT_EQ(offered, QColor(0, 0, 0x80));
  EXPECT_EQ(dialog.color(), 0x00563412u);
  answer.reset();
  box->setCurrentIndex(3);
  emit box->activated(3);
  box->setCurrentIndex(custom);
  emit box->activated(custom);
  EXPECT_EQ(dialog.color(), *StringToColor("clOlive"));
}

TEST_F(BackgroundTabTest, DateTimeMiniatureSitsAtTheScreensBottomRight) {
  auto tab = openTab(using_(""));
  const QWidget* dt = tab->preview->pnlPrevDT;
  tab->show();
  const QRect screen = tab->preview->pnlPreview->geometry();
  for (auto [date, time, heightAt96] : {std::tuple{true, true, 15}, {true, false, 8}, {false, true, 7}}) {
    tab->setDateTimeShown(date, time);
    EXPECT_TRUE(dt->isVisible());
    EXPECT_EQ(dt->geometry().bottomRight(), screen.bottomRight());
    EXPECT_EQ(dt->height() * 96 / tab->logicalDpiY(), heightAt96);
  }
  tab->setDateTimeShown(false, false);
  EXPECT_FALSE(dt->isVisible());
}

TEST_F(BackgroundTabTest, SizeHintsFit) {
  auto tab = openTab(using_(sleeper));
  tab->setDateTimeShown(true, true);
  tab->show();
  TfrmNoScrnOptions colour;
  colour.show();
  TfrmAdvScrnOptions advanced;
  advanced.show();
  QCoreApplication::processEvents();
  for (const QWidget* w : std::initializer_list<const QWidget*>{tab.get(), &colour, &advanced})
    EXPECT_TRUE(ControlsThatDoNotFit(*w).isEmpty()) << ControlsThatDoNotFit(*w).join('\n').toStdString();
}

}  // namespace
}  // namespace brivane

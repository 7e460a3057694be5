#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "settings/accounts.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

struct Loaded {
  SaverSettings s;
  TColor color = 1;
  int32_t width = 0;
  AccountList accounts;
};

Loaded load(RegistryStore& store) {
  Loaded l;
  l.accounts.push_back(TEmlAccount());  // must be emptied
  LoadSettings(store, l.s, l.color, l.width, l.accounts);
  return l;
}

DialogSettings dialogOf(RegistryStore& store) {
  DialogSettings d;
  LoadDialogSettings(store, d);
  return d;
}

TEST(Settings, FirstRunCreatesTheThreeKeysAndGivesTheDefaults) {
  const std::string dir = (fs::temp_directory_path() / ("brivane-settings-" + std::to_string(getpid()))).string();
  fs::remove_all(dir);
  setenv("BRIVANE_STORE", (dir + "/store.reg").c_str(), 1);
  std::string error;
  auto store = OpenSettingsStore(&error);
  unsetenv("BRIVANE_STORE");
  EXPECT_EQ(error, "");
  FileRegistryStore onDisk(dir + "/store.reg");
  ASSERT_TRUE(onDisk.load());
  for (auto key : {kMainKey, kModulesKey, kAccountsKey}) EXPECT_TRUE(onDisk.keyExists(key)) << key;

  const Loaded l = load(*store);
  const SaverSettings d;
  EXPECT_EQ(l.color, clBlack);
  EXPECT_EQ(l.width, 350);
  EXPECT_TRUE(l.accounts.empty());
  EXPECT_EQ(l.s.pollInterval, 300000);
  EXPECT_EQ(l.s.overlayTransparency, 255);
  EXPECT_TRUE(l.s.hideFolders && l.s.monitorOn && l.s.checkForUpdates && l.s.displayMsgDate);
  EXPECT_FALSE(l.s.hideAccounts || l.s.playNotification || l.s.monitorOff || l.s.monitorStayOn ||
               l.s.displayDate || l.s.displayTime || l.s.displayMsgPreview || l.s.supportScreenCapSavers ||
               l.s.supportNonPreviewSavers);
  EXPECT_EQ(l.s.notificationPath, "");
  EXPECT_EQ(l.s.screensaverPath, "");
  fs::remove_all(dir);
}

TEST(Settings, TheBackgroundChoiceDecidesWhatTheSaverReads) {
  MemoryRegistryStore s;
  s.writeBool(kMainKey, "useScreensaverBackground", false);
  s.writeString(kMainKey, "screensaverPath", "/usr/lib/xscreensaver/glmatrix");
  s.writeString(kMainKey, "backColor", "clNavy");
  s.writeBool(kMainKey, "supportScreenCapSavers", true);
  Loaded l = load(s);
  EXPECT_EQ(l.s.screensaverPath, "");
  EXPECT_FALSE(l.s.supportScreenCapSavers);
  EXPECT_EQ(l.color, 0x800000u);

  s.writeDword(kMainKey, "useScreensaverBackground", 7);  // any non-zero is true
  s.writeInteger(kMainKey, "overlayTransparency", 255);
  l = load(s);
  EXPECT_EQ(l.s.screensaverPath, "/usr/lib/xscreensaver/glmatrix");
  EXPECT_TRUE(l.s.supportScreenCapSavers);
  EXPECT_EQ(l.color, clBlack);  // ignored behind a screensaver...
  const DialogSettings d = dialogOf(s);
  EXPECT_EQ(d.backColor, 0x800000u);  // ...but the dialog shows it
  EXPECT_FALSE(d.transparentOverlay);  // 255: not transparent
}

TEST(Settings, OverlayCheckBoxRule) {
  MemoryRegistryStore s;
  EXPECT_TRUE(dialogOf(s).transparentOverlay);  // absent: the dialog's own default
  EXPECT_EQ(load(s).s.overlayTransparency, 255);
  ASSERT_TRUE(SaveSettings(s, dialogOf(s)));
  EXPECT_EQ(s.readInteger(kMainKey, "overlayTransparency").value, 180);
  // Without a background screensaver the stored value is not looked at.
  s.writeInteger(kMainKey, "overlayTransparency", 255);
  EXPECT_TRUE(dialogOf(s).transparentOverlay);
  s.writeBool(kMainKey, "useScreensaverBackground", true);
  EXPECT_FALSE(dialogOf(s).transparentOverlay);
  s.writeInteger(kMainKey, "overlayTransparency", 100);
  EXPECT_TRUE(dialogOf(s).transparentOverlay);
  EXPECT_EQ(load(s).s.overlayTransparency, 100);
}

TEST(Settings, MinutesShownWithHalvesToEven) {
  const std::pair<int64_t, int64_t> cases[] = {{90000, 2},  {150000, 2}, {210000, 4}, {300000, 5}, {29999, 0},
                                               {30000, 0},  {30001, 1},  {0, 0},      {-90000, -2}, {-30001, -1},
                                               {2147483647, 35791}};
  for (auto [ms, minutes] : cases) EXPECT_EQ(MillisecondsToMinutes(ms), minutes) << ms;
}

TEST(Settings, MinutesTextToStore) {
  EXPECT_EQ(MinutesTextToMilliseconds("2"), 120000);
  EXPECT_EQ(MinutesTextToMilliseconds(" 10 "), 600000);
  EXPECT_EQ(MinutesTextToMilliseconds("0"), 0);
  EXPECT_EQ(MinutesTextToMilliseconds("35791"), 2147460000);
  for (const char* bad : {"abc", "", "35792", "-1", "1.5", "2x", "99999999999"})
    EXPECT_EQ(MinutesTextToMilliseconds(bad), std::nullopt) << bad;
}

TEST(Settings, PollIntervalThroughTheDialog) {
  MemoryRegistryStore s;
  s.writeInteger(kMainKey, "pollInterval", 90000);
  DialogSettings d = dialogOf(s);
  EXPECT_EQ(d.pollMinutes, "2");
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(s.readInteger(kMainKey, "pollInterval").value, 120000);
  for (const char* text : {"abc", "35792"}) {
    d.pollMinutes = text;
    ASSERT_TRUE(SaveSettings(s, d));
    EXPECT_EQ(s.readInteger(kMainKey, "pollInterval").value, 120000) << text;
  }
  // Negative and zero intervals are loaded as stored.
  s.writeInteger(kMainKey, "pollInterval", -5);
  EXPECT_EQ(load(s).s.pollInterval, -5);
}

TEST(Settings, PreviewWidthPresets) {
  MemoryRegistryStore s;
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Moderate);
  s.writeInteger(kModulesKey, "previewWidth", 550);
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Wide);
  s.writeInteger(kModulesKey, "previewWidth", 400);
  EXPECT_EQ(load(s).width, 400);
  DialogSettings d = dialogOf(s);
  EXPECT_EQ(d.width, WidthPreset::None);
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(s.readInteger(kModulesKey, "previewWidth").value, 400);
  d.width = WidthPreset::Slim;
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(load(s).width, 290);
}

TEST(Settings, SaveWritesEachBranchAndLeavesTheOther) {
  MemoryRegistryStore s;
  s.writeString(kMainKey, "notificationPath", "/old.wav");
  s.writeString(kMainKey, "screensaverPath", "/saver");
  s.writeInteger(kMainKey, "maxMsgPreviews", 3);
  DialogSettings d = dialogOf(s);
  d.notificationPath = "/no/such/file.wav";  // not a file: the stored path stays
  d.backColor = 0x123456;
  d.monitorOn = false;
  d.monitorStayOn = true;  // only with monitorOn
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(s.readString(kMainKey, "notificationPath").value, "/old.wav");
  EXPECT_EQ(s.readString(kMainKey, "backColor").value, "$00123456");
  EXPECT_EQ(s.readString(kMainKey, "screensaverPath").value, "/saver");
  EXPECT_FALSE(s.readBool(kMainKey, "monitorStayOn").value);
  EXPECT_FALSE(s.readBool(kMainKey, "useScreensaverBackground").value);
  EXPECT_EQ(load(s).s.maxMsgPreviews, 3);

  const std::string wav = (fs::temp_directory_path() / ("brivane-ding-" + std::to_string(getpid()))).string();
  std::ofstream(wav) << "RIFF";
  d.notificationPath = wav;
  d.useScreensaverBackground = true;
  d.screensaverPath = "/new/saver";
  d.supportNonPreviewSavers = true;
  d.backColor = clWhite;
  ASSERT_TRUE(SaveSettings(s, d));
  fs::remove(wav);
  EXPECT_EQ(s.readString(kMainKey, "notificationPath").value, wav);
  EXPECT_EQ(s.readString(kMainKey, "screensaverPath").value, "/new/saver");
  EXPECT_TRUE(s.readBool(kMainKey, "supportNonPreviewSavers").value);
  EXPECT_EQ(s.readString(kMainKey, "backColor").value, "$00123456");  // other branch untouched
}

TEST(Settings, WrongTypesAndBadColoursKeepTheDefaults) {
  MemoryRegistryStore s;
  s.writeString(kMainKey, "pollInterval", "60000");
  s.writeDword(kMainKey, "notificationPath", 1);
  s.writeString(kMainKey, "backColor", "navy blue");
  s.writeString(kModulesKey, "previewWidth", "400");
  s.writeInteger(kModulesKey, "displayTime", 1);
  const Loaded l = load(s);
  EXPECT_EQ(l.s.pollInterval, 300000);
  EXPECT_EQ(l.s.notificationPath, "");
  EXPECT_EQ(l.color, clBlack);
  EXPECT_EQ(l.width, 350);
  EXPECT_TRUE(l.s.displayTime);  // the rest still loads
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Moderate);
}

}  // namespace
}  // namespace brivane

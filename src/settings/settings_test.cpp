#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "settings/accounts.h"
#include "temp_dir.h"

namespace brivane {
namespace {

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
  const test::TempDir dir;
  setenv("BRIVANE_STORE", (dir / "store.reg").c_str(), 1);
  std::string error;
  auto store = OpenSettingsStore(&error);
  unsetenv("BRIVANE_STORE");
  EXPECT_EQ(error, "");
  FileRegistryStore onDisk(dir / "store.reg");
  ASSERT_TRUE(onDisk.load());
  for (auto key : {kMainKey, kModulesKey, kAccountsKey}) EXPECT_TRUE(onDisk.keyExists(key)) << key;

  const Loaded l = load(*store);
  EXPECT_EQ(std::tuple(l.color, l.width, l.accounts.size(), l.s.pollInterval, l.s.overlayTransparency),
            std::tuple(clBlack, 350, 0u, 300000, 255));
  EXPECT_TRUE(l.s.hideFolders && l.s.monitorOn && l.s.checkForUpdates && l.s.displayMsgDate);
  EXPECT_FALSE(l.s.hideAccounts || l.s.playNotification || l.s.monitorOff || l.s.monitorStayOn ||
               l.s.displayDate || l.s.displayTime || l.s.displayMsgPreview || l.s.supportScreenCapSavers ||
               l.s.supportNonPreviewSavers);
  EXPECT_EQ(l.s.notificationPath + l.s.screensaverPath, "");
}

TEST(Settings, TheBackgroundChoiceDecidesWhatTheSaverReads) {
  MemoryRegistryStore s;
  s.writeBool(kMainKey, "useScreensaverBackground", false);
  s.writeString(kMainKey, "screensaverPath", "/usr/lib/xscreensaver/glmatrix");
  s.writeString(kMainKey, "backColor", "clNavy");
  s.writeBool(kMainKey, "supportScreenCapSavers", true);
  const auto saverReads = [&s] {
    const Loaded l = load(s);
    return std::tuple(l.s.screensaverPath, l.s.supportScreenCapSavers, l.color);
  };
  EXPECT_EQ(saverReads(), std::tuple("", false, 0x800000u));
  s.writeDword(kMainKey, "useScreensaverBackground", 7);  // any non-zero is true
  // The colour is ignored behind a screensaver, but the dialog still shows it.
  EXPECT_EQ(saverReads(), std::tuple("/usr/lib/xscreensaver/glmatrix", true, clBlack));
  EXPECT_EQ(dialogOf(s).backColor, 0x800000u);
}

TEST(Settings, OverlayCheckBoxRule) {
  MemoryRegistryStore s;
  EXPECT_TRUE(dialogOf(s).transparentOverlay);  // absent: the dialog's own default
  EXPECT_EQ(load(s).s.overlayTransparency, 255);
  ASSERT_TRUE(SaveSettings(s, dialogOf(s)));
  EXPECT_EQ(s.readInteger(kMainKey, "overlayTransparency").value, 180);
  // Read whatever the background, so that OK writes back what was stored.
  s.writeInteger(kMainKey, "overlayTransparency", 255);
  EXPECT_FALSE(dialogOf(s).transparentOverlay);
  ASSERT_TRUE(SaveSettings(s, dialogOf(s)));
  EXPECT_EQ(s.readInteger(kMainKey, "overlayTransparency").value, 255);
  s.writeBool(kMainKey, "useScreensaverBackground", true);
  EXPECT_FALSE(dialogOf(s).transparentOverlay);
  s.writeInteger(kMainKey, "overlayTransparency", 100);
  EXPECT_TRUE(dialogOf(s).transparentOverlay);
  EXPECT_EQ(load(s).s.overlayTransparency, 100);
}

TEST(Settings, MinutesShownAndTyped) {
  const std::pair<int64_t, int64_t> shown[] = {{90000, 2},   {150000, 2},  {210000, 4}, {300000, 5},
                                               {29999, 0},   {30000, 0},   {30001, 1},  {0, 0},
                                               {-90000, -2}, {-30001, -1}, {2147483647, 35791}};
  for (auto [ms, minutes] : shown) EXPECT_EQ(MillisecondsToMinutes(ms), minutes) << ms;
  const std::pair<const char*, std::optional<int32_t>> typed[] = {
      {"2", 120000}, {" 10 ", 600000}, {"0", 0}, {"35791", 2147460000}, {"abc", {}}, {"", {}},
      {"35792", {}}, {"-1", {}},       {"1.5", {}}, {"2x", {}},          {"99999999999", {}}};
  for (auto [text, ms] : typed) EXPECT_EQ(MinutesTextToMilliseconds(text), ms) << text;
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
  // Zero is loaded as stored (one check per run); a negative one is the
  // default (OddStoredNumbersAreClampedAndNamed).
  s.writeInteger(kMainKey, "pollInterval", 0);
  EXPECT_EQ(load(s).s.pollInterval, 0);
}

TEST(Settings, PreviewWidthPresets) {
  MemoryRegistryStore s;
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Moderate);
  s.writeInteger(kModulesKey, "previewWidth", 550);
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Wide);
  s.writeInteger(kModulesKey, "previewWidth", 400);  // no preset: kept through a save
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
  const auto texts = [&s] {
    std::vector<std::string> v;
    for (auto name : {"notificationPath", "screensaverPath", "backColor"})
      v.push_back(s.readString(kMainKey, name).value);
    return v;
  };
  EXPECT_EQ(texts(), (std::vector<std::string>{"/old.wav", "/saver", "$00123456"}));
  EXPECT_FALSE(s.readBool(kMainKey, "monitorStayOn").value);
  EXPECT_FALSE(s.readBool(kMainKey, "useScreensaverBackground").value);
  EXPECT_EQ(load(s).s.maxMsgPreviews, 3);

  const test::TempDir dir;
  const std::string wav = dir / "ding.wav";
  test::writeAll(wav, "RIFF");
  d.notificationPath = wav;
  d.useScreensaverBackground = true;
  d.screensaverPath = "/new/saver";
  d.supportNonPreviewSavers = true;
  d.backColor = clWhite;
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(texts(), (std::vector<std::string>{wav, "/new/saver", "$00123456"}));  // colour branch untouched
  EXPECT_TRUE(s.readBool(kMainKey, "supportNonPreviewSavers").value);
}

TEST(Settings, WrongTypesAndBadColoursKeepTheDefaults) {
  MemoryRegistryStore s;
  s.writeString(kMainKey, "pollInterval", "60000");
  s.writeDword(kMainKey, "notificationPath", 1);
  s.writeString(kMainKey, "backColor", "navy blue");
  s.writeString(kModulesKey, "previewWidth", "400");
  s.writeInteger(kModulesKey, "displayTime", 1);
  const Loaded l = load(s);
  EXPECT_EQ(std::tuple(l.s.pollInterval, l.s.notificationPath, l.color, l.width), std::tuple(300000, "", clBlack, 350));
  EXPECT_TRUE(l.s.displayTime);  // the rest still loads
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Moderate);
}

// Numbers the dialog could never store are brought into range on load, and
// each one changed is named once, with what was stored and what is used.
TEST(Settings, OddStoredNumbersAreClampedAndNamed) {
  struct Case {
    const char* name;
    std::string_view key;
    int32_t stored, used;
  };
  const Case cases[] = {
      {"pollInterval", kMainKey, 1, 60000},              // 804 connections a second
      {"pollInterval", kMainKey, 59999, 60000},
      {"pollInterval", kMainKey, INT32_MAX, 35791 * 60000},
      {"pollInterval", kMainKey, -5, 300000},
      {"previewWidth", kModulesKey, 2000, 550},          // the times pushed off screen
      {"previewWidth", kModulesKey, INT32_MAX, 550},
      {"previewWidth", kModulesKey, 0, 290},
      {"overlayTransparency", kMainKey, 256, 255},
      {"overlayTransparency", kMainKey, -1, 0},
      {"maxMsgPreviews", kMainKey, -3, 0},
      {"maxNewUIDAdd", kMainKey, INT32_MIN, 0},
      // In range: taken as stored, nothing said.
      {"pollInterval", kMainKey, 0, 0},
      {"pollInterval", kMainKey, 60000, 60000},
      {"previewWidth", kModulesKey, 400, 400},
      {"overlayTransparency", kMainKey, 0, 0},
  };
  for (const Case& c : cases) {
    MemoryRegistryStore store;
    store.writeInteger(c.key, c.name, c.stored);
    Loaded l;
    std::vector<std::string> notes;
    LoadSettings(store, l.s, l.color, l.width, l.accounts, &notes);
    const std::string name = c.name;
    SCOPED_TRACE(name + " " + std::to_string(c.stored));
    const int32_t got = name == "pollInterval"          ? l.s.pollInterval
                        : name == "previewWidth"        ? l.width
                        : name == "overlayTransparency" ? l.s.overlayTransparency
                        : name == "maxMsgPreviews"      ? l.s.maxMsgPreviews
                                                        : l.s.maxNewUIDAdd;
    EXPECT_EQ(got, c.used);
    if (c.stored == c.used) {
      EXPECT_TRUE(notes.empty());
    } else {
      EXPECT_EQ(notes, std::vector<std::string>{"Setting \"" + name + "\" = " + std::to_string(c.stored) +
                                                " is out of range; " + std::to_string(c.used) + " is used"});
    }
  }
}

}  // namespace
}  // namespace brivane

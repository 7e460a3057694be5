#include "settings/settings.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <tuple>

#include "settings/accounts.h"
#include "settings/colors.h"
#include "temp_dir.h"

namespace brivane {
namespace {

struct Loaded {
  SaverSettings s;
  TColor color = 1;
  int32_t width = 0;
  AccountList accounts{TEmlAccount()};  // must be emptied
  std::vector<std::string> notes;
};

Loaded load(RegistryStore& store) {
  Loaded l;
  LoadSettings(store, l.s, l.color, l.width, l.accounts, &l.notes);
  return l;
}

DialogSettings dialogOf(RegistryStore& store) {
  DialogSettings d;
  LoadDialogSettings(store, d);
  return d;
}

// Absent values and values of the wrong type (or a colour that cannot be
// read) give the defaults; the rest still loads.
TEST(Settings, FirstRunCreatesTheThreeKeysAndMissingOrWrongValuesGiveTheDefaults) {
  const test::TempDir dir;
  setenv("BRIVANE_STORE", (dir / "store.reg").c_str(), 1);
  std::string error;
  auto store = OpenSettingsStore(&error);
  EXPECT_EQ(error, "");
  FileRegistryStore onDisk(dir / "store.reg");
  ASSERT_TRUE(onDisk.load());
  for (auto key : {kMainKey, kModulesKey, kAccountsKey}) EXPECT_TRUE(onDisk.keyExists(key)) << key;
  store->writeString(kMainKey, "pollInterval", "60000");
  store->writeDword(kMainKey, "notificationPath", 1);
  store->writeString(kMainKey, "backColor", "navy blue");
  store->writeString(kModulesKey, "previewWidth", "400");
  store->writeInteger(kModulesKey, "displayTime", 1);
  const Loaded l = load(*store);
  EXPECT_EQ(std::tuple(l.color, l.width, l.accounts.size(), l.s.pollInterval, l.s.overlayTransparency,
                       l.s.notificationPath), std::tuple(clBlack, 350, 0u, 300000, 255, ""));
  EXPECT_TRUE(l.s.hideFolders && l.s.monitorOn && l.s.checkForUpdates && l.s.displayMsgDate && l.s.displayTime);
  EXPECT_EQ(dialogOf(*store).width, WidthPreset::Moderate);
}

// Behind a screensaver the colour is ignored (the dialog still shows it); the
// overlay box is read whatever the background, so OK writes back what was stored.
TEST(Settings, TheBackgroundChoiceDecidesWhatTheSaverReadsAndTheOverlayBoxIsKept) {
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
  EXPECT_EQ(saverReads(), std::tuple("/usr/lib/xscreensaver/glmatrix", true, clBlack));
  EXPECT_EQ(dialogOf(s).backColor, 0x800000u);
  MemoryRegistryStore o;
  EXPECT_TRUE(dialogOf(o).transparentOverlay);  // absent: the dialog's own default
  const auto saved = [&o] { return SaveSettings(o, dialogOf(o)), o.readInteger(kMainKey, "overlayTransparency"); };
  EXPECT_EQ(saved().value, 180);
  o.writeInteger(kMainKey, "overlayTransparency", 255);
  EXPECT_EQ(saved().value, 255);
  o.writeBool(kMainKey, "useScreensaverBackground", true);
  EXPECT_FALSE(dialogOf(o).transparentOverlay);
  o.writeInteger(kMainKey, "overlayTransparency", 100);
  EXPECT_TRUE(dialogOf(o).transparentOverlay);
  EXPECT_EQ(load(o).s.overlayTransparency, 100);
}

// Minutes shown and typed, and the preset widths: a stored width that is no
// preset, or minutes that cannot be read, keep what was stored.
TEST(Settings, PollMinutesAndPreviewWidthThroughTheDialog) {
  const std::pair<int64_t, int64_t> shown[] = {{90000, 2}, {150000, 2}, {210000, 4},  {300000, 5},
                                               {29999, 0}, {30000, 0},  {30001, 1},   {0, 0},
                                               {-90000, -2}, {-30001, -1}, {2147483647, 35791}};
  for (auto [ms, minutes] : shown) EXPECT_EQ(MillisecondsToMinutes(ms), minutes) << ms;
  const std::pair<const char*, std::optional<int32_t>> typed[] = {
      {"2", 120000}, {" 10 ", 600000}, {"0", 0},    {"35791", 2147460000}, {"abc", {}},        {"", {}},
      {"35792", {}}, {"-1", {}},       {"1.5", {}}, {"2x", {}},            {"99999999999", {}}};
  for (auto [text, ms] : typed) EXPECT_EQ(MinutesTextToMilliseconds(text), ms) << text;
  MemoryRegistryStore s;
  s.writeInteger(kModulesKey, "previewWidth", 550);
  EXPECT_EQ(dialogOf(s).width, WidthPreset::Wide);
  s.writeInteger(kMainKey, "pollInterval", 90000);
  s.writeInteger(kModulesKey, "previewWidth", 400);
  DialogSettings d = dialogOf(s);
  EXPECT_EQ(std::pair(d.pollMinutes, d.width), std::pair(std::string("2"), WidthPreset::None));
  for (const char* text : {"2", "abc", "35792"}) {
    d.pollMinutes = text;
    ASSERT_TRUE(SaveSettings(s, d));
    EXPECT_EQ(std::pair(s.readInteger(kMainKey, "pollInterval").value, load(s).width), std::pair(120000, 400)) << text;
  }
  d.width = WidthPreset::Slim;
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(load(s).width, 290);
}

// A sound path that is not a file keeps the stored one; the background branch
// not chosen, and values and keys the program does not know, are kept.
TEST(Settings, SaveWritesEachBranchAndLeavesTheOther) {
  MemoryRegistryStore s;
  s.writeString(kMainKey, "notificationPath", "/old.wav");
  s.writeString(kMainKey, "screensaverPath", "/saver");
  s.writeInteger(kMainKey, "maxMsgPreviews", 3);
  s.writeString(kMainKey, "soundFolder", "%USER%");
  s.writeDword("\\Software\\torvex\\Brivane\\1.0\\Plugins", "enabled", 1);
  DialogSettings d = dialogOf(s);
  std::tie(d.notificationPath, d.backColor, d.monitorOn, d.monitorStayOn) =
      std::tuple("/no/such", 0x123456, false, true);
  ASSERT_TRUE(SaveSettings(s, d));
  const auto texts = [&s](std::string v = "") {
    for (auto name : {"notificationPath", "screensaverPath", "backColor", "soundFolder"})
      v += s.readString(kMainKey, name).value + "|";
    return v;
  };
  EXPECT_EQ(texts(), "/old.wav|/saver|$00123456|%USER%|");
  // monitorStayOn only with monitorOn
  EXPECT_FALSE(s.readBool(kMainKey, "monitorStayOn").value || s.readBool(kMainKey, "useScreensaverBackground").value);
  EXPECT_EQ(load(s).s.maxMsgPreviews, 3);
  const test::TempDir dir;
  const std::string wav = dir / "ding.wav";
  test::writeAll(wav, "RIFF");
  std::tie(d.notificationPath, d.useScreensaverBackground, d.screensaverPath, d.supportNonPreviewSavers, d.backColor) =
      std::tuple(wav, true, "/new/saver", true, clWhite);
  ASSERT_TRUE(SaveSettings(s, d));
  EXPECT_EQ(texts(), wav + "|/new/saver|$00123456|%USER%|");
  EXPECT_TRUE(s.readBool(kMainKey, "supportNonPreviewSavers").value &&
              s.readBool("\\Software\\torvex\\Brivane\\1.0\\Plugins", "enabled").value);
}

// Numbers the dialog could never store are brought into range on load, and
// each one changed is named once, with what was stored and what is used.
TEST(Settings, OddStoredNumbersAreClampedAndNamed) {
  const std::tuple<const char*, int32_t, int32_t> cases[] = {
      {"pollInterval", 59999, 60000}, {"pollInterval", INT32_MAX, 35791 * 60000}, {"pollInterval", -5, 300000},
      {"previewWidth", 2000, 550},  // the times pushed off screen
      {"previewWidth", 0, 290},       {"overlayTransparency", 256, 255}, {"overlayTransparency", -1, 0},
      {"maxMsgPreviews", -3, 0},      {"maxNewUIDAdd", INT32_MIN, 0},
      {"startAfterMinutes", 0, 1},    {"startAfterMinutes", 1441, 1440},
      // In range: taken as stored, nothing said.
      {"pollInterval", 0, 0},         {"pollInterval", 60000, 60000},    {"previewWidth", 400, 400},
      {"overlayTransparency", 0, 0},  {"startAfterMinutes", 30, 30}};
  for (const auto& [name, stored, used] : cases) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(stored));
    MemoryRegistryStore store;
    store.writeInteger(std::string(name) == "previewWidth" ? kModulesKey : kMainKey, name, stored);
    const Loaded l = load(store);
    const std::map<std::string, int32_t> got = {{"pollInterval", l.s.pollInterval}, {"previewWidth", l.width},
        {"overlayTransparency", l.s.overlayTransparency}, {"maxMsgPreviews", l.s.maxMsgPreviews},
        {"maxNewUIDAdd", l.s.maxNewUIDAdd}, {"startAfterMinutes", l.s.startAfterMinutes}};
    EXPECT_EQ(got.at(name), used);
    const std::string note = "Setting \"" + std::string(name) + "\" = " + std::to_string(stored) +
                             " is out of range; " + std::to_string(used) + " is used";
    EXPECT_EQ(l.notes, stored == used ? std::vector<std::string>{} : std::vector<std::string>{note});
  }
}

// Store files as the program writes them (UTF-8) and as Windows exports them
// (UTF-16LE, CR LF, with values and keys the program does not know) give the
// same settings and accounts; the program writes its own file byte for byte.
TEST(Settings, BothStoreFilesLoadTheSameAndTheProgramWritesItsOwnByteForByte) {
  using Row = std::tuple<std::string, bool, std::string, std::string, std::string, int, bool, size_t>;
  const Row want[] = {{"Home", false, "me@example.org", "abc", "imap.example.org", 993, true, 2},
                      {"Work", true, "worker", "bop~", "pop.example.org", 110, false, 0},
                      {"Café", false, "cafe", "ò", "mail.example.org", 143, false, 0}};
  const test::TempDir dir;
  for (const std::string name : {"windows_export.reg", "program_written.reg"}) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file(std::string(BRIVANE_STORE_FIXTURES) + "/" + name, dir / name);
    FileRegistryStore store(dir / name);
    ASSERT_TRUE(store.load()) << store.lastError();
    const Loaded l = load(store);
    EXPECT_EQ(std::tuple(l.s.pollInterval, l.color, l.width, l.s.displayDate),
              std::tuple(300000, 0x800000u, 400, true));
    ASSERT_EQ(l.accounts.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const TEmlAccount& a = l.accounts[i];
      EXPECT_EQ(Row(a.name, a.isPOP, a.username, a.password, a.server, a.port, a.useTLS, a.folders.size()), want[i]);
    }
    EXPECT_EQ(l.accounts[0].folders, (std::vector<std::string>{"INBOX;Inbox", "Sent Items;Sent Items"}));
    const std::string before = test::readAll(dir / name);
    ASSERT_TRUE(store.transact([&](RegistryStore& t) { return SaveAccounts(t, l.accounts), true; }));
    EXPECT_EQ(name == "program_written.reg" ? test::readAll(dir / name) : before, before);
  }
}

TEST(Colors, TextFormBothWaysAndDrawingColours) {
  const std::pair<const char*, TColor> named[] = {
      {"clBlack", 0x000000},      {"clNavy", 0x800000},       {"clRed", 0x0000FF},         {"clSkyBlue", 0xF0CAA6},
      {"clMedGray", 0xA4A0A0},    {"clNone", 0x1FFFFFFF},     {"clDefault", 0x20000000},   {"clScrollBar", 0xFF000000},
      {"clBtnFace", 0xFF00000F},  {"clHotLight", 0xFF00001A}, {"clMenuBar", 0xFF00001E},   {"cl3DDkShadow", 0xFF000015},
      {"$00123456", 0x123456},    {"$FF000019", 0xFF000019}};  // index 25 has no identifier
  for (auto [text, value] : named) {
    EXPECT_EQ(StringToColor(text), value) << text;
    EXPECT_EQ(ColorToString(value), text);
  }
  EXPECT_EQ(StringToColor("CLNAVY"), 0x800000u);
  EXPECT_EQ(StringToColor("$abc"), 0xABCu);
  for (const char* bad : {"", "$", "$123456789", "navy", "255", "$12G4", " clNavy", "#FF0000"})
    EXPECT_EQ(StringToColor(bad), std::nullopt) << bad;
  // Red is the lowest byte; system colours by index in the light scheme; black for no such index.
  const std::pair<TColor, uint32_t> rgb[] = {{0x0000FF, 0xFF0000}, {0xF0CAA6, 0xA6CAF0}, {0xFF000005, 0xFFFFFF},
                                             {0xFF00000F, 0xF0F0F0}, {0xFF000008, 0}, {0xFF0000FF, 0}, {clDefault, 0}};
  for (auto [color, expected] : rgb) EXPECT_EQ(ColorToRgb(color), expected) << std::hex << color;
}

}  // namespace
}  // namespace brivane

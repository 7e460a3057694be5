#include "settings/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>

#include "common/text.h"
#include "settings/accounts.h"

namespace brivane {

namespace {

// Reads the value into `field` when present with the right type; otherwise
// the field keeps what it holds.
void read(RegistryStore& s, std::string_view key, std::string_view name, bool& field) {
  if (const auto v = s.readBool(key, name); v.ok()) field = v.value;
}
void read(RegistryStore& s, std::string_view key, std::string_view name, int32_t& field) {
  if (const auto v = s.readInteger(key, name); v.ok()) field = v.value;
}
void read(RegistryStore& s, std::string_view key, std::string_view name, std::string& field) {
  if (const auto v = s.readString(key, name); v.ok()) field = v.value;
}
// "backColor": skipped when it is not a colour text.
void readColor(RegistryStore& s, std::string_view key, TColor& field) {
  if (const auto v = s.readString(key, "backColor"); v.ok())
    if (const auto c = StringToColor(v.value)) field = *c;
}

bool isExistingFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::unique_ptr<FileRegistryStore> OpenSettingsStore(std::string* error) {
  auto store = std::make_unique<FileRegistryStore>(FileRegistryStore::defaultPath());
  const bool ok = store->load({std::string(kMainKey), std::string(kModulesKey), std::string(kAccountsKey)});
  if (error) *error = ok ? std::string() : store->lastError();
  return store;
}

void LoadSettings(RegistryStore& store, SaverSettings& s, TColor& windowColor, int32_t& panelWidth,
                  AccountList& Accounts, std::vector<std::string>* clamped) {
  s = SaverSettings();
  windowColor = clBlack;
  panelWidth = kDefaultPanelWidth;
  Accounts.clear();

  if (store.openKey(kMainKey)) {
    const auto k = kMainKey;
    read(store, k, "hideAccounts", s.hideAccounts);
    read(store, k, "hideFolders", s.hideFolders);
    read(store, k, "playNotification", s.playNotification);
    read(store, k, "notificationPath", s.notificationPath);
    read(store, k, "pollInterval", s.pollInterval);
    read(store, k, "monitorOff", s.monitorOff);
    read(store, k, "monitorOn", s.monitorOn);
    read(store, k, "monitorStayOn", s.monitorStayOn);
    read(store, k, "checkForUpdates", s.checkForUpdates);
    bool useScreensaver = false;
    read(store, k, "useScreensaverBackground", useScreensaver);
    if (useScreensaver) {
      // The window stays black behind a background screensaver.
      read(store, k, "screensaverPath", s.screensaverPath);
      read(store, k, "supportScreenCapSavers", s.supportScreenCapSavers);
      read(store, k, "supportNonPreviewSavers", s.supportNonPreviewSavers);
    } else {
      readColor(store, k, windowColor);
    }
    read(store, k, "overlayTransparency", s.overlayTransparency);
    read(store, k, "maxMsgPreviews", s.maxMsgPreviews);
    read(store, k, "maxNewUIDAdd", s.maxNewUIDAdd);
  }
  if (store.openKey(kModulesKey)) {
    const auto k = kModulesKey;
    read(store, k, "displayDate", s.displayDate);
    read(store, k, "displayTime", s.displayTime);
    read(store, k, "displayMsgDate", s.displayMsgDate);
    read(store, k, "displayMsgPreview", s.displayMsgPreview);
    read(store, k, "previewWidth", panelWidth);
  }
  LoadAccounts(store, Accounts);
  std::vector<std::string> notes = ClampSettings(s, panelWidth);
  if (clamped != nullptr) *clamped = std::move(notes);
}

int32_t WidthOfPreset(WidthPreset preset) {
  switch (preset) {
    case WidthPreset::Slim: return kWidthSlim;
    case WidthPreset::Moderate: return kWidthModerate;
    case WidthPreset::Wide: return kWidthWide;
    case WidthPreset::None: break;
  }
  return 0;
}

WidthPreset PresetOfWidth(int32_t width) {
  if (width == kWidthSlim) return WidthPreset::Slim;
  if (width == kWidthModerate) return WidthPreset::Moderate;
  if (width == kWidthWide) return WidthPreset::Wide;
  return WidthPreset::None;
}

int64_t MillisecondsToMinutes(int64_t ms) {
  int64_t q = ms / 60000, r = ms % 60000;  // truncated toward zero
  if (r < 0) {
    r += 60000;
    --q;
  }
  // Now ms = q * 60000 + r with 0 <= r < 60000.
  if (r > 30000 || (r == 30000 && q % 2 != 0)) ++q;
  return q;
}

std::optional<int32_t> MinutesTextToMilliseconds(std::string_view text) {
  std::string t = trimControl(text);
  std::string_view v = t;
  bool negative = false;
  if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
    negative = v[0] == '-';
    v.remove_prefix(1);
  }
  if (v.empty() || v.size() > 9) return std::nullopt;
  int64_t minutes = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return std::nullopt;
    minutes = minutes * 10 + (c - '0');
  }
  if (negative) minutes = -minutes;
  if (minutes < 0 || minutes > 35791) return std::nullopt;
  return static_cast<int32_t>(minutes * 60000);
}

void LoadDialogSettings(RegistryStore& store, DialogSettings& d) {
  d = DialogSettings();
  if (store.openKey(kMainKey)) {
    const auto k = kMainKey;
    read(store, k, "hideAccounts", d.hideAccounts);
    read(store, k, "hideFolders", d.hideFolders);
    read(store, k, "playNotification", d.playNotification);
    read(store, k, "notificationPath", d.notificationPath);
    int32_t poll = 300000;
    read(store, k, "pollInterval", poll);
    d.pollMinutes = std::to_string(MillisecondsToMinutes(poll));
    read(store, k, "monitorOff", d.monitorOff);
    read(store, k, "monitorOn", d.monitorOn);
    read(store, k, "monitorStayOn", d.monitorStayOn);
    read(store, k, "checkForUpdates", d.checkForUpdates);
    read(store, k, "useScreensaverBackground", d.useScreensaverBackground);
    if (d.useScreensaverBackground) {
      read(store, k, "screensaverPath", d.screensaverPath);
      read(store, k, "supportScreenCapSavers", d.supportScreenCapSavers);
      read(store, k, "supportNonPreviewSavers", d.supportNonPreviewSavers);
    }
    // Only a yes/no: checked unless the panel is stored fully opaque. Read
    // whatever the background, so that an OK writes back what was stored.
    if (const auto v = store.readInteger(k, "overlayTransparency"); v.ok()) d.transparentOverlay = v.value != 255;
    // The dialog shows the stored colour whatever the background choice.
    readColor(store, k, d.backColor);
  }
  if (store.openKey(kModulesKey)) {
    const auto k = kModulesKey;
    read(store, k, "displayDate", d.displayDate);
    read(store, k, "displayTime", d.displayTime);
    read(store, k, "displayMsgDate", d.displayMsgDate);
    read(store, k, "displayMsgPreview", d.displayMsgPreview);
    if (const auto v = store.readInteger(k, "previewWidth"); v.ok()) d.width = PresetOfWidth(v.value);
  }
  LoadAccounts(store, d.accounts);
}

bool SaveSettings(RegistryStore& store, const DialogSettings& d) {
  return store.transact([&d](RegistryStore& s) {
    if (s.openKey(kMainKey)) {
      const auto k = kMainKey;
      s.writeBool(k, "hideAccounts", d.hideAccounts);
      s.writeBool(k, "hideFolders", d.hideFolders);
      s.writeBool(k, "playNotification", d.playNotification);
      if (isExistingFile(d.notificationPath)) s.writeString(k, "notificationPath", d.notificationPath);
      if (const auto ms = MinutesTextToMilliseconds(d.pollMinutes)) s.writeInteger(k, "pollInterval", *ms);
      s.writeBool(k, "monitorOff", d.monitorOff);
      s.writeBool(k, "monitorOn", d.monitorOn);
      s.writeBool(k, "monitorStayOn", d.monitorOn && d.monitorStayOn);
      s.writeBool(k, "checkForUpdates", d.checkForUpdates);
      s.writeBool(k, "useScreensaverBackground", d.useScreensaverBackground);
      if (d.useScreensaverBackground) {
        s.writeString(k, "screensaverPath", d.screensaverPath);
        s.writeBool(k, "supportScreenCapSavers", d.supportScreenCapSavers);
        s.writeBool(k, "supportNonPreviewSavers", d.supportNonPreviewSavers);
      } else {
        s.writeString(k, "backColor", ColorToString(d.backColor));
      }
      s.writeInteger(k, "overlayTransparency", d.transparentOverlay ? 180 : 255);
    }
    if (s.openKey(kModulesKey)) {
      const auto k = kModulesKey;
      s.writeBool(k, "displayDate", d.displayDate);
      s.writeBool(k, "displayTime", d.displayTime);
      s.writeBool(k, "displayMsgDate", d.displayMsgDate);
      s.writeBool(k, "displayMsgPreview", d.displayMsgPreview);
      if (d.width != WidthPreset::None) s.writeInteger(k, "previewWidth", WidthOfPreset(d.width));
    }
    SaveAccounts(s, d.accounts);
    return true;
  });
}

std::vector<std::string> ClampSettings(SaverSettings& s, int32_t& panelWidth) {
  std::vector<std::string> notes;
  // A value outside [low, high] becomes the nearer end, or `instead`.
  auto keepWithin = [&notes](const char* name, int32_t& value, int32_t low, int32_t high,
                             std::optional<int32_t> instead = std::nullopt) {
    if (value >= low && value <= high) return;
    const int32_t used = instead.value_or(std::clamp(value, low, high));
    notes.push_back(std::string("Setting \"") + name + "\" = " + std::to_string(value) + " is out of range; " +
                    std::to_string(used) + " is used");
    value = used;
  };
  constexpr int32_t kMinute = 60000;
  constexpr int32_t kLongestPoll = 35791 * kMinute;  // the dialog's most minutes
  // 0 stays: the dialog stores it, and it means one check per run.
  if (s.pollInterval < 0) keepWithin("pollInterval", s.pollInterval, 0, kLongestPoll, SaverSettings().pollInterval);
  else if (s.pollInterval != 0) keepWithin("pollInterval", s.pollInterval, kMinute, kLongestPoll);
  keepWithin("previewWidth", panelWidth, kWidthSlim, kWidthWide);
  keepWithin("overlayTransparency", s.overlayTransparency, 0, 255);
  keepWithin("maxMsgPreviews", s.maxMsgPreviews, 0, INT32_MAX);
  keepWithin("maxNewUIDAdd", s.maxNewUIDAdd, 0, INT32_MAX);
  return notes;
}

}  // namespace brivane

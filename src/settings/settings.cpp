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
// A colour text: skipped when it is not one.
void readColor(RegistryStore& s, std::string_view key, std::string_view name, TColor& field) {
  if (const auto v = s.readString(key, name); v.ok())
    if (const auto c = StringToColor(v.value)) field = *c;
}

void write(RegistryStore& s, std::string_view key, std::string_view name, bool value) { s.writeBool(key, name, value); }
void write(RegistryStore& s, std::string_view key, std::string_view name, const std::string& value) {
  s.writeString(key, name, value);
}

bool isExistingFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What the saver's reading fills.
struct SaverRecord {
  SaverSettings& settings;
  TColor& windowColor;
  int32_t& panelWidth;
  bool useScreensaver = false;  // "useScreensaverBackground", read before the values it governs
};

// The values that count only with one of the two backgrounds.
enum class Only { Always, ScreensaverBackground, ColorBackground };

bool counts(Only only, bool useScreensaver) {
  return only == Only::Always || (only == Only::ScreensaverBackground) == useScreensaver;
}

// One value of the store: where it lives, when it counts, and how the
// saver's reading, the dialog's reading and the dialog's writing map it
// (nullptr: that party leaves it alone).
struct StoredValue {
  std::string_view key;
  std::string_view name;
  Only only;
  void (*loadSaver)(RegistryStore&, const StoredValue&, SaverRecord&);
  void (*loadDialog)(RegistryStore&, const StoredValue&, DialogSettings&);
  void (*save)(RegistryStore&, const StoredValue&, const DialogSettings&);
};

template <auto Field>
void readSaver(RegistryStore& s, const StoredValue& v, SaverRecord& r) {
  read(s, v.key, v.name, r.settings.*Field);
}
template <auto Field>
void readDialog(RegistryStore& s, const StoredValue& v, DialogSettings& d) {
  read(s, v.key, v.name, d.*Field);
}
template <auto Field>
void writeDialog(RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
  write(s, v.key, v.name, d.*Field);
}

// A value both records keep in a field of the same type.
template <auto SaverField, auto DialogField>
constexpr StoredValue same(std::string_view key, std::string_view name, Only only = Only::Always) {
  return {key, name, only, &readSaver<SaverField>, &readDialog<DialogField>, &writeDialog<DialogField>};
}

// Kept in the store and read by the saver only.
template <auto SaverField>
constexpr StoredValue saverOnly(std::string_view key, std::string_view name) {
  return {key, name, Only::Always, &readSaver<SaverField>, nullptr, nullptr};
}

// Every value, in the order the dialog writes them. Each key's values are
// together: the key is opened once, before its first value.
const StoredValue kValues[] = {
    same<&SaverSettings::hideAccounts, &DialogSettings::hideAccounts>(kMainKey, "hideAccounts"),
    same<&SaverSettings::hideFolders, &DialogSettings::hideFolders>(kMainKey, "hideFolders"),
    same<&SaverSettings::playNotification, &DialogSettings::playNotification>(kMainKey, "playNotification"),
    {kMainKey, "notificationPath", Only::Always, &readSaver<&SaverSettings::notificationPath>,
     &readDialog<&DialogSettings::notificationPath>,
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       // Only a sound file that exists.
       if (isExistingFile(d.notificationPath)) s.writeString(v.key, v.name, d.notificationPath);
     }},
    {kMainKey, "pollInterval", Only::Always, &readSaver<&SaverSettings::pollInterval>,
     [](RegistryStore& s, const StoredValue& v, DialogSettings& d) {
       int32_t poll = SaverSettings().pollInterval;
       read(s, v.key, v.name, poll);
       d.pollMinutes = std::to_string(MillisecondsToMinutes(poll));
     },
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       if (const auto ms = MinutesTextToMilliseconds(d.pollMinutes)) s.writeInteger(v.key, v.name, *ms);
     }},
    same<&SaverSettings::monitorOff, &DialogSettings::monitorOff>(kMainKey, "monitorOff"),
    same<&SaverSettings::monitorOn, &DialogSettings::monitorOn>(kMainKey, "monitorOn"),
    {kMainKey, "monitorStayOn", Only::Always, &readSaver<&SaverSettings::monitorStayOn>,
     &readDialog<&DialogSettings::monitorStayOn>,
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       s.writeBool(v.key, v.name, d.monitorOn && d.monitorStayOn);
     }},
    same<&SaverSettings::checkForUpdates, &DialogSettings::checkForUpdates>(kMainKey, "checkForUpdates"),
    {kMainKey, "startAfterMinutes", Only::Always, &readSaver<&SaverSettings::startAfterMinutes>,
     &readDialog<&DialogSettings::startAfterMinutes>,
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       s.writeInteger(v.key, v.name, std::clamp(d.startAfterMinutes, kFewestIdleMinutes, kMostIdleMinutes));
     }},
    same<&SaverSettings::startAtLogin, &DialogSettings::startAtLogin>(kMainKey, "startAtLogin"),
    {kMainKey, "useScreensaverBackground", Only::Always,
     [](RegistryStore& s, const StoredValue& v, SaverRecord& r) { read(s, v.key, v.name, r.useScreensaver); },
     &readDialog<&DialogSettings::useScreensaverBackground>,
     &writeDialog<&DialogSettings::useScreensaverBackground>},
    same<&SaverSettings::screensaverPath, &DialogSettings::screensaverPath>(kMainKey, "screensaverPath",
                                                                           Only::ScreensaverBackground),
    same<&SaverSettings::supportScreenCapSavers, &DialogSettings::supportScreenCapSavers>(
        kMainKey, "supportScreenCapSavers", Only::ScreensaverBackground),
    same<&SaverSettings::supportNonPreviewSavers, &DialogSettings::supportNonPreviewSavers>(
        kMainKey, "supportNonPreviewSavers", Only::ScreensaverBackground),
    // The window stays black behind a background screensaver.
    {kMainKey, "backColor", Only::ColorBackground,
     [](RegistryStore& s, const StoredValue& v, SaverRecord& r) { readColor(s, v.key, v.name, r.windowColor); },
     [](RegistryStore& s, const StoredValue& v, DialogSettings& d) { readColor(s, v.key, v.name, d.backColor); },
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       s.writeString(v.key, v.name, ColorToString(d.backColor));
     }},
    {kMainKey, "overlayTransparency", Only::Always, &readSaver<&SaverSettings::overlayTransparency>,
     [](RegistryStore& s, const StoredValue& v, DialogSettings& d) {
       // Only a yes/no: checked unless the panel is stored fully opaque. Read
       // whatever the background, so that an OK writes back what was stored.
       if (const auto t = s.readInteger(v.key, v.name); t.ok()) d.transparentOverlay = t.value != 255;
     },
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       s.writeInteger(v.key, v.name, d.transparentOverlay ? 180 : 255);
     }},
    saverOnly<&SaverSettings::maxMsgPreviews>(kMainKey, "maxMsgPreviews"),
    saverOnly<&SaverSettings::maxNewUIDAdd>(kMainKey, "maxNewUIDAdd"),
    same<&SaverSettings::displayDate, &DialogSettings::displayDate>(kModulesKey, "displayDate"),
    same<&SaverSettings::displayTime, &DialogSettings::displayTime>(kModulesKey, "displayTime"),
    same<&SaverSettings::displayMsgDate, &DialogSettings::displayMsgDate>(kModulesKey, "displayMsgDate"),
    same<&SaverSettings::displayMsgPreview, &DialogSettings::displayMsgPreview>(kModulesKey, "displayMsgPreview"),
    {kModulesKey, "previewWidth", Only::Always,
     [](RegistryStore& s, const StoredValue& v, SaverRecord& r) { read(s, v.key, v.name, r.panelWidth); },
     [](RegistryStore& s, const StoredValue& v, DialogSettings& d) {
       if (const auto w = s.readInteger(v.key, v.name); w.ok()) d.width = PresetOfWidth(w.value);
     },
     [](RegistryStore& s, const StoredValue& v, const DialogSettings& d) {
       if (d.width != WidthPreset::None) s.writeInteger(v.key, v.name, WidthOfPreset(d.width));
     }},
};

// Calls `f` for each value whose key the store opens; each key is opened
// once, in table order (the store creates a missing one).
template <class F>
void forEachValue(RegistryStore& store, F f) {
  std::string_view key;
  bool open = false;
  for (const StoredValue& v : kValues) {
    if (v.key != key) {
      key = v.key;
      open = store.openKey(key);
    }
    if (open) f(v);
  }
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

  SaverRecord record{s, windowColor, panelWidth};
  forEachValue(store, [&](const StoredValue& v) {
    if (v.loadSaver && counts(v.only, record.useScreensaver)) v.loadSaver(store, v, record);
  });
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
  forEachValue(store, [&](const StoredValue& v) {
    // The dialog shows the stored colour whatever the background choice.
    if (v.loadDialog && (v.only == Only::ColorBackground || counts(v.only, d.useScreensaverBackground)))
      v.loadDialog(store, v, d);
  });
  LoadAccounts(store, d.accounts);
}

bool SaveSettings(RegistryStore& store, const DialogSettings& d) {
  return store.transact([&d](RegistryStore& s) {
    forEachValue(s, [&](const StoredValue& v) {
      if (v.save && counts(v.only, d.useScreensaverBackground)) v.save(s, v, d);
    });
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
  keepWithin("startAfterMinutes", s.startAfterMinutes, kFewestIdleMinutes, kMostIdleMinutes);
  keepWithin("previewWidth", panelWidth, kWidthSlim, kWidthWide);
  keepWithin("overlayTransparency", s.overlayTransparency, 0, 255);
  keepWithin("maxMsgPreviews", s.maxMsgPreviews, 0, INT32_MAX);
  keepWithin("maxNewUIDAdd", s.maxNewUIDAdd, 0, INT32_MAX);
  return notes;
}

}  // namespace brivane

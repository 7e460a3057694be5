#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/width_presets.h"
#include "platform/registry_file.h"
#include "platform/registry_store.h"
#include "settings/account.h"
#include "settings/colors.h"

// The settings of the program as the store keeps them, and the two parties
// that use them: the saver, which reads them once (LoadSettings), and the
// settings dialog, which reads them into its controls (LoadDialogSettings)
// and writes them back on OK (SaveSettings).
namespace brivane {

inline constexpr std::string_view kMainKey = "\\Software\\torvex\\Brivane\\1.0\\Main";
inline constexpr std::string_view kModulesKey = "\\Software\\torvex\\Brivane\\1.0\\Modules";
inline constexpr std::string_view kAccountsKey = "\\Software\\torvex\\Brivane\\1.0\\Accounts";

// The saver window's settings record, filled once by LoadSettings.
struct SaverSettings {
  bool playNotification = false;
  std::string notificationPath;
  bool hideAccounts = false;
  bool hideFolders = true;
  int32_t pollInterval = 300000;  // milliseconds
  bool monitorOff = false;
  bool monitorOn = true;
  bool monitorStayOn = false;
  bool displayDate = false;
  bool displayTime = false;
  bool displayMsgDate = true;
  bool displayMsgPreview = false;
  bool checkForUpdates = true;
  std::string screensaverPath;
  // Starting by itself: the idle watcher (`brivane --idle`) starts the saver
  // after this many minutes without input (1 to 1440), and is started at
  // login when startAtLogin is on.
  int32_t startAfterMinutes = 10;
  bool startAtLogin = false;
  int32_t overlayTransparency = 255;  // 0..255, 255 = opaque
  bool supportScreenCapSavers = false;
  bool supportNonPreviewSavers = false;
  // Kept in the store but used by no behaviour.
  int32_t maxMsgPreviews = 10;
  int32_t maxNewUIDAdd = 10;
};

// The range of "startAfterMinutes": one minute to one day.
inline constexpr int32_t kFewestIdleMinutes = 1;
inline constexpr int32_t kMostIdleMinutes = 1440;

// Opens the program's store file (FileRegistryStore::defaultPath()), creating
// it with the keys Main, Modules and Accounts when there is none. A file that
// cannot be read gives an empty store (every default) and `error` says why.
std::unique_ptr<FileRegistryStore> OpenSettingsStore(std::string* error = nullptr);

// The saver's reading: every field to its default, then what the store holds.
// `windowColor` gets "backColor" (black unless stored, and only when no
// background screensaver is in use), `panelWidth` gets "previewWidth"
// (350 unless stored). Numbers outside the range the settings dialog can
// store are brought into it (see ClampSettings); `clamped`, when given,
// receives one line for each value that was changed.
void LoadSettings(RegistryStore& store, SaverSettings& settings, TColor& windowColor, int32_t& panelWidth,
                  AccountList& Accounts, std::vector<std::string>* clamped = nullptr);

// Brings the numbers of a loaded record into their meaningful ranges: a poll
// interval of 0 (one check per run) or of 1 minute to 35791 minutes (a
// negative one is the default), a panel width within the dialog's presets
// (290 to 550 pixels), an opacity of 0 to 255, counts of at least 0. Returns
// one log line for each value changed, naming it, what was stored and what
// is used.
std::vector<std::string> ClampSettings(SaverSettings& settings, int32_t& panelWidth);

// The message panel width preset chosen in the dialog; None when the stored
// width matches no preset.
enum class WidthPreset { None, Slim, Moderate, Wide };
int32_t WidthOfPreset(WidthPreset preset);  // 0 for None
WidthPreset PresetOfWidth(int32_t width);

// The state of the settings dialog's controls, in the form the store needs.
// The dialog maps its controls to and from this record and nothing else.
struct DialogSettings {
  bool hideAccounts = false;
  bool hideFolders = true;
  bool playNotification = false;
  std::string notificationPath;        // the path edit
  std::string pollMinutes = "5";       // the minutes edit, as typed
  bool monitorOff = false;
  bool monitorOn = true;
  bool monitorStayOn = false;
  bool checkForUpdates = true;
  int32_t startAfterMinutes = 10;      // the "Starting" group's spin box
  bool startAtLogin = false;           // its check box
  // The background choice: a screensaver (an entry after "(None)") or a colour.
  bool useScreensaverBackground = false;
  std::string screensaverPath;         // the chosen entry's full path
  bool supportScreenCapSavers = false;
  bool supportNonPreviewSavers = false;
  TColor backColor = clBlack;
  bool transparentOverlay = true;      // chkTransparentOverlay
  bool displayDate = false;
  bool displayTime = false;
  bool displayMsgDate = true;
  bool displayMsgPreview = false;
  WidthPreset width = WidthPreset::Moderate;
  AccountList accounts;
};

// Milliseconds shown as whole minutes, an exact half going to the even neighbour.
int64_t MillisecondsToMinutes(int64_t ms);
// The minutes text as milliseconds to store: a whole number of 0..35791
// minutes (more would overflow 32 bits); nothing for any other text.
std::optional<int32_t> MinutesTextToMilliseconds(std::string_view text);

// The dialog's reading of the store into its record.
void LoadDialogSettings(RegistryStore& store, DialogSettings& dialog);

// Writes the store from the dialog's record, accounts included, as one
// change: false (and nothing written) when the store could not be updated.
bool SaveSettings(RegistryStore& store, const DialogSettings& dialog);

}  // namespace brivane

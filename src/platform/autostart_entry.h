#pragma once
#include <optional>
#include <string>
#include <string_view>

// The XDG autostart entry that starts the idle watcher (`brivane --idle`)
// when the user logs in: `$XDG_CONFIG_HOME/autostart/brivane-idle.desktop`,
// a Desktop Entry of type Application. The settings dialog writes it when
// "Start the screensaver automatically when I log in" is ticked and removes
// it when the box is cleared; the watcher is started (detached) or stopped
// at the same time. Qt-free; every call is synchronous and bounded.
namespace brivane {

inline constexpr std::string_view kAutostartFileName = "brivane-idle.desktop";

// <config home>/autostart/brivane-idle.desktop; empty when no home is known.
std::string autostartEntryPath();

// One argument of an Exec line, as the Desktop Entry rules want it: quoted
// in "..." when it holds a reserved character (blank, quotes, \ > < ~ | & ;
// $ * ? # ( ) `), with " ` $ \ escaped inside; '%' doubled (field codes);
// then escaped as a string value (\ becomes \\, tab \t, newline \n, CR \r).
// Empty when the argument cannot be written: not UTF-8, or another control
// character.
std::string desktopExecArgument(std::string_view argument);

// What Exec names the program by: its own file name when a search of
// `pathVariable` (colon-separated, as $PATH) for that name finds this very
// file (the same inode), so that the entry survives an upgrade that keeps
// the name; otherwise `programPath` itself (absolute).
std::string execProgramName(const std::string& programPath, const std::string& pathVariable);

// The whole entry for `program` (a name or an absolute path): Type,
// Name, Comment, Exec "<program> --idle", TryExec, enabled for sessions
// that keep their own switch. nullopt when the program cannot be written
// into an Exec line (see desktopExecArgument).
std::optional<std::string> autostartEntryContent(const std::string& program);

// Writes `content` to `path` atomically (a temporary file in the same
// folder, synced, renamed over), creating the autostart folder 0700 when it
// is missing, through the folder rules of openUserFolder (no writing through
// a link someone else made). The entry is 0644. False with `why` set.
bool writeAutostartEntry(const std::string& path, const std::string& content, std::string* why = nullptr);

// Removes the entry; true also when there was none.
bool removeAutostartEntry(const std::string& path, std::string* why = nullptr);

// True when a regular file is at `path`.
bool autostartEntryPresent(const std::string& path);

// Starts `programPath --idle` in its own session, detached: not a child of
// this process (it is left to init), in the folder "/", its standard
// streams on /dev/null, no other descriptor inherited. True once the program was executed; false
// with `why` set when it could not be started (waits at most 2 s).
bool startIdleWatcherDetached(const std::string& programPath, std::string* why = nullptr);

// What the settings dialog's OK does with "start at login". Ticked: writes
// the entry for `programPath` (named as execProgramName finds it on $PATH)
// and starts the watcher for $DISPLAY detached unless one runs there.
// Cleared: removes the entry and stops the watcher for $DISPLAY. False with
// `why` set when a step failed (the steps after it are still tried).
bool applyStartAtLogin(bool on, const std::string& programPath, std::string* why = nullptr);

}  // namespace brivane

#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The per-user folders of the XDG base directory rules, and the one way this
// program opens and creates the folders it writes into. Relative values of
// the variables are ignored, as the rules ask. Paths have no trailing "/";
// they are empty when no home folder is known.
namespace brivane {

std::string homeDirectory();  // $HOME when absolute, else the password database's
std::string xdgConfigHome();  // $XDG_CONFIG_HOME, else ~/.config
std::string xdgStateHome();   // $XDG_STATE_HOME, else ~/.local/state
// $XDG_RUNTIME_DIR; else <systemRoot>/<uid> when that is a folder of this
// user's own (see openUserFolder); else empty. A process started without the
// variable (from cron, or a service) so finds the same folder as the desktop.
std::string xdgRuntimeDir(const std::string& systemRoot = "/run/user");

// True in a Wayland session ($XDG_SESSION_TYPE is "wayland", or
// $WAYLAND_DISPLAY is set), XWayland included: there the X server's idle time
// misses input to native Wayland windows.
bool isWaylandSession();

// Opens the folder `path` (absolute) for this user's private files, one
// level at a time from "/", creating missing levels with mode 0700 when
// `create` is set. Returns a close-on-exec O_DIRECTORY descriptor, or -1
// (with `why` set) when a level is not safe to use, so that nothing is
// written or deleted through a link or in a folder someone else controls:
// - the last `ownLevels` levels (the program's own folders) are never links,
//   belong to this user and are not writable by group or others;
// - a level above them may be a link that this user or root owns (a home
//   folder elsewhere, a dotfile manager) and must be a folder of this user
//   or root, writable by others only when sticky (/tmp), by its group only
//   when sticky or of this user's own group;
// - the last level, whatever `ownLevels`, belongs to this user and is not
//   writable by group or others.
int openUserFolder(std::string_view path, size_t ownLevels, bool create, std::string* why = nullptr);

}  // namespace brivane

#pragma once
#include <string>

namespace brivane {

// The folder of the log files: $XDG_STATE_HOME (default ~/.local/state)
// followed by "Torvex/Brivane/", with a trailing slash; empty when no home
// folder is known. Nothing is created.
std::string logDirectoryPath();

// The same folder, made ready: each missing level is created in turn (mode
// 0700) and each level is checked as openUserFolder does, "Torvex" and
// "Brivane" being the program's own (never links, this user's, not writable
// by group or others). False when a level neither exists nor can be made,
// when one is not safe to write into, or when no home folder is known: the
// program then logs nothing.
bool GetLogDirectory(std::string& dir);

// Log file names, relative to the log folder.
inline constexpr const char* MAIN_LOG_FILE = "brivan.log";
inline constexpr const char* CONN_LOG_PREFIX = "brivan_conn_";

}  // namespace brivane

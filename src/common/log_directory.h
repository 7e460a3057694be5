#pragma once
#include <string>

namespace brivane {

// The folder of the log files: $XDG_STATE_HOME (default ~/.local/state)
// followed by "Torvex/Brivane/", with a trailing slash. Each missing level is
// created in turn (mode 0700); false when a level neither exists nor can be
// made, or when no home folder is known.
bool GetLogDirectory(std::string& dir);

// Log file names, relative to the log folder.
inline constexpr const char* MAIN_LOG_FILE = "brivan.log";
inline constexpr const char* CONN_LOG_PREFIX = "brivan_conn_";

}  // namespace brivane

#pragma once
#include <string>

// The per-user folders of the XDG base directory rules. Relative values of
// the variables are ignored, as the rules ask. Paths have no trailing "/";
// they are empty when no home folder is known.
namespace brivane {

std::string homeDirectory();
std::string xdgConfigHome();  // $XDG_CONFIG_HOME, else ~/.config
std::string xdgStateHome();   // $XDG_STATE_HOME, else ~/.local/state
std::string xdgRuntimeDir();  // $XDG_RUNTIME_DIR, else empty

// Creates every missing level of `dir` with mode 0700; true when it is (now)
// a directory.
bool makeDirectories(const std::string& dir);

}  // namespace brivane

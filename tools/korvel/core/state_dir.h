// Where the tool keeps what it makes for itself (spools, the page's
// recordings): never the folder it was started from.
#pragma once

#include <string>

namespace korvel::cli {

// $STATE_DIRECTORY (set by systemd for a service; its first folder), else
// $XDG_STATE_HOME/korvel, else $HOME/.local/state/korvel. Not created here.
std::string stateDirectory();

// Creates a folder and its parents (0700 for those it creates); 0 or the errno.
int makeFolders(const std::string& path);

}  // namespace korvel::cli

#pragma once
// The per-user data folder: $XDG_DATA_HOME, else ~/.local/share.
#include <string>

namespace vardo::platform {

// The folder path without a trailing slash; "" when neither XDG_DATA_HOME nor
// homeFolder() gives an absolute path. No folder is created by asking.
std::string userDataFolder();

// Tests point the folder elsewhere; "" removes the override.
void setUserDataFolderOverride(const std::string& folder);

// The user's home folder: HOME when it is an absolute path, else the home
// folder of the user's passwd entry ("" when neither gives one). Stands where a
// Windows program would start its pickers at "C:\".
std::string homeFolder();

} // namespace vardo::platform

#pragma once
// The one user-default flag the host keeps, in a key file under
// $XDG_CONFIG_HOME/tolvane-host/ (default ~/.config).
#include <string>

namespace UserDefaults {
std::string path();
// False when the file or the key is missing or unreadable.
bool getBool(const std::string& key);
// Creates the folder as needed; false when the file cannot be written.
bool setBool(const std::string& key, bool value);
}  // namespace UserDefaults

// $XDG_CONFIG_HOME, else ~/.config.
std::string userConfigDir();

#pragma once
// Starting the host when the user logs in, as an XDG autostart entry:
// $XDG_CONFIG_HOME/autostart/tolvane-host.desktop.
#include <optional>
#include <string>

namespace LoginItem {
// On writes the entry, off removes it; false (and a "[login] " line) on failure.
bool set(bool on);
// The entry is there and not hidden.
bool enabled();
// Turns it on once per installation; a failed attempt is tried again at the
// next start, and a user who turned it off later stays off.
void registerOnFirstLaunch();

std::string entryPath();
// The entry's text for an executable path; nothing for a path a desktop
// entry cannot carry (not absolute, control characters).
std::optional<std::string> entryText(const std::string& exe);
// One argument of a desktop entry's Exec key, quoted as the entry format asks.
std::string quoteExecArg(const std::string& arg);
}  // namespace LoginItem

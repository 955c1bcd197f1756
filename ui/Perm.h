#pragma once
// The two desktop permissions as X11 has them, and the way to the help page
// that explains each: X11 has no settings pane or prompt for either.
#include <string>

namespace Perm {
// The display opens and the root window can be read ("--simulate-no-screen"
// says no).
bool screenAllowed();
// The XTEST extension is there.
bool axAllowed();
// file:// link to a section ("screen", "accessibility") of the installed help
// page, or of the source tree's copy when running from a build tree; empty
// when neither is there.
std::string helpLink(const std::string& section);
// Opens a link with the desktop's default handler; an invalid link does
// nothing. False when nothing was opened.
bool open(const std::string& url);
}  // namespace Perm

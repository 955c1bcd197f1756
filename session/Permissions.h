#pragma once
#include <string>

// Linux stand-ins for the desktop's privacy switches: screen capture is
// possible when the X display opens and the root window can be read; input
// injection is possible when the XTEST extension is there.
bool screenCapturePermitted();
bool injectionTrusted();
// PRETTY_HOSTNAME from /etc/machine-info, else the host name.
std::string computerName();

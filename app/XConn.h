#pragma once
// X connections that survive errors. Xlib's default handlers end the process
// on a protocol error (BadMatch after a screen shrink, BadWindow for a window
// that just closed) and on a lost server; these record the error on the
// connection instead, so each component can notice it and carry on or stop.
#include <X11/Xlib.h>

namespace xconn {

// Opens the display named by $DISPLAY with the handlers in place; nullptr when
// there is none.
Display* open();
// Closes d (also after the server went away) and forgets its error record.
void close(Display* d);
// The server connection broke: every later request on d fails at once.
bool lost(Display* d);
// Code of the last protocol error on d since the previous call, 0 if none.
// Call XSync first to be sure the requests in question have been answered.
int takeError(Display* d);

}  // namespace xconn

#pragma once
// GTK is started once, on the main thread, and only when something needs it
// (the clipboard, the tray, the setup window) and a display opens. Without a
// display the host runs headless.
bool ensureGtk();
// True once ensureGtk() has succeeded.
bool gtkReady();

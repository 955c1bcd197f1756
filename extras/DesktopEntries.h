#pragma once
// The desktop's applications as the phone sees them: the desktop entries of
// the XDG data folders that should be shown, running ones first.
#include <string>
#include <vector>

typedef struct _XDisplay Display;

struct AppEntry {
  std::string n;      // localised Name, a trailing ".app" removed
  std::string p;      // path of the .desktop file
  bool r = false;     // has a regular window open now
  std::string id;     // desktop-file id ("foo.desktop")
  std::string wmClass;  // StartupWMClass, may be empty
};

// The entries GIO knows that should be shown (NoDisplay, Hidden,
// OnlyShowIn/NotShowIn left out), one per desktop-file id.
std::vector<AppEntry> installedApps();

// Marks the entries with a regular window in _NET_CLIENT_LIST (dpy may be
// null: nothing runs) and sorts: running first, then by case-folded name in
// filename collation (App2 before App10).
void markRunningAndSort(Display* dpy, std::vector<AppEntry>& entries);

// Removes a trailing ".app" ("Foo.app" → "Foo"; "My.apple" stays).
std::string withoutAppSuffix(std::string name);

// Whether a window's WM_CLASS pair belongs to the entry (StartupWMClass, else
// the id without ".desktop", compared without case).
bool classMatches(const AppEntry& e, const std::string& resName, const std::string& resClass);

#pragma once
// An application's icon as the phone shows it: 96×96 8-bit RGBA PNG, base64.
#include <string>

typedef struct _GtkIconTheme GtkIconTheme;

// The icon of the desktop entry at `desktopPath`, from `theme` at 96 px and
// drawn centred; the theme's generic application icon (or a drawn one) when
// the entry names none or it cannot be found; "" only when nothing could be
// drawn or encoded.
std::string renderAppIcon(GtkIconTheme* theme, const std::string& desktopPath);

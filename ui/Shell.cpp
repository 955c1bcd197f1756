#include "ui/Shell.h"

#include "app/GtkInit.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "ui/LoginItem.h"
#include "ui/Paths.h"
#include "ui/Perm.h"
#include "ui/Restart.h"
#include "ui/SetupWindow.h"
#include "ui/Snapshot.h"

#include <gtk/gtk.h>

#include <memory>

namespace {
// Kept for the life of the process.
std::shared_ptr<SetupWindow> setupWin;
std::unique_ptr<MenuBar> menuBar;
}  // namespace

void startShell(const ShellContext& ctx) {
  const auto& st = settings();
  auto snapshot = st.opt("--snapshot");
  bool menuWanted = ctx.installed || st.flag("--menu") || st.flag("--show-setup");

  // The login item needs no display.
  if (ctx.installed && !st.testMode && !st.flag("--no-login-item")) LoginItem::registerOnFirstLaunch();

  if (!menuWanted && !snapshot) return;
  if (!ensureGtk()) {
    if (snapshot) snapshotFailed("no display (DISPLAY) to draw the window on");
    logf("[host] 画面に接続できないため、メニューと設定画面なしで動きます");
    return;
  }

  // Our icons, also where the prefix is not on the theme's search path.
  if (auto share = shareDir(); !share.empty())
    gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), (share + "/icons").c_str());
  setupWin = std::make_shared<SetupWindow>();
  setupWin->onRestart = [] { restartHost(); };
  if (menuWanted)
    menuBar = std::make_unique<MenuBar>(setupWin, ctx.link, ctx.internet,
                                        [] { return Perm::screenAllowed() && Perm::axAllowed(); });

  if (snapshot) {
    scheduleSnapshot(setupWin, *snapshot);
    return;
  }
  bool missing = !Perm::screenAllowed() || !Perm::axAllowed();
  if (st.flag("--show-setup") || (ctx.installed && !st.testMode && !st.noPrompt && missing)) {
    g_idle_add(+[](gpointer) -> gboolean {
      setupWin->show();
      return G_SOURCE_REMOVE;
    }, nullptr);
  }
}

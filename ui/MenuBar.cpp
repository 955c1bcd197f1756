#include "ui/MenuBar.h"

#include "app/Loc.h"
#include "app/Startup.h"
#include "ui/LoginItem.h"
#include "ui/Paths.h"
#include "ui/SetupWindow.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>


namespace {
constexpr const char* kIcon = "tolvane-host";
constexpr const char* kDimmedIcon = "tolvane-host-dimmed";
constexpr const char* kName = "Tolvane Host";
constexpr const char* kPauseTip =
    "Resumes automatically when this Mac has not been used for 10 minutes and no video is playing.";

template <void (MenuBar::*Action)()>
void onActivate(GtkMenuItem*, gpointer self) {
  (static_cast<MenuBar*>(self)->*Action)();
}

GtkWidget* addItem(GtkWidget* menu, const char* text) {
  GtkWidget* item = gtk_menu_item_new_with_label(Loc::tr(text).c_str());
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
  gtk_widget_show(item);
  return item;
}

void addSeparator(GtkWidget* menu) {
  GtkWidget* sep = gtk_separator_menu_item_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), sep);
  gtk_widget_show(sep);
}
}  // namespace

MenuTexts menuTexts(bool haveTransport, bool paused, bool live, bool permitted) {
  MenuTexts t;
  t.pauseVisible = haveTransport;
  if (haveTransport && paused) {
    t.state = "Paused — your iPhone cannot connect";
    t.pause = "Resume iPhone Connection";
    t.dimmed = true;
    return t;
  }
  t.pause = "Pause iPhone Connection (to watch videos)";
  if (haveTransport && live) t.state = "Connected to your iPhone (sharing the screen)";
  else if (permitted) t.state = "Ready — waiting for your iPhone";
  else t.state = "Permissions needed — open Permission Setup";
  return t;
}

MenuBar::MenuBar(std::shared_ptr<SetupWindow> setup, LinkProvider link, InternetSwitch internet,
                 std::function<bool()> permitted)
    : setup_(std::move(setup)), linkProvider_(std::move(link)), internet_(std::move(internet)),
      permitted_(std::move(permitted)) {
  build();
  update();
}

MenuBar::~MenuBar() {
  // The quit item's accelerator label lets go of the group while the menu is
  // torn down: the group has to outlive the menu.
  if (menu_) gtk_widget_destroy(menu_);
  if (item_) g_object_unref(item_);
  if (accel_) g_object_unref(accel_);
}

void MenuBar::build() {
  item_ = app_indicator_new(kIcon, kIcon, APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
  if (auto share = shareDir(); !share.empty())
    app_indicator_set_icon_theme_path(item_, (share + "/icons").c_str());
  app_indicator_set_icon_full(item_, kIcon, kName);
  app_indicator_set_title(item_, kName);

  menu_ = gtk_menu_new();
  accel_ = gtk_accel_group_new();
  gtk_menu_set_accel_group(GTK_MENU(menu_), accel_);

  statusLine_ = addItem(menu_, "Permissions needed — open Permission Setup");
  gtk_widget_set_sensitive(statusLine_, FALSE);
  pauseItem_ = addItem(menu_, "Pause iPhone Connection (to watch videos)");
  gtk_widget_set_tooltip_text(pauseItem_, Loc::tr(kPauseTip).c_str());
  g_signal_connect(pauseItem_, "activate", G_CALLBACK(onActivate<&MenuBar::togglePause>), this);
  addSeparator(menu_);
  g_signal_connect(addItem(menu_, "Permission Setup…"), "activate", G_CALLBACK(onActivate<&MenuBar::openSetup>), this);
  g_signal_connect(addItem(menu_, "Copy Connection Link"), "activate", G_CALLBACK(onActivate<&MenuBar::copyLink>), this);
  addSeparator(menu_);
  loginItem_ = gtk_check_menu_item_new_with_label(Loc::tr("Launch at Login").c_str());
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), loginItem_);
  gtk_widget_show(loginItem_);
  g_signal_connect(loginItem_, "activate", G_CALLBACK(onActivate<&MenuBar::toggleLogin>), this);
  addSeparator(menu_);
  g_signal_connect(addItem(menu_, "About Tolvane Host"), "activate", G_CALLBACK(onActivate<&MenuBar::about>), this);
  GtkWidget* quitItem = addItem(menu_, "Quit Tolvane Host");
  gtk_widget_add_accelerator(quitItem, "activate", accel_, GDK_KEY_q, GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
  g_signal_connect(quitItem, "activate", G_CALLBACK(onActivate<&MenuBar::quit>), this);

  app_indicator_set_menu(item_, GTK_MENU(menu_));
  app_indicator_set_status(item_, APP_INDICATOR_STATUS_ACTIVE);
  hookMenuOpening();
}

void MenuBar::hookMenuOpening() {
  // A tray host opening the menu never shows the GtkMenu itself: it asks the
  // exported DBusMenu, whose root says "about-to-show" and gets "opened".
  DbusmenuServer* server = nullptr;
  g_object_get(item_, "dbus-menu-server", &server, nullptr);
  if (!server) return;
  DbusmenuMenuitem* root = nullptr;
  g_object_get(server, DBUSMENU_SERVER_PROP_ROOT_NODE, &root, nullptr);
  if (root) {
    g_signal_connect(root, DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW,
                     G_CALLBACK(+[](DbusmenuMenuitem*, gpointer self) -> gboolean {
                       static_cast<MenuBar*>(self)->update();
                       return FALSE;
                     }),
                     this);
    g_signal_connect(root, DBUSMENU_MENUITEM_SIGNAL_EVENT,
                     G_CALLBACK(+[](DbusmenuMenuitem*, gchar* name, GVariant*, guint, gpointer self) -> gboolean {
                       if (g_strcmp0(name, DBUSMENU_MENUITEM_EVENT_OPENED) == 0) static_cast<MenuBar*>(self)->update();
                       return FALSE;
                     }),
                     this);
    g_object_unref(root);
  }
  g_object_unref(server);
}

void MenuBar::update() {
  bool have = internet_.present();
  bool paused = have && internet_.paused();
  bool live = have && !paused && internet_.isLive();
  // The permissions show only when nothing else does: skip the X round trips.
  bool permitted = paused || live || (permitted_ && permitted_());
  MenuTexts t = menuTexts(have, paused, live, permitted);
  gtk_menu_item_set_label(GTK_MENU_ITEM(statusLine_), Loc::tr(t.state).c_str());
  gtk_menu_item_set_label(GTK_MENU_ITEM(pauseItem_), Loc::tr(t.pause).c_str());
  gtk_widget_set_visible(pauseItem_, t.pauseVisible);
  updating_ = true;
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(loginItem_), LoginItem::enabled());
  updating_ = false;
  app_indicator_set_icon_full(item_, t.dimmed ? kDimmedIcon : kIcon, kName);
}

std::string MenuBar::iconName() const {
  const gchar* name = app_indicator_get_icon(item_);
  return name ? name : "";
}

void MenuBar::togglePause() {
  if (!internet_.present()) return;
  internet_.setPaused(!internet_.paused());
  update();
}

void MenuBar::openSetup() {
  if (setup_) setup_->show();
}

void MenuBar::copyLink() {
  auto link = linkProvider_ ? linkProvider_() : std::nullopt;
  if (!link || link->empty()) {
    gdk_display_beep(gdk_display_get_default());
    return;
  }
  GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gtk_clipboard_clear(cb);
  gtk_clipboard_set_text(cb, link->c_str(), static_cast<gint>(link->size()));
}

void MenuBar::toggleLogin() {
  if (updating_) return;
  LoginItem::set(!LoginItem::enabled());
  update();  // the check mark follows the real state, also after a failure
  if (setup_) setup_->refresh();
}

void MenuBar::about() {
  gtk_show_about_dialog(nullptr, "program-name", kName, "version", "1.1.3", "logo-icon-name", kIcon,
                        "title", Loc::tr("About Tolvane Host").c_str(), nullptr);
}

void MenuBar::quit() { shutdownAndExit(); }

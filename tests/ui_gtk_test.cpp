// The tray menu's texts, icon and actions and the setup window's states, on a
// private X server, with a stand-in for the internet transport.
#include "app/GtkInit.h"
#include "app/Loc.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"
#include "ui/LoginItem.h"
#include "ui/MenuBar.h"
#include "ui/SetupWindow.h"
#include "ui/Snapshot.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace {

bool gtkUp() {
  static ts::Xvfb* x = new ts::Xvfb(1280, 800);  // lives as long as the process
  return x->ok() && ensureGtk();
}

void pump() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// What the menu sees of the internet transport.
struct StandIn {
  bool paused = false;
  bool live = false;
  int pauseCalls = 0;
  InternetSwitch link() {
    return {[this] { return paused; }, [this] { return live; }, [this](bool p) {
              ++pauseCalls;
              paused = p;
            }};
  }
};

std::string label(GtkWidget* item) { return gtk_menu_item_get_label(GTK_MENU_ITEM(item)); }

struct Gui : ::testing::Test {
  std::string config = ts::makeTempDir("tolvane-config");
  void SetUp() override {
    ASSERT_TRUE(gtkUp());
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    Loc::setForced(std::string("en"));
  }
  void TearDown() override {
    Loc::setForced(std::nullopt);
    ts::removeTree(config);
  }
};

std::unique_ptr<MenuBar> menuWith(InternetSwitch internet, bool permitted,
                                  MenuBar::LinkProvider link = [] { return std::nullopt; }) {
  return std::make_unique<MenuBar>(nullptr, std::move(link), std::move(internet), [permitted] { return permitted; });
}

}  // namespace

TEST_F(Gui, MenuFollowsTheTransportPausedFirstThenLiveThenPermissions) {
  StandIn t;
  auto menu = menuWith(t.link(), false);
  EXPECT_EQ(label(menu->statusLine()), "Permissions needed — open Permission Setup");
  EXPECT_FALSE(gtk_widget_get_sensitive(menu->statusLine()));
  EXPECT_TRUE(gtk_widget_get_visible(menu->pauseItem()));
  EXPECT_EQ(label(menu->pauseItem()), "Pause iPhone Connection (to watch videos)");
  EXPECT_EQ(menu->iconName(), "tolvane-host");

  t.live = true;
  menu->update();
  EXPECT_EQ(label(menu->statusLine()), "Connected to your iPhone (sharing the screen)");

  // Pausing wins over a live link, and the icon dims.
  menu->togglePause();
  EXPECT_EQ(t.pauseCalls, 1);
  EXPECT_TRUE(t.paused);
  EXPECT_EQ(label(menu->statusLine()), "Paused — your iPhone cannot connect");
  EXPECT_EQ(label(menu->pauseItem()), "Resume iPhone Connection");
  EXPECT_EQ(menu->iconName(), "tolvane-host-dimmed");

  gtk_menu_item_activate(GTK_MENU_ITEM(menu->pauseItem()));
  EXPECT_FALSE(t.paused);
  t.live = false;
  menu->update();
  EXPECT_EQ(label(menu->statusLine()), "Permissions needed — open Permission Setup");
  EXPECT_EQ(menu->iconName(), "tolvane-host");
}

TEST_F(Gui, WithoutATransportThePauseItemHidesAndNothingSaysConnected) {
  auto menu = menuWith({}, true);
  EXPECT_FALSE(gtk_widget_get_visible(menu->pauseItem()));
  EXPECT_EQ(label(menu->statusLine()), "Ready — waiting for your iPhone");
  menu->togglePause();  // nothing to pause
  menu->update();
  EXPECT_EQ(label(menu->statusLine()), "Ready — waiting for your iPhone");
  EXPECT_EQ(menu->iconName(), "tolvane-host");
}

TEST_F(Gui, MenuTextsComeInTheForcedLanguage) {
  Loc::setForced(std::string("ja"));
  auto menu = menuWith({}, false);
  EXPECT_EQ(label(menu->statusLine()), "許可が必要です — 「許可の設定」を開いてください");
}

TEST_F(Gui, CopyLinkPutsTheLinkOnTheClipboardAndNothingWithoutOne) {
  GtkClipboard* cb = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
  gtk_clipboard_set_text(cb, "before", -1);
  std::optional<std::string> link;
  auto menu = menuWith({}, true, [&] { return link; });
  menu->copyLink();
  pump();
  gchar* text = gtk_clipboard_wait_for_text(cb);
  EXPECT_STREQ(text, "before");
  g_free(text);

  link = "https://signal.example.org/#k=abc";
  menu->copyLink();
  pump();
  text = gtk_clipboard_wait_for_text(cb);
  EXPECT_STREQ(text, "https://signal.example.org/#k=abc");
  g_free(text);
}

TEST_F(Gui, LaunchAtLoginTogglesTheEntryAndShowsTheRealState) {
  auto menu = menuWith({}, true);
  auto check = [&] { return bool(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(menu->loginItem()))); };
  EXPECT_FALSE(check());
  gtk_menu_item_activate(GTK_MENU_ITEM(menu->loginItem()));
  EXPECT_TRUE(LoginItem::enabled());
  EXPECT_TRUE(check());
  gtk_menu_item_activate(GTK_MENU_ITEM(menu->loginItem()));
  EXPECT_FALSE(LoginItem::enabled());
  EXPECT_FALSE(check());

  // Refused: the mark stays off.
  fs::remove_all(config + "/autostart");
  ts::writeFile(config + "/autostart", "in the way");
  gtk_menu_item_activate(GTK_MENU_ITEM(menu->loginItem()));
  EXPECT_FALSE(check());
}

namespace {
struct Perms {
  bool screen = false, ax = false, login = false;
  int refreshes = 0;
  SetupWindow::Checks checks() {
    return {[this] { return screen; }, [this] { return ax; }, [this] { return login; },
            [this](bool on) {
              login = on;
              return true;
            }};
  }
};

std::string text(GtkWidget* l) { return gtk_label_get_text(GTK_LABEL(l)); }
bool hasClass(GtkWidget* w, const char* c) { return gtk_style_context_has_class(gtk_widget_get_style_context(w), c); }
}  // namespace

TEST_F(Gui, SetupWindowShowsEachPermissionAndEnablesWhatIsLeftToDo) {
  Perms p;
  SetupWindow w(p.checks());
  w.onChange = [&] { ++p.refreshes; };
  w.refresh();
  EXPECT_EQ(p.refreshes, 1);
  EXPECT_EQ(text(w.screenState()), "● Not allowed yet");
  EXPECT_EQ(text(w.axState()), "● Not allowed yet");
  EXPECT_TRUE(hasClass(w.screenState(), "tv-missing"));
  EXPECT_TRUE(gtk_widget_get_sensitive(w.screenBtn()));
  EXPECT_TRUE(gtk_widget_get_sensitive(w.axBtn()));
  EXPECT_FALSE(gtk_widget_get_sensitive(w.restartBtn()));
  EXPECT_EQ(text(w.footer()), "Tip: if Tolvane Host is not in the list, press the button in the step again.");

  p.screen = true;
  w.refresh();
  EXPECT_EQ(text(w.screenState()), "✓ Allowed");
  EXPECT_TRUE(hasClass(w.screenState(), "tv-ok"));
  EXPECT_FALSE(hasClass(w.screenState(), "tv-missing"));
  EXPECT_FALSE(gtk_widget_get_sensitive(w.screenBtn()));
  EXPECT_FALSE(gtk_widget_get_sensitive(w.restartBtn()));

  p.ax = true;
  w.refresh();
  EXPECT_FALSE(gtk_widget_get_sensitive(w.axBtn()));
  EXPECT_TRUE(gtk_widget_get_sensitive(w.restartBtn()));
  EXPECT_EQ(text(w.footer()), "All set. Press “Restart Tolvane Host” once, then connect from your iPhone.");

  int restarts = 0;
  w.onRestart = [&] { ++restarts; };
  gtk_button_clicked(GTK_BUTTON(w.restartBtn()));
  EXPECT_EQ(restarts, 1);
}

TEST_F(Gui, LoginCheckBoxSetsTheLoginItemAndFollowsIt) {
  Perms p;
  SetupWindow w(p.checks());
  GtkToggleButton* box = GTK_TOGGLE_BUTTON(w.loginCheck());
  EXPECT_FALSE(gtk_toggle_button_get_active(box));
  gtk_button_clicked(GTK_BUTTON(box));
  EXPECT_TRUE(p.login);
  p.login = false;  // turned off elsewhere (the tray)
  w.refresh();
  EXPECT_FALSE(gtk_toggle_button_get_active(box));
  EXPECT_FALSE(p.login) << "a refresh must not write the login item back";
}

TEST_F(Gui, OneRefreshTimerWhileShownNoneAfterClosing) {
  Perms p;
  SetupWindow w(p.checks());
  EXPECT_EQ(w.timerId(), 0u);
  w.show();
  unsigned first = w.timerId();
  ASSERT_NE(first, 0u);
  w.show();
  EXPECT_NE(w.timerId(), 0u);
  EXPECT_EQ(g_main_context_find_source_by_id(nullptr, first), nullptr) << "the first timer still runs";
  w.close();
  EXPECT_EQ(w.timerId(), 0u);
  EXPECT_FALSE(w.isShown());
  // The close button hides; the window comes back.
  w.show();
  EXPECT_TRUE(w.isShown());
  GdkEvent* ev = gdk_event_new(GDK_DELETE);
  ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w.window())));
  gtk_main_do_event(ev);
  gdk_event_free(ev);
  EXPECT_FALSE(w.isShown());
  EXPECT_EQ(w.timerId(), 0u);
}

TEST_F(Gui, SnapshotWritesTheWholeWindowOrSaysWhyNot) {
  Perms p;
  SetupWindow w(p.checks());
  std::string why;
  std::string dir = ts::makeTempDir("tolvane-shot");
  EXPECT_FALSE(renderPng(w.window(), dir + "/never.png", &why)) << "not shown yet";
  EXPECT_FALSE(why.empty());

  w.show();
  ASSERT_TRUE(ts::waitUntil([&] {
    pump();
    return gtk_widget_get_mapped(w.window());
  }, std::chrono::seconds(30)));
  ASSERT_TRUE(renderPng(w.window(), dir + "/setup.png", &why)) << why;
  cairo_surface_t* png = cairo_image_surface_create_from_png((dir + "/setup.png").c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  int width = cairo_image_surface_get_width(png), height = cairo_image_surface_get_height(png);
  cairo_surface_destroy(png);
  EXPECT_EQ(width, gtk_widget_get_allocated_width(w.window()));
  EXPECT_EQ(height, gtk_widget_get_allocated_height(w.window()));
  // Its natural size: nothing of the content is cut off.
  GtkRequisition natural;
  gtk_widget_get_preferred_size(w.window(), nullptr, &natural);
  EXPECT_GE(height, natural.height);
  EXPECT_GE(width, 520);

  why.clear();
  EXPECT_FALSE(renderPng(w.window(), dir + "/no/such/folder/x.png", &why));
  EXPECT_NE(why.find("x.png"), std::string::npos) << why;
  ts::removeTree(dir);
}

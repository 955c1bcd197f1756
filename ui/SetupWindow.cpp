#include "ui/SetupWindow.h"

#include "app/Loc.h"
#include "ui/LoginItem.h"
#include "ui/Perm.h"

#include <gtk/gtk.h>

namespace {

// Sizes follow the layout the window was designed with; the accent is the
// theme's selection colour.
constexpr const char* kCss = R"(
.tv-setup .tv-heading { font-size: 20px; font-weight: 600; }
.tv-setup .tv-intro { font-size: 13px; }
.tv-setup .tv-step-title { font-size: 14px; font-weight: 600; }
.tv-setup .tv-step-text { font-size: 13px; }
.tv-setup .tv-state { font-size: 12px; font-weight: 500; }
.tv-setup .tv-ok { color: #1f9d3a; }
.tv-setup .tv-missing { color: #e8820c; }
.tv-setup .tv-footer { font-size: 12px; }
.tv-setup .tv-badge {
  font-size: 15px; font-weight: bold;
  min-width: 24px; min-height: 24px; border-radius: 12px;
  background-color: alpha(@theme_selected_bg_color, 0.18);
}
)";

void installCss() {
  static bool done = false;
  if (done) return;
  done = true;
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
}

void addClass(GtkWidget* w, const char* cls) { gtk_style_context_add_class(gtk_widget_get_style_context(w), cls); }
void removeClass(GtkWidget* w, const char* cls) {
  gtk_style_context_remove_class(gtk_widget_get_style_context(w), cls);
}

GtkWidget* label(const std::string& text, const char* cls, int wrapWidth = 0, bool secondary = false) {
  GtkWidget* l = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(l), 0);
  gtk_widget_set_halign(l, GTK_ALIGN_START);
  addClass(l, cls);
  if (secondary) addClass(l, "dim-label");
  if (wrapWidth > 0) {
    gtk_label_set_line_wrap(GTK_LABEL(l), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(l), PANGO_WRAP_WORD_CHAR);
    // The request fixes the width; one char of natural width keeps GTK from
    // asking for the whole text on one line.
    gtk_label_set_max_width_chars(GTK_LABEL(l), 1);
    gtk_widget_set_size_request(l, wrapWidth, -1);
  }
  return l;
}

template <void (SetupWindow::*Action)()>
void onClicked(GtkWidget*, gpointer self) {
  (static_cast<SetupWindow*>(self)->*Action)();
}

void setState(GtkWidget* l, bool ok) {
  std::string text = ok ? "✓ " + Loc::tr("Allowed") : "● " + Loc::tr("Not allowed yet");
  gtk_label_set_text(GTK_LABEL(l), text.c_str());
  removeClass(l, ok ? "tv-missing" : "tv-ok");
  addClass(l, ok ? "tv-ok" : "tv-missing");
}

}  // namespace

SetupWindow::SetupWindow()
    : SetupWindow(Checks{Perm::screenAllowed, Perm::axAllowed, LoginItem::enabled, LoginItem::set}) {}

SetupWindow::SetupWindow(Checks checks) : checks_(std::move(checks)) {
  build();
  refresh();
}

SetupWindow::~SetupWindow() {
  stopTimer();
  if (win_) gtk_widget_destroy(win_);
}

GtkWidget* SetupWindow::step(GtkWidget* box, int number, const char* title, const char* text, GtkWidget* state,
                             GtkWidget* button) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  gtk_widget_set_valign(row, GTK_ALIGN_START);
  GtkWidget* badge = gtk_label_new(std::to_string(number).c_str());
  addClass(badge, "tv-badge");
  gtk_widget_set_size_request(badge, 24, 24);
  gtk_widget_set_valign(badge, GTK_ALIGN_START);
  gtk_widget_set_halign(badge, GTK_ALIGN_CENTER);
  gtk_box_pack_start(GTK_BOX(row), badge, FALSE, FALSE, 0);
  GtkWidget* col = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_widget_set_halign(col, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(col), label(Loc::tr(title), "tv-step-title"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(col), label(Loc::tr(text), "tv-step-text", 380, true), FALSE, FALSE, 0);
  if (state) gtk_box_pack_start(GTK_BOX(col), state, FALSE, FALSE, 0);
  gtk_widget_set_halign(button, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(col), button, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), col, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
  return row;
}

void SetupWindow::build() {
  installCss();
  win_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(win_), Loc::tr("Tolvane Host Setup").c_str());
  gtk_window_set_icon_name(GTK_WINDOW(win_), "tolvane-host");
  // Natural size: GTK's metrics need more height than the window was drawn
  // with, and a fixed height would clip the footer.
  gtk_window_set_resizable(GTK_WINDOW(win_), FALSE);
  gtk_window_set_position(GTK_WINDOW(win_), GTK_WIN_POS_CENTER);
  addClass(win_, "tv-setup");
  g_signal_connect(win_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                     static_cast<SetupWindow*>(self)->close();
                     return TRUE;  // keep the window for the next show()
                   }),
                   this);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 16);
  gtk_widget_set_margin_top(box, 24);
  gtk_widget_set_margin_bottom(box, 24);
  gtk_widget_set_margin_start(box, 28);
  gtk_widget_set_margin_end(box, 28);
  gtk_widget_set_size_request(box, 464, -1);
  gtk_container_add(GTK_CONTAINER(win_), box);

  gtk_box_pack_start(GTK_BOX(box), label(Loc::tr("Welcome to Tolvane Host"), "tv-heading"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box),
                     label(Loc::tr("Two quick permissions let your iPhone see and control this Mac. Follow the "
                                   "steps in order."),
                           "tv-intro", 460, true),
                     FALSE, FALSE, 0);

  screenState_ = label("", "tv-state");
  axState_ = label("", "tv-state");
  screenBtn_ = gtk_button_new_with_label(Loc::tr("Open Screen Recording Settings").c_str());
  axBtn_ = gtk_button_new_with_label(Loc::tr("Open Accessibility Settings").c_str());
  restartBtn_ = gtk_button_new_with_label(Loc::tr("Restart Tolvane Host").c_str());
  addClass(restartBtn_, "suggested-action");
  g_signal_connect(screenBtn_, "clicked", G_CALLBACK(onClicked<&SetupWindow::tapScreen>), this);
  g_signal_connect(axBtn_, "clicked", G_CALLBACK(onClicked<&SetupWindow::tapAX>), this);
  g_signal_connect(restartBtn_, "clicked", G_CALLBACK(onClicked<&SetupWindow::tapRestart>), this);

  step(box, 1, "Allow Screen Recording",
       "This lets your iPhone see this Mac’s screen. In the list, turn on “Tolvane Host”.", screenState_, screenBtn_);
  step(box, 2, "Allow Accessibility",
       "This lets your iPhone move the pointer and type on this Mac. In the list, turn on “Tolvane Host”.", axState_,
       axBtn_);
  step(box, 3, "Restart Tolvane Host",
       "macOS applies these permissions after a restart. Press the button below once both are on.", nullptr,
       restartBtn_);

  loginCheck_ = gtk_check_button_new_with_label(Loc::tr("Open Tolvane Host automatically when I log in").c_str());
  g_signal_connect(loginCheck_, "toggled", G_CALLBACK(onClicked<&SetupWindow::tapLogin>), this);
  gtk_box_pack_start(GTK_BOX(box), loginCheck_, FALSE, FALSE, 0);

  footer_ = label("", "tv-footer", 460, true);
  gtk_box_pack_start(GTK_BOX(box), footer_, FALSE, FALSE, 0);
  gtk_widget_show_all(box);
}

void SetupWindow::refresh() {
  bool s = checks_.screen && checks_.screen();
  bool a = checks_.ax && checks_.ax();
  setState(screenState_, s);
  setState(axState_, a);
  gtk_widget_set_sensitive(screenBtn_, !s);
  gtk_widget_set_sensitive(axBtn_, !a);
  gtk_widget_set_sensitive(restartBtn_, s && a);
  updating_ = true;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(loginCheck_), checks_.login && checks_.login());
  updating_ = false;
  gtk_label_set_text(GTK_LABEL(footer_),
                     Loc::tr(s && a ? "All set. Press “Restart Tolvane Host” once, then connect from your iPhone."
                                    : "Tip: if Tolvane Host is not in the list, press the button in the step again.")
                         .c_str());
  if (onChange) onChange();
}

void SetupWindow::show() {
  refresh();
  gtk_window_set_position(GTK_WINDOW(win_), GTK_WIN_POS_CENTER);
  gtk_window_present(GTK_WINDOW(win_));
  stopTimer();
  timer_ = g_timeout_add(1000, +[](gpointer self) -> gboolean {
    static_cast<SetupWindow*>(self)->refresh();
    return G_SOURCE_CONTINUE;
  }, this);
}

void SetupWindow::close() {
  stopTimer();
  gtk_widget_hide(win_);
}

bool SetupWindow::isShown() const { return gtk_widget_get_visible(win_); }

void SetupWindow::stopTimer() {
  if (timer_) g_source_remove(timer_);
  timer_ = 0;
}

// X11 has neither settings panes nor prompts for these: the buttons lead to
// the help page's section on what the state means and how to change it.
void SetupWindow::tapScreen() { Perm::open(Perm::helpLink("screen")); }

void SetupWindow::tapAX() { Perm::open(Perm::helpLink("accessibility")); }

void SetupWindow::tapRestart() {
  if (onRestart) onRestart();
}

void SetupWindow::tapLogin() {
  if (updating_) return;
  if (checks_.setLogin) checks_.setLogin(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(loginCheck_)));
  refresh();
}
